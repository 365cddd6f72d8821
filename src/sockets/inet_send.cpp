// Whole-buffer and whole-file sends for responses: plain connections send without waiting
// and poll only when the socket's buffer is full (files go out with sendfile, the data
// never copied through the process); TLS connections encrypt large blocks into records.
#include <fcntl.h>
#include <poll.h>
#include <sys/socket.h>
#include <unistd.h>

#include <algorithm>
#include <vector>

#include "platform/base/tick.h"
#include "platform/net/adapters.h"
#include "sockets/inet_internal.h"

using namespace cvsock;

namespace {

constexpr size_t kFileBlock = 256 * 1024;  // reads of a file sent through TLS

bool IsTcp(const InetSocketRecord& r) { return r.protocol == uint32_t(plat::kIpProtoTcp) || r.type == 1; }

// Makes the socket non-blocking while sendfile runs (send itself is told per call).
struct NonBlocking {
  SOCKET s;
  explicit NonBlocking(SOCKET h) : s(h) { SetBlocking(s, false); }
  ~NonBlocking() { SetBlocking(s, true); }
};

// Waits until the socket takes more; false with the last error (time-out, cancel, abort).
bool WaitWritable(InetSocketRecord& r) {
  WaitReady ready;
  if (WaitSocket(r, POLLOUT, TimeoutMs(r.timeout.load()), kInetStateWriting, &ready) != WaitResult::Ready)
    return false;
  if (!ready.write) {
    const int32_t err = PendingError(r.handle);
    Fail(kCvErrorBase | uint32_t(err > 0 ? err : int32_t(plat::WSAECONNRESET)));
    return false;
  }
  return true;
}

void NoteSent(InetSocketRecord& r, size_t n) {
  r.bytesSent += uint32_t(n);
  r.lastSendTick = plat::GetTickCount();
}

// Sends all of data on a plain socket; more tells the stack that more data follows at once.
bool SendPlain(InetSocketRecord& r, const char* data, size_t length, bool more) {
  while (length > 0) {
    const ssize_t n = ::send(int(r.handle), data, length, MSG_NOSIGNAL | MSG_DONTWAIT | (more ? MSG_MORE : 0));
    if (n < 0) {
      const int e = errno;
      if (e == EINTR) continue;
      if (e == EAGAIN || e == EWOULDBLOCK) {
        if (WaitWritable(r)) continue;
        return false;
      }
      plat::net::FailErrno();
      FailSocket();
      return false;
    }
    NoteSent(r, size_t(n));
    data += n;
    length -= size_t(n);
  }
  return true;
}

bool SendSecure(SOCKET handle, const char* data, size_t length) {
  while (length > 0) {
    const int32_t piece = int32_t(std::min<size_t>(length, 1 << 20));
    const int32_t n = SecWriteLarge(handle, data, piece);
    if (n <= 0) return false;
    data += n;
    length -= size_t(n);
  }
  return true;
}

// Reads length bytes of the file in large blocks and sends each; for TLS, and for files
// sendfile cannot read.
bool CopyFile(InetSocketRecord& r, int fd, uint64_t length, bool secure) {
  std::vector<char> block(size_t(std::min<uint64_t>(length, kFileBlock)));
  while (length > 0) {
    const ssize_t n = ::read(fd, block.data(), size_t(std::min<uint64_t>(length, block.size())));
    if (n < 0 && errno == EINTR) continue;
    if (n <= 0) return Fail(cvErrorFileReadFailed, false);
    if (!(secure ? SendSecure(r.handle, block.data(), size_t(n)) : SendPlain(r, block.data(), size_t(n), false)))
      return false;
    length -= uint64_t(n);
  }
  return true;
}

}  // namespace

int32_t InetWriteAll(SOCKET handle, const char* data, size_t length, bool more) {
  RecordPtr r = LookupOwned(handle);
  if (!r) return 0;
  if (!IsTcp(*r)) return Fail(cvErrorProtocolNotSupported, 0);
  if (!data && length) return Fail(cvErrorInvalidParameter, 0);
  if (length == 0) return 1;
  if (TlsActive(*r)) return SendSecure(handle, data, length) ? 1 : 0;
  return SendPlain(*r, data, length, more) ? 1 : 0;
}

int32_t InetWriteFile(SOCKET handle, int fd, uint64_t length) {
  RecordPtr r = LookupOwned(handle);
  if (!r) return 0;
  if (!IsTcp(*r)) return Fail(cvErrorProtocolNotSupported, 0);
  if (fd < 0) return Fail(cvErrorInvalidParameter, 0);
  if (TlsActive(*r)) return CopyFile(*r, fd, length, true) ? 1 : 0;
  NonBlocking nb(handle);
  while (length > 0) {
    const ssize_t n =
        plat::net::SendFileNoSignal(int(handle), fd, nullptr, size_t(std::min<uint64_t>(length, 1u << 30)));
    if (n < 0) {
      const int e = errno;
      if (e == EAGAIN || e == EWOULDBLOCK) {
        if (WaitWritable(*r)) continue;
        return 0;
      }
      if (e == EINVAL || e == ENOSYS) return CopyFile(*r, fd, length, false) ? 1 : 0;
      plat::net::FailErrno();
      FailSocket();
      return 0;
    }
    if (n == 0) return Fail(cvErrorFileReadFailed, 0);  // the file is shorter than announced
    NoteSent(*r, size_t(n));
    length -= uint64_t(n);
  }
  return 1;
}
