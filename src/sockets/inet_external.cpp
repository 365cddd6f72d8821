// The machine's public IPv4 address as a public-address web service sees it, asked over
// HTTP/1.0 and cached in memory and in the registry for an hour.
#include <poll.h>
#include <strings.h>

#include <atomic>
#include <cctype>
#include <cstdio>
#include <cstring>
#include <ctime>
#include <mutex>
#include <string>

#include "platform/net/wsa_errors.h"
#include "platform/registry/registry.h"
#include "sockets/inet_internal.h"
#include "sockets/inet_testing.h"

using namespace cvsock;

namespace {

constexpr const char* kSettingsKey = "Software\\Vantorel\\Corvanetics\\CurrentVersion\\Settings";
constexpr uint32_t kCacheSeconds = 3600;
constexpr uint32_t kWaitMs = 5000;
constexpr size_t kKeptResponse = 512;

struct Services {
  std::mutex lock;
  std::string first = "checkip.corvanetics.com";
  std::string second = "ipv4.corvanetics.com";
  uint32_t port = 80;
};

Services& Endpoints() {
  static Services s;
  return s;
}

// Shared without a lock: concurrent queries can only both ask and write the same answer.
std::atomic<uint32_t> gCachedAddress{0};  // network byte order
std::atomic<uint32_t> gCachedTime{0};     // seconds since 1970

uint32_t Now() { return uint32_t(std::time(nullptr)); }

void LoadCache() {
  std::optional<uint32_t> address = plat::RegGetDword(plat::HKEY_CURRENT_USER, kSettingsKey, "ExternalAddress");
  std::optional<uint32_t> updated = plat::RegGetDword(plat::HKEY_CURRENT_USER, kSettingsKey, "LastUpdated");
  if (!address || !updated || *updated > Now()) return;
  gCachedAddress.store(*address);
  gCachedTime.store(*updated);
}

void StoreCache(uint32_t address) {
  gCachedAddress.store(address);
  gCachedTime.store(Now());
  if (address == 0 || address == 0xFFFFFFFFu) return;
  plat::HKEY key = nullptr;
  if (plat::RegCreateKeyEx(plat::HKEY_CURRENT_USER, kSettingsKey, 0, nullptr, 0, plat::KEY_ALL_ACCESS, nullptr, &key,
                           nullptr) != plat::ERROR_SUCCESS)
    return;
  const uint32_t now = gCachedTime.load();
  if (plat::RegSetValueEx(key, "ExternalAddress", 0, plat::REG_DWORD, reinterpret_cast<const BYTE*>(&address), 4) ==
      plat::ERROR_SUCCESS)
    plat::RegSetValueEx(key, "LastUpdated", 0, plat::REG_DWORD, reinterpret_cast<const BYTE*>(&now), 4);
  plat::RegCloseKey(key);
}

// Waits for one event on a plain socket; 1 ready, 0 time-out, -1 error (last error set).
int WaitFd(SOCKET s, short events) {
  pollfd p{int(s), events, 0};
  int n;
  do n = ::poll(&p, 1, int(kWaitMs));
  while (n < 0 && errno == EINTR);
  if (n < 0) {
    Library().SetLastError(kCvErrorBase | plat::WsaErrorFromErrno(errno));
    return -1;
  }
  if (n == 0) Library().SetLastError(cvErrorOperationTimeout);
  return n;
}

// The service's whole answer (its first 512 bytes), or false with the last error.
bool Ask(const char* host, uint32_t port, const std::string& request, std::string* response) {
  SockAddress address{};
  if (InetResolveAddress(host, plat::kAfInet, &address) < 0) return false;
  sockaddr_storage sa{};
  uint32_t length = 0;
  InetMakeSockaddr(&address, port, &sa, &length);
  SOCKET s = SockCreate(plat::kAfInet, plat::kSockStream, plat::kIpProtoTcp);
  if (s == INVALID_SOCKET) return FailSocket(), false;
  bool ok = false;
  SetBlocking(s, false);
  if (SockConnect(s, reinterpret_cast<sockaddr*>(&sa), int32_t(length)) != 0 &&
      plat::GetLastError() != plat::WSAEWOULDBLOCK) {
    FailSocket();
  } else if (WaitFd(s, POLLOUT) > 0) {
    int32_t err = PendingError(s);
    if (err != 0) {
      Library().SetLastError(kCvErrorBase | uint32_t(err > 0 ? err : int32_t(plat::WSAECONNREFUSED)));
    } else {
      SetBlocking(s, true);
      if (SockSend(s, request.data(), int32_t(request.size()), 0) != int32_t(request.size())) {
        FailSocket();
      } else {
        char chunk[500];
        ok = true;
        for (;;) {
          int w = WaitFd(s, POLLIN);
          if (w <= 0) {
            ok = false;
            break;
          }
          int32_t n = SockRecv(s, chunk, sizeof chunk, 0);
          if (n <= 0) break;
          if (response->size() < kKeptResponse)
            response->append(chunk, std::min<size_t>(size_t(n), kKeptResponse - response->size()));
        }
        if (ok && response->empty()) ok = Fail(cvErrorInvalidAddress, false);
      }
    }
  }
  SockClose(s);
  return ok;
}

// The IPv4 address after the marker, in network byte order; 0 when there is none.
uint32_t FindAddress(const std::string& response, const char* marker) {
  const size_t markerLength = std::strlen(marker);
  for (size_t i = 0; i + markerLength <= response.size(); ++i) {
    if (strncasecmp(response.c_str() + i, marker, markerLength) != 0) continue;
    size_t p = i + markerLength;
    while (p < response.size() && (response[p] == ' ' || response[p] == '\t' || response[p] == '\r' ||
                                   response[p] == '\n'))
      ++p;
    size_t end = p;
    while (end < response.size() && (std::isdigit(static_cast<unsigned char>(response[end])) || response[end] == '.'))
      ++end;
    uint32_t address = 0;
    if (SockInetPton(plat::kAfInet, response.substr(p, end - p).c_str(), &address) == 1) return address;
    return 0;
  }
  return 0;
}

}  // namespace

