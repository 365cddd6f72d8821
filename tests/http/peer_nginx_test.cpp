// Interoperability with nginx: downloads into memory and into files (whole, resumed,
// compressed), HEAD queries, uploads and deletes over WebDAV, redirects, keep-alive
// reuse, posts, and IPv6.
#include <netinet/in.h>
#include <netinet/tcp.h>
#include <sys/socket.h>

#include <cstdlib>
#include <fstream>
#include <sstream>
#include <string>

#include "http_fixture.h"
#include "nginx_peer.h"
#include "platform/base/time.h"

namespace httptest {
namespace {

std::string ReadFile(const std::filesystem::path& path) {
  std::ifstream in(path, std::ios::binary);
  std::stringstream ss;
  ss << in.rdbuf();
  return ss.str();
}

std::string Pattern(size_t n) {
  std::string s(n, '\0');
  for (size_t i = 0; i < n; ++i) s[i] = char('a' + (i * 7 + i / 251) % 26);
  return s;
}

class HttpNginx : public Http {
 protected:
  void SetUp() override {
    Http::SetUp();
    peer_ = std::make_unique<cvpeers::PeerProcess>(NginxOptions(family_));
    CV_START_PEER(*peer_);
    www_ = peer_->dir() / "www";
    std::filesystem::create_directories(www_ / "dav");
    Write("small.txt", "line one\nline two\n");
    large_ = Pattern(3u << 20);
    Write("large.bin", large_);
    text_ = "";
    for (int i = 0; i < 20000; ++i) text_ += "text line " + std::to_string(i) + "\n";
    Write("text.txt", text_);
    local_ = peer_->dir() / "local";
    std::filesystem::create_directories(local_);
  }
  void Write(const std::string& name, const std::string& data) { std::ofstream(www_ / name, std::ios::binary) << data; }
  LibHandle Open(uint32_t options = 0x2, uint32_t version = kVersion11) {
    const LibHandle h = HttpConnect(peer_->address().c_str(), peer_->port(), 10, options, version, nullptr);
    EXPECT_NE(h, kInvalidLibHandle) << Error();
    return h;
  }
  std::string Get(LibHandle h, const char* resource, uint32_t options = 0) {
    plat::HGLOBAL block = nullptr;
    uint32_t length = 0;
    const int32_t r = HttpRetrieveData(h, resource, &block, &length, options);
    EXPECT_EQ(r, 200) << resource << " " << Error();
    std::string out;
    if (block) {
      out.assign(static_cast<const char*>(plat::GlobalLock(block)), length);
      plat::GlobalUnlock(block);
      plat::GlobalFree(block);
    }
    return out;
  }
  std::string ResponseHeader(LibHandle h, const char* name) {
    char value[256] = {};
    return HttpGetResponseHeader(h, name, value, sizeof value) ? value : "";
  }

