// The InternetServer control under load: many clients at once through one host thread,
// a host that leaves data unread, and Stop called from inside an event.
#include <gtest/gtest.h>
#include <sys/resource.h>

#include <atomic>
#include <cstring>
#include <thread>

#include "peers/peer.h"
#include "server_host.h"

namespace {

using namespace tcpsrvtest;
using Clock = std::chrono::steady_clock;

double CpuSeconds() {
  rusage u{};
  getrusage(RUSAGE_SELF, &u);
  return double(u.ru_utime.tv_sec + u.ru_stime.tv_sec) + double(u.ru_utime.tv_usec + u.ru_stime.tv_usec) / 1e6;
}

// One client: sends `size` bytes of a pattern of its own while reading the echo, and says
// whether every byte came back in order.
bool EchoClient(uint32_t port, size_t size, int seed) {
  const int fd = Connect(port);
  if (fd < 0) return false;
  std::string out(size, '\0');
  for (size_t i = 0; i < size; ++i) out[i] = char((i * 31 + size_t(seed) * 7) & 0xFF);
  size_t sent = 0, got = 0;
  bool same = true;
  const auto deadline = Clock::now() + std::chrono::seconds(90);
  while (got < size && Clock::now() < deadline) {
    pollfd p{fd, short(POLLIN | (sent < size ? POLLOUT : 0)), 0};
    if (::poll(&p, 1, 200) <= 0) continue;
    if ((p.revents & POLLOUT) && sent < size) {
      const ssize_t n = ::send(fd, out.data() + sent, std::min<size_t>(size - sent, 32768), MSG_NOSIGNAL | MSG_DONTWAIT);
      if (n > 0) sent += size_t(n);
    }
    if (p.revents & (POLLIN | POLLHUP | POLLERR)) {
      char buf[65536];
      const ssize_t n = ::recv(fd, buf, sizeof buf, MSG_DONTWAIT);
      if (n == 0) break;
      if (n > 0) {
        same = same && std::memcmp(buf, out.data() + got, size_t(n)) == 0;
        got += size_t(n);
      }
    }
  }
  ::close(fd);
  return same && got == size;
}

class Load : public ServerHost {
 protected:
  // An echo host: whatever a read event finds goes back at once.
  void EchoEverything() {
    actions[kRead] = [this](int32_t h) {
      SAFEARRAY* a = SafeArrayCreateVector(VT_UI1, 0, 65536);
      VARIANT data{};
      data.vt = VT_ARRAY | VT_UI1;
      data.parray = a;
      const int n = std::atoi(Result(u"Read", {I4(h), Ref(&data), I4(65536)}).c_str());
      if (n > 0) Result(u"Write", {I4(h), data, I4(n)});
      else VariantClear(&data);
    };
  }
};

TEST_F(Load, TwoHundredEchoClientsAtOnce) {
  EchoEverything();
  ASSERT_EQ(Put(u"Timeout", I4(30)), S_OK);
  ASSERT_EQ(Put(u"Backlog", I4(200)), S_OK);  // the whole burst waits in the kernel's queue
  const uint32_t port = StartOn(u"127.0.0.1");
  ASSERT_NE(port, 0u);
  constexpr int kClients = 200;
  constexpr size_t kBytes = 1 << 20;
  std::atomic<int> intact{0}, finished{0};
  std::vector<std::thread> clients;
  const auto start = Clock::now();
  for (int i = 0; i < kClients; ++i)
    clients.emplace_back([&, i] {
      if (EchoClient(port, kBytes, i)) intact.fetch_add(1);
      finished.fetch_add(1);
    });
  const bool done = PumpUntil([&] { return finished.load() == kClients; }, 120000);
  for (auto& t : clients) t.join();
  ASSERT_TRUE(done);
  const double seconds = std::chrono::duration<double>(Clock::now() - start).count();
  EXPECT_EQ(intact.load(), kClients);
  EXPECT_LT(seconds, 60.0);
  // Every client that came also left, and then the host has nothing to do.
  ASSERT_TRUE(PumpUntil([&] { return Count(kDisconnect) == Count(kConnect); }, 20000))
      << Count(kConnect) << " connects, " << Count(kDisconnect) << " disconnects";
  EXPECT_EQ(Count(kConnect), kClients) << Count(kDisconnect) << " disconnects";
  Pump(500);
  const double before = CpuSeconds();
  Pump(2000);
  EXPECT_LT(CpuSeconds() - before, 0.5) << "the process keeps working after the clients left";
  // A new client is still served.
  const int late = Connect(port);
  ASSERT_GE(late, 0);
  Send(late, "late\n");
  EXPECT_EQ(Receive(late, 5), "late\n");
  ::close(late);
  const auto stopping = Clock::now();
  EXPECT_EQ(Result(u"Stop", {}), "0");
  EXPECT_LT(std::chrono::duration<double>(Clock::now() - stopping).count(), 2.0);
}

// A host whose handlers take a while and serve what the engine sends meanwhile, so that
// the events arriving then are queued: short-lived clients still each bring one connect
// and one disconnect, however the queued events and the clients' ends interleave.
TEST_F(Load, ShortClientsWhileTheHostLingersInItsHandlers) {
  EchoEverything();
  const auto echo = actions[kRead];
  actions[kRead] = [this, echo](int32_t h) {
    echo(h);
    Pump(1);
  };
  actions[kConnect] = [this](int32_t) { Pump(2); };
  ASSERT_EQ(Put(u"Backlog", I4(200)), S_OK);
  const uint32_t port = StartOn(u"127.0.0.1");
  ASSERT_NE(port, 0u);
  constexpr int kThreads = 8, kEach = 25;
  std::atomic<int> finished{0};
  std::vector<std::thread> clients;
  for (int t = 0; t < kThreads; ++t)
    clients.emplace_back([&] {
      for (int i = 0; i < kEach; ++i) {
        const int fd = Connect(port);
        if (fd < 0) continue;
        for (int k = 0; k < 10; ++k) {
          Send(fd, "x\n");
          ::usleep(200);
        }
        ::close(fd);
      }
      finished.fetch_add(1);
    });
  const bool sent = PumpUntil([&] { return finished.load() == kThreads; }, 60000);
  for (auto& t : clients) t.join();
  ASSERT_TRUE(sent);
  EXPECT_TRUE(PumpUntil([&] { return Count(kDisconnect) >= kThreads * kEach; }, 30000));
  Pump(300);
  EXPECT_EQ(Count(kConnect), kThreads * kEach);
  EXPECT_EQ(Count(kDisconnect), kThreads * kEach);
}

TEST_F(Load, AHostThatDoesNotReadGetsPacedEventsAndTheDisconnect) {
  const uint32_t port = StartOn(u"127.0.0.1");
  const int fd = Connect(port);
  ASSERT_GE(fd, 0);
  Send(fd, "never read\n");
  ASSERT_TRUE(WaitFor(kRead));
  const double before = CpuSeconds();
  Pump(2000);
  // Paced, not a flood: a handful of repeats while the data waits.
  EXPECT_LT(Count(kRead), 20);
  EXPECT_LT(CpuSeconds() - before, 0.5);
  ::close(fd);
  EXPECT_TRUE(WaitFor(kDisconnect, 1, 5000));
}

}  // namespace

