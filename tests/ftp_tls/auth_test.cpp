// The AUTH exchange of an explicit-TLS connect against a scripted server: AUTH SSL after
// a refused AUTH TLS, and a server that refuses both.
#include <cstring>

#include "support/script_server.h"
#include "tls_fixture.h"

namespace ftptls {
namespace {

using cvtest::ScriptServer;

LibHandle ConnectTo(ScriptServer& server) {
  server.Start();
  return FtpConnect(server.address(), uint32_t(server.port()), nullptr, nullptr, 2, kOptTlsExplicit, nullptr);
}

TEST_F(TlsTest, AuthSslAfterRefusedAuthTls) {
  ScriptServer server;
  // After 234 the client starts its handshake; the server closes instead.
  server.Reply("220 ready").Expect("AUTH TLS").Reply("500 unknown").Expect("AUTH SSL").Reply("234 go ahead").Close();
  EXPECT_EQ(ConnectTo(server), kNone);
  EXPECT_EQ(LastError(), cvErrorSecurityContext);
  EXPECT_TRUE(server.Finish()) << server.failure();
}

TEST_F(TlsTest, AuthRefusedBothWays) {
  ScriptServer server;
  server.Reply("220 ready").Expect("AUTH TLS").Reply("504 no").Expect("AUTH SSL").Reply("504 no");
  EXPECT_EQ(ConnectTo(server), kNone);
  EXPECT_EQ(LastError(), cvErrorSecurityContext);
  EXPECT_EQ(server.received().size(), 2u);
}

// A server that answers the client's hello with plain text is no TLS peer.
TEST_F(TlsTest, PlainTextDuringTheHandshake) {
  ScriptServer server;
  server.Reply("220 ready").Expect("AUTH TLS").Reply("234 go ahead").Sleep(std::chrono::milliseconds(100))
      .Send("421 this is not TLS at all\r\n").Sleep(std::chrono::milliseconds(500));
  EXPECT_EQ(ConnectTo(server), kNone);
  EXPECT_EQ(LastError(), cvErrorSecurityContext);
}

TEST_F(TlsTest, SecurityInfoOfAPlainSession) {
  ScriptServer server;
  server.Reply("220 ready").Expect("QUIT").Reply("221 bye");
  server.Start();
  LibHandle h =
      FtpConnect(server.address(), uint32_t(server.port()), nullptr, nullptr, 2, cvftp::kOptNoServerQueries, nullptr);
  ASSERT_NE(h, kNone) << LastError();
  SecSessionInfo info;
  std::memset(&info, 0xA5, sizeof info);
  info.size = 87;
  EXPECT_EQ(FtpGetSecurityInfo(h, &info), 0);
  EXPECT_EQ(LastError(), cvErrorInvalidParameter);
  info.size = sizeof info;
  EXPECT_EQ(FtpGetSecurityInfo(h, &info), 1);
  EXPECT_EQ(info.size, 88u);
  EXPECT_EQ(info.protocol, 0u);
  EXPECT_EQ(info.certificateStatus, 0u);
  EXPECT_EQ(info.issuer, nullptr);
  EXPECT_EQ(FtpDisconnect(h), 0);
}

}  // namespace
}  // namespace ftptls
