// The socket adapters: error numbers, option translation, socket sets and the resolver.
#include <netdb.h>
#include <sys/resource.h>
#include <unistd.h>

#include <cstdio>
#include <cstring>

#include <gtest/gtest.h>

#include "net_test_util.h"
#include "platform/net/wsa_errors.h"

using namespace nettest;

TEST(WsaErrors, ErrnoAndResolverResultsMapToSocketNumbers) {
  struct Case {
    int errnoValue;
    uint32_t wsa;
  } cases[] = {{EWOULDBLOCK, 10035}, {EINPROGRESS, 10035}, {ECONNREFUSED, 10061}, {ETIMEDOUT, 10060},
               {ECONNRESET, 10054},  {EPIPE, 10054},       {ENOTSOCK, 10038},     {EBADF, 10038},
               {EADDRINUSE, 10048},  {EAFNOSUPPORT, 10047}, {EHOSTUNREACH, 10065}, {0, 0}};
  for (auto c : cases) EXPECT_EQ(plat::WsaErrorFromErrno(c.errnoValue), c.wsa) << c.errnoValue;
  EXPECT_EQ(plat::WsaErrorFromGai(EAI_NONAME), 11001u);
  EXPECT_EQ(plat::WsaErrorFromGai(EAI_NODATA), 11004u);
  EXPECT_EQ(plat::WsaErrorFromGai(EAI_ADDRFAMILY), 11004u);
  EXPECT_EQ(plat::WsaErrorFromGai(EAI_AGAIN), 11002u);
  EXPECT_EQ(plat::WsaErrorFromGai(EAI_FAMILY), 10047u);
  EXPECT_EQ(plat::WsaErrorFromGai(EAI_SYSTEM, ECONNREFUSED), 10061u);
}

TEST(SocketCalls, BadFamilyAndInvalidSocketsGiveTheirErrors) {
  EXPECT_EQ(ws().socket(99, plat::kSockStream, 0), INVALID_SOCKET);
  EXPECT_EQ(plat::GetLastError(), plat::WSAEAFNOSUPPORT);
  EXPECT_EQ(ws().socket(10, plat::kSockStream, 0), INVALID_SOCKET);  // the native IPv6 number is not ours
  EXPECT_EQ(plat::GetLastError(), plat::WSAEAFNOSUPPORT);
  char buf[4];
  for (SOCKET bad : {INVALID_SOCKET, SOCKET(987654)}) {
    EXPECT_EQ(ws().recv(bad, buf, 4, 0), -1);
    EXPECT_EQ(plat::GetLastError(), plat::WSAENOTSOCK);
    EXPECT_EQ(ws().closesocket(bad), -1);
    EXPECT_EQ(plat::GetLastError(), plat::WSAENOTSOCK);
  }
  int pipes[2];
  ASSERT_EQ(pipe(pipes), 0);
  EXPECT_EQ(ws().send(SOCKET(pipes[1]), "x", 1, 0), -1);  // a descriptor, but no socket
  EXPECT_EQ(plat::GetLastError(), plat::WSAENOTSOCK);
  close(pipes[0]);
  close(pipes[1]);
}

