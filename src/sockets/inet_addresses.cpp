// SockAddress records: parse, format, resolve, compare, convert to and from socket
// addresses, and tell public from private addresses.
#include <netinet/in.h>

#include <cstring>

#include "sockets/inet_internal.h"

using namespace cvsock;

namespace {

struct PrivateRange {
  uint32_t network;   // host order
  uint32_t wildcard;  // bits that may vary
};

// 10/8, 127/8, 172.16/16 ... 172.31/16 (one entry per /16), 192.168/16.
constexpr auto kPrivateRanges = [] {
  struct {
    PrivateRange r[19];
  } t{};
  t.r[0] = {0x0A000000u, 0x00FFFFFFu};
  t.r[1] = {0x7F000000u, 0x00FFFFFFu};
  for (uint32_t i = 0; i < 16; ++i) t.r[2 + i] = {0xAC100000u + (i << 16), 0x0000FFFFu};
  t.r[18] = {0xC0A80000u, 0x0000FFFFu};
  return t;
}();

bool KnownFamily(uint32_t f) { return f == uint32_t(plat::kAfInet) || f == uint32_t(plat::kAfInet6); }
uint32_t AddressLength(uint32_t f) { return f == uint32_t(plat::kAfInet) ? 4 : 16; }

}  // namespace

int32_t InetParseAddress(const char* text, uint32_t family, SockAddress* out) {
  if (!out) return Fail(cvErrorInvalidParameter);
  *out = SockAddress{};
  if (!text || !*text) return Fail(cvErrorInvalidHostAddress);
  uint8_t bytes[16] = {};
  if ((family == 0 || family == uint32_t(plat::kAfInet)) && SockInetPton(plat::kAfInet, text, bytes) == 1) {
    out->family = plat::kAfInet;
    std::memcpy(out->address, bytes, 4);
    return plat::kAfInet;
  }
  if ((family == 0 || family == uint32_t(plat::kAfInet6)) && SockInetPton(plat::kAfInet6, text, bytes) == 1) {
    out->family = plat::kAfInet6;
    std::memcpy(out->address, bytes, 16);
    return plat::kAfInet6;
  }
  return Fail(cvErrorInvalidHostAddress);
}

int32_t InetFormatAddress(const SockAddress* address, char* buffer) {
  if (!buffer) return Fail(cvErrorInvalidParameter);
  buffer[0] = '\0';
  if (!address || !KnownFamily(address->family)) return Fail(cvErrorInvalidAddress);
  if (!SockInetNtop(int32_t(address->family), address->address, buffer, 64)) return Fail(cvErrorInvalidAddress);
  return int32_t(std::strlen(buffer));
}

int32_t InetResolveAddress(const char* host, uint32_t family, SockAddress* out) {
  if (!out) return Fail(cvErrorInvalidParameter);
  *out = SockAddress{};
  if (family == 0 && (!host || !*host)) family = plat::kAfInet;
  if (family != 0 && !KnownFamily(family)) return Fail(cvErrorInvalidHostName);
  if (!host || !*host) {
    out->family = family;
    return int32_t(family);
  }
  // A numeric address needs no look-up (and "::", too short for a host name, is one).
  {
    const uint32_t saved = InetGetLastError();
    if (InetParseAddress(host, family, out) > 0) return int32_t(out->family);
    InetSetLastError(saved);
  }
  char name[kSockHostNameSize];
  if (!SockNormalizeHostName(host, name)) return Fail(cvErrorInvalidHostName);
  addrinfo hints{};
  hints.ai_family = int(family);
  hints.ai_socktype = plat::kSockStream;
  addrinfo* list = nullptr;
  if (SockLookupHost(name, family ? &hints : nullptr, &list) != 0 || !list) return Fail(cvErrorInvalidHostName);
  int32_t rc = InetSplitSockaddr(list->ai_addr, out, nullptr);
  SockFreeHostList(list);
  if (rc != 0) return Fail(cvErrorInvalidAddress);
  return int32_t(out->family);
}

