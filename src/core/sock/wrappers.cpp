// The socket wrappers: each makes its call once through the binding (WSANOTINITIALISED and
// the failure value when the entry is missing) and reports the call's result and arguments
// to its trace hook when one is bound.
#include "core/sock/binding.h"
#include "core/sock/sock.h"
#include "core/trace/trace_binding.h"
#include "platform/net/adapters.h"
#include "platform/net/wsa_errors.h"

using cvcore::Binding;
using cvcore::SockFail;
using cvcore::Trace;
namespace ct = cvtrace;

namespace {

constexpr uint32_t kMissing = plat::WSANOTINITIALISED;

// Calls the hook of entry e (type Fn) with args when it is bound.
template <typename Fn, typename... Args>
void Report(ct::Entry e, Args... args) {
  if (Fn hook = Trace().Hook<Fn>(e)) hook(args...);
}

}  // namespace

SOCKET SockAccept(SOCKET s, sockaddr* address, int32_t* length) {
  auto& ws = Binding().ws;
  if (!ws.accept) return SockFail(kMissing, INVALID_SOCKET);
  SOCKET r = ws.accept(s, address, length);
  Report<ct::AcceptHook>(ct::kAccept, r, s, address, length);
  return r;
}

int32_t SockBind(SOCKET s, const sockaddr* address, int32_t length) {
  auto& ws = Binding().ws;
  if (!ws.bind) return SockFail(kMissing, -1);
  int r = ws.bind(s, address, length);
  Report<ct::BindHook>(ct::kBind, r, s, address, length);
  return r;
}

int32_t SockClose(SOCKET s) {
  auto& ws = Binding().ws;
  if (!ws.closesocket) return SockFail(kMissing, -1);
  if (ws.getsockopt) {
    // Announce the end of our data first, unless the socket only listens.
    int32_t listening = 0, size = sizeof listening;
    if (ws.getsockopt(s, plat::kSolSocket, plat::kSoAcceptConn, reinterpret_cast<char*>(&listening), &size) == 0 &&
        !listening && ws.shutdown)
      ws.shutdown(s, plat::kSdSend);
  }
  int r = ws.closesocket(s);
  Report<ct::CloseHook>(ct::kClose, r, s);
  return r;
}

int32_t SockConnect(SOCKET s, const sockaddr* address, int32_t length) {
  auto& ws = Binding().ws;
  if (!ws.connect) return SockFail(kMissing, -1);
  int r = ws.connect(s, address, length);
  Report<ct::ConnectHook>(ct::kConnect, r, s, address, length);
  return r;
}

int32_t SockGetHostName(char* buffer, int32_t size) {
  auto& ws = Binding().ws;
  if (!ws.gethostname) return SockFail(kMissing, -1);
  int r = ws.gethostname(buffer, size);
  Report<ct::GetHostNameHook>(ct::kGetHostName, r, buffer, size);
  return r;
}

int32_t SockGetLocalName(SOCKET s, sockaddr* address, int32_t* length) {
  auto& ws = Binding().ws;
  if (!ws.getsockname) return SockFail(kMissing, -1);
  int r = ws.getsockname(s, address, length);
  Report<ct::GetSockNameHook>(ct::kGetSockName, r, s, address, length);
  return r;
}

int32_t SockGetPendingError(SOCKET s, int32_t* error, int32_t* length) {
  auto& ws = Binding().ws;
  if (!ws.getsockopt) return SockFail(kMissing, -1);
  char* value = reinterpret_cast<char*>(error);
  int r = ws.getsockopt(s, plat::kSolSocket, plat::kSoError, value, length);
  Report<ct::GetSockOptHook>(ct::kGetSockOpt, r, s, plat::kSolSocket, plat::kSoError, value, length);
  return r;
}

int32_t SockIoctl(SOCKET s, int32_t command, uint32_t* argument) {
  auto& ws = Binding().ws;
  if (!ws.ioctlsocket) return SockFail(kMissing, -1);
  int r = ws.ioctlsocket(s, command, argument);
  Report<ct::IoctlHook>(ct::kIoctl, r, s, command, argument);
  return r;
}

int32_t SockListen(SOCKET s) {
  auto& ws = Binding().ws;
  if (!ws.listen) return SockFail(kMissing, -1);
  int r = ws.listen(s, plat::kSoMaxConn);
  Report<ct::ListenHook>(ct::kListen, r, s, plat::kSoMaxConn);
  return r;
}

int32_t SockRecv(SOCKET s, char* buffer, int32_t length, int32_t flags) {
  auto& ws = Binding().ws;
  if (!ws.recv) return SockFail(kMissing, -1);
  int r = ws.recv(s, buffer, length, flags);
  Report<ct::RecvHook>(ct::kRecv, r, s, buffer, length, flags);
  return r;
}

int32_t SockSelect(plat::FdSet* readSet, plat::FdSet* writeSet, plat::FdSet* errorSet, const plat::TimeVal* timeout) {
  auto& ws = Binding().ws;
  if (!ws.select) return SockFail(kMissing, -1);
  int r = ws.select(64, readSet, writeSet, errorSet, timeout);
  if (r == -1) Report<ct::SelectHook>(ct::kSelect, r, 64, readSet, writeSet, errorSet, timeout);
  return r;
}

