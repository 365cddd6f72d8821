// The mail libraries' socket calls over loopback UDP, and their failure without a binding.
#include <arpa/inet.h>
#include <netinet/in.h>

#include <cstring>

#include <gtest/gtest.h>

#include "core/sock/binding.h"
#include "core/sock/sock.h"
#include "mail/sock/mailsock.h"
#include "platform/net/socket_api.h"

namespace {

class MailSockTest : public ::testing::Test {
 protected:
  void SetUp() override { ASSERT_EQ(SockStartup(&data_), 0); }
  void TearDown() override { SockCleanup(); }

  // A UDP socket on 127.0.0.1 and its address.
  SOCKET Bound(sockaddr_in* address) {
    SOCKET s = SockCreate(2, SOCK_DGRAM, 0);
    *address = sockaddr_in{};
    address->sin_family = AF_INET;
    address->sin_addr.s_addr = htonl(INADDR_LOOPBACK);
    EXPECT_EQ(SockBind(s, reinterpret_cast<sockaddr*>(address), sizeof *address), 0);
    int32_t length = sizeof *address;
    SockGetLocalName(s, reinterpret_cast<sockaddr*>(address), &length);
    return s;
  }

  plat::WSADATA data_{};
};

TEST_F(MailSockTest, DatagramRoundTripWithSelectAndPeerName) {
  sockaddr_in a, b;
  SOCKET sa = Bound(&a), sb = Bound(&b);
  plat::FdSet set;
  plat::TimeVal none{0, 0};
  plat::FdZero(&set);
  plat::FdSetAdd(sb, &set);
  EXPECT_EQ(SockSelectNfds(1, &set, nullptr, nullptr, &none), 0);

  EXPECT_EQ(SockSendToNoFlags(sa, "hello", 5, &b), 5);
  plat::FdZero(&set);
  plat::FdSetAdd(sb, &set);
  plat::TimeVal wait{5, 0};
  EXPECT_EQ(SockSelectNfds(1, &set, nullptr, nullptr, &wait), 1);
  char buffer[16] = {};
  EXPECT_EQ(SockRecvNoFlags(sb, buffer, sizeof buffer), 5);
  EXPECT_STREQ(buffer, "hello");

  // Non-blocking: an empty socket would block.
  uint32_t on = 1;
  EXPECT_EQ(SockSetBlockingMode(sb, &on), 0);
  EXPECT_EQ(SockRecvNoFlags(sb, buffer, sizeof buffer), -1);
  EXPECT_EQ(SockGetLastError(), 10035u);

  ASSERT_EQ(SockConnect(sb, reinterpret_cast<sockaddr*>(&a), sizeof a), 0);
  EXPECT_EQ(SockSendNoFlags(sb, "back", 4), 4);
  sockaddr_in peer{};
  int32_t length = sizeof peer;
  EXPECT_EQ(SockGetPeerName(sb, reinterpret_cast<sockaddr*>(&peer), &length), 0);
  EXPECT_EQ(peer.sin_port, a.sin_port);

  EXPECT_EQ(SockSendToNoFlags(sa, nullptr, 4, &b), -1);
  EXPECT_EQ(SockGetLastError(), 10014u);
  SockClose(sa);
  SockClose(sb);
}

TEST_F(MailSockTest, TimeoutErrorHostNameAndYield) {
  SockSetTimeoutError();
  EXPECT_EQ(SockGetLastError(), 10060u);
  char name[256] = {};
  EXPECT_EQ(SockGetHostName256(name), 0);
  EXPECT_GT(std::strlen(name), 0u);
  EXPECT_EQ(SockYieldNoDelay(), 1);  // no window: nothing to dispatch
}

TEST_F(MailSockTest, MissingEntriesFailWith10093) {
  auto& ws = cvcore::Binding().ws;
  const plat::WsaTable saved = ws;
  ws = plat::WsaTable{};
  sockaddr_in a{};
  char buffer[4];
  uint32_t mode = 0;
  plat::FdSet set{};
  const uint8_t address[4] = {127, 0, 0, 1};
  EXPECT_EQ(SockSendToNoFlags(3, "x", 1, &a), -1);
  EXPECT_EQ(plat::GetLastError(), 10093u);
  EXPECT_EQ(SockRecvNoFlags(3, buffer, 4), -1);
  EXPECT_EQ(SockSetBlockingMode(3, &mode), -1);
  EXPECT_EQ(SockSelectNfds(1, &set, nullptr, nullptr, nullptr), -1);
  EXPECT_EQ(SockGetHostByAddr(address), nullptr);
  EXPECT_EQ(SockGetPassService(), nullptr);
  EXPECT_EQ(plat::GetLastError(), 10093u);
  SockSetTimeoutError();
  EXPECT_EQ(plat::GetLastError(), 10060u);
  ws = saved;
}

}  // namespace
