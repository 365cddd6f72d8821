// Messages and their parts: create, reset, destroy, add, select and delete parts, and the
// charset and encoding of a text part.
#include <mutex>
#include <new>

#include "mime/mime_internal.h"

namespace cvmime {

Result<MimePart*> PartAt(MimeMessage& m, int32_t index) noexcept {
  if (index < 0 || index >= int32_t(m.parts.size())) return Status(cvErrorInvalidMessagePart);
  return m.parts[size_t(index)].get();
}

Result<MimePart*> CurrentPart(MimeMessage& m) noexcept { return PartAt(m, m.currentPart); }

bool IsMultipart(const MimeMessage& m) noexcept {
  return !m.parts.empty() && m.parts[0]->mediaType == kMimeMediaMultipart;
}

Status SetPartCharsetOn(MimeMessage& m, MimePart& part, bool isPartZero, uint32_t charset, uint32_t encoding) {
  if (charset == 0) charset = m.defaultCharset;
  const char* charsetName = MimeCharsetName(charset);
  if (!charsetName) return Status(cvErrorInvalidCharacterSet);
  if (encoding == 0) encoding = m.defaultEncoding;
  const char* encodingName = MimeEncodingName(encoding);
  if (!encodingName) return Status(cvErrorInvalidEncodingType);
  if (isPartZero) {
    if (const Status version = SetPartHeaderValue(m, part, "MIME-Version", "1.0"); !version.ok()) return version;
  }
  part.mediaType = kMimeMediaText;
  part.charset = charset;
  part.encoding = encoding;
  const Status type = SetPartHeaderValue(m, part, "Content-Type", std::string("text/plain; charset=") + charsetName);
  if (!type.ok()) return type;
  return SetPartHeaderValue(m, part, "Content-Transfer-Encoding", encodingName);
}

Result<int32_t> AddPartLocked(MimeMessage& m) {
  if (m.parts.size() >= size_t(kMimeMaxParts)) return Status(cvErrorInvalidMessagePart);
  return cvcore::OrOutOfMemory(
      [&]() -> Result<int32_t> {
        auto part = std::make_unique<MimePart>();
        part->level = m.currentLevel;
        if (m.parts.empty()) {
          m.beforeFirstHeader = true;
          m.leadingSkipped = false;
        }
        if (m.parts.size() == 1 && m.parts[0]->mediaType != kMimeMediaMultipart) {
          const std::string boundary = MakeBoundary(&m);
          const Status type =
              SetPartHeaderValue(m, *m.parts[0], "Content-Type", "multipart/mixed; boundary=\"" + boundary + "\"");
          if (!type.ok()) return type;
        }
        m.inHeaders = true;
        m.lastHeader = nullptr;  // a continuation line never reaches back into another part
        m.lastHeaderPart = nullptr;
        MimePart& added = *part;
        m.parts.push_back(std::move(part));
        const int32_t index = int32_t(m.parts.size() - 1);
        m.currentPart = index;
        // Without a default charset and encoding the part is added with no headers.
        static_cast<void>(SetPartCharsetOn(m, added, index == 0, m.defaultCharset, m.defaultEncoding));
        return index;
      },
      Failed);
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

namespace cvmime {

Result<LibHandle> CreateMessage() {
  const Result<LibHandle> handle = Library().NewSession();
  if (!handle.ok()) return handle;
  const Result<MimeMessage*> m = Library().Lookup(handle.value());
  if (!m.ok()) return m.status();
  std::lock_guard lk(Library().lock());
  const Status added = AddPartLocked(*m.value()).status();
  if (added.ok()) return handle;
  Library().FreeSession(handle.value());
  return added;
}

Status ResetMessage(MimeMessage& m) {
  std::lock_guard lk(Library().lock());
  ResetRecord(m);
  return AddPartLocked(m).status();
}

}  // namespace cvmime

namespace {

Result<int32_t> CreatePart(MimeMessage& m, uint32_t charset, uint32_t encoding, const char* text) {
  const uint32_t cs = charset ? charset : m.defaultCharset;
  if (!MimeCharsetName(cs)) return Status(cvErrorInvalidCharacterSet);
  const uint32_t enc = encoding ? encoding : m.defaultEncoding;
  if (enc != kMimeEncoding7bit && enc != kMimeEncoding8bit && enc != kMimeEncodingQuoted)
    return Status(cvErrorInvalidEncodingType);
  Result<int32_t> index = Status();
  {
    std::lock_guard lk(Library().lock());
    index = AddPartLocked(m);
  }
  if (!index.ok()) return index;
  MimePart& part = *m.parts[size_t(index.value())];
  if (const Status set = SetPartCharsetOn(m, part, index.value() == 0, cs, enc); !set.ok()) return set;
  if (text && *text) {
    if (const Result<int32_t> written = WriteBody(m, part, 0, text); !written.ok()) return written.status();
  }
  return index;
}

}  // namespace

LibHandle MimeCreateMessage() { return Library().FinishClean(CreateMessage(), kInvalidLibHandle); }

int32_t MimeResetMessage(LibHandle handle) {
  MimeMessage* m = GetMessage(handle);
  if (!m) return 0;
  return Library().Finish(ResetMessage(*m), 1, 0);
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
  return Library().Finish(AddPartLocked(*m), -1);
}

int32_t MimeCreatePart(LibHandle handle, uint32_t charset, uint32_t encoding, const char* text) {
  MimeMessage* m = GetMessage(handle);
  if (!m) return -1;
  return Library().Finish(cvcore::OrOutOfMemory([&] { return CreatePart(*m, charset, encoding, text); }, Failed), -1);
}

int32_t MimeDeletePart(LibHandle handle, int32_t index) {
  MimeMessage* m = GetMessage(handle);
  if (!m) return 0;
  std::lock_guard lk(Library().lock());
  if (index == -1) index = m->currentPart;
  if (const Result<MimePart*> part = PartAt(*m, index); !part.ok()) return Library().Finish(part.status(), 1, 0);
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
  if (const Result<MimePart*> part = PartAt(*m, index); !part.ok()) return Library().Finish(part.status(), 0, -1);
  const int32_t previous = m->currentPart;
  m->currentPart = index;
  return previous;
}

int32_t MimeSetPartCharset(LibHandle handle, uint32_t charset, uint32_t encoding) {
  MimeMessage* m = GetMessage(handle);
  if (!m) return 0;
  const Result<MimePart*> part = CurrentPart(*m);
  if (!part.ok()) return Library().Finish(part.status(), 1, 0);
  const Status set = cvcore::OrOutOfMemory(
      [&] { return SetPartCharsetOn(*m, *part.value(), m->currentPart == 0, charset, encoding); }, Failed);
  return Library().Finish(set, 1, 0);
}

int32_t MimeGetContentLength(LibHandle handle) {
  MimeMessage* m = GetMessage(handle);
  if (!m) return -1;
  const Result<MimePart*> part = CurrentPart(*m);
  return part.ok() ? int32_t(part.value()->body.size()) : Library().Finish(part.status(), 0, -1);
}
