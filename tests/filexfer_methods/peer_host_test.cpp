// End to end: the deliverable registered with the registration tool and driven by the
// command-line host, downloading a file from proftpd through a URL.

#include "filexfer_methods/control_fixture.h"
#include "host/host_process.h"
#include "support/ftp_peers.h"

extern char** environ;

namespace xfertest {
namespace {

using Outcome = testhost::ProgramRun;

// Runs a program with the fixture's registry root (the environment is inherited).
Outcome Exec(const fs::path& dir, std::vector<std::string> argv) { return testhost::RunProgram(dir, std::move(argv)); }

using HostDownload = RegistryFixture;

TEST_F(HostDownload, CommandLineHostGetsAFileFromProftpd) {
  cvtest::FtpPeer peer(cvtest::FtpPeerKind::Proftpd);
  CV_START_PEER(peer);
  const std::string data(70000, 'q');
  peer.Put("hosted.txt", data);
  ASSERT_EQ(Exec(dir_, {CV_CVREGSVR, CV_XFERCTL}).status, 0);

  const std::string local = (dir_ / "hosted.txt").string();
  const std::string url = std::string("ftp://") + peer.user() + ":" + peer.password() + "@" + peer.address() + ":" +
                          std::to_string(peer.port()) + "/hosted.txt";
  Outcome run = Exec(dir_, {CV_CVHOST, "Corvanetics.FileTransfer", "GetFile(\"" + local + "\", \"" + url + "\")",
                            "?TransferBytes", "?IsConnected", "?ServerType"});
  ASSERT_EQ(run.status, 0) << run.err << run.out;
  EXPECT_EQ(ReadFile(local), data);
  // The final progress event, then the properties after the implicit disconnect.
  EXPECT_NE(run.out.find("event OnProgress: FileName=\"hosted.txt\", FileSize=70000, BytesCopied=70000, Percent=100\n"), std::string::npos) << run.out;
  EXPECT_NE(run.out.find("TransferBytes = 70000\nIsConnected = False\nServerType = 1\n"), std::string::npos)
      << run.out;
}

}  // namespace
}  // namespace xfertest
