// Interoperability with a real RFC 868 time server: xinetd's internal time service on a
// private configuration, on 127.0.0.1 and ::1.
#include <gtest/gtest.h>
#include <time.h>
#include <unistd.h>

#include <cstdlib>

#include "peers/peer.h"
#include "time_test_support.h"
#include "xinetd_peer.h"

namespace {

class XinetdTime : public ::testing::TestWithParam<int> {};

TEST_P(XinetdTime, QueryGivesTheServersClock) {
  const int family = GetParam();
  cvpeers::PeerProcess server(timetest::XinetdTimeService(family));
  CV_START_PEER(server);
  timetest::Attached lib;
  ASSERT_TRUE(lib.ok());
  // The server binds its port shortly after it starts.
  const uint32_t value = timetest::AskUntilAnswered(server.address().c_str(), server.port());
  ASSERT_NE(value, 0u) << server.Diagnostics();
  const int64_t now = int64_t(::time(nullptr)) + kTimeEpochOffset;
  EXPECT_LE(std::llabs(int64_t(value) - now), 5);

  SYSTEMTIME utc{};
  ASSERT_EQ(TimeToSystemTime(value, &utc, 0), 1);
  tm fields{};
  const time_t seconds = time_t(int64_t(value) - kTimeEpochOffset);
  gmtime_r(&seconds, &fields);
  EXPECT_EQ(utc.wYear, fields.tm_year + 1900);
  EXPECT_EQ(utc.wDay, fields.tm_mday);
}

INSTANTIATE_TEST_SUITE_P(Loopbacks, XinetdTime, ::testing::Values(AF_INET, AF_INET6),
                         [](const auto& info) { return info.param == AF_INET ? "IPv4" : "IPv6"; });

}  // namespace
