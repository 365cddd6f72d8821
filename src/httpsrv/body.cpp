// Request bodies: the Content-Length body read into a buffer, a memory block or a file,
// or dropped, and the request description handed to the caller.
#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cstdio>
#include <cstring>

#include "httpsrv/httpsrv_internal.h"
#include "platform/base/tick.h"

namespace cvhttpsrv {
namespace {

// The announced body length; -1 for a malformed value.
int64_t ContentLength(const HttpSession& s) {
  const std::string v = Trim(RequestHeader(s, "Content-Length"));
  if (v.empty()) return 0;
  int64_t n = 0;
  for (char ch : v) {
    if (ch < '0' || ch > '9' || n > (int64_t(1) << 40)) return -1;
    n = n * 10 + (ch - '0');
  }
  return n;
}

bool ExpectsContinue(const HttpSession& s) {
  return s.version == kVersion11 && IEquals(Trim(RequestHeader(s, "Expect")), "100-continue");
}

// Claims the body; its length, or -1 after an answer or an error. A client waiting for
// "100 Continue" is told to send only now, when every check before the body has passed.
int64_t Claim(const Client& c, bool limit) {
  HttpSession& s = *c.session;
  if (s.bodyRead) return Fail(c.server->serverHandle.load(), cvErrorCommandSequence, int64_t(-1));
  s.bodyRead = true;
  if (s.version == kVersion09) return 0;
  if (!RequestHeader(s, "Transfer-Encoding").empty()) {
    // Chunked bodies are not taken: their length is unknown before reading them.
    s.keepAlive = false;
    SendError(c, 411);
    return -1;
  }
  const int64_t length = ContentLength(s);
  if (length < 0) {
    s.keepAlive = false;
    SendError(c, 400);
    return -1;
  }
  if (limit && s.methodId != kPut && length > int64_t(c.server->maxRequestSize)) {
    s.keepAlive = false;
    SendError(c, 413);
    return -1;
  }
  if (length > 0 && ExpectsContinue(s)) {
    static const char kContinue[] = "HTTP/1.1 100 Continue\r\n\r\n";
    if (InetWrite(s.controlSocket, kContinue, int32_t(sizeof kContinue - 1)) <= 0)
      return Fail(c.server->serverHandle.load(), InetGetLastError(), int64_t(-1));
  }
  return length;
}

// Reads exactly length bytes in pieces, handing each to sink.
template <typename Sink>
bool ReadBody(const Client& c, int64_t length, Sink sink) {
  HttpSession& s = *c.session;
  const uint32_t start = plat::GetTickCount();
  std::vector<char> buffer(8192);
  SetState(s, SessionState::ReceivingBody);
  bool ok = true;
  while (length > 0) {
    const int32_t n = InetRead(s.controlSocket, buffer.data(), int32_t(std::min<int64_t>(length, 8192)));
    if (n <= 0) {
      Lib().SetLastError(s.serverHandle, n == 0 ? cvErrorConnectionClosed : InetGetLastError());
      ok = false;
      break;
    }
    s.bytesReceived += uint64_t(n);
    length -= n;
    if (!sink(buffer.data(), size_t(n))) {
      ok = false;
      break;
    }
  }
  SetState(s, SessionState::Idle);
  s.milliseconds += plat::GetTickCount() - start;
  return ok;
}

}  // namespace

bool ReadBodyDiscard(const Client& c, bool limit) {
  HttpSession& s = *c.session;
  if (!s.bodyRead && ExpectsContinue(s) && !RequestHeader(s, "Content-Length").empty()) {
    // The client has not sent the body yet and nobody wants it: it is never asked for,
    // and the connection ends with the answer.
    const int64_t length = ContentLength(s);
    s.bodyRead = true;
    if (length > 0) s.keepAlive = false, s.bodyUnread = true;
    return length >= 0 || (SendError(c, 400), false);
  }
  const int64_t length = Claim(c, limit);
  if (length < 0) return false;
  return ReadBody(c, length, [](const char*, size_t) { return true; });
}

bool ReadBodyToMemory(const Client& c, std::vector<char>& out) {
  const int64_t length = Claim(c, true);
  if (length < 0) return false;
  out.clear();
  out.reserve(size_t(length));
  return ReadBody(c, length, [&](const char* p, size_t n) {
    out.insert(out.end(), p, p + n);
    return true;
  });
}

bool ReadBodyToFile(const Client& c, int fd, bool limit) {
  const int64_t length = Claim(c, limit);
  if (length < 0) return false;
  return ReadBody(c, length, [&](const char* p, size_t n) {
    if (::write(fd, p, n) != ssize_t(n)) return Fail(c.server->serverHandle.load(), cvErrorFileWriteFailed), false;
    return true;
  });
}

}  // namespace cvhttpsrv

using namespace cvhttpsrv;

