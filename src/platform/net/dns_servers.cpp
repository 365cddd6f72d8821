#include "platform/net/dns_servers.h"

#include <fstream>
#include <mutex>
#include <sstream>

namespace plat {

namespace {

std::mutex& PathLock() {
  static std::mutex lock;
  return lock;
}

std::string& PathOverride() {
  static std::string path;
  return path;
}

std::string ConfigurationPath() {
  std::lock_guard lk(PathLock());
  return PathOverride().empty() ? std::string("/etc/resolv.conf") : PathOverride();
}

}  // namespace

void SetDnsConfigurationPath(const char* path) {
  std::lock_guard lk(PathLock());
  PathOverride() = path ? path : "";
}

bool ReadDnsConfiguration(DnsConfiguration* out) {
  *out = DnsConfiguration{};
  std::ifstream in(ConfigurationPath());
  if (!in) return false;
  std::string line, domain, firstSearch;
  while (std::getline(in, line)) {
    std::istringstream words(line);
    std::string keyword, value;
    if (!(words >> keyword) || keyword[0] == '#' || keyword[0] == ';') continue;
    if (!(words >> value)) continue;
    if (keyword == "nameserver") out->nameServers.push_back(value);
    else if (keyword == "domain" && domain.empty()) domain = value;
    else if (keyword == "search" && firstSearch.empty()) firstSearch = value;
  }
  out->domain = !domain.empty() ? domain : firstSearch;
  return true;
}

}  // namespace plat
