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
int32_t UploadFailed(HttpClientSession& s) {
  const uint32_t error = LastError();
  if (!Gone(s)) DropConnection(s);
  return Fail(error);
}

// Sends length bytes of data in blocks, with pacing, progress and cancel.
bool SendBlocks(HttpClientSession& s, const char* data, uint32_t length, BlockPacer& pacer) {
  for (uint32_t sent = 0; sent < length;) {
    const uint32_t n = std::min(length - sent, BlockSize(s));
    if (Send(s, data + sent, n) == -1) return false;
    sent += n;
    if (!AfterBlock(s, pacer)) return false;
  }
  return true;
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

int32_t PutBegin(HttpClientSession& s, const char* resource, uint64_t length, uint64_t offset) {
  if (Empty(resource)) return Fail(cvErrorInvalidResource);
  if (length == 0) return Fail(cvErrorInvalidParameter);
  if (!SetRange(s, offset)) return -1;
  if (!FindHeader(s, s.requestHeaders, "Content-Type")) {
    char type[128];
    if (HttpGetContentType(resource, type) == 0) return Fail(cvErrorInvalidFileType);
    SetOwnHeader(s, OwnHeader::ContentType, type);
  }
  char value[32];
  std::snprintf(value, sizeof value, "%" PRIu64, length);
  SetOwnHeader(s, OwnHeader::ContentLength, value);
  const int32_t r = SendRequestDeferred(s, "PUT", resource);
  if (Gone(s)) return Fail(cvErrorInvalidHandle);
  s.responsePending = 0;
  if (r == -1) return -1;
  s.expectedLength.store(length);
  s.bytesCopied.store(0);
  s.startTick.store(plat::GetTickCount());
  s.endTick.store(0);
  return 0;
}

int32_t StoreData(HttpClientSession& s, const char* resource, const void* data, uint32_t length) {
  if (Empty(resource)) return Fail(cvErrorInvalidResource);
  if (!data || length == 0) return Fail(cvErrorInvalidParameter);
  if (CommonChecks(s, false) == -1) return -1;
  WindowDetach detach(s);
  if (PutBegin(s, resource, length, 0) == -1) return -1;
  BlockPacer pacer;
  if (!SendBlocks(s, static_cast<const char*>(data), length, pacer)) return UploadFailed(s);
  s.endTick.store(plat::GetTickCount());
  Fire(s, kEventProgress, 0);
  if (Gone(s)) return Fail(cvErrorInvalidHandle);
  s.responsePending = 1;
  if (EndRequest(s) == -1) return -1;
  AfterBody(s);
  return s.statusCode;
}

int32_t StoreFile(HttpClientSession& s, const char* localFile, const char* resource, uint32_t options,
                  uint64_t offset) {
  if (Empty(localFile)) return Fail(cvErrorInvalidFileName);
  if (Empty(resource)) return Fail(cvErrorInvalidResource);
  if (options != 0) return Fail(cvErrorOptionNotSupported);
  if (CommonChecks(s, false) == -1) return -1;
  struct stat st {};
  if (stat(localFile, &st) != 0) return Fail(cvErrorFileNotFound);
  if (!S_ISREG(st.st_mode)) return Fail(cvErrorInvalidFileType);
  File file;
  file.fd = open(localFile, O_RDONLY | O_CLOEXEC);
  if (file.fd < 0) return Fail(cvErrorAccessDenied);
  WindowDetach detach(s);
  if (PutBegin(s, resource, uint64_t(st.st_size), offset) == -1) return -1;
  BlockPacer pacer;
  std::vector<char> block(BlockSize(s));
  char* const buffer = block.data();
  uint64_t total = 0;
  for (;;) {
    const ssize_t n = read(file.fd, buffer, block.size());
    if (n < 0) {
      if (errno == EINTR) continue;
      Fail(cvErrorFileReadFailed);
      return UploadFailed(s);
    }
    if (n == 0) break;
    total += uint64_t(n);
    if (total > uint64_t(st.st_size)) break;  // the file grew: the announced length is sent
    if (!SendBlocks(s, buffer, uint32_t(n), pacer)) return UploadFailed(s);
  }
  if (total < uint64_t(st.st_size)) {
    Fail(cvErrorFileReadFailed);  // the file shrank: the body would come up short
    return UploadFailed(s);
  }
  s.endTick.store(plat::GetTickCount());
  s.responsePending = 1;
  if (EndRequest(s) == -1) return -1;
  AfterBody(s);
  return s.statusCode;
}

int32_t PostFile(HttpClientSession& s, const char* localFile, const char* resource, const char* fieldName,
                 uint32_t options) {
  if (Empty(localFile)) return Fail(cvErrorInvalidFileName);
  if (Empty(resource)) return Fail(cvErrorInvalidResource);
  if (options != 0) return Fail(cvErrorOptionNotSupported);
  std::string field, fileName;
  if (!FormDataName(Empty(fieldName) ? "File1" : fieldName, field) || !FormDataName(BaseName(localFile), fileName))
    return Fail(cvErrorInvalidParameter);
  if (CommonChecks(s, false) == -1) return -1;
  File file;
  file.fd = open(localFile, O_RDONLY | O_CLOEXEC);
  if (file.fd < 0) return Fail(cvErrorFileNotFound);
  struct stat st {};
  if (fstat(file.fd, &st) != 0 || !S_ISREG(st.st_mode)) return Fail(cvErrorInvalidFileType);
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
  if (SendRequestDeferred(s, "POST", resource) == -1) return -1;
  if (!RawSend(s, head.data(), uint32_t(head.size()))) return UploadFailed(s);
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
    if (n <= 0) {
      Fail(cvErrorFileReadFailed);
      return UploadFailed(s);
    }
    if (!RawSend(s, buffer, uint32_t(n))) return UploadFailed(s);
    sent += uint64_t(n);
    s.bytesCopied.fetch_add(uint64_t(n));
    if (!AfterBlock(s, pacer)) return UploadFailed(s);
  }
  const uint32_t start = s.startTick.load();
  const uint32_t end = plat::GetTickCount();
  s.endTick.store(end);
  Fire(s, kEventProgress, 0);
  if (Gone(s)) return Fail(cvErrorInvalidHandle);
  s.requestOpen = 0;
  if (!RawSend(s, closing.data(), uint32_t(closing.size()))) return UploadFailed(s);
  if (ReadResponse(s) == -1) return -1;
  plat::HGLOBAL body = nullptr;
  uint32_t bodyLength = 0;
  if (ReadBodyToMemory(s, &body, &bodyLength) == -1) return -1;
  if (body) plat::GlobalFree(body);
  s.expectedLength.store(size);
  s.bytesCopied.store(size);
  s.startOffset.store(0);
  s.startTick.store(start);
  s.endTick.store(end);
  AfterBody(s);
  return s.statusCode;
}

