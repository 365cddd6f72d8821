// Response bodies against a scripted server: chunked coding, announced lengths, content
// decoding in memory, the memory result rules, text conversion and broken transfers.
#include <sys/resource.h>
#include <unistd.h>
#include <zlib.h>

#include <algorithm>
#include <cstring>
#include <filesystem>
#include <fstream>
#include <iterator>
#include <string>

#include "http_fixture.h"

namespace httptest {
namespace {

using namespace std::chrono_literals;
using cvtest::ScriptServer;

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

// What a gzip-coded body may be: several members one after another (as concatenated gzip
// files are), or nothing at all; in memory and into a file alike.
TEST_F(HttpBody, GzipMembersAndEmptyBodies) {
  const std::string first = std::string(70000, 'a') + "end of one", second = "and the second member";
  struct Case {
    const char* what;
    std::string body;
    std::string decoded;
  } cases[] = {
      {"two members", Compress(first, 31) + Compress(second, 31), first + second},
      {"three members", Compress("x", 31) + Compress("", 31) + Compress("y", 31), "xy"},
      {"empty body", "", ""},
  };
  const auto dir = std::filesystem::temp_directory_path() / ("cv-members-" + std::to_string(getpid()));
  std::filesystem::create_directories(dir);
  for (const Case& c : cases) {
    SCOPED_TRACE(c.what);
    const std::string response =
        "HTTP/1.1 200 OK\r\nContent-Type: application/octet-stream\r\nContent-Encoding: gzip\r\n"
        "Content-Length: " +
        std::to_string(c.body.size()) + "\r\n\r\n" + c.body;
    for (bool toFile : {false, true}) {
      ScriptServer server;
      auto heads = std::make_shared<Heads>();
      ReadHead(server, heads).Send(response);
      const LibHandle h = Connect(server, 0x2);
      HttpSetCompression(h, 1);
      if (toFile) {
        const auto path = dir / "out.bin";
        EXPECT_EQ(HttpRetrieveFile(h, path.c_str(), "/z", 0, 0), 200) << Error();
        std::ifstream in(path, std::ios::binary);
        EXPECT_EQ(std::string(std::istreambuf_iterator<char>(in), {}), c.decoded);
      } else {
        plat::HGLOBAL block = nullptr;
        uint32_t length = 0;
        EXPECT_EQ(HttpRetrieveData(h, "/z", &block, &length, 0), 200) << Error();
        EXPECT_EQ(length, c.decoded.size());
        if (block) {
          EXPECT_EQ(std::string(static_cast<const char*>(plat::GlobalLock(block)), length), c.decoded);
          plat::GlobalUnlock(block);
          plat::GlobalFree(block);
        }
      }
      server.Finish(2s);
      HttpDisconnect(h);
    }
  }
  std::filesystem::remove_all(dir);
}

// A body that no memory block can hold is refused when its length is announced, before any
// of it is read.
TEST_F(HttpBody, BodyTooLargeForMemoryRefusedUpFront) {
  auto heads = std::make_shared<Heads>();
  ReadHead(server_, heads)
      .Send("HTTP/1.1 200 OK\r\nContent-Length: 5368709120\r\n\r\n" + std::string(100000, 'x'))
      .Trickle("", 50ms);
  h_ = Connect(server_, 0x2);
  plat::HGLOBAL block = nullptr;
  uint32_t length = 0;
  const auto start = std::chrono::steady_clock::now();
  EXPECT_EQ(HttpRetrieveData(h_, "/", &block, &length, 0), -1);
  EXPECT_EQ(Error(), 10012u);
  EXPECT_EQ(block, nullptr);
  EXPECT_LT(std::chrono::steady_clock::now() - start, 2s);  // not the time-out of a read
}

// A gzip stream of size zero bytes, compressed piece by piece (no buffer of that size).
std::string Bomb(size_t size) {
  z_stream z{};
  deflateInit2(&z, 9, Z_DEFLATED, 31, 8, Z_DEFAULT_STRATEGY);
  const std::string zeros(1u << 20, '\0');
  std::string out;
  char buffer[65536];
  for (size_t done = 0; done < size; done += zeros.size()) {
    const bool last = done + zeros.size() >= size;
    z.next_in = reinterpret_cast<Bytef*>(const_cast<char*>(zeros.data()));
    z.avail_in = uInt(std::min(zeros.size(), size - done));
    do {
      z.next_out = reinterpret_cast<Bytef*>(buffer);
      z.avail_out = sizeof buffer;
      deflate(&z, last ? Z_FINISH : Z_NO_FLUSH);
      out.append(buffer, sizeof buffer - z.avail_out);
    } while (z.avail_out == 0);
  }
  deflateEnd(&z);
  return out;
}

long PeakKilobytes() {
  rusage usage{};
  getrusage(RUSAGE_SELF, &usage);
  return usage.ru_maxrss;
}

// Hostile bodies end within the session's timeout with the decoding error, in memory and
// on disk, and a bomb decoded into memory stops long before it has filled it.
TEST_F(HttpBody, HostileCompressedBodiesFailInTime) {
  const std::string gzip = Compress(std::string(5000, 'q'), 31);
  struct Case {
    const char* what;
    std::string body;
    bool onDisk = true;  // on disk a bomb costs disk space, not memory
  } cases[] = {
      {"preset dictionary", std::string("\x78\x7d\x7d\x7d\x27\x9c\x6f", 7)},
      {"truncated", gzip.substr(0, gzip.size() / 2)},
      {"trailing garbage", gzip + "trailing"},
      {"raw deflate", Compress("raw deflate is not accepted", -15)},
      {"bad header", std::string("\x1f\x8b\x08garbage", 10)},
      {"bomb", Bomb(256u << 20), false},
  };
  constexpr uint32_t kTimeout = 20;  // the session default, with room for a loaded machine
  const auto dir = std::filesystem::temp_directory_path() / ("cv-hostile-" + std::to_string(getpid()));
  std::filesystem::create_directories(dir);
  for (const Case& c : cases) {
    SCOPED_TRACE(c.what);
    const std::string response = "HTTP/1.1 200 OK\r\nContent-Type: application/octet-stream\r\nContent-Encoding: gzip\r\n"
                                 "Content-Length: " + std::to_string(c.body.size()) + "\r\n\r\n" + c.body;
    for (bool toFile : {false, true}) {
      if (toFile && !c.onDisk) continue;
      ScriptServer server;
      auto heads = std::make_shared<Heads>();
      ReadHead(server, heads).Send(response);
      const LibHandle h = Connect(server, 0x2, kVersion11, kTimeout);
      HttpSetCompression(h, 1);
      const long peak = PeakKilobytes();
      const auto start = std::chrono::steady_clock::now();
      if (toFile) {
        const auto path = dir / "out.bin";
        EXPECT_EQ(HttpRetrieveFile(h, path.c_str(), "/z", 0, 0), -1);
        EXPECT_EQ(Error(), 10005u);
        EXPECT_EQ(std::filesystem::file_size(path), c.body.size());  // left as it was downloaded
      } else {
        plat::HGLOBAL block = nullptr;
        uint32_t length = 0;
        EXPECT_EQ(HttpRetrieveData(h, "/z", &block, &length, 0), -1);
        EXPECT_EQ(Error(), 12293u);
        EXPECT_EQ(block, nullptr);
        EXPECT_LT(PeakKilobytes() - peak, 200l << 10) << "kilobytes more at the peak";
      }
      EXPECT_LT(std::chrono::steady_clock::now() - start, std::chrono::seconds(kTimeout + 1));
      server.Finish(2s);
      HttpDisconnect(h);
    }
    // The same data handed to the decoder directly.
    plat::HGLOBAL input = plat::GlobalAlloc(plat::GMEM_MOVEABLE, c.body.size());
    std::memcpy(plat::GlobalLock(input), c.body.data(), c.body.size());
    plat::GlobalUnlock(input);
    plat::HGLOBAL output = nullptr;
    uint32_t outputLength = 0;
    EXPECT_EQ(HttpInflateData(input, uint32_t(c.body.size()), &output, &outputLength), 0);
    EXPECT_EQ(Error(), 12293u);
    plat::GlobalFree(input);
  }
  std::filesystem::remove_all(dir);
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