  int family_ = AF_INET;
  std::unique_ptr<cvpeers::PeerProcess> peer_;
  std::filesystem::path www_, local_;
  std::string large_, text_;
};

TEST_F(HttpNginx, DownloadsIntoMemoryReuseTheConnection) {
  const LibHandle h = Open();
  EXPECT_EQ(Get(h, "/small.txt"), "line one\nline two\n");
  const std::string first = ResponseHeader(h, "X-Connection");
  EXPECT_EQ(Get(h, "/large.bin"), large_);
  EXPECT_EQ(Get(h, "/small.txt", 1), "line one\r\nline two\r\n");
  EXPECT_EQ(ResponseHeader(h, "X-Connection"), first);
  HttpTransferStatus status{};
  ASSERT_EQ(HttpGetTransferStatus(h, &status), 0);
  EXPECT_EQ(status.total, 18u);
  EXPECT_EQ(status.copied, 18u);
  EXPECT_EQ(HttpDisconnect(h), 0);
}

TEST_F(HttpNginx, WithoutKeepAliveEachRequestNeedsAConnection) {
  const LibHandle h = Open(0);
  EXPECT_EQ(Get(h, "/small.txt"), "line one\nline two\n");
  plat::HGLOBAL block = nullptr;
  uint32_t length = 0;
  EXPECT_EQ(HttpRetrieveData(h, "/small.txt", &block, &length, 0), -1);
  EXPECT_EQ(Error(), 12256u);
  EXPECT_EQ(HttpReconnect(h), 0);
  EXPECT_EQ(Get(h, "/small.txt"), "line one\nline two\n");
  HttpDisconnect(h);
}

TEST_F(HttpNginx, DownloadToFileWholeAndResumed) {
  const LibHandle h = Open();
  const auto path = local_ / "large.bin";
  ASSERT_EQ(HttpRetrieveFile(h, path.c_str(), "/large.bin", 0, 0), 200) << Error();
  EXPECT_EQ(ReadFile(path), large_);
  // Resume: the first megabyte is there, the rest comes with a range.
  std::filesystem::resize_file(path, 1u << 20);
  ASSERT_EQ(HttpRetrieveFile(h, path.c_str(), "/large.bin", 0, 1u << 20), 206) << Error();
  EXPECT_EQ(ReadFile(path), large_);
  HttpTransferStatus status{};
  HttpGetTransferStatus(h, &status);
  EXPECT_EQ(status.total, large_.size());
  EXPECT_EQ(status.copied, large_.size());
  // A later whole download removes the range again.
  ASSERT_EQ(HttpRetrieveFile(h, (local_ / "again.bin").c_str(), "/large.bin", 0, 0), 200);
  EXPECT_EQ(ReadFile(local_ / "again.bin"), large_);
  char range[64];
  EXPECT_EQ(HttpGetRequestHeader(h, "Range", range, sizeof range), 0);
  EXPECT_EQ(HttpRetrieveFile(h, (local_ / "missing.bin").c_str(), "/large.bin", 0, 10), -1);
  EXPECT_EQ(Error(), 10002u);
  EXPECT_EQ(HttpRetrieveFile(h, (local_ / "x.bin").c_str(), "/nothing-here", 0, 0), -1);
  EXPECT_EQ(Error(), 12275u);
  EXPECT_FALSE(std::filesystem::exists(local_ / "x.bin"));
  HttpDisconnect(h);
}

TEST_F(HttpNginx, CompressedDownloads) {
  const LibHandle h = Open();
  HttpSetCompression(h, 1);
  EXPECT_EQ(Get(h, "/text.txt"), text_);
  EXPECT_EQ(HttpGetContentEncoding(h), 3);
  const auto path = local_ / "text.txt";
  ASSERT_EQ(HttpRetrieveFile(h, path.c_str(), "/text.txt", 0, 0), 200) << Error();
  EXPECT_EQ(ReadFile(path), text_);
  ASSERT_EQ(HttpRetrieveFile(h, path.c_str(), "/text.txt", 1, 0), 200) << Error();
  std::string crlf;
  for (char c : text_) crlf += c == '\n' ? std::string("\r\n") : std::string(1, c);
  EXPECT_EQ(ReadFile(path), crlf);
  HttpDisconnect(h);
}

TEST_F(HttpNginx, HeadQueries) {
  const LibHandle h = Open();
  uint64_t size = 0;
  EXPECT_EQ(HttpQueryFileSize(h, "/large.bin", &size), 200);
  EXPECT_EQ(size, large_.size());
  SYSTEMTIME st{};
  EXPECT_EQ(HttpGetFileTime(h, "/small.txt", &st, 0), 200);
  SYSTEMTIME now{};
  plat::GetSystemTime(&now);
  EXPECT_EQ(st.wYear, now.wYear);
  const auto same = local_ / "same.bin";
  std::ofstream(same, std::ios::binary) << large_;
  EXPECT_EQ(HttpVerifyFile(h, same.c_str(), "/large.bin", 0), 1);
  EXPECT_EQ(HttpVerifyFile(h, same.c_str(), "/small.txt", 0), 0);
  EXPECT_EQ(Error(), 12351u);
  EXPECT_EQ(HttpVerifyFile(h, (local_ / "none").c_str(), "/small.txt", 0), 0);
  EXPECT_EQ(Error(), 10002u);
  EXPECT_EQ(Get(h, "/small.txt"), "line one\nline two\n");  // the session goes on after HEAD
  HttpDisconnect(h);
}

// Sizes past 32 bits, with sparse files on both sides: whole sizes are compared.
TEST_F(HttpNginx, SizesAboveFourGigabytes) {
  Write("huge.bin", "");
  std::filesystem::resize_file(www_ / "huge.bin", 5ull << 30);
  const LibHandle h = Open();
  uint64_t size = 0;
  EXPECT_EQ(HttpQueryFileSize(h, "/huge.bin", &size), 200) << Error();
  EXPECT_EQ(size, 5ull << 30);
  uint32_t size32 = 0;
  EXPECT_EQ(HttpQueryFileSize32(h, "/huge.bin", &size32), 200);
  EXPECT_EQ(size32, 0xFFFFFFFFu);
  const auto local = local_ / "huge.bin";
  std::ofstream(local).close();
  std::filesystem::resize_file(local, 6ull << 30);
  EXPECT_EQ(HttpVerifyFile(h, local.c_str(), "/huge.bin", 0), 0);
  EXPECT_EQ(Error(), 12351u);
  std::filesystem::resize_file(local, 5ull << 30);
  EXPECT_EQ(HttpVerifyFile(h, local.c_str(), "/huge.bin", 0), 1) << Error();
  HttpDisconnect(h);
}

TEST_F(HttpNginx, UploadsAndDeletes) {
  const LibHandle h = Open();
  const std::string data = Pattern(100000);
  EXPECT_EQ(HttpStoreData(h, "/dav/mem.bin", data.data(), uint32_t(data.size())), 201) << Error();
  EXPECT_EQ(ReadFile(www_ / "dav" / "mem.bin"), data);
  const auto source = local_ / "up.bin";
  std::ofstream(source, std::ios::binary) << large_;
  EXPECT_EQ(HttpStoreFile(h, source.c_str(), "/dav/sub/up.bin", 0, 0), 201) << Error();
  // The body leaves as the server's window opens, not as a deep queue that the server's
  // own acknowledgements would have to send on its time.
  int unsent = 0;
  socklen_t unsentSize = sizeof unsent;
  const int sock = int(HttpGetSession(h)->header.controlSocket);
  ASSERT_EQ(getsockopt(sock, IPPROTO_TCP, TCP_NOTSENT_LOWAT, &unsent, &unsentSize), 0);
  EXPECT_GT(unsent, 0);
  EXPECT_LE(unsent, 256 * 1024);
  EXPECT_EQ(ReadFile(www_ / "dav" / "sub" / "up.bin"), large_);
  EXPECT_EQ(HttpStoreFile(h, (local_ / "none").c_str(), "/dav/x", 0, 0), -1);
  EXPECT_EQ(Error(), 10002u);
  EXPECT_EQ(HttpStoreFile(h, local_.c_str(), "/dav/x", 0, 0), -1);
  EXPECT_EQ(Error(), 10005u);
  EXPECT_EQ(HttpRemoveFile(h, "/dav/mem.bin"), 204) << Error();
  EXPECT_FALSE(std::filesystem::exists(www_ / "dav" / "mem.bin"));
  EXPECT_EQ(HttpRemoveFile(h, "/dav/mem.bin"), -1);
  EXPECT_EQ(Error(), 12275u);
  EXPECT_EQ(Get(h, "/dav/sub/up.bin"), large_);  // and the connection still serves
  HttpDisconnect(h);
}

TEST_F(HttpNginx, RedirectsReportedOrFollowed) {
  const LibHandle h = Open();
  plat::HGLOBAL block = nullptr;
  uint32_t length = 0;
  EXPECT_EQ(HttpRetrieveData(h, "/moved", &block, &length, 0), 302);
  if (block) plat::GlobalFree(block);
  const std::string location = ResponseHeader(h, "Location");
  EXPECT_NE(location.find("/small.txt"), std::string::npos) << location;
  HttpDisconnect(h);
  const LibHandle f = Open(0x2 | 0x4);
  EXPECT_EQ(Get(f, "/moved"), "line one\nline two\n");
  HttpDisconnect(f);
}

TEST_F(HttpNginx, PostEcho) {
  if (EchoModule().empty()) GTEST_SKIP() << "nginx echo module not installed";
  const LibHandle h = Open();
  plat::HGLOBAL block = nullptr;
  uint32_t length = 0;
  ASSERT_EQ(HttpPostData(h, "/echo", "name=a b&x=1", 12, &block, &length, 0), 200) << Error();
  EXPECT_EQ(std::string(static_cast<const char*>(plat::GlobalLock(block)), length), "name=a%20b&x=1");
  plat::GlobalUnlock(block);
  plat::GlobalFree(block);
  block = nullptr;
  length = 0;
  ASSERT_EQ(HttpPostJson(h, "/echo", "{\"a\": [1, 2]}", &block, &length, 0), 200) << Error();
  // JSON posts read the answer as text: a text answer gets CR LF line ends.
  EXPECT_EQ(std::string(static_cast<const char*>(plat::GlobalLock(block)), length), "{\"a\": [1, 2]}\r\n");
  plat::GlobalUnlock(block);
  plat::GlobalFree(block);
  // The types the posts chose for themselves are gone; a type the caller set comes back.
  char type[64];
  EXPECT_EQ(HttpGetRequestHeader(h, "Content-Type", type, sizeof type), 0);
  ASSERT_EQ(HttpSetRequestHeader(h, "Content-Type", "text/plain"), 1);
  block = nullptr;
  length = 0;
  ASSERT_EQ(HttpPostJson(h, "/echo", "{}", &block, &length, 0), 200) << Error();
  plat::GlobalFree(block);
  ASSERT_EQ(HttpGetRequestHeader(h, "Content-Type", type, sizeof type), 1);
  EXPECT_STREQ(type, "text/plain");
  HttpDisconnect(h);
}

TEST_F(HttpNginx, MultipartPostOfAFile) {
  if (EchoModule().empty()) GTEST_SKIP() << "nginx echo module not installed";
  const auto path = local_ / "form \"data\".txt";
  std::ofstream(path, std::ios::binary) << "file body\n";
  const LibHandle h = Open();
  ASSERT_EQ(HttpPostFile(h, path.c_str(), "/echo", "", 0), 200) << Error();
  HttpTransferStatus status{};
  HttpGetTransferStatus(h, &status);
  EXPECT_EQ(status.copied, 10u);
  // The echo comes back as the next GET would see it: the session carries on.
  EXPECT_EQ(Get(h, "/small.txt"), "line one\nline two\n");
  const auto log = AccessLog(peer_->dir(), 2);
  ASSERT_EQ(log.size(), 2u);
  EXPECT_NE(log[0].find("POST /echo type=[multipart/form-data; boundary=\"----=_CV9530_"), std::string::npos) << log[0];
  EXPECT_NE(log[1].find("GET /small.txt type=[]"), std::string::npos) << log[1];
  HttpDisconnect(h);
}

// What one operation computed for its own request never reaches the next one.
TEST_F(HttpNginx, NothingCarriesOverToTheNextRequest) {
  Write("a.bin", Pattern(1000));
  Write("b.bin", Pattern(2000));
  const LibHandle h = Open();
  const auto resumed = local_ / "a.bin";
  std::ofstream(resumed, std::ios::binary) << Pattern(1000).substr(0, 100);
  ASSERT_EQ(HttpRetrieveFile(h, resumed.c_str(), "/a.bin", 0, 100), 206) << Error();
  EXPECT_EQ(ReadFile(resumed), Pattern(1000));
  EXPECT_EQ(Get(h, "/b.bin"), Pattern(2000));  // the whole file, not a range of it

  for (const char* name : {"a.png", "b.txt"}) std::ofstream(local_ / name) << "content";
  ASSERT_EQ(HttpStoreFile(h, (local_ / "a.png").c_str(), "/dav/a.png", 0, 0), 201) << Error();
  ASSERT_EQ(HttpStoreFile(h, (local_ / "b.txt").c_str(), "/dav/b.txt", 0, 0), 201) << Error();
  HttpSetCompression(h, 1);
  Get(h, "/small.txt");
  HttpSetCompression(h, 0);
  ASSERT_EQ(HttpPostFile(h, (local_ / "b.txt").c_str(), "/dav/form", "f", 0), -1);  // nginx refuses a POST there
  Get(h, "/small.txt");
  HttpDisconnect(h);

  const auto log = AccessLog(peer_->dir(), 7);
  ASSERT_EQ(log.size(), 7u);
  const char* expected[] = {
      "GET /a.bin type=[] range=[bytes=100-] enc=[]",
      "GET /b.bin type=[] range=[] enc=[]",
      "PUT /dav/a.png type=[image/png] range=[]",
      "PUT /dav/b.txt type=[text/plain] range=[]",
      "GET /small.txt type=[] range=[] enc=[gzip, deflate]",
      "POST /dav/form type=[multipart/form-data",
      "GET /small.txt type=[] range=[] enc=[]",
  };
  for (size_t i = 0; i < std::size(expected); ++i) EXPECT_EQ(log[i].find(expected[i]), 0u) << log[i];
}

class HttpNginx6 : public HttpNginx {
 protected:
  void SetUp() override {
    family_ = AF_INET6;
    HttpNginx::SetUp();
  }
};

TEST_F(HttpNginx6, DownloadOverIpv6) {
  const LibHandle h =
      HttpConnect("::1", peer_->port(), 10, cvhttp::kOptKeepAlive | cvhttp::kOptIpv6, kVersion11, nullptr);
  ASSERT_NE(h, kInvalidLibHandle) << Error();
  EXPECT_EQ(Get(h, "/small.txt"), "line one\nline two\n");
  SockAddress local{};
  EXPECT_EQ(HttpGetLocalAddress(h, 0, &local), 23);
  HttpDisconnect(h);
}

}  // namespace
}  // namespace httptest

