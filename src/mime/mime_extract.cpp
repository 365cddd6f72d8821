// Attachment names, finding attachments and writing them out decoded.
#include <sys/stat.h>

#include <cstring>
#include <new>

#include "mime/mime_file_io.h"
#include "mime/mime_internal.h"

namespace cvmime {

namespace {

constexpr size_t kSearchLines = 64;

// The "begin" line of a uuencoded block among the first 64 lines of a body: "begin ", three
// digits, white space.
bool FindBeginLine(std::string_view body, std::string_view& line) {
  size_t start = 0;
  for (size_t n = 0; n < kSearchLines && start < body.size(); ++n) {
    size_t end = body.find('\n', start);
    if (end == std::string_view::npos) end = body.size();
    std::string_view l = body.substr(start, std::min<size_t>(end - start, 1023));
    while (!l.empty() && l.back() == '\r') l.remove_suffix(1);
    if (l.size() > 9 && l.substr(0, 6) == "begin " && l[6] >= '0' && l[6] <= '9' && l[7] >= '0' && l[7] <= '9' &&
        l[8] >= '0' && l[8] <= '9' && IsWhite(l[9])) {
      line = l;
      return true;
    }
    start = end + 1;
  }
  return false;
}

// A file name taken from a message names a file in the target directory, nothing else.
std::string ConfinedName(std::string_view name) {
  const std::string base(Trim(BaseName(name)));
  if (base.empty() || base == "." || base == "..") return {};
  return base;
}

bool DecodeToFile(uint32_t encoding, std::string_view body, int fd) {
  if (encoding == kMimeEncodingUuencode) {
    UuDecoder decoder;
    size_t start = 0;
    while (start < body.size() && decoder.state != UuDecoder::State::Done &&
           decoder.state != UuDecoder::State::Failed) {
      size_t end = body.find('\n', start);
      if (end == std::string_view::npos) end = body.size();
      std::string_view line = body.substr(start, end - start);
      while (!line.empty() && line.back() == '\r') line.remove_suffix(1);
      decoder.Line(line);
      start = end + 1;
      if (decoder.pending.size() >= 1008) {
        if (!WriteAll(fd, decoder.pending)) return false;
        decoder.pending.clear();
      }
    }
    return WriteAll(fd, decoder.pending) && decoder.state == UuDecoder::State::Done;
  }
  char out[4096];
  MimeBase64DecodeState b64{};
  MimeQpDecodeState qp{};
  for (size_t at = 0; at < body.size(); at += sizeof out) {
    const std::string_view chunk = body.substr(at, sizeof out);
    const int32_t n = encoding == kMimeEncodingBase64
                          ? MimeBase64Decode(&b64, chunk.data(), int32_t(chunk.size()), out, int32_t(sizeof out))
                          : MimeQpDecode(&qp, chunk.data(), int32_t(chunk.size()), out, int32_t(sizeof out));
    if (n < 0 || !WriteAll(fd, {out, size_t(n)})) return false;
  }
  return true;
}

Status ExtractPart(MimePart& part, const char* fileName) {
  if (part.body.empty()) return Status(cvErrorNoFileAttachment);
  const uint32_t encoding = PartEncoding(part);
  std::string target;
  if (fileName && *fileName) {
    target = fileName;
  } else {
    std::string name;
    if (AttachmentName(part, name)) target = ConfinedName(name);
    if (target.empty()) return Status(cvErrorInvalidFileName);
  }
  const bool decode = encoding == kMimeEncodingQuoted || encoding == kMimeEncodingBase64 ||
                      encoding == kMimeEncodingUuencode;
  if (!decode && !(fileName && *fileName) && !part.attachment) return Status(cvErrorInvalidFileName);
  UniqueFd fd = CreateWrite(target.c_str());
  if (!fd) return Status(cvErrorFileNotCreated);
  if (decode) {
    if (!DecodeToFile(encoding, part.body, fd.get())) return Status(cvErrorFileNotDecoded);
  } else if (!WriteAll(fd.get(), part.body)) {
    return Status(cvErrorFileWriteFailed);
  }
  if (::close(fd.release()) != 0) return Status(cvErrorFileWriteFailed);
  return Status();
}

// The attachments of a message written into a directory (the current one when empty): the
// count written, and the failure of the last one that could not be.
Result<int32_t> ExtractAll(MimeMessage& m, const char* directory, Status& skipped) {
  std::string dir;
  if (directory) {
    std::string_view d(directory);
    while (!d.empty() && d.front() == ' ') d.remove_prefix(1);
    if (!d.empty()) {
      struct stat st;
      if (::stat(std::string(d).c_str(), &st) != 0 || !S_ISDIR(st.st_mode)) return Status(cvErrorDirectoryNotFound);
      dir.assign(d.substr(0, 259));
      if (dir.back() != '/') dir.push_back('/');
    }
  }
  int32_t count = 0;
  for (auto& part : m.parts) {
    std::string name;
    if (!AttachmentName(*part, name)) continue;
    const std::string base = ConfinedName(name);
    if (base.empty()) continue;
    const Status extracted = ExtractPart(*part, (dir + base).c_str());
    if (extracted.ok()) ++count;
    else skipped = extracted;
  }
  return count;
}

}  // namespace

bool AttachmentName(MimePart& part, std::string& out) {
  std::string value, name;
  bool found = false;
  if (GetHeaderValue(part, "Content-Disposition", value) && IStartsWith(value, "attachment") &&
      GetParameter(value, "filename", name))
    found = true;
  else if (GetHeaderValue(part, "Content-Type", value) && GetParameter(value, "name", name))
    found = true;
  else if (FindHeader(part, "X-Attachments") || FindHeader(part, "X-MS-Attachment")) {
    std::string_view line;
    if (FindBeginLine(part.body, line)) {
      name.assign(line.substr(10));
      found = true;
    }
  }
  if (!found) return false;
  out = DecodeHeaderValue(name, true);
  return true;
}

uint32_t PartEncoding(MimePart& part) {
  std::string_view line;
  if (part.attachment && part.encoding == kMimeEncoding7bit && FindBeginLine(part.body, line))
    return kMimeEncodingUuencode;
  return part.encoding;
}

}  // namespace cvmime

