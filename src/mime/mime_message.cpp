// Messages and their parts: create, reset, destroy, add, select and delete parts, and the
// charset and encoding of a text part.
#include <mutex>
#include <new>

#include "mime/mime_internal.h"

namespace cvmime {

MimePart* PartAt(MimeMessage& m, int32_t index) noexcept {
  if (index < 0 || index >= int32_t(m.parts.size())) return Fail<MimePart*>(cvErrorInvalidMessagePart, nullptr);
  return m.parts[size_t(index)].get();
}

MimePart* CurrentPart(MimeMessage& m) noexcept { return PartAt(m, m.currentPart); }

bool IsMultipart(const MimeMessage& m) noexcept {
  return !m.parts.empty() && m.parts[0]->mediaType == kMimeMediaMultipart;
}

bool SetPartCharsetOn(MimeMessage& m, MimePart& part, bool isPartZero, uint32_t charset, uint32_t encoding) {
  if (charset == 0) charset = m.defaultCharset;
  const char* charsetName = MimeCharsetName(charset);
  if (!charsetName) return Fail<bool>(cvErrorInvalidCharacterSet, false);
  if (encoding == 0) encoding = m.defaultEncoding;
  const char* encodingName = MimeEncodingName(encoding);
  if (!encodingName) return Fail<bool>(cvErrorInvalidEncodingType, false);
  if (isPartZero && !SetPartHeaderValue(m, part, "MIME-Version", "1.0")) return false;
  part.mediaType = kMimeMediaText;
  part.charset = charset;
  part.encoding = encoding;
  return SetPartHeaderValue(m, part, "Content-Type", std::string("text/plain; charset=") + charsetName) &&
         SetPartHeaderValue(m, part, "Content-Transfer-Encoding", encodingName);
}

int32_t AddPartLocked(MimeMessage& m) {
  if (m.parts.size() >= size_t(kMimeMaxParts)) return Fail<int32_t>(cvErrorInvalidMessagePart, -1);
  try {
    auto part = std::make_unique<MimePart>();
    part->level = m.currentLevel;
    if (m.parts.empty()) {
      m.beforeFirstHeader = true;
      m.leadingSkipped = false;
    }
    if (m.parts.size() == 1 && m.parts[0]->mediaType != kMimeMediaMultipart) {
      const std::string boundary = MakeBoundary(&m);
      if (!SetPartHeaderValue(m, *m.parts[0], "Content-Type", "multipart/mixed; boundary=\"" + boundary + "\""))
        return -1;
    }
    m.inHeaders = true;
    m.lastHeader = nullptr;  // a continuation line never reaches back into another part
    m.lastHeaderPart = nullptr;
    MimePart& added = *part;
    m.parts.push_back(std::move(part));
    const int32_t index = int32_t(m.parts.size() - 1);
    m.currentPart = index;
    const uint32_t saved = Library().GetLastError();
    SetPartCharsetOn(m, added, index == 0, m.defaultCharset, m.defaultEncoding);  // without defaults: no headers
    Library().SetLastError(saved);
    return index;
  } catch (const std::bad_alloc&) {
    return Fail<int32_t>(cvErrorOutOfMemory, -1);
  }
}

void ResetRecord(MimeMessage& m) {
  m.parts.clear();
  for (std::string& b : m.boundaries) std::string().swap(b);
  m.growthStep = kMimeInitialGrowthStep;
  m.growthCounter = 0;
  m.composed = false;
  m.defaultCharset = 0;
  m.defaultEncoding = 0;
  m.currentLevel = m.highestLevel = m.currentPart = 0;
  m.dateText[0] = '\0';
  std::string().swap(m.line);
  m.lineComplete = m.beforeFirstHeader = m.inHeaders = m.lineFlushed = m.leadingSkipped = m.partsOverflowed = false;
  m.lastHeader = nullptr;
  m.lastHeaderPart = nullptr;
}

}  // namespace cvmime

using namespace cvmime;

