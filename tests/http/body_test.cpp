// Response bodies against a scripted server: chunked coding, announced lengths, content
// decoding in memory, the memory result rules, text conversion and broken transfers.
#include <zlib.h>

#include <string>

#include "http_fixture.h"

namespace httptest {
namespace {

using namespace std::chrono_literals;
using cvtest::ScriptServer;

// format 31: gzip, 15: zlib, -15: raw deflate.
std::string Compress(const std::string& data, int windowBits) {
  z_stream z{};
  deflateInit2(&z, 9, Z_DEFLATED, windowBits, 8, Z_DEFAULT_STRATEGY);
  std::string out(deflateBound(&z, uLong(data.size())) + 32, '\0');
  z.next_in = reinterpret_cast<Bytef*>(const_cast<char*>(data.data()));
  z.avail_in = uInt(data.size());
  z.next_out = reinterpret_cast<Bytef*>(out.data());
  z.avail_out = uInt(out.size());
  deflate(&z, Z_FINISH);
  out.resize(z.total_out);
  deflateEnd(&z);
  return out;
}

std::string Chunked(const std::string& data, size_t piece) {
  std::string out;
  char size[32];
  for (size_t i = 0; i < data.size(); i += piece) {
    const std::string part = data.substr(i, piece);
    std::snprintf(size, sizeof size, "%zx;ext=1\r\n", part.size());
    out += size + part + "\r\n";
  }
  return out + "0\r\nX-Trailer: t\r\n\r\n";
}

class HttpBody : public Http {
 protected:
  // GET of resource into memory; the status, the body in text.
  int32_t Get(const std::string& response, std::string& text, uint32_t options = 0, uint32_t callerLength = 0,
              bool compression = false) {
    auto heads = std::make_shared<Heads>();
    ReadHead(server_, heads).Send(response).Sleep(300ms).Close();
    h_ = Connect(server_, 0x2);
    HttpSetCompression(h_, compression);
    std::string caller(callerLength, '\0');
    plat::HGLOBAL block = callerLength ? reinterpret_cast<plat::HGLOBAL>(caller.data()) : nullptr;
    uint32_t length = callerLength;
    const int32_t r = HttpRetrieveData(h_, "/f.txt", &block, &length, options);
    text.clear();
    if (r != -1 && callerLength) {
      text = caller.substr(0, length);
    } else if (r != -1 && block) {
      const char* p = static_cast<const char*>(plat::GlobalLock(block));
      text.assign(p, length);
      EXPECT_EQ(p[length], '\0');
      plat::GlobalUnlock(block);
      plat::GlobalFree(block);
    }
    head_ = heads;
    return r;
  }
  void TearDown() override {
    server_.Finish(2s);
    if (h_ != kInvalidLibHandle) HttpDisconnect(h_);
    Http::TearDown();
  }
  ScriptServer server_;
  LibHandle h_ = kInvalidLibHandle;
  std::shared_ptr<Heads> head_;
};

TEST_F(HttpBody, ChunkedAndAnnouncedBodies) {
  const std::string data(200000, 'x');
  std::string text;
  ASSERT_EQ(Get("HTTP/1.1 200 OK\r\nTransfer-Encoding: chunked\r\n\r\n" + Chunked(data, 70000), text), 200);
  EXPECT_EQ(text, data);
  char trailer[16];
  EXPECT_EQ(HttpGetResponseHeader(h_, "X-Trailer", trailer, sizeof trailer), 1);
}

TEST_F(HttpBody, AnnouncedLengthStopsExactly) {
  std::string text;
  ASSERT_EQ(Get("HTTP/1.1 200 OK\r\nContent-Length: 5\r\n\r\nhelloEXTRA", text), 200);
  EXPECT_EQ(text, "hello");
}

TEST_F(HttpBody, CallerBufferTakesAtMostItsLength) {
  std::string text;
  ASSERT_EQ(Get("HTTP/1.1 200 OK\r\nContent-Length: 1000\r\n\r\n" + std::string(1000, 'b'), text, 0, 100), 200);
  EXPECT_EQ(text, std::string(100, 'b'));
}

TEST_F(HttpBody, EmptyBodyGivesNoBlock) {
  std::string text;
  ASSERT_EQ(Get("HTTP/1.1 204 No Content\r\n\r\n", text), 204);
  EXPECT_EQ(text, "");
}

TEST_F(HttpBody, TextConversionDecidedOnTheFirstLine) {
  std::string text;
  ASSERT_EQ(Get("HTTP/1.1 200 OK\r\nContent-Type: text/plain\r\nContent-Length: 6\r\n\r\na\nb\r\nc", text, 1), 200);
  EXPECT_EQ(text, "a\r\nb\r\nc\r\n");
}

TEST_F(HttpBody, TextWithCrLfFirstLineUnchanged) {
  std::string text;
  ASSERT_EQ(Get("HTTP/1.1 200 OK\r\nContent-Type: text/plain\r\nContent-Length: 6\r\n\r\na\r\nb\nc", text, 1), 200);
  EXPECT_EQ(text, "a\r\nb\nc");
}

TEST_F(HttpBody, GzipAndZlibDecodeInMemory) {
  const std::string data = std::string(300000, 'z') + "end";
  for (int bits : {31, 15}) {
    ScriptServer server;
    auto heads = std::make_shared<Heads>();
    const std::string body = Compress(data, bits);
    ReadHead(server, heads).Send("HTTP/1.1 200 OK\r\nContent-Encoding: " + std::string(bits == 31 ? "GZIP" : "deflate") +
                                 "\r\nContent-Length: " + std::to_string(body.size()) + "\r\n\r\n" + body);
    const LibHandle h = Connect(server, 0x2);
    HttpSetCompression(h, 1);
    plat::HGLOBAL block = nullptr;
    uint32_t length = 0;
    ASSERT_EQ(HttpRetrieveData(h, "/z", &block, &length, 0), 200) << Error();
    EXPECT_EQ(HttpGetContentEncoding(h), bits == 31 ? 3 : 2);
    ASSERT_EQ(length, data.size());
    EXPECT_EQ(std::string(static_cast<const char*>(plat::GlobalLock(block)), length), data);
    plat::GlobalUnlock(block);
    plat::GlobalFree(block);
    ASSERT_TRUE(server.Finish()) << server.failure();
    EXPECT_TRUE(HasLine(heads->Get(0), "Accept-Encoding: gzip, deflate"));
    HttpDisconnect(h);
  }
}

TEST_F(HttpBody, BadCompressedBodiesFail) {
  for (const std::string& body : {Compress("raw deflate is not accepted", -15), std::string("\x1f\x8b\x08garbage", 10),
                                  Compress(std::string(5000, 'q'), 31).substr(0, 20)}) {
    ScriptServer server;
    auto heads = std::make_shared<Heads>();
    ReadHead(server, heads).Send("HTTP/1.1 200 OK\r\nContent-Encoding: gzip\r\nContent-Length: " +
                                 std::to_string(body.size()) + "\r\n\r\n" + body);
    const LibHandle h = Connect(server, 0x2);
    HttpSetCompression(h, 1);
    plat::HGLOBAL block = nullptr;
    uint32_t length = 0;
    EXPECT_EQ(HttpRetrieveData(h, "/z", &block, &length, 0), -1);
    EXPECT_EQ(Error(), 12293u);
    server.Finish(2s);
    HttpDisconnect(h);
  }
}

TEST_F(HttpBody, DecompressionBoundedByTheCallerBuffer) {
  // 64 MB of zeros in a body of about 64 KB; the caller asked for 4 KB.
  const std::string bomb = Compress(std::string(64u << 20, '\0'), 31);
  std::string text;
  ASSERT_EQ(Get("HTTP/1.1 200 OK\r\nContent-Encoding: gzip\r\nContent-Length: " + std::to_string(bomb.size()) +
                    "\r\n\r\n" + bomb,
                text, 0, 4096, true),
            200);
  EXPECT_EQ(text, std::string(4096, '\0'));
}

TEST_F(HttpBody, CompressEncodingRefusedInMemory) {
  std::string text;
  EXPECT_EQ(Get("HTTP/1.1 200 OK\r\nContent-Encoding: compress\r\nContent-Length: 3\r\n\r\nabc", text, 0, 0, true), -1);
  EXPECT_EQ(Error(), 12293u);
}

TEST_F(HttpBody, BrokenTransfersAreErrors) {
  struct Case {
    std::string response;
    uint32_t error;
  } cases[] = {
      {"HTTP/1.1 200 OK\r\nContent-Length: 100\r\n\r\nshort", 12256},
      {"HTTP/1.1 200 OK\r\nTransfer-Encoding: chunked\r\n\r\nzz\r\nabc\r\n0\r\n\r\n", 12204},
      {"HTTP/1.1 200 OK\r\nTransfer-Encoding: chunked\r\n\r\n1ffffffff\r\nabc", 12204},
      {"HTTP/1.1 200 OK\r\nTransfer-Encoding: chunked\r\n\r\n10\r\nabc", 12256},
      {"HTTP/1.1 200 OK\r\nTransfer-Encoding: chunked\r\n\r\n3\r\nabc\r\n", 12256},
      {"HTTP/1.1 200 OK\r\nTransfer-Encoding: chunked\r\n\r\n" + std::string(70000, '1'), 12204},
  };
  for (const Case& c : cases) {
    ScriptServer server;
    auto heads = std::make_shared<Heads>();
    ReadHead(server, heads).Send(c.response).Close();
    const LibHandle h = Connect(server, 0x2);
    plat::HGLOBAL block = nullptr;
    uint32_t length = 0;
    EXPECT_EQ(HttpRetrieveData(h, "/", &block, &length, 0), -1) << c.response.substr(0, 80);
    EXPECT_EQ(Error(), c.error) << c.response.substr(0, 80);
    EXPECT_EQ(block, nullptr);
    server.Finish(2s);
    HttpDisconnect(h);
  }
}

TEST_F(HttpBody, ResetDuringBody) {
  auto heads = std::make_shared<Heads>();
  ReadHead(server_, heads).Send("HTTP/1.1 200 OK\r\nContent-Length: 100000\r\n\r\n" + std::string(1000, 'r')).Drop();
  h_ = Connect(server_, 0x2);
  plat::HGLOBAL block = nullptr;
  uint32_t length = 0;
  EXPECT_EQ(HttpRetrieveData(h_, "/", &block, &length, 0), -1);
  EXPECT_TRUE(Error() == 10054u || Error() == 12256u) << Error();
}

TEST_F(HttpBody, ReadChunkSizeLines) {
  auto heads = std::make_shared<Heads>();
  ReadHead(server_, heads).Send("HTTP/1.1 200 OK\r\nTransfer-Encoding: chunked\r\n\r\n1a;name=x\r\n\r\n0\r\n").Close();
  h_ = Connect(server_, 0x2);
  ASSERT_EQ(HttpSendRequest(h_, "GET", "/", nullptr, 0, 0), 200);
  EXPECT_EQ(HttpReadChunkSize(h_), 26);
  EXPECT_EQ(HttpReadChunkSize(h_), 0);
  EXPECT_EQ(HttpReadChunkSize(h_), 0);  // the connection has ended between lines
}

}  // namespace
}  // namespace httptest