TEST(SocketCalls, Ipv6SocketsAreIpv6OnlyAndBuffersAreNeverLowered) {
  SOCKET s6 = ws().socket(plat::kAfInet6, plat::kSockStream, 0);
  if (s6 == INVALID_SOCKET) GTEST_SKIP() << "no IPv6 here";
  int32_t v = -1, len = 4;
  ASSERT_EQ(ws().getsockopt(s6, plat::kIpProtoIpv6, plat::kIpv6V6Only, reinterpret_cast<char*>(&v), &len), 0);
  EXPECT_EQ(v, 1);
  ws().closesocket(s6);

  // A datagram socket's buffer is raised on request, never lowered.
  SOCKET s = ws().socket(plat::kAfInet, plat::kSockDgram, 0);
  int32_t before = 0;
  len = 4;
  ws().getsockopt(s, plat::kSolSocket, plat::kSoRcvBuf, reinterpret_cast<char*>(&before), &len);
  int32_t small = 4096;
  EXPECT_EQ(ws().setsockopt(s, plat::kSolSocket, plat::kSoRcvBuf, reinterpret_cast<char*>(&small), 4), 0);
  int32_t after = 0;
  ws().getsockopt(s, plat::kSolSocket, plat::kSoRcvBuf, reinterpret_cast<char*>(&after), &len);
  EXPECT_EQ(after, before);
  int32_t large = before * 4;
  EXPECT_EQ(ws().setsockopt(s, plat::kSolSocket, plat::kSoRcvBuf, reinterpret_cast<char*>(&large), 4), 0);
  ws().getsockopt(s, plat::kSolSocket, plat::kSoRcvBuf, reinterpret_cast<char*>(&after), &len);
  EXPECT_GT(after, before);
  EXPECT_EQ(ws().setsockopt(s, plat::kSolSocket, 0x7777, reinterpret_cast<char*>(&large), 4), -1);
  EXPECT_EQ(plat::GetLastError(), plat::WSAENOPROTOOPT);
  ws().closesocket(s);
}

TEST(SocketCalls, TcpBuffersTheKernelSizesItselfAreLeftToIt) {
  // Every new TCP socket is asked for 64 KiB buffers; fixing the send buffer at that size
  // held a fast transfer to 128 KiB in flight. The kernel grows it further by itself.
  int most = 0;
  if (FILE* f = std::fopen("/proc/sys/net/ipv4/tcp_wmem", "r")) {
    int low = 0, initial = 0;
    if (std::fscanf(f, "%d %d %d", &low, &initial, &most) != 3) most = 0;
    std::fclose(f);
  }
  if (most < 65535) GTEST_SKIP() << "the kernel does not grow send buffers to 64 KiB here";
  SOCKET s = ws().socket(plat::kAfInet, plat::kSockStream, 0);
  int32_t before = 0, after = 0, len = 4;
  ws().getsockopt(s, plat::kSolSocket, plat::kSoSndBuf, reinterpret_cast<char*>(&before), &len);
  int32_t size = 65535;
  EXPECT_EQ(ws().setsockopt(s, plat::kSolSocket, plat::kSoSndBuf, reinterpret_cast<char*>(&size), 4), 0);
  ws().getsockopt(s, plat::kSolSocket, plat::kSoSndBuf, reinterpret_cast<char*>(&after), &len);
  EXPECT_EQ(after, before);
  ws().closesocket(s);
}

TEST(SocketCalls, NonBlockingConnectCompletesThroughTheErrorSetAndSoError) {
  SOCKET s = ws().socket(plat::kAfInet, plat::kSockStream, 0);
  uint32_t on = 1;
  ASSERT_EQ(ws().ioctlsocket(s, plat::kFionBio, &on), 0);
  sockaddr_in a = Loopback4(ClosedPort());
  EXPECT_EQ(ws().connect(s, Sa(a), sizeof a), -1);
  EXPECT_EQ(plat::GetLastError(), plat::WSAEWOULDBLOCK);
  plat::FdSet w{}, e{};
  plat::FdSetAdd(s, &w);
  plat::FdSetAdd(s, &e);
  plat::TimeVal tv{3, 0};
  EXPECT_EQ(ws().select(0, nullptr, &w, &e, &tv), 1);
  EXPECT_FALSE(plat::FdIsSet(s, &w));  // a failed connect is no writable socket
  EXPECT_TRUE(plat::FdIsSet(s, &e));
  int32_t err = 0, len = 4;
  ASSERT_EQ(ws().getsockopt(s, plat::kSolSocket, plat::kSoError, reinterpret_cast<char*>(&err), &len), 0);
  EXPECT_EQ(uint32_t(err), plat::WSAECONNREFUSED);
  ws().closesocket(s);
}

