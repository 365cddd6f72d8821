// Data connections (active and passive, with TLS when asked) and file transfers with
// their line-end conversion.
#include <fcntl.h>
#include <sys/file.h>
#include <sys/random.h>
#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <cstring>
#include <string>
#include <string_view>
#include <vector>

#include "ftpsrv/ftpsrv_internal.h"
#include "ftpsrv/local_fs.h"
#include "platform/base/tick.h"

namespace cvftpsrv {

namespace {

// Files move in large blocks (image type over plain connections with sendfile, without a
// copy through the process); waits are cut into slices so that an ABOR arriving on the
// control connection ends a transfer whose client stopped reading.
constexpr size_t kFileBlock = 256 * 1024;
constexpr size_t kAsciiPiece = 4096;
constexpr uint64_t kSendFileChunk = 16u << 20;
constexpr uint32_t kWaitSliceMs = 100;
constexpr uint32_t kAbortCheckMs = 100;

// The ASCII line-end conversion, the same both ways: a lone LF or CR becomes CR LF.
class AsciiConverter {
 public:
  template <typename Sink>
  bool Convert(const char* data, size_t n, Sink&& sink) {
    char out[kAsciiPiece];
    size_t used = 0;
    for (size_t i = 0; i < n;) {
      char next = data[i];
      if (next == '\r' && previous_ == '\r') next = '\n';
      else if (next == '\n' && previous_ != '\r') next = '\r';
      else ++i;
      out[used++] = next;
      previous_ = next;
      if (used == sizeof out) {
        if (!sink(out, used)) return false;
        used = 0;
      }
    }
    return used == 0 || sink(out, used);
  }

 private:
  char previous_ = 0;
};

// True when the next line waiting on the control connection is ABOR, Telnet interrupt and
// synch bytes before it allowed for. The line stays where it is: the interpreter answers it
// once the transfer it ends has replied. A peek stops short of the urgent byte clients send
// with ABOR (the synch's data mark, or the line's own last byte), so while that byte is
// still ahead, the start of ABOR, or nothing but Telnet commands, is enough.
bool AbortWaiting(SOCKET control) {
  char waiting[512];
  const int32_t n = InetPeekWaiting(control, waiting, int32_t(sizeof waiting));
  std::string line;
  for (int32_t i = 0; i < n; ++i) {
    const unsigned char ch = static_cast<unsigned char>(waiting[i]);
    if (ch == kTelnetIac) {
      if (i + 1 < n && static_cast<unsigned char>(waiting[i + 1]) >= kTelnetWill) ++i;  // its option byte
      ++i;
      continue;
    }
    if (ch == '\n') return IEquals(Upper(line).c_str(), "ABOR");
    if (ch != '\r' && ch != ' ' && ch != '\0') line += char(ch);
  }
  if (n <= 0 || line.size() > 4 || !InetUrgentWaiting(control)) return false;
  return std::string_view("ABOR").starts_with(Upper(line));
}

// Watches for ABOR during a transfer, looking at most every kAbortCheckMs.
class AbortWatch {
 public:
  explicit AbortWatch(FtpServerSession& s) : s_(s) {}
  bool Requested(bool now = false) {
    if (s_.abortFlag.load() || s_.ending.load()) return true;
    const uint32_t tick = plat::GetTickCount();
    if (!now && tick - last_ < kAbortCheckMs) return false;
    last_ = tick;
    if (AbortWaiting(s_.controlSocket)) s_.abortFlag.store(1);
    return s_.abortFlag.load() != 0;
  }

