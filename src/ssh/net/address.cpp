// Name lookup and candidate addresses of the SSH layer.
#include "ssh/net/address.h"

#include <arpa/inet.h>

#include <cstring>
#include <mutex>

#include "core/sock/sock.h"
#include "platform/net/socket_api.h"
#include "platform/net/wsa_errors.h"
#include "ssh/net/ssh_net.h"
#include "ssh/util/alloc.h"
#include "ssh/util/strings.h"

namespace {

SshAddress* NewAddress() {
  auto* a = static_cast<SshAddress*>(CheckedAlloc(1, sizeof(SshAddress)));
  if (a) std::memset(a, 0, sizeof *a);
  return a;
}

bool IsDottedIpv4(const char* text, uint32_t* hostOrder) {
  in_addr addr{};
  if (SockInetPton(plat::kAfInet, text, &addr) != 1) return false;
  *hostOrder = ntohl(addr.s_addr);
  return true;
}

// Local IPv4 interface addresses, fetched once and kept while the answer was positive.
// The buffer holds InterfaceInfo records, so it carries their alignment; the lock keeps
// two connecting threads from filling it at once.
struct InterfaceCache {
  std::mutex lock;
  bool valid = false;
  alignas(plat::InterfaceInfo) uint8_t buffer[kSockInterfaceListSize];
  uint32_t count = 0;
};
InterfaceCache g_interfaces;

// Caller holds g_interfaces.lock.
bool LoadInterfaces() {
  if (g_interfaces.valid) return true;
  SOCKET s = SockCreate(plat::kAfInet, plat::kSockDgram, 0);
  if (s == INVALID_SOCKET) return false;
  uint32_t bytes = 0;
  bool ok = SockGetInterfaceList(s, g_interfaces.buffer, &bytes) == 0;
  SockClose(s);
  if (!ok) return false;
  g_interfaces.count = bytes / sizeof(plat::InterfaceInfo);
  g_interfaces.valid = true;
  return true;
}

}  // namespace

namespace cvssh::net {

bool CandidateSockaddr(const SshAddress* a, int32_t port, sockaddr_storage* out, int32_t* length) {
  std::memset(out, 0, sizeof *out);
  if (a->current) {
    if (a->current->ai_addrlen > sizeof *out) return false;
    std::memcpy(out, a->current->ai_addr, a->current->ai_addrlen);
    *length = int32_t(a->current->ai_addrlen);
    if (out->ss_family == AF_INET6)
      reinterpret_cast<sockaddr_in6*>(out)->sin6_port = htons(uint16_t(port));
    else
      reinterpret_cast<sockaddr_in*>(out)->sin_port = htons(uint16_t(port));
    return true;
  }
  if (a->ipv4 && a->ipv4Index < a->ipv4Count) {
    auto* sin = reinterpret_cast<sockaddr_in*>(out);
    sin->sin_family = AF_INET;
    sin->sin_port = htons(uint16_t(port));
    sin->sin_addr.s_addr = htonl(a->ipv4[a->ipv4Index]);
    *length = sizeof(sockaddr_in);
    return true;
  }
  return false;
}

int32_t CandidateFamily(const SshAddress* a) {
  if (a->current) return a->current->ai_family == plat::kAfInet6 ? plat::kAfInet6 : plat::kAfInet;
  return plat::kAfInet;
}

}  // namespace cvssh::net

SshAddress* SshLookupName(const char* host, char** canonicalName, int32_t family) {
  SshAddress* a = NewAddress();
  if (!a) return nullptr;
  if (canonicalName) *canonicalName = nullptr;
  uint32_t v4 = 0;
  if (family != 2 && IsDottedIpv4(host, &v4)) {
    a->ipv4 = static_cast<uint32_t*>(CheckedAlloc(1, sizeof(uint32_t)));
    if (!a->ipv4) {
      a->error = plat::WSA_NOT_ENOUGH_MEMORY;
      return a;
    }
    a->ipv4[0] = v4;
    a->ipv4Count = 1;
    a->family = plat::kAfInet;
    if (canonicalName) *canonicalName = DupString(host);
    return a;
  }
  addrinfo hints{};
  hints.ai_family = family == 1 ? plat::kAfInet : family == 2 ? plat::kAfInet6 : plat::kAfUnspec;
  hints.ai_socktype = plat::kSockStream;
  hints.ai_flags = plat::kAiCanonName;
  addrinfo* list = nullptr;
  if (SockLookupHost(host, &hints, &list) != 0 || !list) {
    a->error = SockGetLastError();
    if (a->error == 0) a->error = plat::WSAHOST_NOT_FOUND;
    if (list) SockFreeHostList(list);
    return a;
  }
  a->list = list;
  a->current = list;
  a->family = uint32_t(list->ai_family);
  if (canonicalName) *canonicalName = DupString(list->ai_canonname ? list->ai_canonname : host);
  return a;
}

