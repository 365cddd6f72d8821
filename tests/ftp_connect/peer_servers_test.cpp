// Connect, login and server queries against real FTP servers on 127.0.0.1 and ::1, and
// the proxy login types through proftpd's forward proxy.
#include <arpa/inet.h>

#include "ftp_fixture.h"
#include "support/ftp_peers.h"

using namespace ftptest;
using cvtest::FtpPeer;
using cvtest::FtpPeerKind;

namespace {

struct PeerCase {
  FtpPeerKind kind;
  int family;
  const char* name;
};

class PeerServers : public FtpTest, public ::testing::WithParamInterface<PeerCase> {};

TEST_P(PeerServers, ConnectLoginAndQuery) {
  FtpPeer peer(GetParam().kind, GetParam().family);
  CV_START_PEER(peer);
  const char* user = peer.anonymousOnly() ? "" : cvtest::kFtpPeerUser;
  const char* password = peer.anonymousOnly() ? "" : cvtest::kFtpPeerPassword;
  LibHandle h = FtpConnect(peer.address().c_str(), peer.port(), nullptr, nullptr, 5, 0, nullptr);
  ASSERT_NE(h, kNone) << FtpGetLastError() << "\n" << peer.Diagnostics();
  EXPECT_EQ(FtpReadReply(h), 220);
  EXPECT_EQ(FtpLogin(h, user, password, nullptr), 230) << FtpGetLastError();
  EXPECT_EQ(FtpGetSystemType(h), 1);
  char name[128];
  EXPECT_EQ(FtpGetSystemName(h, name), 215);
  EXPECT_NE(std::string(name).find("UNIX"), std::string::npos) << name;
  const uint32_t features = FtpQueryFeatures(h);
  EXPECT_NE(features & 0x1u, 0u);  // every one of them announces SIZE
  const FtpSession* s = FtpGetSession(h);
  EXPECT_EQ(s->currentDirectory[0], '/') << s->currentDirectory;
  EXPECT_EQ(s->fileType, 3u);
  EXPECT_EQ(FtpSendType(h, 1), 200);
  EXPECT_EQ(FtpSendCommand(h, "PWD", nullptr), 257);
  EXPECT_EQ(FtpSendCommand(h, "NOSUCHCOMMAND", nullptr), -1);
  EXPECT_EQ(FtpGetLastError(), cvErrorInvalidCommand);
  SockAddress local{};
  EXPECT_EQ(FtpGetLocalAddress(h, 0, &local), GetParam().family == AF_INET ? 2 : 23);
  EXPECT_EQ(FtpDisconnect(h), 0);
}

// The user logs in with the right password, so the refusal is the password's.
TEST_P(PeerServers, WrongPasswordIsRefused) {
  FtpPeer peer(GetParam().kind, GetParam().family);
  if (!peer.hasPasswordLogin())
    GTEST_SKIP() << "vsftpd's PAM service for the test login is missing: run scripts/setup.sh";
  CV_START_PEER(peer);
  LibHandle h =
      FtpConnect(peer.address().c_str(), peer.port(), cvtest::kFtpPeerUser, cvtest::kFtpPeerPassword, 10, 0, nullptr);
  ASSERT_NE(h, kNone) << FtpGetLastError() << "\n" << peer.Diagnostics();
  EXPECT_EQ(FtpDisconnect(h), 0);
  // pure-ftpd answers a wrong password only after a pause of some seconds of its own.
  EXPECT_EQ(FtpConnect(peer.address().c_str(), peer.port(), cvtest::kFtpPeerUser, "wrong", 20, 0, nullptr), kNone);
  EXPECT_EQ(FtpGetLastError(), cvErrorAuthenticationFailed);
}

INSTANTIATE_TEST_SUITE_P(Servers, PeerServers,
                         ::testing::Values(PeerCase{FtpPeerKind::Proftpd, AF_INET, "proftpd4"},
                                           PeerCase{FtpPeerKind::Proftpd, AF_INET6, "proftpd6"},
                                           PeerCase{FtpPeerKind::Vsftpd, AF_INET, "vsftpd4"},
                                           PeerCase{FtpPeerKind::Vsftpd, AF_INET6, "vsftpd6"},
                                           PeerCase{FtpPeerKind::PureFtpd, AF_INET, "pureftpd4"},
                                           PeerCase{FtpPeerKind::PureFtpd, AF_INET6, "pureftpd6"}),
                         [](const auto& info) { return std::string(info.param.name); });

}  // namespace
