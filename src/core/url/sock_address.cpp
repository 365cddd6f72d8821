#include "core/url/sock_address.h"

#include <netinet/in.h>

#include <cstring>

#include "core/errors/error_codes.h"
#include "platform/base/last_error.h"
#include "platform/net/wsa_types.h"

namespace {

template <typename T>
T Fail(uint32_t code, T value) {
  plat::SetLastError(code);
  return value;
}

// Copies the address bytes of a lookup result; false for a family we do not carry.
bool TakeAddress(const sockaddr* sa, SockAddress* out) {
  if (!sa) return false;
  if (sa->sa_family == AF_INET) {
    out->family = plat::kAfInet;
    std::memcpy(out->address, &reinterpret_cast<const sockaddr_in*>(sa)->sin_addr, 4);
    return true;
  }
  if (sa->sa_family == AF_INET6) {
    out->family = plat::kAfInet6;
    std::memcpy(out->address, &reinterpret_cast<const sockaddr_in6*>(sa)->sin6_addr, 16);
    return true;
  }
  return false;
}

}  // namespace

uint32_t SockMakeSockaddr(const SockAddress* address, uint16_t port, void* buffer, uint32_t* length) {
  if (!buffer || !length) return Fail(cvErrorInvalidParameter, 0u);
  std::memset(buffer, 0, kSockAddressBufferSize);
  *length = 0;
  if (!address || address->family == 0) return Fail(cvErrorInvalidAddress, 0u);
  if (address->family == plat::kAfInet) {
    auto* sin = static_cast<sockaddr_in*>(buffer);
    sin->sin_family = AF_INET;
    sin->sin_port = htons(port);
    std::memcpy(&sin->sin_addr, address->address, 4);
    *length = sizeof(sockaddr_in);
    return address->family;
  }
  if (address->family == plat::kAfInet6) {
    auto* sin6 = static_cast<sockaddr_in6*>(buffer);
    sin6->sin6_family = AF_INET6;
    sin6->sin6_port = htons(port);
    std::memcpy(&sin6->sin6_addr, address->address, 16);
    *length = sizeof(sockaddr_in6);
    return address->family;
  }
  return Fail(cvErrorProtocolFamily, 0u);
}

int32_t SockParseAddress(const char* text, uint32_t wanted, SockAddress* out) {
  if (!text || !*text) return Fail(cvErrorInvalidHostAddress, -1);
  if (!out) return Fail(cvErrorInvalidParameter, -1);
  std::memset(out, 0, sizeof *out);
  if ((wanted == 0 || wanted == plat::kAfInet) && SockInetPton(plat::kAfInet, text, out->address) == 1) {
    out->family = plat::kAfInet;
    return plat::kAfInet;
  }
  if ((wanted == 0 || wanted == plat::kAfInet6) && SockInetPton(plat::kAfInet6, text, out->address) == 1) {
    out->family = plat::kAfInet6;
    return plat::kAfInet6;
  }
  std::memset(out, 0, sizeof *out);
  return Fail(cvErrorInvalidAddress, -1);
}

int32_t SockResolveAddress(const char* name, uint32_t hint, SockAddress* out) {
  if (!name || !*name) return Fail(cvErrorInvalidHostName, -1);
  if (!out) return Fail(cvErrorInvalidParameter, -1);
  std::memset(out, 0, sizeof *out);
  addrinfo hints{};
  hints.ai_family = int(hint);
  hints.ai_socktype = plat::kSockStream;
  addrinfo* list = nullptr;
  if (SockLookupHost(name, &hints, &list) != 0) return Fail(cvErrorInvalidHostName, -1);
  if (!list) return int32_t(hint);
  const bool taken = TakeAddress(list->ai_addr, out);
  SockFreeHostList(list);
  if (!taken) return Fail(cvErrorInvalidAddress, -1);
  return int32_t(out->family);
}
