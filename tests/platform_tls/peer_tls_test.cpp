// The adapter as a client of real TLS servers on loopback.
#include <arpa/inet.h>
#include <netinet/in.h>
#include <sys/socket.h>
#include <sys/time.h>
#include <unistd.h>

#include <gtest/gtest.h>

#include "peers/peer.h"
#include "tls_pair.h"

using namespace plat;

namespace {

// Drives a client context over a blocking loopback socket.
class SocketClient {
 public:
  SocketClient(uint16_t port, std::shared_ptr<TlsCredentials> creds, const std::string& target = "localhost") {
    fd_ = socket(AF_INET, SOCK_STREAM, 0);
    timeval tv{10, 0};
    setsockopt(fd_, SOL_SOCKET, SO_RCVTIMEO, &tv, sizeof tv);
    sockaddr_in sa{};
    sa.sin_family = AF_INET;
    sa.sin_port = htons(port);
    inet_pton(AF_INET, "127.0.0.1", &sa.sin_addr);
    connected_ = connect(fd_, reinterpret_cast<sockaddr*>(&sa), sizeof sa) == 0;
    TlsError e;
    ctx = TlsContext::Create(std::move(creds), target, e);
  }
  ~SocketClient() { Close(); }

  // Answers with our close-notify and closes the socket.
  void Close() {
    if (fd_ < 0) return;
    std::vector<uint8_t> out;
    if (ctx && ctx->Shutdown(out)) SendRaw(out);
    close(fd_);
    fd_ = -1;
  }

  bool Handshake() {
    if (!connected_) return false;
    for (;;) {
      std::vector<uint8_t> out;
      size_t used = 0;
      TlsStatus st = ctx->Step(in_, out, used);
      in_.erase(in_.begin(), in_.begin() + long(used));
      if (!SendRaw(out)) return false;
      if (st == TlsStatus::Ok) return true;
      if (st == TlsStatus::Error) return false;
      if (st == TlsStatus::IncompleteCredentials) {
        ++certificateRequests;
        TlsCertificate chosen = TlsChooseClientCertificate(candidates, ctx->AcceptableIssuers());
        if (chosen) ctx->SetClientCertificate(chosen);
        continue;
      }
      if ((st == TlsStatus::IncompleteMessage || in_.empty()) && !Receive()) return false;
    }
  }

  bool Send(const std::string& text) {
    std::vector<uint8_t> wire;
    return ctx->Encrypt({reinterpret_cast<const uint8_t*>(text.data()), text.size()}, wire) && SendRaw(wire);
  }

  // Reads plaintext until the server ends TLS or closes; end tells which.
  std::string ReadToEnd(TlsStatus& end) {
    std::string text;
    std::vector<uint8_t> plain(16384);
    for (;;) {
      size_t n = 0, used = 0;
      end = ctx->Decrypt(in_, plain.data(), plain.size(), n, used);
      in_.erase(in_.begin(), in_.begin() + long(used));
      text.append(reinterpret_cast<char*>(plain.data()), n);
      if (end == TlsStatus::IncompleteMessage) {
        if (!Receive()) return text;  // closed without close-notify: a normal end
        continue;
      }
      if (end == TlsStatus::Renegotiate && !Handshake()) return text;
      if (end == TlsStatus::ContextExpired || end == TlsStatus::Error) return text;
    }
  }

  std::unique_ptr<TlsContext> ctx;
  std::vector<TlsCertificate> candidates;
  int certificateRequests = 0;

 private:
  bool SendRaw(const std::vector<uint8_t>& bytes) {
    size_t at = 0;
    while (at < bytes.size()) {
      ssize_t n = send(fd_, bytes.data() + at, bytes.size() - at, MSG_NOSIGNAL);
      if (n <= 0) return false;
      at += size_t(n);
    }
    return true;
  }
  bool Receive() {
    uint8_t buf[16384];
    ssize_t n = recv(fd_, buf, sizeof buf, 0);
    if (n <= 0) return false;
    in_.insert(in_.end(), buf, buf + n);
    return true;
  }

  int fd_ = -1;
  bool connected_ = false;
  std::vector<uint8_t> in_;
};

class PeerTls : public ::testing::Test {
 protected:
  static void SetUpTestSuite() {
    pki = new testpki::TestPki();
    serverPem = pki->Issue("server", {}).string();
    testpki::CertSpec client;
    client.commonName = "client one";
    client.clientAuth = true;
    client.issuer = 1;
    clientPem = pki->Issue("client", client).string();
    client.issuer = 0;
    client.commonName = "client zero";
    otherClientPem = pki->Issue("client0", client).string();
  }
  static void TearDownTestSuite() { delete pki; }