namespace httptest {
namespace {

class HttpNginxTls : public HttpNginx {
 protected:
  void SetUp() override {
    Http::SetUp();
    peer_ = std::make_unique<cvpeers::PeerProcess>(NginxOptions(AF_INET, true));
    const std::string dir = peer_->dir().string();
    const std::string command = "openssl req -x509 -newkey rsa:2048 -nodes -days 2 -subj /CN=localhost -keyout '" +
                                dir + "/key.pem' -out '" + dir + "/cert.pem' >/dev/null 2>&1";
    if (std::system(command.c_str()) != 0) GTEST_SKIP() << "openssl cannot make a test certificate";
    CV_START_PEER(*peer_);
    www_ = peer_->dir() / "www";
    std::filesystem::create_directories(www_ / "dav");
    Write("small.txt", "line one\nline two\n");
    large_ = Pattern(2u << 20);
    Write("large.bin", large_);
  }
};

TEST_F(HttpNginxTls, HttpsDownloadsUploadsAndKeepAlive) {
  const std::string url = "https://127.0.0.1:" + std::to_string(peer_->port()) + "/";
  const LibHandle h = HttpConnect(url.c_str(), 0, 10, 0x2, kVersion11, nullptr);
  ASSERT_NE(h, kInvalidLibHandle) << Error();
  // A self-signed certificate does not validate, and still yields a session.
  EXPECT_EQ(HttpGetSession(h)->certificateStatus, 5u);
  EXPECT_EQ(Get(h, "/small.txt"), "line one\nline two\n");
  const std::string connection = ResponseHeader(h, "X-Connection");
  EXPECT_EQ(Get(h, "/large.bin"), large_);
  const std::string data = Pattern(300000);
  EXPECT_EQ(HttpStoreData(h, "/dav/tls.bin", data.data(), uint32_t(data.size())), 201) << Error();
  EXPECT_EQ(ReadFile(www_ / "dav" / "tls.bin"), data);
  EXPECT_EQ(Get(h, "/small.txt"), "line one\nline two\n");
  EXPECT_EQ(ResponseHeader(h, "X-Connection"), connection);
  EXPECT_EQ(HttpDisconnect(h), 0);
}

TEST_F(HttpNginxTls, PlainRequestsToATlsServerFailCleanly) {
  const LibHandle h = HttpConnect("127.0.0.1", peer_->port(), 3, 0x2, kVersion11, nullptr);
  ASSERT_NE(h, kInvalidLibHandle);
  plat::HGLOBAL block = nullptr;
  uint32_t length = 0;
  EXPECT_EQ(HttpRetrieveData(h, "/small.txt", &block, &length, 0), -1);  // nginx answers 400
  if (block) plat::GlobalFree(block);
  HttpDisconnect(h);
}

}  // namespace
}  // namespace httptest
