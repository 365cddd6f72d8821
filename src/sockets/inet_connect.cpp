// Opening connections: connect, listen and accept. None of them leaves a handle behind
// when it fails.
#include <poll.h>

#include <algorithm>
#include <cstring>

#include "core/sock/binding.h"
#include "platform/net/wsa_errors.h"
#include "sockets/inet_internal.h"

namespace cvsock {
namespace {

bool Attached() {
  const uint32_t saved = InetGetLastError();
  if (Library().IsInitialized() == 0) return false;
  InetSetLastError(saved);
  return true;
}

// Releases a handle that failed to open, keeping the error that made it fail.
SOCKET ReleaseAndFail(SOCKET h, uint32_t error) {
  InetReleaseHandle(h);
  return FailHandle(error);
}

uint32_t SocketErrorCode() {
  uint32_t e = plat::GetLastError();
  return kCvErrorBase | cvcore::ErrorNumber(e ? e : plat::WSAEINVAL);
}

}  // namespace

void ReadLocalAddress(InetSocketRecord& r) noexcept {
  sockaddr_storage ss{};
  int32_t length = sizeof ss;
  if (SockGetLocalName(r.handle, reinterpret_cast<sockaddr*>(&ss), &length) == 0)
    InetSplitSockaddr(reinterpret_cast<sockaddr*>(&ss), &r.localAddress, &r.localPort);
}

void ReadPeerAddress(InetSocketRecord& r) noexcept {
  sockaddr_storage ss{};
  int32_t length = sizeof ss;
  auto* getpeername = cvcore::Binding().ws.getpeername;
  if (getpeername && getpeername(r.handle, reinterpret_cast<sockaddr*>(&ss), &length) == 0)
    InetSplitSockaddr(reinterpret_cast<sockaddr*>(&ss), &r.peerAddress, &r.peerPort);
}

}  // namespace cvsock

using namespace cvsock;

SOCKET InetConnect(const char* host, uint32_t port) {
  if (!Attached()) return INVALID_SOCKET;
  char name[kSockHostNameSize];
  if (!host || !SockNormalizeHostName(host, name) || !*name) return FailHandle(cvErrorInvalidHostName);
  if (port == 0 || port > 65535) return FailHandle(cvErrorInvalidServicePort);
  SockAddress address{};
  if (InetResolveAddress(name, 0, &address) < 0) return FailHandle(cvErrorInvalidHostName);
  sockaddr_storage sa{};
  uint32_t saLength = 0;
  if (!InetMakeSockaddr(&address, port, &sa, &saLength)) return INVALID_SOCKET;

  SOCKET h = InetCreateSocket(int32_t(address.family), plat::kSockStream, plat::kIpProtoTcp);
  if (h == INVALID_SOCKET) return h;
  RecordPtr r = FindRecord(h);
  r->peerAddress = address;
  r->peerPort = port;
  r->options.store(0);
  r->timeout.store(kInetDefaultTimeout);
  std::strncpy(r->hostName, name, sizeof r->hostName - 1);
  InetSetNotifyWindow(h, nullptr, 0);

  SetBlocking(h, false);
  r->outgoing = 1;
  if (SockConnect(h, reinterpret_cast<sockaddr*>(&sa), int32_t(saLength)) != 0) {
    if (plat::GetLastError() != plat::WSAEWOULDBLOCK) return ReleaseAndFail(h, SocketErrorCode());
    const uint32_t seconds = r->timeout.load() ? r->timeout.load() : kInetDefaultTimeout;
    WaitReady ready;
    switch (WaitSocket(*r, POLLOUT, seconds * 1000u, kInetStateConnecting, &ready)) {
      case WaitResult::Ready:
        if (!ready.write) {
          int32_t err = PendingError(h);
          if (err <= 0) err = int32_t(plat::WSAECONNREFUSED);
          return ReleaseAndFail(h, kCvErrorBase | uint32_t(err));
        }
        break;
      case WaitResult::Aborted: return FailHandle(cvErrorConnectionAborted);  // already released
      default: return ReleaseAndFail(h, InetGetLastError());
    }
  }
  r->connected = 1;
  SetBlocking(h, true);
  ReadLocalAddress(*r);
  return h;
}

namespace {

// Binds a port from 1023 down to 513; 0 or the error that stopped the search.
int32_t BindReservedPort(SOCKET h, const SockAddress& address) {
  uint32_t lastError = plat::WSAEADDRINUSE;
  for (uint32_t port = 1023; port >= 513; --port) {
    sockaddr_storage sa{};
    uint32_t length = 0;
    InetMakeSockaddr(&address, port, &sa, &length);
    if (SockBind(h, reinterpret_cast<sockaddr*>(&sa), int32_t(length)) == 0) return 0;
    lastError = plat::GetLastError();
    if (lastError != plat::WSAEADDRINUSE && lastError != plat::WSAEADDRNOTAVAIL) break;
  }
  plat::SetLastError(lastError);
  return -1;
}

}  // namespace

