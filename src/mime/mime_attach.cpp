// Adding attachments: choosing the transfer encoding, encoding the content, turning a
// single-part message into a multipart one or nesting an alternative message under a mixed
// one, and adding the attachment part with its headers.
#include <sys/stat.h>

#include <cctype>
#include <cerrno>
#include <cstring>
#include <cstdio>
#include <mutex>
#include <new>

#include "mime/mime_file_io.h"
#include "mime/mime_internal.h"
#include "platform/base/tick.h"

namespace cvmime {

namespace {

constexpr const char* kPreamble = "This is a multipart message in MIME format.\r\n";

// Whether text goes as 7bit and comes back out of a parsed message byte for byte: printable
// ASCII, TAB and FF in lines of at most 998 bytes, every line ended by CR LF (the wire's line
// end, which parsing keeps), the last one included. Anything else (LF-only or CR-only line
// ends, an open last line, 8-bit or control bytes) would come back changed.
bool FitsSevenBit(std::string_view data) {
  constexpr size_t kMaxLine = 998;
  size_t lineStart = 0;
  for (size_t i = 0; i < data.size(); ++i) {
    const auto c = static_cast<unsigned char>(data[i]);
    if (c == '\r') {
      if (i + 1 == data.size() || data[i + 1] != '\n' || i - lineStart > kMaxLine) return false;
      lineStart = ++i + 1;
    } else if (!((c >= 32 && c <= 126) || c == '\t' || c == '\f')) {
      return false;
    }
  }
  return lineStart == data.size();
}

// The transfer encoding for a media type and the attachment options; 0 when refused. Text
// that does not fit 7bit goes as base64 unless an encoding was asked for.
uint32_t ChooseEncoding(uint32_t media, uint32_t options, bool isFile, bool binary) {
  const uint32_t e = options & 0xFFFF;
  switch (media) {
    case kMimeMediaApplication:
    case kMimeMediaAudio:
    case kMimeMediaImage:
    case kMimeMediaVideo:
      return e == mailAttachUucode ? kMimeEncodingUuencode : kMimeEncodingBase64;
    case kMimeMediaMessage:
    case kMimeMediaText:
      if (e == mailAttachBase64) return kMimeEncodingBase64;
      if (e == mailAttachUucode) return kMimeEncodingUuencode;
      if (e == mailAttachQuoted) return kMimeEncodingQuoted;
      return binary ? kMimeEncodingBase64 : kMimeEncoding7bit;
    case kMimeMediaWidetext:
      if (!isFile) return 0;
      if (e == mailAttachBase64) return kMimeEncodingBase64;
      if (e == mailAttachUucode) return kMimeEncodingUuencode;
      if (e == mailAttachQuoted) return kMimeEncodingQuoted;
      return kMimeEncodingBase64;
    default:
      return 0;
  }
}

// The stored body: base64 and x-uuencode are encoded now; quoted-printable is encoded now
// too, because an attachment's body is written out exactly as stored (its closing soft line
// break keeps the delimiter's line end out of the decoded data).
std::string EncodeContent(uint32_t encoding, std::string_view data, std::string_view name) {
  switch (encoding) {
    case kMimeEncodingBase64: return data.empty() ? std::string() : Base64Encode(data, true);
    case kMimeEncodingUuencode: return Uuencode(data, name.empty() ? std::string_view("attachment") : name);
    case kMimeEncodingQuoted: return data.empty() ? std::string() : QpEncodeBody(data) + "=\r\n";
    default: return std::string(data);
  }
}

bool SetHeader(MimeMessage& m, MimePart& part, std::string_view name, std::string_view value) {
  return SetPartHeaderValue(m, part, name, value);
}

// A single-part message becomes multipart with its old body as the first part; an
// alternative message is nested, whole, under a new mixed part 0.
bool Restructure(MimeMessage& m, bool alternative) {
  MimePart& part0 = *m.parts[0];
  if (m.parts.size() == 1) {
    if (part0.mediaType == kMimeMediaMultipart) return true;
    std::string oldType, oldEncoding;
    const bool hadType = GetHeaderValue(part0, "Content-Type", oldType);
    const bool hadEncoding = GetHeaderValue(part0, "Content-Transfer-Encoding", oldEncoding);
    const std::string boundary = MakeBoundary(&m);
    if (!SetHeader(m, part0, "Content-Type",
                   std::string(alternative ? "multipart/alternative" : "multipart/mixed") + "; boundary=\"" +
                       boundary + "\""))
      return false;
    if (AddPartLocked(m) < 0) return false;
    MimePart& first = *m.parts[1];
    first.body.swap(part0.body);
    if (hadType && !SetHeader(m, first, "Content-Type", oldType.substr(0, 127))) return false;
    if (hadEncoding && !SetHeader(m, first, "Content-Transfer-Encoding", oldEncoding.substr(0, 127))) return false;
    BodyBytes().swap(part0.body);
    if (!SetHeader(m, part0, "Content-Transfer-Encoding", "7bit")) return false;
    return WriteBody(m, part0, 0, kPreamble) >= 0;
  }
  if (part0.mediaType != kMimeMediaMultipart) return true;
  std::string type;
  if (!GetHeaderValue(part0, "Content-Type", type)) return true;
  const size_t slash = type.find('/');
  if (slash == std::string::npos || !IStartsWith(Trim(std::string_view(type).substr(slash + 1)), "alternative"))
    return true;
  // Every level below part 0 moves one down to make room for the new container at level 1.
  if (m.highestLevel >= kMimeMaxLevel || m.parts.size() + 2 > size_t(kMimeMaxParts))
    return Fail<bool>(cvErrorInvalidMessagePart, false);
  const std::string boundary = MakeBoundary(&m);
  for (int32_t level = m.highestLevel; level >= 1; --level)
    m.boundaries[size_t(level + 1)].swap(m.boundaries[size_t(level)]);
  m.boundaries[1] = boundary;
  ++m.highestLevel;
  for (size_t i = 1; i < m.parts.size(); ++i) ++m.parts[i]->level;
  auto container = std::make_unique<MimePart>();
  container->level = 1;
  container->container = true;
  MimePart& c = *container;
  m.parts.insert(m.parts.begin() + 1, std::move(container));
  if (!SetHeader(m, c, "Content-Type", "multipart/alternative; boundary=\"" + boundary + "\"")) return false;
  return SetHeader(m, part0, "Content-Type", "multipart/mixed; boundary=\"" + m.boundaries[0] + "\"");
}

struct Attachment {
  BodyBytes body;           // stored content
  std::string contentType;  // type/subtype
  uint32_t encoding = 0;
  std::string baseName;     // empty: data without a name
};

bool AddAttachment(MimeMessage& m, Attachment& a, uint32_t options) {
  std::lock_guard lk(Library().lock());
  if (!Restructure(m, options & mailAttachAlternative)) return false;
  if (AddPartLocked(m) < 0) return false;
  MimePart& part = *m.parts.back();
  part.body.swap(a.body);
  part.attachment = true;  // written out exactly as stored
  const bool inlinePart = options & mailAttachInline;
  const char* encodingName = MimeEncodingName(a.encoding);
  if (a.baseName.empty()) {
    return SetHeader(m, part, "Content-Type", a.contentType) &&
           SetHeader(m, part, "Content-Transfer-Encoding", encodingName) &&
           SetHeader(m, part, "Content-Disposition", "inline");
  }
  const std::string quoted = "\"" + a.baseName + "\"";
  return SetHeader(m, part, "Content-Type", inlinePart ? a.contentType : a.contentType + "; name=" + quoted) &&
         SetHeader(m, part, "Content-Transfer-Encoding", encodingName) &&
         SetHeader(m, part, "Content-Disposition", inlinePart ? "inline" : "attachment; filename=" + quoted);
}

bool CanAttach(MimeMessage& m) {
  if (m.parts.empty()) return Fail<bool>(cvErrorInvalidMessagePart, false);
  if (IsMultipart(m) && m.boundaries[size_t(m.currentLevel)].empty())
    return Fail<bool>(cvErrorInvalidMessageBoundary, false);
  return true;
}

bool ReadWholeFile(const char* path, std::string& out) {
  UniqueFd fd = OpenRead(path);
  if (!fd) return Fail<bool>(errno == ENOENT || errno == ENOTDIR ? cvErrorFileNotFound : cvErrorAccessDenied, false);
  struct stat st;
  if (::fstat(fd.get(), &st) != 0) return Fail<bool>(cvErrorFileReadFailed, false);
  out.resize(size_t(st.st_size));
  const ssize_t n = ReadFull(fd.get(), out.data(), out.size());
  if (n < 0 || size_t(n) != out.size()) return Fail<bool>(cvErrorFileReadFailed, false);
  return true;
}

int32_t AttachFile(MimeMessage& m, const char* path, uint32_t options, const char* contentId) {
  if (!CanAttach(m)) return 0;
  uint32_t size = 0;
  if (!MimeGetFileSize(path, &size)) return 0;
  char type[1024];
  const uint32_t media = MimeGetFileContentType(kInvalidLibHandle, path, type);
  if (media == 0 || media == kMimeMediaMultipart) return Fail(cvErrorUnknownFileType);
  if ((options & mailAttachAlternative) && media != kMimeMediaText) return Fail(cvErrorInvalidFileType);
  std::string data;
  if (!ReadWholeFile(path, data)) return 0;
  Attachment a;
  a.contentType = type;
  a.encoding = ChooseEncoding(media, options, true, !FitsSevenBit(data));
  a.baseName = std::string(BaseName(path));
  a.body.assign(EncodeContent(a.encoding, data, a.baseName));
  std::string().swap(data);
  if (!AddAttachment(m, a, options)) return 0;
  if (contentId && !SetPartHeaderValue(m, *m.parts.back(), "Content-ID", contentId)) return 0;
  return 1;
}

}  // namespace

}  // namespace cvmime

