// The system's proxy for a target: automatic configuration (a configured or discovered
// script evaluated for the target), then the manual proxy values with their bypass list.
// The values come from the registry's "Internet Settings" of the chosen hive; when neither
// hive says whether a proxy is enabled, the proxy variables of the environment stand in.
#include <strings.h>
#include <unistd.h>

#include <cctype>
#include <cstring>
#include <mutex>
#include <optional>
#include <string>
#include <vector>

#include "core/trace/trace.h"
#include "core/url/sock_address.h"
#include "core/url/url.h"
#include "http/http_internal.h"
#include "http/http_proxy_script.h"
#include "platform/net/proxy_environment.h"
#include "platform/registry/registry.h"

namespace cvhttp {

namespace {

constexpr const char* kSettingsKey = "Software\\Microsoft\\Windows\\CurrentVersion\\Internet Settings";
constexpr const char* kConnectionsKey =
    "Software\\Microsoft\\Windows\\CurrentVersion\\Internet Settings\\Connections";
constexpr uint32_t kAutoConfigUrlSize = 5120;
constexpr uint32_t kScriptLimit = 65535;
// DefaultConnectionSettings: a record whose flags byte says whether automatic
// configuration is on (a script URL or detection).
constexpr size_t kConnectionSettingsMinimum = 32;
constexpr size_t kConnectionFlagsAt = 8;
constexpr uint8_t kConnectionAutoConfigUrl = 0x04;
constexpr uint8_t kConnectionAutoDetect = 0x08;

plat::HKEY Hive(uint32_t flags) {
  return (flags & kHttpProxyMachine) ? plat::HKEY_LOCAL_MACHINE : plat::HKEY_CURRENT_USER;
}

class Key {
 public:
  Key(plat::HKEY root, const char* path) {
    if (plat::RegOpenKeyEx(root, path, 0, plat::KEY_READ, &key_) != 0) key_ = nullptr;
  }
  ~Key() {
    if (key_) plat::RegCloseKey(key_);
  }
  Key(const Key&) = delete;
  Key& operator=(const Key&) = delete;
  explicit operator bool() const { return key_ != nullptr; }

  // A value's type and bytes; nullopt when it is missing.
  std::optional<std::vector<uint8_t>> Read(const char* name, uint32_t* type) const {
    if (!key_) return std::nullopt;
    uint32_t size = 0;
    if (plat::RegQueryValueEx(key_, name, nullptr, type, nullptr, &size) != 0) return std::nullopt;
    std::vector<uint8_t> data(size);
    if (plat::RegQueryValueEx(key_, name, nullptr, type, data.data(), &size) != 0) return std::nullopt;
    data.resize(size);
    return data;
  }
  std::optional<std::string> String(const char* name) const {
    uint32_t type = 0;
    auto data = Read(name, &type);
    if (!data || type != plat::REG_SZ) return std::nullopt;
    std::string text(data->begin(), data->end());
    if (const size_t end = text.find('\0'); end != std::string::npos) text.resize(end);
    return text;
  }

