// File-transfer throughput and CPU beside curl, on 127.0.0.1 against the same servers:
// FTP and FTPS (explicit TLS, protected data) download and upload with proftpd and vsftpd,
// HTTP and HTTPS GET and PUT with nginx; each case through the library (in this process)
// and through the FileTransfer control (driven by the command-line host, a whole process),
// interleaved run by run with curl (a whole process). Files live on /dev/shm, servers too.
// proftpd runs without its checksum module's digests (Debian's configuration loads no such
// module): with them, it digests every transfer at about its own speed, and every client
// gets the rate of that digest.
// Reported per case: the medians, throughput as curl's wall time / ours (above 1: faster
// than curl) and CPU per byte as ours / curl's (below 1: cheaper than curl).
//
//   bench_xfer [size in MiB, default 1024] [runs, default 5] [priority, default 2] [filter]
//   bench_xfer --serve [size in MiB] [priority] [filter]
//
// filter: run only the cases whose name contains it (e.g. "ftps", "http get"). --serve starts
// the servers and the file, prints the control's and curl's command line of each case and
// waits for its input to end, for tracing or profiling the two with outside tools.
#include <fcntl.h>
#include <spawn.h>
#include <sys/mman.h>
#include <sys/resource.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>

#include <algorithm>
#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <filesystem>
#include <fstream>
#include <functional>
#include <memory>
#include <string>
#include <vector>

#include "ftp/ftp.h"
#include "http/http.h"
#include "peers/peer.h"
#include "support/ftp_peers.h"
#include "test_pki.h"

extern char** environ;

namespace fs = std::filesystem;

