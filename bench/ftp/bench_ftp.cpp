// FTP download and upload throughput of the library beside curl, against the same
// proftpd on 127.0.0.1, files on /dev/shm, passive mode: the median of several runs of
// wall time and CPU time (user + system of this process, or of curl), as ratios.
//
//   bench_ftp [size in MiB, default 1024] [runs, default 5] [priority, default 2]
#include <spawn.h>
#include <sys/resource.h>
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

#include "ftp/ftp.h"
#include "peers/peer.h"
#include "support/ftp_peers.h"

namespace fs = std::filesystem;

namespace {

struct Sample {
  double wall;  // seconds
  double cpu;   // seconds
};

double CpuOf(int who) {
  rusage u{};
  getrusage(who, &u);
  return double(u.ru_utime.tv_sec + u.ru_stime.tv_sec) + double(u.ru_utime.tv_usec + u.ru_stime.tv_usec) / 1e6;
}

template <typename Fn>
Sample Measure(int who, Fn fn) {
  const double cpu0 = CpuOf(who);
  const auto t0 = std::chrono::steady_clock::now();
  if (!fn()) {
    std::fprintf(stderr, "run failed\n");
    std::exit(1);
  }
  const double wall = std::chrono::duration<double>(std::chrono::steady_clock::now() - t0).count();
  return {wall, CpuOf(who) - cpu0};
}

bool RunCurl(const std::vector<std::string>& args) {
  std::vector<char*> argv;
  for (const auto& a : args) argv.push_back(const_cast<char*>(a.c_str()));
  argv.push_back(nullptr);
  pid_t pid;
  if (posix_spawnp(&pid, "curl", nullptr, nullptr, argv.data(), environ) != 0) return false;
  int status = 0;
  return waitpid(pid, &status, 0) == pid && WIFEXITED(status) && WEXITSTATUS(status) == 0;
}

Sample Median(std::vector<Sample> v) {
  std::sort(v.begin(), v.end(), [](const Sample& a, const Sample& b) { return a.wall < b.wall; });
  Sample m = v[v.size() / 2];
  std::vector<double> cpu;
  for (auto& s : v) cpu.push_back(s.cpu);
  std::sort(cpu.begin(), cpu.end());
  m.cpu = cpu[cpu.size() / 2];
  return m;
}

void Report(const char* what, double mib, Sample lib, Sample curl) {
  std::printf("%-5s library %7.1f MiB/s (cpu %5.2f s)   curl %7.1f MiB/s (cpu %5.2f s)   throughput ratio %.2f   "
              "cpu ratio %.2f\n",
              what, mib / lib.wall, lib.cpu, mib / curl.wall, curl.cpu, curl.wall / lib.wall, lib.cpu / curl.cpu);
}

}  // namespace

int main(int argc, char** argv) {
  const uint64_t mib = argc > 1 ? std::strtoull(argv[1], nullptr, 10) : 1024;
  const int runs = argc > 2 ? std::atoi(argv[2]) : 5;
  const uint32_t priority = argc > 3 ? uint32_t(std::atoi(argv[3])) : 2;

  const fs::path shm = fs::path("/dev/shm") / ("cv-bench-ftp-" + std::to_string(getpid()));
  fs::create_directories(shm);
  const fs::path source = shm / "big.bin";
  {
    std::ofstream out(source, std::ios::binary);
    std::string block(1 << 20, '\0');
    for (size_t i = 0; i < block.size(); ++i) block[i] = char(i * 2654435761u >> 24);
    for (uint64_t i = 0; i < mib; ++i) out.write(block.data(), std::streamsize(block.size()));
  }

  // Without proftpd's checksum module's digests (Debian's configuration loads no such
  // module): with them every client gets the rate of proftpd's digest.
  cvtest::FtpPeer peer(cvtest::FtpPeerKind::Proftpd, AF_INET, cvtest::FtpPeerTls{}, false);
  if (peer.Start() != cvpeers::PeerProcess::StartResult::Started) {
    std::fprintf(stderr, "proftpd did not start: %s\n", peer.Diagnostics().c_str());
    return 1;
  }
  // The served files live on /dev/shm too.
  fs::create_symlink(source, peer.root() / "big.bin");
  fs::create_directories(shm / "up");
  fs::permissions(shm / "up", fs::perms(0777));
  fs::create_directory_symlink(shm / "up", peer.root() / "up");

  const std::string base = "ftp://" + std::string(cvtest::kFtpPeerUser) + ":" + cvtest::kFtpPeerPassword + "@127.0.0.1:" +
                           std::to_string(peer.port()) + "/";
  FtpAttach(nullptr);
  LibHandle h = FtpConnect("127.0.0.1", peer.port(), cvtest::kFtpPeerUser, cvtest::kFtpPeerPassword, 30, 1, nullptr);
  if (h == kInvalidLibHandle) {
    std::fprintf(stderr, "connect failed: %u\n", FtpGetLastError());
    return 1;
  }
  FtpSetPriority(h, priority);  // with the data buffer size the priority implies
  FtpSetFileType(h, 3);
  const std::string down = (shm / "down.bin").string();
  std::vector<Sample> libGet, curlGet, libPut, curlPut;
  for (int i = 0; i < runs; ++i) {
    libGet.push_back(Measure(RUSAGE_SELF, [&] { return FtpRetrieveFile(h, down.c_str(), "big.bin", 0, 0) == 0; }));
    fs::remove(down);
    cvpeers::SettleSessions(peer.process().pid(), 1);  // curl's last session gone; the library keeps its own
    curlGet.push_back(Measure(RUSAGE_CHILDREN, [&] { return RunCurl({"curl", "-s", "-o", down, base + "big.bin"}); }));
    fs::remove(down);
    libPut.push_back(Measure(RUSAGE_SELF, [&] { return FtpStoreFile(h, source.c_str(), "up/lib.bin", 0, 0) == 0; }));
    cvpeers::SettleSessions(peer.process().pid(), 1);  // curl's last session gone; the library keeps its own
    curlPut.push_back(
        Measure(RUSAGE_CHILDREN, [&] { return RunCurl({"curl", "-s", "-T", source.string(), base + "up/curl.bin"}); }));
    fs::remove(shm / "up" / "lib.bin");
    fs::remove(shm / "up" / "curl.bin");
  }
  std::printf("FTP on 127.0.0.1 (proftpd, passive), %llu MiB, median of %d runs, priority %u\n",
              static_cast<unsigned long long>(mib), runs, priority);
  Report("RETR", double(mib), Median(libGet), Median(curlGet));
  Report("STOR", double(mib), Median(libPut), Median(curlPut));
  FtpDisconnect(h);
  FtpDetach();
  fs::remove_all(shm);
  return 0;
}