 private:
  plat::HKEY key_ = nullptr;
};

// The manual proxy values of one source.
struct ManualValues {
  std::optional<uint32_t> enable;  // "ProxyEnable" as DWORD or 4-byte binary
  std::optional<std::string> server;
  std::optional<std::string> override;
};

std::optional<uint32_t> EnableValue(const Key& key) {
  uint32_t type = 0;
  auto data = key.Read("ProxyEnable", &type);
  if (!data || (type != plat::REG_DWORD && type != plat::REG_BINARY) || data->size() < 4) return std::nullopt;
  uint32_t v = 0;
  std::memcpy(&v, data->data(), 4);
  return v;
}

ManualValues ReadManual(uint32_t flags) {
  ManualValues m;
  Key key(Hive(flags), kSettingsKey);
  m.enable = EnableValue(key);
  if (m.enable) {
    m.server = key.String("ProxyServer");
    m.override = key.String("ProxyOverride");
    return m;
  }
  // Neither hive configures a proxy: the environment's proxy variables are the settings.
  const Key user(plat::HKEY_CURRENT_USER, kSettingsKey), machine(plat::HKEY_LOCAL_MACHINE, kSettingsKey);
  if (EnableValue(user) || EnableValue(machine)) return m;
  if (auto env = plat::EnvironmentProxySettings()) {
    m.enable = 1;
    m.server = env->server;
    if (!env->override.empty()) m.override = env->override;
  }
  return m;
}

void Upper(std::string& s) {
  for (char& c : s) c = char(std::toupper(static_cast<unsigned char>(c)));
}

// The local host's names for "<local>", looked up once per process.
const std::vector<std::string>& LocalNames() {
  static std::vector<std::string> names;
  static std::once_flag once;
  std::call_once(once, [] {
    char host[256] = {};
    if (gethostname(host, sizeof host - 1) != 0 || !host[0]) return;
    std::string name = host;
    Upper(name);
    names.push_back(name);
    if (plat::HostEnt* e = SockGetHostByName(host); e && e->h_name && *e->h_name) {
      std::string official = e->h_name;
      Upper(official);
      if (official != name) names.push_back(official);
    }
  });
  return names;
}

// Wildcard match of an upper-case pattern against an upper-case host: "?" is any one
// character, "*" any run of characters (backtracking, so "*.EXAMPLE.COM" matches every
// host below that domain).
bool Matches(const char* p, const char* h) {
  const char* star = nullptr;
  const char* resume = nullptr;
  while (*h) {
    if (*p == '*') {
      star = p++;
      resume = h;
    } else if (*p == '?' || *p == *h) {
      ++p;
      ++h;
    } else if (star) {
      p = star + 1;
      h = ++resume;
    } else {
      return false;
    }
  }
  while (*p == '*') ++p;
  return *p == '\0';
}

// "host:port" (a bracketed IPv6 literal allowed); false without a host or a port of 1..65535.
bool SplitHostPort(const std::string& entry, std::string& host, uint32_t& port) {
  size_t colon;
  if (!entry.empty() && entry[0] == '[') {
    const size_t close = entry.find(']');
    if (close == std::string::npos || close + 1 >= entry.size() || entry[close + 1] != ':') return false;
    host = entry.substr(1, close - 1);
    colon = close + 1;
  } else {
    colon = entry.rfind(':');
    if (colon == std::string::npos) return false;
    host = entry.substr(0, colon);
  }
  const std::string digits = entry.substr(colon + 1);
  if (host.empty() || digits.empty() || digits.size() > 5 ||
      digits.find_first_not_of("0123456789") != std::string::npos)
    return false;
  port = uint32_t(std::stoul(digits));
  return port >= 1 && port <= 65535;
}

void Fill(HttpProxyInfo& info, const std::string& host, uint32_t port, uint32_t targetPort) {
  info.type = targetPort == 443 ? kProxyTunnel : kProxyCern;
  info.port = port;
  CopyField(info.host, host.c_str());
}

}  // namespace

}  // namespace cvhttp

using namespace cvhttp;

int32_t HttpHostBypassesProxy(const char* host, const char* list) {
  if (Empty(host) || Empty(list)) return 0;
  std::string target = host, patterns = list;
  Upper(target);
  Upper(patterns);
  std::vector<std::string> entries;
  for (size_t start = 0; start <= patterns.size();) {
    size_t end = patterns.find(';', start);
    if (end == std::string::npos) end = patterns.size();
    std::string entry = patterns.substr(start, end - start);
    while (!entry.empty() && (entry.front() == ' ' || entry.front() == '\t')) entry.erase(0, 1);
    while (!entry.empty() && (entry.back() == ' ' || entry.back() == '\t')) entry.pop_back();
    if (!entry.empty()) entries.push_back(entry);
    start = end + 1;
  }
  if (!entries.empty() && entries.back() == "<LOCAL>") {
    entries.pop_back();
    entries.push_back("LOCALHOST");
    entries.push_back("127.0.0.1");
    for (const std::string& name : LocalNames()) entries.push_back(name);
  }
  for (const std::string& entry : entries)
    if (Matches(entry.c_str(), target.c_str())) return 1;
  return 0;
}