namespace {

using namespace tcpsrvtest;

class StopInside : public ServerHost {};

// A host that stops its server from inside OnRead: Stop comes back at once, the port
// refuses from then on, and the client that asked still gets its answer.
TEST_F(StopInside, OnReadWithAndWithoutOtherClients) {
  // The test's thread is the host: its connects must not wait for its own accept events.
  ASSERT_EQ(Put(u"Backlog", I4(200)), S_OK);
  for (const int others : {0, 50}) {
    SCOPED_TRACE(others);
    fired.clear();
    const uint32_t port = StartOn(u"127.0.0.1");
    ASSERT_NE(port, 0u);
    std::vector<int> idle;
    for (int i = 0; i < others; ++i) idle.push_back(Connect(port));
    ASSERT_TRUE(WaitFor(kConnect, others, 30000));
    double stopSeconds = -1;
    int refused = -1;
    actions[kRead] = [&](int32_t h) {
      VARIANT line{};
      Result(u"ReadLine", {I4(h), Ref(&line)});
      VariantClear(&line);
      const auto start = std::chrono::steady_clock::now();
      EXPECT_EQ(Result(u"Stop", {}), "0");
      stopSeconds = std::chrono::duration<double>(std::chrono::steady_clock::now() - start).count();
      const int late = Connect(port);
      refused = late < 0 && errno == ECONNREFUSED;
      if (late >= 0) ::close(late);
      Result(u"WriteLine", {I4(h), Str(u"stopped")});
    };
    const int c = Connect(port);
    ASSERT_GE(c, 0);
    Send(c, "stop\r\n");
    EXPECT_EQ(Receive(c, 9), "stopped\r\n");
    ASSERT_TRUE(PumpUntil([&] { return stopSeconds >= 0; }));
    EXPECT_LT(stopSeconds, 1.0);
    EXPECT_EQ(refused, 1);
    EXPECT_EQ(Count(kStop), 1);
    EXPECT_EQ(Show(u"State"), "0");
    EXPECT_TRUE(PeerClosed(c));
    for (int fd : idle) {
      EXPECT_TRUE(PeerClosed(fd));
      ::close(fd);
    }
    ::close(c);
    actions.erase(kRead);
  }
}

}  // namespace
