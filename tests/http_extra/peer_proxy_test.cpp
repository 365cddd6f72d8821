// The system proxy in real connections: tinyproxy named by the registry or by the
// environment, a CONNECT tunnel to nginx over TLS, bypass lists, and a configuration script
// served by nginx.
#include <chrono>
#include <thread>

#include "extra_fixture.h"

namespace httpextra {
namespace {

class ProxyPeer : public Extra {
 protected:
  void SetUp() override {
    Extra::SetUp();
    proxy_ = std::make_unique<cvpeers::PeerProcess>(TinyproxyOptions(proxyUser_, proxyPassword_));
    CV_START_PEER(*proxy_);
  }
  void StartNginx(bool tls) {
    nginx_ = std::make_unique<cvpeers::PeerProcess>(NginxOptions(tls));
    if (tls) {
      ASSERT_TRUE(MakeCertificate(nginx_->dir()));
    }
    CV_START_PEER(*nginx_);
    WriteFile(nginx_->dir() / "www" / "s.txt", "served");
  }
  std::string ProxyEntry() const { return proxy_->address() + ":" + std::to_string(proxy_->port()); }
  // Whether the proxy logged a request line containing text (it writes as it goes).
  bool ProxySaw(const std::string& text) {
    for (int i = 0; i < 100; ++i) {
      if (ReadFile(proxy_->dir() / "proxy.log").find(text) != std::string::npos) return true;
      std::this_thread::sleep_for(std::chrono::milliseconds(20));
    }
    return false;
  }
  std::string Fetch(LibHandle h, const char* resource = "/s.txt") {
    plat::HGLOBAL block = nullptr;
    uint32_t length = 0;
    EXPECT_EQ(HttpRetrieveData(h, resource, &block, &length, 0), 200) << Error();
    return BlockText(block, length);
  }

