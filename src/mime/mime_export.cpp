// Writing a message out as RFC 822 / MIME text: to a file, the clipboard, a caller's buffer
// or a new global memory block; and the listing of the top-level headers.
#include <array>
#include <cstring>
#include <memory>
#include <new>

#include "mime/mime_internal.h"
#include "platform/clipboard/clipboard.h"

namespace cvmime {

namespace {

constexpr size_t kFoldColumn = 72;

struct StreamFree {
  void operator()(MimeStream* s) const noexcept { MimeStreamFree(s); }
};
using StreamPtr = std::unique_ptr<MimeStream, StreamFree>;

class Writer {
 public:
  explicit Writer(MimeStream* s) : s_(s) {}
  bool ok() const noexcept { return ok_; }
  void Put(std::string_view text) {
    if (ok_ && !text.empty() && MimeStreamWrite(s_, text.data(), int32_t(text.size())) != int32_t(text.size()))
      ok_ = false;
  }

 private:
  MimeStream* s_;
  bool ok_ = true;
};

// One header, folded at white space once a line has gathered more than 72 characters.
void WriteHeader(Writer& w, const MimeHeader& h) {
  if (h.emptied() || h.stored.empty()) return;
  const std::string_view value = h.stored;
  std::string out = h.name + ": ";
  if (value.size() < kFoldColumn) {
    out.append(value).append("\r\n");
    w.Put(out);
    return;
  }
  size_t gathered = 0;
  size_t i = 0;
  while (i < value.size()) {
    const char c = value[i];
    if (IsWhite(c) && gathered > kFoldColumn) {
      while (i < value.size() && IsWhite(value[i])) ++i;
      out.append("\r\n");
      gathered = 0;
      if (i < value.size()) {
        out.push_back(' ');
        ++gathered;
      }
      continue;
    }
    out.push_back(c);
    ++gathered;
    ++i;
  }
  out.append("\r\n");
  w.Put(out);
}

void WriteBody(Writer& w, const MimePart& part) {
  if (!DecodesOnStore(part)) {
    w.Put(part.body);
  } else if (part.encoding == kMimeEncodingBase64) {
    w.Put(Base64Encode(part.body, true));
  } else if (!part.body.empty()) {
    // The encoded body is one logical line; a closing soft line break ends it without adding
    // a line end to the decoded text.
    w.Put(QpEncodeBody(part.body) + "=\r\n");
  }
}

void WritePartZeroHeaders(Writer& w, MimePart& part0, uint32_t options) {
  const uint32_t choice = options & 3;
  if (choice == 0 && options != 0) return;  // other bits only: no header
  auto inOrder = [](const MimeHeader& h) { return MimeInOrderList(h.name.c_str()) != 0; };
  auto dropped = [](const MimeHeader& h) { return MimeInDroppedList(h.name.c_str()) != 0; };
  if (choice == 0 || choice == 1) {
    // Each name of the order list in turn, with every instance of it (repeated recipients,
    // trace lines and the like all travel).
    for (const char* name : kHeaderOrder) {
      if (choice == 0 && MimeInDroppedList(name)) continue;
      for (const MimeHeader& h : part0.headers)
        if (!h.emptied() && IEquals(h.name, name)) WriteHeader(w, h);
    }
    for (const MimeHeader& h : part0.headers)
      if (!h.emptied() && !inOrder(h) && (choice == 1 || !dropped(h))) WriteHeader(w, h);
  } else {
    for (const MimeHeader& h : part0.headers)
      if (!h.emptied() && (choice == 3 || !dropped(h))) WriteHeader(w, h);
  }
}

// The delimiters of the parts after part 0. Each multipart part delimits its children with
// its own boundary (two nested multiparts side by side at one level keep theirs apart).
// visit(part, the levels to close before it, the delimiting boundary) for each part, then
// the levels left open at the end; false when a part has no boundary to be delimited by.
template <typename Visit, typename Close>
bool WalkDelimiters(const MimeMessage& m, Visit&& visit, Close&& close) {
  std::array<const std::string*, kMimeMaxLevel + 1> open{};
  open[0] = &m.parts[0]->boundary;
  int32_t depth = 0;  // the deepest level still open
  for (size_t i = 1; i < m.parts.size(); ++i) {
    const MimePart& part = *m.parts[i];
    const int32_t delimiting = part.container ? part.level - 1 : part.level;
    if (delimiting < 0 || delimiting > kMimeMaxLevel || !open[size_t(delimiting)] ||
        open[size_t(delimiting)]->empty())
      return false;
    for (; depth > delimiting; --depth) close(*open[size_t(depth)]);
    visit(part, *open[size_t(delimiting)]);
    if (part.container) open[size_t(part.level)] = &part.boundary;
    depth = part.level;
  }
  for (; depth >= 0; --depth)
    if (open[size_t(depth)] && !open[size_t(depth)]->empty()) close(*open[size_t(depth)]);
  return true;
}

bool WriteMessage(MimeMessage& m, Writer& w, uint32_t options) {
  MimePart& part0 = *m.parts[0];
  WritePartZeroHeaders(w, part0, options);
  w.Put("\r\n");
  WriteBody(w, part0);
  if (part0.mediaType != kMimeMediaMultipart) return w.ok();
  WalkDelimiters(
      m,
      [&](const MimePart& part, const std::string& boundary) {
        w.Put("\r\n--" + boundary + "\r\n");
        for (const MimeHeader& h : part.headers) WriteHeader(w, h);
        w.Put("\r\n");
        WriteBody(w, part);
      },
      [&](const std::string& boundary) { w.Put("\r\n--" + boundary + "--\r\n"); });
  return w.ok();
}

// Every boundary a part needs must exist before anything is written.
bool BoundariesComplete(const MimeMessage& m) {
  if (m.parts[0]->mediaType != kMimeMediaMultipart) return true;
  return WalkDelimiters(m, [](const MimePart&, const std::string&) {}, [](const std::string&) {});
}

bool AppendNul(MimeStream* s) { return MimeStreamWrite(s, "", 1) == 1; }

}  // namespace

}  // namespace cvmime

