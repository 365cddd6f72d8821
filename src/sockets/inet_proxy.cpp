// The user's proxy settings and host-list patterns.
#include <strings.h>

#include <cctype>
#include <cstdlib>
#include <cstring>
#include <string>
#include <vector>

#include "platform/registry/registry.h"
#include "sockets/inet_internal.h"

using namespace cvsock;

namespace {

constexpr const char* kInternetSettings = "Software\\Microsoft\\Windows\\CurrentVersion\\Internet Settings";

struct Scheme {
  const char* name;
  uint32_t port;
};
constexpr Scheme kSchemes[] = {{"ftp", 21}, {"gopher", 70}, {"http", 80}, {"https", 443}};

std::string Lower(std::string s) {
  for (char& c : s) c = char(std::tolower(static_cast<unsigned char>(c)));
  return s;
}

std::vector<std::string> Split(const std::string& text, char separator) {
  std::vector<std::string> parts;
  size_t start = 0;
  for (;;) {
    size_t end = text.find(separator, start);
    std::string part = text.substr(start, end == std::string::npos ? std::string::npos : end - start);
    while (!part.empty() && std::isspace(static_cast<unsigned char>(part.front()))) part.erase(0, 1);
    while (!part.empty() && std::isspace(static_cast<unsigned char>(part.back()))) part.pop_back();
    if (!part.empty()) parts.push_back(part);
    if (end == std::string::npos) return parts;
    start = end + 1;
  }
}

// '?' is any one character, '*' any run; iterative, so a hostile pattern stays linear.
bool Matches(const char* text, const char* pattern) {
  const char* star = nullptr;
  const char* resume = nullptr;
  while (*text) {
    if (*pattern == '?' || *pattern == *text) {
      ++text;
      ++pattern;
    } else if (*pattern == '*') {
      star = pattern++;
      resume = text;
    } else if (star) {
      pattern = star + 1;
      text = ++resume;
    } else {
      return false;
    }
  }
  while (*pattern == '*') ++pattern;
  return *pattern == '\0';
}

bool ProxyEnabled(plat::HKEY key) {
  uint32_t type = 0;
  uint8_t data[8] = {};
  uint32_t size = sizeof data;
  if (plat::RegQueryValueEx(key, "ProxyEnable", nullptr, &type, data, &size) != plat::ERROR_SUCCESS) return false;
  if (type != plat::REG_DWORD && type != plat::REG_BINARY) return false;
  for (uint32_t i = 0; i < size && i < sizeof data; ++i)
    if (data[i]) return true;
  return false;
}

std::string StringValue(plat::HKEY key, const char* name) {
  uint32_t type = 0, size = 0;
  if (plat::RegQueryValueEx(key, name, nullptr, &type, nullptr, &size) != plat::ERROR_SUCCESS ||
      type != plat::REG_SZ || size == 0)
    return {};
  std::string value(size, '\0');
  if (plat::RegQueryValueEx(key, name, nullptr, &type, reinterpret_cast<BYTE*>(value.data()), &size) !=
      plat::ERROR_SUCCESS)
    return {};
  value.resize(std::strlen(value.c_str()));
  return value;
}

// Fills out from one "scheme=host:port" or "host:port" entry; false when unusable.
bool ParseEntry(const std::string& entry, std::string* scheme, InetProxyRecord* out) {
  std::string rest = entry;
  scheme->clear();
  if (size_t eq = rest.find('='); eq != std::string::npos) {
    *scheme = rest.substr(0, eq);
    rest.erase(0, eq + 1);
  }
  size_t colon = rest.rfind(':');
  if (colon == std::string::npos || colon == 0) return false;
  std::string host = rest.substr(0, colon);
  char* end = nullptr;
  long port = std::strtol(rest.c_str() + colon + 1, &end, 10);
  if (*end != '\0' || port < 1 || port > 65535 || host.empty()) return false;
  out->port = uint32_t(port);
  std::strncpy(out->host, host.substr(0, 255).c_str(), sizeof out->host - 1);
  out->host[sizeof out->host - 1] = '\0';
  return true;
}

bool IsHttpScheme(const std::string& scheme) {
  for (const Scheme& s : kSchemes)
    if (strcasecmp(s.name, scheme.c_str()) == 0) return s.port == 80;
  return false;
}

}  // namespace

int32_t InetMatchHostList(const char* host, const char* list) {
  if (InetIsInitialized() == 0) return 0;
  if (!host || !list) return 0;
  const std::string name = Lower(host);
  for (const std::string& entry : Split(Lower(list), ';'))
    if (Matches(name.c_str(), entry.c_str())) return 1;
  return 0;
}

int32_t InetGetProxySettings(const char* host, InetProxyRecord* out) {
  if (!host || !*host || !out) return 0;
  *out = InetProxyRecord{};
  plat::HKEY key = nullptr;
  if (plat::RegOpenKeyEx(plat::HKEY_CURRENT_USER, kInternetSettings, 0, plat::KEY_READ, &key) != plat::ERROR_SUCCESS)
    return 0;
  int32_t result = 0;
  if (ProxyEnabled(key)) {
    const std::string overrides = StringValue(key, "ProxyOverride");
    if (overrides.empty() || !InetMatchHostList(host, overrides.c_str())) {
      for (const std::string& entry : Split(StringValue(key, "ProxyServer"), ';')) {
        std::string scheme;
        InetProxyRecord candidate{};
        if (!ParseEntry(entry, &scheme, &candidate)) continue;
        if (scheme.empty() || IsHttpScheme(scheme)) {
          *out = candidate;
          result = 1;
          break;
        }
      }
    }
  }
  plat::RegCloseKey(key);
  return result;
}
