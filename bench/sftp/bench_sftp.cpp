// Downloads and uploads a large file over SFTP on loopback, with the FTP library and with
// the system's sftp client in batch mode (key authentication), against one sshd; prints
// the times and the ratio (ours / theirs, below 1 is faster).
#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <string>

#include "ftp/ftp.h"
#include "sftp_sshd.h"

namespace {

double Seconds(const std::chrono::steady_clock::time_point& start) {
  return std::chrono::duration<double>(std::chrono::steady_clock::now() - start).count();
}

template <typename F>
double Best(int runs, F&& f) {
  double best = 1e9;
  for (int i = 0; i < runs; ++i) {
    auto start = std::chrono::steady_clock::now();
    if (!f()) return -1;
    best = std::min(best, Seconds(start));
  }
  return best;
}

}  // namespace

int main(int argc, char** argv) {
  const size_t megabytes = argc > 1 ? size_t(std::atoi(argv[1])) : 64;
  cvpeers::TempDir keys;
  const std::string key = (keys.path() / "id_rsa").string();
  if (std::system(("ssh-keygen -q -t rsa -b 2048 -N '' -f " + key).c_str()) != 0) return 1;
  sftptest::SftpSshd server({.externalServer = false, .authorizedKeys = sftptest::ReadFile(key + ".pub")});
  if (server.Start() != cvpeers::PeerProcess::StartResult::Started) {
    std::fprintf(stderr, "sshd did not start: %s\n", server.peer().Diagnostics().c_str());
    return 1;
  }
  const std::string dir = server.files().path().string();
  sftptest::WriteFile(dir + "/big.bin", sftptest::Pattern(megabytes << 20));
  const std::string host = server.peer().address();
  const std::string port = std::to_string(server.peer().port());

  FtpAttach(nullptr);
  LibHandle h = FtpConnect(("sftp://" + host + ":" + port).c_str(), 0, sftptest::kUser, sftptest::kPassword, 30, 0,
                           nullptr);
  if (h == kInvalidLibHandle) return 1;
  FtpChangeDirectory(h, dir.c_str());
  const std::string local = keys.path().string();
  double oursDown = Best(3, [&] { return FtpRetrieveFile(h, (local + "/ours.bin").c_str(), "big.bin", 0, 0) == 0; });
  double oursUp = Best(3, [&] { return FtpStoreFile(h, (local + "/ours.bin").c_str(), "ours-up.bin", 0, 0) == 0; });
  FtpDisconnect(h);
  FtpDetach();

  const std::string batch = (keys.path() / "batch").string();
  const std::string client = "sftp -q -b " + batch + " -i " + key + " -P " + port +
                             " -o StrictHostKeyChecking=no -o UserKnownHostsFile=/dev/null -o BatchMode=yes -o HostKeyAlgorithms=+ssh-rsa " +
                             sftptest::kUser + "@" + host + "" + std::string(getenv("BENCH_VERBOSE") ? "" : " >/dev/null 2>&1");
  auto run = [&](const std::string& command) {
    sftptest::WriteFile(batch, command + "\n");
    return std::system(client.c_str()) == 0;
  };
  double theirsDown = Best(3, [&] { return run("get " + dir + "/big.bin " + local + "/theirs.bin"); });
  double theirsUp = Best(3, [&] { return run("put " + local + "/theirs.bin " + dir + "/theirs-up.bin"); });

  std::printf("file %zu MiB\n", megabytes);
  std::printf("download: ours %.3f s, sftp %.3f s, ratio %.2f\n", oursDown, theirsDown, oursDown / theirsDown);
  std::printf("upload:   ours %.3f s, sftp %.3f s, ratio %.2f\n", oursUp, theirsUp, oursUp / theirsUp);
  return 0;
}
