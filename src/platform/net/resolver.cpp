// Name resolution and numeric address conversion. Families are Windows numbers at this
// interface; the resolver underneath can be replaced by a test.
#include <arpa/inet.h>
#include <idn2.h>
#include <netdb.h>
#include <netinet/in.h>

#include <atomic>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <string>
#include <vector>

#include "platform/net/adapters.h"

namespace plat {

namespace {

const Resolver kSystemResolver{::getaddrinfo, ::freeaddrinfo};
std::atomic<const Resolver*> g_resolver{&kSystemResolver};

const Resolver& CurrentResolver() { return *g_resolver.load(std::memory_order_acquire); }

}  // namespace

void SetResolver(const Resolver* resolver) noexcept {
  g_resolver.store(resolver ? resolver : &kSystemResolver, std::memory_order_release);
}

namespace net {

namespace {

int Gai(int rc) {
  uint32_t e = WsaErrorFromGai(rc, errno);
  SetLastError(e);
  return int(e);
}

// Per-thread storage of the records gethostbyname and getservbyname hand out.
struct HostStore {
  std::string name;
  std::vector<in_addr> addresses;
  std::vector<char*> list;
  char* aliases[1] = {nullptr};
  HostEnt entry{};
};

struct ServStore {
  servent native{};
  char buffer[1024];
  ServEnt entry{};
};

}  // namespace

int GetAddrInfo(const char* node, const char* service, const addrinfo* hints, addrinfo** result) {
  if (!result) {
    SetLastError(WSAEFAULT);
    return int(WSAEFAULT);
  }
  *result = nullptr;
  addrinfo native{};
  if (hints) {
    native.ai_flags = hints->ai_flags;
    native.ai_socktype = hints->ai_socktype;
    native.ai_protocol = hints->ai_protocol;
    native.ai_family = NativeFamily(hints->ai_family);
    if (native.ai_family < 0) {
      SetLastError(WSAEAFNOSUPPORT);
      return int(WSAEAFNOSUPPORT);
    }
  }
  int rc = CurrentResolver().getaddrinfo(node, service, hints ? &native : nullptr, result);
  if (rc != 0) return Gai(rc);
  for (addrinfo* ai = *result; ai; ai = ai->ai_next) ai->ai_family = WsaFamily(ai->ai_family);
  return 0;
}

void FreeAddrInfo(addrinfo* list) {
  if (list) CurrentResolver().freeaddrinfo(list);
}

int GetNameInfo(const sockaddr* address, uint32_t length, char* host, uint32_t hostSize, char* service,
                uint32_t serviceSize, int32_t flags) {
  // Windows: 1 NOFQDN, 2 NUMERICHOST, 4 NAMEREQD, 8 NUMERICSERV, 16 DGRAM.
  int native = 0;
  if (flags & 0x01) native |= NI_NOFQDN;
  if (flags & 0x02) native |= NI_NUMERICHOST;
  if (flags & 0x04) native |= NI_NAMEREQD;
  if (flags & 0x08) native |= NI_NUMERICSERV;
  if (flags & 0x10) native |= NI_DGRAM;
  if (!address) {
    SetLastError(WSAEFAULT);
    return int(WSAEFAULT);
  }
  int rc = ::getnameinfo(address, socklen_t(length), host, hostSize, service, serviceSize, native);
  return rc ? Gai(rc) : 0;
}

const char* InetNtop(int32_t family, const void* address, char* buffer, size_t size) {
  if (!address || !buffer) {
    Fail(WSAEINVAL);
    return nullptr;
  }
  int native = NativeFamily(family);
  if (native != AF_INET && native != AF_INET6) {
    Fail(WSAEAFNOSUPPORT);
    return nullptr;
  }
  if (!::inet_ntop(native, address, buffer, socklen_t(size))) {
    Fail(WSAEINVAL);
    return nullptr;
  }
  return buffer;
}

int InetPton(int32_t family, const char* text, void* out) {
  int native = NativeFamily(family);
  if (native != AF_INET && native != AF_INET6) return Fail(WSAEAFNOSUPPORT);
  if (!text || !out) return Fail(WSAEFAULT);
  return ::inet_pton(native, text, out) == 1 ? 1 : 0;
}

// "a.b.c.d:port" or "[v6]:port"; the port only when it is set, brackets only with a port.
int AddressToString(const sockaddr* address, uint32_t length, void*, char* buffer, uint32_t* size) {
  if (!address || !size) return Fail(WSAEFAULT);
  char text[INET6_ADDRSTRLEN + 16];
  char host[INET6_ADDRSTRLEN];
  if (address->sa_family == AF_INET && length >= sizeof(sockaddr_in)) {
    auto* in = reinterpret_cast<const sockaddr_in*>(address);
    ::inet_ntop(AF_INET, &in->sin_addr, host, sizeof host);
    uint16_t port = ntohs(in->sin_port);
    if (port) std::snprintf(text, sizeof text, "%s:%u", host, port);
    else std::snprintf(text, sizeof text, "%s", host);
  } else if (address->sa_family == AF_INET6 && length >= sizeof(sockaddr_in6)) {
    auto* in6 = reinterpret_cast<const sockaddr_in6*>(address);
    ::inet_ntop(AF_INET6, &in6->sin6_addr, host, sizeof host);
    uint16_t port = ntohs(in6->sin6_port);
    if (port) std::snprintf(text, sizeof text, "[%s]:%u", host, port);
    else std::snprintf(text, sizeof text, "%s", host);
  } else {
    return Fail(WSAEINVAL);
  }
  uint32_t needed = uint32_t(std::strlen(text) + 1);
  if (!buffer || *size < needed) {
    *size = needed;
    return Fail(WSAEFAULT);
  }
  std::memcpy(buffer, text, needed);
  *size = needed;
  return 0;
}

HostEnt* GetHostByName(const char* name) {
  thread_local HostStore store;
  if (!name) {
    Fail(WSAEFAULT);
    return nullptr;
  }
  addrinfo hints{};
  hints.ai_family = AF_INET;
  hints.ai_socktype = SOCK_STREAM;
  hints.ai_flags = AI_CANONNAME;
  addrinfo* list = nullptr;
  int rc = CurrentResolver().getaddrinfo(name, nullptr, &hints, &list);
  if (rc != 0) {
    Gai(rc);
    return nullptr;
  }
  store.addresses.clear();
  store.name = list->ai_canonname ? list->ai_canonname : name;
  for (addrinfo* ai = list; ai; ai = ai->ai_next)
    if (ai->ai_family == AF_INET) store.addresses.push_back(reinterpret_cast<sockaddr_in*>(ai->ai_addr)->sin_addr);
  CurrentResolver().freeaddrinfo(list);
  if (store.addresses.empty()) {
    Fail(WSANO_DATA);
    return nullptr;
  }
  store.list.clear();
  for (auto& a : store.addresses) store.list.push_back(reinterpret_cast<char*>(&a));
  store.list.push_back(nullptr);
  store.entry = HostEnt{store.name.data(), store.aliases, int16_t(kAfInet), int16_t(sizeof(in_addr)),
                        store.list.data()};
  return &store.entry;
}

ServEnt* GetServByName(const char* name, const char* protocol) {
  thread_local ServStore store;
  if (!name) {
    Fail(WSAEFAULT);
    return nullptr;
  }
  servent* found = nullptr;
  if (::getservbyname_r(name, protocol, &store.native, store.buffer, sizeof store.buffer, &found) != 0 || !found) {
    Fail(WSANO_DATA);
    return nullptr;
  }
  store.entry = ServEnt{found->s_name, found->s_aliases, found->s_proto, int16_t(found->s_port)};
  return &store.entry;
}

char* InetNtoa(uint32_t address) {
  thread_local char text[16];
  const auto* b = reinterpret_cast<const uint8_t*>(&address);
  std::snprintf(text, sizeof text, "%u.%u.%u.%u", b[0], b[1], b[2], b[3]);
  return text;
}

int IdnToAscii(const char* utf8, char* out, size_t outSize) {
  if (!utf8 || !out || outSize == 0) return 0;
  char* ascii = nullptr;
  int rc = idn2_to_ascii_8z(utf8, &ascii, IDN2_NFC_INPUT | IDN2_NONTRANSITIONAL);
  if (rc != IDN2_OK) return 0;
  size_t n = std::strlen(ascii);
  int written = 0;
  if (n < outSize) {
    std::memcpy(out, ascii, n + 1);
    written = int(n);
  }
  idn2_free(ascii);
  return written;
}

}  // namespace net
}  // namespace plat