 private:
  FtpServerSession& s_;
  uint32_t last_ = 0;
};

// Runs one step of a transfer (a send or receive that waits at most a slice) until it moves
// data, fails, or the client aborts. The step's result, or 0 with cvErrorOperationCanceled.
template <typename Step>
int64_t UntilMoved(SOCKET data, AbortWatch& abort, Step&& step) {
  InetSocketRecord* r = InetLookupHandleAnyThread(data);
  const uint32_t limit = r && r->timeout.load() ? r->timeout.load() * 1000u : plat::INFINITE;
  const uint32_t start = plat::GetTickCount();
  for (;;) {
    if (abort.Requested()) return InetSetLastError(cvErrorOperationCanceled), -1;
    const int64_t n = step(kWaitSliceMs);
    if (n >= 0 || InetGetLastError() != cvErrorOperationTimeout) return n;
    if (limit != plat::INFINITE && plat::GetTickCount() - start >= limit) return -1;
    if (abort.Requested(true)) return InetSetLastError(cvErrorOperationCanceled), -1;
  }
}

bool SendAll(SOCKET h, const char* data, size_t n, AbortWatch& abort) {
  while (n > 0) {
    const int64_t sent = UntilMoved(h, abort, [&](uint32_t ms) {
      return int64_t(InetWriteWait(h, data, int32_t(std::min<size_t>(n, 0x7FFFFFFF)), ms));
    });
    if (sent <= 0) return false;
    data += sent;
    n -= size_t(sent);
  }
  return true;
}

bool WriteAll(int fd, const char* data, size_t n) {
  while (n > 0) {
    const ssize_t w = ::write(fd, data, n);
    if (w <= 0) return false;
    data += w;
    n -= size_t(w);
  }
  return true;
}

bool SameAddress(const SockAddress& a, const SockAddress& b) {
  if (a.family != b.family) return false;
  return std::memcmp(a.address, b.address, a.family == 2 ? 4 : 16) == 0;
}

class FileCloser {
 public:
  explicit FileCloser(int fd) : fd_(fd) {}
  ~FileCloser() {
    if (fd_ >= 0) ::close(fd_);
  }
  FileCloser(const FileCloser&) = delete;
  FileCloser& operator=(const FileCloser&) = delete;