using namespace cvmime;

namespace {

// Checks the target and its arguments, and clears the caller's output before anything is
// written; target kMimeExportDefault is resolved.
Status PrepareTarget(uint32_t& target, const char* name, void* buffer, uint32_t* size, uint32_t callerSize) {
  if (target == kMimeExportDefault) target = name && *name ? kMimeExportFile : kMimeExportClipboard;
  switch (target) {
    case kMimeExportFile:
      if (!name || !*name) return Status(cvErrorInvalidParameter);
      return Status();
    case kMimeExportClipboard:
      return Status();
    case kMimeExportBuffer:
      if (!buffer || !size) return Status(cvErrorInvalidParameter);
      if (callerSize == 0) return Status(cvErrorBufferTooSmall);
      std::memset(buffer, 0, callerSize);
      return Status();
    case kMimeExportGlobal:
      if (!buffer) return Status(cvErrorInvalidParameter);
      *static_cast<plat::HGLOBAL*>(buffer) = nullptr;
      return Status();
    default:
      return Status(cvErrorInvalidParameter);
  }
}

// Hands the written text to the clipboard, the caller's buffer or the caller as a block.
Status Deliver(StreamPtr stream, uint32_t target, void* buffer, uint32_t callerSize, uint32_t length) {
  if (target != kMimeExportBuffer && !AppendNul(stream.get())) return Status(cvErrorOutOfMemory);
  plat::HGLOBAL block = MimeStreamDetach(stream.release());
  if (!block) return Status(cvErrorInvalidBuffer);
  plat::UniqueGlobal owned(block);
  if (target == kMimeExportClipboard) {
    if (!plat::OpenClipboard(nullptr)) return Status(cvErrorClipboardUnavailable);
    plat::EmptyClipboard();
    const bool set = plat::SetClipboardData(plat::CF_TEXT, owned.get()) != nullptr;
    if (set) owned.release();
    plat::CloseClipboard();
    if (!set) return Status(cvErrorClipboardUnavailable);
  } else if (target == kMimeExportBuffer) {
    if (length > callerSize) return Status(cvErrorBufferTooSmall);
    const void* p = plat::GlobalLock(owned.get());
    if (!p) return Status(cvErrorInvalidBuffer);
    std::memcpy(buffer, p, length);
    plat::GlobalUnlock(owned.get());
  } else {
    *static_cast<plat::HGLOBAL*>(buffer) = owned.release();
  }
  return Status();
}

Status Export(MimeMessage& m, uint32_t target, uint32_t options, const char* name, void* buffer, uint32_t* size) {
  uint32_t callerSize = 0;
  if (size) {
    callerSize = *size;
    *size = 0;
  }
  if (m.parts.empty()) return Status(cvErrorInvalidMessagePart);
  if (!BoundariesComplete(m)) return Status(cvErrorInvalidMessageBoundary);
  if (m.composed) options &= ~kMimeExportStoredOrder;
  if (const Status prepared = PrepareTarget(target, name, buffer, size, callerSize); !prepared.ok()) return prepared;
  StreamPtr stream(MimeStreamCreate());
  if (!stream) return Status(cvErrorOutOfMemory);
  const Status written = cvcore::OrOutOfMemory(
      [&] {
        Writer w(stream.get());
        return WriteMessage(m, w, options) ? Status() : Status(cvErrorOutOfMemory);
      },
      Failed);
  if (!written.ok()) return written;
  const uint32_t length = uint32_t(MimeStreamLength(stream.get()));
  if (target == kMimeExportFile) {
    if (!MimeStreamSave(stream.get(), name)) return Status(cvErrorFileNotCreated);
  } else if (const Status delivered = Deliver(std::move(stream), target, buffer, callerSize, length); !delivered.ok()) {
    return delivered;
  }
  if (size) *size = length;
  return Status();
}

}  // namespace

