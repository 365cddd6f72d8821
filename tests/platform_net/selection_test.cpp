// Async selection and event sets against an in-test loopback server: the re-enabling
// rules, purging on close and descriptor reuse.
#include <gtest/gtest.h>

#include <vector>

#include "net_test_util.h"
#include "platform/net/event_set.h"
#include "platform/net/wsa_errors.h"

using namespace nettest;
using plat::FD_ACCEPT;
using plat::FD_CLOSE;
using plat::FD_CONNECT;
using plat::FD_READ;
using plat::FD_WRITE;

namespace {

constexpr int kQuiet = 150;  // how long "no further event" is watched for
constexpr int kWait = 3000;  // upper bound for an event that must come

void SendText(SOCKET s, const char* text) {
  ASSERT_EQ(ws().send(s, text, int32_t(strlen(text)), 0), int32_t(strlen(text)));
}

std::string RecvSome(SOCKET s, int32_t max) {
  char buf[4096];
  int n = ws().recv(s, buf, max, 0);
  return n > 0 ? std::string(buf, size_t(n)) : std::string();
}

}  // namespace

TEST(AsyncSelect, ConnectToClosedPortReportsRefusalOnce) {
  SocketWindow w;
  SOCKET s = ws().socket(plat::kAfInet, plat::kSockStream, 0);
  ASSERT_EQ(ws().WSAAsyncSelect(s, w.hwnd(), w.kMessage, FD_CONNECT | FD_READ | FD_WRITE | FD_CLOSE), 0);
  sockaddr_in a = Loopback4(ClosedPort());
  EXPECT_EQ(ws().connect(s, Sa(a), sizeof a), -1);
  EXPECT_EQ(plat::GetLastError(), plat::WSAEWOULDBLOCK);
  auto events = w.WaitFor(kWait);
  auto more = w.Collect(kQuiet);
  events.insert(events.end(), more.begin(), more.end());
  EXPECT_EQ(events, (std::vector<SocketEvent>{{s, FD_CONNECT, plat::WSAECONNREFUSED}}));
  ws().closesocket(s);
}

TEST(AsyncSelect, ConnectSuccessThenWritableOnce) {
  SocketWindow w;
  SOCKET l = Listener();
  SOCKET s = ws().socket(plat::kAfInet, plat::kSockStream, 0);
  ASSERT_EQ(ws().WSAAsyncSelect(s, w.hwnd(), w.kMessage, FD_CONNECT | FD_WRITE | FD_CLOSE), 0);
  sockaddr_in a = Loopback4(PortOf(l));
  ws().connect(s, Sa(a), sizeof a);
  auto events = w.WaitFor(kWait);
  auto more = w.Collect(kQuiet);
  events.insert(events.end(), more.begin(), more.end());
  EXPECT_EQ(events, (std::vector<SocketEvent>{{s, FD_CONNECT, 0}, {s, FD_WRITE, 0}}));
  ws().closesocket(s);
  ws().closesocket(l);
}

TEST(AsyncSelect, ReadIsReportedOncePerReceive) {
  SocketWindow w;
  Pair p;
  ASSERT_EQ(ws().WSAAsyncSelect(p.client, w.hwnd(), w.kMessage, FD_READ | FD_CLOSE), 0);
  SendText(p.server, "0123456789");
  EXPECT_EQ(w.WaitFor(kWait), (std::vector<SocketEvent>{{p.client, FD_READ, 0}}));
  SendText(p.server, "more");  // more data without a receive: still quiet
  EXPECT_TRUE(w.Collect(kQuiet).empty());
  EXPECT_EQ(RecvSome(p.client, 4), "0123");  // data remains: one new READ
  EXPECT_EQ(w.WaitFor(kWait), (std::vector<SocketEvent>{{p.client, FD_READ, 0}}));
  EXPECT_TRUE(w.Collect(kQuiet).empty());
  EXPECT_EQ(RecvSome(p.client, 100), "456789more");  // drained: nothing more
  EXPECT_TRUE(w.Collect(kQuiet).empty());
}