 private:
  int fd_;
};

// The error a failed transfer step leaves: the abort, the socket's, or a lost connection.
uint32_t StepError(const FtpServerSession& s) {
  if (s.abortFlag.load() || s.ending.load()) return cvErrorOperationCanceled;
  return InetGetLastError() ? InetGetLastError() : cvErrorConnectionAborted;
}

uint32_t SendFile(const Client& c, const std::string& file, int fd) {
  FtpServerSession& s = *c.session;
  s.state.store(kFtpStateSending);
  s.direction = 0;
  s.bytesTransferred.store(0);
  SetText(s, s.resolvedPath, file.c_str());
  ::posix_fadvise(fd, 0, 0, POSIX_FADV_SEQUENTIAL);
  struct stat st {};
  ::fstat(fd, &st);
  const uint64_t size = uint64_t(st.st_size);
  uint64_t offset = std::min(s.restartOffset, size);
  const SOCKET data = s.dataSocket.load();
  const bool ascii = s.transferType == 1;
  AbortWatch abort(s);
  if (!ascii && !InetIsSecure(data)) {
    while (offset < size) {
      const int64_t n = UntilMoved(data, abort, [&](uint32_t ms) {
        return InetSendFile(data, fd, &offset, std::min<uint64_t>(size - offset, kSendFileChunk), ms);
      });
      if (n < 0) return StepError(s);
      if (n == 0) break;  // the file got shorter meanwhile
      s.bytesTransferred.fetch_add(uint64_t(n));
    }
    return abort.Requested(true) ? cvErrorOperationCanceled : 0;
  }
  ::lseek(fd, off_t(offset), SEEK_SET);
  AsciiConverter converter;
  std::vector<char> block(kFileBlock);
  for (;;) {
    if (abort.Requested()) return cvErrorOperationCanceled;
    const ssize_t n = ::read(fd, block.data(), block.size());
    if (n < 0) return cvErrorFileReadFailed;
    if (n == 0) break;
    bool ok;
    if (ascii) {
      ok = converter.Convert(block.data(), size_t(n), [&](const char* p, size_t m) {
        if (!SendAll(data, p, m, abort)) return false;
        s.bytesTransferred.fetch_add(m);
        return true;
      });
    } else {
      ok = SendAll(data, block.data(), size_t(n), abort);
      if (ok) s.bytesTransferred.fetch_add(uint64_t(n));
    }
    if (!ok) return StepError(s);
  }
  return 0;
}

uint32_t ReceiveFile(const Client& c, const std::string& file, int fd, bool append) {
  FtpServerSession& s = *c.session;
  s.state.store(kFtpStateReceiving);
  s.direction = 1;
  s.bytesTransferred.store(0);
  SetText(s, s.resolvedPath, file.c_str());
  struct stat st {};
  ::fstat(fd, &st);
  const uint64_t size = uint64_t(st.st_size);
  if (append) {
    ::lseek(fd, 0, SEEK_END);
    s.restartOffset = 0;
    s.direction = 2;
  } else if (s.restartOffset > 0 && s.restartOffset < size) {
    ::lseek(fd, off_t(s.restartOffset), SEEK_SET);
    if (::ftruncate(fd, off_t(s.restartOffset)) != 0) return cvErrorFileWriteFailed;
  } else if (s.restartOffset > 0) {
    ::lseek(fd, 0, SEEK_END);
  } else if (::ftruncate(fd, 0) != 0) {
    return cvErrorFileWriteFailed;
  }
  const SOCKET data = s.dataSocket.load();
  const bool ascii = s.transferType == 1;
  AsciiConverter converter;
  AbortWatch abort(s);
  std::vector<char> block(kFileBlock);
  for (;;) {
    const int64_t n = UntilMoved(data, abort, [&](uint32_t ms) {
      return int64_t(InetReadWait(data, block.data(), int32_t(block.size()), ms));
    });
    if (n < 0) return StepError(s);
    if (n == 0) break;
    s.bytesTransferred.fetch_add(uint64_t(n));
    const bool ok = ascii ? converter.Convert(block.data(), size_t(n), [&](const char* p, size_t m) { return WriteAll(fd, p, m); })
                          : WriteAll(fd, block.data(), size_t(n));
    if (!ok) return cvErrorFileWriteFailed;
  }
  return 0;
}

}  // namespace

int OpenForTransfer(const Client& c, const std::string& file, uint32_t direction, bool exclusive) {
  uint32_t attributes = 0;
  const bool exists = GetAttributes(file, &attributes);
  if (exists && (IsDirectoryAttr(attributes) || IsDeviceAttr(attributes))) return Fail(c.server->serverHandle.load(), cvErrorInvalidFileType, -1);
  int fd;
  if (direction == kFtpDirectionSend) {
    fd = ::open(file.c_str(), O_RDONLY | O_CLOEXEC);
  } else {
    // The server may run with rights that ignore the owner-write bit: a file made
    // read-only (SITE ATTRIB +R, CHMOD 444) is refused here, not by the system.
    if (exists && (attributes & ftpAttributeReadOnly)) return Fail(c.server->serverHandle.load(), cvErrorAccessDenied, -1);
    fd = ::open(file.c_str(), O_WRONLY | O_CREAT | O_CLOEXEC | O_NOFOLLOW | (exclusive ? O_EXCL : 0), 0666);
  }
  if (fd < 0) {
    const uint32_t code = errno == ENOENT || errno == ENOTDIR ? cvErrorFileNotFound
                          : errno == EEXIST                  ? cvErrorFileExists
                                                             : cvErrorAccessDenied;
    return Fail(c.server->serverHandle.load(), code, -1);
  }
  if ((c.server->options.load() & ftpServerLockFiles) && ::flock(fd, LOCK_EX | LOCK_NB) != 0) {
    ::close(fd);
    return Fail(c.server->serverHandle.load(), cvErrorAccessDenied, -1);
  }
  return fd;
}

int32_t TransferOpened(const Client& c, uint32_t direction, const std::string& file, int fd) {
  FileCloser closer(fd);
  FtpServerSession& s = *c.session;
  const uint64_t server = c.server->serverHandle.load();
  if (s.dataSocket.load() == INVALID_SOCKET) return Fail(server, cvErrorNotConnected, 0);
  uint32_t err = TakeDataConnection(c);
  if (err == 0)
    err = direction == kFtpDirectionSend ? SendFile(c, file, fd) : ReceiveFile(c, file, fd, direction == kFtpDirectionAppend);
  s.state.store(kFtpStateIdle);
  s.restartOffset = 0;
  s.lastActivity.store(Now());
  if (err != 0) return Fail(server, err, 0);
  InetSetLastError(0);
  return 1;
}

void CloseData(FtpServerSession& s) {
  SOCKET h;
  {
    std::lock_guard lk(s.dataLock);
    h = s.dataSocket.exchange(INVALID_SOCKET);
  }
  if (h != INVALID_SOCKET) {
    const uint32_t saved = InetGetLastError();
    InetDisconnect(h);
    InetSetLastError(saved);
  }
  s.abortFlag.store(0);
}

void CancelData(FtpServerSession& s) {
  std::lock_guard lk(s.dataLock);
  const SOCKET h = s.dataSocket.load();
  if (h != INVALID_SOCKET) {
    const uint32_t saved = InetGetLastError();
    InetCancel(h);
    InetSetLastError(saved);
  }
}

uint32_t TakeDataConnection(const Client& c) {
  FtpServerSession& s = *c.session;
  if (s.ending.load()) return cvErrorOperationCanceled;
  if (s.state.load() == kFtpStatePassive) {
    const SOCKET listener = s.dataSocket.load();
    const SOCKET accepted = InetAcceptDefault(listener);
    const uint32_t err = InetGetLastError();
    CloseData(s);
    if (accepted == INVALID_SOCKET) return err ? err : cvErrorNotConnected;
    // Only the client itself may take its data connection.
    SockAddress peer{};
    InetGetPeerAddress(accepted, &peer, nullptr);
    if (!SameAddress(peer, s.clientAddress)) {
      InetDisconnect(accepted);
      return cvErrorAccessDenied;
    }
    std::lock_guard lk(s.dataLock);
    s.dataSocket.store(accepted);
  }
  if (s.security.load() & kFtpProtectData) {
    if (SecStartSession(s.dataSocket.load(), kSecRoleServer, c.server->credentials) != 0) {
      const uint32_t err = InetGetLastError();
      CloseData(s);
      return err ? err : cvErrorSecurityCredentials;
    }
  }
  return 0;
}

bool OpenActiveIfNeeded(const Client& c) {
  FtpServerSession& s = *c.session;
  if (s.state.load() == kFtpStateActive && s.dataSocket.load() == INVALID_SOCKET) {
    const uint32_t saved = InetGetLastError();
    FtpSessionOpenDataConnection(c.server->serverHandle.load(), s.clientId, nullptr, nullptr);
    InetSetLastError(saved);
  }
  return s.dataSocket.load() != INVALID_SOCKET;
}

}  // namespace cvftpsrv