int32_t MimeExportMessage(LibHandle handle, uint32_t target, uint32_t options, const char* name, void* buffer,
                          uint32_t* size) {
  MimeMessage* m = GetMessage(handle);
  if (!m) return 0;
  const Status exported = Export(*m, target, options, name, buffer, size);
  // A file written keeps the last error as it was; the other targets leave none after success.
  if (exported.ok() && (target == kMimeExportFile || (target == kMimeExportDefault && name && *name))) return 1;
  return Library().FinishClean(exported, 1, 0);
}

int32_t MimeGetAllHeaders(LibHandle handle, char* buffer, int32_t size) {
  MimeMessage* m = GetMessage(handle);
  if (!m) return -1;
  const Result<MimePart*> part0 = PartAt(*m, 0);
  if (!part0.ok()) return Library().Finish(part0.status(), 0, -1);
  if (buffer && size > 0) buffer[0] = '\0';
  size_t total = 0, written = 0;
  const Status listed = cvcore::OrOutOfMemory(
      [&] {
        for (MimeHeader& h : part0.value()->headers) {
          if (h.emptied()) continue;
          const std::string& value = DisplayValue(h);
          total += h.name.size() + value.size() + 4;
          if (buffer && total < size_t(size)) {
            const std::string line = h.name + ": " + value + "\r\n";
            std::memcpy(buffer + written, line.data(), line.size());
            written += line.size();
            buffer[written] = '\0';
          }
        }
        return Status();
      },
      Failed);
  if (!listed.ok()) return Library().Finish(listed, 0, -1);
  // A listing cut short by the buffer's size is handed out with the error that says so.
  const Status fitted = buffer && total >= size_t(size) ? Status(cvErrorBufferTooSmall) : Status();
  const int32_t length = buffer ? int32_t(written) : int32_t(total + 1);
  return Library().FinishClean(fitted, length, length);
}
