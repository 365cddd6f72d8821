// One RFC 868 exchange: a 4-byte datagram of zeros out, a 4-byte big-endian count of
// seconds since 1900 back.
#include <netinet/in.h>
#include <poll.h>

#include <algorithm>
#include <cstring>

#include "core/errors/error_codes.h"
#include "core/url/sock_address.h"
#include "mail/sock/mailsock.h"
#include "platform/base/last_error.h"
#include "platform/base/tick.h"
#include "platform/msg/wait.h"
#include "platform/net/wsa_errors.h"
#include "time/time_library.h"

namespace cvtime {
namespace {

// The socket of one query, closed on every way out.
class QuerySocket {
 public:
  explicit QuerySocket(int32_t family) : s_(SockCreateUdp(family)) {}
  ~QuerySocket() {
    if (s_ != INVALID_SOCKET) {
      const uint32_t kept = plat::GetLastError();
      SockClose(s_);
      plat::SetLastError(kept);
    }
  }
  QuerySocket(const QuerySocket&) = delete;
  QuerySocket& operator=(const QuerySocket&) = delete;
  SOCKET get() const { return s_; }

 private:
  SOCKET s_;
};

// Whether a datagram came from the server asked: anyone else who learns the port could
// otherwise hand the caller a time of their choosing.
bool FromServer(const sockaddr_storage& from, int32_t fromLength, const void* server, uint32_t serverLength) {
  const auto* want = static_cast<const sockaddr*>(server);
  if (from.ss_family != want->sa_family) return false;
  if (want->sa_family == AF_INET) {
    const auto& a = reinterpret_cast<const sockaddr_in&>(from);
    const auto* b = static_cast<const sockaddr_in*>(server);
    return fromLength >= int32_t(sizeof a) && a.sin_port == b->sin_port && a.sin_addr.s_addr == b->sin_addr.s_addr;
  }
  const auto& a = reinterpret_cast<const sockaddr_in6&>(from);
  const auto* b = static_cast<const sockaddr_in6*>(server);
  return serverLength == sizeof *b && fromLength >= int32_t(sizeof a) && a.sin6_port == b->sin6_port &&
         std::memcmp(&a.sin6_addr, &b->sin6_addr, sizeof a.sin6_addr) == 0;
}

// One wait step: sleeps until the socket is readable or the time is up, serving messages
// sent to this thread and, when it has an active window, dispatching its posted messages
// (the host's timers run meanwhile). A pending quit is left to the host's loop.
void WaitStep(SOCKET s, uint32_t remainingMs) {
  pollfd fd{int(s), POLLIN, 0};
  if (plat::WaitForEventsOrMessages(&fd, 1, remainingMs, plat::kWaitDispatchPosted).status == plat::WaitStatus::Quit)
    plat::WaitForEventsOrMessages(&fd, 1, remainingMs, plat::kWaitServeSent);
}

}  // namespace
}  // namespace cvtime

uint32_t TimeGetNetworkTime(const char* host, uint32_t port, uint32_t timeout) {
  using namespace cvtime;
  Frame& lib = Library();
  if (lib.IsInitialized() == 0) return 0;  // cvErrorNetworkNotInitialized set

  char normalized[kSockHostNameSize];
  const char* name = kTimeDefaultServer;
  if (host && *host) {
    if (!SockNormalizeHostName(host, normalized)) return Fail(cvErrorInvalidHostName);
    name = normalized;
  }
  if (port == 0) port = kTimePortDefault;
  if (port > 0xFFFF) return Fail(cvErrorInvalidServicePort);
  if (timeout == 0) timeout = kTimeTimeoutDefault;

  SockAddress address{};
  if (SockResolveAddress(name, 0, &address) < 0) return Fail(cvErrorInvalidHostName);
  sockaddr_storage server{};
  uint32_t serverLength = 0;
  if (SockMakeSockaddr(&address, uint16_t(port), &server, &serverLength) == 0)
    return Fail(plat::GetLastError());

  QuerySocket socket(int32_t(address.family));
  if (socket.get() == INVALID_SOCKET) {
    lib.SetSocketError();
    return 0;
  }
  // A connected datagram socket hears the server's "port unreachable": a closed time port
  // fails at once with "connection refused" instead of after the whole time-out.
  if (SockConnect(socket.get(), reinterpret_cast<const sockaddr*>(&server), int32_t(serverLength)) != 0) {
    lib.SetSocketError();
    return 0;
  }
  uint32_t word = 0;
  if (SockSendToValue(socket.get(), reinterpret_cast<char*>(&word), &server, int32_t(serverLength)) < 0) {
    lib.SetSocketError();
    return 0;
  }

  // 64-bit ticks: a long timeout cannot wrap the deadline round to "already passed".
  const uint64_t deadline = plat::GetTickCount64() + uint64_t(timeout) * 1000u;
  uint32_t nonBlocking = 1;
  SockSetBlockingMode(socket.get(), &nonBlocking);
  for (;;) {
    sockaddr_storage from{};
    int32_t fromLength = sizeof from;
    const int32_t n = SockRecvFromValue(socket.get(), reinterpret_cast<char*>(&word), &from, &fromLength);
    if (n == 4 && FromServer(from, fromLength, &server, serverLength)) return SockNtohl(word);
    if (n < 0) {
      const uint32_t error = SockGetLastError();
      if (error != plat::WSAEWOULDBLOCK) return Fail(kCvErrorBase | error);
    }
    // A short datagram, or one from elsewhere, is ignored: the wait goes on.
    const uint64_t now = plat::GetTickCount64();
    if (now >= deadline) return Fail(cvErrorOperationTimeout);
    if (n < 0) WaitStep(socket.get(), uint32_t(std::min<uint64_t>(deadline - now, 0x7FFFFFFFu)));
  }
}
