#pragma once
// What the DNS tests share: a private registry and resolver configuration per test, the
// attached library, and helpers that point a resolver at a loopback name server.
#include <arpa/inet.h>
#include <stdlib.h>

#include <cstdint>
#include <string>
#include <vector>

#include <gtest/gtest.h>

#include "dns/dns.h"
#include "peers/peer.h"
#include "platform/net/dns_servers.h"

namespace dnstest {

// The low 16 bits of the library's last error.
inline uint32_t LastError() { return DnsGetLastError() & 0xFFFF; }

class DnsTest : public ::testing::Test {
 protected:
  void SetUp() override {
    setenv("CV_REGISTRY_ROOT", (dir_.path() / "registry").c_str(), 1);
    WriteResolvConf("");
    ASSERT_EQ(DnsAttach(nullptr), 1);
  }
  void TearDown() override {
    DnsDetach();
    plat::SetDnsConfigurationPath(nullptr);
  }

  void WriteResolvConf(const std::string& text) {
    plat::SetDnsConfigurationPath(dir_.Write("resolv.conf", text).c_str());
  }

  // A resolver that asks only the server at address:port, once per query.
  LibHandle ResolverFor(const char* address, uint16_t port, int32_t timeout = 5) {
    LibHandle h = DnsCreateResolver();
    EXPECT_NE(h, kInvalidLibHandle);
    EXPECT_EQ(DnsSetNameServer(h, 0, address), 0);
    DnsResolver* r = DnsGetSession(h);
    r->servers[0].sin_port = htons(port);
    r->timeout = timeout;
    r->attempts = 1;
    return h;
  }

  cvpeers::TempDir dir_;
};

// Hosts of a look-up as strings.
inline std::vector<std::string> Hosts(const char* const* hosts, int32_t n) {
  std::vector<std::string> out;
  for (int32_t i = 0; i < n; ++i) out.emplace_back(hosts[i]);
  return out;
}

}  // namespace dnstest
