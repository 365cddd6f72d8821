// Resolver records: creation with the machine's name servers and local domain, the server
// slots, destruction.
#include <arpa/inet.h>

#include <algorithm>
#include <cstring>
#include <string>

#include "core/sock/sock.h"
#include "dns/dns.h"
#include "dns/dns_library.h"
#include "platform/net/dns_servers.h"
#include "platform/registry/registry.h"

namespace cvdns {

namespace {

constexpr const char* kTcpipKeys[] = {
    "System\\CurrentControlSet\\Services\\Tcpip\\Parameters\\Transient",
    "System\\CurrentControlSet\\Services\\Tcpip\\Parameters",
};

bool EmptySlot(const sockaddr_in& a) {
  return a.sin_addr.s_addr == 0 || a.sin_addr.s_addr == INADDR_NONE;
}

void CountServers(DnsResolver& r) {
  r.serverCount = int32_t(std::count_if(std::begin(r.servers), std::end(r.servers),
                                        [](const sockaddr_in& a) { return !EmptySlot(a); }));
}

// The domain itself and, for a domain of three or more labels, up to two parent suffixes
// of at least two labels.
void BuildSearchList(DnsResolver& r) {
  std::fill(std::begin(r.searchList), std::end(r.searchList), nullptr);
  const char* domain = r.localDomain;
  int32_t n = 0;
  r.searchList[n++] = domain;
  const int32_t dots = int32_t(std::count(domain, domain + std::strlen(domain), '.'));
  const char* p = domain;
  for (int32_t parents = 0; parents < 2 && dots - parents >= 2; ++parents) {
    p = std::strchr(p, '.') + 1;
    r.searchList[n++] = p;
  }
}

// The local domain: the registry's value (the second key overrides the first), else the
// domain of the resolver configuration.
void LoadDomain(DnsResolver& r) {
  std::string domain;
  for (const char* key : kTcpipKeys)
    if (auto v = plat::RegGetString(plat::HKEY_LOCAL_MACHINE, key, "Domain"); v && !v->empty()) domain = *v;
  if (domain.empty()) {
    plat::DnsConfiguration config;
    if (plat::ReadDnsConfiguration(&config)) domain = config.domain;
  }
  const size_t n = std::min<size_t>(domain.size(), kDnsDomainSize - 1);
  std::memcpy(r.localDomain, domain.data(), n);
  r.localDomain[n] = '\0';
  BuildSearchList(r);
}

Status SetServer(DnsResolver& r, int32_t slot, const char* address) {
  if (slot < -1 || slot >= kDnsServerSlots) return Status(cvErrorInvalidParameter);
  if (slot == -1) {
    auto* it = std::find_if(std::begin(r.servers), std::end(r.servers), EmptySlot);
    if (it == std::end(r.servers)) return Status(cvErrorInvalidParameter);
    slot = int32_t(it - std::begin(r.servers));
  }
  uint32_t ip = 0;
  if (address && *address) {
    ip = SockInetAddr(address);
    if (ip == INADDR_NONE) return Status(cvErrorInvalidHostAddress);
  }
  sockaddr_in& a = r.servers[slot];
  a = sockaddr_in{};
  a.sin_family = AF_INET;
  a.sin_port = htons(53);
  a.sin_addr.s_addr = ip;
  CountServers(r);
  return {};
}

// The name servers of the machine, in configuration order; what does not fit (beyond four,
// or not IPv4) is left out.
Status LoadAdapterServers(DnsResolver& r) {
  plat::DnsConfiguration config;
  if (!plat::ReadDnsConfiguration(&config)) return Status(cvErrorNetworkAdapter);
  for (const std::string& server : config.nameServers) static_cast<void>(SetServer(r, -1, server.c_str()));
  return {};
}

// A resolver with the machine's configuration; a configuration that cannot be read leaves
// it without servers, which the outcome says.
Status InitResolver(DnsResolver& r) {
  r.queryId = 0;  // each query and each send draws its identifier afresh
  LoadDomain(r);
  r.attempts = 4;
  r.options = kDnsDefaultOptions;
  r.serverCount = 0;
  for (sockaddr_in& a : r.servers) {
    a = sockaddr_in{};
    a.sin_family = AF_INET;
  }
  const Status loaded = LoadAdapterServers(r);
  r.timeout = 30;
  return loaded;
}

}  // namespace

}  // namespace cvdns

using cvdns::Library;

LibHandle DnsCreateResolver() {
  const LibHandle h = Library().AllocSession();
  if (h == kInvalidLibHandle) return h;
  // The resolver is made either way; a configuration that could not be read is told.
  return Library().Finish(cvdns::InitResolver(*Library().FindSession(h)), h, h);
}

int32_t DnsDestroyResolver(LibHandle handle) {
  if (!Library().GetSession(handle)) return -1;
  Library().FreeSession(handle);
  return 0;
}

void DnsFreeResolver(LibHandle handle) { Library().FreeSession(handle); }

int32_t DnsSetNameServer(LibHandle handle, int32_t slot, const char* address) {
  DnsResolver* r = Library().GetSession(handle);
  return r ? Library().Finish(cvdns::SetServer(*r, slot, address), 0, -1) : -1;
}

int32_t DnsGetNameServer(LibHandle handle, int32_t slot, char* buffer) {
  DnsResolver* r = Library().GetSession(handle);
  if (!r) return -1;
  if (buffer) buffer[0] = '\0';
  if (slot < 0 || slot >= kDnsServerSlots) return cvdns::Finish(cvcore::Status(cvErrorInvalidParameter));
  const sockaddr_in& a = r->servers[slot];
  if (cvdns::EmptySlot(a)) return 0;
  char text[64];
  if (!SockInetNtop(2, &a.sin_addr, text, sizeof text)) return cvdns::Finish(cvcore::Status(cvErrorInvalidHostAddress));
  text[63] = '\0';
  if (buffer) std::strcpy(buffer, text);
  return int32_t(std::strlen(text));
}