using namespace cvmime;

uint32_t MimeGetPartEncoding(LibHandle handle, int32_t index) {
  MimeMessage* m = GetMessage(handle);
  if (!m) return 0;
  const Result<MimePart*> part = index < 0 ? CurrentPart(*m) : PartAt(*m, index);
  return part.ok() ? PartEncoding(*part.value()) : Library().Finish(part.status(), 0u, 0u);
}

int32_t MimeGetAttachmentName(LibHandle handle, char* buffer, int32_t size) {
  MimeMessage* m = GetMessage(handle);
  if (!m) return 0;
  if (!buffer) return Library().Finish(Status(cvErrorInvalidParameter), 1, 0);
  const Result<MimePart*> part = CurrentPart(*m);
  if (!part.ok()) return Library().Finish(part.status(), 1, 0);
  std::string name;
  const Status found = cvcore::OrOutOfMemory(
      [&] { return AttachmentName(*part.value(), name) ? Status() : Status(cvErrorNoFileAttachment); }, Failed);
  if (!found.ok()) return Library().Finish(found, 1, 0);
  CopyOut(name, buffer, size);
  return 1;
}

int32_t MimeFindAttachment(LibHandle handle, const char* fileName) {
  MimeMessage* m = GetMessage(handle);
  if (!m) return -1;
  std::string_view wanted = fileName ? fileName : "";
  while (!wanted.empty() && wanted.front() == ' ') wanted.remove_prefix(1);
  if (wanted.empty()) return Library().Finish(Status(cvErrorInvalidParameter), 0, -1);
  const Result<int32_t> index = cvcore::OrOutOfMemory(
      [&]() -> Result<int32_t> {
        for (size_t i = 0; i < m->parts.size(); ++i) {
          std::string name;
          if (AttachmentName(*m->parts[i], name) && IEquals(name.substr(0, 259), wanted)) return int32_t(i);
        }
        return Status(cvErrorNoFileAttachment);
      },
      Failed);
  return Library().Finish(index, -1);
}

int32_t MimeExtractFile(LibHandle handle, const char* fileName) {
  MimeMessage* m = GetMessage(handle);
  if (!m) return 0;
  const Result<MimePart*> part = CurrentPart(*m);
  if (!part.ok()) return Library().Finish(part.status(), 1, 0);
  return Library().Finish(cvcore::OrOutOfMemory([&] { return ExtractPart(*part.value(), fileName); }, Failed), 1, 0);
}

int32_t MimeExtractAllFiles(LibHandle handle, const char* directory) {
  MimeMessage* m = GetMessage(handle);
  if (!m) return -1;
  Status skipped;
  const Result<int32_t> count = cvcore::OrOutOfMemory([&] { return ExtractAll(*m, directory, skipped); }, Failed);
  if (!count.ok()) return Library().Finish(count, -1);
  // The count of those written stands; an attachment that could not be leaves its error.
  return Library().Finish(skipped, count.value(), count.value());
}
