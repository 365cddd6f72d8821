// Resolver records: the library frame, name servers and the local domain's search list.
#include <cstring>
#include <string>
#include <thread>
#include <vector>

#include <gtest/gtest.h>

#include "dns/dns.h"
#include "dns_test_support.h"
#include "platform/registry/registry.h"

namespace {

using dnstest::DnsTest;
using dnstest::LastError;

std::vector<std::string> Servers(LibHandle h) {
  std::vector<std::string> out;
  char text[64];
  for (int32_t slot = 0; slot < 4; ++slot)
    if (DnsGetNameServer(h, slot, text) > 0) out.emplace_back(text);
  return out;
}

std::vector<std::string> SearchList(LibHandle h) {
  std::vector<std::string> out;
  for (const char* const* s = DnsGetSession(h)->searchList; *s; ++s) out.emplace_back(*s);
  return out;
}

TEST(DnsFrame, AttachFillsTheRecordAndCreateNeedsIt) {
  LibVersionInfo info{};
  info.size = sizeof info;
  ASSERT_EQ(DnsAttach(&info), 1);
  EXPECT_STREQ(info.banner, "Corvanetics Domain Name Services Library");
  EXPECT_EQ(info.majorVersion, 9u);
  EXPECT_NE(info.startupData, nullptr);
  DnsDetach();
  EXPECT_EQ(DnsCreateResolver(), kInvalidLibHandle);
  EXPECT_EQ(LastError(), 10093u);
  info.size = 100;
  EXPECT_EQ(DnsAttach(&info), 0);
  EXPECT_EQ(LastError(), 10014u);
}

TEST_F(DnsTest, ServersComeFromTheConfigurationFirstFourIPv4Only) {
  WriteResolvConf(
      "# comment\nnameserver 127.0.0.11\nnameserver ::1\nnameserver 127.0.0.12\noptions ndots:1\n"
      "nameserver 127.0.0.13\nnameserver 127.0.0.14\nnameserver 127.0.0.15\n");
  LibHandle h = DnsCreateResolver();
  ASSERT_NE(h, kInvalidLibHandle);
  EXPECT_EQ(Servers(h), (std::vector<std::string>{"127.0.0.11", "127.0.0.12", "127.0.0.13", "127.0.0.14"}));
  EXPECT_EQ(DnsGetSession(h)->serverCount, 4);
  EXPECT_EQ(DnsGetSession(h)->servers[0].sin_port, htons(53));
}

TEST_F(DnsTest, UnreadableConfigurationStillCreatesAResolver) {
  plat::SetDnsConfigurationPath((dir_.path() / "missing").c_str());
  LibHandle h = DnsCreateResolver();
  ASSERT_NE(h, kInvalidLibHandle);
  EXPECT_EQ(LastError(), 12251u);
  EXPECT_EQ(DnsGetSession(h)->serverCount, 0);
}

TEST_F(DnsTest, SearchListFollowsTheDomainsLabels) {
  struct Case {
    const char* domain;
    std::vector<std::string> list;
  };
  const Case cases[] = {
      {"", {""}},
      {"corp", {"corp"}},
      {"example.com", {"example.com"}},
      {"a.example.com", {"a.example.com", "example.com"}},
      {"b.a.example.com", {"b.a.example.com", "a.example.com", "example.com"}},
      {"c.b.a.example.com", {"c.b.a.example.com", "b.a.example.com", "a.example.com"}},
  };
  for (const Case& c : cases) {
    WriteResolvConf(*c.domain ? std::string("search ") + c.domain + " other.org\n" : "");
    LibHandle h = DnsCreateResolver();
    EXPECT_EQ(SearchList(h), c.list) << c.domain;
    DnsDestroyResolver(h);
  }
}

TEST_F(DnsTest, RegistryDomainOverridesTheConfigurationAndTheSecondKeyWins) {
  WriteResolvConf("domain conf.example\nsearch other.example\n");
  LibHandle h = DnsCreateResolver();
  EXPECT_STREQ(DnsGetSession(h)->localDomain, "conf.example");
  const char* base = "System\\CurrentControlSet\\Services\\Tcpip\\Parameters";
  ASSERT_EQ(plat::RegSetString(plat::HKEY_LOCAL_MACHINE, (std::string(base) + "\\Transient").c_str(), "Domain",
                               "transient.example"),
            0u);
  LibHandle h2 = DnsCreateResolver();
  EXPECT_STREQ(DnsGetSession(h2)->localDomain, "transient.example");
  ASSERT_EQ(plat::RegSetString(plat::HKEY_LOCAL_MACHINE, base, "Domain", "static.example"), 0u);
  LibHandle h3 = DnsCreateResolver();
  EXPECT_STREQ(DnsGetSession(h3)->localDomain, "static.example");
}

TEST_F(DnsTest, NameServerSlots) {
  LibHandle h = DnsCreateResolver();
  for (int32_t i = 0; i < 4; ++i) EXPECT_EQ(DnsSetNameServer(h, -1, ("10.0.0." + std::to_string(i + 1)).c_str()), 0);
  EXPECT_EQ(DnsSetNameServer(h, -1, "10.0.0.9"), -1);
  EXPECT_EQ(LastError(), 10014u);
  EXPECT_EQ(DnsSetNameServer(h, 4, "10.0.0.9"), -1);
  EXPECT_EQ(LastError(), 10014u);
  for (const char* bad : {"not an address", "255.255.255.255", "::1"}) {
    EXPECT_EQ(DnsSetNameServer(h, 1, bad), -1) << bad;
    EXPECT_EQ(LastError(), 12005u) << bad;
  }
  EXPECT_EQ(DnsSetNameServer(h, 1, ""), 0);
  EXPECT_EQ(DnsGetSession(h)->serverCount, 3);
  char text[64] = "x";
  EXPECT_EQ(DnsGetNameServer(h, 1, text), 0);
  EXPECT_STREQ(text, "");
  EXPECT_EQ(DnsGetNameServer(h, 2, text), 8);
  EXPECT_STREQ(text, "10.0.0.3");
  EXPECT_EQ(DnsGetNameServer(h, 2, nullptr), 8);
  EXPECT_EQ(DnsGetNameServer(h, 4, text), -1);
  EXPECT_EQ(LastError(), 10014u);
  // The emptied slot is the first free one again.
  EXPECT_EQ(DnsSetNameServer(h, -1, "10.0.0.7"), 0);
  EXPECT_EQ(DnsGetNameServer(h, 1, text), 8);
}

TEST_F(DnsTest, ResolversBelongToTheirThread) {
  LibHandle h = DnsCreateResolver();
  int32_t result = 0;
  uint32_t error = 0;
  std::thread([&] {
    result = DnsDestroyResolver(h);
    error = LastError();
  }).join();
  EXPECT_EQ(result, -1);
  EXPECT_EQ(error, 10001u);
  DnsSetLastError(0);
  EXPECT_EQ(DnsDestroyResolver(h), 0);
  EXPECT_EQ(DnsDestroyResolver(h), -1);
  EXPECT_EQ(LastError(), 10038u);
}

}  // namespace