using namespace cvmime;

int32_t MimeAttachData(LibHandle handle, const void* data, int32_t length, const char* fileName,
                       const char* contentType, uint32_t options) {
  MimeMessage* m = GetMessage(handle);
  if (!m) return 0;
  if ((!data && length > 0) || length < 0) return Fail(cvErrorInvalidParameter);
  const std::string_view bytes(static_cast<const char*>(data), data ? size_t(length) : 0);
  try {
    if (!CanAttach(*m)) return 0;
    Attachment a;
    if (contentType && *contentType) {
      a.contentType = std::string(contentType).substr(0, 127);
      for (char& c : a.contentType) c = char(std::tolower(static_cast<unsigned char>(c)));
    } else {
      bool printable = true;
      for (unsigned char c : bytes.substr(0, 4096))
        if (!std::isspace(c) && !std::isprint(c)) printable = false;
      a.contentType = printable ? "text/plain" : "application/octet-stream";
    }
    const uint32_t media = MimeMediaTypeId(a.contentType.c_str());
    if (media == 0) return Fail(cvErrorInvalidParameter);
    if ((options & mailAttachAlternative) && media != kMimeMediaText) return Fail(cvErrorInvalidParameter);
    a.encoding = ChooseEncoding(media, options, false, !FitsSevenBit(bytes));
    if (a.encoding == 0) return Fail(cvErrorInvalidParameter);
    if (fileName && *fileName) a.baseName = std::string(BaseName(fileName));
    a.body.assign(EncodeContent(a.encoding, bytes, a.baseName));
    return AddAttachment(*m, a, options) ? 1 : 0;
  } catch (const std::bad_alloc&) {
    return Fail(cvErrorOutOfMemory);
  }
}

int32_t MimeAttachFile(LibHandle handle, const char* path, uint32_t options) {
  MimeMessage* m = GetMessage(handle);
  if (!m) return 0;
  try {
    return AttachFile(*m, path, options, nullptr);
  } catch (const std::bad_alloc&) {
    return Fail(cvErrorOutOfMemory);
  }
}

int32_t MimeAttachImage(LibHandle handle, const char* path, const char* contentId) {
  MimeMessage* m = GetMessage(handle);
  if (!m) return 0;
  std::string id;
  if (contentId && std::strlen(contentId) > 124) return Fail(cvErrorInvalidParameter);
  if (contentId && *contentId) {
    id = contentId[0] == '<' ? std::string(contentId).substr(0, 127) : "<" + std::string(contentId) + ">";
  } else {
    const uint32_t t = plat::GetTickCount();
    char text[32];
    std::snprintf(text, sizeof text, "<img%02d%08x>", int(m->parts.size()), uint32_t(t << 16 | t));
    id = text;
  }
  try {
    return AttachFile(*m, path, mailAttachInline, id.c_str());
  } catch (const std::bad_alloc&) {
    return Fail(cvErrorOutOfMemory);
  }
}