int32_t SockSend(SOCKET s, const char* buffer, int32_t length, int32_t flags) {
  auto& ws = Binding().ws;
  if (!ws.send) return SockFail(kMissing, -1);
  int r = ws.send(s, buffer, length, flags);
  Report<ct::SendHook>(ct::kSend, r, s, buffer, length, flags);
  return r;
}

int64_t SockSendFile(SOCKET s, int file, uint64_t* offset, uint32_t count) {
  if (!Binding().ws.send) return SockFail(kMissing, int64_t(-1));
  // A trace shows the bytes of every send: while one listens, the bytes go through Send.
  if (Trace().Hook<ct::SendHook>(ct::kSend)) return SockFail(plat::WSAEOPNOTSUPP, int64_t(-1));
  return plat::net::SendFile(s, file, offset, count);
}

int32_t SockLimitUnsent(SOCKET s, uint32_t bytes) {
  if (!Binding().ws.setsockopt) return SockFail(kMissing, -1);
  return plat::net::LimitUnsent(s, bytes);
}

int32_t SockSetOption(SOCKET s, int32_t level, int32_t option, const void* value) {
  auto& ws = Binding().ws;
  if (!ws.setsockopt) return SockFail(kMissing, -1);
  const char* v = static_cast<const char*>(value);
  int r = ws.setsockopt(s, level, option, v, 4);
  Report<ct::SetSockOptHook>(ct::kSetSockOpt, r, s, level, option, v, 4);
  return r;
}

SOCKET SockCreate(int32_t family, int32_t type, int32_t protocol) {
  auto& b = Binding();
  if (!b.ws.socket || !b.ws.setsockopt) return SockFail(kMissing, INVALID_SOCKET);
  if (family == plat::kAfInet6 && b.IsVersion50()) {
    plat::SetLastError(plat::WSAEAFNOSUPPORT);
    Report<ct::SocketHook>(ct::kSocket, INVALID_SOCKET, family, type, protocol);
    return INVALID_SOCKET;
  }
  SOCKET s = b.ws.socket(family, type, protocol);
  Report<ct::SocketHook>(ct::kSocket, s, family, type, protocol);
  if (s == INVALID_SOCKET) return s;
  if (family == plat::kAfInet6) {
    int32_t level = plat::kProtectionLevelUnrestricted;
    b.ws.setsockopt(s, plat::kIpProtoIpv6, plat::kIpv6ProtectionLevel, reinterpret_cast<const char*>(&level), 4);
  }
  if (type == plat::kSockStream || protocol == plat::kIpProtoTcp) {
    int32_t size = 65535;
    b.ws.setsockopt(s, plat::kSolSocket, plat::kSoRcvBuf, reinterpret_cast<const char*>(&size), 4);
    b.ws.setsockopt(s, plat::kSolSocket, plat::kSoSndBuf, reinterpret_cast<const char*>(&size), 4);
  }
  return s;
}

int32_t SockAsyncSelect(SOCKET s, HWND window, uint32_t message, int32_t events) {
  auto& ws = Binding().ws;
  if (!ws.WSAAsyncSelect) return SockFail(kMissing, -1);
  int r = ws.WSAAsyncSelect(s, window, message, events);
  Report<ct::AsyncSelectHook>(ct::kAsyncSelect, r, s, window, message, events);
  return r;
}

int32_t SockEnumNetworkEvents(SOCKET s, plat::WsaNetworkEvents* events) {
  auto& ws = Binding().ws;
  if (!ws.WSAEnumNetworkEvents) return SockFail(kMissing, -1);
  int r = ws.WSAEnumNetworkEvents(s, nullptr, events);
  Report<ct::EnumNetworkEventsHook>(ct::kEnumNetworkEvents, r, s, nullptr, events);
  return r;
}

int32_t SockEventSelect(SOCKET s, int32_t events) {
  auto& ws = Binding().ws;
  if (!ws.WSAEventSelect) return SockFail(kMissing, -1);
  plat::NetEventSet* set = SockNetworkEvents();
  int r = ws.WSAEventSelect(s, set, events);
  Report<ct::EventSelectHook>(ct::kEventSelect, r, s, set, events);
  return r;
}

plat::HostEnt* SockGetHostByName(const char* name) {
  auto& ws = Binding().ws;
  if (!ws.gethostbyname) return SockFail<plat::HostEnt*>(kMissing, nullptr);
  return ws.gethostbyname(name);
}

plat::ServEnt* SockGetServByName(const char* name) {
  auto& ws = Binding().ws;
  if (!ws.getservbyname) return SockFail<plat::ServEnt*>(kMissing, nullptr);
  return ws.getservbyname(name, nullptr);
}

int32_t SockShutdown(SOCKET s, int32_t how) {
  auto& ws = Binding().ws;
  if (!ws.shutdown) return SockFail(kMissing, -1);
  return ws.shutdown(s, how);
}

int32_t SockAddressToString(const sockaddr* address, uint32_t length, char* buffer, uint32_t* size) {
  auto& ws = Binding().ws;
  if (!ws.WSAAddressToStringA) return SockFail(kMissing, -1);
  return ws.WSAAddressToStringA(address, length, nullptr, buffer, size);
}

int32_t SockGetInterfaceList(SOCKET s, void* buffer, uint32_t* bytesReturned) {
  auto& ws = Binding().ws;
  if (!ws.WSAIoctl) return SockFail(kMissing, -1);
  return ws.WSAIoctl(s, plat::kSioGetInterfaceList, nullptr, 0, buffer, kSockInterfaceListSize, bytesReturned,
                     nullptr, nullptr);
}