namespace {

constexpr uint32_t kFtpPassive = 0x1;
constexpr uint32_t kFtpTls = 0x1000;
constexpr uint32_t kFtpTlsExplicit = 0x2000;
constexpr uint32_t kHttpSecure = 0x1000;
constexpr uint32_t kHttp11 = 1u << 16 | 1;
constexpr uint32_t kImageType = 3;
constexpr uint32_t kTimeout = 120;

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
// A failure ends the bench, with the log of the failed program when there is one.
Sample Measure(int who, const std::function<bool()>& fn, const std::string& what, const std::string& log = "") {
  const double cpu0 = CpuOf(who);
  const auto t0 = std::chrono::steady_clock::now();
  if (!fn()) {
    std::fprintf(stderr, "%s failed\n", what.c_str());
    if (!log.empty()) std::fprintf(stderr, "%s\n", std::string(std::istreambuf_iterator<char>(*std::make_unique<std::ifstream>(log)), {}).c_str());
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

// Runs a program to its end with its output thrown away (or kept in log).
bool Run(const std::vector<std::string>& args, const std::string& log = "/dev/null") {
  std::vector<char*> argv;
  for (const auto& a : args) argv.push_back(const_cast<char*>(a.c_str()));
  argv.push_back(nullptr);
  posix_spawn_file_actions_t fa;
  posix_spawn_file_actions_init(&fa);
  posix_spawn_file_actions_addopen(&fa, 1, log.c_str(), O_WRONLY | O_CREAT | O_TRUNC, 0600);
  posix_spawn_file_actions_adddup2(&fa, 1, 2);
  pid_t pid;
  const bool spawned = posix_spawnp(&pid, argv[0], &fa, nullptr, argv.data(), environ) == 0;
  posix_spawn_file_actions_destroy(&fa);
  int status = 0;
  return spawned && waitpid(pid, &status, 0) == pid && WIFEXITED(status) && WEXITSTATUS(status) == 0;
}

// Same size and the same bytes (both files are mapped; nothing of this is timed).
bool SameFile(const fs::path& a, const fs::path& b) {
  std::error_code ec;
  const auto size = fs::file_size(a, ec);
  if (ec || size != fs::file_size(b, ec) || ec) return false;
  if (size == 0) return true;
  const int fa = open(a.c_str(), O_RDONLY), fb = open(b.c_str(), O_RDONLY);
  void* ma = fa >= 0 ? mmap(nullptr, size, PROT_READ, MAP_PRIVATE, fa, 0) : MAP_FAILED;
  void* mb = fb >= 0 ? mmap(nullptr, size, PROT_READ, MAP_PRIVATE, fb, 0) : MAP_FAILED;
  const bool same = ma != MAP_FAILED && mb != MAP_FAILED && std::memcmp(ma, mb, size) == 0;
  if (ma != MAP_FAILED) munmap(ma, size);
  if (mb != MAP_FAILED) munmap(mb, size);
  if (fa >= 0) close(fa);
  if (fb >= 0) close(fb);
  return same;
}

// nginx serving www/ (the big file) and a WebDAV folder for PUT of any size, over TLS 1.2
// when certificate is given.
cvpeers::PeerOptions NginxOptions(const fs::path& certificate) {
  return cvpeers::PeerOptions{
      .program = "nginx",
      .args = {"-p", "{{DIR}}", "-c", "{{CONFIG}}", "-e", "{{DIR}}/error.log"},
      .configName = "nginx.conf",
      .configTemplate = R"(daemon off;
master_process off;
worker_processes 1;
pid {{DIR}}/nginx.pid;
error_log {{DIR}}/error.log;
events { worker_connections 64; }
http {
  access_log off;
  sendfile on;
  client_body_temp_path {{DIR}}/tmp_body;
  types { application/octet-stream bin; }
  server {
    listen {{HOST}}:{{PORT}}{{SSL}};
    root {{DIR}}/www;
    location /dav/ { dav_methods PUT DELETE; create_full_put_path on; client_max_body_size 0; }
  }
}
)",
      .values = {{"SSL", certificate.empty() ? std::string()
                                              : " ssl;\n    ssl_certificate " + certificate.string() +
                                                    ";\n    ssl_certificate_key " + certificate.string() +
                                                    ";\n    ssl_protocols TLSv1.2"}},
  };
}

struct Case {
  std::string name;                     // "ftp get proftpd" ...
  std::function<bool()> library;        // one transfer through the library
  std::vector<std::string> control;     // the command-line host's arguments
  std::vector<std::string> curl;        // curl's arguments
  fs::path result;                      // the file a download writes / the upload's copy on the server
  std::function<void()> clean;          // removes what a run left
  pid_t server;                         // the server's listening process
};

void Report(const Case& c, double mib, const Sample& lib, const Sample& ctl, const Sample& curl) {
  std::printf("%-22s library %7.1f MiB/s cpu %5.2f s | control %7.1f MiB/s cpu %5.2f s | curl %7.1f MiB/s cpu %5.2f s"
              " | throughput lib %.2f ctl %.2f | cpu lib %.2f ctl %.2f\n",
              c.name.c_str(), mib / lib.wall, lib.cpu, mib / ctl.wall, ctl.cpu, mib / curl.wall, curl.cpu,
              curl.wall / lib.wall, curl.wall / ctl.wall, lib.cpu / curl.cpu, ctl.cpu / curl.cpu);
  std::fflush(stdout);
}

// A command line as a shell takes it back.
std::string Quoted(const std::vector<std::string>& args) {
  std::string line;
  for (const std::string& a : args) {
    line += line.empty() ? "'" : " '";
    for (char c : a) line += c == '\'' ? std::string("'\\''") : std::string(1, c);
    line += '\'';
  }
  return line;
}

int Bench(const fs::path& shm, uint64_t mib, int runs, uint32_t priority, const std::string& filter, bool serve) {
  setenv("CV_REGISTRY_ROOT", (shm / "registry").c_str(), 1);
  const fs::path source = shm / "big.bin";
  {
    std::ofstream out(source, std::ios::binary);
    std::string block(1 << 20, '\0');
    uint32_t seed = 2654435761u;
    for (uint64_t i = 0; i < mib; ++i) {
      for (char& c : block) c = char((seed = seed * 1103515245u + 12345u) >> 24);
      out.write(block.data(), std::streamsize(block.size()));
    }
  }
  fs::permissions(source, fs::perms(0644));

  auto pki = std::make_unique<testpki::TestPki>();
  const fs::path certificate = pki->Issue("server", testpki::CertSpec{});
  const std::string ca = pki->caFile().string();
  setenv("SSL_CERT_FILE", ca.c_str(), 1);  // the library and the control trust it

  // One proftpd and one vsftpd each, with TLS offered and not required; two nginx.
  cvtest::FtpPeerTls tls;
  tls.certificate = certificate;
  cvtest::FtpPeer proftpd(cvtest::FtpPeerKind::Proftpd, AF_INET, tls, false);
  cvtest::FtpPeer vsftpd(cvtest::FtpPeerKind::Vsftpd, AF_INET, tls);
  cvpeers::PeerProcess nginx(NginxOptions({}));
  cvpeers::PeerProcess nginxTls(NginxOptions(certificate));
  for (cvpeers::PeerProcess* p : {&nginx, &nginxTls}) {
    fs::create_directories(p->dir() / "www" / "dav");
    fs::create_hard_link(source, p->dir() / "www" / "big.bin");
    fs::permissions(p->dir(), fs::perms(0755));
  }
  if (proftpd.Start() != cvpeers::PeerProcess::StartResult::Started ||
      vsftpd.Start() != cvpeers::PeerProcess::StartResult::Started ||
      nginx.Start() != cvpeers::PeerProcess::StartResult::Started ||
      nginxTls.Start() != cvpeers::PeerProcess::StartResult::Started) {
    std::fprintf(stderr, "a server did not start:\n%s\n%s\n%s\n%s\n", proftpd.Diagnostics().c_str(),
                 vsftpd.Diagnostics().c_str(), nginx.Diagnostics().c_str(), nginxTls.Diagnostics().c_str());
    return 1;
  }
  for (cvtest::FtpPeer* p : {&proftpd, &vsftpd}) fs::create_hard_link(source, p->root() / "big.bin");

  if (!Run({CV_CVREGSVR, CV_XFERCTL})) {
    std::fprintf(stderr, "registering the control failed\n");
    return 1;
  }
  FtpAttach(nullptr);
  HttpAttach(nullptr);

  const fs::path down = shm / "down.bin";
  const std::string prio = std::to_string(priority);
  std::vector<Case> cases;

  // FTP and FTPS.
  for (cvtest::FtpPeer* peer : {&proftpd, &vsftpd}) {
    const std::string server = peer == &proftpd ? "proftpd" : "vsftpd";
    const std::string upDir = peer->uploadDir().empty() ? "" : peer->uploadDir() + "/";
    const fs::path upLocal = peer->root() / (upDir + "up.bin");
    // vsftpd takes any password for anonymous: one that needs no escaping in a URL.
    const std::string user = peer->user(), password = peer->anonymousOnly() ? "bench" : peer->password();
    const uint16_t port = peer->port();
    for (bool secure : {false, true}) {
      const std::string scheme = secure ? "ftps" : "ftp";
      const std::string url = scheme + "://" + user + ":" + password + "@127.0.0.1:" + std::to_string(port) + "/";
      const std::string curlUrl = "ftp://" + user + ":" + password + "@127.0.0.1:" + std::to_string(port) + "/";
      std::vector<std::string> curlTls;
      if (secure) curlTls = {"--ssl-reqd", "--tls-max", "1.2", "--cacert", ca};
      const uint32_t options = kFtpPassive | (secure ? kFtpTls | kFtpTlsExplicit : 0);
      auto transfer = [=](bool get) {
        return [=] {
          const LibHandle h =
              FtpConnect("127.0.0.1", port, user.c_str(), password.c_str(), kTimeout, options, nullptr);
          if (h == kInvalidLibHandle) return false;
          FtpSetPriority(h, priority);
          FtpSetFileType(h, kImageType);
          const int32_t rc = get ? FtpRetrieveFile(h, down.c_str(), "big.bin", 0, 0)
                                 : FtpStoreFile(h, source.c_str(), (upDir + "up.bin").c_str(), 0, 0);
          FtpDisconnect(h);
          return rc == 0;
        };
      };
      std::vector<std::string> get{"curl", "-sS", "-o", down.string(), curlUrl + "big.bin"};
      std::vector<std::string> put{"curl", "-sS", "-T", source.string(), curlUrl + upDir + "up.bin"};
      get.insert(get.begin() + 1, curlTls.begin(), curlTls.end());
      put.insert(put.begin() + 1, curlTls.begin(), curlTls.end());
      cases.push_back({scheme + " get " + server,
                       transfer(true),
                       {CV_CVHOST, "Corvanetics.FileTransfer", "Priority=" + prio, "Timeout=120",
                        "GetFile(\"" + down.string() + "\", \"" + url + "big.bin\")"},
                       get,
                       down,
                       [=] { fs::remove(down); },
                       peer->process().pid()});
      cases.push_back({scheme + " put " + server,
                       transfer(false),
                       {CV_CVHOST, "Corvanetics.FileTransfer", "Priority=" + prio, "Timeout=120",
                        "PutFile(\"" + source.string() + "\", \"" + url + upDir + "up.bin\")"},
                       put,
                       upLocal,
                       [=] { fs::remove(upLocal); },
                       peer->process().pid()});
    }
  }

  // HTTP and HTTPS.
  for (cvpeers::PeerProcess* peer : {&nginx, &nginxTls}) {
    const bool secure = peer == &nginxTls;
    const std::string scheme = secure ? "https" : "http";
    const uint16_t port = peer->port();
    const std::string url = scheme + "://127.0.0.1:" + std::to_string(port) + "/";
    const fs::path upLocal = peer->dir() / "www" / "dav" / "up.bin";
    auto transfer = [=](bool get) {
      return [=] {
        const LibHandle h = HttpConnect("127.0.0.1", port, kTimeout, secure ? kHttpSecure : 0, kHttp11, nullptr);
        if (h == kInvalidLibHandle) return false;
        HttpSetPriority(h, priority);
        const int32_t rc = get ? HttpRetrieveFile(h, down.c_str(), "/big.bin", 0, 0)
                               : HttpStoreFile(h, source.c_str(), "/dav/up.bin", 0, 0);
        HttpDisconnect(h);
        return rc == 0 || (rc >= 200 && rc < 300);
      };
    };
    std::vector<std::string> curlTls;
    if (secure) curlTls = {"--tls-max", "1.2", "--cacert", ca};
    std::vector<std::string> get{"curl", "-sS", "-f", "-o", down.string(), url + "big.bin"};
    std::vector<std::string> put{"curl", "-sS", "-f", "-o", "/dev/null", "-T", source.string(), url + "dav/up.bin"};
    get.insert(get.begin() + 1, curlTls.begin(), curlTls.end());
    put.insert(put.begin() + 1, curlTls.begin(), curlTls.end());
    cases.push_back({scheme + " get nginx",
                     transfer(true),
                     {CV_CVHOST, "Corvanetics.FileTransfer", "Priority=" + prio, "Timeout=120",
                      "GetFile(\"" + down.string() + "\", \"" + url + "big.bin\")"},
                     get,
                     down,
                     [=] { fs::remove(down); },
                     peer->pid()});
    cases.push_back({scheme + " put nginx",
                     transfer(false),
                     {CV_CVHOST, "Corvanetics.FileTransfer", "Priority=" + prio, "Timeout=120",
                      "PutFile(\"" + source.string() + "\", \"" + url + "dav/up.bin\")"},
                     put,
                     upLocal,
                     [=] { fs::remove(upLocal); },
                     peer->pid()});
  }

  if (serve) {
    std::printf("export CV_REGISTRY_ROOT='%s' SSL_CERT_FILE='%s'\n", (shm / "registry").c_str(), ca.c_str());
    for (const Case& c : cases) {
      if (!filter.empty() && c.name.find(filter) == std::string::npos) continue;
      std::printf("# %s\n%s\n%s\n", c.name.c_str(), Quoted(c.control).c_str(), Quoted(c.curl).c_str());
    }
    std::printf("# waiting for the end of the input\n");
    std::fflush(stdout);
    while (std::getchar() != EOF) {
    }
    FtpDetach();
    HttpDetach();
    return 0;
  }
  std::printf("%llu MiB on 127.0.0.1, median of %d interleaved runs, priority %u; throughput = curl's time / ours,"
              " cpu = ours / curl's\n",
              static_cast<unsigned long long>(mib), runs, priority);
  const std::string log = (shm / "control.log").string();
  for (Case& c : cases) {
    if (!filter.empty() && c.name.find(filter) == std::string::npos) continue;
    std::vector<Sample> lib, ctl, curl;
    for (int i = 0; i < runs; ++i) {
      cvpeers::SettleSessions(c.server);
      lib.push_back(Measure(RUSAGE_SELF, c.library, c.name + " through the library"));
      if (i == 0 && !SameFile(source, c.result)) {
        std::fprintf(stderr, "%s: the library's copy differs\n", c.name.c_str());
        return 1;
      }
      c.clean();
      cvpeers::SettleSessions(c.server);
      ctl.push_back(Measure(RUSAGE_CHILDREN, [&] { return Run(c.control, log); }, c.name + " through the control", log));
      if (i == 0 && !SameFile(source, c.result)) {
        std::fprintf(stderr, "%s: the control's copy differs\n", c.name.c_str());
        return 1;
      }
      c.clean();
      cvpeers::SettleSessions(c.server);
      curl.push_back(Measure(RUSAGE_CHILDREN, [&] { return Run(c.curl, log); }, c.name + " by curl", log));
      c.clean();
    }
    Report(c, double(mib), Median(lib), Median(ctl), Median(curl));
  }
  HttpDetach();
  FtpDetach();
  return 0;
}

}  // namespace

int main(int argc, char** argv) {
  const bool serve = argc > 1 && std::string(argv[1]) == "--serve";
  if (serve) {
    --argc;
    ++argv;
  }
  const uint64_t mib = argc > 1 ? std::strtoull(argv[1], nullptr, 10) : 1024;
  const int at = serve ? 2 : 3;  // --serve takes no runs
  const int runs = !serve && argc > 2 ? std::max(1, std::atoi(argv[2])) : 5;
  const uint32_t priority = argc > at ? uint32_t(std::atoi(argv[at])) : 2;
  const std::string filter = argc > at + 1 ? argv[at + 1] : "";
  // Everything on /dev/shm: the files, the servers' folders, the registry.
  const fs::path shm = fs::path("/dev/shm") / ("cv-bench-xfer-" + std::to_string(getpid()));
  fs::create_directories(shm);
  fs::permissions(shm, fs::perms(0755));
  setenv("TMPDIR", shm.c_str(), 1);
  const int rc = Bench(shm, mib, runs, priority, filter, serve);  // the servers are stopped when it returns
  fs::remove_all(shm);
  return rc;
}
