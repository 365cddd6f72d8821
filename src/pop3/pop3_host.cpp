// The local host's full name (the configured DNS domain appended to a bare name) and the
// local address of a session's connection, or of the host.
#include <netinet/in.h>

#include <cstdio>
#include <cstring>
#include <optional>
#include <string>

#include "mail/sock/mailsock.h"
#include "platform/registry/registry.h"
#include "pop3/pop3_internal.h"

namespace {

// Fills address from a native socket address; the family (2 or 23), or 0.
uint32_t FromSockaddr(const sockaddr_storage& native, SockAddress* address) {
  if (native.ss_family == AF_INET) {
    address->family = 2;
    std::memcpy(address->address, &reinterpret_cast<const sockaddr_in&>(native).sin_addr, 4);
    return 2;
  }
  if (native.ss_family == AF_INET6) {
    address->family = 23;
    std::memcpy(address->address, &reinterpret_cast<const sockaddr_in6&>(native).sin6_addr, 16);
    return 23;
  }
  return 0;
}

}  // namespace

using namespace cvpop3;

int32_t Pop3GetLocalAddress(LibHandle handle, SockAddress* address) {
  if (!address) return Finish(Status(cvErrorInvalidParameter));
  *address = SockAddress{};
  // No session (or another thread's) asks about the host instead, leaving the error alone.
  const Result<Pop3Session*> found = Library().LookupOwned(handle);
  Pop3Session* s = found.ok() ? found.value() : nullptr;
  if (s && s->header.controlSocket != INVALID_SOCKET) {
    sockaddr_storage native{};
    int32_t length = sizeof native;
    if (SockGetLocalName(s->header.controlSocket, reinterpret_cast<sockaddr*>(&native), &length) != 0)
      return Finish(SessionCalls::SocketFailure());
    const uint32_t family = FromSockaddr(native, address);
    return family ? int32_t(family) : Finish(Status(cvErrorUnknownLocalhost));
  }
  char name[kSockHostNameSize] = "";
  if (SockGetHostName256(name) != 0) return Finish(Status(cvErrorUnknownLocalhost));
  addrinfo hints{};
  hints.ai_family = (s && (s->options & kPop3OptionIpv6Only)) ? 23 : 2;
  hints.ai_socktype = SOCK_STREAM;
  addrinfo* list = nullptr;
  if (SockLookupHost(name, &hints, &list) != 0 || !list) return Finish(Status(cvErrorUnknownLocalhost));
  sockaddr_storage native{};
  std::memcpy(&native, list->ai_addr, std::min<size_t>(list->ai_addrlen, sizeof native));
  SockFreeHostList(list);
  const uint32_t family = FromSockaddr(native, address);
  return family ? int32_t(family) : Finish(Status(cvErrorUnknownLocalhost));
}
