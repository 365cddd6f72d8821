#pragma once
// The system proxy sources that Linux has instead of a browser's settings: the proxy
// variables of the environment, given in the form of the registry's proxy values, and the
// discovery of a proxy configuration script through DNS (the "wpad" host of the local
// domain and its parents).
#include <cstdint>
#include <optional>
#include <string>
#include <vector>

namespace plat {

// http_proxy / https_proxy / no_proxy (upper-case forms too, except HTTP_PROXY) as a
// "ProxyServer" text ("http=host:port;https=host:port") and a "ProxyOverride" list
// ("host;*.domain"). Empty when no proxy variable is set.
struct EnvironmentProxy {
  std::string server;
  std::string override;
};
std::optional<EnvironmentProxy> EnvironmentProxySettings();

// "host:port" of one proxy variable's value ("http://user:pw@host:port/", "host:port",
// "[::1]:3128"); port 80 when none is given. Empty when there is no host.
std::string ProxyVariableToEntry(const std::string& value);
// A no_proxy list (commas or blanks) as bypass patterns separated by ";".
std::string NoProxyToOverride(const std::string& value);

// The script hosts to try for a DNS domain: "wpad." before the domain and before each
// parent that still has two labels ("a.b.c" -> wpad.a.b.c, wpad.b.c).
std::vector<std::string> WpadCandidates(const std::string& domain);

// Detection flags: 1 DHCP (not available here), 2 DNS.
inline constexpr uint32_t kAutoDetectDhcp = 1, kAutoDetectDns = 2;
// Writes "http://wpad.<domain>/wpad.dat" for the first candidate of the resolver's local
// domain whose name resolves; false when none does.
bool DetectAutoProxyUrl(char* buffer, uint32_t size, uint32_t flags);

}  // namespace plat