using namespace cvftpsrv;

int32_t FtpSessionOpenDataConnection(uint64_t server, uint32_t clientId, SockAddress* address, uint32_t* port) {
  Client c = FindClient(server, clientId);
  if (!c) return 0;
  FtpServerRecord& r = *c.server;
  FtpServerSession& s = *c.session;
  if (s.dataSocket.load() != INVALID_SOCKET) return Fail(server, cvErrorConnectionOpen, 0);
  if (s.state.load() == kFtpStateActive) {
    const SOCKET h = InetConnect(s.dataHost, s.dataPort);
    if (h == INVALID_SOCKET) return Fail(server, InetGetLastError(), 0);
    s.dataSocket.store(h);
    if (address) InetGetPeerAddress(h, address, port);
    else if (port) *port = s.dataPort;
    return 1;
  }
  if (s.state.load() != kFtpStatePassive) return Fail(server, cvErrorInvalidClientState, 0);
  const uint32_t family = s.ipv6Data ? 23 : 2;
  const char* any = s.ipv6Data ? "::0" : "0.0.0.0";
  const uint32_t low = r.minPassivePort, high = r.maxPassivePort;
  uint32_t candidate;
  if (s.lastPassivePort == 0) {
    // From the system's random source: a client must not be able to predict the port
    // another client's transfer will listen on.
    uint16_t draw = 0;
    if (::getrandom(&draw, sizeof draw, 0) != ssize_t(sizeof draw)) draw = uint16_t(plat::GetTickCount());
    const double fraction = double(draw % 32768) * (1.0 / 32768.0);
    candidate = low + uint32_t(fraction * double(high - low));
  } else {
    candidate = s.lastPassivePort >= high ? low : s.lastPassivePort + 1;
  }
  // Every port of the range is tried once at most.
  SOCKET h = INVALID_SOCKET;
  for (uint32_t tries = 0; tries <= high - low && h == INVALID_SOCKET; ++tries) {
    h = InetListen(any, candidate, 5, 0);
    if (h == INVALID_SOCKET) candidate = candidate >= high ? low : candidate + 1;
  }
  if (h == INVALID_SOCKET) return Fail(server, InetGetLastError() ? InetGetLastError() : cvErrorAddressInUse, 0);
  s.dataSocket.store(h);
  s.lastPassivePort = candidate;
  SockAddress announce{};
  if (r.options.load() & ftpServerExternal) {
    std::lock_guard lk(r.textLock);
    announce = r.serverAddress;
  } else if (InetGetLocalAddress(s.controlSocket, 0, &announce) <= 0 || announce.family != family) {
    InetGetLocalAddress(INVALID_SOCKET, family, &announce);
  }
  if (address) *address = announce;
  if (port) *port = candidate;
  InetFormatAddress(&announce, s.dataHost);
  s.dataPort = candidate;
  InetSetLastError(0);
  return 1;
}

