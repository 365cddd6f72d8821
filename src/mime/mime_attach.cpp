// Adding attachments: choosing the transfer encoding, encoding the content, turning a
// single-part message into a multipart one or nesting an alternative message under a mixed
// one, and adding the attachment part with its headers.
#include <sys/stat.h>

#include <cctype>
#include <cerrno>
#include <cstdio>
#include <cstring>
#include <initializer_list>
#include <mutex>
#include <new>
#include <string_view>
#include <utility>

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

// Stores each header in turn; the first failure ends it.
Status SetHeaders(MimeMessage& m, MimePart& part,
                  std::initializer_list<std::pair<std::string_view, std::string>> headers) {
  for (const auto& [name, value] : headers)
    if (const Status stored = SetPartHeaderValue(m, part, name, value); !stored.ok()) return stored;
  return Status();
}

// A single-part message becomes multipart with its old body as the first part; an
// alternative message is nested, whole, under a new mixed part 0.
Status Restructure(MimeMessage& m, bool alternative) {
  MimePart& part0 = *m.parts[0];
  if (m.parts.size() == 1) {
    if (part0.mediaType == kMimeMediaMultipart) return Status();
    std::string oldType, oldEncoding;
    const bool hadType = GetHeaderValue(part0, "Content-Type", oldType);
    const bool hadEncoding = GetHeaderValue(part0, "Content-Transfer-Encoding", oldEncoding);
    const std::string boundary = MakeBoundary(&m);
    const Status type = SetPartHeaderValue(
        m, part0, "Content-Type",
        std::string(alternative ? "multipart/alternative" : "multipart/mixed") + "; boundary=\"" + boundary + "\"");
    if (!type.ok()) return type;
    if (const Result<int32_t> added = AddPartLocked(m); !added.ok()) return added.status();
    MimePart& first = *m.parts[1];
    first.body.swap(part0.body);
    if (hadType) {
      if (const Status moved = SetPartHeaderValue(m, first, "Content-Type", oldType.substr(0, 127)); !moved.ok())
        return moved;
    }
    if (hadEncoding) {
      const Status moved = SetPartHeaderValue(m, first, "Content-Transfer-Encoding", oldEncoding.substr(0, 127));
      if (!moved.ok()) return moved;
    }
    BodyBytes().swap(part0.body);
    if (const Status encoding = SetPartHeaderValue(m, part0, "Content-Transfer-Encoding", "7bit"); !encoding.ok())
      return encoding;
    return WriteBody(m, part0, 0, kPreamble).status();
  }
  if (part0.mediaType != kMimeMediaMultipart) return Status();
  std::string type;
  if (!GetHeaderValue(part0, "Content-Type", type)) return Status();
  const size_t slash = type.find('/');
  if (slash == std::string::npos || !IStartsWith(Trim(std::string_view(type).substr(slash + 1)), "alternative"))
    return Status();
  // Every level below part 0 moves one down to make room for the new container at level 1.
  if (m.highestLevel >= kMimeMaxLevel || m.parts.size() + 2 > size_t(kMimeMaxParts))
    return Status(cvErrorInvalidMessagePart);
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
  const Status nested =
      SetPartHeaderValue(m, c, "Content-Type", "multipart/alternative; boundary=\"" + boundary + "\"");
  if (!nested.ok()) return nested;
  return SetPartHeaderValue(m, part0, "Content-Type", "multipart/mixed; boundary=\"" + m.boundaries[0] + "\"");
}

struct Attachment {
  BodyBytes body;           // stored content
  std::string contentType;  // type/subtype
  uint32_t encoding = 0;
  std::string baseName;     // empty: data without a name
};

Status AddAttachment(MimeMessage& m, Attachment& a, uint32_t options) {
  std::lock_guard lk(Library().lock());
  if (const Status restructured = Restructure(m, options & mailAttachAlternative); !restructured.ok())
    return restructured;
  if (const Result<int32_t> added = AddPartLocked(m); !added.ok()) return added.status();
  MimePart& part = *m.parts.back();
  part.body.swap(a.body);
  part.attachment = true;  // written out exactly as stored
  const bool inlinePart = options & mailAttachInline;
  const std::string encodingName = MimeEncodingName(a.encoding);
  if (a.baseName.empty()) {
    return SetHeaders(m, part,
                      {{"Content-Type", a.contentType},
                       {"Content-Transfer-Encoding", encodingName},
                       {"Content-Disposition", "inline"}});
  }
  const std::string quoted = "\"" + a.baseName + "\"";
  return SetHeaders(m, part,
                    {{"Content-Type", inlinePart ? a.contentType : a.contentType + "; name=" + quoted},
                     {"Content-Transfer-Encoding", encodingName},
                     {"Content-Disposition", inlinePart ? "inline" : "attachment; filename=" + quoted}});
}

