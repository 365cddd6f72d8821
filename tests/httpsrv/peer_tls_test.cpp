// The server over TLS against curl: bodies small enough to share the head's send and large
// files sent in blocks of records, on one kept-alive connection.
#include "httpsrv_util.h"
#include "test_pki.h"

using namespace httpsrvtest;

TEST(HttpSrvTls, CurlGetsSmallAndLargeFilesOnOneKeptAliveConnection) {
  if (cvpeers::FindProgram("curl").empty()) GTEST_SKIP() << "curl not installed";
  ASSERT_EQ(HttpServerAttach(nullptr, nullptr), 1);
  testpki::TestPki pki;
  const fs::path pem = pki.Issue("server", testpki::CertSpec{});
  SecCredentials* credentials = nullptr;
  ASSERT_EQ(SecBuildCredentials(16, 0, nullptr, nullptr, pem.c_str(), "localhost", &credentials), 1);

  cvpeers::TempDir dir;
  const std::string root = (dir.path() / "root").string(), temp = (dir.path() / "temp").string();
  fs::create_directories(root);
  fs::create_directories(temp);
  std::string big(3 * 1024 * 1024 + 17, '\0');
  for (size_t i = 0; i < big.size(); ++i) big[i] = char('a' + i * 7919 % 26);
  dir.Write("root/small.txt", "small body");
  dir.Write("root/big.txt", big);

  HttpServerConfig config{};
  config.size = sizeof config;
  config.rootDirectory = root.c_str();
  config.tempDirectory = temp.c_str();
  config.hostName = "localhost";
  uint64_t server = uint64_t(INVALID_SOCKET);
  uint16_t port = 0;
  for (int attempt = 0; attempt < 5 && server == uint64_t(INVALID_SOCKET); ++attempt) {
    port = cvpeers::FreePort(AF_INET);
    server = HttpServerStart("127.0.0.1", port, httpServerSecure, &config, nullptr, 0, credentials);
  }
  SecFreeCredentials(&credentials);  // the server holds its own copy
  ASSERT_NE(server, uint64_t(INVALID_SOCKET)) << std::hex << InetGetLastError();

  const std::string base = "https://127.0.0.1:" + std::to_string(port);
  // After each transfer curl writes how many connections it opened for it: the second
  // must have used the first one's.
  const std::string out = RunCommand("curl -sSk -m 30 -H 'Connection: keep-alive' -w '[%{num_connects}]' " + base +
                                     "/small.txt " + base + "/big.txt 2>&1");
  EXPECT_TRUE(out == "small body[1]" + big + "[0]") << out.size() << " bytes: " << out.substr(0, 200);
  HttpServerStop(server);
  HttpServerDetach();
}