SshAddress* SshUnresolvedAddress(const char* host) {
  SshAddress* a = NewAddress();
  if (!a) return nullptr;
  std::strncpy(a->hostname, host ? host : "", sizeof a->hostname - 1);
  return a;
}

SshAddress* SshBadAddress() {
  SshAddress* a = NewAddress();
  if (a) a->error = plat::WSAENOTSOCK;
  return a;
}

int32_t SshNextAddress(SshAddress* a) {
  if (!a) return 0;
  if (a->current) {
    if (!a->current->ai_next) return 0;
    a->current = a->current->ai_next;
    a->family = uint32_t(a->current->ai_family);
    return 1;
  }
  if (a->ipv4 && a->ipv4Index + 1 < a->ipv4Count) {
    ++a->ipv4Index;
    return 1;
  }
  return 0;
}

void SshAddressToText(const SshAddress* a, char* buffer, int32_t size) {
  if (!buffer || size <= 0) return;
  buffer[0] = 0;
  if (!a) return;
  if (a->family == 0 || (!a->current && !a->ipv4)) {
    std::strncpy(buffer, a->hostname, size_t(size) - 1);
    buffer[size - 1] = 0;
    return;
  }
  uint8_t bytes[16];
  SshAddressBytes(a, bytes);
  SockInetNtop(SshAddressType(a) == kSshAddressIpv6 ? plat::kAfInet6 : plat::kAfInet, bytes, buffer, uint32_t(size));
}

int32_t SshIsLocalhostName(const char* name) { return name && std::strcmp(name, "localhost") == 0; }

int32_t SshIsLocalAddress(const SshAddress* a) {
  if (!a) return 0;
  uint8_t bytes[16];
  int type = SshAddressType(a);
  if (type == kSshAddressName) return 0;
  SshAddressBytes(a, bytes);
  if (type == kSshAddressIpv6) {
    static const uint8_t loopback6[16] = {0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 1};
    return std::memcmp(bytes, loopback6, 16) == 0;
  }
  if (bytes[0] == 127) return 1;
  std::lock_guard guard(g_interfaces.lock);
  if (!LoadInterfaces()) return 0;
  auto* list = reinterpret_cast<const plat::InterfaceInfo*>(g_interfaces.buffer);
  for (uint32_t i = 0; i < g_interfaces.count; ++i) {
    if (std::memcmp(&list[i].iiAddress.AddressIn.sin_addr, bytes, 4) == 0) return 1;
  }
  return 0;
}

int32_t SshAddressType(const SshAddress* a) {
  if (!a || a->family == 0) return kSshAddressName;
  return a->family == plat::kAfInet6 ? kSshAddressIpv6 : kSshAddressIpv4;
}

void SshAddressBytes(const SshAddress* a, uint8_t* buffer) {
  if (!a) return;
  if (a->current) {
    if (a->current->ai_addr->sa_family == AF_INET6)
      std::memcpy(buffer, &reinterpret_cast<const sockaddr_in6*>(a->current->ai_addr)->sin6_addr, 16);
    else
      std::memcpy(buffer, &reinterpret_cast<const sockaddr_in*>(a->current->ai_addr)->sin_addr, 4);
  } else if (a->ipv4 && a->ipv4Index < a->ipv4Count) {
    uint32_t net = htonl(a->ipv4[a->ipv4Index]);
    std::memcpy(buffer, &net, 4);
  }
}

void SshFreeAddress(SshAddress* a) {
  if (!a) return;
  if (a->list) SockFreeHostList(a->list);
  CheckedFree(a->ipv4);
  CheckedFree(a);
}

uint32_t SshAddressError(const SshAddress* a) { return a ? a->error : plat::WSAENOTSOCK; }

uint16_t SshServicePort(const char* service) {
  if (!service) return 0;
  plat::ServEnt* entry = SockGetServByName(service);
  return entry ? ntohs(uint16_t(entry->s_port)) : 0;
}
