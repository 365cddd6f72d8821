#include "mail/names/netnames.h"

#include <netdb.h>
#include <netinet/in.h>

#include <algorithm>
#include <cctype>
#include <cstring>
#include <string>

#include "core/errors/error_codes.h"
#include "core/sock/binding.h"
#include "core/url/sock_address.h"
#include "platform/base/last_error.h"
#include "platform/net/dns_servers.h"
#include "platform/net/wsa_errors.h"
#include "platform/registry/registry.h"

namespace {

constexpr int32_t kNiNameRequired = 0x04;  // Windows numbering; the platform translates it
constexpr const char* kTcpipKeys[] = {
    "System\\CurrentControlSet\\Services\\Tcpip\\Parameters\\Transient",
    "System\\CurrentControlSet\\Services\\Tcpip\\Parameters",
};

template <typename T>
T Fail(uint32_t code, T value) {
  plat::SetLastError(code);
  return value;
}

// Copies at most kSockNameBufferSize - 1 characters; the length copied.
int32_t CopyName(const char* name, char* buffer) {
  const size_t n = strnlen(name, kSockNameBufferSize - 1);
  std::memcpy(buffer, name, n);
  buffer[n] = '\0';
  return int32_t(n);
}

// The machine's DNS domain: the registry's value (the first key that holds a string
// decides; an empty one means none), else the resolver configuration's domain.
std::string LocalDomain() {
  for (const char* key : kTcpipKeys)
    if (auto v = plat::RegGetString(plat::HKEY_LOCAL_MACHINE, key, "Domain")) return *v;
  plat::DnsConfiguration config;
  return plat::ReadDnsConfiguration(&config) ? config.domain : std::string();
}

// The services database entry of a port for any protocol, or null when there is none.
const char* ServiceNameOf(uint16_t port, char* scratch, size_t size, servent* entry) {
  servent* found = nullptr;
  if (getservbyport_r(int(htons(port)), nullptr, entry, scratch, size, &found) != 0) return nullptr;
  return found ? found->s_name : nullptr;
}

}  // namespace

int32_t SockAddressToHostName(const SockAddress* address, char* buffer) {
  if (!address || address->family == 0) return Fail(cvErrorInvalidAddress, -1);
  if (!buffer) return Fail(cvErrorInvalidParameter, -1);
  buffer[0] = '\0';
  if (address->family != uint32_t(plat::kAfInet) && address->family != uint32_t(plat::kAfInet6))
    return Fail(cvErrorInvalidAddress, -1);
  sockaddr_storage sa{};
  uint32_t length = 0;
  if (SockMakeSockaddr(address, 0, &sa, &length) == 0) return Fail(cvErrorInvalidAddress, -1);
  auto& ws = cvcore::Binding().ws;
  if (!ws.getnameinfo) return Fail(cvErrorInvalidAddress, -1);
  char host[NI_MAXHOST];
  if (ws.getnameinfo(reinterpret_cast<const sockaddr*>(&sa), length, host, sizeof host, nullptr, 0,
                     kNiNameRequired) != 0)
    return Fail(cvErrorInvalidAddress, -1);
  return CopyName(host, buffer);
}

int32_t SockGetServicePort(const char* service) {
  if (!service || !*service) return Fail(cvErrorInvalidParameter, -1);
  const size_t length = std::strlen(service);
  if (std::all_of(service, service + length, [](char c) { return c >= '0' && c <= '9'; })) {
    // Digits beyond what a port can be are out of range however many there are.
    uint32_t port = 0;
    for (const char* c = service; *c && port <= 0xFFFF; ++c) port = port * 10 + uint32_t(*c - '0');
    if (port < 1 || port > 0xFFFF) return Fail(cvErrorInvalidServicePort, -1);
    return int32_t(port);
  }
  auto& ws = cvcore::Binding().ws;
  plat::ServEnt* entry = ws.getservbyname ? ws.getservbyname(service, nullptr) : nullptr;
  if (!entry) return Fail(cvErrorInvalidServiceName, -1);
  const int32_t port = ntohs(uint16_t(entry->s_port));
  if (port < 1) return Fail(cvErrorInvalidServicePort, -1);
  return port;
}

int32_t SockGetServiceName(uint32_t port, char* buffer) {
  if (port < 1 || port > 0xFFFF) return Fail(cvErrorInvalidServicePort, 0);
  if (buffer) buffer[0] = '\0';
  char scratch[1024];
  servent entry{};
  const char* name = ServiceNameOf(uint16_t(port), scratch, sizeof scratch, &entry);
  if (!name) return Fail(cvErrorInvalidServiceName, 0);
  if (buffer) CopyName(name, buffer);
  return 1;
}

int32_t SockGetFullHostName(char* buffer) {
  if (!buffer) return Fail(cvErrorInvalidParameter, -1);
  buffer[0] = '\0';
  char name[kSockHostNameSize] = {};
  if (SockGetHostName(name, int32_t(sizeof name)) != 0) return Fail(cvErrorUnknownLocalhost, -1);
  std::string full(name);
  if (full.find('.') == std::string::npos) {
    const std::string domain = LocalDomain();
    if (!domain.empty()) full += "." + domain;
  }
  return CopyName(full.c_str(), buffer);
}

int32_t SockGetLocalHostAddress(uint32_t family, SockAddress* address) {
  if (address) *address = SockAddress{};
  char name[kSockHostNameSize] = {};
  if (SockGetHostName(name, int32_t(sizeof name)) != 0) return Fail(cvErrorUnknownLocalhost, -1);
  SockAddress found{};
  if (SockResolveAddress(name, family ? family : uint32_t(plat::kAfInet), &found) <= 0 || found.family == 0)
    return Fail(cvErrorUnknownLocalhost, -1);
  if (address) *address = found;
  return int32_t(found.family);
}
