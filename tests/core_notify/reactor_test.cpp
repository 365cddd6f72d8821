// Network events from the platform's reactor on loopback sockets become the library's
// events at the registered window.
#include <netinet/in.h>

#include "notify_fixture.h"

namespace fake {
namespace {

sockaddr_in Loopback(uint16_t port) {
  sockaddr_in a{};
  a.sin_family = AF_INET;
  a.sin_port = htons(port);
  a.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
  return a;
}

const sockaddr* Sa(const sockaddr_in& a) { return reinterpret_cast<const sockaddr*>(&a); }

uint16_t PortOf(SOCKET s) {
  sockaddr_in a{};
  int32_t len = sizeof a;
  SockGetLocalName(s, reinterpret_cast<sockaddr*>(&a), &len);
  return ntohs(a.sin_port);
}

// A TCP socket listening on 127.0.0.1 and a free port, closed at the end.
struct Listener {
  SOCKET s = SockCreate(plat::kAfInet, plat::kSockStream, 0);
  Listener() {
    sockaddr_in a = Loopback(0);
    EXPECT_EQ(SockBind(s, Sa(a), sizeof a), 0);
    EXPECT_EQ(SockListen(s), 0);
  }
  ~Listener() { SockClose(s); }
  sockaddr_in address() const { return Loopback(PortOf(s)); }
};

bool Has(const HostWindow& host, uint32_t event) {
  for (const auto& d : host.deliveries)
    if (d.event == event) return true;
  return false;
}

TEST_F(Notify, DataSocketEventsFromTheReactorBecomeLibraryEvents) {
  HostWindow host;
  Listener listener;
  const LibHandle h = NewSession();
  S(h).dataSocket = SockCreate(plat::kAfInet, plat::kSockStream, 0);
  // The control's mask asks for no network events: the socket stays as it is.
  ASSERT_EQ(E::Register(h, host.hwnd(), kNotifyMessage, 960), 0);
  EXPECT_EQ(S(h).notify.socketWindow, nullptr);
  // Registering for network events with a data connection open routes it to the window.
  ASSERT_EQ(E::Register(h, host.hwnd(), kNotifyMessage, 0xFFFFFFFF), 0);
  EXPECT_EQ(S(h).notify.socketWindow, host.hwnd());
  EXPECT_EQ(S(h).notify.socketMessage, cvcore::kNotifySocketMessage);

  const sockaddr_in to = listener.address();
  EXPECT_EQ(SockConnect(S(h).dataSocket, Sa(to), sizeof to), -1);  // non-blocking now
  ASSERT_TRUE(PumpUntil([&] { return Has(host, kWritable); }));
  EXPECT_EQ(host.Events(), (std::vector<uint32_t>{kDataConnected, kWritable}));

  const SOCKET server = SockAccept(listener.s, nullptr, nullptr);
  ASSERT_NE(server, INVALID_SOCKET);
  ASSERT_EQ(SockSend(server, "hello", 5, 0), 5);
  ASSERT_TRUE(PumpUntil([&] { return Has(host, kReadable); }));
  EXPECT_EQ(S(h).bytesRead, 5u);
  SockClose(server);
  ASSERT_TRUE(PumpUntil([&] { return Has(host, kDataClosed); }));
  EXPECT_EQ(host.Events(), (std::vector<uint32_t>{kDataConnected, kWritable, kReadable, kDataClosed}));
  for (const auto& d : host.deliveries) EXPECT_EQ(d.handle, h);

  // Stopping the selection detaches the window and leaves the socket blocking.
  ASSERT_EQ(E::SelectEvents(h, nullptr, 0), 0);
  EXPECT_FALSE(plat::GetWindowSubclass(host.hwnd(), &E::WindowProc, 0, nullptr));
  char byte;
  EXPECT_EQ(SockRecv(S(h).dataSocket, &byte, 1, 0), 0);  // end of stream, waited for, not 10035
  SockClose(S(h).dataSocket);
  S(h).dataSocket = INVALID_SOCKET;
}

TEST_F(Notify, ConnectEventsCarryTheirErrorAndTheControlSocketConnects) {
  HostWindow host;
  const LibHandle h = NewSession();
  uint16_t closedPort;
  {
    Listener gone;
    closedPort = PortOf(gone.s);
  }
  S(h).dataSocket = SockCreate(plat::kAfInet, plat::kSockStream, 0);
  ASSERT_EQ(E::Register(h, host.hwnd(), kNotifyMessage, 0xFFFFFFFF), 0);
  sockaddr_in refused = Loopback(closedPort);
  SockConnect(S(h).dataSocket, Sa(refused), sizeof refused);
  ASSERT_TRUE(PumpUntil([&] { return Has(host, kDataConnected); }));
  EXPECT_EQ(host.deliveries[0].error, 10061u);  // connection refused, in the high word
  EXPECT_EQ(Lib().GetLastError(), kCvErrorBase | 10061u);

  // FD_CONNECT on the control socket marks the session connected.
  Listener listener;
  S(h).header.controlSocket = SockCreate(plat::kAfInet, plat::kSockStream, 0);
  ASSERT_EQ(SockAsyncSelect(S(h).header.controlSocket, host.hwnd(), cvcore::kNotifySocketMessage, plat::FD_CONNECT),
            0);
  const sockaddr_in to = listener.address();
  SockConnect(S(h).header.controlSocket, Sa(to), sizeof to);
  ASSERT_TRUE(PumpUntil([&] { return Has(host, kConnected); }));
  EXPECT_TRUE(S(h).connected);
  SockClose(S(h).header.controlSocket);
  SockClose(S(h).dataSocket);
  S(h).header.controlSocket = S(h).dataSocket = INVALID_SOCKET;
}

}  // namespace
}  // namespace fake
