// Hostile clients: over-long lines, floods, garbage, too many connections from one
// address, unauthenticated command runs and abrupt resets. Each is answered or closed
// cleanly and the server keeps serving.
#include "ftpsrv_util.h"

using namespace ftpsrvtest;

namespace {

class Hostile : public ServerTest {
 protected:
  void ExpectServing() {
    Control probe;
    ASSERT_TRUE(probe.Connect(port));
    ASSERT_EQ(probe.Reply(), 220);
    EXPECT_EQ(probe.Cmd("SYST"), 215);
  }
};

TEST_F(Hostile, LongLinesGarbageAndFloods) {
  ASSERT_NE(Start(), uint64_t(INVALID_SOCKET));
  Control c;
  ASSERT_TRUE(c.Connect(port) && c.Reply() == 220);
  std::string text;
  for (int i = 0; i < 3; ++i) {
    c.Send(std::string(5000 + i, 'L'));
    EXPECT_EQ(c.Reply(&text), 501);
    EXPECT_EQ(text, "501 Command line too long");
  }
  SendAll(c.fd(), std::string("\x01\xff\x00\xfe garbage\x80\r\n", 16));
  EXPECT_EQ(c.Reply(), 500);
  // A burst of commands in one write: every one is answered, in order.
  std::string burst;
  for (int i = 0; i < 200; ++i) burst += "SYST\r\n";
  SendAll(c.fd(), burst);
  int answered = 0;
  for (int i = 0; i < 200; ++i) answered += c.Reply() == 215;
  EXPECT_EQ(answered, 200);
  EXPECT_EQ(c.Cmd("HELP HELP"), 214);
  ExpectServing();
}

TEST_F(Hostile, TooManyConnectionsFromOneAddress) {
  ASSERT_NE(Start(), uint64_t(INVALID_SOCKET));
  Control c[5];
  for (int i = 0; i < 4; ++i) ASSERT_TRUE(c[i].Connect(port) && c[i].Reply() == 220);
  std::string text;
  ASSERT_TRUE(c[4].Connect(port));
  EXPECT_EQ(c[4].Reply(&text), 421);
  EXPECT_EQ(text, "421 Maximum number of concurrent connections exceeded");
  for (Control& x : c) x.Close();
  // Connections reset at once, some in the middle of a command line.
  for (int i = 0; i < 30; ++i) {
    const int fd = ConnectTo(port);
    ASSERT_GE(fd, 0);
    if (i % 2) SendAll(fd, "USER half");
    linger hard{1, 0};
    ::setsockopt(fd, SOL_SOCKET, SO_LINGER, &hard, sizeof hard);
    ::close(fd);
  }
  ASSERT_TRUE(Eventually([&] { return FtpServerListClientIds(server, nullptr, 0) == 0; }, 10000));
  ExpectServing();
}

TEST_F(Hostile, RestrictedServerEndsUnauthenticatedRuns) {
  ASSERT_NE(Start(ftpServerRestricted), uint64_t(INVALID_SOCKET));
  Control c;
  ASSERT_TRUE(c.Connect(port) && c.Reply() == 220);
  for (int i = 0; i < 20; ++i) EXPECT_EQ(c.Cmd("SYST"), 215);
  std::string text;
  EXPECT_EQ(c.Cmd("SYST", &text), 421);
  EXPECT_EQ(text, "421 Too many unauthenticated commands");
  EXPECT_TRUE(c.ClosedByPeer());
  ExpectServing();
}

TEST_F(Hostile, StopWithClientsInTheMiddleOfThings) {
  Control c;
  ASSERT_TRUE(StartAndLogin(c));
  const int d = c.Passive();
  ASSERT_GE(d, 0);
  c.Send("STOR pending");
  EXPECT_EQ(c.Reply(), 150);
  SendAll(d, "some bytes");
  Control idle;
  ASSERT_TRUE(idle.Connect(port) && idle.Reply() == 220);
  EXPECT_EQ(FtpServerStop(server), 1);
  server = uint64_t(INVALID_SOCKET);
  EXPECT_TRUE(idle.ClosedByPeer());
  ::close(d);
}

}  // namespace
