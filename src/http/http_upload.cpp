// Uploads (PUT from memory or from a file, the multipart POST of a file), DELETE, and the
// size comparison of a local and a remote file.
#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cinttypes>
#include <cstdio>
#include <string>
#include <vector>

#include "http/http_internal.h"
#include "http/http_transfer.h"
#include "platform/base/tick.h"

namespace cvhttp {

namespace {

struct File {
  int fd = -1;
  ~File() {
    if (fd >= 0) close(fd);
  }
};

// A failed upload leaves the server waiting for the rest of the body: the connection goes.
Status AbandonUpload(HttpClientSession& s, Status failure) {
  if (!Gone(s)) DropConnection(s);
  return failure;
}

// Sends length bytes of data in blocks, with pacing, progress and cancel.
Status SendBlocks(HttpClientSession& s, const char* data, uint32_t length, BlockPacer& pacer) {
  for (uint32_t sent = 0; sent < length;) {
    const uint32_t n = std::min(length - sent, BlockSize(s));
    if (const Status out = Send(s, data + sent, n); !out.ok()) return out;
    sent += n;
    if (const Status paced = AfterBlock(s, pacer); !paced.ok()) return paced;
  }
  return {};
}

// The name a browser sends for a local file: its last path component, never the folders
// above it.
const char* BaseName(const char* path) {
  const char* name = path;
  for (const char* p = path; *p; ++p)
    if (*p == '/' || *p == '\\') name = p + 1;
  return *name ? name : path;
}

}  // namespace

Status PutBegin(HttpClientSession& s, const char* resource, uint64_t length, uint64_t offset) {
  if (Empty(resource)) return Status(cvErrorInvalidResource);
  if (length == 0) return Status(cvErrorInvalidParameter);
  if (const Status ranged = SetRange(s, offset); !ranged.ok()) return ranged;
  if (!FindHeader(s, s.requestHeaders, "Content-Type")) {
    char type[128];
    if (HttpGetContentType(resource, type) == 0) return Status(cvErrorInvalidFileType);
    SetOwnHeader(s, OwnHeader::ContentType, type);
  }
  char value[32];
  std::snprintf(value, sizeof value, "%" PRIu64, length);
  SetOwnHeader(s, OwnHeader::ContentLength, value);
  const Result<int32_t> sent = SendRequestDeferred(s, "PUT", resource);
  if (Gone(s)) return kSessionGone;
  s.responsePending = 0;
  if (!sent.ok()) return sent.status();
  s.expectedLength.store(length);
  s.bytesCopied.store(0);
  s.startTick.store(plat::GetTickCount());
  s.endTick.store(0);
  return {};
}

// The response to a body sent in full: the status.
Result<int32_t> Answered(HttpClientSession& s) {
  s.responsePending = 1;
  if (const Status ended = EndRequest(s); !ended.ok()) return ended;
  AfterBody(s);
  return s.statusCode;
}

Result<int32_t> StoreData(HttpClientSession& s, const char* resource, const void* data, uint32_t length) {
  if (Empty(resource)) return Status(cvErrorInvalidResource);
  if (!data || length == 0) return Status(cvErrorInvalidParameter);
  if (const Status checked = CommonChecks(s, false); !checked.ok()) return checked;
  WindowDetach detach(s);
  if (const Status begun = PutBegin(s, resource, length, 0); !begun.ok()) return begun;
  BlockPacer pacer;
  if (const Status sent = SendBlocks(s, static_cast<const char*>(data), length, pacer); !sent.ok())
    return AbandonUpload(s, sent);
  s.endTick.store(plat::GetTickCount());
  Fire(s, kEventProgress, 0);
  if (Gone(s)) return kSessionGone;
  return Answered(s);
}

Result<int32_t> StoreFile(HttpClientSession& s, const char* localFile, const char* resource, uint32_t options,
                          uint64_t offset) {
  if (Empty(localFile)) return Status(cvErrorInvalidFileName);
  if (Empty(resource)) return Status(cvErrorInvalidResource);
  if (options != 0) return Status(cvErrorOptionNotSupported);
  if (const Status checked = CommonChecks(s, false); !checked.ok()) return checked;
  struct stat st {};
  if (stat(localFile, &st) != 0) return Status(cvErrorFileNotFound);
  if (!S_ISREG(st.st_mode)) return Status(cvErrorInvalidFileType);
  File file;
  file.fd = open(localFile, O_RDONLY | O_CLOEXEC);
  if (file.fd < 0) return Status(cvErrorAccessDenied);
  WindowDetach detach(s);
  if (const Status begun = PutBegin(s, resource, uint64_t(st.st_size), offset); !begun.ok()) return begun;
  BlockPacer pacer;
  std::vector<char> block(BlockSize(s));
  char* const buffer = block.data();
  uint64_t total = 0;
  for (;;) {
    const ssize_t n = read(file.fd, buffer, block.size());
    if (n < 0) {
      if (errno == EINTR) continue;
      return AbandonUpload(s, Status(cvErrorFileReadFailed));
    }
    if (n == 0) break;
    total += uint64_t(n);
    if (total > uint64_t(st.st_size)) break;  // the file grew: the announced length is sent
    if (const Status sent = SendBlocks(s, buffer, uint32_t(n), pacer); !sent.ok()) return AbandonUpload(s, sent);
  }
  // A file that shrank would leave the body short.
  if (total < uint64_t(st.st_size)) return AbandonUpload(s, Status(cvErrorFileReadFailed));
  s.endTick.store(plat::GetTickCount());
  return Answered(s);
}

Result<int32_t> PostFile(HttpClientSession& s, const char* localFile, const char* resource, const char* fieldName,
                         uint32_t options) {
  if (Empty(localFile)) return Status(cvErrorInvalidFileName);
  if (Empty(resource)) return Status(cvErrorInvalidResource);
  if (options != 0) return Status(cvErrorOptionNotSupported);
  std::string field, fileName;
  if (!FormDataName(Empty(fieldName) ? "File1" : fieldName, field) || !FormDataName(BaseName(localFile), fileName))
    return Status(cvErrorInvalidParameter);
  if (const Status checked = CommonChecks(s, false); !checked.ok()) return checked;
  File file;
  file.fd = open(localFile, O_RDONLY | O_CLOEXEC);
  if (file.fd < 0) return Status(cvErrorFileNotFound);
  struct stat st {};
  if (fstat(file.fd, &st) != 0 || !S_ISREG(st.st_mode)) return Status(cvErrorInvalidFileType);
  const uint64_t size = uint64_t(st.st_size);
  const uint32_t tick = plat::GetTickCount();
  char boundary[96];
  std::snprintf(boundary, sizeof boundary, "----=_CV%04d_%04d_%08X_%08X", 9530, int(s.header.handle % 10000), tick,
                tick * 2);
  const std::string head = std::string("--") + boundary + "\r\nContent-Disposition: form-data; name=\"" + field +
                           "\"; filename=\"" + fileName +
                           "\"\r\nContent-Type: application/octet-stream\r\nContent-Transfer-Encoding: 8bit\r\n\r\n";
  const std::string closing = std::string("\r\n--") + boundary + "--\r\n";
  WindowDetach detach(s);
  // The boundary holds "=": quoted, or strict parsers find no parts.
  SetOwnHeader(s, OwnHeader::ContentType, (std::string("multipart/form-data; boundary=\"") + boundary + "\"").c_str());
  const uint64_t contentLength = head.size() + std::strlen(boundary) + size + 8;
  SetOwnHeader(s, OwnHeader::ContentLength, std::to_string(contentLength).c_str());
  if (const Result<int32_t> sent = SendRequestDeferred(s, "POST", resource); !sent.ok()) return sent;
  if (const Status sent = RawSend(s, head.data(), uint32_t(head.size())); !sent.ok()) return AbandonUpload(s, sent);
  s.expectedLength.store(size);
  s.bytesCopied.store(0);
  s.startOffset.store(0);
  s.startTick.store(plat::GetTickCount());
  s.endTick.store(0);
  BlockPacer pacer;
  std::vector<char> block(BlockSize(s));
  char* const buffer = block.data();
  uint64_t sent = 0;
  while (sent < size) {
    const ssize_t n = read(file.fd, buffer, std::min<uint64_t>(block.size(), size - sent));
    if (n < 0 && errno == EINTR) continue;
    if (n <= 0) return AbandonUpload(s, Status(cvErrorFileReadFailed));
    if (const Status out = RawSend(s, buffer, uint32_t(n)); !out.ok()) return AbandonUpload(s, out);
    sent += uint64_t(n);
    s.bytesCopied.fetch_add(uint64_t(n));
    if (const Status paced = AfterBlock(s, pacer); !paced.ok()) return AbandonUpload(s, paced);
  }
  const uint32_t start = s.startTick.load();
  const uint32_t end = plat::GetTickCount();
  s.endTick.store(end);
  Fire(s, kEventProgress, 0);
  if (Gone(s)) return kSessionGone;
  s.requestOpen = 0;
  if (const Status out = RawSend(s, closing.data(), uint32_t(closing.size())); !out.ok()) return AbandonUpload(s, out);
  if (const Status read = ReadResponse(s); !read.ok()) return read;
  plat::HGLOBAL body = nullptr;
  uint32_t bodyLength = 0;
  if (const Status read = ReadBodyToMemory(s, &body, &bodyLength); !read.ok()) return read;
  if (body) plat::GlobalFree(body);
  s.expectedLength.store(size);
  s.bytesCopied.store(size);
  s.startOffset.store(0);
  s.startTick.store(start);
  s.endTick.store(end);
  AfterBody(s);
  return s.statusCode;
}

// Whether a local file and a resource have the same size: 1, or 0 when they differ or the
// local file cannot be read (with the failure); -1 for anything else (with the failure).
Answer VerifyFile(HttpClientSession& s, const char* localFile, const char* resource, uint32_t method) {
  if (Empty(localFile)) return {-1, Status(cvErrorInvalidFileName)};
  if (Empty(resource)) return {-1, Status(cvErrorInvalidResource)};
  if (method != 0) return {-1, Status(cvErrorInvalidParameter)};
  File file;
  file.fd = open(localFile, O_RDONLY | O_CLOEXEC);
  if (file.fd < 0)
    return {0, Status((errno == ENOENT || errno == ENOTDIR) ? cvErrorFileNotFound : cvErrorAccessDenied)};
  struct stat st {};
  if (fstat(file.fd, &st) != 0) return {0, Status(cvErrorAccessDenied)};
  // Whole sizes: files of 4 GB and more differ above the low 32 bits too.
  uint64_t remote = 0;
  if (const Result<int32_t> queried = QueryFileSize(s, resource, &remote); !queried.ok()) return {-1, queried.status()};
  if (uint64_t(st.st_size) != remote) return {0, Status(cvErrorFileSizeMismatch)};
  return {1, Status()};
}

}  // namespace cvhttp