int32_t VerifyFile(HttpClientSession& s, const char* localFile, const char* resource, uint32_t method) {
  if (Empty(localFile)) return Fail(cvErrorInvalidFileName);
  if (Empty(resource)) return Fail(cvErrorInvalidResource);
  if (method != 0) return Fail(cvErrorInvalidParameter);
  File file;
  file.fd = open(localFile, O_RDONLY | O_CLOEXEC);
  if (file.fd < 0) return Fail((errno == ENOENT || errno == ENOTDIR) ? cvErrorFileNotFound : cvErrorAccessDenied), 0;
  struct stat st {};
  if (fstat(file.fd, &st) != 0) return Fail(cvErrorAccessDenied), 0;
  // Whole sizes: files of 4 GB and more differ above the low 32 bits too.
  uint64_t remote = 0;
  if (QueryFileSize(s, resource, &remote) == -1) return -1;
  if (uint64_t(st.st_size) != remote) return Fail(cvErrorFileSizeMismatch), 0;
  return 1;
}

}  // namespace cvhttp

using namespace cvhttp;

int32_t HttpPutBegin(LibHandle handle, const char* resource, uint64_t length, uint64_t offset) {
  Operation op(handle);
  return op ? PutBegin(*op.session(), resource, length, offset) : -1;
}

int32_t HttpPutBegin32(LibHandle handle, const char* resource, uint32_t length) {
  return HttpPutBegin(handle, resource, length, 0);
}

int32_t HttpStoreData(LibHandle handle, const char* resource, const void* data, uint32_t length) {
  Operation op(handle);
  return op ? StoreData(*op.session(), resource, data, length) : -1;
}

int32_t HttpStoreFile(LibHandle handle, const char* localFile, const char* resource, uint32_t options,
                      uint64_t offset) {
  Operation op(handle);
  return op ? StoreFile(*op.session(), localFile, resource, options, offset) : -1;
}

int32_t HttpPostFile(LibHandle handle, const char* localFile, const char* resource, const char* fieldName,
                     uint32_t options) {
  Operation op(handle);
  return op ? PostFile(*op.session(), localFile, resource, fieldName, options) : -1;
}

int32_t HttpRemoveFile(LibHandle handle, const char* resource) {
  Operation op(handle);
  if (!op) return -1;
  HttpClientSession& s = *op.session();
  WindowDetach detach(s);
  const int32_t r = SendRequest(s, "DELETE", resource, nullptr, 0, 0);
  if (Gone(s)) return Fail(cvErrorInvalidHandle);
  // The response body is not read: ending the request keeps the connection in step.
  if (s.requestOpen) EndRequest(s);
  if (r != -1) AfterBody(s);
  return r;
}

int32_t HttpVerifyFile(LibHandle handle, const char* localFile, const char* resource, uint32_t method) {
  Operation op(handle);
  return op ? VerifyFile(*op.session(), localFile, resource, method) : -1;
}
