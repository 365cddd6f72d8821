// Connecting (errors, proxies), reconnecting, timeouts, priority, cancel and the transfer
// statistics.
#include <atomic>
#include <string>
#include <thread>

#include "http_fixture.h"
#include "platform/base/tick.h"

namespace httptest {
namespace {

using namespace std::chrono_literals;
using cvtest::ScriptServer;

class HttpSession : public Http {};

TEST_F(HttpSession, ConnectErrors) {
  EXPECT_EQ(HttpConnect("", 80, 5, 0, kVersion11, nullptr), kInvalidLibHandle);
  EXPECT_EQ(Error(), 11001u);
  EXPECT_EQ(HttpConnect("http://", 80, 5, 0, kVersion11, nullptr), kInvalidLibHandle);
  EXPECT_EQ(Error(), 11001u);
  EXPECT_EQ(HttpProxyConnect(7, "127.0.0.1", 8080, nullptr, nullptr, "example.test", 80, 5, 0, kVersion11, nullptr),
            kInvalidLibHandle);
  EXPECT_EQ(Error(), 12210u);
  EXPECT_EQ(HttpProxyConnect(2, "127.0.0.1", 8080, nullptr, nullptr, "example.test", 80, 5, 0, kVersion09, nullptr),
            kInvalidLibHandle);
  EXPECT_EQ(Error(), 10014u);
  EXPECT_EQ(
      HttpProxyConnect(2, "127.0.0.1", 443, nullptr, nullptr, "https://example.test", 0, 5, 0, kVersion11, nullptr),
      kInvalidLibHandle);
  EXPECT_EQ(Error(), 12006u);
  // Nothing listens on a port just released.
  uint16_t port;
  {
    ScriptServer probe;
    port = uint16_t(probe.port());
  }
  EXPECT_EQ(HttpConnect("127.0.0.1", port, 5, 0, kVersion11, nullptr), kInvalidLibHandle);
  EXPECT_EQ(Error(), 10061u);
}

TEST_F(HttpSession, UrlCheckNamesAHostThatDoesNotResolve) {
  // A label longer than 63 characters: the resolver refuses it without sending a query.
  const std::string url = "http://" + std::string(64, 'a') + ".test/";
  HttpSetLastError(10060);  // left by an earlier call: not the reason for this one
  EXPECT_EQ(HttpIsValidUrl(url.c_str()), 0);
  EXPECT_EQ(Error(), 11001u);
  EXPECT_EQ(HttpIsValidUrl("http://127.0.0.1/x"), 1);
  EXPECT_EQ(HttpIsValidUrl("no url"), 0);
  EXPECT_EQ(Error(), 12271u);
}

TEST_F(HttpSession, ProxiedRequestsUseAbsoluteTargets) {
  ScriptServer proxy;
  auto heads = std::make_shared<Heads>();
  ReadHead(proxy, heads).Send("HTTP/1.1 200 OK\r\nContent-Length: 0\r\n\r\n");
  ReadHead(proxy, heads).Send("HTTP/1.1 200 OK\r\nContent-Length: 0\r\n\r\n");
  proxy.Start();
  const LibHandle h = HttpProxyConnect(1, proxy.address(), uint32_t(proxy.port()), "pu", "pp", "origin.test", 8080, 5,
                                       0x2, kVersion11, nullptr);
  ASSERT_NE(h, kInvalidLibHandle) << Error();
  EXPECT_EQ(HttpSendRequest(h, "GET", "/a?x=1", "y=2", 3, 0), 200);
  EXPECT_EQ(HttpEndRequest(h), 0);
  EXPECT_EQ(HttpSendRequest(h, "GET", "http://other.test:81/b", nullptr, 0, 0), 200);
  EXPECT_EQ(HttpEndRequest(h), 0);
  ASSERT_TRUE(proxy.Finish()) << proxy.failure();
  const auto first = heads->Get(0);
  EXPECT_EQ(first.at(0), "GET http://origin.test:8080/a?x=1&y=2 HTTP/1.1");
  EXPECT_TRUE(HasLine(first, "Host: origin.test:8080"));
  EXPECT_TRUE(HasLine(first, "Proxy-Authorization: Basic cHU6cHA="));
  EXPECT_EQ(heads->Get(1).at(0), "GET http://other.test:81/b HTTP/1.1");
  HttpDisconnect(h);
}

// The CONNECT names its target in authority form (an IPv6 literal in brackets), in the
// request line and in Host, as HTTP/1.1 asks of every request.
TEST_F(HttpSession, TunnelRefusedByTheProxy) {
  const struct {
    const char* host;
    uint32_t port;
    const char* target;
  } cases[] = {
      {"secure.test", 443, "secure.test:443"},
      {"::1", 443, "[::1]:443"},
      {"https://[::1]:8443/x", 0, "[::1]:8443"},
  };
  for (const auto& c : cases) {
    ScriptServer proxy;
    auto heads = std::make_shared<Heads>();
    ReadHead(proxy, heads).Send("HTTP/1.1 407 Proxy Authentication Required\r\nContent-Length: 0\r\n\r\n");
    proxy.Start();
    const LibHandle h = HttpProxyConnect(2, proxy.address(), uint32_t(proxy.port()), "u", "p", c.host, c.port, 5, 0x2,
                                         kVersion11, nullptr);
    EXPECT_EQ(h, kInvalidLibHandle);
    EXPECT_EQ(Error(), 12205u);
    ASSERT_TRUE(proxy.Finish()) << proxy.failure();
    const auto head = heads->Get(0);
    ASSERT_EQ(head.size(), 3u) << c.host;
    EXPECT_EQ(head[0], "CONNECT " + std::string(c.target) + " HTTP/1.1");
    EXPECT_EQ(head[1], "Host: " + std::string(c.target));
    EXPECT_EQ(head[2], "Proxy-Authorization: Basic dTpw");
  }
}

TEST_F(HttpSession, ServerClosedKeepAliveReconnectsSilently) {
  ScriptServer server;
  auto heads = std::make_shared<Heads>();
  ReadHead(server, heads).Send("HTTP/1.1 200 OK\r\nContent-Length: 1\r\n\r\na").Accept();
  ReadHead(server, heads).Send("HTTP/1.1 200 OK\r\nContent-Length: 1\r\n\r\nb");
  const LibHandle h = Connect(server, 0x2);
  char c = 0;
  EXPECT_EQ(HttpSendRequest(h, "GET", "/1", nullptr, 0, 0), 200);
  EXPECT_EQ(HttpRecv(h, &c, 1), 1);
  EXPECT_EQ(HttpEndRequest(h), 0);
  std::this_thread::sleep_for(200ms);  // the server has closed the first connection
  EXPECT_EQ(HttpSendRequest(h, "GET", "/2", nullptr, 0, 0), 200) << Error();
  EXPECT_EQ(HttpRecv(h, &c, 1), 1);
  EXPECT_EQ(c, 'b');
  ASSERT_TRUE(server.Finish()) << server.failure();
  HttpDisconnect(h);
}

TEST_F(HttpSession, FailedReconnectInvalidatesTheHandle) {
  auto server = std::make_unique<ScriptServer>();
  auto heads = std::make_shared<Heads>();
  ReadHead(*server, heads).Send("HTTP/1.1 200 OK\r\nContent-Length: 0\r\n\r\n");
  const LibHandle h = Connect(*server, 0x2);
  EXPECT_EQ(HttpSendRequest(h, "GET", "/", nullptr, 0, 0), 200);
  ASSERT_TRUE(server->Finish()) << server->failure();
  server.reset();  // nothing listens on its port any more
  EXPECT_EQ(HttpReconnect(h), -1);
  EXPECT_EQ(HttpGetTimeout(h), -1);
  EXPECT_EQ(Error(), 10038u);
}

TEST_F(HttpSession, SettingsAndOwnership) {
  const LibHandle h = HttpAllocSession();
  ASSERT_NE(h, kInvalidLibHandle);
  EXPECT_EQ(HttpGetTimeout(h), 20);
  EXPECT_EQ(HttpSetTimeout(h, 7200), 0);
  EXPECT_EQ(HttpGetTimeout(h), 3600);
  EXPECT_EQ(HttpGetPriority(h), 2);
  EXPECT_EQ(HttpSetPriority(h, 4), 2);
  EXPECT_EQ(HttpSetPriority(h, 5), -1);
  EXPECT_EQ(Error(), 10014u);
  EXPECT_EQ(HttpCancel(kInvalidLibHandle), -1);
  EXPECT_EQ(Error(), 12009u);
  std::thread([h] {
    EXPECT_EQ(HttpGetTimeout(h), -1);
    EXPECT_EQ(HttpGetLastError() & 0xFFFF, 10001u);
    EXPECT_EQ(HttpCancel(h), 0);  // no owner check
    EXPECT_EQ(HttpIsBlocked(h), 0);
  }).join();
}

uint64_t fakeNow = 0;
uint64_t FakeTicks() { return fakeNow; }

TEST_F(HttpSession, TransferStatistics) {
  const LibHandle h = HttpAllocSession();
  HttpClientSession* s = HttpGetSession(h);
  plat::SetTickSourceForTesting(&FakeTicks);
  fakeNow = 1000000;
  s->startTick = plat::GetTickCount();
  s->expectedLength = 3u << 20;
  s->bytesCopied = 1u << 20;
  fakeNow += 1000;
  HttpTransferStatus st{};
  ASSERT_EQ(HttpGetTransferStatus(h, &st), 0);
  EXPECT_EQ(st.remaining, 10u);  // 1 s or less elapsed: 10,000 ms
  fakeNow += 1;
  ASSERT_EQ(HttpGetTransferStatus(h, &st), 0);
  EXPECT_EQ(st.rate, 1u << 20);
  EXPECT_EQ(st.elapsed, 1u);
  EXPECT_EQ(st.remaining, 2u);
  s->options |= cvhttp::kOptMilliseconds;
  ASSERT_EQ(HttpGetTransferStatus(h, &st), 0);
  EXPECT_EQ(st.elapsed, 1001u);
  EXPECT_EQ(st.remaining, 2000u);
  s->endTick = plat::GetTickCount();
  fakeNow += 5000;
  ASSERT_EQ(HttpGetTransferStatus(h, &st), 0);
  EXPECT_EQ(st.remaining, st.elapsed);
  s->expectedLength = 0;
  s->startOffset = 5ull << 32;
  uint32_t small[5];
  ASSERT_EQ(HttpGetTransferStatus32(h, small), 0);
  EXPECT_EQ(small[0], 0xFFFFFFFFu);
  EXPECT_EQ(small[1], 0xFFFFFFFFu);
  // A resumed transfer: 2 MB were on disk, 1 MB of the other 2 MB came in a second. Its
  // rate and the time left count only what moved.
  const LibHandle resumed = HttpAllocSession();
  HttpClientSession* r = HttpGetSession(resumed);
  r->options |= cvhttp::kOptMilliseconds;
  r->startTick = plat::GetTickCount();
  r->startOffset = 2u << 20;
  r->expectedLength = 2u << 20;
  r->bytesCopied = 1u << 20;
  fakeNow += 1001;
  ASSERT_EQ(HttpGetTransferStatus(resumed, &st), 0);
  EXPECT_EQ(st.copied, 3u << 20);
  EXPECT_EQ(st.rate, 1u << 20);
  EXPECT_EQ(st.remaining, 1000u);
  fakeNow -= 1;
  ASSERT_EQ(HttpGetTransferStatus(resumed, &st), 0);
  EXPECT_EQ(st.rate, 1u << 20);  // within the first second: what moved so far
  plat::SetTickSourceForTesting(nullptr);
  EXPECT_EQ(HttpGetTransferStatus(h, nullptr), -1);
}

TEST_F(HttpSession, CancelFromAnotherThreadEndsAStalledRead) {
  ScriptServer server;
  auto heads = std::make_shared<Heads>();
  ReadHead(server, heads).Send("HTTP/1.1 200 OK\r\nContent-Length: 10\r\n\r\nab").Sleep(3s);
  const LibHandle h = Connect(server, 0x2, kVersion11, 0);  // timeout 0: no limit
  std::atomic<bool> done{false};
  std::thread canceller([&] {
    while (!done && !HttpIsBlocked(h)) std::this_thread::sleep_for(10ms);
    HttpCancel(h);
  });
  plat::HGLOBAL block = nullptr;
  uint32_t length = 0;
  EXPECT_EQ(HttpRetrieveData(h, "/", &block, &length, 0), -1);
  EXPECT_EQ(Error(), 10004u);
  done = true;
  canceller.join();
  server.Finish(5s);
  HttpDisconnect(h);
}

TEST_F(HttpSession, DetachFreesSessionsOfEveryThread) {
  LibHandle other = kInvalidLibHandle;
  std::thread([&] { other = HttpAllocSession(); }).join();
  const LibHandle mine = HttpAllocSession();
  ASSERT_NE(other, kInvalidLibHandle);
  HttpDetach();
  LibVersionInfo info{};
  info.size = sizeof info;
  info.options = kLibAttachFull;
  ASSERT_EQ(HttpAttach(&info), 1);
  EXPECT_EQ(HttpFindSession(other), nullptr);
  EXPECT_EQ(HttpFindSession(mine), nullptr);
}

}  // namespace
}  // namespace httptest
