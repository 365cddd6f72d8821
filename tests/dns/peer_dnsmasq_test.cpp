// MX look-ups against dnsmasq on loopback: ordering, exchangers of a parent domain, names
// without MX records, unknown names, and a large answer fetched again over TCP.
#include <algorithm>
#include <string>
#include <vector>

#include <gtest/gtest.h>

#include "dns/dns.h"
#include "dns_test_support.h"

namespace {

using namespace dnstest;
using Strings = std::vector<std::string>;

class DnsmasqTest : public DnsTest {
 protected:
  void SetUp() override {
    DnsTest::SetUp();
    std::vector<std::string> args = {
        "--no-daemon", "--no-resolv", "--no-hosts", "--port={{PORT}}", "--listen-address={{ADDR}}",
        "--bind-interfaces", "--local=/example.com/", "--local=/solo.com/",
        "--mx-host=example.com,mx-b.example.com,20", "--mx-host=example.com,mx-a.example.com,10",
        "--mx-host=example.com,mx-c.example.com,30",
        "--host-record=mx-a.example.com,127.0.0.21", "--host-record=mail.example.com,127.0.0.22",
        "--host-record=solo.com,127.0.0.23"};
    // More exchangers than a 512-byte datagram holds, but short enough for 1,024 bytes.
    for (int i = 1; i <= 40; ++i)
      args.push_back("--mx-host=big.example.com,m" + std::to_string(i) + ".x," + std::to_string(i));
    peer_ = std::make_unique<cvpeers::PeerProcess>(cvpeers::PeerOptions{.program = "dnsmasq", .args = args});
    CV_START_PEER(*peer_);
    h_ = ResolverFor("127.0.0.1", peer_->port());
  }

  Strings Lookup(const char* domain, int32_t maximum = 32) {
    const char* hosts[35] = {};
    int32_t n = DnsLookupMx(h_, domain, hosts, maximum);
    if (n < 0) return {"error " + std::to_string(LastError())};
    return Hosts(hosts, n);
  }

  std::unique_ptr<cvpeers::PeerProcess> peer_;
  LibHandle h_ = kInvalidLibHandle;
};

TEST_F(DnsmasqTest, ExchangersComeLowestPreferenceFirst) {
  EXPECT_EQ(Lookup("example.com"), (Strings{"mx-a.example.com", "mx-b.example.com", "mx-c.example.com"}));
  // Only as many records as asked for are read, in the server's order.
  EXPECT_EQ(Lookup("EXAMPLE.com.", 1).size(), 1u);
}

TEST_F(DnsmasqTest, HostWithoutMxUsesItsDomainsExchangers) {
  EXPECT_EQ(Lookup("mail.example.com"), (Strings{"mx-a.example.com", "mx-b.example.com", "mx-c.example.com"}));
  // Two labels: no parent to ask.
  EXPECT_EQ(Lookup("solo.com"), Strings{});
}

TEST_F(DnsmasqTest, UnknownAndRefusedNames) {
  EXPECT_EQ(Lookup("nothing.example.com"), Strings{"error 11002"});
  EXPECT_EQ(Lookup("elsewhere.org"), Strings{"error 11003"});
}

TEST_F(DnsmasqTest, TruncatedAnswerIsFetchedOverTcp) {
  uint8_t answer[kDnsAnswerSize];
  const int32_t n = DnsQuery(h_, "big.example.com", answer);
  ASSERT_GT(n, 512);
  EXPECT_EQ(DnsGetSession(h_)->header.controlSocket, INVALID_SOCKET);  // never kept

  Strings hosts = Lookup("big.example.com", 35);
  ASSERT_EQ(hosts.size(), 35u);
  std::vector<int> preferences;
  for (const std::string& host : hosts) preferences.push_back(std::stoi(host.substr(1)));
  EXPECT_TRUE(std::is_sorted(preferences.begin(), preferences.end()));
}

}  // namespace