SOCKET InetListen(const char* address, uint32_t port, uint32_t backlog, uint32_t options) {
  if (!Attached()) return INVALID_SOCKET;
  if ((options & kInetOptionIPv6) && !SockIsIPv6Available()) return FailHandle(cvErrorProtocolNotAvailable);
  SockAddress local{};
  const uint32_t family = (options & kInetOptionIPv6) ? uint32_t(plat::kAfInet6) : 0u;
  if (InetResolveAddress(address, family, &local) < 0) return INVALID_SOCKET;
  if (port > 65535) return FailHandle(cvErrorInvalidServicePort);

  SOCKET h = InetCreateSocket(int32_t(local.family), plat::kSockStream, plat::kIpProtoTcp);
  if (h == INVALID_SOCKET) return h;
  RecordPtr r = FindRecord(h);
  r->localAddress = local;
  r->localPort = port;
  r->options.store(options & ~(kInetOptionBroadcast | kInetOptionKeepAlive | kInetOptionNoDelay | kInetOptionInline));
  r->listening = 1;
  r->state.store(kInetStateListening);
  for (uint32_t bit : {kInetOptionDontRoute, kInetOptionReuseAddress, kInetOptionExclusive, kInetOptionIPv6})
    if (options & bit) InetSetOption(h, bit);

  int32_t bound;
  if ((options & kInetOptionReservedPort) && (port == 0 || port >= 1024)) {
    bound = BindReservedPort(h, local);
  } else {
    sockaddr_storage sa{};
    uint32_t length = 0;
    InetMakeSockaddr(&local, port, &sa, &length);
    bound = SockBind(h, reinterpret_cast<sockaddr*>(&sa), int32_t(length));
  }
  if (bound != 0) return ReleaseAndFail(h, SocketErrorCode());
  const int32_t depth = backlog == 0 ? plat::kSoMaxConn : int32_t(std::min<uint32_t>(backlog, 200));
  if (SockListenBacklog(h, depth) != 0) return ReleaseAndFail(h, SocketErrorCode());
  ReadLocalAddress(*r);
  r->state.store(kInetStateListening);
  InetSetNotifyWindow(h, nullptr, 0);
  return h;
}

SOCKET InetAcceptDefault(SOCKET listening) { return InetAccept(listening, kInetDefaultTimeout, 0, nullptr); }

SOCKET InetAccept(SOCKET listening, uint32_t timeout, uint32_t options, SecCredentials* credentials) {
  RecordPtr l = FindRecord(listening);
  if (!l) return FailHandle(cvErrorInvalidHandle);
  if ((options & kInetOptionIPv6) && l->family != plat::kAfInet6) return FailHandle(cvErrorInvalidOption);
  if (l->busy.load()) return FailHandle(cvErrorOperationInProgress);
  const uint32_t kept = options & ~(kInetOptionBroadcast | kInetOptionExclusive);
  if ((options & kInetOptionSecure) && !SecLoadServerProvider()) return INVALID_SOCKET;
  if (timeout > 1000) timeout /= 1000;

  SOCKET s = TakeDeferred(*l);
  // A connection accepted here is blocking already (Linux does not pass the listening
  // socket's non-blocking flag on), and an asynchronously selected one must stay as it is.
  const bool deferred = s != INVALID_SOCKET;
  if (!deferred) {
    switch (WaitSocket(*l, POLLIN, TimeoutMs(timeout), kInetStateAccepting, nullptr)) {
      case WaitResult::Ready: break;
      case WaitResult::Aborted: return FailHandle(cvErrorConnectionAborted);
      default: return INVALID_SOCKET;
    }
    l->state.store(kInetStateListening);
    s = SockAcceptNoAddress(listening);
  }
  l->callerAddress = SockAddress{};
  l->callerPort = 0;
  if (s == INVALID_SOCKET) return FailHandle(SocketErrorCode());

  RecordPtr r = NewRecord(s, l->family, plat::kSockStream, plat::kIpProtoTcp);
  if (!r) {
    SockClose(s);
    return FailHandle(cvErrorOutOfMemory);
  }
  r->timeout.store(timeout);
  r->connected = 1;
  r->options.store(kept);
  ReadLocalAddress(*r);
  ReadPeerAddress(*r);
  if (deferred) SetBlocking(s, true);

  if (options & kInetOptionSecure) {
    SecCredentials zero{};
    zero.headSize = 64;
    SecCredentials* given = credentials ? credentials : &zero;
    if (given->protocolMask == 0) given->protocolMask = plat::kTlsProtocolTls12;
    if (SecStartSession(s, kSecRoleServer, given) != 0) {
      const uint32_t err = InetGetLastError();
      InetReleaseHandle(s);
      return FailHandle(err);
    }
  }
  for (uint32_t bit : {kInetOptionDontRoute, kInetOptionKeepAlive, kInetOptionNoDelay, kInetOptionInline})
    if (kept & bit) InetSetOption(s, bit);
  return s;
}