int32_t HttpReadRequest(uint64_t server, uint32_t clientId, uint32_t flags, HttpRequestInfo* info, void* target,
                        uint32_t* size) {
  Client c = FindClient(server, clientId);
  if (!c) return 0;
  HttpSession& s = *c.session;
  if (s.bodyRead) return Fail(server, cvErrorCommandSequence);
  if (info && info->size != sizeof(HttpRequestInfo)) return Fail(server, cvErrorInvalidParameter);
  uint32_t kind = flags & (httpReadBuffer | httpReadText | httpReadMemory | httpReadFile | httpReadHandle);
  if (flags & httpReadDiscard) kind = httpReadDiscard;
  else if (!kind) kind = (size && *size) ? httpReadBuffer : httpReadMemory;
  if ((kind == httpReadBuffer || kind == httpReadText) && (!size || !*size || !target))
    return Fail(server, cvErrorInvalidParameter);
  if (info) {
    uint32_t error = 0;
    MapRequest(c, &error);
    std::memset(reinterpret_cast<char*>(info) + 4, 0, sizeof *info - 4);
    info->flags = ((s.pathAccess & httpAccessProtected) ? 1 : 0) | (s.script ? 2 : 0) |
                  (s.script && !s.scriptPath.empty() ? 4 : 0);
    info->version = s.version;
    info->pathAccess = s.pathAccess;
    const std::string length = RequestHeader(s, "Content-Length");
    info->contentLength = uint32_t(std::strtoul(length.c_str(), nullptr, 10));
    info->hostId = s.hostId;
    info->port = s.port;
    info->method = s.method.c_str();
    info->hostName = s.hostName.c_str();
    info->userName = s.userName.c_str();
    info->password = s.password.c_str();
    info->uri = s.uri.c_str();
    info->query = s.query.c_str();
    info->documentRoot = s.root.c_str();
    info->pathInfo = s.pathInfo.c_str();
    info->programPath = s.programPath.c_str();
    info->scriptPath = s.scriptPath.c_str();
    info->localPath = s.localPath.c_str();
    const char* type = HeaderFind(s.request, "Content-Type");
    info->contentType = type ? type : "application/octet-stream";
  }
  if (kind == httpReadDiscard) return ReadBodyDiscard(c, false) ? 1 : 0;
  if (kind == httpReadFile) {
    const std::string name = target ? Canonical(static_cast<const char*>(target)) : "";
    if (name.empty()) return Fail(server, cvErrorInvalidFileName);
    struct stat st {};
    if (::stat(name.c_str(), &st) == 0 && !S_ISREG(st.st_mode)) return Fail(server, cvErrorInvalidFileType);
    std::string temp;
    const int fd = CreateTempFile(*c.server, temp);
    if (fd < 0) return 0;
    const bool ok = ReadBodyToFile(c, fd, true);
    ::close(fd);
    if (!ok || ::rename(temp.c_str(), name.c_str()) != 0) {
      ::unlink(temp.c_str());
      return ok ? Fail(server, cvErrorFileNotCreated) : 0;
    }
    if (size) *size = uint32_t(s.bytesReceived);
    return 1;
  }
  if (kind == httpReadHandle) {
    const int fd = int(reinterpret_cast<intptr_t>(target));
    struct stat st {};
    if (fd < 0 || ::fstat(fd, &st) != 0) return Fail(server, cvErrorInvalidHandle);
    if (!S_ISREG(st.st_mode)) return Fail(server, cvErrorInvalidFileType);
    const off_t position = ::lseek(fd, 0, SEEK_CUR);
    if (!ReadBodyToFile(c, fd, true)) {
      ::lseek(fd, position, SEEK_SET);
      return 0;
    }
    if (size) *size = uint32_t(s.bytesReceived);
    return 1;
  }
  std::vector<char> body;
  if (!ReadBodyToMemory(c, body)) return 0;
  if (kind == httpReadMemory) {
    plat::HGLOBAL block = plat::GlobalAlloc(0x0042, ((body.size() + 1023) / 1024) * 1024 + 1);
    if (!block) return Fail(server, cvErrorOutOfMemory);
    char* p = static_cast<char*>(plat::GlobalLock(block));
    if (!body.empty()) std::memcpy(p, body.data(), body.size());
    plat::GlobalUnlock(block);
    if (target) *static_cast<plat::HGLOBAL*>(target) = block;
    else plat::GlobalFree(block);
    if (size) *size = uint32_t(body.size());
    return 1;
  }
  const size_t room = kind == httpReadText ? *size - 1 : *size;
  const size_t n = std::min(room, body.size());
  std::memcpy(target, body.data(), n);
  if (kind == httpReadText) static_cast<char*>(target)[n] = '\0';
  *size = uint32_t(n);
  return 1;
}

int64_t HttpSessionSkipContent(uint64_t server, uint32_t clientId, int64_t count) {
  Client c = FindClient(server, clientId);
  if (!c) return 0;
  HttpSession& s = *c.session;
  if (!s.bodyRead || s.answered) return Fail(server, cvErrorCommandSequence);
  int64_t dropped = 0;
  std::vector<char> buffer(8192);
  while (count < 0 || dropped < count) {
    const int32_t want = int32_t(count < 0 ? 8192 : std::min<int64_t>(count - dropped, 8192));
    const int32_t n = InetRead(s.controlSocket, buffer.data(), want);
    if (n <= 0) break;
    dropped += n;
  }
  return dropped;
}
