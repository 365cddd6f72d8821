// Socket calls only this library makes, over the deliverable's socket binding: they fail
// with WSANOTINITIALISED while it is not started and report to the trace library like
// the core's.
#include <netinet/in.h>
#include <netinet/tcp.h>
#include <sys/sendfile.h>
#include <sys/socket.h>

#include <fcntl.h>
#include <pthread.h>
#include <signal.h>
#include <time.h>

#include <cerrno>
#include <climits>

#include "core/sock/binding.h"
#include "core/trace/trace_binding.h"
#include "platform/net/wsa_errors.h"
#include "sockets/inet.h"
#include "sockets/inet_internal.h"

using cvcore::Binding;
using cvcore::SockFail;
namespace ct = cvtrace;

namespace {

constexpr uint32_t kMissing = plat::WSANOTINITIALISED;

template <typename Fn, typename... Args>
void Report(ct::Entry e, Args... args) {
  if (Fn hook = cvcore::Trace().Hook<Fn>(e)) hook(args...);
}

// The descriptor of a socket for the calls the binding's table has no entry for.
int Descriptor(SOCKET s) {
  if (s > SOCKET(INT_MAX)) {
    plat::SetLastError(plat::WSAENOTSOCK);
    return -1;
  }
  return int(s);
}

}  // namespace

SOCKET SockAcceptNoAddress(SOCKET s) {
  auto& ws = Binding().ws;
  if (!ws.accept) return SockFail(kMissing, INVALID_SOCKET);
  SOCKET r = ws.accept(s, nullptr, nullptr);
  Report<ct::AcceptHook>(ct::kAccept, r, s, static_cast<sockaddr*>(nullptr), static_cast<int32_t*>(nullptr));
  return r;
}

int32_t SockListenBacklog(SOCKET s, int32_t backlog) {
  auto& ws = Binding().ws;
  if (!ws.listen) return SockFail(kMissing, -1);
  int r = ws.listen(s, backlog);
  Report<ct::ListenHook>(ct::kListen, r, s, backlog);
  return r;
}

int32_t SockRecvFromNoFlags(SOCKET s, char* buffer, int32_t length, sockaddr* address, int32_t* addressLength) {
  if (!Binding().ws.recv) return SockFail(kMissing, -1);
  int fd = Descriptor(s);
  if (fd < 0) return -1;
  if (length < 0 || !buffer || (address && !addressLength)) return SockFail(plat::WSAEFAULT, -1);
  socklen_t len = addressLength ? socklen_t(*addressLength) : 0;
  ssize_t n;
  do n = ::recvfrom(fd, buffer, size_t(length), 0, address, address ? &len : nullptr);
  while (n < 0 && errno == EINTR);
  if (n < 0) {
    int r = SockFail(plat::WsaErrorFromErrno(errno), -1);
    Report<ct::RecvHook>(ct::kRecv, r, s, buffer, length, 0);
    return r;
  }
  if (addressLength) *addressLength = int32_t(len);
  Report<ct::RecvHook>(ct::kRecv, int(n), s, buffer, length, 0);
  return int32_t(n);
}

int32_t SockSendToNoFlags(SOCKET s, const char* buffer, int32_t length, const sockaddr* address,
                          int32_t addressLength) {
  if (!Binding().ws.send) return SockFail(kMissing, -1);
  int fd = Descriptor(s);
  if (fd < 0) return -1;
  if (length < 0 || (!buffer && length > 0) || !address || addressLength <= 0) return SockFail(plat::WSAEFAULT, -1);
  ssize_t n;
  do n = ::sendto(fd, buffer, size_t(length), MSG_NOSIGNAL, address, socklen_t(addressLength));
  while (n < 0 && errno == EINTR);
  int r = n < 0 ? SockFail(plat::WsaErrorFromErrno(errno), -1) : int(n);
  Report<ct::SendHook>(ct::kSend, r, s, buffer, length, 0);
  return r;
}

int32_t SockRecvNoWait(SOCKET s, char* buffer, int32_t length) {
  if (!Binding().ws.recv) return SockFail(kMissing, -1);
  int fd = Descriptor(s);
  if (fd < 0) return -1;
  if (length < 0 || !buffer) return SockFail(plat::WSAEFAULT, -1);
  ssize_t n;
  do n = ::recv(fd, buffer, size_t(length), MSG_DONTWAIT);
  while (n < 0 && errno == EINTR);
  const int r = n < 0 ? SockFail(plat::WsaErrorFromErrno(errno), -1) : int(n);
  Report<ct::RecvHook>(ct::kRecv, r, s, buffer, length, 0);
  return r;
}

