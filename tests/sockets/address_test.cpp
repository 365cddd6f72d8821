// Addresses, proxy settings and the public address asked of a local fake web service.
#include <cstdlib>
#include <cstring>
#include <ctime>
#include <string>
#include <thread>

#include "core/errors/error_codes.h"
#include "peers/peer.h"
#include "platform/registry/registry.h"
#include "sockets/inet_testing.h"
#include "sockets_util.h"

using namespace socktest;

namespace {

SockAddress V4(const char* text) {
  SockAddress a{};
  EXPECT_EQ(InetParseAddress(text, 2, &a), 2) << text;
  return a;
}

class InetAddresses : public Attached {
 protected:
  void SetUp() override {
    Attached::SetUp();
    setenv("CV_REGISTRY_ROOT", (dir.path() / "registry").c_str(), 1);
    cvsock::ForgetExternalAddressForTesting();
  }
  void TearDown() override {
    cvsock::SetExternalAddressServicesForTesting(nullptr, nullptr, 0);
    cvsock::ForgetExternalAddressForTesting();
    Attached::TearDown();
  }
  void SetProxy(uint32_t enable, const char* server, const char* overrides) {
    const char* key = "Software\\Microsoft\\Windows\\CurrentVersion\\Internet Settings";
    plat::HKEY k = nullptr;
    ASSERT_EQ(plat::RegCreateKeyEx(plat::HKEY_CURRENT_USER, key, 0, nullptr, 0, plat::KEY_ALL_ACCESS, nullptr, &k,
                                   nullptr),
              0u);
    plat::RegSetValueEx(k, "ProxyEnable", 0, plat::REG_DWORD, reinterpret_cast<const BYTE*>(&enable), 4);
    plat::RegCloseKey(k);
    plat::RegSetString(plat::HKEY_CURRENT_USER, key, "ProxyServer", server);
    if (overrides) plat::RegSetString(plat::HKEY_CURRENT_USER, key, "ProxyOverride", overrides);
  }
  cvpeers::TempDir dir;
};

TEST_F(InetAddresses, PublicAndPrivate) {
  struct Case {
    const char* text;
    int32_t isPublic;
  } cases[] = {{"172.15.0.1", 1},   {"172.32.0.1", 1}, {"172.20.1.1", 0}, {"192.168.0.1", 0},
               {"169.254.1.1", 1},  {"10.1.2.3", 0},   {"127.0.0.1", 0},  {"0.0.0.0", 0},
               {"255.255.255.255", 0}, {"8.8.4.4", 1}, {"::1", 0},        {"::", 0},
               {"fe80::1", 0},      {"fec0::1", 0},    {"2001:db8::1", 1}};
  for (const Case& c : cases) {
    SockAddress a{};
    ASSERT_GT(InetParseAddress(c.text, 0, &a), 0) << c.text;
    EXPECT_EQ(InetIsPublicAddress(&a), c.isPublic) << c.text;
  }
  EXPECT_EQ(InetIsPublicIPv4(SockInetAddr("172.31.255.255")), 0);
  EXPECT_EQ(InetIsPublicAddress(nullptr), 0);
  EXPECT_EQ(InetGetLastError(), cvErrorInvalidAddress);
}

TEST_F(InetAddresses, ParseFormatResolveAndSockaddrs) {
  SockAddress a{};
  EXPECT_EQ(InetParseAddress("::1", 2, &a), -1);
  EXPECT_EQ(InetGetLastError(), cvErrorInvalidHostAddress);
  EXPECT_EQ(InetParseAddress("", 0, &a), -1);
  ASSERT_EQ(InetParseAddress("2001:DB8::0:1", 0, &a), 23);
  char text[64];
  EXPECT_EQ(InetFormatAddress(&a, text), 11);
  EXPECT_STREQ(text, "2001:db8::1");
  uint8_t sa[128];
  uint32_t length = 0;
  EXPECT_EQ(InetMakeSockaddr(&a, 443, sa, &length), 23u);
  EXPECT_EQ(length, 28u);
  SockAddress back{};
  uint32_t port = 0;
  ASSERT_EQ(InetSplitSockaddr(reinterpret_cast<sockaddr*>(sa), &back, &port), 0);
  EXPECT_EQ(port, 443u);
  EXPECT_EQ(InetCompareAddress(&a, &back), 1);
  SockAddress v4 = V4("127.0.0.1");
  EXPECT_EQ(InetCompareAddress(&a, &v4), 0);
  EXPECT_EQ(InetGetLastError(), cvErrorProtocolFamily);

  EXPECT_EQ(InetResolveAddress("", 0, &a), 2);
  EXPECT_EQ(InetIsAnyAddress(&a), 1);
  EXPECT_EQ(InetResolveAddress("::", 23, &a), 23);
  EXPECT_EQ(InetIsAnyAddress(&a), 1);
  EXPECT_EQ(InetResolveAddress("localhost", 2, &a), 2);
  EXPECT_EQ(InetCompareAddress(&a, &v4), 1);
  EXPECT_EQ(InetResolveAddress("x", 5, &a), -1);
  EXPECT_EQ(InetGetLastError(), cvErrorInvalidHostName);

  SockAddress list[kInetMaxLocalAddresses];
  const int32_t n = InetListLocalAddresses(list);
  EXPECT_GE(n, 0);
  EXPECT_LE(n, int32_t(kInetMaxLocalAddresses));
  for (int32_t i = 0; i < n; ++i) EXPECT_NE(InetCompareAddress(&list[i], &v4), 1);  // no loopback
  EXPECT_EQ(InetListLocalAddresses(nullptr), n);
}

TEST_F(InetAddresses, ProxySettings) {
  InetProxyRecord p{};
  EXPECT_EQ(InetGetProxySettings("example.test", &p), 0);  // nothing configured
  SetProxy(1, "ftp=p1:21;http=p2:8080", "*.local;intra*");
  ASSERT_EQ(InetGetProxySettings("example.test", &p), 1);
  EXPECT_STREQ(p.host, "p2");
  EXPECT_EQ(p.port, 8080u);
  EXPECT_EQ(InetGetProxySettings("printer.local", &p), 0);
  EXPECT_EQ(InetGetProxySettings("intranet", &p), 0);
  SetProxy(1, "bad:0;p3:3128", nullptr);
  ASSERT_EQ(InetGetProxySettings("example.test", &p), 1);
  EXPECT_STREQ(p.host, "p3");
  EXPECT_EQ(p.port, 3128u);
  SetProxy(0, "p3:3128", nullptr);
  EXPECT_EQ(InetGetProxySettings("example.test", &p), 0);

  EXPECT_EQ(InetMatchHostList("Host.Example.COM", "*.example.com"), 1);
  EXPECT_EQ(InetMatchHostList("ab", "a?;;x"), 1);
  EXPECT_EQ(InetMatchHostList("abc", "a?"), 0);
  EXPECT_EQ(InetMatchHostList(std::string(200, 'a').c_str(), "*a*a*a*a*a*a*a*b"), 0);  // no blow-up
}

// A one-shot HTTP server on 127.0.0.1 answering every request with body; counts requests.
class FakeService {
 public:
  explicit FakeService(std::string body) : body_(std::move(body)) {
    fd_ = ::socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0);
    sockaddr_in in{};
    in.sin_family = AF_INET;
    in.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
    ::bind(fd_, reinterpret_cast<sockaddr*>(&in), sizeof in);
    socklen_t len = sizeof in;
    ::getsockname(fd_, reinterpret_cast<sockaddr*>(&in), &len);
    port_ = ntohs(in.sin_port);
    ::listen(fd_, 8);
    thread_ = std::thread([this] {
      for (;;) {
        int c = ::accept(fd_, nullptr, nullptr);
        if (c < 0) return;
        std::string request = RecvRaw(c, 4096, 500);
        requests_.fetch_add(1);
        lastRequest_ = request;
        SendRaw(c, "HTTP/1.0 200 OK\r\nContent-Type: text/html\r\n\r\n" + body_);
        ::close(c);
      }
    });
  }
  ~FakeService() {
    ::shutdown(fd_, SHUT_RDWR);
    ::close(fd_);
    thread_.join();
  }
  uint32_t port() const { return port_; }
  int requests() const { return requests_.load(); }
  std::string lastRequest_;

