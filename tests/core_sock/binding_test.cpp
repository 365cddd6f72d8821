// Start-up counting, missing entries, the wait step and the byte-order helpers.
#include <netinet/in.h>
#include <netinet/tcp.h>
#include <sys/socket.h>

#include <chrono>

#include <gtest/gtest.h>

#include "core/sock/binding.h"
#include "core/sock/sock.h"
#include "platform/msg/msg.h"
#include "platform/net/wsa_errors.h"

namespace {

class SockBindingTest : public ::testing::Test {
 protected:
  void SetUp() override {
    plat::WSADATA data;
    ASSERT_EQ(SockStartup(&data), 0);
    EXPECT_EQ(data.wVersion, 0x0202);
    saved_ = cvcore::Binding().ws;
  }
  void TearDown() override {
    cvcore::Binding().ws = saved_;
    SockCleanup();
  }
  plat::WsaTable saved_{};
};

int g_shutdowns = 0;
int CountingShutdown(SOCKET s, int32_t how) {
  ++g_shutdowns;
  return plat::WsaAdapters().shutdown(s, how);
}

}  // namespace

TEST(SockStartupTest, UnbalancedCleanupAndUnsupportedSystem) {
  EXPECT_EQ(SockCleanup(), -1);  // not bound yet
  EXPECT_EQ(SockGetLastError(), plat::WSANOTINITIALISED);
  plat::WSADATA data;
  ASSERT_EQ(SockStartup(&data), 0);
  ASSERT_EQ(SockStartup(&data), 0);
  EXPECT_EQ(SockCleanup(), 0);
  EXPECT_EQ(SockCleanup(), 0);
  EXPECT_EQ(SockCleanup(), -1);
  plat::SetOsVersionSourceForTesting([](plat::OsVersion* v) {
    *v = {4, 0, 0, 2};
    return true;
  });
  EXPECT_EQ(SockStartup(&data), 10091);
  EXPECT_EQ(SockGetLastError(), plat::WSASYSNOTREADY);
  plat::SetOsVersionSourceForTesting(nullptr);
}

TEST_F(SockBindingTest, NulledEntriesGiveNotInitialisedAndNoCrash) {
  auto& ws = cvcore::Binding().ws;
  ws.recv = nullptr;
  ws.send = nullptr;
  ws.socket = nullptr;
  ws.closesocket = nullptr;
  ws.select = nullptr;
  ws.gethostbyname = nullptr;
  ws.WSAAsyncSelect = nullptr;
  char buf[4];
  plat::FdSet set{};
  struct Case {
    const char* what;
    long long result;
    long long failure;
  } cases[] = {
      {"recv", SockRecv(3, buf, 4, 0), -1},
      {"send", SockSend(3, buf, 4, 0), -1},
      {"socket", (long long)SockCreate(plat::kAfInet, plat::kSockStream, 0), (long long)INVALID_SOCKET},
      {"close", SockClose(3), -1},
      {"select", SockSelect(&set, nullptr, nullptr, nullptr), -1},
      {"gethostbyname", SockGetHostByName("localhost") == nullptr ? 0 : 1, 0},
      {"asyncselect", SockAsyncSelect(3, nullptr, 0, 0), -1},
  };
  for (const auto& c : cases) {
    EXPECT_EQ(c.result, c.failure) << c.what;
  }
  EXPECT_EQ(SockGetLastError(), plat::WSANOTINITIALISED);
  ws.htons = nullptr;
  ws.htonl = nullptr;
  EXPECT_EQ(SockHtons(0x1234), 0x1234);
  EXPECT_EQ(SockHtonl(0x12345678u), 0x12345678u);
  ws.WSAGetLastError = nullptr;
  ws.WSASetLastError = nullptr;
  plat::SetLastError(42);
  EXPECT_EQ(SockGetLastError(), 42u);
  SockClearLastError();
  EXPECT_EQ(plat::GetLastError(), 0u);
}

TEST_F(SockBindingTest, InvalidSocketAndBadFamily) {
  char buf[4];
  EXPECT_EQ(SockRecv(INVALID_SOCKET, buf, 4, 0), -1);
  EXPECT_EQ(SockGetLastError(), plat::WSAENOTSOCK);
  EXPECT_EQ(SockCreate(7, plat::kSockStream, 0), INVALID_SOCKET);
  EXPECT_EQ(SockGetLastError(), plat::WSAEAFNOSUPPORT);
  EXPECT_EQ(SockHtons(0x1234), 0x3412);
}

