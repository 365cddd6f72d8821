// Async selection against a real peer (socat): connect, echo, and a peer that writes and
// closes, whose close is reported only once its data is read.
#include <unistd.h>

#include <gtest/gtest.h>

#include "net_test_util.h"
#include "peers/peer.h"
#include "platform/net/wsa_errors.h"

using namespace nettest;

TEST(PeerSelection, EchoThroughWindowMessages) {
  cvpeers::PeerProcess echo({.program = "socat", .args = {"TCP4-LISTEN:{{PORT}},bind={{ADDR}},fork,reuseaddr", "PIPE"}});
  CV_START_PEER(echo);
  SocketWindow w;
  SOCKET s = ws().socket(plat::kAfInet, plat::kSockStream, 0);
  ASSERT_EQ(ws().WSAAsyncSelect(s, w.hwnd(), w.kMessage, plat::FD_ALL_EVENTS), 0);
  sockaddr_in a = Loopback4(echo.port());
  ws().connect(s, Sa(a), sizeof a);
  auto events = w.WaitFor(3000);
  auto more = w.Collect(100);
  events.insert(events.end(), more.begin(), more.end());
  ASSERT_EQ(events, (std::vector<SocketEvent>{{s, plat::FD_CONNECT, 0}, {s, plat::FD_WRITE, 0}}));
  ASSERT_EQ(ws().send(s, "ping\n", 5, 0), 5);
  EXPECT_EQ(w.WaitFor(3000), (std::vector<SocketEvent>{{s, plat::FD_READ, 0}}));
  char buf[16];
  EXPECT_EQ(ws().recv(s, buf, sizeof buf, 0), 5);
  ws().closesocket(s);
}

TEST(PeerSelection, PeerThatWritesAndClosesIsDrainedBeforeClose) {
  cvpeers::PeerProcess talker({.program = "socat",
                               .args = {"TCP4-LISTEN:{{PORT}},bind={{ADDR}},fork,reuseaddr", "SYSTEM:echo greetings"}});
  CV_START_PEER(talker);
  SocketWindow w;
  SOCKET s = ws().socket(plat::kAfInet, plat::kSockStream, 0);
  ASSERT_EQ(ws().WSAAsyncSelect(s, w.hwnd(), w.kMessage, plat::FD_READ | plat::FD_CLOSE), 0);
  sockaddr_in a = Loopback4(talker.port());
  ws().connect(s, Sa(a), sizeof a);
  EXPECT_EQ(w.WaitFor(3000), (std::vector<SocketEvent>{{s, plat::FD_READ, 0}}));
  usleep(100000);  // the peer has closed by now; its data is still unread
  EXPECT_TRUE(w.Collect(100).empty());
  char buf[64];
  EXPECT_EQ(ws().recv(s, buf, sizeof buf, 0), 10);
  EXPECT_EQ(w.WaitFor(3000), (std::vector<SocketEvent>{{s, plat::FD_CLOSE, 0}}));
  EXPECT_EQ(ws().recv(s, buf, sizeof buf, 0), 0);
  ws().closesocket(s);
}
