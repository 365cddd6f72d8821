// A data connection whose TLS handshake fails, against a scripted server that speaks TLS on
// its command channel and plain text on the data connection: the transfer fails with the
// handshake's error, and the session stays valid and in step for the next command.
#include <sys/socket.h>
#include <unistd.h>

#include "support/ftps_commands.h"
#include "support/script_server.h"
#include "tls_fixture.h"

namespace ftptls {
namespace {

using cvtest::ScriptServer;
using namespace std::chrono_literals;

TEST_F(TlsTest, FailedDataHandshakeLeavesTheSessionUsable) {
  const std::filesystem::path certificate = ServerCertificate();
  ScriptServer server;
  std::vector<std::string> commands;
  server.Reply("220 ready").Expect("AUTH TLS").Reply("234 go ahead").Call([&](ScriptServer& s) {
    cvtest::ServeFtpsCommands(
        s, certificate,
        [](int listener) {
          // The client's hello is answered in plain text: no TLS peer on this connection.
          const int c = ScriptServer::AcceptOne(listener, 5s);
          if (c >= 0) {
            const std::string plain = "421 plain text is all you get here\r\n";
            ::send(c, plain.data(), plain.size(), MSG_NOSIGNAL);
            ::close(c);
          }
        },
        &commands);
  });
  server.Start();
  LibHandle h = FtpConnect(server.address(), uint32_t(server.port()), "u", "p", 3,
                           kOptTls | kOptTlsExplicit | kOptPassive, nullptr);
  ASSERT_NE(h, kNone) << LastError();

  EXPECT_EQ(FtpRetrieveFile(h, Path("f").c_str(), "f", 0, 0), -1);
  EXPECT_EQ(LastError(), cvErrorSecurityContext);
  ASSERT_NE(FtpGetSession(h), nullptr) << "the session outlives its failed data connection";
  EXPECT_EQ(FtpGetSocket(h, 1), INVALID_SOCKET);
  // The failed transfer's reply is taken first; the next command gets its own.
  EXPECT_EQ(FtpSendCommand(h, "PWD", nullptr), 257);
  EXPECT_EQ(FtpDisconnect(h), 0);
  EXPECT_TRUE(server.Finish()) << server.failure();
  ASSERT_FALSE(commands.empty());
  EXPECT_EQ(commands.back(), "QUIT");
}

}  // namespace
}  // namespace ftptls
