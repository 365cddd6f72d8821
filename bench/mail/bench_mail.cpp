// Mail throughput beside peers on the same machine, interleaved runs, medians as ratios:
//  - parse: a message with large base64 attachments parsed and its attachments extracted by
//    the MIME library (this program started again for each run, a whole process as ripmime
//    is) beside ripmime extracting the same message;
//  - headers: messages with 20,000 and 80,000 distinct header names parsed by the MIME
//    library (a whole process) beside Python's email package parsing the same files; the
//    growth from the smaller to the larger (4 when parsing is linear in the names);
//  - fetch: one large message retrieved through the InternetMail control, driven by the
//    command-line host (a whole process), beside curl's fetch of the same message from the
//    same dovecot, over IMAP and over POP3.
//
//   bench_mail [parse MiB, default 68] [fetch MiB, default 24] [runs, default 5]
//   bench_mail headers [runs, default 5]  (the header rows alone)
//   bench_mail --parse FILE DIRECTORY     (one parse-and-extract run)
//   bench_mail --headers FILE             (one parse run)
#include <fcntl.h>
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
#include <functional>
#include <string>
#include <vector>

#include "imap/dovecot_imap_peer.h"
#include "mime/mime.h"
#include "pop3/dovecot_peer.h"

extern char** environ;

namespace fs = std::filesystem;

