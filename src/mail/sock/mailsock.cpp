#include "mail/sock/mailsock.h"

#include <arpa/inet.h>
#include <sys/socket.h>

#include <cerrno>
#include <climits>
#include <cstring>

#include "core/sock/binding.h"
#include "core/sock/sock.h"
#include "core/trace/trace.h"
#include "core/trace/trace_binding.h"
#include "platform/net/socket_api.h"
#include "platform/net/wsa_errors.h"

using cvcore::Binding;
using cvcore::SockFail;
namespace ct = cvtrace;

namespace {

constexpr uint32_t kMissing = plat::WSANOTINITIALISED;
constexpr int32_t kNiNameRequired = 0x04;  // Windows getnameinfo flag

template <typename Fn, typename... Args>
void Report(ct::Entry e, Args... args) {
  if (Fn hook = cvcore::Trace().Hook<Fn>(e)) hook(args...);
}

// The per-thread host entry SockGetHostByAddr hands out, as gethostbyaddr's static one.
struct HostEntry {
  char name[NI_MAXHOST];
  char* aliases[1];
  uint8_t address[4];
  char* addresses[2];
  plat::HostEnt entry;
};

}  // namespace

int32_t SockRecvNoFlags(SOCKET s, char* buffer, int32_t length) { return SockRecv(s, buffer, length, 0); }

int32_t SockSendNoFlags(SOCKET s, const char* data, int32_t length) { return SockSend(s, data, length, 0); }

// The platform's socket table has no sendto entry: the call is made here on the socket's
// descriptor, with the same contract as the table's sends (no SIGPIPE, EINTR retried,
// errno as a Windows Sockets number), and only while the binding is started.
int32_t SockSendToNoFlags(SOCKET s, const char* data, int32_t length, const sockaddr_in* address) {
  if (!Binding().ws.send) return SockFail(kMissing, -1);
  int r;
  if (s > SOCKET(INT_MAX)) {
    r = SockFail(plat::WSAENOTSOCK, -1);
  } else if (length < 0 || (!data && length > 0) || !address) {
    r = SockFail(plat::WSAEFAULT, -1);
  } else {
    ssize_t n;
    do {
      n = ::sendto(int(s), data, size_t(length), MSG_NOSIGNAL, reinterpret_cast<const sockaddr*>(address),
                   sizeof(sockaddr_in));
    } while (n < 0 && errno == EINTR);
    r = n < 0 ? SockFail(plat::WsaErrorFromErrno(errno), -1) : int(n);
  }
  Report<ct::SendHook>(ct::kSend, r, s, data, length, 0);
  return r;
}

int32_t SockSetBlockingMode(SOCKET s, uint32_t* mode) { return SockIoctl(s, plat::kFionBio, mode); }

int32_t SockSelectNfds(int32_t nfds, plat::FdSet* readSet, plat::FdSet* writeSet, plat::FdSet* exceptSet,
                       const plat::TimeVal* timeout) {
  auto& ws = Binding().ws;
  if (!ws.select) return SockFail(kMissing, -1);
  int r = ws.select(nfds, readSet, writeSet, exceptSet, timeout);
  if (r == -1) Report<ct::SelectHook>(ct::kSelect, r, nfds, readSet, writeSet, exceptSet, timeout);
  return r;
}

int32_t SockGetPeerName(SOCKET s, sockaddr* address, int32_t* length) {
  auto& ws = Binding().ws;
  if (!ws.getpeername) return SockFail(kMissing, -1);
  int r = ws.getpeername(s, address, length);
  // The trace library has no entry of its own for getpeername: a plain trace line.
  TracePrintf(kTraceInformation, "getpeername(%llu) = %d", static_cast<unsigned long long>(s), r);
  return r;
}

int32_t SockGetHostName256(char* buffer) { return SockGetHostName(buffer, 256); }

// gethostbyaddr as a reverse look-up through the table's getnameinfo (a name is required,
// as gethostbyaddr fails rather than answer with the number).
plat::HostEnt* SockGetHostByAddr(const void* address) {
  auto& ws = Binding().ws;
  if (!ws.getnameinfo) return SockFail<plat::HostEnt*>(kMissing, nullptr);
  if (!address) return SockFail<plat::HostEnt*>(plat::WSAEFAULT, nullptr);
  thread_local HostEntry h;
  sockaddr_in in{};
  in.sin_family = AF_INET;
  std::memcpy(&in.sin_addr, address, 4);
  int rc = ws.getnameinfo(reinterpret_cast<const sockaddr*>(&in), sizeof in, h.name, sizeof h.name, nullptr, 0,
                          kNiNameRequired);
  if (rc != 0) return SockFail<plat::HostEnt*>(uint32_t(rc), nullptr);
  std::memcpy(h.address, address, 4);
  h.aliases[0] = nullptr;
  h.addresses[0] = reinterpret_cast<char*>(h.address);
  h.addresses[1] = nullptr;
  h.entry = plat::HostEnt{h.name, h.aliases, int16_t(plat::kAfInet), 4, h.addresses};
  return &h.entry;
}

plat::ServEnt* SockGetPassService() {
  auto& ws = Binding().ws;
  if (!ws.getservbyname) return SockFail<plat::ServEnt*>(kMissing, nullptr);
  return ws.getservbyname("poppass", "tcp");
}

void SockSetTimeoutError() {
  auto& ws = Binding().ws;
  if (ws.WSASetLastError) ws.WSASetLastError(int(plat::WSAETIMEDOUT));
  else plat::SetLastError(plat::WSAETIMEDOUT);
}

int32_t SockYieldNoDelay() { return SockYield(0); }
