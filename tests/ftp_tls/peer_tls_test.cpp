// FTPS against proftpd (mod_tls), vsftpd (require_ssl_reuse) and pure-ftpd: explicit and
// implicit TLS, passive and active data connections that resume the command channel's
// session, certificate states, client certificates, and protection changes mid-session.
#include <sys/socket.h>

#include <chrono>
#include <thread>

#include "ftp/ftp_internal.h"
#include "ftp/ftp_keepalive.h"
#include "platform/base/heap.h"
#include "support/ftp_peers.h"
#include "tls_fixture.h"

namespace ftptls {
namespace {

using cvtest::FtpPeer;
using cvtest::FtpPeerKind;
using cvtest::FtpPeerTls;

struct TlsCase {
  FtpPeerKind kind;
  int family;
  bool implicit;
  bool passive;
  const char* name;
};

class TlsServers : public TlsTest, public ::testing::WithParamInterface<TlsCase> {};

// Both directions through files and memory; vsftpd refuses every data connection that
// does not resume the command channel's session, proftpd does so by default.
TEST_P(TlsServers, TransfersBothWays) {
  const TlsCase& c = GetParam();
  FtpPeer peer(c.kind, c.family, FtpPeerTls{ServerCertificate(), c.implicit, true, {}});
  CV_START_PEER(peer);
  const std::string data = RandomBytes((2u << 20) + 12345, 3);
  peer.Put("down.bin", data);
  const uint32_t options = (c.implicit ? kOptTls : kOptTlsExplicit) | (c.passive ? kOptPassive : 0);
  LibHandle h = FtpConnect(peer.address().c_str(), peer.port(), peer.user(), peer.password(), 10, options, nullptr);
  ASSERT_NE(h, kNone) << LastError() << "\n" << peer.Diagnostics();

  SecSessionInfo info{};
  info.size = sizeof info;
  ASSERT_EQ(FtpGetSecurityInfo(h, &info), 1) << LastError();
  EXPECT_EQ(info.protocol, 16u);
  EXPECT_EQ(info.certificateStatus, 1u);
  ASSERT_NE(info.subject, nullptr);
  EXPECT_NE(std::string(info.subject).find("CN=localhost"), std::string::npos) << info.subject;
  EXPECT_GT(info.validTo.wYear, info.validFrom.wYear - 1);

  const std::string local = Path("down.bin");
  ASSERT_EQ(FtpRetrieveFile(h, local.c_str(), "down.bin", 0, 0), 0) << LastError() << "\n" << peer.Diagnostics();
  EXPECT_EQ(Read(local), data);

  const std::string up = peer.uploadDir().empty() ? "up.bin" : peer.uploadDir() + "/up.bin";
  ASSERT_EQ(FtpStoreFile(h, local.c_str(), up.c_str(), 0, 0), 0) << LastError();
  EXPECT_EQ(Read(peer.root() / up), data);

  plat::HGLOBAL block = nullptr;
  uint32_t length = 0;
  ASSERT_EQ(FtpRetrieveData(h, up.c_str(), &block, &length), 0) << LastError();
  ASSERT_EQ(length, data.size());
  EXPECT_EQ(std::string(static_cast<const char*>(plat::GlobalLock(block)), length), data);
  plat::GlobalUnlock(block);
  plat::GlobalFree(block);
  EXPECT_EQ(FtpDisconnect(h), 0);
}

INSTANTIATE_TEST_SUITE_P(
    Servers, TlsServers,
    ::testing::Values(TlsCase{FtpPeerKind::Proftpd, AF_INET, false, true, "proftpd_explicit_passive"},
                      TlsCase{FtpPeerKind::Proftpd, AF_INET, false, false, "proftpd_explicit_active"},
                      TlsCase{FtpPeerKind::Proftpd, AF_INET6, true, true, "proftpd6_implicit_passive"},
                      TlsCase{FtpPeerKind::Proftpd, AF_INET, true, false, "proftpd_implicit_active"},
                      TlsCase{FtpPeerKind::Vsftpd, AF_INET, false, true, "vsftpd_explicit_passive"},
                      TlsCase{FtpPeerKind::Vsftpd, AF_INET6, false, false, "vsftpd6_explicit_active"},
                      TlsCase{FtpPeerKind::Vsftpd, AF_INET, true, true, "vsftpd_implicit_passive"},
                      TlsCase{FtpPeerKind::Vsftpd, AF_INET, true, false, "vsftpd_implicit_active"},
                      TlsCase{FtpPeerKind::PureFtpd, AF_INET, false, true, "pureftpd_explicit_passive"},
                      TlsCase{FtpPeerKind::PureFtpd, AF_INET6, false, false, "pureftpd6_explicit_active"}),
    [](const auto& info) { return std::string(info.param.name); });

class TlsSpecial : public TlsTest {
 protected:
  LibHandle Connect(FtpPeer& peer, uint32_t options, SecCredentials* credentials = nullptr) {
    return FtpConnect(peer.address().c_str(), peer.port(), peer.user(), peer.password(), 10,
                      kOptTlsExplicit | kOptPassive | options, credentials);
  }
  static uint32_t CertificateStatus(LibHandle h) {
    SecSessionInfo info{};
    info.size = sizeof info;
    EXPECT_EQ(FtpGetSecurityInfo(h, &info), 1);
    return info.certificateStatus;
  }
};

// A certificate for another name is reported, not fatal; without validation nothing is
// reported against it.
TEST_F(TlsSpecial, CertificateForAnotherName) {
  FtpPeer peer(FtpPeerKind::Proftpd, AF_INET, FtpPeerTls{ServerCertificate("elsewhere.test"), false, false, {}});
  CV_START_PEER(peer);
  peer.Put("a.txt", "hello");
  LibHandle h = Connect(peer, 0);
  ASSERT_NE(h, kNone) << LastError() << "\n" << peer.Diagnostics();
  EXPECT_EQ(CertificateStatus(h), 2u);
  char buffer[16] = {};
  uint32_t length = sizeof buffer;
  ASSERT_EQ(FtpRetrieveData(h, "a.txt", buffer, &length), 0) << LastError();
  EXPECT_EQ(std::string(buffer, length), "hello");
  EXPECT_EQ(FtpDisconnect(h), 0);

  h = Connect(peer, kOptNoCertCheck);
  ASSERT_NE(h, kNone) << LastError();
  EXPECT_EQ(CertificateStatus(h), 1u);  // no policy error: nothing was checked
  EXPECT_EQ(FtpDisconnect(h), 0);
}

// The server names another name than the host's: the credentials' server name is the one
// matched.
TEST_F(TlsSpecial, ServerNameOfTheCredentials) {
  FtpPeer peer(FtpPeerKind::Vsftpd, AF_INET, FtpPeerTls{ServerCertificate("files.example.test"), false, false, {}});
  CV_START_PEER(peer);
  SecCredentials* credentials = nullptr;
  ASSERT_EQ(SecCreateCredentials(0, nullptr, nullptr, nullptr, nullptr, &credentials), 1);
  std::string block(sizeof(SecCredentials), '\0');
  SecCredentials named = *credentials;
  char name[] = "files.example.test";
  named.serverName = name;
  LibHandle h = Connect(peer, 0, &named);
  ASSERT_NE(h, kNone) << LastError() << "\n" << peer.Diagnostics();
  EXPECT_EQ(CertificateStatus(h), 1u);
  EXPECT_EQ(FtpDisconnect(h), 0);
  SecFreeCredentials(&credentials);
}

// proftpd demands a client certificate from the CA: the named certificate is presented;
// without one the server ends the handshake.
TEST_F(TlsSpecial, ClientCertificate) {
  testpki::CertSpec spec;
  spec.commonName = "cv client";
  spec.clientAuth = true;
  spec.dnsNames = {};
  spec.ipAddresses = {};
  const std::filesystem::path client = pki_.Issue("client", spec);
  FtpPeer peer(FtpPeerKind::Proftpd, AF_INET, FtpPeerTls{ServerCertificate(), false, true, pki_.caFile()});
  CV_START_PEER(peer);
  peer.Put("a.txt", "for a known client");

  EXPECT_EQ(Connect(peer, 0), kNone);
  EXPECT_EQ(LastError(), cvErrorSecurityContext);

  SecCredentials* credentials = nullptr;
  ASSERT_EQ(SecCreateCredentials(0, nullptr, nullptr, client.c_str(), "cv client", &credentials), 1);
  LibHandle h = Connect(peer, 0, credentials);
  ASSERT_NE(h, kNone) << LastError() << "\n" << peer.Diagnostics();
  char buffer[64] = {};
  uint32_t length = sizeof buffer;
  ASSERT_EQ(FtpRetrieveData(h, "a.txt", buffer, &length), 0) << LastError();
  EXPECT_EQ(std::string(buffer, length), "for a known client");
  EXPECT_EQ(FtpDisconnect(h), 0);

  // A certificate the store does not hold.
  ASSERT_EQ(SecCreateCredentials(0, nullptr, nullptr, client.c_str(), "nobody", &credentials), 1);
  EXPECT_EQ(Connect(peer, 0, credentials), kNone);
  EXPECT_EQ(LastError(), cvErrorSecurityCredentials);
  SecFreeCredentials(&credentials);
}

// A reconnect on a TLS session repeats the handshake in its place (before the greeting
// when implicit).
TEST_F(TlsSpecial, ReconnectRepeatsTheHandshake) {
  for (bool implicit : {false, true}) {
    FtpPeer peer(FtpPeerKind::Proftpd, AF_INET, FtpPeerTls{ServerCertificate(), implicit, true, {}});
    CV_START_PEER(peer);
    peer.Put("a.txt", "again");
    LibHandle h = FtpConnect(peer.address().c_str(), peer.port(), peer.user(), peer.password(), 10,
                             (implicit ? kOptTls : kOptTlsExplicit) | kOptPassive, nullptr);
    ASSERT_NE(h, kNone) << LastError();
    ASSERT_EQ(FtpReconnect(h), 200) << LastError() << "\n" << peer.Diagnostics();
    char buffer[16] = {};
    uint32_t length = sizeof buffer;
    ASSERT_EQ(FtpRetrieveData(h, "a.txt", buffer, &length), 0) << LastError();
    EXPECT_EQ(std::string(buffer, length), "again");
    EXPECT_EQ(FtpDisconnect(h), 0);
  }
}

// CCC makes the command channel clear for good (data connections still resume the
// session); PROT C makes the next data connection clear.
TEST_F(TlsSpecial, ClearChannelsMidSession) {
  FtpPeer peer(FtpPeerKind::Proftpd, AF_INET, FtpPeerTls{ServerCertificate(), false, false, {}});
  CV_START_PEER(peer);
  peer.Put("a.txt", "through every channel");
  LibHandle h = Connect(peer, 0);
  ASSERT_NE(h, kNone) << LastError();
  auto fetch = [&] {
    char buffer[64] = {};
    uint32_t length = sizeof buffer;
    EXPECT_EQ(FtpRetrieveData(h, "a.txt", buffer, &length), 0) << LastError() << "\n" << peer.Diagnostics();
    return std::string(buffer, length);
  };
  ASSERT_EQ(FtpGetChannelMode(h, 0), 1);
  ASSERT_EQ(FtpSetChannelMode(h, 0, 0), 1) << LastError() << "\n" << peer.Diagnostics();
  EXPECT_EQ(FtpGetChannelMode(h, 0), 0);
  EXPECT_EQ(FtpSendCommand(h, "PWD", nullptr), 257) << LastError();
  EXPECT_EQ(fetch(), "through every channel");
  EXPECT_EQ(FtpSetChannelMode(h, 0, 1), -1);
  EXPECT_EQ(LastError(), cvErrorOperationNotSupported);

  EXPECT_EQ(FtpSetChannelMode(h, 1, 0), 1);
  EXPECT_EQ(fetch(), "through every channel");
  EXPECT_EQ(FtpSetChannelMode(h, 1, 1), 0);
  EXPECT_EQ(fetch(), "through every channel");
  SecSessionInfo info{};
  info.size = sizeof info;
  EXPECT_EQ(FtpGetSecurityInfo(h, &info), 1) << LastError();
  EXPECT_EQ(info.protocol, 16u);
  EXPECT_EQ(FtpDisconnect(h), 0);
}

// A server that insists on protected data connections refuses a clear data channel: when
// it is set (proftpd answers PROT C with 534), or else at the transfer (vsftpd takes PROT C
// and refuses the data connection with 522, which on a clear channel is no matter of TLS
// session reuse). Either way the error says what is wrong, and the session goes on.
TEST_F(TlsSpecial, ClearDataChannelRefusedByAServerThatRequiresTls) {
  for (FtpPeerKind kind : {FtpPeerKind::Proftpd, FtpPeerKind::Vsftpd}) {
    const bool refusesProt = kind == FtpPeerKind::Proftpd;
    SCOPED_TRACE(refusesProt ? "proftpd" : "vsftpd");
    FtpPeer peer(kind, AF_INET, FtpPeerTls{ServerCertificate(), false, true, {}});
    CV_START_PEER(peer);
    peer.Put("a.bin", "protected");
    LibHandle h = Connect(peer, 0);
    ASSERT_NE(h, kNone) << LastError() << "\n" << peer.Diagnostics();
    char buffer[64] = {};
    uint32_t length = sizeof buffer;
    if (refusesProt) {
      EXPECT_EQ(FtpSetChannelMode(h, 1, 0), -1);
      EXPECT_EQ(LastError(), cvErrorInvalidSecurityLevel) << FtpGetSession(h)->replyText;
      EXPECT_EQ(FtpGetChannelMode(h, 1), 1);
    } else {
      EXPECT_EQ(FtpSetChannelMode(h, 1, 0), 1) << LastError();
      EXPECT_EQ(FtpRetrieveData(h, "a.bin", buffer, &length), -1);
      EXPECT_EQ(LastError(), cvErrorInvalidSecurityLevel) << FtpGetSession(h)->replyText;
      EXPECT_EQ(FtpSetChannelMode(h, 1, 1), 0);
      length = sizeof buffer;
    }
    EXPECT_EQ(FtpRetrieveData(h, "a.bin", buffer, &length), 0) << LastError() << "\n" << peer.Diagnostics();
    EXPECT_EQ(std::string(buffer, length), "protected");
    EXPECT_EQ(FtpDisconnect(h), 0);
  }
}

// vsftpd knows no CCC: the command channel stays protected.
TEST_F(TlsSpecial, CccUnknownToTheServer) {
  FtpPeer peer(FtpPeerKind::Vsftpd, AF_INET, FtpPeerTls{ServerCertificate(), false, false, {}});
  CV_START_PEER(peer);
  LibHandle h = Connect(peer, 0);
  ASSERT_NE(h, kNone) << LastError();
  EXPECT_EQ(FtpSetChannelMode(h, 0, 0), -1);
  EXPECT_EQ(LastError(), cvErrorFeatureNotSupported);
  EXPECT_EQ(FtpGetChannelMode(h, 0), 1);
  EXPECT_EQ(FtpSendCommand(h, "PWD", nullptr), 257) << LastError();
  EXPECT_EQ(FtpDisconnect(h), 0);
}

// Keep-alive over a protected command channel: the server answers every NOOP (keep-alive
// stays on) and the session's own replies stay its own.
TEST_F(TlsSpecial, KeepAliveOverTls) {
  auto& timing = cvftp::KeepAliveTimes();
  timing.passIntervalMs = 50;
  timing.idleMs = 150;
  timing.answerWaitMs = 2000;
  timing.answerRestMs = 50;
  FtpPeer peer(FtpPeerKind::Proftpd, AF_INET, FtpPeerTls{ServerCertificate(), false, false, {}});
  CV_START_PEER(peer);
  LibHandle h = Connect(peer, 0x8);
  ASSERT_NE(h, kNone) << LastError();
  for (int i = 0; i < 3; ++i) {
    const uint32_t before = FtpGetSession(h)->lastCommandTime.load();
    std::this_thread::sleep_for(std::chrono::milliseconds(500));
    EXPECT_NE(FtpGetSession(h)->lastCommandTime.load(), before) << "no NOOP went out";
    EXPECT_EQ(FtpSendCommand(h, "PWD", nullptr), 257) << LastError();
  }
  EXPECT_TRUE(FtpGetSession(h)->options & 0x8);
  EXPECT_EQ(FtpDisconnect(h), 0);
}

}  // namespace
}  // namespace ftptls
