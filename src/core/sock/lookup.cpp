// Host lookup: the resolver with an IPv6 retry for names that have no IPv4 address, or,
// where the resolver entries are missing, one IPv4 entry built from gethostbyname.
#include <netinet/in.h>

#include <cstdlib>
#include <cstring>

#include "core/sock/binding.h"
#include "core/sock/sock.h"
#include "core/trace/trace_binding.h"
#include "platform/net/wsa_errors.h"

using cvcore::Binding;

namespace {

constexpr size_t kCanonicalNameSize = 1024;

// "No IPv4 address under this name": Windows says host-not-found; glibc says no-data or
// address-family for a name that exists with IPv6 addresses only.
bool NoAddressOfFamily(int32_t rc) { return rc == int32_t(plat::WSAHOST_NOT_FOUND) || rc == int32_t(plat::WSANO_DATA); }

int32_t Resolve(const char* name, const addrinfo* hints, addrinfo** result) {
  auto& ws = Binding().ws;
  addrinfo ask{};
  if (hints) {
    ask.ai_flags = hints->ai_flags;
    ask.ai_family = hints->ai_family;
    ask.ai_socktype = hints->ai_socktype;
    ask.ai_protocol = hints->ai_protocol;
  }
  if (ask.ai_family != plat::kAfUnspec) return ws.getaddrinfo(name, nullptr, &ask, result);
  ask.ai_family = plat::kAfInet;
  int32_t rc = ws.getaddrinfo(name, nullptr, &ask, result);
  if (!NoAddressOfFamily(rc)) return rc;
  ask.ai_family = plat::kAfInet6;
  return ws.getaddrinfo(name, nullptr, &ask, result);
}

// One IPv4 entry in a single zero-filled block: the entry, its address and room for the
// canonical name.
struct FallbackBlock {
  addrinfo entry;
  sockaddr_in address;
  char canonicalName[kCanonicalNameSize + 1];
};

int32_t ResolveWithoutResolver(const char* name, const addrinfo* hints, addrinfo** result) {
  auto& ws = Binding().ws;
  if (!ws.gethostbyname || !ws.getservbyname) return int32_t(plat::WSANOTINITIALISED);
  if (!result) return int32_t(plat::WSAEINVAL);
  *result = nullptr;
  if ((hints && hints->ai_family == plat::kAfInet6) || (name && std::strchr(name, ':')))
    return int32_t(plat::WSAEAFNOSUPPORT);
  int32_t flags = hints ? hints->ai_flags : 0;
  auto* block = static_cast<FallbackBlock*>(std::calloc(1, sizeof(FallbackBlock)));
  if (!block) return int32_t(plat::WSA_NOT_ENOUGH_MEMORY);
  block->entry.ai_family = plat::kAfInet;
  block->entry.ai_socktype = hints ? hints->ai_socktype : 0;
  block->entry.ai_protocol = hints ? hints->ai_protocol : 0;
  block->entry.ai_addrlen = sizeof(sockaddr_in);
  block->entry.ai_addr = reinterpret_cast<sockaddr*>(&block->address);
  block->address.sin_family = AF_INET;
  if (name) {
    if (SockInetAddr(name) == 0xFFFFFFFF && (flags & plat::kAiNumericHost)) {
      std::free(block);
      return int32_t(plat::WSAHOST_NOT_FOUND);
    }
    plat::HostEnt* host = ws.gethostbyname(name);
    if (!host || !host->h_addr_list || !host->h_addr_list[0]) {
      std::free(block);
      return int32_t(plat::WSAHOST_NOT_FOUND);
    }
    std::memcpy(&block->address.sin_addr, host->h_addr_list[0], 4);
    if ((flags & plat::kAiCanonName) && host->h_name) {
      std::strncpy(block->canonicalName, host->h_name, kCanonicalNameSize);
      block->entry.ai_canonname = block->canonicalName;
    }
  } else {
    block->address.sin_addr.s_addr = htonl((flags & plat::kAiPassive) ? INADDR_ANY : INADDR_LOOPBACK);
  }
  *result = &block->entry;
  return 0;
}

}  // namespace

int32_t SockLookupHost(const char* name, const addrinfo* hints, addrinfo** result) {
  int32_t rc = Binding().ws.getaddrinfo ? Resolve(name, hints, result) : ResolveWithoutResolver(name, hints, result);
  plat::SetLastError(uint32_t(rc));
  if (auto hook = cvcore::Trace().Hook<cvtrace::LookupHook>(cvtrace::kLookup)) hook(rc, name, nullptr, hints, result);
  return rc;
}

void SockFreeHostList(addrinfo* list) {
  if (!list) return;
  if (auto free = Binding().ws.freeaddrinfo) free(list);
  else std::free(list);
}
