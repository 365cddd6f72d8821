#include "platform/net/proxy_environment.h"

#include <netdb.h>
#include <sys/socket.h>

#include <cstdlib>
#include <cstring>

#include "platform/net/dns_servers.h"

namespace plat {

namespace {

const char* Variable(const char* lower, const char* upper) {
  const char* v = std::getenv(lower);
  if ((!v || !*v) && upper) v = std::getenv(upper);
  return v && *v ? v : nullptr;
}

std::string Trim(const std::string& s) {
  const size_t b = s.find_first_not_of(" \t");
  if (b == std::string::npos) return {};
  return s.substr(b, s.find_last_not_of(" \t") - b + 1);
}

}  // namespace

std::string ProxyVariableToEntry(const std::string& value) {
  std::string rest = Trim(value);
  if (const size_t scheme = rest.find("://"); scheme != std::string::npos) rest.erase(0, scheme + 3);
  if (const size_t slash = rest.find('/'); slash != std::string::npos) rest.erase(slash);
  if (const size_t at = rest.rfind('@'); at != std::string::npos) rest.erase(0, at + 1);
  std::string host = rest, port = "80";
  if (!rest.empty() && rest[0] == '[') {
    const size_t close = rest.find(']');
    if (close == std::string::npos) return {};
    host = rest.substr(0, close + 1);
    if (close + 1 < rest.size() && rest[close + 1] == ':') port = rest.substr(close + 2);
  } else if (const size_t colon = rest.rfind(':'); colon != std::string::npos) {
    host = rest.substr(0, colon);
    port = rest.substr(colon + 1);
  }
  if (host.empty() || host == "[]") return {};
  if (port.empty()) port = "80";
  return host + ":" + port;
}

std::string NoProxyToOverride(const std::string& value) {
  std::string out;
  auto add = [&out](const std::string& pattern) {
    if (!out.empty()) out += ";";
    out += pattern;
  };
  size_t start = 0;
  while (start <= value.size()) {
    size_t end = value.find_first_of(", \t", start);
    if (end == std::string::npos) end = value.size();
    std::string entry = value.substr(start, end - start);
    start = end + 1;
    if (entry.empty()) continue;
    if (entry[0] != '[' && entry.find(':') == entry.rfind(':'))
      if (const size_t colon = entry.find(':'); colon != std::string::npos) entry.erase(colon);  // host:port
    if (entry == "*") {
      add("*");
    } else if (entry[0] == '.') {
      add(entry.substr(1));
      add("*" + entry);
    } else if (entry.find('*') != std::string::npos) {
      add(entry);
    } else {
      add(entry);
      add("*." + entry);
    }
  }
  return out;
}

std::optional<EnvironmentProxy> EnvironmentProxySettings() {
  EnvironmentProxy p;
  // HTTP_PROXY is left alone: a CGI program receives a client's "Proxy:" header under it.
  if (const char* v = Variable("http_proxy", nullptr)) {
    const std::string entry = ProxyVariableToEntry(v);
    if (!entry.empty()) p.server = "http=" + entry;
  }
  if (const char* v = Variable("https_proxy", "HTTPS_PROXY")) {
    const std::string entry = ProxyVariableToEntry(v);
    if (!entry.empty()) p.server += (p.server.empty() ? "https=" : ";https=") + entry;
  }
  if (p.server.empty()) return std::nullopt;
  if (const char* v = Variable("no_proxy", "NO_PROXY")) p.override = NoProxyToOverride(v);
  return p;
}

std::vector<std::string> WpadCandidates(const std::string& domain) {
  std::vector<std::string> out;
  std::string d = domain;
  while (!d.empty() && d.back() == '.') d.pop_back();
  while (!d.empty() && d.find('.') != std::string::npos) {
    out.push_back("wpad." + d);
    d.erase(0, d.find('.') + 1);
  }
  return out;
}

bool DetectAutoProxyUrl(char* buffer, uint32_t size, uint32_t flags) {
  if (!buffer || size == 0 || !(flags & kAutoDetectDns)) return false;
  DnsConfiguration config;
  if (!ReadDnsConfiguration(&config)) return false;
  for (const std::string& name : WpadCandidates(config.domain)) {
    addrinfo hints{};
    hints.ai_socktype = SOCK_STREAM;
    addrinfo* list = nullptr;
    if (getaddrinfo(name.c_str(), nullptr, &hints, &list) != 0) continue;
    freeaddrinfo(list);
    const std::string url = "http://" + name + "/wpad.dat";
    if (url.size() >= size) return false;
    std::memcpy(buffer, url.c_str(), url.size() + 1);
    return true;
  }
  return false;
}

}  // namespace plat
