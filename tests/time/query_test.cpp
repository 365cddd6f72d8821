// One exchange with a scripted server: the replies a real time server never gives.
#include <arpa/inet.h>
#include <netinet/in.h>
#include <sys/socket.h>
#include <unistd.h>

#include <chrono>

#include <gtest/gtest.h>

#include "core/errors/error_codes.h"
#include "time_test_support.h"

namespace {

using timetest::Attached;
using timetest::ScriptedServer;
using timetest::Wire;

constexpr uint32_t kSomeTime = 3870411456u;  // 2022-08-25 10:17:36 UTC

TEST(TimeQuery, AnswersWithTheServersValueAfterAFourByteZeroRequest) {
  Attached lib;
  ASSERT_TRUE(lib.ok());
  for (int family : {AF_INET, AF_INET6}) {
    if (!timetest::LoopbackUsable(family)) continue;
    ScriptedServer server({{Wire(kSomeTime)}}, family);
    const char* host = family == AF_INET ? "127.0.0.1" : "::1";
    EXPECT_EQ(TimeGetNetworkTime(host, server.port(), 5), kSomeTime) << host;
    EXPECT_EQ(server.Request(), std::string(4, '\0'));
  }
}

TEST(TimeQuery, ShortAndForeignDatagramsDoNotEndTheWait) {
  Attached lib;
  ASSERT_TRUE(lib.ok());
  // A short datagram, then a full one from another port (someone else guessing the
  // client's port), then the server's own answer.
  ScriptedServer server({{"\x01\x02"}, {Wire(1234567890u), true}, {Wire(kSomeTime)}});
  EXPECT_EQ(TimeGetNetworkTime("127.0.0.1", server.port(), 5), kSomeTime);
}

TEST(TimeQuery, FailuresGiveNoTimeAndTheirError) {
  Attached lib;
  ASSERT_TRUE(lib.ok());
  struct Case {
    const char* what;
    std::vector<ScriptedServer::Reply> replies;
    uint32_t error;
  } cases[] = {
      {"over-long datagram", {{Wire(kSomeTime) + "x"}, {Wire(kSomeTime)}}, cvErrorInvalidSize},
      {"no answer", {}, cvErrorOperationTimeout},
      {"only short datagrams", {{"abc"}, {""}}, cvErrorOperationTimeout},
  };
  for (auto& c : cases) {
    ScriptedServer server(c.replies);
    TimeSetLastError(0);
    EXPECT_EQ(TimeGetNetworkTime("127.0.0.1", server.port(), 1), 0u) << c.what;
    EXPECT_EQ(TimeGetLastError(), c.error) << c.what;
  }
}

TEST(TimeQuery, ClosedPortFailsAtOnce) {
  Attached lib;
  ASSERT_TRUE(lib.ok());
  // A port that was free a moment ago: nothing listens on it.
  const int probe = ::socket(AF_INET, SOCK_DGRAM, 0);
  sockaddr_in a{};
  a.sin_family = AF_INET;
  a.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
  socklen_t length = sizeof a;
  ASSERT_EQ(::bind(probe, reinterpret_cast<sockaddr*>(&a), sizeof a), 0);
  ASSERT_EQ(::getsockname(probe, reinterpret_cast<sockaddr*>(&a), &length), 0);
  ::close(probe);
  const auto start = std::chrono::steady_clock::now();
  EXPECT_EQ(TimeGetNetworkTime("127.0.0.1", ntohs(a.sin_port), 30), 0u);
  EXPECT_EQ(TimeGetLastError(), uint32_t(cvErrorConnectionRefused));
  EXPECT_LT(std::chrono::steady_clock::now() - start, std::chrono::seconds(15));  // not the 30 s time-out
}

TEST(TimeQuery, BadHostsAndPortsFailBeforeAnythingIsSent) {
  Attached lib;
  ASSERT_TRUE(lib.ok());
  struct Case {
    const char* host;
    uint32_t port;
    uint32_t error;
  } cases[] = {
      {"ab", 9, cvErrorInvalidHostName},          // too short to be a host name
      {"bad_name!", 9, cvErrorInvalidHostName},   // not a host name at all
      {"127.0.0.1", 70000, cvErrorInvalidServicePort},  // would otherwise be cut to 16 bits
  };
  for (auto& c : cases) {
    EXPECT_EQ(TimeGetNetworkTime(c.host, c.port, 1), 0u) << c.host;
    EXPECT_EQ(TimeGetLastError(), c.error) << c.host;
  }
}

TEST(TimeQuery, NeedsAnAttach) {
  EXPECT_EQ(TimeGetNetworkTime("127.0.0.1", 9, 1), 0u);
  EXPECT_EQ(TimeGetLastError(), cvErrorNetworkNotInitialized);
}

TEST(TimeAttach, FillsTheVersionRecordAndChecksItsSize) {
  LibVersionInfo info{};
  info.size = sizeof info;
  info.options = 1;  // neither 0 nor the full-attach bit: only the record is filled
  ASSERT_EQ(TimeAttach(nullptr, &info), 1);
  EXPECT_EQ(info.majorVersion, 9u);
  EXPECT_EQ(info.minorVersion, 5u);
  EXPECT_EQ(info.build, 9530u);
  EXPECT_STREQ(info.banner, "Corvanetics Time Protocol Library");
  EXPECT_EQ(TimeIsInitialized(), 0u);  // not counted

  info.size = 100;
  EXPECT_EQ(TimeAttach(nullptr, &info), 0);
  EXPECT_EQ(TimeGetLastError(), cvErrorInvalidParameter);

  LibVersionInfo full{};
  full.size = sizeof full;
  ASSERT_EQ(TimeAttach(nullptr, &full), 1);
  EXPECT_EQ(TimeIsInitialized(), 1u);
  EXPECT_NE(full.startupData, nullptr);
  TimeDetach();
  EXPECT_EQ(TimeIsInitialized(), 0u);
}

}  // namespace
