// Reading response heads against a scripted server: line rules, interim responses, the
// status table, redirects, header lookups, and malformed or hostile responses.
#include <algorithm>
#include <cstdio>
#include <functional>
#include <string>
#include <vector>

#include "http_fixture.h"

namespace httptest {
namespace {

using namespace std::chrono_literals;
using cvtest::ScriptServer;

class HttpResponse : public Http {
 protected:
  // One request whose response is the given bytes; the status (or -1).
  int32_t OneRequest(const std::string& response, uint32_t options = 0x2, uint32_t version = kVersion11) {
    auto heads = std::make_shared<Heads>();
    ReadHead(server_, heads).Send(response);
    h_ = Connect(server_, options, version);
    return HttpSendRequest(h_, "GET", "/r", nullptr, 0, 0);
  }
  std::string Header(const char* name) {
    char value[256] = {};
    return HttpGetResponseHeader(h_, name, value, sizeof value) ? value : "<absent>";
  }
  void TearDown() override {
    server_.Finish(2s);
    if (h_ != kInvalidLibHandle) HttpDisconnect(h_);
    Http::TearDown();
  }
  ScriptServer server_;
  LibHandle h_ = kInvalidLibHandle;
};

TEST_F(HttpResponse, LineRulesAndLookups) {
  ASSERT_EQ(OneRequest("HTTP/1.1 200  All   Fine\r\n"
                       "  X-Runs:  a   b    c\r\n"
                       "X-Quoted: \"a   b\"   c\r\n"
                       "no colon here\r\n"
                       "X-Dup: first\r\n"
                       "X-Dup: second\r\n"
                       "X-Five: 12345\r\n"
                       "Content-Length: 0\r\n\r\n"),
            200);
  EXPECT_EQ(Header("x-runs"), "a b c");
  EXPECT_EQ(Header("X-Quoted"), "\"a   b\" c");
  EXPECT_EQ(Header("X-Dup"), "first");
  EXPECT_EQ(Header("no colon here"), "<absent>");
  char text[2048];
  EXPECT_EQ(HttpGetResultString(h_, text), 8);
  EXPECT_STREQ(text, "All Fine");
  char five[5];
  uint32_t size = sizeof five;
  EXPECT_EQ(HttpFindHeader(h_, 1, "X-Five", five, &size), 0);
  EXPECT_EQ(Error(), 10023u);
  size = 0;
  EXPECT_EQ(HttpFindHeader(h_, 1, "X-Five", nullptr, &size), 1);
  EXPECT_EQ(size, 5u);
  EXPECT_EQ(HttpFindHeader(h_, 1, "X-Five", nullptr, nullptr), 0);
  EXPECT_EQ(HttpFindHeader(h_, 2, "X-Five", nullptr, &size), 0);
  EXPECT_EQ(Error(), 10014u);
  // An empty body announced with length 0 ends at once.
  char body[8];
  EXPECT_EQ(HttpRecv(h_, body, sizeof body), 0);
}

TEST_F(HttpResponse, InterimResponseSkippedOnHttp11) {
  ASSERT_EQ(OneRequest("HTTP/1.1 100 Continue\r\n\r\nHTTP/1.1 200 OK\r\nContent-Length: 0\r\n\r\n"), 200);
}

TEST_F(HttpResponse, InterimResponseIsTheAnswerOnHttp10) {
  ASSERT_EQ(OneRequest("HTTP/1.1 100 Continue\r\n\r\n", 0, kVersion10), 100);
}

TEST_F(HttpResponse, StatusTable) {
  struct Case {
    int32_t status;
    uint32_t options;
    int32_t result;
    uint32_t error;
  } cases[] = {
      {304, 0, -1, 12274}, {404, 0, -1, 12275}, {599, 0, -1, 12205}, {404, 0x10, 404, 0},
      {503, 0, -1, 12207}, {418, 0, -1, 12205}, {202, 0, 202, 0},    {302, 0, 302, 0},
  };
  for (const Case& c : cases) {
    ScriptServer server;
    auto heads = std::make_shared<Heads>();
    ReadHead(server, heads).Send("HTTP/1.1 " + std::to_string(c.status) + " X\r\nContent-Length: 0\r\n\r\n");
    const LibHandle h = Connect(server, c.options);
    EXPECT_EQ(HttpSendRequest(h, "GET", "/", nullptr, 0, 0), c.result) << c.status;
    if (c.result == -1) {
      EXPECT_EQ(Error(), c.error) << c.status;
    }
    EXPECT_EQ(HttpGetResultCode(h), c.status);
    server.Finish(2s);
    HttpDisconnect(h);
  }
  EXPECT_EQ(HttpStatusToError(416), 0x80040000u | 12281u);
  EXPECT_EQ(HttpStatusToError(399), 0u);
}

TEST_F(HttpResponse, MalformedHeadsAreCleanErrors) {
  struct Case {
    const char* response;
    uint32_t error;
  } cases[] = {
      {"HTTP/1.1 abc Bad\r\n\r\n", 12204},
      {"HTTP/1.1\r\n\r\n", 12204},
      {"HTTP/1.1 2000 Long\r\n\r\n", 12204},
      {"garbage line\r\n\r\n", 12204},
      {"HTTP/1.1 200 OK\r\nContent-Length: 12x\r\n\r\n", 12204},
      {"HTTP/1.1 200 OK\r\nContent-Length: 99999999999999999999999\r\n\r\n", 12204},
      {"HTTP/1.1 200 OK\r\nContent-Length: 5 0\r\n\r\nhello", 12204},
      {"HTTP/1.1 200 OK\r\nContent-Length: 5 7\r\n\r\nhello", 12204},
      {"HTTP/1.1 200 OK\r\nContent-Length: 5 \r\n\r\nhello", 0},
      {"HTTP/1.1 200 OK\r\nContent-Length: 2\r\ncontent-length: 2\r\n\r\nab", 0},
      {"HTTP/1.1 206 Partial Content\r\nContent-Range: bytes 3-5/6\r\nContent-Length: 3\r\n\r\ndef", 12204},
      {"HTTP/1.1 200 OK\r\nX: y", 0},  // closed inside the head: the status line counts
      {"HTTP/1.", 12256},              // closed before a status line
  };
  for (const Case& c : cases) {
    ScriptServer server;
    auto heads = std::make_shared<Heads>();
    ReadHead(server, heads).Send(c.response).Close();
    const LibHandle h = Connect(server, 0x2);
    const int32_t r = HttpSendRequest(h, "GET", "/", nullptr, 0, 0);
    if (c.error) {
      EXPECT_EQ(r, -1) << c.response;
      EXPECT_EQ(Error(), c.error) << c.response;
    } else {
      EXPECT_EQ(r, 200) << c.response;
    }
    server.Finish(2s);
    HttpDisconnect(h);
  }
}

// The size of a resource is no surer than the length it is read from.
TEST_F(HttpResponse, SizeQueryRefusesAMalformedLength) {
  auto heads = std::make_shared<Heads>();
  ReadHead(server_, heads).Send("HTTP/1.1 200 OK\r\nContent-Length: 5 0\r\n\r\n");
  h_ = Connect(server_, 0x2);
  uint64_t size = 9;
  EXPECT_EQ(HttpQueryFileSize(h_, "/f", &size), -1);
  EXPECT_EQ(Error(), 12204u);
  EXPECT_EQ(size, 0u);
}

// Two lengths leave the end of the body unknown: the connection goes, and nothing of this
// response is read as the next one.
TEST_F(HttpResponse, DifferentLengthsCloseTheConnection) {
  auto heads = std::make_shared<Heads>();
  ReadHead(server_, heads).Send("HTTP/1.1 200 OK\r\nContent-Length: 3\r\nContent-Length: 26\r\n\r\n"
                                "abcHTTP/1.1 200 OK\r\n\r\nevil");
  server_.Accept();
  ReadHead(server_, heads).Send("HTTP/1.1 200 OK\r\nContent-Length: 4\r\n\r\nfine");
  h_ = Connect(server_, 0x2);
  plat::HGLOBAL block = nullptr;
  uint32_t length = 0;
  EXPECT_EQ(HttpRetrieveData(h_, "/one", &block, &length, 0), -1);
  EXPECT_EQ(Error(), 12204u);
  ASSERT_EQ(HttpRetrieveData(h_, "/two", &block, &length, 0), 200) << Error();
  EXPECT_EQ(std::string(static_cast<const char*>(plat::GlobalLock(block)), length), "fine");
  plat::GlobalUnlock(block);
  plat::GlobalFree(block);
  ASSERT_TRUE(server_.Finish()) << server_.failure();
}

TEST_F(HttpResponse, HeadLimits) {
  // One endless header line is cut and kept; endless header lines are refused.
  std::string response = "HTTP/1.1 200 OK\r\nX-Long: " + std::string(100000, 'a') + "\r\nContent-Length: 0\r\n\r\n";
  ASSERT_EQ(OneRequest(response), 200);
  char value[70000];
  uint32_t size = sizeof value;
  EXPECT_EQ(HttpFindHeader(h_, 1, "X-Long", value, &size), 1);
  EXPECT_EQ(size, 65535u - 8u);
  ScriptServer server;
  auto heads = std::make_shared<Heads>();
  std::string many = "HTTP/1.1 200 OK\r\n";
  for (int i = 0; i < 2000; ++i) many += "X-" + std::to_string(i) + ": v\r\n";
  ReadHead(server, heads).Send(many + "\r\n");
  const LibHandle h = Connect(server, 0x2);
  EXPECT_EQ(HttpSendRequest(h, "GET", "/", nullptr, 0, 0), -1);
  EXPECT_EQ(Error(), 12204u);
  server.Finish(2s);
  HttpDisconnect(h);
}

TEST_F(HttpResponse, StalledServerTimesOut) {
  auto heads = std::make_shared<Heads>();
  ReadHead(server_, heads).Sleep(2500ms);
  server_.Start();
  h_ = HttpConnect(server_.address(), uint32_t(server_.port()), 1, 0x2, kVersion11, nullptr);
  ASSERT_NE(h_, kInvalidLibHandle);
  EXPECT_EQ(HttpSendRequest(h_, "GET", "/", nullptr, 0, 0), -1);
  EXPECT_EQ(Error(), 10060u);
}

// Timeout bounds a whole response head, however the server spins it out: interim responses
// without end, header lines one by one, or a body coded in an order we must undo.
TEST_F(HttpResponse, HostileHeadsEndWithinTheTimeout) {
  constexpr uint32_t kTimeout = 5;
  const std::string data(100000, 'g');
  std::string chunked;
  const std::string gzip = Compress(data, 31);
  for (size_t i = 0; i < gzip.size(); i += 1000) {
    const std::string piece = gzip.substr(i, 1000);
    char size[16];
    std::snprintf(size, sizeof size, "%zx\r\n", piece.size());
    chunked += size + piece + "\r\n";
  }
  chunked += "0\r\n\r\n";
  struct Case {
    const char* what;
    std::function<void(ScriptServer&)> script;
    int32_t result;
    std::vector<uint32_t> errors;  // any of these
  } cases[] = {
      {"interim responses in a stream",
       [](ScriptServer& s) { s.Trickle("HTTP/1.1 100 Continue\r\n\r\n", 20ms); },
       -1,
       {12204, 10060}},
      {"interim responses one by one",
       [](ScriptServer& s) { s.Trickle("HTTP/1.1 102 Processing\r\n\r\n", 500ms); },
       -1,
       {12204, 10060}},
      {"header lines one by one",
       [](ScriptServer& s) { s.Send("HTTP/1.1 200 OK\r\n").Trickle("X-Slow: v\r\n", 500ms); },
       -1,
       {10060}},
      {"gzip, then chunked",
       [&](ScriptServer& s) {
         // The connection stays open: only the codings say where the body ends.
         s.Send("HTTP/1.1 200 OK\r\nTransfer-Encoding: gzip, chunked\r\n\r\n" + chunked).Trickle("", 50ms);
       },
       200,
       {}},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.what);
    ScriptServer server;
    auto heads = std::make_shared<Heads>();
    c.script(ReadHead(server, heads));
    const LibHandle h = Connect(server, 0x2, kVersion11, kTimeout);
    plat::HGLOBAL block = nullptr;
    uint32_t length = 0;
    const auto start = std::chrono::steady_clock::now();
    const int32_t r = HttpRetrieveData(h, "/", &block, &length, 0);
    EXPECT_LT(std::chrono::steady_clock::now() - start, std::chrono::seconds(kTimeout + 1));
    EXPECT_EQ(r, c.result);
    if (r == -1) {
      EXPECT_NE(std::find(c.errors.begin(), c.errors.end(), Error()), c.errors.end()) << Error();
    } else if (block) {
      EXPECT_EQ(std::string(static_cast<const char*>(plat::GlobalLock(block)), length), data);
      plat::GlobalUnlock(block);
      plat::GlobalFree(block);
    }
    HttpDisconnect(h);
  }
}

TEST_F(HttpResponse, RedirectsWithoutFollowing) {
  ASSERT_EQ(OneRequest("HTTP/1.1 301 Moved\r\nLocation: /elsewhere\r\nContent-Length: 0\r\n\r\n"), 301);
  EXPECT_EQ(Header("Location"), "/elsewhere");
}

TEST_F(HttpResponse, FollowsThreeRedirectsAndFailsTheFourth) {
  for (int limit : {3, 4}) {
    ScriptServer server;
    auto heads = std::make_shared<Heads>();
    for (int i = 1; i <= limit; ++i) {
      ReadHead(server, heads).Send("HTTP/1.1 302 Found\r\nLocation: /r" + std::to_string(i) +
                                   "\r\nContent-Length: 0\r\n\r\n");
      server.Accept();  // the library opens a new connection for each redirect
    }
    ReadHead(server, heads).Send("HTTP/1.1 200 OK\r\nContent-Length: 4\r\n\r\nlast");
    const LibHandle h = Connect(server, 0x2 | 0x4);
    const int32_t r = HttpSendRequest(h, "GET", "/r0", nullptr, 0, 0);
    if (limit == 3) {
      EXPECT_EQ(r, 200);
      char body[8] = {};
      EXPECT_EQ(HttpRecv(h, body, sizeof body), 4);
      EXPECT_STREQ(body, "last");
      ASSERT_TRUE(server.Finish()) << server.failure();
      EXPECT_EQ(heads->Get(3).at(0), "GET /r3 HTTP/1.1");
    } else {
      EXPECT_EQ(r, -1);
      EXPECT_EQ(Error(), 12272u);
      server.Finish(2s);
    }
    HttpDisconnect(h);
  }
}

}  // namespace
}  // namespace httptest
