// Responses the owner sends during the command event: headers, caching, redirects and
// user home directories.
#include "httpsrv_util.h"

using namespace httpsrvtest;

namespace {

// Answers every command event with fn (on the client's thread).
void AnswerWith(Server& srv, std::function<void(uint64_t, uint32_t)> fn) {
  srv.owner.hook = [fn](uint64_t server, uint32_t id, uint32_t event) {
    if (event == httpEventCommand) fn(server, id);
  };
}

}  // namespace

TEST(HttpSrvResponse, HeaderTableRules) {
  Server srv;
  AnswerWith(srv, [](uint64_t server, uint32_t id) {
    HttpSetResponseHeader(server, id, "Set-Cookie", "a=1");
    HttpSetResponseHeader(server, id, "Set-Cookie", "b=2");
    HttpSetResponseHeader(server, id, "X-Kept", "first");
    HttpSetResponseHeader(server, id, "x-kept", "last");
    HttpSetResponseHeader(server, id, "X-Gone", "soon");
    HttpSetResponseHeader(server, id, "X-Gone", "");
    HttpSendResponse(server, id, httpSendText, nullptr, "body", 4);
  });
  Response r = srv.Get("/anything");
  EXPECT_EQ(r.status, 200);
  int cookies = 0;
  for (auto& h : r.headers) cookies += h.first == "Set-Cookie";
  EXPECT_EQ(cookies, 2);
  EXPECT_EQ(r.Header("X-Kept"), "last");
  EXPECT_FALSE(r.Has("X-Gone"));
  EXPECT_EQ(r.body, "body");
  // The fixed headers come first, in their order.
  ASSERT_GE(r.headers.size(), 3u);
  EXPECT_EQ(r.headers[0].first, "Date");
  EXPECT_EQ(r.headers[1].first, "Server");
}

TEST(HttpSrvResponse, CachingHeaders) {
  HttpServerConfig config{};
  config.cacheLifetime = 7200;
  Server srv(0, AF_INET, &config);
  srv.Write("a.txt", "x");
  Response r = srv.Get("/a.txt");
  EXPECT_EQ(r.Header("Cache-Control"), "max-age=7200, proxy-revalidate");
  EXPECT_FALSE(r.Header("Expires").empty());
  EXPECT_NE(r.Header("Expires"), r.Header("Date"));
  Response head = srv.Request("HEAD /a.txt HTTP/1.1\r\nHost: l\r\n\r\n");
  EXPECT_FALSE(head.Has("Cache-Control"));
  EXPECT_EQ(head.Header("Content-Length"), "1");

  Server plain;  // a record with lifetime 0: not cacheable
  plain.Write("a.txt", "x");
  Response p = plain.Get("/a.txt");
  EXPECT_EQ(p.Header("Cache-Control"), "private, no-cache, proxy-revalidate");
  EXPECT_EQ(p.Header("Pragma"), "no-cache");
  EXPECT_FALSE(p.Has("Expires"));
}

TEST(HttpSrvResponse, RedirectKindsByVersion) {
  Server srv;
  AnswerWith(srv, [](uint64_t server, uint32_t id) { HttpRedirectRequest(server, id, 2, "/new/../target?q=a b"); });
  Response old = srv.Request("GET /x HTTP/1.0\r\n\r\n");
  EXPECT_EQ(old.status, 302);
  Response now = srv.Get("/x");
  EXPECT_EQ(now.status, 307);
  EXPECT_EQ(now.Header("Location"), "http://localhost:" + std::to_string(srv.port()) + "/target?q=a%20b");
  EXPECT_NE(now.body.find("The document has moved <a href=\""), std::string::npos);
}

TEST(HttpSrvResponse, OwnerReadsTheBody) {
  Server srv;
  std::mutex lock;
  std::string seen;
  AnswerWith(srv, [&](uint64_t server, uint32_t id) {
    char buffer[64] = {};
    uint32_t size = sizeof buffer;
    HttpRequestInfo info{};
    info.size = sizeof info;
    if (HttpReadRequest(server, id, httpReadText, &info, buffer, &size)) {
      std::lock_guard lk(lock);
      seen = std::string(info.method) + " " + info.contentType + " " + buffer;
    }
    const int32_t again = HttpReadRequest(server, id, httpReadText, nullptr, buffer, &size);
    HttpSendResponse(server, id, httpSendText, nullptr, again ? "twice" : "once", 5);
  });
  Response r = srv.Request("POST /f HTTP/1.1\r\nHost: l\r\nContent-Type: text/x\r\nContent-Length: 5\r\n\r\nhello");
  EXPECT_EQ(r.body, "once");
  std::lock_guard lk(lock);
  EXPECT_EQ(seen, "POST text/x hello");
}

TEST(HttpSrvResponse, MultiUserHomeDirectories) {
  Server srv(httpServerMultiUser);
  const fs::path home = srv.dir() / "homes" / "dave";
  fs::create_directories(home);
  std::ofstream(home / "page.txt") << "dave's page";
  ASSERT_EQ(HttpServerAddUser(srv.handle(), 0, httpAccessDefault, "dave", "pw", home.c_str()), 1);
  EXPECT_EQ(srv.Get("/~dave/page.txt").body, "dave's page");
  EXPECT_EQ(srv.Get("/~nobody/page.txt").status, 404);
  std::ofstream(srv.dir() / "homes" / "secret.txt") << "secret";
  EXPECT_EQ(srv.Get("/~dave/%2e%2e/secret.txt").body.find("secret"), std::string::npos);
}
