// Socket calls over POSIX: EINTR is retried (WSAEINTR would mean "canceled" to the
// libraries), sends never raise SIGPIPE, IPv6 sockets are IPv6-only unless told otherwise,
// and every call that re-enables a selected event tells the selection state.
#include <fcntl.h>
#include <netinet/in.h>
#include <poll.h>
#include <pthread.h>
#include <signal.h>
#include <sys/ioctl.h>
#include <sys/sendfile.h>
#include <sys/socket.h>
#include <unistd.h>

#include "platform/net/adapters.h"

namespace plat::net {

namespace {

template <typename F>
auto RetryEintr(F call) {
  for (;;) {
    auto r = call();
    if (!(r < 0 && errno == EINTR)) return r;
  }
}

bool ValidLength(const int32_t* length) noexcept { return length == nullptr || *length >= 0; }

// Waits for a blocking connect that a signal interrupted, and takes its result.
int FinishInterruptedConnect(int fd) {
  pollfd p{fd, POLLOUT, 0};
  if (RetryEintr([&] { return ::poll(&p, 1, -1); }) < 0) return FailErrno();
  int err = 0;
  socklen_t len = sizeof err;
  if (::getsockopt(fd, SOL_SOCKET, SO_ERROR, &err, &len) != 0) return FailErrno();
  return err ? Fail(WsaErrorFromErrno(err)) : 0;
}

int NativeRecvFlags(int32_t flags, bool* ok) {
  *ok = (flags & ~(kMsgOob | kMsgPeek | kMsgDontRoute | kMsgWaitAll)) == 0;
  int native = 0;
  if (flags & kMsgOob) native |= MSG_OOB;
  if (flags & kMsgPeek) native |= MSG_PEEK;
  if (flags & kMsgDontRoute) native |= MSG_DONTROUTE;
  if (flags & kMsgWaitAll) native |= MSG_WAITALL;
  return native;
}

}  // namespace

SOCKET Socket(int32_t family, int32_t type, int32_t protocol) {
  int native = NativeFamily(family);
  if (native < 0 || native == AF_UNSPEC) {
    Fail(WSAEAFNOSUPPORT);
    return INVALID_SOCKET;
  }
  int fd = ::socket(native, type | SOCK_CLOEXEC, protocol);
  if (fd < 0) {
    FailErrno();
    return INVALID_SOCKET;
  }
  if (native == AF_INET6) {
    // Linux defaults to dual-stack; the libraries expect IPv6-only sockets.
    int on = 1;
    ::setsockopt(fd, IPPROTO_IPV6, IPV6_V6ONLY, &on, sizeof on);
  }
  NoteNewSocket(fd);
  return SOCKET(fd);
}

SOCKET Accept(SOCKET s, sockaddr* address, int32_t* length) {
  int fd = FdOf(s);
  if (fd < 0) return INVALID_SOCKET;
  if (!ValidLength(length) || (address && !length)) {
    Fail(WSAEFAULT);
    return INVALID_SOCKET;
  }
  socklen_t len = length ? socklen_t(*length) : 0;
  int nfd = RetryEintr([&] { return ::accept4(fd, address, length ? &len : nullptr, SOCK_CLOEXEC); });
  int saved = errno;
  NoteAccepted(fd, nfd);
  if (nfd < 0) {
    Fail(WsaErrorFromErrno(saved));
    return INVALID_SOCKET;
  }
  if (length) *length = int32_t(len);
  return SOCKET(nfd);
}

int Bind(SOCKET s, const sockaddr* address, int32_t length) {
  int fd = FdOf(s);
  if (fd < 0) return -1;
  if (!address || length < 0) return Fail(WSAEFAULT);
  return ::bind(fd, address, socklen_t(length)) == 0 ? 0 : FailErrno();
}

int CloseSocket(SOCKET s) {
  int fd = FdOf(s);
  if (fd < 0) return -1;
  int flags = ::fcntl(fd, F_GETFD);
  if (flags < 0) return FailErrno();
  ForgetSocket(fd);
  // Linux releases the descriptor even when close is interrupted: never retry.
  if (::close(fd) != 0 && errno != EINTR) return FailErrno();
  return 0;
}

int Connect(SOCKET s, const sockaddr* address, int32_t length) {
  int fd = FdOf(s);
  if (fd < 0) return -1;
  if (!address || length < 0) return Fail(WSAEFAULT);
  int r = ::connect(fd, address, socklen_t(length));
  if (r == 0 || errno == EINPROGRESS || errno == EINTR) NoteConnectStarted(fd);
  if (r == 0) return 0;
  if (errno == EINTR) return FinishInterruptedConnect(fd);
  return FailErrno();
}

int GetHostName(char* buffer, int32_t size) {
  if (!buffer || size <= 0) return Fail(WSAEFAULT);
  if (::gethostname(buffer, size_t(size)) != 0) return Fail(WSAEFAULT);
  buffer[size - 1] = '\0';
  return 0;
}

int GetPeerName(SOCKET s, sockaddr* address, int32_t* length) {
  int fd = FdOf(s);
  if (fd < 0) return -1;
  if (!address || !length || *length < 0) return Fail(WSAEFAULT);
  socklen_t len = socklen_t(*length);
  if (::getpeername(fd, address, &len) != 0) return FailErrno();
  *length = int32_t(len);
  return 0;
}

int GetSockName(SOCKET s, sockaddr* address, int32_t* length) {
  int fd = FdOf(s);
  if (fd < 0) return -1;
  if (!address || !length || *length < 0) return Fail(WSAEFAULT);
  socklen_t len = socklen_t(*length);
  if (::getsockname(fd, address, &len) != 0) return FailErrno();
  *length = int32_t(len);
  return 0;
}

int IoctlSocket(SOCKET s, int32_t command, uint32_t* argument) {
  int fd = FdOf(s);
  if (fd < 0) return -1;
  if (!argument) return Fail(WSAEFAULT);
  switch (command) {
    case kFionBio: {
      // A selected socket must stay non-blocking.
      if (*argument == 0 && IsSelected(fd)) return Fail(WSAEINVAL);
      int flags = ::fcntl(fd, F_GETFL);
      if (flags < 0) return FailErrno();
      flags = *argument ? (flags | O_NONBLOCK) : (flags & ~O_NONBLOCK);
      return ::fcntl(fd, F_SETFL, flags) == 0 ? 0 : FailErrno();
    }
    case kFionRead: {
      int n = 0;
      if (::ioctl(fd, FIONREAD, &n) != 0) return FailErrno();
      *argument = uint32_t(n);
      return 0;
    }
    case kSiocAtMark: {
      // The Windows answer is "no urgent data waiting": true unless the next byte is urgent.
      int atMark = 0;
      if (::ioctl(fd, SIOCATMARK, &atMark) != 0) return FailErrno();
      *argument = atMark ? 0 : 1;
      return 0;
    }
    default: return Fail(WSAEINVAL);
  }
}

int Listen(SOCKET s, int32_t backlog) {
  int fd = FdOf(s);
  if (fd < 0) return -1;
  if (::listen(fd, backlog < 0 ? SOMAXCONN : backlog) != 0) return FailErrno();
  NoteListen(fd);
  return 0;
}

int Recv(SOCKET s, char* buffer, int32_t length, int32_t flags) {
  int fd = FdOf(s);
  if (fd < 0) return -1;
  if (length < 0 || (!buffer && length > 0)) return Fail(WSAEFAULT);
  bool ok = true;
  int native = NativeRecvFlags(flags, &ok);
  if (!ok) return Fail(WSAEOPNOTSUPP);
  ssize_t n = RetryEintr([&] { return ::recv(fd, buffer, size_t(length), native); });
  int saved = errno;
  NoteRecv(fd);
  if (n < 0) return Fail(WsaErrorFromErrno(saved));
  return int(n);
}

int Send(SOCKET s, const char* buffer, int32_t length, int32_t flags) {
  int fd = FdOf(s);
  if (fd < 0) return -1;
  if (length < 0 || (!buffer && length > 0)) return Fail(WSAEFAULT);
  bool ok = true;
  int native = NativeRecvFlags(flags & ~kMsgPeek, &ok) | MSG_NOSIGNAL;
  if (!ok || (flags & kMsgPeek)) return Fail(WSAEOPNOTSUPP);
  int32_t total = 0;
  do {
    ssize_t n = RetryEintr([&] { return ::send(fd, buffer + total, size_t(length - total), native); });
    if (n < 0) {
      int saved = errno;
      if (saved == EAGAIN) NoteSendWouldBlock(fd);
      if (total > 0) break;
      return Fail(WsaErrorFromErrno(saved));
    }
    total += int32_t(n);
    // A blocking send hands over everything, as callers expect; only a signal can
    // stop it early, so go on then. A non-blocking one reports what fitted.
  } while (total < length && !(::fcntl(fd, F_GETFL) & O_NONBLOCK));
  return total;
}

ssize_t SendFileNoSignal(int fd, int file, off_t* offset, size_t count) noexcept {
  // sendfile has no MSG_NOSIGNAL: SIGPIPE is blocked on this thread for the call, and one
  // the call raised is taken back, also after a partial send (the kernel raises it where
  // the peer's close stops a send that already moved bytes, and reports the count).
  sigset_t pipeSet, previous, pendingBefore, pendingAfter;
  sigemptyset(&pipeSet);
  sigaddset(&pipeSet, SIGPIPE);
  pthread_sigmask(SIG_BLOCK, &pipeSet, &previous);
  sigpending(&pendingBefore);
  const ssize_t n = RetryEintr([&] { return ::sendfile(fd, file, offset, count); });
  const int saved = errno;
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

int64_t SendFile(SOCKET s, int file, uint64_t* offset, uint64_t count) {
  int fd = FdOf(s);
  if (fd < 0) return -1;
  if (!offset) return Fail(WSAEFAULT);
  off_t at = off_t(*offset);
  const ssize_t n = SendFileNoSignal(fd, file, &at, size_t(count));
  if (n < 0) return Fail(WsaErrorFromErrno(errno));
  *offset = uint64_t(at);
  return int64_t(n);
}

int Shutdown(SOCKET s, int32_t how) {
  int fd = FdOf(s);
  if (fd < 0) return -1;
  if (how < kSdReceive || how > kSdBoth) return Fail(WSAEINVAL);
  return ::shutdown(fd, how) == 0 ? 0 : FailErrno();
}

}  // namespace plat::net