int32_t SockSendNoWait(SOCKET s, const char* buffer, int32_t length) {
  if (!Binding().ws.send) return SockFail(kMissing, -1);
  int fd = Descriptor(s);
  if (fd < 0) return -1;
  if (length < 0 || (!buffer && length > 0)) return SockFail(plat::WSAEFAULT, -1);
  ssize_t n;
  do n = ::send(fd, buffer, size_t(length), MSG_DONTWAIT | MSG_NOSIGNAL);
  while (n < 0 && errno == EINTR);
  const int r = n < 0 ? SockFail(plat::WsaErrorFromErrno(errno), -1) : int(n);
  Report<ct::SendHook>(ct::kSend, r, s, buffer, length, 0);
  return r;
}

ssize_t cvsock::SendFileNoSignal(int socket, int file, off_t* offset, size_t count) noexcept {
  // sendfile has no MSG_NOSIGNAL: a peer that left would raise SIGPIPE in the host. The
  // signal is blocked on this thread for the call and one it raised is taken back.
  sigset_t pipeSet, previous;
  sigemptyset(&pipeSet);
  sigaddset(&pipeSet, SIGPIPE);
  pthread_sigmask(SIG_BLOCK, &pipeSet, &previous);
  sigset_t pendingBefore;
  sigpending(&pendingBefore);
  ssize_t n;
  do n = ::sendfile(socket, file, offset, count);
  while (n < 0 && errno == EINTR);
  const int saved = errno;
  // Also after a partial send: the kernel raises the signal where the peer's close stops a
  // send that already moved some bytes, and reports the count.
  sigset_t pendingAfter;
  sigpending(&pendingAfter);
  if (sigismember(&pendingAfter, SIGPIPE) && !sigismember(&pendingBefore, SIGPIPE)) {
    const timespec zero{0, 0};
    while (sigtimedwait(&pipeSet, nullptr, &zero) < 0 && errno == EINTR) {
    }
  }
  pthread_sigmask(SIG_SETMASK, &previous, nullptr);
  errno = saved;
  return n;
}

int64_t SockSendFileNoWait(SOCKET s, int file, uint64_t* offset, uint64_t count) {
  if (!Binding().ws.send) return SockFail(kMissing, -1);
  int fd = Descriptor(s);
  if (fd < 0) return -1;
  if (!offset) return SockFail(plat::WSAEFAULT, -1);
  // The socket itself stays blocking for every other call: only this one must not wait.
  const int flags = ::fcntl(fd, F_GETFL);
  if (flags >= 0 && !(flags & O_NONBLOCK)) ::fcntl(fd, F_SETFL, flags | O_NONBLOCK);
  off_t at = off_t(*offset);
  const ssize_t n = cvsock::SendFileNoSignal(fd, file, &at, size_t(count));
  const int saved = errno;
  if (flags >= 0 && !(flags & O_NONBLOCK)) ::fcntl(fd, F_SETFL, flags);
  if (n < 0) return SockFail(plat::WsaErrorFromErrno(saved), -1);
  *offset = uint64_t(at);
  return int64_t(n);
}

int32_t SockShutdownSend(SOCKET s) {
  auto& ws = Binding().ws;
  if (!ws.shutdown) return SockFail(kMissing, -1);
  return ws.shutdown(s, plat::kSdSend);
}

// Keep-alive with the given idle time and probe interval (not traced).
int32_t SockSetKeepAliveValues(SOCKET s, uint32_t on, uint32_t idleMs, uint32_t intervalMs) {
  if (!Binding().ws.setsockopt) return SockFail(kMissing, -1);
  int fd = Descriptor(s);
  if (fd < 0) return -1;
  int enable = on ? 1 : 0;
  int idle = int(idleMs < 1000 ? 1 : idleMs / 1000);
  int interval = int(intervalMs < 1000 ? 1 : intervalMs / 1000);
  if (::setsockopt(fd, SOL_SOCKET, SO_KEEPALIVE, &enable, sizeof enable) != 0 ||
      (on && (::setsockopt(fd, IPPROTO_TCP, TCP_KEEPIDLE, &idle, sizeof idle) != 0 ||
              ::setsockopt(fd, IPPROTO_TCP, TCP_KEEPINTVL, &interval, sizeof interval) != 0)))
    return SockFail(plat::WsaErrorFromErrno(errno), -1);
  return 0;
}