namespace {

bool Run(const std::vector<std::string>& args, const char* out = "/dev/null") {
  std::vector<char*> argv;
  for (const auto& a : args) argv.push_back(const_cast<char*>(a.c_str()));
  argv.push_back(nullptr);
  posix_spawn_file_actions_t fa;
  posix_spawn_file_actions_init(&fa);
  posix_spawn_file_actions_addopen(&fa, 1, out, O_WRONLY | O_CREAT | O_TRUNC, 0600);
  posix_spawn_file_actions_addopen(&fa, 2, "/dev/null", O_WRONLY, 0);
  pid_t pid;
  const bool spawned = posix_spawnp(&pid, argv[0], &fa, nullptr, argv.data(), environ) == 0;
  posix_spawn_file_actions_destroy(&fa);
  int status = 0;
  return spawned && waitpid(pid, &status, 0) == pid && WIFEXITED(status) && WEXITSTATUS(status) == 0;
}

struct Sample {
  double wall;  // seconds
  double cpu;   // seconds of user and system time
};

double CpuOf(int who) {
  rusage u{};
  getrusage(who, &u);
  return double(u.ru_utime.tv_sec + u.ru_stime.tv_sec) + double(u.ru_utime.tv_usec + u.ru_stime.tv_usec) / 1e6;
}

// who: RUSAGE_SELF for work in this process, RUSAGE_CHILDREN for a child program.
Sample Measure(int who, const std::function<bool()>& fn) {
  const double cpu0 = CpuOf(who);
  const auto t0 = std::chrono::steady_clock::now();
  if (!fn()) {
    std::fprintf(stderr, "run failed\n");
    std::exit(1);
  }
  return {std::chrono::duration<double>(std::chrono::steady_clock::now() - t0).count(), CpuOf(who) - cpu0};
}

Sample Median(const std::vector<Sample>& samples) {
  std::vector<double> wall, cpu;
  for (const Sample& s : samples) {
    wall.push_back(s.wall);
    cpu.push_back(s.cpu);
  }
  std::sort(wall.begin(), wall.end());
  std::sort(cpu.begin(), cpu.end());
  return {wall[wall.size() / 2], cpu[cpu.size() / 2]};
}

// A mixed message: a text part and attachments of pseudo-random bytes in base64 lines of
// 76 characters, about mib MiB in all.
std::string MakeMessage(uint64_t mib) {
  static const char kAlphabet[] = "ABCDEFGHIJKLMNOPQRSTUVWXYZabcdefghijklmnopqrstuvwxyz0123456789+/";
  std::string m =
      "From: a@example.org\r\nTo: b@example.org\r\nSubject: large\r\nMIME-Version: 1.0\r\n"
      "Content-Type: multipart/mixed; boundary=\"b0\"\r\n\r\n--b0\r\nContent-Type: text/plain\r\n\r\nsee attached\r\n";
  const uint64_t total = mib << 20;
  uint32_t seed = 12345;
  for (int file = 0; m.size() < total; ++file) {
    m += "--b0\r\nContent-Type: application/octet-stream; name=\"f" + std::to_string(file) +
         ".bin\"\r\nContent-Transfer-Encoding: base64\r\nContent-Disposition: attachment; filename=\"f" +
         std::to_string(file) + ".bin\"\r\n\r\n";
    const uint64_t end = std::min<uint64_t>(total, m.size() + (16u << 20));
    while (m.size() < end) {
      for (int i = 0; i < 76; ++i) {
        seed = seed * 1103515245u + 12345u;
        m += kAlphabet[(seed >> 16) & 63];
      }
      m += "\r\n";
    }
  }
  return m + "--b0--\r\n";
}

void Report(const char* what, Sample ours, Sample peer, const char* peerName) {
  std::printf("%-6s ours %7.3f s (cpu %6.3f s)   %s %7.3f s (cpu %6.3f s)   ours/%s wall %.2f cpu %.2f\n", what,
              ours.wall, ours.cpu, peerName, peer.wall, peer.cpu, peerName, ours.wall / peer.wall, ours.cpu / peer.cpu);
}

// One parse-and-extract run, as its own process.
int ParseAndExtract(const char* file, const char* directory) {
  MimeAttach(nullptr);
  const LibHandle h = MimeCreateMessage();
  const bool ok = MimeImportMessage(h, file) && MimeExtractAllFiles(h, directory) > 0;
  MimeDestroyMessage(h);
  MimeDetach();
  return ok ? 0 : 1;
}

// One parse run of a message, as its own process.
int ParseOnly(const char* file) {
  MimeAttach(nullptr);
  const LibHandle h = MimeCreateMessage();
  const bool ok = MimeImportMessage(h, file) && MimeGetPartHeader(h, 0, "X-Header-1", nullptr, 0) > 0;
  MimeDestroyMessage(h);
  MimeDetach();
  return ok ? 0 : 1;
}

// A message whose headers carry count distinct names.
std::string ManyHeaders(uint32_t count) {
  std::string m = "From: a@example.org\r\nSubject: many headers\r\n";
  for (uint32_t i = 1; i <= count; ++i) m += "X-Header-" + std::to_string(i) + ": value " + std::to_string(i) + "\r\n";
  return m + "\r\nbody\r\n";
}

// The header rows: ours and Python's email package on the same files, and how each grows.
void HeaderRows(const fs::path& shm, const std::string& self, int runs) {
  const uint32_t small = 20000, large = 80000;
  Sample ours[2], python[2];
  int row = 0;
  for (const uint32_t count : {small, large}) {
    const fs::path file = shm / ("headers-" + std::to_string(count) + ".eml");
    std::ofstream(file, std::ios::binary) << ManyHeaders(count);
    std::vector<Sample> a, b;
    for (int i = 0; i < runs; ++i) {
      a.push_back(Measure(RUSAGE_CHILDREN, [&] { return Run({self, "--headers", file.string()}); }));
      b.push_back(Measure(RUSAGE_CHILDREN, [&] {
        return Run({"python3", "-c", "import email,sys; email.message_from_binary_file(open(sys.argv[1],'rb'))",
                    file.string()});
      }));
    }
    ours[row] = Median(a);
    python[row] = Median(b);
    std::printf("%u distinct header names (%llu KiB), median of %d runs\n", count,
                static_cast<unsigned long long>(fs::file_size(file) >> 10), runs);
    Report("headers", ours[row], python[row], "python");
    ++row;
  }
  std::printf("growth %u -> %u names: ours wall %.2f cpu %.2f   python wall %.2f cpu %.2f   (linear: %.0f)\n", small,
              large, ours[1].wall / ours[0].wall, ours[1].cpu / ours[0].cpu, python[1].wall / python[0].wall,
              python[1].cpu / python[0].cpu, double(large) / small);
}

}  // namespace

