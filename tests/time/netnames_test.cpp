// Service, address and local names. Only the services database and the hosts file are
// read: no name server is asked.
#include <gtest/gtest.h>

#include <cstring>

#include "core/errors/error_codes.h"
#include "core/url/sock_address.h"
#include "mail/names/netnames.h"
#include "platform/base/last_error.h"
#include "time_test_support.h"

namespace {

using timetest::Attached;

TEST(NetNames, ServicePorts) {
  Attached lib;
  ASSERT_TRUE(lib.ok());
  struct Case {
    const char* text;
    int32_t port;
    uint32_t error;
  } cases[] = {
      {"110", 110, 0},
      {"time", 37, 0},  // the services database's name of the time protocol
      {"65535", 65535, 0},
      {"0", -1, cvErrorInvalidServicePort},
      {"70000", -1, cvErrorInvalidServicePort},
      {"99999999999999999999", -1, cvErrorInvalidServicePort},
      {"no-such-service", -1, cvErrorInvalidServiceName},
      {"", -1, cvErrorInvalidParameter},
  };
  for (auto& c : cases) {
    plat::SetLastError(0);
    EXPECT_EQ(SockGetServicePort(c.text), c.port) << c.text;
    if (c.error) {
      EXPECT_EQ(plat::GetLastError(), c.error) << c.text;
    }
  }
  EXPECT_EQ(SockGetServicePort(nullptr), -1);
}

TEST(NetNames, ServiceNames) {
  Attached lib;
  ASSERT_TRUE(lib.ok());
  char name[kSockNameBufferSize] = "junk";
  EXPECT_EQ(SockGetServiceName(37, name), 1);
  EXPECT_STREQ(name, "time");
  EXPECT_EQ(SockGetServiceName(37, nullptr), 1);
  EXPECT_EQ(SockGetServiceName(0, name), 0);
  EXPECT_EQ(plat::GetLastError(), cvErrorInvalidServicePort);
  EXPECT_EQ(SockGetServiceName(65536, name), 0);
  EXPECT_EQ(plat::GetLastError(), cvErrorInvalidServicePort);
  EXPECT_EQ(SockGetServiceName(65003, name), 0);  // no entry in the services database
  EXPECT_EQ(plat::GetLastError(), cvErrorInvalidServiceName);
  EXPECT_STREQ(name, "");
}

TEST(NetNames, AddressToHostName) {
  Attached lib;
  ASSERT_TRUE(lib.ok());
  SockAddress a{};
  ASSERT_EQ(SockParseAddress("127.0.0.1", 0, &a), 2);
  char name[kSockNameBufferSize];
  ASSERT_GT(SockAddressToHostName(&a, name), 0);  // from the hosts file
  EXPECT_STREQ(name, "localhost");

  SockAddress bad{};
  EXPECT_EQ(SockAddressToHostName(&bad, name), -1);
  EXPECT_EQ(plat::GetLastError(), cvErrorInvalidAddress);
  bad.family = 7;
  EXPECT_EQ(SockAddressToHostName(&bad, name), -1);
  EXPECT_EQ(plat::GetLastError(), cvErrorInvalidAddress);
  EXPECT_EQ(SockAddressToHostName(&a, nullptr), -1);
  EXPECT_EQ(plat::GetLastError(), cvErrorInvalidParameter);
}

TEST(NetNames, LocalHostNameAndAddress) {
  Attached lib;
  ASSERT_TRUE(lib.ok());
  char name[kSockNameBufferSize];
  const int32_t n = SockGetFullHostName(name);
  ASSERT_GT(n, 0);
  EXPECT_EQ(size_t(n), std::strlen(name));
  EXPECT_EQ(SockGetFullHostName(nullptr), -1);
  EXPECT_EQ(plat::GetLastError(), cvErrorInvalidParameter);

  SockAddress a{};
  if (SockGetLocalHostAddress(0, &a) < 0) {
    EXPECT_EQ(plat::GetLastError(), cvErrorUnknownLocalhost);  // a host name without an address
  } else {
    EXPECT_EQ(a.family, 2u);
  }
}

}  // namespace