 private:
  std::string body_;
  int fd_;
  uint32_t port_;
  std::atomic<int> requests_{0};
  std::thread thread_;
};

TEST_F(InetAddresses, ExternalAddressFromTheFirstServiceThenCached) {
  FakeService svc("<html><body>Current IP Address: 203.0.113.7</body></html>");
  cvsock::SetExternalAddressServicesForTesting("127.0.0.1", "127.0.0.1", svc.port());
  SockAddress a{};
  ASSERT_EQ(InetGetExternalAddress(0, &a), 0) << std::hex << InetGetLastError();
  char text[64];
  InetFormatAddress(&a, text);
  EXPECT_STREQ(text, "203.0.113.7");
  EXPECT_EQ(svc.requests(), 1);
  EXPECT_NE(svc.lastRequest_.find("GET / HTTP/1.0\r\nHost: 127.0.0.1\r\n"), std::string::npos);
  EXPECT_NE(svc.lastRequest_.find("Corvanetics/9.05.9530"), std::string::npos);
  // Cached in the registry: a fresh process would find it there.
  auto cached = plat::RegGetDword(plat::HKEY_CURRENT_USER, "Software\\Vantorel\\Corvanetics\\CurrentVersion\\Settings",
                                  "ExternalAddress");
  ASSERT_TRUE(cached);
  cvsock::ForgetExternalAddressForTesting();
  ASSERT_EQ(InetGetExternalAddress(2, &a), 0);
  EXPECT_EQ(svc.requests(), 1);  // no traffic
  EXPECT_EQ(InetGetExternalAddress(23, &a), -1);
  EXPECT_EQ(InetGetLastError(), cvErrorProtocolFamily);
}