  std::unique_ptr<cvpeers::PeerProcess> proxy_, nginx_;
  std::string proxyUser_, proxyPassword_;  // the proxy's login, when it asks for one
};

class LoginProxyPeer : public ProxyPeer {
 protected:
  void SetUp() override {
    proxyUser_ = "proxyuser";
    proxyPassword_ = "proxysecret";
    ProxyPeer::SetUp();
  }
};

// The proxy's password goes to the proxy: with the CONNECT of a tunnel and never into it,
// with every request that the proxy forwards itself.
TEST_F(LoginProxyPeer, ProxyCredentialsStayWithTheProxy) {
  StartNginx(true);
  const uint32_t secure = cvhttp::kOptKeepAlive | cvhttp::kOptSecure | cvhttp::kOptNoCertCheck;
  LibHandle h = HttpProxyConnect(2, proxy_->address().c_str(), proxy_->port(), "proxyuser", "proxysecret",
                                 nginx_->address().c_str(), nginx_->port(), 10, secure, kVersion11, nullptr);
  ASSERT_NE(h, kInvalidLibHandle) << Error();
  EXPECT_EQ(Fetch(h, "/proxy-auth"), "[]");
  EXPECT_EQ(Fetch(h, "/proxy-auth"), "[]");
  HttpDisconnect(h);
  EXPECT_EQ(HttpProxyConnect(2, proxy_->address().c_str(), proxy_->port(), nullptr, nullptr, nginx_->address().c_str(),
                             nginx_->port(), 10, secure, kVersion11, nullptr),
            kInvalidLibHandle);
  EXPECT_EQ(Error(), 12205u);  // the proxy wants its login

  nginx_.reset();
  StartNginx(false);
  h = HttpProxyConnect(1, proxy_->address().c_str(), proxy_->port(), "proxyuser", "proxysecret",
                       nginx_->address().c_str(), nginx_->port(), 10, 0x2, kVersion11, nullptr);
  ASSERT_NE(h, kInvalidLibHandle) << Error();
  EXPECT_EQ(Fetch(h), "served");
  EXPECT_EQ(Fetch(h), "served");
  HttpDisconnect(h);
}

TEST_F(ProxyPeer, SystemProxyFromTheRegistryWithItsBypassList) {
  StartNginx(false);
  SetProxyValues(plat::HKEY_CURRENT_USER, 1, ("http=" + ProxyEntry()).c_str());
  const std::string target = nginx_->address() + ":" + std::to_string(nginx_->port());
  LibHandle h = HttpProxyConnect(3, nullptr, 0, nullptr, nullptr, nginx_->address().c_str(), nginx_->port(), 10, 0x2,
                                 kVersion11, nullptr);
  ASSERT_NE(h, kInvalidLibHandle) << Error();
  EXPECT_EQ(Fetch(h), "served");
  EXPECT_TRUE(ProxySaw("GET http://" + target + "/s.txt"));
  HttpDisconnect(h);

  // The same through the connect option; then a bypass pattern makes it direct.
  h = HttpConnect(nginx_->address().c_str(), nginx_->port(), 10, 0x2 | 0x8, kVersion11, nullptr);
  ASSERT_NE(h, kInvalidLibHandle) << Error();
  EXPECT_EQ(Fetch(h, "/s.txt?option"), "served");
  EXPECT_TRUE(ProxySaw("/s.txt?option"));
  HttpDisconnect(h);
  SetProxyValues(plat::HKEY_CURRENT_USER, 1, ("http=" + ProxyEntry()).c_str(), "example.org;127.0.0.*");
  h = HttpConnect(nginx_->address().c_str(), nginx_->port(), 10, 0x2 | 0x8, kVersion11, nullptr);
  ASSERT_NE(h, kInvalidLibHandle) << Error();
  EXPECT_EQ(Fetch(h, "/s.txt?bypassed"), "served");
  HttpDisconnect(h);
  EXPECT_FALSE(ProxySaw("bypassed"));
}

TEST_F(ProxyPeer, EnvironmentProxyTunnelsTlsAndHonoursNoProxy) {
  StartNginx(true);
  setenv("https_proxy", ("http://" + ProxyEntry() + "/").c_str(), 1);
  const uint32_t secure =
      cvhttp::kOptKeepAlive | cvhttp::kOptSystemProxy | cvhttp::kOptSecure | cvhttp::kOptNoCertCheck;
  LibHandle h = HttpConnect(nginx_->address().c_str(), nginx_->port(), 10, secure, kVersion11, nullptr);
  ASSERT_NE(h, kInvalidLibHandle) << Error();
  EXPECT_EQ(Fetch(h), "served");
  EXPECT_TRUE(ProxySaw("CONNECT " + nginx_->address() + ":" + std::to_string(nginx_->port())));
  HttpDisconnect(h);

  setenv("no_proxy", "localhost,127.0.0.1", 1);
  const std::string before = ReadFile(proxy_->dir() / "proxy.log");
  h = HttpConnect(nginx_->address().c_str(), nginx_->port(), 10, secure, kVersion11, nullptr);
  ASSERT_NE(h, kInvalidLibHandle) << Error();
  EXPECT_EQ(Fetch(h), "served");
  HttpDisconnect(h);
  std::this_thread::sleep_for(std::chrono::milliseconds(100));
  EXPECT_EQ(ReadFile(proxy_->dir() / "proxy.log").size(), before.size()) << "no_proxy connects directly";
}

TEST_F(ProxyPeer, ConfigurationScriptNamesTheProxyAndDirectFallsBackToManualSettings) {
  StartNginx(false);
  WriteFile(nginx_->dir() / "www" / "wpad.dat",
            "function FindProxyForURL(url, host) {\n"
            "  if (host == 'manual.example') return 'DIRECT';\n"
            "  if (shExpMatch(url, 'https:*')) return 'PROXY tunnel.example';\n"
            "  return 'PROXY " + ProxyEntry() + "; DIRECT';\n}\n");
  // A script URL without a path fetches /wpad.dat.
  SetAutoConfig(plat::HKEY_CURRENT_USER,
                ("http://" + nginx_->address() + ":" + std::to_string(nginx_->port())).c_str());
  SetProxyValues(plat::HKEY_CURRENT_USER, 1, "manual:8000");

  HttpProxyInfo info{};
  ASSERT_EQ(HttpDiscoverProxy("www.example", 80, &info), 1) << Error();
  EXPECT_EQ(info.type, 1u);
  EXPECT_EQ(std::string(info.host), proxy_->address());
  EXPECT_EQ(info.port, proxy_->port());
  ASSERT_EQ(HttpDiscoverProxy("www.example", 443, &info), 1);
  EXPECT_EQ(info.type, 2u);
  EXPECT_EQ(std::string(info.host), "tunnel.example");
  EXPECT_EQ(info.port, 443u);
  EXPECT_EQ(HttpGetWindowsProxy("manual.example", 80, kHttpProxyAutomatic, &info), 1);
  EXPECT_EQ(std::string(info.host), "manual");
  EXPECT_TRUE(ReadFile(nginx_->dir() / "access.log").find("GET /wpad.dat") != std::string::npos);

  // A connection with the system proxy option goes where the script says.
  const LibHandle h = HttpConnect(nginx_->address().c_str(), nginx_->port(), 10, 0x2 | 0x8, kVersion11, nullptr);
  ASSERT_NE(h, kInvalidLibHandle) << Error();
  EXPECT_EQ(Fetch(h, "/s.txt?scripted"), "served");
  EXPECT_TRUE(ProxySaw("/s.txt?scripted"));
}

// A script that never ends is stopped at its deadline; the connect then goes on with the
// manual settings, as it does after any failing script.
TEST_F(ProxyPeer, EndlessScriptFallsBackToTheManualSettings) {
  StartNginx(false);
  WriteFile(nginx_->dir() / "www" / "wpad.dat", "function FindProxyForURL(url, host) { for (;;) {} }\n");
  SetAutoConfig(plat::HKEY_CURRENT_USER,
                ("http://" + nginx_->address() + ":" + std::to_string(nginx_->port()) + "/wpad.dat").c_str());
  SetProxyValues(plat::HKEY_CURRENT_USER, 1, ("http=" + ProxyEntry()).c_str());
  const auto start = std::chrono::steady_clock::now();
  HttpProxyInfo info{};
  EXPECT_EQ(HttpDiscoverProxy("www.example", 80, &info), 0);
  EXPECT_EQ(Error(), 12330u);
  EXPECT_LT(std::chrono::steady_clock::now() - start, std::chrono::seconds(6));  // a deadline of 3 s
  const LibHandle h = HttpProxyConnect(3, nullptr, 0, nullptr, nullptr, nginx_->address().c_str(), nginx_->port(), 10,
                                       0x2, kVersion11, nullptr);
  ASSERT_NE(h, kInvalidLibHandle) << Error();
  EXPECT_EQ(Fetch(h, "/s.txt?after-script"), "served");
  EXPECT_TRUE(ProxySaw("/s.txt?after-script"));
  HttpDisconnect(h);
}

}  // namespace
}  // namespace httpextra
