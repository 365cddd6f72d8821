// The addresses of a handle and the local host's full name.
#include <poll.h>

#include <cstring>

#include "core/sock/binding.h"
#include "platform/registry/registry.h"
#include "sockets/inet_internal.h"

using namespace cvsock;

namespace {

// The peer of a socket; false when it has none.
bool PeerOf(SOCKET s, SockAddress* out, uint32_t* port) {
  sockaddr_storage ss{};
  int32_t length = sizeof ss;
  auto* getpeername = cvcore::Binding().ws.getpeername;
  if (!getpeername || getpeername(s, reinterpret_cast<sockaddr*>(&ss), &length) != 0) return false;
  return InetSplitSockaddr(reinterpret_cast<sockaddr*>(&ss), out, port) == 0;
}

// Learns the caller waiting on a listening socket without handing the connection to
// anyone: Linux cannot look into the queue, so the connection is taken off it and kept
// in the record for the next accept (or reject).
bool LearnCaller(InetSocketRecord& l) {
  std::lock_guard lk(Library().lock());
  if (l.deferred == INVALID_SOCKET) {
    short revents = 0;
    if (PollNow(l.handle, POLLIN, &revents) <= 0) return false;
    SetBlocking(l.handle, false);
    SOCKET s = SockAcceptNoAddress(l.handle);
    SetBlocking(l.handle, true);
    if (s == INVALID_SOCKET) return false;
    l.deferred = s;
  }
  return PeerOf(l.deferred, &l.callerAddress, &l.callerPort);
}

}  // namespace

int32_t InetGetLocalAddress(SOCKET handle, uint32_t family, SockAddress* out) {
  if (!out) return Fail(cvErrorInvalidParameter);
  *out = SockAddress{};
  if (handle != INVALID_SOCKET) {
    InetSocketRecord* r = InetLookupHandle(handle);
    if (!r) return -1;
    if (family != 0 && family != r->family) return Fail(cvErrorProtocolFamily);
    sockaddr_storage ss{};
    int32_t length = sizeof ss;
    if (SockGetLocalName(handle, reinterpret_cast<sockaddr*>(&ss), &length) != 0) return FailSocket();
    if (InetSplitSockaddr(reinterpret_cast<sockaddr*>(&ss), out, nullptr) != 0) return -1;
    return int32_t(out->family);
  }
  char name[kSockHostNameSize] = {};
  if (SockGetHostName(name, sizeof name) != 0 || !*name) return Fail(cvErrorUnknownLocalhost);
  addrinfo hints{};
  hints.ai_family = family == 0 ? plat::kAfInet : int(family);
  hints.ai_socktype = plat::kSockStream;
  addrinfo* list = nullptr;
  if (SockLookupHost(name, &hints, &list) != 0 || !list) return Fail(cvErrorUnknownLocalhost);
  int32_t rc = InetSplitSockaddr(list->ai_addr, out, nullptr);
  SockFreeHostList(list);
  if (rc != 0) return Fail(cvErrorUnknownLocalhost);
  return int32_t(out->family);
}

int32_t InetGetPeerAddress(SOCKET handle, SockAddress* out, uint32_t* port) {
  if (out) *out = SockAddress{};
  if (port) *port = 0;
  InetSocketRecord* r = InetLookupHandle(handle);
  if (!r) return -1;
  SockAddress address{};
  uint32_t p = 0;
  if (r->listening) {
    SOCKET accepting = ServerAcceptingHandleOf(handle);
    if (accepting != INVALID_SOCKET && PeerOf(accepting, &address, &p)) {
      r->callerAddress = address;
      r->callerPort = p;
    } else if (r->callerAddress.family == 0 && !LearnCaller(*r)) {
      return Fail(cvErrorOperationWouldBlock);
    }
    address = r->callerAddress;
    p = r->callerPort;
  } else if (r->peerAddress.family != 0) {
    address = r->peerAddress;
    p = r->peerPort;
  } else if (!PeerOf(handle, &address, &p)) {
    return FailSocket();
  }
  if (out) *out = address;
  if (port) *port = p;
  return 0;
}

int32_t InetGetFullHostName(char* buffer, uint32_t size) {
  if (InetIsInitialized() == 0) return -1;
  if (!buffer || size == 0) return Fail(cvErrorInvalidParameter);
  char name[512] = {};
  if (SockGetHostName(name, 256) != 0) return Fail(cvErrorUnknownLocalhost);
  if (!std::strchr(name, '.')) {
    for (const char* key : {"System\\CurrentControlSet\\Services\\Tcpip\\Parameters\\Transient",
                            "System\\CurrentControlSet\\Services\\Tcpip\\Parameters"}) {
      std::optional<std::string> domain = plat::RegGetString(plat::HKEY_LOCAL_MACHINE, key, "Domain");
      if (domain && !domain->empty()) {
        std::strncat(name, ".", sizeof name - std::strlen(name) - 1);
        std::strncat(name, domain->substr(0, 511).c_str(), sizeof name - std::strlen(name) - 1);
        break;
      }
    }
  }
  std::strncpy(buffer, name, size - 1);
  buffer[size - 1] = '\0';
  return int32_t(std::strlen(buffer));
}