uint32_t InetMakeSockaddr(const SockAddress* address, uint32_t port, void* buffer, uint32_t* length) {
  if (!buffer || !length) return Fail<uint32_t>(cvErrorInvalidParameter, 0);
  if (!address) return Fail<uint32_t>(cvErrorInvalidAddress, 0);
  std::memset(buffer, 0, 128);
  if (address->family == uint32_t(plat::kAfInet)) {
    auto* in = static_cast<sockaddr_in*>(buffer);
    in->sin_family = AF_INET;
    in->sin_port = htons(uint16_t(port));
    std::memcpy(&in->sin_addr, address->address, 4);
    *length = 16;
    return plat::kAfInet;
  }
  if (address->family == uint32_t(plat::kAfInet6)) {
    auto* in6 = static_cast<sockaddr_in6*>(buffer);
    in6->sin6_family = AF_INET6;
    in6->sin6_port = htons(uint16_t(port));
    std::memcpy(&in6->sin6_addr, address->address, 16);
    *length = 28;
    return plat::kAfInet6;
  }
  return Fail<uint32_t>(cvErrorProtocolFamily, 0);
}

int32_t InetSplitSockaddr(const sockaddr* address, SockAddress* out, uint32_t* port) {
  if (out) *out = SockAddress{};
  if (port) *port = 0;
  if (!address) return Fail(cvErrorInvalidAddress);
  SockAddress a{};
  uint32_t p = 0;
  if (address->sa_family == AF_INET) {
    auto* in = reinterpret_cast<const sockaddr_in*>(address);
    a.family = plat::kAfInet;
    std::memcpy(a.address, &in->sin_addr, 4);
    p = ntohs(in->sin_port);
  } else if (address->sa_family == AF_INET6) {
    auto* in6 = reinterpret_cast<const sockaddr_in6*>(address);
    a.family = plat::kAfInet6;
    std::memcpy(a.address, &in6->sin6_addr, 16);
    p = ntohs(in6->sin6_port);
  } else if (address->sa_family == AF_UNSPEC) {
    return Fail(cvErrorInvalidAddress);
  } else {
    return Fail(cvErrorProtocolFamily);
  }
  if (out) *out = a;
  if (port) *port = p;
  return 0;
}

int32_t InetCompareAddress(const SockAddress* a, const SockAddress* b) {
  if (!a || !b) return Fail(cvErrorInvalidAddress, 0);
  if (a->family != b->family) return Fail(cvErrorProtocolFamily, 0);
  return std::memcmp(a->address, b->address, AddressLength(a->family)) == 0 ? 1 : 0;
}

int32_t InetIsAnyAddress(const SockAddress* address) {
  if (!address || address->family == 0) return 1;
  if (!KnownFamily(address->family)) return Fail(cvErrorProtocolFamily, 0);
  for (uint32_t i = 0; i < AddressLength(address->family); ++i)
    if (address->address[i]) return 0;
  return 1;
}

int32_t InetIsPublicAddress(const SockAddress* address) {
  if (!address) return Fail(cvErrorInvalidAddress, 0);
  if (address->family == uint32_t(plat::kAfInet)) {
    InetSetLastError(0);
    const uint8_t* b = address->address;
    const uint32_t v = uint32_t(b[0]) << 24 | uint32_t(b[1]) << 16 | uint32_t(b[2]) << 8 | b[3];
    if (v == 0 || v == 0xFFFFFFFFu) return 0;
    for (const PrivateRange& r : kPrivateRanges.r)
      if ((v & ~r.wildcard) == r.network) return 0;
    return 1;
  }
  if (address->family == uint32_t(plat::kAfInet6)) {
    InetSetLastError(0);
    const uint8_t* b = address->address;
    static const uint8_t kLoopback[16] = {0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 1};
    if (InetIsAnyAddress(address) || std::memcmp(b, kLoopback, 16) == 0) return 0;
    if (b[0] == 0xFE && ((b[1] & 0xC0) == 0x80 || (b[1] & 0xC0) == 0xC0)) return 0;  // fe80::/10, fec0::/10
    return 1;
  }
  return Fail(cvErrorProtocolFamily, 0);
}

int32_t InetIsPublicIPv4(uint32_t address) {
  SockAddress a{};
  a.family = plat::kAfInet;
  std::memcpy(a.address, &address, 4);  // network byte order
  return InetIsPublicAddress(&a);
}