TEST(SocketCalls, SendToAResetPeerFailsWithoutKillingTheProcess) {
  Pair p;
  int16_t linger[2] = {1, 0};
  ws().setsockopt(p.server, plat::kSolSocket, plat::kSoLinger, reinterpret_cast<char*>(linger), 4);
  ws().closesocket(p.server);
  p.server = INVALID_SOCKET;
  usleep(50000);
  int r = 0;
  for (int i = 0; i < 5 && r >= 0; ++i) r = ws().send(p.client, "data", 4, 0);
  EXPECT_EQ(r, -1);
  EXPECT_EQ(plat::GetLastError(), plat::WSAECONNRESET);
}

TEST(SocketSets, SixtyFourDescriptorsAbove1024AndNoSixtyFifth) {
  rlimit lim{};
  getrlimit(RLIMIT_NOFILE, &lim);
  if (lim.rlim_cur < 1300) {
    lim.rlim_cur = std::min<rlim_t>(lim.rlim_max, 2048);
    if (setrlimit(RLIMIT_NOFILE, &lim) != 0 || lim.rlim_cur < 1300) GTEST_SKIP() << "descriptor limit too low";
  }
  Pair pairs[64];
  plat::FdSet set{};
  std::vector<SOCKET> high(64);
  for (int i = 0; i < 64; ++i) {
    // Move each receiving end above 1024, where a bit-map set would overflow.
    int fd = dup2(int(pairs[i].client), 1100 + i);
    ASSERT_EQ(fd, 1100 + i);
    high[size_t(i)] = SOCKET(fd);
    ASSERT_EQ(plat::FdSetAdd(high[size_t(i)], &set), 1);
  }
  EXPECT_EQ(plat::FdSetAdd(SOCKET(3000), &set), 0);  // the 65th
  EXPECT_EQ(plat::GetLastError(), plat::WSAENOBUFS);
  EXPECT_EQ(set.fd_count, 64u);
  for (int i = 0; i < 64; i += 3) ws().send(pairs[i].server, "x", 1, 0);
  plat::TimeVal tv{2, 0};
  int ready = ws().select(0, &set, nullptr, nullptr, &tv);
  EXPECT_EQ(ready, 22);
  for (int i = 0; i < 64; ++i) EXPECT_EQ(plat::FdIsSet(high[size_t(i)], &set), i % 3 == 0) << i;

  plat::FdSet broken{};
  broken.fd_count = 65;  // a corrupted count is refused, not read past the array
  EXPECT_EQ(ws().select(0, &broken, nullptr, nullptr, &tv), -1);
  EXPECT_EQ(plat::GetLastError(), plat::WSAEINVAL);
  for (SOCKET s : high) close(int(s));
}

TEST(SocketSets, EmptySetsAndTimeout) {
  plat::TimeVal tv{0, 20000};
  EXPECT_EQ(ws().select(0, nullptr, nullptr, nullptr, &tv), -1);
  EXPECT_EQ(plat::GetLastError(), plat::WSAEINVAL);
  Pair p;
  plat::FdSet r{};
  plat::FdSetAdd(p.client, &r);
  EXPECT_EQ(ws().select(0, &r, nullptr, nullptr, &tv), 0);
  EXPECT_EQ(r.fd_count, 0u);
}

TEST(Interfaces, ListHasTheLoopbackInterface) {
  SOCKET s = ws().socket(plat::kAfInet, plat::kSockDgram, 0);
  plat::InterfaceInfo entries[16];
  uint32_t bytes = 0;
  ASSERT_EQ(ws().WSAIoctl(s, plat::kSioGetInterfaceList, nullptr, 0, entries, sizeof entries, &bytes, nullptr, nullptr), 0);
  ASSERT_EQ(bytes % sizeof(plat::InterfaceInfo), 0u);
  bool loopback = false;
  for (size_t i = 0; i < bytes / sizeof(plat::InterfaceInfo); ++i)
    if ((entries[i].iiFlags & plat::kIffLoopback) && entries[i].iiAddress.AddressIn.sin_addr.s_addr == htonl(INADDR_LOOPBACK))
      loopback = true;
  EXPECT_TRUE(loopback);
  EXPECT_EQ(ws().WSAIoctl(s, plat::kSioGetInterfaceList, nullptr, 0, entries, 0, &bytes, nullptr, nullptr), -1);
  EXPECT_EQ(plat::GetLastError(), plat::WSAEFAULT);
  ws().closesocket(s);
}

