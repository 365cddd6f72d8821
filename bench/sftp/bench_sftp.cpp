// SFTP download and upload of one large file over loopback, the FTP library's SFTP
// sessions beside OpenSSH's `sftp`, against one private sshd that offers a single cipher
// and MAC (aes128-ctr, hmac-sha2-256), so both clients run the same algorithms.
//
// Each measured run is a whole process (the library's side is this program started
// again as a client), timed from its start to its exit with its own CPU time; the two
// clients take turns, the order swapped every round. A series gives the medians of its
// rounds; the summary gives the median of the series and the lowest (for CPU per byte
// the highest), with the machine's load average at the start of each series. A transfer
// that fails ends the run with an error and no figures.
//
//   bench_sftp [MiB] [rounds] [series]   256 MiB, 5 rounds, 3 series when not given
//   bench_sftp --rtt MS [MiB] [rounds] [series]
//                                  the same through a relay on loopback that holds
//                                  every byte MS/2 ms in each direction (a network with
//                                  a round trip of MS ms)
//   bench_sftp --serve [MiB]       starts the sshd and the file, prints both clients'
//                                  commands and waits (for an outside timer)
//   bench_sftp --client get|put HOST PORT REMOTE LOCAL    one transfer with the library
//   bench_sftp --concurrent [MiB] [runs]   two background downloads and one upload at
//                                  once on one session, against each kind alone in the
//                                  same run: the slowest of the three over its time
//                                  alone, and the process's CPU time over the three alone
//
// BENCH_CLIENT=PATH runs another build of this program as our side; BENCH_BESIDE=PATH runs
// one as a third side in every round, with the ratio of this build's throughput to it.
#include <arpa/inet.h>
#include <netinet/in.h>
#include <netinet/tcp.h>
#include <sys/resource.h>
#include <sys/socket.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>

#include <algorithm>
#include <chrono>
#include <condition_variable>
#include <cstdio>
#include <cstdlib>
#include <deque>
#include <filesystem>
#include <fstream>
#include <memory>
#include <mutex>
#include <string>
#include <thread>
#include <vector>

#include "ftp/ftp.h"
#include "sftp_sshd.h"