using namespace cvhttp;

int32_t HttpPutBegin(LibHandle handle, const char* resource, uint64_t length, uint64_t offset) {
  Operation op(handle);
  return op ? Finish(PutBegin(*op.session(), resource, length, offset), 0, -1) : -1;
}

int32_t HttpPutBegin32(LibHandle handle, const char* resource, uint32_t length) {
  return HttpPutBegin(handle, resource, length, 0);
}

int32_t HttpStoreData(LibHandle handle, const char* resource, const void* data, uint32_t length) {
  Operation op(handle);
  return op ? FinishExchange(StoreData(*op.session(), resource, data, length), -1) : -1;
}

int32_t HttpStoreFile(LibHandle handle, const char* localFile, const char* resource, uint32_t options,
                      uint64_t offset) {
  Operation op(handle);
  return op ? FinishExchange(StoreFile(*op.session(), localFile, resource, options, offset), -1) : -1;
}

int32_t HttpPostFile(LibHandle handle, const char* localFile, const char* resource, const char* fieldName,
                     uint32_t options) {
  Operation op(handle);
  return op ? FinishExchange(PostFile(*op.session(), localFile, resource, fieldName, options), -1) : -1;
}

namespace {

Result<int32_t> RemoveFile(HttpClientSession& s, const char* resource) {
  WindowDetach detach(s);
  const Result<int32_t> r = SendRequest(s, "DELETE", resource, nullptr, 0, 0);
  if (Gone(s)) return kSessionGone;
  // The response body is not read: ending the request keeps the connection in step, and
  // what that meets is no failure of the removal.
  if (s.requestOpen) static_cast<void>(EndRequest(s));
  if (r.ok()) AfterBody(s);
  return r;
}

}  // namespace

int32_t HttpRemoveFile(LibHandle handle, const char* resource) {
  Operation op(handle);
  return op ? FinishExchange(RemoveFile(*op.session(), resource), -1) : -1;
}

int32_t HttpVerifyFile(LibHandle handle, const char* localFile, const char* resource, uint32_t method) {
  Operation op(handle);
  if (!op) return -1;
  const Answer v = VerifyFile(*op.session(), localFile, resource, method);
  return FinishExchange(v.status, v.value, v.value);
}