TEST(AsyncSelect, CloseComesOnlyAfterTheDataIsDrained) {
  SocketWindow w;
  Pair p;
  ASSERT_EQ(ws().WSAAsyncSelect(p.client, w.hwnd(), w.kMessage, FD_READ | FD_CLOSE), 0);
  SendText(p.server, "last words");
  ws().closesocket(p.server);
  p.server = INVALID_SOCKET;
  EXPECT_EQ(w.WaitFor(kWait), (std::vector<SocketEvent>{{p.client, FD_READ, 0}}));
  EXPECT_TRUE(w.Collect(kQuiet).empty());
  EXPECT_EQ(RecvSome(p.client, 5), "last ");
  EXPECT_EQ(w.WaitFor(kWait), (std::vector<SocketEvent>{{p.client, FD_READ, 0}}));
  EXPECT_EQ(RecvSome(p.client, 100), "words");
  auto events = w.WaitFor(kWait);
  auto more = w.Collect(kQuiet);
  events.insert(events.end(), more.begin(), more.end());
  EXPECT_EQ(events, (std::vector<SocketEvent>{{p.client, FD_CLOSE, 0}}));
}

TEST(AsyncSelect, CloseWithoutReadInTheMaskStillWaitsForTheData) {
  SocketWindow w;
  Pair p;
  ASSERT_EQ(ws().WSAAsyncSelect(p.client, w.hwnd(), w.kMessage, FD_CLOSE), 0);
  SendText(p.server, "unread");
  ws().shutdown(p.server, plat::kSdSend);
  EXPECT_TRUE(w.Collect(kQuiet).empty());
  EXPECT_EQ(RecvSome(p.client, 100), "unread");
  EXPECT_EQ(w.WaitFor(kWait), (std::vector<SocketEvent>{{p.client, FD_CLOSE, 0}}));
}

TEST(AsyncSelect, ResetPeerGivesCloseWithError) {
  SocketWindow w;
  Pair p;
  ASSERT_EQ(ws().WSAAsyncSelect(p.client, w.hwnd(), w.kMessage, FD_READ | FD_CLOSE), 0);
  int16_t linger[2] = {1, 0};  // abortive close: the peer sees a reset
  ASSERT_EQ(ws().setsockopt(p.server, plat::kSolSocket, plat::kSoLinger, reinterpret_cast<char*>(linger), 4), 0);
  ws().closesocket(p.server);
  p.server = INVALID_SOCKET;
  EXPECT_EQ(w.WaitFor(kWait), (std::vector<SocketEvent>{{p.client, FD_CLOSE, plat::WSAECONNRESET}}));
}

TEST(AsyncSelect, WriteComesBackAfterASendThatWouldBlock) {
  SocketWindow w;
  Pair p;
  ASSERT_EQ(ws().WSAAsyncSelect(p.client, w.hwnd(), w.kMessage, FD_WRITE), 0);
  EXPECT_EQ(w.WaitFor(kWait), (std::vector<SocketEvent>{{p.client, FD_WRITE, 0}}));
  std::vector<char> block(65536, 'x');
  int sent;
  size_t total = 0;
  while ((sent = ws().send(p.client, block.data(), int32_t(block.size()), 0)) > 0) total += size_t(sent);
  ASSERT_EQ(plat::GetLastError(), plat::WSAEWOULDBLOCK);
  EXPECT_TRUE(w.Collect(kQuiet).empty());
  std::vector<char> sink(1 << 20);
  size_t got = 0;
  while (got < total) {
    int n = ws().recv(p.server, sink.data(), int32_t(sink.size()), 0);
    ASSERT_GT(n, 0);
    got += size_t(n);
  }
  auto events = w.WaitFor(kWait);
  auto more = w.Collect(kQuiet);
  events.insert(events.end(), more.begin(), more.end());
  EXPECT_EQ(events, (std::vector<SocketEvent>{{p.client, FD_WRITE, 0}}));
}

TEST(AsyncSelect, ClosingPurgesQueuedMessagesAndReuseGetsNoStaleEvent) {
  SocketWindow w;
  Pair p;
  ASSERT_EQ(ws().WSAAsyncSelect(p.client, w.hwnd(), w.kMessage, FD_READ | FD_CLOSE), 0);
  SendText(p.server, "queued");
  for (int i = 0; i < 300 && !w.Pending(); ++i) plat::WaitForEventsOrMessages(nullptr, 0, 10);
  ASSERT_TRUE(w.Pending());
  SOCKET old = p.client;
  ws().closesocket(p.client);
  p.client = INVALID_SOCKET;
  EXPECT_FALSE(w.Pending());

  // A new socket takes the lowest free descriptor; lower ones freed earlier (the pair's
  // listener) are held meanwhile, so that the new socket surely reuses the closed number.
  std::vector<SOCKET> lower;
  SOCKET fresh;
  while ((fresh = ws().socket(plat::kAfInet, plat::kSockStream, 0)) < old) lower.push_back(fresh);
  for (SOCKET s : lower) ws().closesocket(s);
  ASSERT_EQ(fresh, old);
  ASSERT_EQ(ws().WSAAsyncSelect(fresh, w.hwnd(), w.kMessage, FD_READ | FD_CLOSE), 0);
  EXPECT_TRUE(w.Collect(kQuiet).empty());
  ws().closesocket(fresh);
}

