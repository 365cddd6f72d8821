// Host lookup: the IPv6 retry, and the path without the resolver entries. A fake resolver
// stands in for the system's, so no query leaves the process.
#include <arpa/inet.h>

#include <cstring>

#include <gtest/gtest.h>

#include "core/sock/binding.h"
#include "core/sock/sock.h"
#include "platform/net/wsa_errors.h"

namespace {

int g_queries = 0;

// "six.test" has only ::1 and answers IPv4 questions the glibc way; "four.test" is
// 127.0.0.5 and has the canonical name "canonical.four.test".
int FakeGetAddrInfo(const char* node, const char* service, const addrinfo* hints, addrinfo** result) {
  ++g_queries;
  addrinfo numeric{};
  numeric.ai_flags = AI_NUMERICHOST | (hints ? hints->ai_flags & AI_CANONNAME : 0);
  numeric.ai_family = hints ? hints->ai_family : AF_UNSPEC;
  if (node && std::strcmp(node, "six.test") == 0) {
    if (numeric.ai_family == AF_INET) return EAI_NODATA;
    numeric.ai_family = AF_INET6;
    return ::getaddrinfo("::1", service, &numeric, result);
  }
  if (node && std::strcmp(node, "four.test") == 0) {
    if (numeric.ai_family == AF_INET6) return EAI_NODATA;
    int rc = ::getaddrinfo("127.0.0.5", service, &numeric, result);
    if (rc == 0 && (*result)->ai_canonname) {
      free((*result)->ai_canonname);
      (*result)->ai_canonname = strdup("canonical.four.test");
    }
    return rc;
  }
  numeric.ai_family = AF_INET;
  return ::getaddrinfo(node, service, &numeric, result);  // literals only
}

const plat::Resolver kFake{FakeGetAddrInfo, ::freeaddrinfo};

class SockLookup : public ::testing::Test {
 protected:
  void SetUp() override {
    plat::WSADATA data;
    ASSERT_EQ(SockStartup(&data), 0);
    saved_ = cvcore::Binding().ws;
    plat::SetResolver(&kFake);
    g_queries = 0;
  }
  void TearDown() override {
    plat::SetResolver(nullptr);
    cvcore::Binding().ws = saved_;
    SockCleanup();
  }
  // As on a system without the newer resolver entries.
  void DropResolverEntries() {
    auto& ws = cvcore::Binding().ws;
    ws.getaddrinfo = nullptr;
    ws.freeaddrinfo = nullptr;
    ws.getnameinfo = nullptr;
    ws.inet_ntop = nullptr;
    ws.inet_pton = nullptr;
  }
  static std::string Text(const addrinfo* ai) {
    char text[64];
    if (ai->ai_family == plat::kAfInet6)
      return inet_ntop(AF_INET6, &reinterpret_cast<sockaddr_in6*>(ai->ai_addr)->sin6_addr, text, sizeof text);
    return inet_ntop(AF_INET, &reinterpret_cast<sockaddr_in*>(ai->ai_addr)->sin_addr, text, sizeof text);
  }
  plat::WsaTable saved_{};
};

}  // namespace

TEST_F(SockLookup, Ipv6OnlyNameIsFoundBySecondQuery) {
  addrinfo* list = nullptr;
  ASSERT_EQ(SockLookupHost("six.test", nullptr, &list), 0);
  EXPECT_EQ(g_queries, 2);
  EXPECT_EQ(list->ai_family, plat::kAfInet6);
  EXPECT_EQ(Text(list), "::1");
  SockFreeHostList(list);

  addrinfo hints{};
  hints.ai_family = plat::kAfInet;  // a family given: asked once
  g_queries = 0;
  EXPECT_EQ(SockLookupHost("six.test", &hints, &list), int32_t(plat::WSANO_DATA));
  EXPECT_EQ(g_queries, 1);
  EXPECT_EQ(SockLookupHost("nowhere.test", nullptr, &list), int32_t(plat::WSAHOST_NOT_FOUND));
  EXPECT_EQ(SockGetLastError(), plat::WSAHOST_NOT_FOUND);
  ASSERT_EQ(SockLookupHost("four.test", nullptr, &list), 0);
  EXPECT_EQ(list->ai_family, plat::kAfInet);
  SockFreeHostList(list);
  SockFreeHostList(nullptr);
}

TEST_F(SockLookup, WithoutResolverEntries) {
  DropResolverEntries();
  addrinfo hints{};
  hints.ai_socktype = plat::kSockStream;
  hints.ai_protocol = plat::kIpProtoTcp;
  addrinfo* list = nullptr;
  ASSERT_EQ(SockLookupHost(nullptr, &hints, &list), 0);
  EXPECT_EQ(Text(list), "127.0.0.1");
  EXPECT_EQ(list->ai_socktype, plat::kSockStream);
  EXPECT_EQ(list->ai_addrlen, 16u);
  SockFreeHostList(list);
  hints.ai_flags = plat::kAiPassive;
  ASSERT_EQ(SockLookupHost(nullptr, &hints, &list), 0);
  EXPECT_EQ(Text(list), "0.0.0.0");
  SockFreeHostList(list);

  hints.ai_flags = plat::kAiCanonName;
  ASSERT_EQ(SockLookupHost("four.test", &hints, &list), 0);
  EXPECT_EQ(Text(list), "127.0.0.5");
  ASSERT_NE(list->ai_canonname, nullptr);
  EXPECT_STREQ(list->ai_canonname, "canonical.four.test");
  SockFreeHostList(list);

  struct Case {
    const char* name;
    int32_t flags, family;
    uint32_t error;
  } cases[] = {
      {"four.test", plat::kAiNumericHost, 0, plat::WSAHOST_NOT_FOUND},
      {"nowhere.test", 0, 0, plat::WSAHOST_NOT_FOUND},
      {"::1", 0, 0, plat::WSAEAFNOSUPPORT},
      {"four.test", 0, plat::kAfInet6, plat::WSAEAFNOSUPPORT},
  };
  for (const auto& c : cases) {
    hints.ai_flags = c.flags;
    hints.ai_family = c.family;
    EXPECT_EQ(SockLookupHost(c.name, &hints, &list), int32_t(c.error)) << c.name;
  }
  hints = {};
  hints.ai_flags = plat::kAiNumericHost;
  ASSERT_EQ(SockLookupHost("127.0.0.9", &hints, &list), 0);
  EXPECT_EQ(Text(list), "127.0.0.9");
  SockFreeHostList(list);
  EXPECT_EQ(SockLookupHost("four.test", nullptr, nullptr), int32_t(plat::WSAEINVAL));
  cvcore::Binding().ws.gethostbyname = nullptr;
  EXPECT_EQ(SockLookupHost("four.test", nullptr, &list), int32_t(plat::WSANOTINITIALISED));
}
