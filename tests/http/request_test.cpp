// The request composer against a scripted server: request lines, default headers, the
// persistence of request headers and the request-open rule.
#include <string>

#include "http_fixture.h"

namespace httptest {
namespace {

using namespace std::chrono_literals;
using cvtest::ScriptServer;

const char* kOk = "HTTP/1.1 200 OK\r\nContent-Length: 2\r\n\r\nok";

class HttpRequest : public Http {};

TEST_F(HttpRequest, RequestLinesAndTargets) {
  ScriptServer server;
  auto heads = std::make_shared<Heads>();
  for (int i = 0; i < 7; ++i) ReadHead(server, heads).Send(kOk);
  const LibHandle h = Connect(server, 0x2);
  const std::string self = "http://" + std::string(server.address()) + ":" + std::to_string(server.port());
  EXPECT_EQ(HttpSendRequest(h, "get", (self + "/a/b?x=1").c_str(), nullptr, 0, 0), 200);
  EXPECT_EQ(HttpEndRequest(h), 0);
  EXPECT_EQ(HttpSendRequest(h, "GET", "/q?a=1", "b=2", 3, 0), 200);
  EXPECT_EQ(HttpEndRequest(h), 0);
  EXPECT_EQ(HttpSendRequest(h, "GET", "rel/path", "b c", 3, 0), 200);
  EXPECT_EQ(HttpEndRequest(h), 0);
  EXPECT_EQ(HttpSendRequest(h, "SEARCH", "rel", nullptr, 0, 0), 200);
  EXPECT_EQ(HttpEndRequest(h), 0);
  EXPECT_EQ(HttpSendRequest(h, "GET", "/a b/c?q=x y", nullptr, 0, 0), 200);
  EXPECT_EQ(HttpEndRequest(h), 0);
  // A URL's fragment stays with the client; in a plain path "#" is part of the name.
  EXPECT_EQ(HttpSendRequest(h, "GET", (self + "/f?x=1#frag").c_str(), nullptr, 0, 0), 200);
  EXPECT_EQ(HttpEndRequest(h), 0);
  EXPECT_EQ(HttpSendRequest(h, "GET", "/g#1", nullptr, 0, 0), 200);
  EXPECT_EQ(HttpEndRequest(h), 0);
  ASSERT_TRUE(server.Finish()) << server.failure();
  EXPECT_EQ(heads->Get(0).at(0), "GET /a/b?x=1 HTTP/1.1");
  EXPECT_EQ(heads->Get(1).at(0), "GET /q?a=1&b=2 HTTP/1.1");
  EXPECT_EQ(heads->Get(2).at(0), "GET /rel/path?b%20c HTTP/1.1");
  EXPECT_EQ(heads->Get(3).at(0), "SEARCH rel HTTP/1.1");
  EXPECT_EQ(heads->Get(4).at(0), "GET /a%20b/c?q=x%20y HTTP/1.1");
  EXPECT_EQ(heads->Get(5).at(0), "GET /f?x=1 HTTP/1.1");
  EXPECT_EQ(heads->Get(6).at(0), "GET /g%231 HTTP/1.1");
  HttpDisconnect(h);
}

TEST_F(HttpRequest, DefaultHeadersAndTheirPersistence) {
  ScriptServer server;
  auto heads = std::make_shared<Heads>();
  ReadHead(server, heads).Send(kOk);
  ReadHead(server, heads).Send(kOk);
  const LibHandle h = Connect(server, 0x2 | 0x1);
  ASSERT_EQ(HttpSetRequestHeader(h, "X-Custom", "one"), 1);
  ASSERT_EQ(HttpSetAuthentication(h, 1, "user", "pass"), 0);
  EXPECT_EQ(HttpSendRequest(h, "GET", "/", nullptr, 0, 0), 200);
  EXPECT_EQ(HttpEndRequest(h), 0);
  EXPECT_EQ(HttpSendRequest(h, "POST", "/form", "a=1 2", 5, 0), 200);
  EXPECT_EQ(HttpEndRequest(h), 0);
  ASSERT_TRUE(server.Finish()) << server.failure();
  const auto get = heads->Get(0);
  EXPECT_TRUE(HasLine(get, "X-Custom: one"));
  EXPECT_TRUE(HasLine(get, "Accept: */*"));
  EXPECT_TRUE(HasLine(get, "Cache-Control: no-cache, no-store"));
  EXPECT_TRUE(HasLine(get, "Authorization: Basic dXNlcjpwYXNz"));
  EXPECT_TRUE(HasPrefix(get, "User-Agent: Mozilla/5.0"));
  EXPECT_TRUE(HasLine(get, "Host: 127.0.0.1:" + std::to_string(server.port())));
  EXPECT_FALSE(HasPrefix(get, "Connection:"));  // keep-alive is HTTP/1.1's default
  const auto post = heads->Get(1);
  EXPECT_EQ(post.at(0), "POST /form HTTP/1.1");
  EXPECT_TRUE(HasLine(post, "X-Custom: one"));
  EXPECT_TRUE(HasLine(post, "Content-Type: application/x-www-form-urlencoded"));
  EXPECT_TRUE(HasLine(post, "Content-Length: 7"));  // a=1%202
  HttpDisconnect(h);
}

// A header name is a token; anything else is refused before it could reach the wire.
TEST_F(HttpRequest, HeaderNamesMustBeTokens) {
  ScriptServer server;
  const LibHandle h = Connect(server, 0x2);
  const struct {
    const char* name;
    int32_t result;
  } cases[] = {
      {"X-Fine_1.2~!", 1}, {"  X-Leading-Blanks", 1}, {"X Blank", 0}, {"X-Trailing ", 0}, {"X\tTab", 0},
      {"X\x01", 0},        {"X\x7f", 0},              {"X-\xc3\xa9", 0}, {"X:Colon", 0},       {"X(paren)", 0},
  };
  for (const auto& c : cases) {
    EXPECT_EQ(HttpSetRequestHeader(h, c.name, "v"), c.result) << c.name;
    if (c.result == 0) {
      EXPECT_EQ(Error(), 10014u) << c.name;
    }
  }
  HttpDisconnect(h);
}

TEST_F(HttpRequest, Http10AndHttp09) {
  {
    ScriptServer server;
    auto heads = std::make_shared<Heads>();
    ReadHead(server, heads).Send("HTTP/1.0 200 OK\r\n\r\nbody").Close();
    const LibHandle h = Connect(server, 0x20, kVersion10);
    EXPECT_EQ(HttpSendRequest(h, "HEAD", "/x", nullptr, 0, 0), 200);
    ASSERT_TRUE(server.Finish()) << server.failure();
    const auto head = heads->Get(0);
    EXPECT_EQ(head.at(0), "HEAD /x HTTP/1.0");
    EXPECT_FALSE(HasPrefix(head, "Host:"));  // dotted numeric host
    EXPECT_FALSE(HasPrefix(head, "User-Agent:"));
    EXPECT_FALSE(HasPrefix(head, "Connection:"));
    HttpDisconnect(h);
  }
  {
    ScriptServer server;
    server.Expect("GET /old").Send("raw body").Close();
    const LibHandle h = Connect(server, 0, kVersion09);
    EXPECT_EQ(HttpSendRequest(h, "GET", "/old", nullptr, 0, 0), 200);
    char buffer[64] = {};
    int32_t n = 0, total = 0;
    while ((n = HttpRecv(h, buffer + total, int32_t(sizeof buffer) - 1 - total)) > 0) total += n;
    EXPECT_EQ(std::string(buffer, size_t(total)), "raw body");
    ASSERT_TRUE(server.Finish()) << server.failure();
    HttpDisconnect(h);
  }
}

TEST_F(HttpRequest, OpenRequestRefusesTheNextAndErrors) {
  ScriptServer server;
  auto heads = std::make_shared<Heads>();
  ReadHead(server, heads).Send(kOk);
  const LibHandle h = Connect(server, 0x2);
  EXPECT_EQ(HttpSendRequest(h, "GET", "/", nullptr, 0, 0), 200);
  EXPECT_EQ(HttpSendRequest(h, "GET", "/", nullptr, 0, 0), -1);
  EXPECT_EQ(Error(), 12221u);
  EXPECT_EQ(HttpSendRequest(h, "", "/", nullptr, 0, 0), -1);
  EXPECT_EQ(Error(), 12214u);
  EXPECT_EQ(HttpSendRequest(h, "GET", "", nullptr, 0, 0), -1);
  EXPECT_EQ(Error(), 12271u);
  EXPECT_EQ(HttpSendRequest(h, "GET", "/", nullptr, 0, 1), -1);
  EXPECT_EQ(Error(), 10014u);
  EXPECT_EQ(HttpSendRequest(h, "GET /x HTTP/1.1\r\nX: y", "/", nullptr, 0, 0), -1);
  EXPECT_EQ(Error(), 12214u);
  EXPECT_EQ(HttpSetRequestHeader(h, "X-Bad", "a\r\nInjected: 1"), 0);
  EXPECT_EQ(Error(), 10014u);
  const std::string longPath = "/" + std::string(600, 'a') + "?q";
  EXPECT_EQ(HttpEndRequest(h), 0);
  EXPECT_EQ(HttpSendRequest(h, "GET", longPath.c_str(), nullptr, 0, 0), -1);
  EXPECT_EQ(Error(), 10008u);
  ASSERT_TRUE(server.Finish()) << server.failure();
  HttpDisconnect(h);
}

// A failed JSON post is a failure (-1), whether the server answered with an error or not
// at all; the caller's content type survives it.
TEST_F(HttpRequest, FailedJsonPostsReturnMinusOne) {
  for (const char* answer : {"HTTP/1.1 404 Not Found\r\nContent-Length: 0\r\n\r\n", ""}) {
    ScriptServer server;
    auto heads = std::make_shared<Heads>();
    ReadHead(server, heads).Send(answer).Close();
    const LibHandle h = Connect(server, 0x2);
    ASSERT_EQ(HttpSetRequestHeader(h, "Content-Type", "text/plain"), 1);
    plat::HGLOBAL block = nullptr;
    uint32_t length = 0;
    EXPECT_EQ(HttpPostJson(h, "/j", "{}", &block, &length, 0), -1) << answer;
    EXPECT_NE(Error(), 0u);
    char type[32];
    ASSERT_EQ(HttpGetRequestHeader(h, "Content-Type", type, sizeof type), 1);
    EXPECT_STREQ(type, "text/plain");
    server.Finish(2s);
    HttpDisconnect(h);
  }
}

TEST_F(HttpRequest, ClosedConnectionWithoutKeepAlive) {
  ScriptServer server;
  auto heads = std::make_shared<Heads>();
  ReadHead(server, heads).Send("HTTP/1.1 200 OK\r\nConnection: close\r\n\r\nall").Close();
  const LibHandle h = Connect(server, 0);
  uint32_t length = 0;
  plat::HGLOBAL block = nullptr;
  EXPECT_EQ(HttpRetrieveData(h, "/", &block, &length, 0), 200);
  EXPECT_EQ(length, 3u);
  plat::GlobalFree(block);
  EXPECT_EQ(HttpSendRequest(h, "GET", "/", nullptr, 0, 0), -1);
  EXPECT_EQ(Error(), 12256u);
  ASSERT_TRUE(server.Finish()) << server.failure();
  EXPECT_TRUE(HasLine(heads->Get(0), "Connection: Close"));
  HttpDisconnect(h);
}

TEST_F(HttpRequest, ExpectContinueSendsTheBodyAfterFiveSeconds) {
  ScriptServer server;
  auto heads = std::make_shared<Heads>();
  ReadHead(server, heads).Expect("data=1").Send(kOk);
  const LibHandle h = Connect(server, 0x2, kVersion11, 30);
  HttpSetRequestHeader(h, "Expect", "100-Continue");
  const std::string body = "data=1\n";
  const auto start = std::chrono::steady_clock::now();
  EXPECT_EQ(HttpSendRequest(h, "PATCH", "/p", body.data(), uint32_t(body.size()), 0), 200) << Error();
  EXPECT_GE(std::chrono::steady_clock::now() - start, 4s);
  EXPECT_EQ(HttpGetTimeout(h), 30);
  ASSERT_TRUE(server.Finish()) << server.failure();
  HttpDisconnect(h);
}

TEST_F(HttpRequest, ExpectContinueWithInterimResponse) {
  ScriptServer server;
  auto heads = std::make_shared<Heads>();
  ReadHead(server, heads).Send("HTTP/1.1 100 Continue\r\n\r\n").Expect("x=2").Send(kOk);
  const LibHandle h = Connect(server, 0x2);
  HttpSetRequestHeader(h, "Expect", "100-continue");
  EXPECT_EQ(HttpSendRequest(h, "PATCH", "/p", "x=2\n", 4, 0), 200) << Error();
  ASSERT_TRUE(server.Finish()) << server.failure();
  HttpDisconnect(h);
}

}  // namespace
}  // namespace httptest
