// Start-up counting, the cached system answers and the small pass-through helpers.
#include "core/sock/binding.h"

#include <arpa/inet.h>

#include "core/sock/sock.h"
#include "platform/msg/message.h"
#include "platform/msg/wait.h"
#include "platform/msg/window.h"
#include "platform/net/wsa_errors.h"

namespace cvcore {

SockBinding& Binding() {
  static SockBinding binding;
  return binding;
}

}  // namespace cvcore

using cvcore::Binding;
using cvcore::SockFail;

int32_t SockStartup(plat::WSADATA* data) {
  auto& b = Binding();
  plat::OsVersion v;
  if (!plat::GetOsVersion(&v) || v.platformId != 2 || v.major < 5)
    return SockFail(plat::WSASYSNOTREADY, int32_t(plat::WSASYSNOTREADY));
  b.version = v;
  if (!b.bound.load()) {
    // Binding happens in the first attach, before any session exists (not locked).
    b.ws = plat::WsaAdapters();
    if (v.major == 5 && v.minor == 0) {
      // The newer resolver and conversion entries came with 5.1.
      b.ws.freeaddrinfo = nullptr;
      b.ws.getaddrinfo = nullptr;
      b.ws.getnameinfo = nullptr;
      b.ws.inet_ntop = nullptr;
      b.ws.inet_pton = nullptr;
    }
    b.bound = true;
  }
  if (!b.ws.WSAStartup || !b.ws.WSACleanup) return SockFail(plat::WSASYSNOTREADY, int32_t(plat::WSASYSNOTREADY));
  while (b.useCount.fetch_add(1) + 1 < 1) {
  }
  plat::SetLastError(0);
  return b.ws.WSAStartup(0x0202, data);
}

int32_t SockCleanup() {
  auto& b = Binding();
  if (!b.ws.WSACleanup || b.useCount.fetch_sub(1) - 1 < 0) return SockFail(plat::WSANOTINITIALISED, -1);
  return b.ws.WSACleanup();
}

int32_t SockIsIPv6Available() {
  auto& b = Binding();
  if (!b.ws.WSAEnumProtocolsA) return SockFail(plat::WSANOTINITIALISED, 0);
  if (b.IsVersion50()) return SockFail(plat::WSAEAFNOSUPPORT, 0);
  if (b.ipv6Providers.load() < 0) {
    const int32_t protocols[] = {plat::kIpProtoTcp, plat::kIpProtoUdp, 0};
    plat::ProtocolInfo entries[32];
    uint32_t size = sizeof entries;
    int n = b.ws.WSAEnumProtocolsA(protocols, entries, &size);
    if (n >= 0) {
      int32_t tcp6 = 0;
      for (int i = 0; i < n; ++i)
        if (entries[i].iAddressFamily == plat::kAfInet6 && entries[i].iSocketType == plat::kSockStream &&
            entries[i].iProtocol == plat::kIpProtoTcp)
          ++tcp6;
      b.ipv6Providers = tcp6;
    }
  }
  if (b.ipv6Providers.load() > 0) return 1;
  return SockFail(plat::WSAEPROTONOSUPPORT, 0);
}

// The wait step of every blocking loop. Sent messages are always served while waiting;
// posted ones are dispatched only where the thread runs a user interface. A quit message
// is put back for the host's own loop, and the wait still lasts its time, so a caller
// looping on SockYield never spins.
int32_t SockYield(uint32_t milliseconds) {
  int32_t result = 1;
  if (plat::ThreadHasActiveWindow()) {
    plat::MSG msg;
    while (plat::PeekMessage(&msg, nullptr, 0, 0, plat::PM_NOREMOVE)) {
      if (!plat::GetMessage(&msg, nullptr, 0, 0)) {
        plat::PostQuitMessage(int32_t(msg.wParam));
        result = 0;
        break;
      }
      plat::TranslateMessage(&msg);
      plat::DispatchMessage(&msg);
    }
  }
  plat::WaitForEventsOrMessages(nullptr, 0, milliseconds, plat::kWaitServeSent);
  return result;
}

uint32_t SockGetLastError() {
  auto& b = Binding();
  return b.ws.WSAGetLastError ? uint32_t(b.ws.WSAGetLastError()) : plat::GetLastError();
}

void SockClearLastError() {
  auto& b = Binding();
  if (b.ws.WSASetLastError) b.ws.WSASetLastError(0);
  else plat::SetLastError(0);
}

// (The parentheses keep the C library's byte-order macros away from the entry names.)
uint32_t SockHtonl(uint32_t v) { auto& ws = Binding().ws; return ws.htonl ? (ws.htonl)(v) : v; }
uint16_t SockHtons(uint16_t v) { auto& ws = Binding().ws; return ws.htons ? (ws.htons)(v) : uint16_t(v & 0xFFFF); }
uint32_t SockNtohl(uint32_t v) { auto& ws = Binding().ws; return ws.ntohl ? (ws.ntohl)(v) : v; }
uint16_t SockNtohs(uint16_t v) { auto& ws = Binding().ws; return ws.ntohs ? (ws.ntohs)(v) : uint16_t(v & 0xFFFF); }

int32_t SockFdIsSet(SOCKET s, const plat::FdSet* set) { return plat::FdIsSet(s, set); }

plat::NetEventSet* SockNetworkEvents() {
  auto& b = Binding();
  std::lock_guard lock(b.eventsLock);
  if (!b.networkEvents) b.networkEvents = std::make_unique<plat::NetEventSet>();
  return b.networkEvents.get();
}
