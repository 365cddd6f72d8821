// A data connection whose TLS handshake fails, against a scripted server that speaks TLS on
// its command channel and plain text on the data connection: the transfer fails with the
// handshake's error, and the session stays valid and in step for the next command.
#include <openssl/err.h>
#include <openssl/ssl.h>
#include <sys/socket.h>
#include <unistd.h>

#include <map>
#include <sstream>

#include "support/script_server.h"
#include "tls_fixture.h"

namespace ftptls {
namespace {

using cvtest::ScriptServer;
using namespace std::chrono_literals;

// Command lines over the server's side of a TLS connection.
class TlsLines {
 public:
  TlsLines(int fd, const std::filesystem::path& certificate) {
    timeval limit{10, 0};  // a stuck test ends, it does not hang
    ::setsockopt(fd, SOL_SOCKET, SO_RCVTIMEO, &limit, sizeof limit);
    ctx_ = SSL_CTX_new(TLS_server_method());
    SSL_CTX_set_max_proto_version(ctx_, TLS1_2_VERSION);
    SSL_CTX_use_certificate_chain_file(ctx_, certificate.c_str());
    SSL_CTX_use_PrivateKey_file(ctx_, certificate.c_str(), SSL_FILETYPE_PEM);
    ssl_ = SSL_new(ctx_);
    SSL_set_fd(ssl_, fd);
    ok_ = SSL_accept(ssl_) == 1;
  }
  ~TlsLines() {
    SSL_shutdown(ssl_);
    SSL_free(ssl_);
    SSL_CTX_free(ctx_);
  }
  bool ok() const { return ok_; }
  bool ReadLine(std::string& line) {
    for (;;) {
      const size_t nl = pending_.find("\r\n");
      if (nl != std::string::npos) {
        line = pending_.substr(0, nl);
        pending_.erase(0, nl + 2);
        return true;
      }
      char buf[512];
      const int n = SSL_read(ssl_, buf, sizeof buf);
      if (n <= 0) return false;
      pending_.append(buf, size_t(n));
    }
  }
  void Send(const std::string& line) {
    const std::string text = line + "\r\n";
    SSL_write(ssl_, text.data(), int(text.size()));
  }

 private:
  SSL_CTX* ctx_ = nullptr;
  SSL* ssl_ = nullptr;
  bool ok_ = false;
  std::string pending_;
};

TEST_F(TlsTest, FailedDataHandshakeLeavesTheSessionUsable) {
  const std::filesystem::path certificate = ServerCertificate();
  ScriptServer server;
  std::vector<std::string> commands;
  server.Reply("220 ready").Expect("AUTH TLS").Reply("234 go ahead").Call([&](ScriptServer& s) {
    TlsLines tls(s.clientSocket(), certificate);
    if (!tls.ok()) return;
    const std::map<std::string, std::string> replies = {
        {"PBSZ", "200 PBSZ=0"},          {"PROT", "200 Protection set"}, {"USER", "331 Password required"},
        {"PASS", "230 Logged in"},       {"SYST", "215 UNIX Type: L8"},  {"PWD", "257 \"/\""},
        {"TYPE", "200 Type set"},        {"SIZE", "550 No size"},        {"QUIT", "221 Bye"}};
    int listener = -1;
    for (std::string line; tls.ReadLine(line);) {
      commands.push_back(line);
      const std::string verb = line.substr(0, line.find(' '));
      if (verb == "PASV") {
        int port = 0;
        listener = s.OpenListener(&port);
        std::ostringstream o;
        o << "227 Entering Passive Mode (127,0,0,1," << (port >> 8) << "," << (port & 255) << ")";
        tls.Send(o.str());
      } else if (verb == "RETR") {
        tls.Send("150 Opening data connection");
        // The client's hello is answered in plain text: no TLS peer on this connection.
        const int c = ScriptServer::AcceptOne(listener, 5s);
        if (c >= 0) {
          const std::string plain = "421 plain text is all you get here\r\n";
          ::send(c, plain.data(), plain.size(), MSG_NOSIGNAL);
          ::close(c);
        }
        tls.Send("425 Unable to build the data connection");
      } else if (replies.count(verb)) {
        tls.Send(replies.at(verb));
        if (verb == "QUIT") break;
      } else {
        tls.Send("500 Unknown command");
      }
    }
    if (listener >= 0) ::close(listener);
  });
  server.Start();
  LibHandle h = FtpConnect(server.address(), uint32_t(server.port()), "u", "p", 3, kTls | kTlsExplicit | kPassive,
                           nullptr);
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
