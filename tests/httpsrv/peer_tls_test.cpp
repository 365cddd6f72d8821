// The server over TLS against curl and wget: bodies small enough to share the head's send,
// large files sent in blocks of records on one kept-alive connection, and a listing whose
// end is the end of the connection.
#include "httpsrv_util.h"
#include "test_pki.h"

using namespace httpsrvtest;

namespace {

// A secure server on 127.0.0.1 with a certificate for "localhost", in a private root.
class TlsServer {
 public:
  TlsServer() {
    EXPECT_EQ(HttpServerAttach(nullptr, nullptr), 1);
    const fs::path pem = pki_.Issue("server", testpki::CertSpec{});
    SecCredentials* credentials = nullptr;
    EXPECT_EQ(HttpServerBuildCredentials(nullptr, nullptr, pem.c_str(), "localhost", &credentials), 1);
    root_ = (dir_.path() / "root").string();
    temp_ = (dir_.path() / "temp").string();
    fs::create_directories(root_);
    fs::create_directories(temp_);
    HttpServerConfig config{};
    config.size = sizeof config;
    config.rootDirectory = root_.c_str();
    config.tempDirectory = temp_.c_str();
    config.hostName = "localhost";
    for (int attempt = 0; attempt < 5 && server_ == uint64_t(INVALID_SOCKET); ++attempt) {
      port_ = cvpeers::FreePort(AF_INET);
      server_ = HttpServerStart("127.0.0.1", port_, httpServerSecure, &config, nullptr, 0, credentials);
    }
    HttpServerFreeCredentials(&credentials);  // the server holds its own copy
    EXPECT_NE(server_, uint64_t(INVALID_SOCKET)) << std::hex << InetGetLastError();
  }
  ~TlsServer() {
    if (server_ != uint64_t(INVALID_SOCKET)) HttpServerStop(server_);
    HttpServerDetach();
  }
  bool started() const { return server_ != uint64_t(INVALID_SOCKET); }
  void Write(const std::string& name, const std::string& content) { dir_.Write("root/" + name, content); }
  std::string Base() const { return "https://127.0.0.1:" + std::to_string(port_); }

 private:
  testpki::TestPki pki_;
  cvpeers::TempDir dir_;
  std::string root_, temp_;
  uint64_t server_ = uint64_t(INVALID_SOCKET);
  uint16_t port_ = 0;
};

}  // namespace

TEST(HttpSrvTls, CurlGetsSmallAndLargeFilesOnOneKeptAliveConnection) {
  if (cvpeers::FindProgram("curl").empty()) GTEST_SKIP() << "curl not installed";
  TlsServer srv;
  ASSERT_TRUE(srv.started());
  std::string big(3 * 1024 * 1024 + 17, '\0');
  for (size_t i = 0; i < big.size(); ++i) big[i] = char('a' + i * 7919 % 26);
  srv.Write("small.txt", "small body");
  srv.Write("big.txt", big);
  const std::string base = srv.Base();
  // After each transfer curl writes how many connections it opened for it: the second
  // must have used the first one's.
  const std::string out = RunCommand("curl -sSk -m 30 -H 'Connection: keep-alive' -w '[%{num_connects}]' " + base +
                                     "/small.txt " + base + "/big.txt 2>&1");
  EXPECT_TRUE(out == "small body[1]" + big + "[0]") << out.size() << " bytes: " << out.substr(0, 200);
}

// A listing has no length: its end is the connection's, which over TLS is the close-notify
// alert. Without it wget reports the body as cut off.
TEST(HttpSrvTls, WgetReadsAListingThatEndsWithTheConnection) {
  if (cvpeers::FindProgram("wget").empty()) GTEST_SKIP() << "wget not installed";
  TlsServer srv;
  ASSERT_TRUE(srv.started());
  srv.Write("docs/note.txt", "a note");
  const std::string out =
      RunCommand("wget -q -t 1 -T 20 --no-check-certificate -O - " + srv.Base() + "/docs/ 2>&1; echo \"[$?]\"");
  EXPECT_NE(out.find("<a href=\"note.txt\">note.txt</a>"), std::string::npos) << out;
  EXPECT_NE(out.find("</html>\r\n[0]"), std::string::npos) << out;
}