  static cvpeers::PeerOptions OpenSsl(std::vector<std::string> extra) {
    cvpeers::PeerOptions o;
    o.program = "openssl";
    o.args = {"s_server", "-accept", "127.0.0.1:{{PORT}}", "-cert", serverPem, "-key", serverPem, "-www"};
    o.args.insert(o.args.end(), extra.begin(), extra.end());
    return o;
  }
  static std::shared_ptr<TlsCredentials> Client(uint32_t mask = kTlsProtocolTls12) {
    return tlstest::Creds(TlsRole::Client, mask, {}, pki->caFile().string());
  }
  // GET / and the page the server answers with.
  static std::string Page(SocketClient& c, TlsStatus& end) {
    EXPECT_TRUE(c.Send("GET / HTTP/1.0\r\n\r\n"));
    return c.ReadToEnd(end);
  }

  static inline testpki::TestPki* pki = nullptr;
  static inline std::string serverPem, clientPem, otherClientPem;
};

TEST_F(PeerTls, Tls12HandshakeDataAndCloseNotify) {
  cvpeers::PeerProcess server(OpenSsl({"-tls1_2"}));
  CV_START_PEER(server);
  SocketClient c(server.port(), Client());
  ASSERT_TRUE(c.Handshake()) << server.Diagnostics();
  EXPECT_EQ(c.ctx->VerifyPeer("localhost").state, kTlsCertValid);
  EXPECT_EQ(c.ctx->VerifyPeer("127.0.0.1").state, kTlsCertValid);
  TlsConnectionInfo info;
  ASSERT_TRUE(c.ctx->ConnectionInfo(info));
  EXPECT_EQ(info.protocol, kTlsProtocolTls12);
  TlsStatus end;
  std::string page = Page(c, end);
  EXPECT_NE(page.find("TLSv1.2"), std::string::npos) << page;
  EXPECT_EQ(end, TlsStatus::ContextExpired);
}

TEST_F(PeerTls, Tls10AtSecurityLevelZero) {
  cvpeers::PeerProcess server(OpenSsl({"-tls1", "-cipher", "DEFAULT:@SECLEVEL=0"}));
  CV_START_PEER(server);
  SocketClient c(server.port(), Client(kTlsProtocolTls10));
  ASSERT_TRUE(c.Handshake()) << server.Diagnostics();
  TlsConnectionInfo info;
  ASSERT_TRUE(c.ctx->ConnectionInfo(info));
  EXPECT_EQ(info.protocol, kTlsProtocolTls10);
  EXPECT_EQ(info.hash, kTlsHashSha1);
  TlsStatus end;
  EXPECT_NE(Page(c, end).find("TLSv1"), std::string::npos);
}

TEST_F(PeerTls, ClientCertificateChosenByIssuerList) {
  cvpeers::PeerProcess server(OpenSsl({"-tls1_2", "-Verify", "1", "-CAfile", pki->caFile(1).string()}));
  CV_START_PEER(server);
  SocketClient c(server.port(), Client());
  // Only the certificate from the server's accepted CA fits, though it comes second.
  c.candidates = {tlstest::LoadCert(otherClientPem), tlstest::LoadCert(clientPem)};
  ASSERT_TRUE(c.Handshake()) << server.Diagnostics();
  EXPECT_EQ(c.certificateRequests, 1);
  TlsStatus end;
  std::string page = Page(c, end);
  // The server validated what it got against the accepted CA only.
  EXPECT_NE(page.find("Client certificate"), std::string::npos) << page;
  EXPECT_NE(page.find("Verify return code: 0 (ok)"), std::string::npos) << page;
}

TEST_F(PeerTls, SecondConnectionResumesTheSession) {
  cvpeers::PeerProcess server(OpenSsl({"-tls1_2"}));
  CV_START_PEER(server);
  auto creds = Client();
  SocketClient first(server.port(), creds);
  ASSERT_TRUE(first.Handshake());
  TlsStatus end;
  EXPECT_NE(Page(first, end).find("New, "), std::string::npos);
  TlsSession session = first.ctx->ExportSession();
  first.Close();  // the server serves one connection at a time
  SocketClient second(server.port(), Client());
  ASSERT_TRUE(second.ctx->ResumeSession(session));
  ASSERT_TRUE(second.Handshake()) << server.StderrText();
  EXPECT_TRUE(second.ctx->SessionReused());
  EXPECT_NE(Page(second, end).find("Reused, "), std::string::npos);
}

TEST_F(PeerTls, OtherTlsImplementation) {
  cvpeers::PeerProcess server({.program = "gnutls-serv",
                               .args = {"--http", "-p", "{{PORT}}", "--x509certfile", serverPem,
                                        "--x509keyfile", serverPem}});
  CV_START_PEER(server);
  SocketClient c(server.port(), Client(kTlsProtocolAnyTls));
  ASSERT_TRUE(c.Handshake()) << server.Diagnostics();
  EXPECT_EQ(c.ctx->VerifyPeer("localhost").state, kTlsCertValid);
  TlsStatus end;
  std::string page = Page(c, end);
  EXPECT_NE(page.find("TLS1.2"), std::string::npos) << page.substr(0, 400);
}

}  // namespace