namespace {

constexpr const char* kAlgorithms = "Ciphers aes128-ctr\nMACs hmac-sha2-256\n";

int RunClient(char** argv) {
  const std::string op = argv[0], host = argv[1], port = argv[2], remote = argv[3], local = argv[4];
  if (FtpAttach(nullptr) < 1) return 2;
  LibHandle h =
      FtpConnect(("sftp://" + host + ":" + port).c_str(), 0, sftptest::kUser, sftptest::kPassword, 60, 0, nullptr);
  if (h == kInvalidLibHandle) {
    std::fprintf(stderr, "connect failed: 0x%08x\n", FtpGetLastError());
    return 1;
  }
  int32_t r = op == "get" ? FtpRetrieveFile(h, local.c_str(), remote.c_str(), 0, 0)
                          : FtpStoreFile(h, local.c_str(), remote.c_str(), 0, 0);
  if (r != 0) std::fprintf(stderr, "%s failed: 0x%08x\n", op.c_str(), FtpGetLastError());
  FtpDisconnect(h);
  FtpDetach();
  return r == 0 ? 0 : 1;
}

struct Run {
  double wall = 0;  // seconds
  double cpu = 0;   // user + system seconds of the process and its children
};

// Runs argv as a child process; wall and CPU time of the whole process.
bool Measure(const std::vector<std::string>& args, Run* out) {
  std::vector<char*> argv;
  for (const std::string& a : args) argv.push_back(const_cast<char*>(a.c_str()));
  argv.push_back(nullptr);
  // The child's stdout goes elsewhere; what this process printed must not go with it.
  std::fflush(stdout);
  const auto start = std::chrono::steady_clock::now();
  pid_t pid = fork();
  if (pid == 0) {
    if (!std::getenv("BENCH_VERBOSE")) {
      freopen("/dev/null", "w", stdout);
      freopen("/dev/null", "w", stderr);
    }
    execvp(argv[0], argv.data());
    _exit(127);
  }
  int status = 0;
  rusage usage{};
  if (pid < 0 || wait4(pid, &status, 0, &usage) != pid) return false;
  out->wall = std::chrono::duration<double>(std::chrono::steady_clock::now() - start).count();
  out->cpu = double(usage.ru_utime.tv_sec + usage.ru_stime.tv_sec) +
             double(usage.ru_utime.tv_usec + usage.ru_stime.tv_usec) / 1e6;
  if (WIFEXITED(status) && WEXITSTATUS(status) == 0) return true;
  std::fprintf(stderr, "failed (status %d):", status);
  for (const std::string& a : args) std::fprintf(stderr, " %s", a.c_str());
  std::fprintf(stderr, "\n");
  return false;
}

double Median(std::vector<double> v) {
  std::sort(v.begin(), v.end());
  return v.empty() ? 0 : v.size() % 2 ? v[v.size() / 2] : (v[v.size() / 2 - 1] + v[v.size() / 2]) / 2;
}

// A directory on tmpfs that the test account can write: the disk stays out of the figures.
std::string SharedDir() {
  char name[] = "/dev/shm/cvsftp-bench-XXXXXX";
  if (!mkdtemp(name)) return {};
  chmod(name, 0777);
  return name;
}

// One background transfer per entry, all started together; each task's own time (ms).
std::vector<uint32_t> RunTasks(LibHandle h,
                               const std::vector<std::pair<bool, std::pair<std::string, std::string>>>& jobs) {
  std::vector<uint32_t> ids;
  for (const auto& [get, files] : jobs)
    ids.push_back(get ? FtpAsyncGetFile(h, files.first.c_str(), files.second.c_str(), 0, 0, nullptr, 0)
                      : FtpAsyncPutFile(h, files.first.c_str(), files.second.c_str(), 0, 0, nullptr, 0));
  std::vector<uint32_t> times;
  for (uint32_t id : ids) {
    uint32_t elapsed = 0, result = 1;
    if (!id || cvftp::TaskWait(id, 600000, &elapsed, &result) != 1 || result != 0) return {};
    times.push_back(elapsed);
  }
  return times;
}

double CpuSeconds() {
  rusage u{};
  getrusage(RUSAGE_SELF, &u);
  return double(u.ru_utime.tv_sec + u.ru_stime.tv_sec) + double(u.ru_utime.tv_usec + u.ru_stime.tv_usec) / 1e6;
}

// Load average of the last minute.
double LoadAverage() {
  double load = 0;
  std::ifstream("/proc/loadavg") >> load;
  return load;
}

// A relay on 127.0.0.1 in front of the server that delivers every byte a fixed time
// after it arrived, in both directions: a network with a round trip of twice that time
// and no limit of its own on bandwidth.
class DelayRelay {
 public:
  DelayRelay(uint16_t target, std::chrono::microseconds delay) : target_(target), delay_(delay) {
    listener_ = ::socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0);
    sockaddr_in a = Loopback(0);
    socklen_t n = sizeof a;
    if (::bind(listener_, reinterpret_cast<sockaddr*>(&a), sizeof a) != 0 || ::listen(listener_, 16) != 0 ||
        ::getsockname(listener_, reinterpret_cast<sockaddr*>(&a), &n) != 0)
      return;
    port_ = ntohs(a.sin_port);
    std::thread([this] { Accept(); }).detach();
  }
  uint16_t port() const { return port_; }

 private:
  static sockaddr_in Loopback(uint16_t port) {
    sockaddr_in a{};
    a.sin_family = AF_INET;
    a.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
    a.sin_port = htons(port);
    return a;
  }
  // One direction: a reader stamps what arrives, a writer sends it once its time is up.
  struct Pipe {
    std::mutex m;
    std::condition_variable ready;
    std::deque<std::pair<std::chrono::steady_clock::time_point, std::string>> chunks;  // empty: the end
  };
  void Accept() {
    for (;;) {
      int client = ::accept4(listener_, nullptr, nullptr, SOCK_CLOEXEC);
      if (client < 0) continue;
      int server = ::socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0);
      sockaddr_in a = Loopback(target_);
      if (::connect(server, reinterpret_cast<sockaddr*>(&a), sizeof a) != 0) {
        ::close(client);
        ::close(server);
        continue;
      }
      int on = 1;
      for (int fd : {client, server}) ::setsockopt(fd, IPPROTO_TCP, TCP_NODELAY, &on, sizeof on);
      Forward(client, server);
      Forward(server, client);
    }
  }
  void Forward(int from, int to) {
    auto pipe = std::make_shared<Pipe>();
    std::thread([pipe, from] {
      std::string buffer(65536, '\0');
      for (;;) {
        ssize_t n = ::recv(from, buffer.data(), buffer.size(), 0);
        std::lock_guard l(pipe->m);
        pipe->chunks.emplace_back(std::chrono::steady_clock::now(), n > 0 ? buffer.substr(0, size_t(n)) : "");
        pipe->ready.notify_one();
        if (n <= 0) return;
      }
    }).detach();
    std::thread([pipe, from, to, delay = delay_] {
      for (;;) {
        std::unique_lock l(pipe->m);
        pipe->ready.wait(l, [&] { return !pipe->chunks.empty(); });
        auto [arrived, bytes] = std::move(pipe->chunks.front());
        pipe->chunks.pop_front();
        l.unlock();
        std::this_thread::sleep_until(arrived + delay);
        if (bytes.empty()) {
          ::shutdown(to, SHUT_WR);
          ::shutdown(from, SHUT_RD);
          return;
        }
        for (size_t at = 0; at < bytes.size();) {
          ssize_t n = ::send(to, bytes.data() + at, bytes.size() - at, MSG_NOSIGNAL);
          if (n <= 0) return;
          at += size_t(n);
        }
      }
    }).detach();
  }

  uint16_t target_;
  std::chrono::microseconds delay_;
  int listener_ = -1;
  uint16_t port_ = 0;
};