TEST_F(SockBindingTest, CloseShutsDownConnectionsButNotListeners) {
  cvcore::Binding().ws.shutdown = CountingShutdown;
  g_shutdowns = 0;
  SOCKET l = SockCreate(plat::kAfInet, plat::kSockStream, 0);
  sockaddr_in a{};
  a.sin_family = AF_INET;
  a.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
  ASSERT_EQ(SockBind(l, reinterpret_cast<sockaddr*>(&a), sizeof a), 0);
  ASSERT_EQ(SockListen(l), 0);
  int32_t len = sizeof a;
  ASSERT_EQ(SockGetLocalName(l, reinterpret_cast<sockaddr*>(&a), &len), 0);
  SOCKET c = SockCreate(plat::kAfInet, plat::kSockStream, 0);
  ASSERT_EQ(SockConnect(c, reinterpret_cast<sockaddr*>(&a), sizeof a), 0);
  EXPECT_EQ(SockClose(l), 0);
  EXPECT_EQ(g_shutdowns, 0);
  EXPECT_EQ(SockClose(c), 0);
  EXPECT_EQ(g_shutdowns, 1);
}

TEST_F(SockBindingTest, UnsentLimitOnTcpOnly) {
  SOCKET tcp = SockCreate(plat::kAfInet, plat::kSockStream, 0);
  ASSERT_NE(tcp, INVALID_SOCKET);
  EXPECT_EQ(SockLimitUnsent(tcp, 128 * 1024), 0);
  int lowat = 0;
  socklen_t len = sizeof lowat;
  ASSERT_EQ(getsockopt(int(tcp), IPPROTO_TCP, TCP_NOTSENT_LOWAT, &lowat, &len), 0);
  EXPECT_EQ(lowat, 128 * 1024);
  SockClose(tcp);
  SOCKET udp = SockCreate(plat::kAfInet, plat::kSockDgram, 0);
  EXPECT_EQ(SockLimitUnsent(udp, 4096), -1);
  EXPECT_NE(SockGetLastError(), 0u);
  SockClose(udp);
  EXPECT_EQ(SockLimitUnsent(INVALID_SOCKET, 4096), -1);
  EXPECT_EQ(SockGetLastError(), plat::WSAENOTSOCK);
}

TEST_F(SockBindingTest, Ipv6AvailabilityIsAskedOnce) {
  int32_t first = SockIsIPv6Available();
  cvcore::Binding().ws.WSAEnumProtocolsA = [](const int32_t*, plat::ProtocolInfo*, uint32_t*) { return -1; };
  EXPECT_EQ(SockIsIPv6Available(), first);  // cached
  cvcore::Binding().ws.WSAEnumProtocolsA = nullptr;
  EXPECT_EQ(SockIsIPv6Available(), 0);
  EXPECT_EQ(SockGetLastError(), plat::WSANOTINITIALISED);
}

TEST(SockYieldTest, WaitsAndPutsAQuitMessageBack) {
  plat::WNDCLASS wc{};
  wc.lpfnWndProc = plat::DefWindowProc;
  wc.lpszClassName = "yield_test";
  plat::RegisterClass(&wc);
  EXPECT_EQ(SockYield(1), 1);  // no active window: a plain wait
  HWND w = plat::CreateWindowEx(0, "yield_test", "", plat::WS_OVERLAPPED, 0, 0, 10, 10, nullptr, nullptr, nullptr,
                                nullptr);
  plat::ShowWindow(w, plat::SW_SHOW);
  plat::SetActiveWindow(w);
  ASSERT_TRUE(plat::ThreadHasActiveWindow());
  plat::PostQuitMessage(3);
  auto start = std::chrono::steady_clock::now();
  EXPECT_EQ(SockYield(60), 0);
  EXPECT_EQ(SockYield(60), 0);
  // Two yields with a quit pending still waited their time: no spinning caller.
  EXPECT_GE(std::chrono::steady_clock::now() - start, std::chrono::milliseconds(110));
  EXPECT_TRUE(plat::IsQuitMessagePending());
  plat::MSG m;
  EXPECT_EQ(plat::GetMessage(&m, nullptr, 0, 0), 0);
  EXPECT_EQ(m.wParam, 3u);
  plat::DestroyWindow(w);
}
