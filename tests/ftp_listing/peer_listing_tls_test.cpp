// Listings over protected data connections (which resume the command channel's TLS
// session) on proftpd, vsftpd and pure-ftpd, and a multiple-file download after them.
#include <set>

#include "ftp_tls/tls_fixture.h"
#include "support/ftp_peers.h"

namespace {

using namespace ftptls;
using cvtest::FtpPeer;
using cvtest::FtpPeerKind;
using cvtest::FtpPeerTls;

struct TlsCase {
  FtpPeerKind kind;
  int family;
  bool passive;
  const char* name;
};

class TlsListing : public TlsTest, public ::testing::WithParamInterface<TlsCase> {};

TEST_P(TlsListing, ListAndFetchOverProtectedData) {
  const TlsCase& c = GetParam();
  FtpPeer peer(c.kind, c.family, FtpPeerTls{ServerCertificate(), false, true, {}});
  CV_START_PEER(peer);
  peer.Put("one.bin", std::string(3000, '\x01'));
  peer.Put("two.bin", "2");
  LibHandle h = FtpConnect(peer.address().c_str(), peer.port(), peer.user(), peer.password(), 10,
                           kOptTlsExplicit | (c.passive ? kOptPassive : 0), nullptr);
  ASSERT_NE(h, kNone) << LastError() << "\n" << peer.Diagnostics();

  ASSERT_GT(FtpOpenDirectory(h, nullptr), 0) << LastError() << "\n" << peer.Diagnostics();
  std::set<std::string> names;
  FtpFileInfo info;
  for (int32_t r = FtpReadFirstEntry(h, &info); r == 1; r = FtpReadNextEntry(h, &info)) names.insert(info.name);
  EXPECT_EQ(LastError(), cvErrorEndOfDirectory);
  EXPECT_EQ(FtpCloseDirectory(h), 226) << LastError();
  EXPECT_TRUE(names.count("one.bin") && names.count("two.bin"));

  char text[1024];
  EXPECT_GT(FtpGetFileList(h, nullptr, 1, text, sizeof text), 0) << LastError();
  EXPECT_NE(std::string(text).find("two.bin"), std::string::npos) << text;

  const std::string down = Path("down");
  std::filesystem::create_directories(down);
  ASSERT_EQ(FtpRetrieveMultipleFiles(h, down.c_str(), nullptr, "*.bin"), 0) << LastError();
  EXPECT_EQ(Read(down + "/one.bin"), std::string(3000, '\x01'));
  EXPECT_EQ(Read(down + "/two.bin"), "2");
  EXPECT_EQ(FtpDisconnect(h), 0);
}

INSTANTIATE_TEST_SUITE_P(Servers, TlsListing,
                         ::testing::Values(TlsCase{FtpPeerKind::Proftpd, AF_INET, true, "proftpd_passive"},
                                           TlsCase{FtpPeerKind::Proftpd, AF_INET6, false, "proftpd6_active"},
                                           TlsCase{FtpPeerKind::Vsftpd, AF_INET, true, "vsftpd_passive"},
                                           TlsCase{FtpPeerKind::Vsftpd, AF_INET, false, "vsftpd_active"},
                                           TlsCase{FtpPeerKind::PureFtpd, AF_INET6, true, "pureftpd6_passive"}),
                         [](const auto& info) { return std::string(info.param.name); });

}  // namespace
