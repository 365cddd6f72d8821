// Keep-alive follows the server's answer, not only the request: a server that says it will
// close (HTTP/1.0 without keep-alive, or "Connection: close") gets a new connection for the
// next request even when its close has not reached us yet.
#include <sys/socket.h>

#include <string>

#include "http_fixture.h"

namespace httptest {
namespace {

using namespace std::chrono_literals;
using cvtest::ScriptServer;

std::string GetText(LibHandle h, const char* resource) {
  plat::HGLOBAL block = nullptr;
  uint32_t length = 0;
  if (HttpRetrieveData(h, resource, &block, &length, 0) == -1) return "error " + std::to_string(HttpGetLastError() & 0xFFFF);
  std::string text(static_cast<const char*>(plat::GlobalLock(block)), length);
  plat::GlobalUnlock(block);
  plat::GlobalFree(block);
  return text;
}

TEST_F(Http, ResponsesThatAnnounceTheirCloseMakeTheNextRequestReconnect) {
  const char* closing[] = {"HTTP/1.0 200 OK\r\nContent-Length: 2\r\n\r\nhi",
                           "HTTP/1.1 200 OK\r\nConnection: close\r\nContent-Length: 2\r\n\r\nhi"};
  for (const char* first : closing) {
    ScriptServer server;
    auto heads = std::make_shared<Heads>();
    // The first connection stays open a while after its answer; a client that reused it
    // would send its second request into a connection about to close.
    ReadHead(server, heads).Send(first).Sleep(300ms).Accept();
    ReadHead(server, heads).Send("HTTP/1.1 200 OK\r\nContent-Length: 5\r\n\r\nagain").Sleep(100ms).Close();
    const LibHandle h = Connect(server, 0x2);
    EXPECT_EQ(GetText(h, "/a"), "hi") << first;
    EXPECT_EQ(GetText(h, "/b"), "again") << first;
    EXPECT_TRUE(server.Finish(5s)) << server.failure();
    HttpDisconnect(h);
  }
}

// A kept-alive connection the server closes as the next request arrives, without having said
// so: the request goes once more on a new connection. A new connection closed unanswered is
// a failure, not a reason to try again.
TEST_F(Http, AKeptAliveConnectionClosedUnderTheNextRequestIsRetriedOnce) {
  const auto reset = [](ScriptServer& ss) {
    linger lg{1, 0};
    ::setsockopt(ss.clientSocket(), SOL_SOCKET, SO_LINGER, &lg, sizeof lg);
  };
  for (const bool withReset : {false, true}) {
    ScriptServer server;
    auto heads = std::make_shared<Heads>();
    ReadHead(server, heads).Send("HTTP/1.1 200 OK\r\nContent-Length: 2\r\n\r\nhi");
    ReadHead(server, heads);
    if (withReset) server.Call(reset);
    server.Accept();
    ReadHead(server, heads).Send("HTTP/1.1 200 OK\r\nContent-Length: 5\r\n\r\nagain").Sleep(100ms).Close();
    const LibHandle h = Connect(server, 0x2);
    EXPECT_EQ(GetText(h, "/a"), "hi") << withReset;
    EXPECT_EQ(GetText(h, "/b"), "again") << withReset;
    EXPECT_EQ(HttpGetLastError(), 0u);
    EXPECT_TRUE(server.Finish(5s)) << server.failure();
    EXPECT_EQ(heads->Count(), 3u);
    HttpDisconnect(h);
  }

  ScriptServer server;
  auto heads = std::make_shared<Heads>();
  ReadHead(server, heads).Close().Sleep(300ms);
  const LibHandle h = Connect(server, 0x2);
  EXPECT_EQ(GetText(h, "/a"), "error 12256");
  EXPECT_TRUE(server.Finish(5s)) << server.failure();
  EXPECT_EQ(heads->Count(), 1u);
  HttpDisconnect(h);
}

}  // namespace
}  // namespace httptest