Status CanAttach(MimeMessage& m) {
  if (m.parts.empty()) return Status(cvErrorInvalidMessagePart);
  if (IsMultipart(m) && m.boundaries[size_t(m.currentLevel)].empty()) return Status(cvErrorInvalidMessageBoundary);
  return Status();
}

Status ReadWholeFile(const char* path, std::string& out) {
  UniqueFd fd = OpenRead(path);
  if (!fd) return Status(errno == ENOENT || errno == ENOTDIR ? cvErrorFileNotFound : cvErrorAccessDenied);
  struct stat st;
  if (::fstat(fd.get(), &st) != 0) return Status(cvErrorFileReadFailed);
  out.resize(size_t(st.st_size));
  const ssize_t n = ReadFull(fd.get(), out.data(), out.size());
  if (n < 0 || size_t(n) != out.size()) return Status(cvErrorFileReadFailed);
  return Status();
}

Status AttachFile(MimeMessage& m, const char* path, uint32_t options, const char* contentId) {
  if (const Status can = CanAttach(m); !can.ok()) return can;
  uint32_t size = 0;
  if (const Status sized = FileSize(path, &size); !sized.ok()) return sized;
  char type[1024];
  // The path is there (its size was read): the look-up cannot fail.
  const uint32_t media = MimeGetFileContentType(kInvalidLibHandle, path, type);
  if (media == 0 || media == kMimeMediaMultipart) return Status(cvErrorUnknownFileType);
  if ((options & mailAttachAlternative) && media != kMimeMediaText) return Status(cvErrorInvalidFileType);
  std::string data;
  if (const Status read = ReadWholeFile(path, data); !read.ok()) return read;
  Attachment a;
  a.contentType = type;
  a.encoding = ChooseEncoding(media, options, true, !FitsSevenBit(data));
  a.baseName = std::string(BaseName(path));
  a.body.assign(EncodeContent(a.encoding, data, a.baseName));
  std::string().swap(data);
  if (const Status added = AddAttachment(m, a, options); !added.ok()) return added;
  if (!contentId) return Status();
  return SetPartHeaderValue(m, *m.parts.back(), "Content-ID", contentId);
}

Status AttachData(MimeMessage& m, std::string_view bytes, const char* fileName, const char* contentType,
                  uint32_t options) {
  if (const Status can = CanAttach(m); !can.ok()) return can;
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
  if (media == 0) return Status(cvErrorInvalidParameter);
  if ((options & mailAttachAlternative) && media != kMimeMediaText) return Status(cvErrorInvalidParameter);
  a.encoding = ChooseEncoding(media, options, false, !FitsSevenBit(bytes));
  if (a.encoding == 0) return Status(cvErrorInvalidParameter);
  if (fileName && *fileName) a.baseName = std::string(BaseName(fileName));
  a.body.assign(EncodeContent(a.encoding, bytes, a.baseName));
  return AddAttachment(m, a, options);
}

}  // namespace

}  // namespace cvmime

using namespace cvmime;

int32_t MimeAttachData(LibHandle handle, const void* data, int32_t length, const char* fileName,
                       const char* contentType, uint32_t options) {
  MimeMessage* m = GetMessage(handle);
  if (!m) return 0;
  if ((!data && length > 0) || length < 0) return Library().Finish(Status(cvErrorInvalidParameter), 1, 0);
  const std::string_view bytes(static_cast<const char*>(data), data ? size_t(length) : 0);
  const Status attached =
      cvcore::OrOutOfMemory([&] { return AttachData(*m, bytes, fileName, contentType, options); }, Failed);
  return Library().Finish(attached, 1, 0);
}

int32_t MimeAttachFile(LibHandle handle, const char* path, uint32_t options) {
  MimeMessage* m = GetMessage(handle);
  if (!m) return 0;
  return Library().Finish(cvcore::OrOutOfMemory([&] { return AttachFile(*m, path, options, nullptr); }, Failed), 1, 0);
}

int32_t MimeAttachImage(LibHandle handle, const char* path, const char* contentId) {
  MimeMessage* m = GetMessage(handle);
  if (!m) return 0;
  std::string id;
  if (contentId && std::strlen(contentId) > 124) return Library().Finish(Status(cvErrorInvalidParameter), 1, 0);
  if (contentId && *contentId) {
    id = contentId[0] == '<' ? std::string(contentId).substr(0, 127) : "<" + std::string(contentId) + ">";
  } else {
    const uint32_t t = plat::GetTickCount();
    char text[32];
    std::snprintf(text, sizeof text, "<img%02d%08x>", int(m->parts.size()), uint32_t(t << 16 | t));
    id = text;
  }
  const Status attached =
      cvcore::OrOutOfMemory([&] { return AttachFile(*m, path, mailAttachInline, id.c_str()); }, Failed);
  return Library().Finish(attached, 1, 0);
}
