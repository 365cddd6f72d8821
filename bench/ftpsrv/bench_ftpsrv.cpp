// The FTP server library beside vsftpd serving the same root on /dev/shm, curl as the
// client of both on 127.0.0.1: a large file downloaded (RETR) and uploaded (STOR), one
// whole curl process per transfer. Every round runs each transfer against both servers one
// after the other, alternating which goes first; the medians over the rounds are reported
// with their ratios (the library's rate / vsftpd's). The library keeps its pause after
// every command.
//
//   bench_ftpsrv [MiB, default 1024] [rounds, default 5]
//
// Needs curl on the path and vsftpd in the project's peer cache (scripts/setup.sh).
#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>

#include <algorithm>
#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <string>
#include <vector>

#include "ftpsrv/ftpsrv.h"
#include "peers/peer.h"
#include "sockets/inet.h"

namespace fs = std::filesystem;

namespace {

const char* kVsftpd = R"(listen=YES
listen_ipv6=NO
listen_address={{ADDR}}
listen_port={{PORT}}
background=NO
seccomp_sandbox=NO
isolate=NO
isolate_network=NO
secure_chroot_dir={{DIR}}
anonymous_enable=YES
no_anon_password=YES
anon_root={{ROOT}}
local_enable=NO
write_enable=YES
anon_upload_enable=YES
anon_other_write_enable=YES
anon_umask=022
xferlog_enable=NO
)";

// Seconds of one curl run, or a negative number when it failed.
double TimedCurl(const std::string& args) {
  const std::string command = "curl -s -S --max-time 300 " + args;
  const auto start = std::chrono::steady_clock::now();
  const int status = std::system(command.c_str());
  const double seconds = std::chrono::duration<double>(std::chrono::steady_clock::now() - start).count();
  return status == 0 ? seconds : -1;
}

double Median(std::vector<double> v) {
  if (v.empty()) return 0;
  std::sort(v.begin(), v.end());
  return v[v.size() / 2];
}

struct Server {
  const char* name;
  uint16_t port;
  std::vector<double> retr, stor;  // MiB/s
};

}  // namespace

int main(int argc, char** argv) {
  const int mib = argc > 1 ? std::atoi(argv[1]) : 1024;
  const int rounds = argc > 2 ? std::atoi(argv[2]) : 5;
  char pattern[] = "/dev/shm/cvbench-ftpsrv-XXXXXX";
  if (!::mkdtemp(pattern)) return std::perror("mkdtemp"), 1;
  const fs::path base = pattern;
  const fs::path root = base / "root", upload = root / "upload", source = base / "source.bin";
  fs::create_directories(upload);
  fs::permissions(base, fs::perms(0755));
  fs::permissions(root, fs::perms(0755));
  fs::permissions(upload, fs::perms(0777));
  {
    std::vector<char> block(1 << 20);
    for (size_t i = 0; i < block.size(); ++i) block[i] = char((i * 131) >> 5);
    std::ofstream out(source, std::ios::binary);
    for (int i = 0; i < mib; ++i) out.write(block.data(), std::streamsize(block.size()));
  }
  fs::copy_file(source, root / "big.bin");
  fs::permissions(root / "big.bin", fs::perms(0644));

  cvpeers::PeerOptions o;
  o.program = std::string(CV_SOURCE_DIR) + "/.cache/peers/vsftpd/usr/sbin/vsftpd";
  o.configName = "vsftpd.conf";
  o.configTemplate = kVsftpd;
  o.values["ROOT"] = root.string();
  o.args = {"{{CONFIG}}"};
  cvpeers::PeerProcess vsftpd(o);
  if (vsftpd.Start() != cvpeers::PeerProcess::StartResult::Started) {
    std::fprintf(stderr, "vsftpd did not start: %s\n", vsftpd.Diagnostics().c_str());
    fs::remove_all(base);
    return 1;
  }

  if (!FtpServerAttach(nullptr, nullptr)) return std::fprintf(stderr, "attach failed\n"), 1;
  const std::string rootText = root.string();
  FtpServerConfig config{};
  config.size = sizeof config;
  config.rootDirectory = rootText.c_str();
  config.maxGuests = 10;
  uint64_t server = uint64_t(INVALID_SOCKET);
  uint16_t ourPort = 0;
  for (int attempt = 0; attempt < 5 && server == uint64_t(INVALID_SOCKET); ++attempt) {
    ourPort = cvpeers::FreePort();
    server = FtpServerStart("127.0.0.1", ourPort, 0, &config, nullptr, 0, nullptr);
  }
  if (server == uint64_t(INVALID_SOCKET)) return std::fprintf(stderr, "start failed\n"), 1;

  Server servers[] = {{"library", ourPort, {}, {}}, {"vsftpd", vsftpd.port(), {}, {}}};
  std::printf("%d MiB, %d rounds, root on /dev/shm\n", mib, rounds);
  bool failed = rounds < 1;
  for (int round = 0; round < rounds; ++round) {
    for (int k = 0; k < 2; ++k) {
      Server& s = servers[(round + k) % 2];
      const std::string url = "ftp://127.0.0.1:" + std::to_string(s.port) + "/";
      const double down = TimedCurl("-o /dev/null " + url + "big.bin");
      const std::string name = "up" + std::to_string(round) + ".bin";
      const double up = TimedCurl("-T " + source.string() + " " + url + "upload/" + name);
      fs::remove(upload / name);
      if (down > 0) s.retr.push_back(mib / down);
      if (up > 0) s.stor.push_back(mib / up);
      failed |= down <= 0 || up <= 0;
      std::printf("round %d %-8s RETR %7.1f MiB/s  STOR %7.1f MiB/s\n", round + 1, s.name, down > 0 ? mib / down : 0,
                  up > 0 ? mib / up : 0);
      std::fflush(stdout);
    }
  }
  const Server& ours = servers[0];
  const Server& peer = servers[1];
  std::printf("\nmedian     library      vsftpd      ratio\n");
  std::printf("RETR  %8.1f MiB/s %8.1f MiB/s  %5.2f\n", Median(ours.retr), Median(peer.retr),
              Median(ours.retr) / Median(peer.retr));
  std::printf("STOR  %8.1f MiB/s %8.1f MiB/s  %5.2f\n", Median(ours.stor), Median(peer.stor),
              Median(ours.stor) / Median(peer.stor));
  FtpServerStop(server);
  FtpServerDetach();
  vsftpd.Stop();
  fs::remove_all(base);
  // A transfer that failed leaves its server's median to the others: no figure then.
  if (failed) std::fprintf(stderr, "a transfer failed: the medians above are not a measurement\n");
  return failed ? 1 : 0;
}