int main(int argc, char** argv) {
  if (argc == 4 && std::string(argv[1]) == "--parse") return ParseAndExtract(argv[2], argv[3]);
  if (argc == 3 && std::string(argv[1]) == "--headers") return ParseOnly(argv[2]);
  if (argc >= 2 && std::string(argv[1]) == "headers") {
    const fs::path shm = fs::path("/dev/shm") / ("cv-bench-mail-" + std::to_string(getpid()));
    fs::create_directories(shm);
    HeaderRows(shm, fs::read_symlink("/proc/self/exe").string(), argc > 2 ? std::atoi(argv[2]) : 5);
    fs::remove_all(shm);
    return 0;
  }
  const uint64_t parseMib = argc > 1 ? std::strtoull(argv[1], nullptr, 10) : 68;
  const uint64_t fetchMib = argc > 2 ? std::strtoull(argv[2], nullptr, 10) : 24;
  const int runs = argc > 3 ? std::atoi(argv[3]) : 5;
  const fs::path shm = fs::path("/dev/shm") / ("cv-bench-mail-" + std::to_string(getpid()));
  fs::create_directories(shm);

  // Parse and extract.
  const fs::path eml = shm / "large.eml";
  std::ofstream(eml, std::ios::binary) << MakeMessage(parseMib);
  const std::string self = fs::read_symlink("/proc/self/exe").string();
  std::vector<Sample> ours, ripmime;
  for (int i = 0; i < runs; ++i) {
    fs::create_directories(shm / "ours");
    ours.push_back(Measure(RUSAGE_CHILDREN, [&] {
      return Run({self, "--parse", eml.string(), (shm / "ours").string()});
    }));
    fs::remove_all(shm / "ours");
    fs::create_directories(shm / "ripmime");
    ripmime.push_back(Measure(RUSAGE_CHILDREN, [&] { return Run({"ripmime", "-i", eml.string(), "-d", (shm / "ripmime").string()}); }));
    fs::remove_all(shm / "ripmime");
  }
  std::printf("%llu MiB message, median of %d runs\n", static_cast<unsigned long long>(parseMib), runs);
  Report("parse", Median(ours), Median(ripmime), "ripmime");
  HeaderRows(shm, self, runs);

  // Fetch through the control, against dovecot, beside curl.
  setenv("CV_REGISTRY_ROOT", (shm / "registry").c_str(), 1);
  if (!Run({CV_CVREGSVR, CV_MAILCTL})) {
    std::fprintf(stderr, "registration failed\n");
    return 1;
  }
  const std::vector<std::string> messages{MakeMessage(fetchMib)};
  cvpeers::PeerProcess imap(imaptest::DovecotImapOptions(AF_INET));
  cvpeers::PeerProcess pop3(pop3test::DovecotOptions(AF_INET));
  if (!imaptest::PrepareDovecot(imap, messages) || !pop3test::PrepareDovecot(pop3, messages) ||
      imap.Start() != cvpeers::PeerProcess::StartResult::Started ||
      pop3.Start() != cvpeers::PeerProcess::StartResult::Started) {
    std::fprintf(stderr, "dovecot did not start\n");
    return 1;
  }
  const std::string user = std::string(pop3test::kDovecotUser) + ":" + pop3test::kDovecotPassword;
  struct Server {
    const char* name;
    int type;
    uint16_t port;
    std::string url;
  };
  for (const Server& s : {Server{"IMAP", 2, imap.port(), "imap://127.0.0.1:" + std::to_string(imap.port()) + "/INBOX/;UID=1"},
                          Server{"POP3", 1, pop3.port(), "pop3://127.0.0.1:" + std::to_string(pop3.port()) + "/1"}}) {
    std::vector<Sample> control, curl;
    const std::string connect = "Connect(\"127.0.0.1\", " + std::to_string(s.port) + ", \"" + pop3test::kDovecotUser +
                                "\", \"" + pop3test::kDovecotPassword + "\")";
    for (int i = 0; i < runs; ++i) {
      control.push_back(Measure(RUSAGE_CHILDREN, [&] {
        return Run({CV_CVHOST, "Corvanetics.InternetMail", "ServerType=" + std::to_string(s.type), "Timeout=60", connect,
                    "GetMessage(1)", "?MessageSize", "Disconnect()"},
                   (shm / "control.txt").c_str());
      }));
      curl.push_back(Measure(RUSAGE_CHILDREN, [&] { return Run({"curl", "-s", "-u", user, "-o", "/dev/null", s.url}); }));
    }
    std::printf("%llu MiB message, median of %d runs\n", static_cast<unsigned long long>(fetchMib), runs);
    Report(s.name, Median(control), Median(curl), "curl");
  }
  fs::remove_all(shm);
  return 0;
}
