// The socket layer: lookups, connect fallback to the next candidate, frozen sockets,
// listener companions, the pump's bounded wait and pumps of sessions on several threads.
#include <arpa/inet.h>
#include <netinet/in.h>
#include <sys/socket.h>
#include <unistd.h>

#include <gtest/gtest.h>

#include <functional>
#include <thread>
#include <vector>

#include "ssh/net/address.h"
#include "ssh/net/owner.h"
#include "ssh/net/tcp_socket.h"
#include "ssh/sftp/sftp.h"
#include "ssh_test_util.h"

namespace {

// A plug that records what the socket layer tells it.
struct Recorder final : SshPlug {
  void Log(int32_t kind, const SshAddress*, int32_t port, const char*, int32_t) override {
    ports.push_back(port);
    if (kind == 0 && beforeAttempt) beforeAttempt(ports.size());
  }
  int32_t Closing(uint32_t error, int32_t) override {
    closed = true;
    closeError = error;
    return 0;
  }
  int32_t Receive(int32_t, const uint8_t* data, int32_t length) override {
    data_.append(reinterpret_cast<const char*>(data), size_t(length));
    return 1;
  }
  void Sent(uint32_t) override {}
  int32_t Accepting(SOCKET s) override {
    accepted.push_back(s);
    return 1;  // refuse: the layer closes it
  }
  std::vector<int32_t> ports;
  std::function<void(size_t attempt)> beforeAttempt;
  std::vector<SOCKET> accepted;
  std::string data_;
  bool closed = false;
  uint32_t closeError = 0;
};

// A socket bound to 127.0.0.1 that refuses connections until listen() is called on it.
int BindLoopback(uint16_t* port) {
  int fd = ::socket(AF_INET, SOCK_STREAM | SOCK_NONBLOCK, 0);
  sockaddr_in a{};
  a.sin_family = AF_INET;
  a.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
  ::bind(fd, reinterpret_cast<sockaddr*>(&a), sizeof a);
  socklen_t n = sizeof a;
  ::getsockname(fd, reinterpret_cast<sockaddr*>(&a), &n);
  *port = ntohs(a.sin_port);
  return fd;
}

int ListenLoopback(uint16_t* port) {
  const int fd = BindLoopback(port);
  ::listen(fd, 4);
  return fd;
}

uint16_t ClosedPort() {
  uint16_t port;
  ::close(ListenLoopback(&port));
  return port;
}

class Net : public ::testing::Test {
 protected:
  void SetUp() override {
    plat::WSADATA data;
    ASSERT_EQ(SockStartup(&data), 0);
    session = sshtest::NewOfflineSession();
    session->timeout = 1;
  }
  void TearDown() override {
    SshSessionFree(session);
    SshNetShutdown();
    SockCleanup();
  }
  bool PumpFor(const std::function<bool()>& done) {
    for (int i = 0; i < 20 && !done(); ++i) SshPumpEvents(session);
    return done();
  }
  SshSession* session = nullptr;
};

TEST_F(Net, DottedLiteralIsItsOwnCanonicalName) {
  char* canonical = nullptr;
  SshAddress* a = SshLookupName("127.0.0.1", &canonical, 0);
  EXPECT_EQ(SshAddressError(a), 0u);
  EXPECT_EQ(SshAddressType(a), kSshAddressIpv4);
  EXPECT_STREQ(canonical, "127.0.0.1");
  EXPECT_EQ(a->list, nullptr) << "no resolver for a literal";
  EXPECT_EQ(SshIsLocalAddress(a), 1);
  char text[64];
  SshAddressToText(a, text, sizeof text);
  EXPECT_STREQ(text, "127.0.0.1");
  EXPECT_EQ(SshNextAddress(a), 0);
  CheckedFree(canonical);
  SshFreeAddress(a);
  EXPECT_EQ(SshIsLocalhostName("localhost"), 1);
  EXPECT_EQ(SshIsLocalhostName("localhost."), 0);
  SshAddress* bad = SshBadAddress();
  EXPECT_EQ(SshAddressError(bad), 10038u);
  SshFreeAddress(bad);
}

TEST_F(Net, RefusedFirstCandidateFallsBackToTheNext) {
  uint16_t port;
  // Two candidates, both 127.0.0.1: the socket listens only once the second attempt starts,
  // so the first is refused.
  int listener = BindLoopback(&port);
  SshAddress* a = SshLookupName("127.0.0.1", nullptr, 0);
  a->ipv4 = static_cast<uint32_t*>(CheckedRealloc(a->ipv4, 2, sizeof(uint32_t)));
  a->ipv4[1] = INADDR_LOOPBACK;
  a->ipv4Count = 2;
  Recorder plug;
  plug.beforeAttempt = [listener](size_t attempt) {
    if (attempt == 2) ::listen(listener, 4);
  };
  SshSocket* s = SshNewConnection(a, port, 0, &plug);
  ASSERT_EQ(s->Error(), 0u);
  int accepted = -1;
  PumpFor([&] {
    if (accepted < 0) accepted = ::accept(listener, nullptr, nullptr);
    return accepted >= 0;
  });
  ASSERT_GE(accepted, 0);
  EXPECT_EQ(plug.ports.size(), 2u) << "two attempts";
  EXPECT_FALSE(plug.closed);
  s->Write("ping", 4);
  char buf[8] = {};
  for (int i = 0; i < 50 && ::recv(accepted, buf, 4, MSG_DONTWAIT) != 4; ++i) SshPumpEvents(session);
  EXPECT_STREQ(buf, "ping");
  s->Close();
  ::close(accepted);
  ::close(listener);
}

TEST_F(Net, AllCandidatesRefusedReachesTheClosingHandler) {
  Recorder plug;
  SshSocket* s = SshNewConnection(SshLookupName("127.0.0.1", nullptr, 0), ClosedPort(), 0, &plug);
  if (s->Error() == 0) PumpFor([&] { return plug.closed; });
  EXPECT_TRUE(plug.closed || s->Error() != 0);
  EXPECT_EQ(plug.closed ? plug.closeError : s->Error(), 10061u);
  s->Close();
}

TEST_F(Net, FrozenSocketDeliversAfterThaw) {
  uint16_t port;
  int listener = ListenLoopback(&port);
  Recorder plug;
  SshSocket* s = SshNewConnection(SshLookupName("127.0.0.1", nullptr, 0), port, 0, &plug);
  int peer = -1;
  PumpFor([&] {
    if (peer < 0) peer = ::accept(listener, nullptr, nullptr);
    return peer >= 0;
  });
  ASSERT_GE(peer, 0);
  s->SetFrozen(1);
  ASSERT_EQ(::send(peer, "held", 4, 0), 4);
  for (int i = 0; i < 3; ++i) SshPumpEvents(session);
  EXPECT_EQ(plug.data_, "");
  s->SetFrozen(0);
  EXPECT_TRUE(PumpFor([&] { return plug.data_ == "held"; }));
  ::close(peer);
  EXPECT_TRUE(PumpFor([&] { return plug.closed; }));
  EXPECT_EQ(plug.closeError, 0u);
  s->Close();
  ::close(listener);
}

TEST_F(Net, ListenerWithCompanionAcceptsAndClosesBoth) {
  Recorder plug;
  SshSocket* l = SshNewListener(nullptr, 0, &plug, 1, 0);
  ASSERT_EQ(l->Error(), 0u);
  int32_t cursor;
  int registered = 0;
  for (SOCKET h = SshFirstSocket(&cursor); h != INVALID_SOCKET; h = SshNextSocket(&cursor)) ++registered;
  EXPECT_GE(registered, 1);
  sockaddr_in a{};
  socklen_t n = sizeof a;
  ::getsockname(int(static_cast<cvssh::net::TcpSocket*>(l)->handle), reinterpret_cast<sockaddr*>(&a), &n);
  int client = ::socket(AF_INET, SOCK_STREAM, 0);
  ASSERT_EQ(::connect(client, reinterpret_cast<sockaddr*>(&a), sizeof a), 0);
  EXPECT_TRUE(PumpFor([&] { return !plug.accepted.empty(); }));
  l->Close();
  EXPECT_EQ(SshFirstSocket(&cursor), INVALID_SOCKET) << "the companion closes with its listener";
  ::close(client);
}

TEST_F(Net, APumpServesOnlyItsOwnSessionsSockets) {
  // Two sessions' connections; data for the other session waits for that session's own
  // pump, however often this one runs.
  SshSession* other = sshtest::NewOfflineSession();
  uint16_t minePort, otherPort;
  int mineListener = ListenLoopback(&minePort), otherListener = ListenLoopback(&otherPort);
  Recorder minePlug, otherPlug;
  SshSocket* mine;
  SshSocket* theirs;
  {
    cvssh::net::OwnerScope scope(session);
    mine = SshNewConnection(SshLookupName("127.0.0.1", nullptr, 0), minePort, 0, &minePlug);
  }
  {
    cvssh::net::OwnerScope scope(other);
    theirs = SshNewConnection(SshLookupName("127.0.0.1", nullptr, 0), otherPort, 0, &otherPlug);
  }
  int minePeer = -1, otherPeer = -1;
  for (int i = 0; i < 50 && (minePeer < 0 || otherPeer < 0); ++i) {
    SshPumpEventsWithin(session, 100);
    SshPumpEventsWithin(other, 100);
    if (minePeer < 0) minePeer = ::accept(mineListener, nullptr, nullptr);
    if (otherPeer < 0) otherPeer = ::accept(otherListener, nullptr, nullptr);
  }
  ASSERT_GE(minePeer, 0);
  ASSERT_GE(otherPeer, 0);
  ASSERT_EQ(::send(otherPeer, "theirs", 6, 0), 6);
  ASSERT_EQ(::send(minePeer, "mine", 4, 0), 4);
  EXPECT_TRUE(PumpFor([&] { return minePlug.data_ == "mine"; }));
  for (int i = 0; i < 3; ++i) SshPumpEventsWithin(session, 50);
  EXPECT_EQ(otherPlug.data_, "") << "another session's data taken by this one's pump";
  for (int i = 0; i < 20 && otherPlug.data_.empty(); ++i) SshPumpEventsWithin(other, 100);
  EXPECT_EQ(otherPlug.data_, "theirs");
  mine->Close();
  theirs->Close();
  for (int fd : {minePeer, otherPeer, mineListener, otherListener}) ::close(fd);
  SshSessionFree(other);
}

TEST_F(Net, PumpsOfSessionsOnTwoThreadsEachTakeOnlyTheirOwnData) {
  // Each thread makes its session and connection and pumps while its peer writes, as the
  // SFTP code does: holding the SSH-layer lock, which each pump leaves while it waits. The
  // pumps run at the same time over the one socket registry, and neither sees the other's
  // bytes.
  constexpr int kThreads = 2, kChunks = 20;
  std::string received[kThreads];
  SshInitialize();
  auto run = [&](int index) {
    SshLock();
    SshSession* s = sshtest::NewOfflineSession();
    s->timeout = 1;
    uint16_t port;
    const int listener = ListenLoopback(&port);
    Recorder plug;
    SshSocket* socket;
    {
      cvssh::net::OwnerScope scope(s);
      socket = SshNewConnection(SshLookupName("127.0.0.1", nullptr, 0), port, 0, &plug);
    }
    int peer = -1;
    for (int i = 0; i < 50 && peer < 0; ++i) {
      SshPumpEventsWithin(s, 50);
      peer = ::accept(listener, nullptr, nullptr);
    }
    const std::string chunk = "thread" + std::to_string(index) + ";";
    std::string expected;
    for (int i = 0; peer >= 0 && i < kChunks; ++i) {
      expected += chunk;
      if (::send(peer, chunk.data(), chunk.size(), 0) != ssize_t(chunk.size())) break;
      for (int j = 0; j < 40 && plug.data_.size() < expected.size(); ++j) SshPumpEventsWithin(s, 50);
    }
    received[index] = plug.data_;
    socket->Close();
    if (peer >= 0) ::close(peer);
    ::close(listener);
    SshSessionFree(s);
    SshUnlock();
  };
  std::vector<std::thread> threads;
  for (int i = 0; i < kThreads; ++i) threads.emplace_back(run, i);
  for (std::thread& t : threads) t.join();
  SshUninitialize();
  for (int i = 0; i < kThreads; ++i) {
    std::string expected;
    for (int j = 0; j < kChunks; ++j) expected += "thread" + std::to_string(i) + ";";
    EXPECT_EQ(received[i], expected) << "thread " << i;
  }
}

TEST_F(Net, PumpReturnsAfterTheTimeoutWithNothingToDo) {
  uint32_t start = plat::GetTickCount();
  EXPECT_EQ(SshPumpEvents(session), 0);
  EXPECT_GE(plat::GetTickCount() - start, 900u);
  EXPECT_EQ(SshPumpEvents(nullptr), 0);
}

}  // namespace
