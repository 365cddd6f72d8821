// The engine's server TLS against real clients (openssl s_client, curl) on 127.0.0.1 and
// ::1, and the client role of the TLS layer against the engine.
#include <cstdio>
#include <cstring>
#include <string>

#include "core/errors/error_codes.h"
#include "peers/peer.h"
#include "sockets_util.h"
#include "test_pki.h"

using namespace socktest;

namespace {

// Answers "ping" with "pong: ping" and an HTTP request with a small page, then closes.
void OnTlsEvent(uint64_t handle, uint32_t event, uint32_t error, uint64_t) {
  if (event != kServerEventRead || error != 0) return;
  const SOCKET h = SOCKET(handle);
  std::string line(32768, '\0');
  uint32_t size = uint32_t(line.size());
  if (!InetReadLine(h, line.data(), &size)) return;
  std::string text(line.data(), size);
  if (text.rfind("GET ", 0) == 0) {
    do size = uint32_t(line.size());
    while (InetReadLine(h, line.data(), &size) && size > 0);
    const char* page = "HTTP/1.0 200 OK\r\nContent-Length: 12\r\nConnection: close\r\n\r\nhello secure";
    InetWrite(h, page, int32_t(std::strlen(page)));
  } else {
    InetWriteLine(h, ("pong: " + text).c_str(), nullptr);
  }
  InetDisconnect(h);
}

std::string RunCommand(const std::string& command) {
  std::string out;
  if (FILE* p = ::popen(command.c_str(), "r")) {
    char buf[512];
    size_t n;
    while ((n = std::fread(buf, 1, sizeof buf, p)) > 0) out.append(buf, n);
    ::pclose(p);
  }
  return out;
}

class ServerTls : public Attached {
 protected:
  static void SetUpTestSuite() { pki = new testpki::TestPki(); }
  static void TearDownTestSuite() { delete pki; }

  void SetUp() override {
    Attached::SetUp();
    pem = pki->Issue("server", testpki::CertSpec{});
    server = ServerCreate("::", 0, OnTlsEvent, 20);
    ASSERT_NE(server, INVALID_SOCKET);
    ServerRecord* s = ServerFindByHandle(server);
    InetLock();
    const int32_t built = SecBuildCredentials(16, 0, nullptr, nullptr, pem.c_str(), "localhost", &s->credentials);
    InetUnlock();
    ASSERT_EQ(built, 1) << std::hex << InetGetLastError();
    s->clientOptions.fetch_or(kInetOptionSecure);
    port = s->port;
  }
  void TearDown() override {
    ServerStop(server);
    Attached::TearDown();
  }
  bool HasIpv6() { return cvpeers::LoopbackAvailable(AF_INET6); }

  static inline testpki::TestPki* pki = nullptr;
  std::filesystem::path pem;
  SOCKET server = INVALID_SOCKET;
  uint32_t port = 0;
};

TEST_F(ServerTls, OpensslClientOnBothLoopbacks) {
  if (cvpeers::FindProgram("openssl").empty()) GTEST_SKIP() << "openssl not installed";
  for (std::string host : {"127.0.0.1", "[::1]"}) {
    if (host[0] == '[' && !HasIpv6()) continue;
    std::string out = RunCommand("echo ping | timeout 20 openssl s_client -connect " + host + ":" + std::to_string(port) +
                          " -tls1_2 -quiet 2>/dev/null");
    EXPECT_NE(out.find("pong: ping"), std::string::npos) << host << ": " << out;
  }
}

TEST_F(ServerTls, CurlOnBothLoopbacks) {
  if (cvpeers::FindProgram("curl").empty()) GTEST_SKIP() << "curl not installed";
  for (std::string host : {"127.0.0.1", "[::1]"}) {
    if (host[0] == '[' && !HasIpv6()) continue;
    std::string out =
        RunCommand("curl -gsk --max-time 20 https://" + host + ":" + std::to_string(port) + "/ 2>/dev/null");
    EXPECT_EQ(out, "hello secure") << host;
  }
}

TEST_F(ServerTls, PlainClientFailsTheHandshakeAndTheServerGoesOn) {
  int c = ConnectRaw(port);
  SendRaw(c, "ping\r\n\r\n");  // not a TLS hello
  EXPECT_TRUE(PeerClosed(c, 20000));  // the handshake runs under ASan on a loaded machine
  ::close(c);
  if (cvpeers::FindProgram("curl").empty()) GTEST_SKIP() << "curl not installed";
  EXPECT_EQ(RunCommand("curl -sk --max-time 20 https://127.0.0.1:" + std::to_string(port) + "/ 2>/dev/null"),
            "hello secure");
}

// Connections share the server's credentials; a certificate file replaced on disk is
// what the next client sees.
TEST_F(ServerTls, ReplacedCertificateFileIsPresentedToTheNextConnection) {
  if (cvpeers::FindProgram("openssl").empty()) GTEST_SKIP() << "openssl not installed";
  const auto subject = [&] {
    return RunCommand("timeout 20 openssl s_client -connect 127.0.0.1:" + std::to_string(port) +
                      " -tls1_2 </dev/null 2>/dev/null | openssl x509 -noout -subject 2>/dev/null");
  };
  for (int i = 0; i < 2; ++i) EXPECT_NE(subject().find("Corvanetics Test"), std::string::npos);
  testpki::CertSpec spec;
  spec.organization = "Replacement Issued Later";
  const std::filesystem::path replacement = pki->Issue("replacement", spec);
  std::filesystem::copy_file(replacement, pem, std::filesystem::copy_options::overwrite_existing);
  EXPECT_NE(subject().find("Replacement Issued Later"), std::string::npos);
}

TEST_F(ServerTls, ClientRoleWithAndWithoutCertificateCheck) {
  SOCKET c = InetConnect("localhost", port);
  ASSERT_NE(c, INVALID_SOCKET);
  // The test CA is not trusted: the session stands, the check is reported.
  EXPECT_EQ(SecStartSession(c, kSecRoleByHandle, nullptr), 0);
  EXPECT_EQ(InetGetLastError(), cvErrorSecurityCertificate);
  EXPECT_NE(SecGetCertificateStatus(c), 0u);
  ASSERT_EQ(InetWriteLine(c, "ping", nullptr), 1);
  char line[64];
  uint32_t size = sizeof line;
  ASSERT_EQ(InetReadLine(c, line, &size), 1);
  EXPECT_EQ(std::string(line, size), "pong: ping");
  size = sizeof line;
  EXPECT_EQ(InetReadLine(c, line, &size), 0);  // the server closed
  EXPECT_EQ(InetIsClosed(c), 1);
  InetReleaseHandle(c);

  c = InetConnect("localhost", port);
  ASSERT_NE(c, INVALID_SOCKET);
  InetLookupHandle(c)->options.fetch_or(kInetOptionNoCertCheck);
  EXPECT_EQ(SecStartSession(c, kSecRoleClient, nullptr), 0);
  EXPECT_EQ(InetGetLastError(), 0u);
  // A large write goes out in records and comes back whole.
  std::string big(20000, 'b');
  ASSERT_EQ(InetWriteLine(c, big.c_str(), nullptr), 1);
  std::string echoed(30000, '\0');
  size = uint32_t(echoed.size());
  ASSERT_EQ(InetReadLine(c, echoed.data(), &size), 1);
  EXPECT_EQ(size, 6 + 20000u);
  InetReleaseHandle(c);
}

}  // namespace