int32_t FtpSessionCloseDataConnection(uint64_t server, uint32_t clientId) {
  SessionPtr s = Lib().FindSession(server, clientId);
  if (!s) return 0;
  CloseData(*s);
  return 1;
}

int32_t FtpSessionTransferFile(uint64_t server, uint32_t clientId, uint32_t direction, const char* file) {
  Client c = FindClient(server, clientId);
  if (!c) return 0;
  if (c.session->dataSocket.load() == INVALID_SOCKET) return Fail(server, cvErrorNotConnected, 0);
  if (!file || !*file) return Fail(server, cvErrorInvalidFileName, 0);
  const int fd = OpenForTransfer(c, file, direction, false);
  if (fd < 0) return 0;
  return TransferOpened(c, direction, file, fd);
}

int32_t FtpSessionGetTransferInfo(uint64_t server, uint32_t clientId, FtpTransferInfo* info) {
  Client c = FindClient(server, clientId);
  if (!c) return 0;
  if (!info || info->size != sizeof(FtpTransferInfo)) return Fail(server, cvErrorInvalidParameter, 0);
  FtpServerSession& s = *c.session;
  std::memset(info, 0, sizeof *info);
  info->size = sizeof *info;
  std::lock_guard lk(s.textLock);
  const char* verb = Token(s, 0);
  bool transfer = false;
  for (const char* v : {"APPE", "RETR", "STOR", "STOU"}) transfer = transfer || std::strcmp(verb, v) == 0;
  if (!transfer) return Fail(server, cvErrorInvalidCommand, 0);
  info->direction = s.direction;
  info->elapsed = s.commandDuration.load();
  info->bytes = s.bytesTransferred.load();
  CopyText(info->localPath, sizeof info->localPath, s.resolvedPath);
  return 1;
}
