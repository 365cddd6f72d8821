#pragma once
// The HTTP library attached for each test, a private registry, and the peers of these
// tests: nginx (static files, a slow location, a WebDAV folder, an echo of the
// Authorization header, optionally TLS), tinyproxy with a request log, and a python3
// form parser that answers with what it parsed.
#include <gtest/gtest.h>

#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <sstream>
#include <string>

#include "http/http.h"
#include "http/http_bits.h"
#include "peers/peer.h"
#include "platform/registry/registry.h"

namespace httpextra {

using cvhttp::kVersion11;

inline std::string ReadFile(const std::filesystem::path& path) {
  std::ifstream in(path, std::ios::binary);
  std::stringstream ss;
  ss << in.rdbuf();
  return ss.str();
}

inline void WriteFile(const std::filesystem::path& path, const std::string& data) {
  std::filesystem::create_directories(path.parent_path());
  std::ofstream(path, std::ios::binary) << data;
}

inline std::string Pattern(size_t n) {
  std::string s(n, '\0');
  for (size_t i = 0; i < n; ++i) s[i] = char('a' + (i * 7 + i / 251) % 26);
  return s;
}

inline std::string BlockText(plat::HGLOBAL block, uint32_t length) {
  if (!block) return {};
  std::string out(static_cast<const char*>(plat::GlobalLock(block)), length);
  plat::GlobalUnlock(block);
  plat::GlobalFree(block);
  return out;
}

class Extra : public ::testing::Test {
 protected:
  void SetUp() override {
    // Proxy settings come from this test's registry and environment only.
    setenv("CV_REGISTRY_ROOT", (registry_.path() / "registry").c_str(), 1);
    for (const char* v : {"http_proxy", "https_proxy", "HTTPS_PROXY", "no_proxy", "NO_PROXY"}) unsetenv(v);
    LibVersionInfo info{};
    info.size = sizeof info;
    info.options = kLibAttachFull;
    ASSERT_EQ(HttpAttach(&info), 1);
  }
  void TearDown() override {
    while (HttpIsInitialized() > 0) HttpDetach();
  }
  static uint32_t Error() { return HttpGetLastError() & 0xFFFF; }

  static constexpr const char* kSettings = "Software\\Microsoft\\Windows\\CurrentVersion\\Internet Settings";
  static void SetProxyValues(plat::HKEY hive, uint32_t enable, const char* server, const char* override = nullptr) {
    plat::HKEY key = nullptr;
    ASSERT_EQ(plat::RegCreateKeyEx(hive, kSettings, 0, nullptr, 0, plat::KEY_ALL_ACCESS, nullptr, &key, nullptr), 0u);
    plat::RegSetValueEx(key, "ProxyEnable", 0, plat::REG_DWORD, reinterpret_cast<const BYTE*>(&enable), 4);
    if (server) plat::RegSetString(hive, kSettings, "ProxyServer", server);
    if (override) plat::RegSetString(hive, kSettings, "ProxyOverride", override);
    plat::RegCloseKey(key);
  }
  // Automatic configuration switched on in the hive, with a script URL (or none).
  static void SetAutoConfig(plat::HKEY hive, const char* url) {
    plat::HKEY key = nullptr;
    ASSERT_EQ(plat::RegCreateKeyEx(hive, (std::string(kSettings) + "\\Connections").c_str(), 0, nullptr, 0,
                                   plat::KEY_ALL_ACCESS, nullptr, &key, nullptr),
              0u);
    BYTE settings[40] = {};
    settings[8] = 0x04;
    plat::RegSetValueEx(key, "DefaultConnectionSettings", 0, plat::REG_BINARY, settings, sizeof settings);
    plat::RegCloseKey(key);
    if (url) plat::RegSetString(hive, kSettings, "AutoConfigURL", url);
  }

  cvpeers::TempDir registry_;
};

// nginx: /www static files, /slow/ sent at 256 KB/s, /dav/ for PUT, /auth and /proxy-auth
// answering the Authorization and Proxy-Authorization headers, /wpad.dat from the www folder.
inline cvpeers::PeerOptions NginxOptions(bool tls = false) {
  return cvpeers::PeerOptions{
      .program = "nginx",
      .args = {"-p", "{{DIR}}", "-c", "{{CONFIG}}", "-e", "{{DIR}}/error.log"},
      .configName = "nginx.conf",
      .configTemplate = R"(
daemon off;
master_process off;
worker_processes 1;
pid {{DIR}}/nginx.pid;
error_log {{DIR}}/error.log;
events { worker_connections 64; }
http {
  access_log {{DIR}}/access.log;
  client_body_temp_path {{DIR}}/tmp_body;
  proxy_temp_path {{DIR}}/tmp_proxy;
  fastcgi_temp_path {{DIR}}/tmp_fastcgi;
  uwsgi_temp_path {{DIR}}/tmp_uwsgi;
  scgi_temp_path {{DIR}}/tmp_scgi;
  types { text/plain txt; application/octet-stream bin; application/x-ns-proxy-autoconfig dat; }
  server {
    listen {{HOST}}:{{PORT}}{{SSL}};
    root {{DIR}}/www;
    location /slow/ { limit_rate 262144; limit_rate_after 0; }
    location /dav/ { dav_methods PUT DELETE; create_full_put_path on; client_max_body_size 64m; }
    location = /auth { default_type text/plain; return 200 "$http_authorization"; }
    location = /proxy-auth { default_type text/plain; return 200 "[$http_proxy_authorization]"; }
  }
}
)",
      .values = {{"SSL", tls ? " ssl;\n    ssl_certificate cert.pem;\n    ssl_certificate_key key.pem;\n"
                               "    ssl_protocols TLSv1.2"
                             : ""}},
      .logFiles = {"error.log"},
  };
}

// A self-signed certificate for nginx's TLS, written before it starts.
inline bool MakeCertificate(const std::filesystem::path& dir) {
  std::filesystem::create_directories(dir);
  const std::string command = "openssl req -x509 -newkey rsa:2048 -nodes -days 2 -subj /CN=localhost -keyout '" +
                              dir.string() + "/key.pem' -out '" + dir.string() + "/cert.pem' >/dev/null 2>&1";
  return std::system(command.c_str()) == 0;
}

// tinyproxy in the foreground, logging every request line to proxy.log; with a login it
// serves only clients that give it.
inline cvpeers::PeerOptions TinyproxyOptions(const std::string& user = "", const std::string& password = "") {
  return cvpeers::PeerOptions{
      .program = "tinyproxy",
      .args = {"-d", "-c", "{{CONFIG}}"},
      .configName = "tinyproxy.conf",
      .configTemplate = R"(Port {{PORT}}
Listen {{ADDR}}
Timeout 30
LogFile "{{DIR}}/proxy.log"
LogLevel Connect
MaxClients 32
Allow 127.0.0.1
DisableViaHeader Yes
)" + (user.empty() ? std::string() : "BasicAuth " + user + " " + password + "\n"),
  };
}

}  // namespace httpextra
