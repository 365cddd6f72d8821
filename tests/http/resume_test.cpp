// Resumed downloads against a scripted server: the answer to a range must be the range
// asked for, or the local file stays as it was.
#include <unistd.h>

#include <filesystem>
#include <fstream>
#include <sstream>
#include <string>

#include "http_fixture.h"

namespace httptest {
namespace {

using namespace std::chrono_literals;
using cvtest::ScriptServer;

class HttpResume : public Http {
 protected:
  void SetUp() override {
    Http::SetUp();
    dir_ = std::filesystem::temp_directory_path() / ("cv-resume-" + std::to_string(getpid()));
    std::filesystem::create_directories(dir_);
  }
  void TearDown() override {
    std::filesystem::remove_all(dir_);
    Http::TearDown();
  }
  static std::string Read(const std::filesystem::path& path) {
    std::ifstream in(path, std::ios::binary);
    std::stringstream s;
    s << in.rdbuf();
    return s.str();
  }
  std::filesystem::path dir_;
};

// The resource is "0123456789"; the first four bytes are on disk and the rest is asked for
// from offset 4. Whatever does not answer exactly that range leaves the file untouched,
// except a whole resource (200), which replaces it.
TEST_F(HttpResume, AnswerMustBeTheRangeAskedFor) {
  const std::string part = "0123";
  const std::string multipart =
      "--B\r\nContent-Type: text/plain\r\nContent-Range: bytes 4-5/10\r\n\r\n45\r\n"
      "--B\r\nContent-Type: text/plain\r\nContent-Range: bytes 6-9/10\r\n\r\n6789\r\n--B--\r\n";
  struct Case {
    const char* what;
    std::string response;
    int32_t result;
    uint32_t error;
    std::string file;
  } cases[] = {
      {"exact range", "HTTP/1.1 206 Partial Content\r\nContent-Range: bytes 4-9/10\r\nContent-Length: 6\r\n\r\n456789",
       206, 0, "0123456789"},
      {"unknown total", "HTTP/1.1 206 Partial Content\r\nContent-Range: bytes 4-9/*\r\nContent-Length: 6\r\n\r\n456789",
       206, 0, "0123456789"},
      {"wrong start",
       "HTTP/1.1 206 Partial Content\r\nContent-Range: bytes 0-9/10\r\nContent-Length: 10\r\n\r\n0123456789", -1, 12281,
       part},
      {"multipart",
       "HTTP/1.1 206 Partial Content\r\nContent-Type: multipart/byteranges; boundary=B\r\n"
       "Content-Length: " +
           std::to_string(multipart.size()) + "\r\n\r\n" + multipart,
       -1, 12281, part},
      {"missing Content-Range", "HTTP/1.1 206 Partial Content\r\nContent-Length: 6\r\n\r\n456789", -1, 12281, part},
      {"length differs from range",
       "HTTP/1.1 206 Partial Content\r\nContent-Range: bytes 4-9/10\r\nContent-Length: 3\r\n\r\n456", -1, 12281, part},
      {"total before the end",
       "HTTP/1.1 206 Partial Content\r\nContent-Range: bytes 4-9/8\r\nContent-Length: 6\r\n\r\n456789", -1, 12281,
       part},
      {"not a byte range",
       "HTTP/1.1 206 Partial Content\r\nContent-Range: items 4-9/10\r\nContent-Length: 6\r\n\r\n456789", -1, 12281,
       part},
      {"whole resource", "HTTP/1.1 200 OK\r\nContent-Length: 10\r\n\r\n0123456789", 200, 0, "0123456789"},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.what);
    const auto path = dir_ / "f.txt";
    std::ofstream(path, std::ios::binary) << part;
    ScriptServer server;
    auto heads = std::make_shared<Heads>();
    ReadHead(server, heads).Send(c.response);
    const LibHandle h = Connect(server, 0x2);
    EXPECT_EQ(HttpRetrieveFile(h, path.c_str(), "/f.txt", 0, 4), c.result);
    if (c.result == -1) {
      EXPECT_EQ(Error(), c.error);
    } else {
      EXPECT_EQ(HttpGetLastError(), 0u);
    }
    EXPECT_EQ(Read(path), c.file);
    server.Finish(2s);
    EXPECT_TRUE(HasLine(heads->Get(0), "Range: bytes=4-"));
    HttpDisconnect(h);
  }
}

}  // namespace
}  // namespace httptest