int32_t HttpGetAutoConfigUrl(char* buffer, uint32_t flags) {
  if (!buffer) return Finish(Status(cvErrorInvalidParameter), 1, 0);
  buffer[0] = '\0';
  const Key connections(Hive(flags), kConnectionsKey);
  uint32_t type = 0;
  const auto settings = connections.Read("DefaultConnectionSettings", &type);
  if (!settings || settings->size() < kConnectionSettingsMinimum ||
      !((*settings)[kConnectionFlagsAt] & (kConnectionAutoConfigUrl | kConnectionAutoDetect)))
    return 0;
  const Key key(Hive(flags), kSettingsKey);
  if (auto url = key.String("AutoConfigURL"); url && !url->empty()) {
    CopyField(*reinterpret_cast<char(*)[kAutoConfigUrlSize]>(buffer), url->c_str());
    return 1;
  }
  return plat::DetectAutoProxyUrl(buffer, kAutoConfigUrlSize, plat::kAutoDetectDhcp | plat::kAutoDetectDns) ? 1
                                                                                                            : 0;
}

namespace {

// The proxy the configuration script names for host: 1, or 0 when there is none to use.
Result<int32_t> DiscoverProxy(const char* host, uint32_t port, HttpProxyInfo* info) {
  if (Library().IsInitialized() == 0) return Status(cvErrorNetworkNotInitialized);
  if (Empty(host)) return Status(cvErrorInvalidHostName);
  if (!info || (port != 80 && port != 443)) return Status(cvErrorInvalidParameter);
  const std::string target = std::string(port == 443 ? "https://" : "http://") + host + "/";

  char scriptUrl[kAutoConfigUrlSize];
  TracePrintf(0, "checking for proxy autoconfig URL in HKEY_CURRENT_USER");
  if (!HttpGetAutoConfigUrl(scriptUrl, 0)) {
    TracePrintf(0, "checking for proxy autoconfig URL in HKEY_LOCAL_MACHINE");
    if (!HttpGetAutoConfigUrl(scriptUrl, kHttpProxyMachine)) {
      TracePrintf(0, "unable to determine proxy autoconfig URL");
      return 0;
    }
  }
  TracePrintf(0, "proxy autoconfig URL is %s", scriptUrl);

  HttpUrl* url = nullptr;
  if (!HttpParseUrl(scriptUrl, kHttpUrlNormalize | kHttpUrlKeepQuery, &url)) return Status(cvErrorInvalidResource);
  // A URL without anything after its host and port names the customary script file.
  const char* authority = std::strstr(scriptUrl, "//");
  const bool hasPath = authority && std::strchr(authority + 2, '/');
  const std::string path = hasPath && url->path ? url->path : "/wpad.dat";
  const std::string scriptHost = url->host ? url->host : "";
  const uint32_t scriptPort = url->port;
  const bool secure = url->scheme == 2;
  const std::string user = url->user ? url->user : "", password = url->password ? url->password : "";
  UrlFree(url);

  TracePrintf(0, "requesting %s from %s", path.c_str(), scriptHost.c_str());
  // The script comes through a session of the library's own, as any caller's would.
  const LibHandle h = HttpConnect(scriptHost.c_str(), scriptPort, 10, secure ? kOptSecure : 0, kVersion10, nullptr);
  if (h == kInvalidLibHandle) return ReportedError();
  std::string script;
  {
    const bool authenticate = !user.empty() || !password.empty();
    Status fetched;
    if (HttpSetAuthentication(h, authenticate ? 1 : 0, user.c_str(), password.c_str()) == -1) fetched = ReportedError();
    std::vector<char> buffer(kScriptLimit + 1, '\0');
    uint32_t length = kScriptLimit;
    auto* block = reinterpret_cast<plat::HGLOBAL>(buffer.data());
    if (fetched.ok() && HttpRetrieveData(h, path.c_str(), &block, &length, 0) == -1) fetched = ReportedError();
    HttpDisconnect(h);
    if (!fetched.ok()) return fetched;
    script.assign(buffer.data(), length);
  }

  std::string answer;
  if (!EvaluateProxyScript(script, target, host, answer)) return Status(cvErrorFeatureNotSupported);
  TracePrintf(0, "proxy autoconfig script parsed successfully");
  *info = HttpProxyInfo{};
  // The first entry of the answer: "PROXY host[:port]"; anything else means no proxy.
  std::string first = answer.substr(0, answer.find(';'));
  while (!first.empty() && first.front() == ' ') first.erase(0, 1);
  const size_t blank = first.find(' ');
  if (blank != 5 || strncasecmp(first.c_str(), "PROXY", 5) != 0) return 0;
  std::string where = first.substr(blank + 1);
  while (!where.empty() && where.front() == ' ') where.erase(0, 1);
  while (!where.empty() && where.back() == ' ') where.pop_back();
  std::string proxyHost;
  uint32_t proxyPort = port;  // the target's port when the answer names none
  if (!SplitHostPort(where, proxyHost, proxyPort)) {
    proxyPort = port;
    if (where.size() > 2 && where.front() == '[' && where.back() == ']')
      proxyHost = where.substr(1, where.size() - 2);
    else if (where.find(':') == std::string::npos)
      proxyHost = where;
  }
  if (proxyHost.empty()) return 0;
  Fill(*info, proxyHost, proxyPort, port);
  TracePrintf(0, "proxy autoconfig using type %d on host %s port %d", int(info->type), info->host, int(info->port));
  return 1;
}

}  // namespace