TEST_F(InetAddresses, StaleCacheAsksAgainAndPrivateAnswersFail) {
  const char* key = "Software\\Vantorel\\Corvanetics\\CurrentVersion\\Settings";
  plat::HKEY k = nullptr;
  ASSERT_EQ(plat::RegCreateKeyEx(plat::HKEY_CURRENT_USER, key, 0, nullptr, 0, plat::KEY_ALL_ACCESS, nullptr, &k,
                                 nullptr),
            0u);
  uint32_t address = SockInetAddr("198.51.100.1");
  uint32_t fresh = uint32_t(std::time(nullptr)) - 1800, stale = uint32_t(std::time(nullptr)) - 7200;
  plat::RegSetValueEx(k, "ExternalAddress", 0, plat::REG_DWORD, reinterpret_cast<const BYTE*>(&address), 4);
  plat::RegSetValueEx(k, "LastUpdated", 0, plat::REG_DWORD, reinterpret_cast<const BYTE*>(&fresh), 4);

  FakeService svc("External Address:\r\n 10.0.0.9\r\n");
  cvsock::SetExternalAddressServicesForTesting("127.0.0.1", "127.0.0.1", svc.port());
  SockAddress a{};
  ASSERT_EQ(InetQueryExternalAddress("127.0.0.1", 0, &a), 0);  // 30 minutes old: kept
  EXPECT_EQ(svc.requests(), 0);
  EXPECT_EQ(std::memcmp(a.address, &address, 4), 0);

  plat::RegSetValueEx(k, "LastUpdated", 0, plat::REG_DWORD, reinterpret_cast<const BYTE*>(&stale), 4);
  plat::RegCloseKey(k);
  cvsock::ForgetExternalAddressForTesting();
  EXPECT_EQ(InetQueryExternalAddress("127.0.0.1", 0, &a), -1);  // asked; a private answer
  EXPECT_EQ(svc.requests(), 1);
  EXPECT_NE(svc.lastRequest_.find("GET /xipv4 HTTP/1.0"), std::string::npos);
  EXPECT_EQ(InetGetLastError(), cvErrorInvalidAddress);
}

TEST_F(InetAddresses, ServiceThatIsNotThere) {
  const uint32_t port = uint32_t(cvpeers::FreePort(AF_INET));  // nothing listens there
  cvsock::SetExternalAddressServicesForTesting("127.0.0.1", "127.0.0.1", port);
  SockAddress a{};
  EXPECT_EQ(InetQueryExternalAddress("127.0.0.1", kInetExternalNoCache | kInetExternalFirstService, &a), -1);
  EXPECT_EQ(InetGetLastError(), cvErrorConnectionRefused);
  EXPECT_EQ(InetGetExternalAddress(0, &a), -1);
}

}  // namespace