namespace cvsock {

void SetExternalAddressServicesForTesting(const char* first, const char* second, uint32_t port) {
  Services& s = Endpoints();
  std::lock_guard lk(s.lock);
  s.first = first ? first : "checkip.corvanetics.com";
  s.second = second ? second : "ipv4.corvanetics.com";
  s.port = port ? port : 80;
}

void ForgetExternalAddressForTesting() {
  gCachedAddress.store(0);
  gCachedTime.store(0);
}

}  // namespace cvsock

int32_t InetQueryExternalAddress(const char* serviceHost, uint32_t flags, SockAddress* out) {
  if (!out) return Fail(cvErrorInvalidParameter);
  *out = SockAddress{};
  if (!(flags & kInetExternalNoCache)) {
    if (gCachedAddress.load() == 0) LoadCache();
    const uint32_t cached = gCachedAddress.load();
    if (cached != 0 && InetIsPublicIPv4(cached) && Now() - gCachedTime.load() < kCacheSeconds) {
      out->family = plat::kAfInet;
      std::memcpy(out->address, &cached, 4);
      InetSetLastError(0);
      return 0;
    }
  }
  if (!serviceHost || !*serviceHost) return Fail(cvErrorInvalidHostName);
  const bool first = flags & kInetExternalFirstService;
  const char* path = first ? "/" : "/xipv4";
  const char* marker = first ? "Current IP Address:" : "External Address:";
  uint32_t port;
  {
    std::lock_guard lk(Endpoints().lock);
    port = Endpoints().port;
  }

  std::string target = path;
  InetProxyRecord proxy{};
  const char* connectHost = serviceHost;
  uint32_t connectPort = port;
  if (!(flags & kInetExternalDirect) && InetGetProxySettings(serviceHost, &proxy)) {
    char url[512];
    std::snprintf(url, sizeof url, "http://%s:%u%s", serviceHost, unsigned(port), path);
    target = url;
    connectHost = proxy.host;
    connectPort = proxy.port;
  }
  char request[1024];
  std::snprintf(request, sizeof request,
                "GET %s HTTP/1.0\r\nHost: %s\r\nUser-Agent: Mozilla/5.0 (Windows; Windows NT 5.1) "
                "Corvanetics/%d.%02d.%04d\r\nPragma: no-cache\r\nCache-Control: no-cache\r\nAccept: text/*\r\n\r\n",
                target.c_str(), serviceHost, 9, 5, 9530);
  std::string response;
  if (!Ask(connectHost, connectPort, request, &response)) return -1;
  const uint32_t address = FindAddress(response, marker);
  if (address == 0 || !InetIsPublicIPv4(address)) return Fail(cvErrorInvalidAddress);
  out->family = plat::kAfInet;
  std::memcpy(out->address, &address, 4);
  StoreCache(address);
  InetSetLastError(0);
  return 0;
}

int32_t InetGetExternalAddress(uint32_t family, SockAddress* out) {
  if (InetIsInitialized() == 0) return -1;
  if (family != 0 && family != uint32_t(plat::kAfInet)) return Fail(cvErrorProtocolFamily);
  if (!out) return Fail(cvErrorInvalidParameter);
  std::string first, second;
  {
    std::lock_guard lk(Endpoints().lock);
    first = Endpoints().first;
    second = Endpoints().second;
  }
  SockAddress found{};
  if (InetQueryExternalAddress(first.c_str(), kInetExternalFirstService, &found) != 0 &&
      InetQueryExternalAddress(second.c_str(), 0, &found) != 0)
    return -1;
  *out = found;
  return 0;
}