TEST(AsyncSelect, AcceptedSocketTakesTheListenersSelection) {
  SocketWindow w;
  SOCKET l = Listener();
  ASSERT_EQ(ws().WSAAsyncSelect(l, w.hwnd(), w.kMessage, FD_ACCEPT | FD_READ), 0);
  SOCKET c = ws().socket(plat::kAfInet, plat::kSockStream, 0);
  sockaddr_in a = Loopback4(PortOf(l));
  ASSERT_EQ(ws().connect(c, Sa(a), sizeof a), 0);
  EXPECT_EQ(w.WaitFor(kWait), (std::vector<SocketEvent>{{l, FD_ACCEPT, 0}}));
  SOCKET s = ws().accept(l, nullptr, nullptr);
  ASSERT_NE(s, INVALID_SOCKET);
  SendText(c, "hi");
  EXPECT_EQ(w.WaitFor(kWait), (std::vector<SocketEvent>{{s, FD_READ, 0}}));
  uint32_t blocking = 0;  // a selected socket cannot be made blocking
  EXPECT_EQ(ws().ioctlsocket(s, plat::kFionBio, &blocking), -1);
  EXPECT_EQ(plat::GetLastError(), plat::WSAEINVAL);
  for (SOCKET x : {s, c, l}) ws().closesocket(x);
}

TEST(AsyncSelect, BadArguments) {
  SocketWindow w;
  SOCKET s = ws().socket(plat::kAfInet, plat::kSockStream, 0);
  EXPECT_EQ(ws().WSAAsyncSelect(s, nullptr, w.kMessage, FD_READ), -1);
  EXPECT_EQ(plat::GetLastError(), plat::WSAEINVAL);
  EXPECT_EQ(ws().WSAAsyncSelect(INVALID_SOCKET, w.hwnd(), w.kMessage, FD_READ), -1);
  EXPECT_EQ(plat::GetLastError(), plat::WSAENOTSOCK);
  ws().closesocket(s);
  EXPECT_EQ(ws().WSAAsyncSelect(s, w.hwnd(), w.kMessage, FD_READ), -1);
  EXPECT_EQ(plat::GetLastError(), plat::WSAENOTSOCK);
}

TEST(NetEventSet, RecordsEventsWithErrorsUntilCollected) {
  plat::NetEventSet set;
  SOCKET s = ws().socket(plat::kAfInet, plat::kSockStream, 0);
  ASSERT_EQ(set.Select(s, plat::FD_ALL_EVENTS), 0);
  sockaddr_in a = Loopback4(ClosedPort());
  ws().connect(s, Sa(a), sizeof a);
  auto outcome = set.Wait(kWait);
  ASSERT_EQ(outcome.status, plat::WaitStatus::Ready);
  EXPECT_TRUE(outcome.network);
  plat::WsaNetworkEvents e{};
  ASSERT_EQ(set.Collect(s, &e), 0);
  EXPECT_EQ(e.lNetworkEvents, FD_CONNECT);
  EXPECT_EQ(uint32_t(e.iErrorCode[plat::FD_CONNECT_BIT]), plat::WSAECONNREFUSED);
  ASSERT_EQ(set.Collect(s, &e), 0);
  EXPECT_EQ(e.lNetworkEvents, 0);
  EXPECT_EQ(set.Wait(kQuiet).status, plat::WaitStatus::Timeout);
  ws().closesocket(s);
}

TEST(NetEventSet, ReadFollowsTheSameRulesAndExtraDescriptorsWake) {
  plat::NetEventSet set;
  Pair p;
  ASSERT_EQ(set.Select(p.client, FD_READ | FD_CLOSE), 0);
  SendText(p.server, "abc");
  ASSERT_TRUE(set.Wait(kWait).network);
  plat::WsaNetworkEvents e{};
  set.Collect(p.client, &e);
  EXPECT_EQ(e.lNetworkEvents, FD_READ);
  SendText(p.server, "def");
  EXPECT_FALSE(set.Wait(kQuiet).network);  // no receive yet
  plat::Event other;
  other.Set();
  pollfd extra{other.fd(), POLLIN, 0};
  auto outcome = set.Wait(kWait, &extra, 1);
  EXPECT_EQ(outcome.status, plat::WaitStatus::Ready);
  EXPECT_FALSE(outcome.network);
  EXPECT_TRUE(extra.revents & POLLIN);
}
