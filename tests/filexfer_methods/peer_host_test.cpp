// End to end: the deliverable registered with the registration tool and driven by the
// command-line host, downloading a file from proftpd through a URL.
#include <fcntl.h>
#include <spawn.h>
#include <sys/wait.h>

#include "filexfer_methods/control_fixture.h"
#include "support/ftp_peers.h"

extern char** environ;

namespace xfertest {
namespace {

struct Outcome {
  int status = -1;
  std::string out, err;
};

// Runs a program with the fixture's registry root (the environment is inherited).
Outcome Exec(const fs::path& dir, std::vector<std::string> argv) {
  const std::string out = (dir / "out.txt").string(), err = (dir / "err.txt").string();
  posix_spawn_file_actions_t fa;
  posix_spawn_file_actions_init(&fa);
  posix_spawn_file_actions_addopen(&fa, 1, out.c_str(), O_WRONLY | O_CREAT | O_TRUNC, 0600);
  posix_spawn_file_actions_addopen(&fa, 2, err.c_str(), O_WRONLY | O_CREAT | O_TRUNC, 0600);
  std::vector<char*> args;
  for (std::string& a : argv) args.push_back(a.data());
  args.push_back(nullptr);
  pid_t pid = 0;
  Outcome r;
  if (posix_spawn(&pid, args[0], &fa, nullptr, args.data(), environ) == 0) {
    int st = 0;
    waitpid(pid, &st, 0);
    r.status = WIFEXITED(st) ? WEXITSTATUS(st) : 128;
  }
  posix_spawn_file_actions_destroy(&fa);
  r.out = ReadFile(out);
  r.err = ReadFile(err);
  return r;
}

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