int RunConcurrent(sftptest::SftpSshd& server, const std::string& dir, size_t megabytes, int runs) {
  if (FtpAttach(nullptr) < 1) return 1;
  const std::string url = "sftp://" + server.peer().address() + ":" + std::to_string(server.peer().port());
  LibHandle h = FtpConnect(url.c_str(), 0, sftptest::kUser, sftptest::kPassword, 60, 0, nullptr);
  if (h == kInvalidLibHandle || FtpChangeDirectory(h, dir.c_str()) != 0) return 1;
  const std::string source = dir + "/source.bin";
  using Job = std::pair<bool, std::pair<std::string, std::string>>;
  const Job get1{true, {dir + "/down1.bin", "source.bin"}}, get2{true, {dir + "/down2.bin", "source.bin"}};
  const Job put{false, {source, "up.bin"}};
  // Every run times each kind alone just before the three together, so that a change
  // in the machine's load between runs moves both sides of the ratio alike.
  double worst = 0, worstCpu = 0;
  std::vector<double> ratios, cpuRatios, getsAlone, putsAlone;
  std::vector<std::vector<uint32_t>> together;
  for (int run = 0; run < runs; ++run) {
    double cpu = CpuSeconds();
    auto g = RunTasks(h, {get1});
    const double getCpu = CpuSeconds() - cpu;
    cpu = CpuSeconds();
    auto p = RunTasks(h, {put});
    const double putCpu = CpuSeconds() - cpu;
    cpu = CpuSeconds();
    auto t = RunTasks(h, {get1, get2, put});
    const double used = CpuSeconds() - cpu;
    if (g.empty() || p.empty() || t.empty()) return 1;
    const double ratio = std::max({double(t[0]) / g[0], double(t[1]) / g[0], double(t[2]) / p[0]});
    const double cpuRatio = used / (2 * getCpu + putCpu);
    worst = std::max(worst, ratio);
    worstCpu = std::max(worstCpu, cpuRatio);
    ratios.push_back(ratio);
    getsAlone.push_back(g[0]);
    putsAlone.push_back(p[0]);
    together.push_back(t);
    cpuRatios.push_back(cpuRatio);
    std::printf(
        "run %2d: alone %u ms down, %u ms up; together %u ms, %u ms, %u ms up; slowest / alone %.2f; "
        "CPU / the three alone %.2f\n",
        run + 1, g[0], p[0], t[0], t[1], t[2], ratio, cpuRatio);
  }
  std::printf("%zu MiB, %d runs: slowest / alone median %.2f, worst %.2f; CPU / alone median %.2f, worst %.2f\n",
              megabytes, runs, Median(ratios), worst, Median(cpuRatios), worstCpu);
  // The same against the medians of all the runs alone: one lucky fast run alone no
  // longer sets the bar for its neighbour.
  const double getMedian = Median(getsAlone), putMedian = Median(putsAlone);
  std::vector<double> steady;
  for (const auto& t : together) steady.push_back(std::max({t[0] / getMedian, t[1] / getMedian, t[2] / putMedian}));
  std::printf("against the medians alone (%.0f ms down, %.0f ms up): slowest / alone median %.2f, worst %.2f\n",
              getMedian, putMedian, Median(steady), *std::max_element(steady.begin(), steady.end()));
  FtpDisconnect(h);
  FtpDetach();
  return 0;
}

}  // namespace

