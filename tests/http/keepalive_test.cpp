// Keep-alive follows the server's answer, not only the request: a server that says it will
// close (HTTP/1.0 without keep-alive, or "Connection: close") gets a new connection for the
// next request even when its close has not reached us yet.
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

}  // namespace
}  // namespace httptest