LibHandle MimeCreateMessage() {
  const LibHandle handle = Library().AllocSession();
  if (handle == kInvalidLibHandle) return handle;
  MimeMessage* m = Library().FindSession(handle);
  std::lock_guard lk(Library().lock());
  if (AddPartLocked(*m) < 0) {
    const uint32_t err = Library().GetLastError();
    Library().FreeSession(handle);
    return Fail<LibHandle>(err, kInvalidLibHandle);
  }
  Library().SetLastError(0);
  return handle;
}

int32_t MimeResetMessage(LibHandle handle) {
  MimeMessage* m = GetMessage(handle);
  if (!m) return 0;
  std::lock_guard lk(Library().lock());
  ResetRecord(*m);
  return AddPartLocked(*m) < 0 ? 0 : 1;
}

int32_t MimeDestroyMessage(LibHandle handle) {
  if (!GetMessage(handle)) return 0;
  Library().FreeSession(handle);
  return 1;
}

int32_t MimeAddPart(LibHandle handle) {
  MimeMessage* m = GetMessage(handle);
  if (!m) return -1;
  std::lock_guard lk(Library().lock());
  return AddPartLocked(*m);
}

int32_t MimeCreatePart(LibHandle handle, uint32_t charset, uint32_t encoding, const char* text) {
  MimeMessage* m = GetMessage(handle);
  if (!m) return -1;
  const uint32_t cs = charset ? charset : m->defaultCharset;
  if (!MimeCharsetName(cs)) return Fail<int32_t>(cvErrorInvalidCharacterSet, -1);
  const uint32_t enc = encoding ? encoding : m->defaultEncoding;
  if (enc != kMimeEncoding7bit && enc != kMimeEncoding8bit && enc != kMimeEncodingQuoted)
    return Fail<int32_t>(cvErrorInvalidEncodingType, -1);
  int32_t index;
  {
    std::lock_guard lk(Library().lock());
    index = AddPartLocked(*m);
  }
  if (index < 0) return -1;
  MimePart& part = *m->parts[size_t(index)];
  if (!SetPartCharsetOn(*m, part, index == 0, cs, enc)) return -1;
  if (text && *text && WriteBody(*m, part, 0, text) < 0) return -1;
  return index;
}

int32_t MimeDeletePart(LibHandle handle, int32_t index) {
  MimeMessage* m = GetMessage(handle);
  if (!m) return 0;
  std::lock_guard lk(Library().lock());
  if (index == -1) index = m->currentPart;
  if (!PartAt(*m, index)) return 0;
  if (m->lastHeaderPart == m->parts[size_t(index)].get()) {
    m->lastHeader = nullptr;
    m->lastHeaderPart = nullptr;
  }
  m->parts.erase(m->parts.begin() + index);
  if (m->currentPart >= int32_t(m->parts.size())) m->currentPart = int32_t(m->parts.size()) - 1;
  if (m->currentPart < 0) m->currentPart = 0;
  return 1;
}

int32_t MimeGetPartCount(LibHandle handle) {
  MimeMessage* m = GetMessage(handle);
  return m ? int32_t(m->parts.size()) : -1;
}

int32_t MimeGetCurrentPart(LibHandle handle) {
  MimeMessage* m = GetMessage(handle);
  return m ? m->currentPart : -1;
}

int32_t MimeSelectPart(LibHandle handle, int32_t index) {
  MimeMessage* m = GetMessage(handle);
  if (!m) return -1;
  if (!PartAt(*m, index)) return -1;
  const int32_t previous = m->currentPart;
  m->currentPart = index;
  return previous;
}

int32_t MimeSetPartCharset(LibHandle handle, uint32_t charset, uint32_t encoding) {
  MimeMessage* m = GetMessage(handle);
  if (!m) return 0;
  MimePart* part = CurrentPart(*m);
  if (!part) return 0;
  try {
    return SetPartCharsetOn(*m, *part, m->currentPart == 0, charset, encoding) ? 1 : 0;
  } catch (const std::bad_alloc&) {
    return Fail(cvErrorOutOfMemory);
  }
}

int32_t MimeGetContentLength(LibHandle handle) {
  MimeMessage* m = GetMessage(handle);
  if (!m) return -1;
  MimePart* part = CurrentPart(*m);
  return part ? int32_t(part->body.size()) : -1;
}
