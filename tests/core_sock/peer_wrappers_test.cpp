// The wrappers against a real echo peer (socat) on 127.0.0.1 and ::1, with tracing on.
#include <unistd.h>

#include <filesystem>
#include <fstream>
#include <string>

#include <gtest/gtest.h>

#include "core/sock/sock.h"
#include "core/trace/trace.h"
#include "peers/peer.h"
#include "platform/net/socket_api.h"
#include "platform/net/wsa_errors.h"

namespace {

class EchoPeer : public ::testing::TestWithParam<int> {};

std::string Listen(int family) {
  return family == AF_INET6 ? "TCP6-LISTEN:{{PORT}},bind=[::1],fork,reuseaddr" : "TCP4-LISTEN:{{PORT}},bind={{ADDR}},fork,reuseaddr";
}

}  // namespace

TEST_P(EchoPeer, LookupConnectSendReceiveCloseTraced) {
  cvpeers::PeerProcess echo({.program = "socat", .args = {Listen(GetParam()), "PIPE"}, .family = GetParam()});
  CV_START_PEER(echo);
  setenv(kTraceLibraryVariable, CVTRACE_PATH, 1);
  plat::WSADATA data;
  ASSERT_EQ(SockStartup(&data), 0);
  std::string trace = (echo.dir() / "client.trace").string();
  ASSERT_NE(TraceEnable(trace.c_str(), kTraceHexDump), 0);

  addrinfo hints{};
  hints.ai_socktype = plat::kSockStream;
  hints.ai_flags = plat::kAiNumericHost;
  addrinfo* list = nullptr;
  ASSERT_EQ(SockLookupHost(echo.address().c_str(), &hints, &list), 0);
  int32_t family = GetParam() == AF_INET6 ? plat::kAfInet6 : plat::kAfInet;
  ASSERT_EQ(list->ai_family, family);
  SOCKET s = SockCreate(list->ai_family, plat::kSockStream, plat::kIpProtoTcp);
  ASSERT_NE(s, INVALID_SOCKET);
  if (family == plat::kAfInet6)
    reinterpret_cast<sockaddr_in6*>(list->ai_addr)->sin6_port = htons(echo.port());
  else
    reinterpret_cast<sockaddr_in*>(list->ai_addr)->sin_port = htons(echo.port());
  ASSERT_EQ(SockConnect(s, list->ai_addr, int32_t(list->ai_addrlen)), 0) << SockGetLastError();
  SockFreeHostList(list);

  const std::string line = "HELLO over loopback\r\n";
  ASSERT_EQ(SockSend(s, line.data(), int32_t(line.size()), 0), int32_t(line.size()));
  std::string echoed;
  char buf[256];
  while (echoed.size() < line.size()) {
    int n = SockRecv(s, buf, sizeof buf, 0);
    ASSERT_GT(n, 0) << SockGetLastError();
    echoed.append(buf, size_t(n));
  }
  EXPECT_EQ(echoed, line);
  int32_t err = -1, len = 4;
  EXPECT_EQ(SockGetPendingError(s, &err, &len), 0);
  EXPECT_EQ(err, 0);
  EXPECT_EQ(SockClose(s), 0);
  TraceDisable();
  SockCleanup();

  std::ifstream in(trace);
  int calls = 0;
  std::string all, l;
  while (std::getline(in, l)) {
    all += l + "\n";
    if (l.find(") = ") != std::string::npos) ++calls;
  }
  // lookup, socket, connect, send, recv (one or more), getsockopt, closesocket
  EXPECT_GE(calls, 7) << all;
  EXPECT_NE(all.find("getaddrinfo(\"" + echo.address() + "\""), std::string::npos) << all;
  EXPECT_NE(all.find("48 45 4c 4c 4f"), std::string::npos) << all;  // the hex dump of the send
}

INSTANTIATE_TEST_SUITE_P(Loopback, EchoPeer, ::testing::Values(AF_INET, AF_INET6),
                         [](const auto& info) { return info.param == AF_INET6 ? std::string("IPv6") : std::string("IPv4"); });
