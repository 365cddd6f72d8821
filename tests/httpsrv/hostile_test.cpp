// Hostile clients: oversized and malformed heads, bad lengths, stalled and vanished
// clients. Each is refused or dropped cleanly and the server keeps serving.
#include "httpsrv_util.h"

using namespace httpsrvtest;

TEST(HttpSrvHostile, MalformedHeadsAreRefused) {
  Server srv;
  srv.Write("a", "ok");
  std::string manyHeaders = "GET /a HTTP/1.1\r\nHost: l\r\n";
  for (int i = 0; i < 200; ++i) manyHeaders += "X-H" + std::to_string(i) + ": v\r\n";
  struct Case {
    std::string request;
    int status;  // 0: closed without a status line
  } cases[] = {
      {manyHeaders + "\r\n", 431},  // more than 64 headers
      {"GET /a HTTP/1.1\r\nHost: l\r\nX-Big: " + std::string(5000, 'v') + "\r\n\r\n", 431},
      {"GET /a HTTP/1.1\r\nHost: l\r\nX-Long: " + std::string(1500, 'v') + "\r\n\r\n", 431},  // was cut
      {"GET /a HTTP/1.1\r\nHost: l\r\nno colon here\r\n\r\n", 400},  // was closed without an answer
      {"POST /a HTTP/1.1\r\nHost: l\r\nContent-Length: -5\r\n\r\n", 400},
      {"POST /a HTTP/1.1\r\nHost: l\r\nContent-Length: 99999999999999999999\r\n\r\n", 400},
      {"POST /a HTTP/1.1\r\nHost: l\r\nTransfer-Encoding: chunked\r\n\r\n5\r\nhello\r\n0\r\n\r\n", 411},
      {std::string("\x16\x03\x01\x02\x00\x01\x00\x01\xfc\x03\x03", 11) + std::string(64, '\xAA') + "\r\n", 400},
      {std::string(300, ' ') + "a\r\n", 0},  // HTTP/0.9 other than GET: a page without status line
      {"GET " + std::string(300, 'x') + " " + std::string(300, 'y') + " HTTP/1.1\r\nHost: l\r\n\r\n", 400},
  };
  for (const Case& c : cases) {
    Response r = srv.Request(c.request);
    EXPECT_EQ(r.status, c.status) << c.request.substr(0, 80) << "\n" << r.raw.substr(0, 200);
  }
  EXPECT_EQ(srv.Get("/a").body, "ok");
}

TEST(HttpSrvHostile, TooManyTokensAnswered501) {
  Server srv;
  std::string line = "GET";
  for (int i = 0; i < 300; ++i) line += " t";
  EXPECT_EQ(srv.Request(line + " HTTP/1.1\r\nHost: l\r\n\r\n").status, 501);
}

TEST(HttpSrvHostile, ErrorPageEndsTheConnection) {
  Server srv;
  RawClient c(AF_INET, srv.port());
  ASSERT_TRUE(c.Send("BREW /a HTTP/1.1\r\nHost: l\r\nConnection: keep-alive\r\n\r\n"));
  Response r = c.ReadOne();
  EXPECT_EQ(r.status, 501);
  EXPECT_EQ(r.Header("Connection"), "close");
  EXPECT_TRUE(c.ClosedByPeer());
}

TEST(HttpSrvHostile, StalledClientsDoNotBlockOthers) {
  Server srv;
  srv.Write("a", "ok");
  std::vector<std::unique_ptr<RawClient>> stalled;
  for (int i = 0; i < 6; ++i) {
    stalled.push_back(std::make_unique<RawClient>(AF_INET, srv.port()));
    stalled.back()->Send("GET /a HTTP/1.1\r\nHost: l\r\nX-Slow: ");
  }
  auto body = std::make_unique<RawClient>(AF_INET, srv.port());
  body->Send("PUT /x HTTP/1.1\r\nHost: l\r\nContent-Length: 100000\r\n\r\npartial");
  // Another address's budget is untouched; this one still has room for one more.
  RawClient fresh(AF_INET, srv.port());
  fresh.Send("GET /a HTTP/1.1\r\nHost: l\r\n\r\n");
  EXPECT_EQ(Parse(fresh.ReadAll()).body, "ok");
  body.reset();  // vanishes mid-body
  stalled.clear();
  EXPECT_TRUE(Eventually([&] { return srv.Get("/a").body == "ok"; }));
  EXPECT_TRUE(fs::is_empty(srv.temp()));
}

TEST(HttpSrvHostile, PerAddressLimitRefusesExtraConnections) {
  HttpServerConfig config{};
  config.maxClientsPerAddress = 2;
  Server srv(0, AF_INET, &config);
  srv.Write("a", "ok");
  RawClient one(AF_INET, srv.port()), two(AF_INET, srv.port());
  one.Send("GET /a HTTP/1.1\r\nHost: l\r\nX-Wait: ");
  two.Send("GET /a HTTP/1.1\r\nHost: l\r\nX-Wait: ");
  ASSERT_TRUE(Eventually([&] { return HttpServerGetClientIds(srv.handle(), nullptr, 0) == 2; }));
  RawClient third(AF_INET, srv.port());
  third.Send("GET /a HTTP/1.1\r\nHost: l\r\n\r\n");
  EXPECT_EQ(third.ReadAll(3000), "");
}

TEST(HttpSrvHostile, StopWithClientsConnected) {
  auto srv = std::make_unique<Server>();
  srv->Write("a", "ok");
  RawClient c(AF_INET, srv->port());
  c.Send("GET /a HTTP/1.1\r\nHost: l\r\nX-Wait: ");
  std::this_thread::sleep_for(std::chrono::milliseconds(100));
  srv.reset();
  EXPECT_TRUE(c.ClosedByPeer());
}

TEST(HttpSrvHostile, TricklingHeadEndsWithinTheIdleTime) {
  HttpServerConfig config{};
  config.idleTime = 10;
  Server srv(0, AF_INET, &config);
  RawClient c(AF_INET, srv.port());
  c.Send("GET /a HTTP/1.1\r\nHost: l\r\nX-Slow: ");
  // One byte every 400 ms keeps every single read short; the head as a whole may not take
  // longer than the idle time.
  std::atomic<bool> closed{false};
  std::thread trickle([&] {
    for (int i = 0; i < 75 && !closed; ++i) {
      if (!c.Send("a")) break;
      std::this_thread::sleep_for(std::chrono::milliseconds(400));
    }
  });
  closed = c.ClosedByPeer(30000);
  trickle.join();
  EXPECT_TRUE(closed);
}

TEST(HttpSrvHostile, StopEndsAProgramStillRunning) {
  HttpServerConfig config{};
  config.execTime = 30;
  auto srv = std::make_unique<Server>(0, AF_INET, &config);
  const fs::path p = srv->dir() / "slow.sh";
  std::ofstream(p) << "#!/bin/sh\nsleep 20\n";
  fs::permissions(p, fs::perms(0755));
  ASSERT_EQ(HttpServerRegisterProgram(srv->handle(), 0, "/slow", p.c_str(), nullptr, nullptr), 1);
  RawClient c(AF_INET, srv->port());
  c.Send("GET /slow HTTP/1.1\r\nHost: l\r\n\r\n");
  ASSERT_TRUE(Eventually([&] { return srv->owner.Count(httpEventCommand) == 1; }));
  const auto start = std::chrono::steady_clock::now();
  srv.reset();  // stop and detach: no client thread of the server may outlive them
  EXPECT_LT(std::chrono::steady_clock::now() - start, std::chrono::seconds(15));
  EXPECT_TRUE(c.ClosedByPeer());
}