namespace {

// A resolver that knows one IPv6-only name and answers like glibc for other families.
int FakeGetAddrInfo(const char* node, const char*, const addrinfo* hints, addrinfo** result) {
  if (!node || std::strcmp(node, "six.test") != 0) return EAI_NONAME;
  if (hints && hints->ai_family == AF_INET) return EAI_NODATA;
  addrinfo numeric{};
  numeric.ai_flags = AI_NUMERICHOST;
  numeric.ai_family = AF_INET6;
  return ::getaddrinfo("::1", nullptr, &numeric, result);
}

}  // namespace

TEST(Resolver, InjectedResolverAndWindowsFamilies) {
  static const plat::Resolver fake{FakeGetAddrInfo, ::freeaddrinfo};
  plat::SetResolver(&fake);
  addrinfo hints{};
  hints.ai_family = plat::kAfInet;
  addrinfo* list = nullptr;
  EXPECT_EQ(ws().getaddrinfo("six.test", nullptr, &hints, &list), int(plat::WSANO_DATA));
  hints.ai_family = plat::kAfInet6;
  ASSERT_EQ(ws().getaddrinfo("six.test", nullptr, &hints, &list), 0);
  EXPECT_EQ(list->ai_family, plat::kAfInet6);  // 23 at the interface
  EXPECT_EQ(list->ai_addr->sa_family, AF_INET6);  // native inside the address
  ws().freeaddrinfo(list);
  EXPECT_EQ(ws().gethostbyname("six.test"), nullptr);
  hints.ai_family = 77;
  EXPECT_EQ(ws().getaddrinfo("six.test", nullptr, &hints, &list), int(plat::WSAEAFNOSUPPORT));
  plat::SetResolver(nullptr);
}

TEST(Resolver, NumericConversionsAndAddressText) {
  unsigned char v6[16];
  ASSERT_EQ(ws().inet_pton(plat::kAfInet6, "fe80:0:0::1", v6), 1);
  char text[64];
  EXPECT_STREQ(ws().inet_ntop(plat::kAfInet6, v6, text, sizeof text), "fe80::1");
  EXPECT_EQ(ws().inet_pton(plat::kAfInet, "1.2.3", v6), 0);
  EXPECT_EQ(ws().inet_pton(5, "1.2.3.4", v6), -1);
  EXPECT_EQ(plat::GetLastError(), plat::WSAEAFNOSUPPORT);
  EXPECT_EQ(ws().inet_ntop(5, v6, text, sizeof text), nullptr);
  EXPECT_EQ(plat::GetLastError(), plat::WSAEAFNOSUPPORT);

  sockaddr_in a = Loopback4(21);
  uint32_t size = sizeof text;
  ASSERT_EQ(ws().WSAAddressToStringA(Sa(a), sizeof a, nullptr, text, &size), 0);
  EXPECT_STREQ(text, "127.0.0.1:21");
  sockaddr_in6 b{};
  b.sin6_family = AF_INET6;
  b.sin6_addr = in6addr_loopback;
  b.sin6_port = htons(990);
  size = sizeof text;
  ASSERT_EQ(ws().WSAAddressToStringA(reinterpret_cast<sockaddr*>(&b), sizeof b, nullptr, text, &size), 0);
  EXPECT_STREQ(text, "[::1]:990");
  size = 3;
  EXPECT_EQ(ws().WSAAddressToStringA(Sa(a), sizeof a, nullptr, text, &size), -1);
  EXPECT_EQ(size, 13u);
}

TEST(Startup, CountsStartupsAndRefusesAnUnmatchedCleanup) {
  plat::WSADATA data;
  EXPECT_EQ(ws().WSACleanup(), -1);
  EXPECT_EQ(plat::GetLastError(), plat::WSANOTINITIALISED);
  ASSERT_EQ(ws().WSAStartup(0x0202, &data), 0);
  EXPECT_EQ(data.wVersion, 0x0202);
  EXPECT_EQ(ws().WSACleanup(), 0);
  EXPECT_EQ(ws().WSACleanup(), -1);
}
