// An HTTP connect and two requests against the scripted server (a gzip body decoded into
// a global memory block, then chunked text converted to local line ends), with each
// platform heap and C++ allocation failing in turn.
#include <chrono>
#include <string>

#include "each_allocation.h"
#include "http/http_fixture.h"

namespace allocfail {
namespace {

using namespace std::chrono_literals;
using cvtest::ScriptServer;

using cvhttp::kOptKeepAlive, cvhttp::kTransferConvertText;

// Reads one request head; the client may have given up, which ends the script.
ScriptServer& ReadHead(ScriptServer& server) {
  return server.Call([](ScriptServer& s) {
    std::string line;
    while (s.ReadLine(line, 5s) && !line.empty()) {
    }
  });
}

// The body of a request into a block: its length, or the error.
uint32_t Retrieve(LibHandle h, const char* resource, uint32_t options, uint32_t& length) {
  plat::HGLOBAL block = nullptr;
  length = 0;
  if (HttpRetrieveData(h, resource, &block, &length, options) == -1) return HttpGetLastError();
  plat::GlobalFree(block);
  return 0;
}

using HttpAllocations = httptest::Http;

TEST_F(HttpAllocations, ConnectGzipAndChunkedText) {
  const std::string data = std::string(30000, 'z') + "end";
  const std::string gzip = httptest::Compress(data, 31);
  const std::string text = "one\ntwo\nthree\n";  // one chunk of 0xe bytes
  const Path path = [&]() -> uint32_t {
    ScriptServer server;
    ReadHead(server).Send("HTTP/1.1 200 OK\r\nContent-Encoding: gzip\r\nX-Extra: one\r\nContent-Length: " +
                          std::to_string(gzip.size()) + "\r\n\r\n" + gzip);
    ReadHead(server).Send("HTTP/1.1 200 OK\r\nContent-Type: text/plain\r\nTransfer-Encoding: chunked\r\n\r\n" +
                          std::string("e\r\n") + text + "\r\n0\r\n\r\n");
    server.Start();
    LibraryCalls calls;
    const LibHandle h =
        HttpConnect(server.address(), uint32_t(server.port()), 5, kOptKeepAlive, cvhttp::kVersion11, nullptr);
    if (h == kInvalidLibHandle) return HttpGetLastError();
    uint32_t length = 0;
    uint32_t error = HttpSetCompression(h, 1) == -1 ? HttpGetLastError() : 0;
    if (!error) error = Retrieve(h, "/z", 0, length);
    if (!error) {
      EXPECT_EQ(length, data.size());
      error = Retrieve(h, "/t", kTransferConvertText, length);
      if (!error) {
        EXPECT_EQ(length, text.size() + 3);  // CR LF line ends
      }
    }
    HttpDisconnect(h);
    return error;
  };
  EXPECT_GT(EachAllocationFails(path, true), 10u);
}

}  // namespace
}  // namespace allocfail
