// The time library's datagram calls. The platform's socket table has no datagram entries,
// so sendto and recvfrom are made here on the socket's descriptor with the table's
// contract: only while the binding is started, no SIGPIPE, EINTR retried, errno as a
// Windows Sockets number, and each call reported to the trace library.
#include <sys/socket.h>

#include <cerrno>
#include <climits>

#include "core/sock/binding.h"
#include "core/sock/sock.h"
#include "core/trace/trace_binding.h"
#include "platform/net/wsa_errors.h"
#include "time/time.h"

using cvcore::Binding;
using cvcore::SockFail;
namespace ct = cvtrace;

namespace {

constexpr int32_t kValueSize = 4;

template <typename Fn, typename... Args>
void Report(ct::Entry e, Args... args) {
  if (Fn hook = cvcore::Trace().Hook<Fn>(e)) hook(args...);
}

bool BadSocket(SOCKET s) { return s == INVALID_SOCKET || s > SOCKET(INT_MAX); }

}  // namespace

SOCKET SockCreateUdp(int32_t family) { return SockCreate(family, SOCK_DGRAM, IPPROTO_UDP); }

int32_t SockSendToValue(SOCKET s, const char* buffer, const void* address, int32_t length) {
  if (!Binding().ws.send) return SockFail(plat::WSANOTINITIALISED, -1);
  int32_t r;
  if (BadSocket(s)) {
    r = SockFail(plat::WSAENOTSOCK, -1);
  } else if (!buffer || !address || length <= 0) {
    r = SockFail(plat::WSAEFAULT, -1);
  } else {
    ssize_t n;
    do {
      n = ::sendto(int(s), buffer, kValueSize, MSG_NOSIGNAL, static_cast<const sockaddr*>(address), socklen_t(length));
    } while (n < 0 && errno == EINTR);
    r = n < 0 ? SockFail(plat::WsaErrorFromErrno(errno), -1) : int32_t(n);
  }
  Report<ct::SendHook>(ct::kSend, r, s, buffer, kValueSize, 0);
  return r;
}

int32_t SockRecvFromValue(SOCKET s, char* buffer, void* from, int32_t* fromLength) {
  if (!Binding().ws.recv) return SockFail(plat::WSANOTINITIALISED, -1);
  int32_t r;
  if (BadSocket(s)) {
    r = SockFail(plat::WSAENOTSOCK, -1);
  } else if (!buffer || (from && !fromLength)) {
    r = SockFail(plat::WSAEFAULT, -1);
  } else {
    socklen_t size = from ? socklen_t(*fromLength) : 0;
    ssize_t n;
    // MSG_TRUNC reports a datagram's real length, so an over-long one is told from a fit.
    do {
      n = ::recvfrom(int(s), buffer, kValueSize, MSG_TRUNC, static_cast<sockaddr*>(from), from ? &size : nullptr);
    } while (n < 0 && errno == EINTR);
    if (n < 0) {
      r = SockFail(plat::WsaErrorFromErrno(errno), -1);
    } else if (n > kValueSize) {
      r = SockFail(plat::WSAEMSGSIZE, -1);
    } else {
      r = int32_t(n);
      if (from) *fromLength = int32_t(size);
    }
  }
  Report<ct::RecvHook>(ct::kRecv, r, s, buffer, kValueSize, 0);
  return r;
}