int32_t HttpDiscoverProxy(const char* host, uint32_t port, HttpProxyInfo* info) {
  return Finish(DiscoverProxy(host, port, info), 0);
}

namespace cvhttp {

Answer WindowsProxy(const char* host, uint32_t port, uint32_t flags, HttpProxyInfo* info) noexcept {
  if (!info) return {-1, Status(cvErrorInvalidParameter)};
  *info = HttpProxyInfo{};
  // A discovery that fails leaves the manual settings to answer; its failure stays the
  // reason beside whatever they give.
  Status discovered;
  if (flags & kHttpProxyAutomatic) {
    const Result<int32_t> found = DiscoverProxy(host, port, info);
    if (found.ok() && found.value() == 1) return {1, Status()};
    discovered = found.status();
  }
  *info = HttpProxyInfo{};
  TracePrintf(0, (flags & kHttpProxyMachine) ? "checking HKEY_LOCAL_MACHINE for proxy configuration"
                                             : "checking HKEY_CURRENT_USER for proxy configuration");
  const ManualValues m = ReadManual(flags);
  if (!m.enable || *m.enable == 0) {
    TracePrintf(0, "no proxy server configured for this session");
    return {0, discovered};
  }
  if (m.override && HttpHostBypassesProxy(host, m.override->c_str())) return {0, discovered};
  if (!m.server) return {-1, discovered};
  const char* wanted = port == 443 ? "https" : port == 80 ? "http" : nullptr;
  const std::string& list = *m.server;
  for (size_t start = 0; start <= list.size();) {
    size_t end = list.find(';', start);
    if (end == std::string::npos) end = list.size();
    std::string entry = list.substr(start, end - start);
    start = end + 1;
    std::string scheme;
    if (const size_t eq = entry.find('='); eq != std::string::npos) {
      scheme = entry.substr(0, eq);
      entry.erase(0, eq + 1);
    }
    std::string proxyHost;
    uint32_t proxyPort = 0;
    if (!SplitHostPort(entry, proxyHost, proxyPort)) continue;
    if (!scheme.empty() && !(wanted && strcasecmp(scheme.c_str(), wanted) == 0)) continue;
    Fill(*info, proxyHost, proxyPort, port);
    return {1, discovered};
  }
  return {0, discovered};
}

}  // namespace cvhttp

int32_t HttpGetWindowsProxy(const char* host, uint32_t port, uint32_t flags, HttpProxyInfo* info) {
  const Answer found = WindowsProxy(host, port, flags, info);
  return Finish(found.status, found.value, found.value);
}