int main(int argc, char** argv) {
  if (argc >= 7 && std::string(argv[1]) == "--client") return RunClient(argv + 2);
  const bool serve = argc > 1 && std::string(argv[1]) == "--serve";
  const bool concurrent = argc > 1 && std::string(argv[1]) == "--concurrent";
  const bool delayed = argc > 2 && std::string(argv[1]) == "--rtt";
  const int rttMs = delayed ? std::atoi(argv[2]) : 0;
  const int first = serve || concurrent ? 2 : delayed ? 3 : 1;
  const size_t megabytes = argc > first ? size_t(std::atoi(argv[first])) : concurrent ? 100 : 256;
  const int rounds = !serve && argc > first + 1 ? std::atoi(argv[first + 1]) : concurrent ? 20 : 5;
  const int series = !serve && !concurrent && argc > first + 2 ? std::atoi(argv[first + 2]) : 3;
  if (megabytes < 1 || rounds < 1 || series < 1 || (delayed && rttMs < 1)) {
    std::fprintf(stderr, "bad arguments\n");
    return 2;
  }

  cvpeers::TempDir keys;
  const std::string key = (keys.path() / "id_rsa").string();
  if (std::system(("ssh-keygen -q -t rsa -b 2048 -N '' -f " + key).c_str()) != 0) return 1;
  sftptest::SftpSshd server(
      {.externalServer = false, .authorizedKeys = sftptest::ReadFile(key + ".pub"), .extraConfig = kAlgorithms});
  if (server.Start() != cvpeers::PeerProcess::StartResult::Started) {
    std::fprintf(stderr, "sshd did not start: %s\n", server.peer().Diagnostics().c_str());
    return 1;
  }
  const std::string dir = SharedDir();
  if (dir.empty()) return 1;
  const std::string source = dir + "/source.bin";
  sftptest::WriteFile(source, sftptest::Pattern(megabytes << 20));
  // With a round trip to stand for, both clients go through the relay.
  std::unique_ptr<DelayRelay> relay;
  if (delayed) {
    relay = std::make_unique<DelayRelay>(server.peer().port(), std::chrono::microseconds(rttMs * 500));
    if (!relay->port()) return 1;
  }
  const std::string host = server.peer().address();
  const std::string port = std::to_string(relay ? relay->port() : server.peer().port());
  if (concurrent) {
    const int r = RunConcurrent(server, dir, megabytes, rounds);
    std::filesystem::remove_all(dir);
    if (r) std::fprintf(stderr, "a transfer failed\n");
    return r;
  }

  // BENCH_CLIENT names another build of this program as our side (an earlier version,
  // to compare the two against the same sftp runs).
  char self[4096];
  ssize_t n = readlink("/proc/self/exe", self, sizeof self - 1);
  if (n <= 0) return 1;
  self[n] = 0;
  if (const char* client = std::getenv("BENCH_CLIENT")) std::snprintf(self, sizeof self, "%s", client);
  auto ours = [&](const std::string& op, const std::string& remote, const std::string& local) {
    return std::vector<std::string>{self, "--client", op, host, port, remote, local};
  };
  // BENCH_BESIDE names an earlier build that runs as a third side in every round, for the
  // ratio of this build to it measured in the same rounds as both against sftp.
  const char* beside = std::getenv("BENCH_BESIDE");
  const std::string earlierLocal = dir + "/earlier.bin";
  std::vector<std::string> earlierGet, earlierPut;
  if (beside) {
    earlierGet = {beside, "--client", "get", host, port, source, earlierLocal};
    earlierPut = {beside, "--client", "put", host, port, dir + "/earlier-up.bin", source};
  }
  const int sides = beside ? 3 : 2;
  const std::string batch = (keys.path() / "batch").string();
  auto theirs = [&](const std::string& command) {
    sftptest::WriteFile(batch, command + "\n");
    return std::vector<std::string>{"sftp",
                                    "-q",
                                    "-b",
                                    batch,
                                    "-i",
                                    key,
                                    "-P",
                                    port,
                                    "-c",
                                    "aes128-ctr",
                                    "-o",
                                    "MACs=hmac-sha2-256",
                                    "-o",
                                    "StrictHostKeyChecking=no",
                                    "-o",
                                    "UserKnownHostsFile=/dev/null",
                                    "-o",
                                    "BatchMode=yes",
                                    "-o",
                                    "HostKeyAlgorithms=+ssh-rsa",
                                    std::string(sftptest::kUser) + "@" + host};
  };
  const std::string oursLocal = dir + "/ours.bin", theirsLocal = dir + "/theirs.bin";
  const auto oursGet = ours("get", source, oursLocal), oursPut = ours("put", dir + "/ours-up.bin", source);
  const std::string getCommand = "get " + source + " " + theirsLocal;
  const std::string putCommand = "put " + source + " " + dir + "/theirs-up.bin";

  if (serve) {
    auto print = [](const std::vector<std::string>& args) {
      for (const std::string& a : args) std::printf("%s ", a.c_str());
      std::printf("\n");
    };
    std::printf("sshd on %s:%s, %zu MiB in %s\nours:\n", host.c_str(), port.c_str(), megabytes, dir.c_str());
    print(oursGet);
    print(oursPut);
    std::printf("theirs (batch file %s holds the command):\n", batch.c_str());
    print(theirs(getCommand));
    std::printf("  get: %s\n  put: %s\n(Enter ends)\n", getCommand.c_str(), putCommand.c_str());
    std::fflush(stdout);
    std::getchar();
    std::filesystem::remove_all(dir);
    return 0;
  }

  struct Side {
    std::vector<double> wall, cpu;
  };
  // Per series and kind (download, upload): throughput ours/sftp and CPU per byte, and
  // throughput ours/the earlier build.
  std::vector<double> speed[2], cpu[2], gain[2];
  const double mb = double(megabytes) * 1048576.0 / 1e6;
  std::printf("%zu MiB, aes128-ctr + hmac-sha2-256, %d series of %d rounds, medians of whole processes%s\n", megabytes,
              series, rounds,
              delayed ? (", round trip " + std::to_string(rttMs) + " ms through a delaying relay").c_str() : "");
  for (int set = 0; set < series; ++set) {
    const double load = LoadAverage();
    Side down[3], up[3];  // [0] ours, [1] theirs, [2] the earlier build
    bool ok = true;
    for (int round = 0; round < rounds && ok; ++round) {
      for (int turn = 0; turn < sides && ok; ++turn) {
        const int who = (turn + round) % sides;  // the order rotates every round
        Run r;
        ok = Measure(who == 0 ? oursGet : who == 1 ? theirs(getCommand) : earlierGet, &r);
        down[who].wall.push_back(r.wall);
        down[who].cpu.push_back(r.cpu);
      }
      for (int turn = 0; turn < sides && ok; ++turn) {
        const int who = (turn + round) % sides;
        Run r;
        ok = Measure(who == 0 ? oursPut : who == 1 ? theirs(putCommand) : earlierPut, &r);
        up[who].wall.push_back(r.wall);
        up[who].cpu.push_back(r.cpu);
      }
    }
    if (!ok) {
      std::filesystem::remove_all(dir);
      std::fprintf(stderr, "a transfer failed (BENCH_VERBOSE=1 shows why): no figures\n");
      return 1;
    }
    std::printf("series %d, load average %.1f at its start\n", set + 1, load);
    int kind = 0;
    for (auto [name, side] : {std::pair{"download", down}, std::pair{"upload", up}}) {
      const double ow = Median(side[0].wall), tw = Median(side[1].wall);
      const double oc = Median(side[0].cpu), tc = Median(side[1].cpu);
      std::printf(
          "  %-8s ours %6.1f MB/s (%.2f s, CPU %.2f s)   sftp %6.1f MB/s (%.2f s, CPU %.2f s)   "
          "throughput %.2f  CPU per byte %.2f\n",
          name, mb / ow, ow, oc, mb / tw, tw, tc, tw / ow, oc / tc);
      speed[kind].push_back(tw / ow);
      cpu[kind].push_back(oc / tc);
      if (beside) {
        const double ew = Median(side[2].wall), ec = Median(side[2].cpu);
        std::printf("  %-8s earlier build %6.1f MB/s (%.2f s, CPU %.2f s)   throughput ours/earlier %.2f\n", name,
                    mb / ew, ew, ec, ew / ow);
        gain[kind].push_back(ew / ow);
      }
      ++kind;
    }
    std::fflush(stdout);
  }
  std::filesystem::remove_all(dir);
  int kind = 0;
  for (const char* name : {"download", "upload"}) {
    std::printf(
        "%-8s throughput ours/sftp median %.2f, lowest %.2f;  CPU per byte ours/sftp median %.2f, "
        "highest %.2f  (%d series)\n",
        name, Median(speed[kind]), *std::min_element(speed[kind].begin(), speed[kind].end()), Median(cpu[kind]),
        *std::max_element(cpu[kind].begin(), cpu[kind].end()), series);
    if (beside)
      std::printf("%-8s throughput ours/earlier median %.2f, lowest %.2f\n", name, Median(gain[kind]),
                  *std::min_element(gain[kind].begin(), gain[kind].end()));
    ++kind;
  }
  return 0;
}
