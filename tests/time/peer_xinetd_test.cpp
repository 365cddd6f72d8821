// Interoperability with a real RFC 868 time server: xinetd's internal time service on a
// private configuration, on 127.0.0.1 and ::1.
#include <gtest/gtest.h>
#include <time.h>
#include <unistd.h>

#include <cstdlib>

#include "peers/peer.h"
#include "time_test_support.h"

namespace {

// The service answers each datagram itself; "user" may only be given when running as root.
std::string XinetdConfig(int family) {
  std::string c =
      "defaults\n{\n}\n"
      "service time\n{\n"
      "  type = INTERNAL UNLISTED\n"
      "  id = time-dgram\n"
      "  socket_type = dgram\n"
      "  protocol = udp\n"
      "  wait = yes\n"
      "  port = {{PORT}}\n"
      "  bind = {{ADDR}}\n";
  if (family == AF_INET6) c += "  flags = IPv6\n";
  if (geteuid() == 0) c += "  user = root\n";
  return c + "}\n";
}

cvpeers::PeerOptions Xinetd(int family) {
  return {.program = "xinetd",
          .args = {"-dontfork", "-stayalive", "-f", "{{CONFIG}}", "-pidfile", "{{DIR}}/pid"},
          .configName = "xinetd.conf",
          .configTemplate = XinetdConfig(family),
          .family = family,
          .waitForPort = false};
}

class XinetdTime : public ::testing::TestWithParam<int> {};

TEST_P(XinetdTime, QueryGivesTheServersClock) {
  const int family = GetParam();
  cvpeers::PeerProcess server(Xinetd(family));
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
