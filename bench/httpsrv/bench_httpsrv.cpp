// The HTTP server library, and the HttpServer control (in the command-line host, a whole
// process whose thread fires every event), beside nginx serving the same root; the
// library's TLS handshake beside `openssl s_server` with the same certificate; all on
// 127.0.0.1. Every round runs each measurement against every server one after the other
// (interleaved, the order rotating), and the medians over the rounds are reported with
// their ratios, and the servers' CPU time per request.
//
//   bench_httpsrv [seconds per wrk run, default 5] [rounds, default 3] [priority, default 4]
//                 [measurements, default kcft: keep-alive, close, file, TLS]
//
// Needs wrk, nginx and openssl on the path. The server threads of priority 4 run at nice
// -4, so wrk, nginx, the host and s_server run at that nice too: other jobs on a shared
// machine then delay neither side of a measurement more than the other.
#include <arpa/inet.h>
#include <netinet/in.h>
#include <netinet/tcp.h>
#include <sys/resource.h>
#include <sys/socket.h>
#include <unistd.h>

#include <openssl/ssl.h>

#include <algorithm>
#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <functional>
#include <iterator>
#include <string>
#include <vector>

#include "httpsrv/httpsrv.h"
#include "peers/peer.h"
#include "sockets/inet.h"

namespace fs = std::filesystem;

namespace {

struct WrkResult {
  double requests = 0;  // per second
  double bytes = 0;     // per second
  double p50Ms = 0, p99Ms = 0;  // latency of a request
  std::string problems;
};

double Scaled(const std::string& text) {
  char* end = nullptr;
  double v = std::strtod(text.c_str(), &end);
  const std::string unit = end ? end : "";
  if (unit.rfind("KB", 0) == 0) v *= 1024;
  else if (unit.rfind("MB", 0) == 0) v *= 1024 * 1024;
  else if (unit.rfind("GB", 0) == 0) v *= 1024.0 * 1024 * 1024;
  return v;
}

// wrk's latency text ("812.00us", "10.53ms", "1.20s") in milliseconds.
double Milliseconds(const std::string& text) {
  char* end = nullptr;
  const double v = std::strtod(text.c_str(), &end);
  const std::string unit = end ? end : "";
  if (unit.rfind("us", 0) == 0) return v / 1000;
  if (unit.rfind("ms", 0) == 0) return v;
  if (unit.rfind("s", 0) == 0) return v * 1000;
  if (unit.rfind("m", 0) == 0) return v * 60000;
  return v;
}

WrkResult RunWrk(uint16_t port, const std::string& path, int connections, int threads, int seconds,
                 const std::string& connectionHeader) {
  const std::string command = "nice -n -4 wrk --latency -t" + std::to_string(threads) + " -c" +
                              std::to_string(connections) + " -d" + std::to_string(seconds) +
                              "s -H 'Connection: " + connectionHeader + "' http://127.0.0.1:" + std::to_string(port) +
                              path + " 2>&1";
  WrkResult r;
  FILE* p = ::popen(command.c_str(), "r");
  if (!p) return r;
  char line[512];
  while (std::fgets(line, sizeof line, p)) {
    std::string s = line;
    const auto after = [&](const char* key) { return s.substr(s.find(key) + std::string(key).size()); };
    if (s.find("Requests/sec:") != std::string::npos) r.requests = std::strtod(after("Requests/sec:").c_str(), nullptr);
    else if (s.find(" 50% ") != std::string::npos) r.p50Ms = Milliseconds(after(" 50% "));
    else if (s.find(" 99% ") != std::string::npos) r.p99Ms = Milliseconds(after(" 99% "));
    else if (s.find("Transfer/sec:") != std::string::npos) r.bytes = Scaled(after("Transfer/sec:").substr(1));
    else if (s.find("Socket errors") != std::string::npos || s.find("Non-2xx") != std::string::npos)
      r.problems += s;
  }
  ::pclose(p);
  return r;
}

// Milliseconds of one TCP connect and TLS handshake; negative when it failed.
double HandshakeMs(SSL_CTX* ctx, uint16_t port) {
  const auto t0 = std::chrono::steady_clock::now();
  const int fd = ::socket(AF_INET, SOCK_STREAM, 0);
  sockaddr_in a{};
  a.sin_family = AF_INET;
  a.sin_port = htons(port);
  a.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
  double ms = -1;
  if (::connect(fd, reinterpret_cast<sockaddr*>(&a), sizeof a) == 0) {
    SSL* ssl = SSL_new(ctx);
    SSL_set_fd(ssl, fd);
    if (SSL_connect(ssl) == 1)
      ms = std::chrono::duration<double, std::milli>(std::chrono::steady_clock::now() - t0).count();
    SSL_free(ssl);
  }
  ::close(fd);
  return ms;
}

// The median of `count` handshakes; negative when any of them failed (a median of the
// ones that worked would hide the failures).
double MedianHandshakeMs(SSL_CTX* ctx, uint16_t port, int count) {
  std::vector<double> v;
  for (int i = 0; i < count; ++i) {
    const double ms = HandshakeMs(ctx, port);
    if (ms < 0) return -1;
    v.push_back(ms);
  }
  std::sort(v.begin(), v.end());
  return v[v.size() / 2];
}

double Median(std::vector<double> v) {
  std::sort(v.begin(), v.end());
  return v.empty() ? 0 : v[v.size() / 2];
}

bool Shell(const std::string& command) { return std::system(command.c_str()) == 0; }

// CPU seconds used so far by this process (the library's server runs in it; wrk and the
// peers are children, not counted) or by another process.
double OwnCpuSeconds() {
  rusage u{};
  ::getrusage(RUSAGE_SELF, &u);
  return double(u.ru_utime.tv_sec + u.ru_stime.tv_sec) + double(u.ru_utime.tv_usec + u.ru_stime.tv_usec) / 1e6;
}
double ProcessCpuSeconds(pid_t pid) {
  std::ifstream in("/proc/" + std::to_string(pid) + "/stat");
  std::string text((std::istreambuf_iterator<char>(in)), std::istreambuf_iterator<char>());
  const size_t close = text.rfind(')');
  if (close == std::string::npos) return 0;
  std::vector<std::string> fields;
  std::string field;
  for (size_t i = close + 2; i <= text.size(); ++i) {
    if (i == text.size() || text[i] == ' ') {
      fields.push_back(field);
      field.clear();
    } else {
      field += text[i];
    }
  }
  // Fields 14 and 15 of the file (utime, stime) are the 12th and 13th after the name.
  if (fields.size() < 13) return 0;
  return (std::strtod(fields[11].c_str(), nullptr) + std::strtod(fields[12].c_str(), nullptr)) /
         double(::sysconf(_SC_CLK_TCK));
}

// A wrk run with the server's CPU time over it.
WrkResult Measured(const std::function<double()>& cpu, const std::function<WrkResult()>& run, int seconds,
                   double* usPerRequest) {
  const double before = cpu();
  WrkResult r = run();
  const double used = cpu() - before;
  *usPerRequest = r.requests > 0 ? used * 1e6 / (r.requests * seconds) : 0;
  return r;
}

enum Side { kLibrary, kNginx, kControl, kSides };
const char* const kSideNames[kSides] = {"library", "nginx", "control"};

struct Row {
  std::vector<double> value[kSides], cpu[kSides];  // per round; cpu in us per request
  std::vector<double> p50[kSides], p99[kSides];    // latency in ms, per round
};

}  // namespace

int main(int argc, char** argv) {
  const int seconds = argc > 1 ? std::atoi(argv[1]) : 5;
  const int rounds = argc > 2 ? std::atoi(argv[2]) : 3;
  const uint32_t priority = argc > 3 ? uint32_t(std::atoi(argv[3])) : 4;
  const std::string which = argc > 4 ? argv[4] : "kcft";
  const auto wanted = [&](char m) { return which.find(m) != std::string::npos; };
  constexpr int kConnections = 50;
  constexpr int kHandshakes = 40;

  const fs::path dir = fs::path("/dev/shm") / ("cv-bench-httpsrv-" + std::to_string(::getpid()));
  const fs::path root = dir / "www", temp = dir / "temp";
  fs::create_directories(root);
  fs::create_directories(temp);
  {
    std::ofstream(root / "small.txt", std::ios::binary) << std::string(1024, 'x');
    std::ofstream big(root / "big.bin", std::ios::binary);
    std::string block(1 << 20, '\0');
    for (size_t i = 0; i < block.size(); ++i) block[i] = char(i * 2654435761u >> 24);
    for (int i = 0; i < 100; ++i) big.write(block.data(), std::streamsize(block.size()));
  }
  const std::string pem = (dir / "server.pem").string();
  if (!Shell("openssl req -x509 -newkey rsa:2048 -nodes -subj /CN=localhost -days 2 -keyout " + dir.string() +
             "/key.pem -out " + dir.string() + "/cert.pem 2>/dev/null && cat " + dir.string() + "/cert.pem " +
             dir.string() + "/key.pem > " + pem)) {
    std::fprintf(stderr, "openssl could not make a certificate\n");
    return 1;
  }

  HttpServerAttach(nullptr, nullptr);
  HttpServerConfig config{};
  config.size = sizeof config;
  config.maxClients = 500;
  config.maxClientsPerAddress = 500;
  config.maxRequests = 100;
  config.hostName = "localhost";
  const std::string rootText = root.string(), tempText = temp.string();
  config.rootDirectory = rootText.c_str();
  config.tempDirectory = tempText.c_str();
  const auto start = [&](uint32_t options, SecCredentials* credentials, uint16_t& port) {
    for (int attempt = 0; attempt < 5; ++attempt) {
      port = cvpeers::FreePort(AF_INET);
      const uint64_t h = HttpServerStart("127.0.0.1", port, options, &config, nullptr, 0, credentials);
      if (h != uint64_t(INVALID_SOCKET)) {
        HttpServerSetPriority(h, priority);
        return h;
      }
    }
    std::fprintf(stderr, "the server did not start: 0x%x\n", InetGetLastError());
    std::exit(1);
  };
  uint16_t plainPort = 0, tlsPort = 0;
  const uint64_t plain = start(0, nullptr, plainPort);
  SecCredentials* credentials = nullptr;
  if (SecBuildCredentials(16, 0, nullptr, nullptr, pem.c_str(), "localhost", &credentials) != 1) {
    std::fprintf(stderr, "credentials: 0x%x\n", InetGetLastError());
    return 1;
  }
  const uint64_t secure = start(httpServerSecure, credentials, tlsPort);

  cvpeers::PeerProcess nginx({
      .program = "nice",
      .args = {"-n", "-4", "nginx", "-p", "{{DIR}}", "-c", "{{CONFIG}}", "-e", "{{DIR}}/error.log"},
      .configName = "nginx.conf",
      .configTemplate = R"(
daemon off;
master_process off;
worker_processes 1;
pid {{DIR}}/nginx.pid;
error_log {{DIR}}/error.log;
events { worker_connections 1024; }
http {
  access_log off;
  sendfile on;
  tcp_nopush on;
  keepalive_requests 100;
  client_body_temp_path {{DIR}}/tmp_body;
  proxy_temp_path {{DIR}}/tmp_proxy;
  fastcgi_temp_path {{DIR}}/tmp_fastcgi;
  uwsgi_temp_path {{DIR}}/tmp_uwsgi;
  scgi_temp_path {{DIR}}/tmp_scgi;
  types { text/plain txt; application/octet-stream bin; }
  server { listen {{HOST}}:{{PORT}}; root {{ROOT}}; }
}
)",
      .values = {{"ROOT", rootText}},
  });
  cvpeers::PeerProcess reference({
      .program = "nice",
      .args = {"-n", "-4", "openssl", "s_server", "-quiet", "-tls1_2", "-accept", "127.0.0.1:{{PORT}}", "-cert", pem,
               "-key", pem},
  });
  if (nginx.Start() != cvpeers::PeerProcess::StartResult::Started) {
    std::fprintf(stderr, "nginx: %s\n", nginx.Diagnostics().c_str());
    return 1;
  }
  if (reference.Start() != cvpeers::PeerProcess::StartResult::Started) {
    std::fprintf(stderr, "openssl s_server: %s\n", reference.Diagnostics().c_str());
    return 1;
  }
  SSL_CTX* ctx = SSL_CTX_new(TLS_client_method());
  SSL_CTX_set_max_proto_version(ctx, TLS1_2_VERSION);
  SSL_CTX_set_session_cache_mode(ctx, SSL_SESS_CACHE_OFF);

  // The control in the command-line host, registered in a registry of the bench's own.
  // Its Start passes 4 clients per address and the library's 5 requests per connection;
  // Throttle lifts the per-address limit as the library's configuration above does (wrk's
  // 50 connections all come from 127.0.0.1), the request limit stays the control's.
  const std::string registry = (dir / "registry").string();
  ::setenv("CV_REGISTRY_ROOT", registry.c_str(), 1);
  if (!Shell(std::string(CV_CVREGSVR) + " " + CV_HTTPSRVCTL + " >/dev/null")) {
    std::fprintf(stderr, "registering the control failed\n");
    return 1;
  }
  cvpeers::PeerProcess control({
      .program = "nice",
      .args = {"-n", "-4", CV_CVHOST, "Corvanetics.HttpServer", "ServerAddress=\"127.0.0.1\"", "ServerPort={{PORT}}",
               "Directory=\"" + rootText + "\"", "ServerName=\"localhost\"", "MaxClients=500",
               "Priority=" + std::to_string(priority), "Start()", "Throttle(500, 500)", "wait"},
      .env = {"CV_REGISTRY_ROOT=" + registry},
  });
  if (control.Start() != cvpeers::PeerProcess::StartResult::Started) {
    std::fprintf(stderr, "the control: %s\n", control.Diagnostics().c_str());
    return 1;
  }

  Row keepAlive, close, big, handshake;
  std::string problems;
  for (int round = 0; round < rounds; ++round) {
    for (int turn = 0; turn < kSides; ++turn) {
      // Rotate the order, so no server always meets another's leftovers.
      const Side side = Side((turn + round) % kSides);
      const uint16_t port = side == kLibrary ? plainPort : side == kNginx ? nginx.port() : control.port();
      const std::function<double()> cpu =
          side == kLibrary ? std::function<double()>(OwnCpuSeconds)
                           : [pid = side == kNginx ? nginx.pid() : control.pid()] { return ProcessCpuSeconds(pid); };
      double cpuK = 0, cpuC = 0, cpuB = 0;
      const auto wrk = [&](bool on, const char* path, int connections, int threads, const char* header, double* us) {
        if (!on) return WrkResult{};
        return Measured(
            cpu, [&] { return RunWrk(port, path, connections, threads, seconds, header); }, seconds, us);
      };
      const WrkResult k = wrk(wanted('k'), "/small.txt", kConnections, 4, "keep-alive", &cpuK);
      const WrkResult c = wrk(wanted('c'), "/small.txt", kConnections, 4, "close", &cpuC);
      // The file and the handshake only beside the library's own server.
      const WrkResult b = wrk(wanted('f') && side != kControl, "/big.bin", 1, 1, "keep-alive", &cpuB);
      const double h = wanted('t') && side != kControl
                           ? MedianHandshakeMs(ctx, side == kLibrary ? tlsPort : reference.port(), kHandshakes)
                           : 0;
      keepAlive.value[side].push_back(k.requests);
      keepAlive.cpu[side].push_back(cpuK);
      keepAlive.p50[side].push_back(k.p50Ms);
      keepAlive.p99[side].push_back(k.p99Ms);
      close.value[side].push_back(c.requests);
      close.cpu[side].push_back(cpuC);
      big.value[side].push_back(b.bytes);
      handshake.value[side].push_back(h);
      for (const WrkResult* w : {&k, &c, &b})
        if (!w->problems.empty()) problems += std::string(kSideNames[side]) + ": " + w->problems;
    }
  }

  // Every round of every measurement asked for must have measured something on every
  // side it runs on; a row that did not is a failure, not a figure of zero.
  bool measured = true;
  const auto check = [&](char m, const Row& row, const char* what, bool withControl) {
    if (!wanted(m)) return;
    for (int side = 0; side < kSides; ++side) {
      if (side == kControl && !withControl) continue;
      for (double x : row.value[side])
        if (!(x > 0)) {
          std::fprintf(stderr, "%s: a round measured nothing on the %s side\n", what, kSideNames[side]);
          measured = false;
        }
    }
  };
  check('k', keepAlive, "keep-alive", true);
  check('c', close, "new connections", true);
  check('f', big, "100 MiB file", false);
  check('t', handshake, "TLS handshake", false);
  const double ceiling = kConnections * 1000.0 / 10.0;
  std::printf("HTTP server on 127.0.0.1, priority %u, %d rounds of %d s, medians (interleaved with the peer)\n",
              priority, rounds, seconds);
  const auto med = [](const Row& row, Side side) { return Median(row.value[side]); };
  const auto cpu = [](const Row& row, Side side) { return Median(row.cpu[side]); };
  if (wanted('k')) {
    std::printf(
        "1 KiB, keep-alive, %d conn:  library %8.0f req/s  nginx %8.0f req/s  library / pacing ceiling "
        "(%.0f) %.2f\n",
        kConnections, med(keepAlive, kLibrary), med(keepAlive, kNginx), ceiling, med(keepAlive, kLibrary) / ceiling);
    std::printf("1 KiB, keep-alive, control:  control %8.0f req/s  control / pacing ceiling (%.0f) %.2f\n",
                med(keepAlive, kControl), ceiling, med(keepAlive, kControl) / ceiling);
    std::printf("keep-alive CPU per request:  library %8.1f us  nginx %8.1f us  control %8.1f us\n",
                cpu(keepAlive, kLibrary), cpu(keepAlive, kNginx), cpu(keepAlive, kControl));
    std::printf("keep-alive latency p50/p99:  library %.1f/%.1f ms  nginx %.2f/%.2f ms  control %.1f/%.1f ms\n",
                Median(keepAlive.p50[kLibrary]), Median(keepAlive.p99[kLibrary]), Median(keepAlive.p50[kNginx]),
                Median(keepAlive.p99[kNginx]), Median(keepAlive.p50[kControl]), Median(keepAlive.p99[kControl]));
  }
  if (wanted('c')) {
    std::printf("1 KiB, new connection each: library %8.0f req/s  nginx %8.0f req/s  control %8.0f req/s\n",
                med(close, kLibrary), med(close, kNginx), med(close, kControl));
    std::printf("new connection CPU per request: library %8.1f us  nginx %8.1f us  control %8.1f us\n",
                cpu(close, kLibrary), cpu(close, kNginx), cpu(close, kControl));
  }
  if (wanted('f'))
    std::printf("100 MiB file, 1 conn:       library %8.1f MiB/s  nginx %8.1f MiB/s  ratio %.2f\n",
                med(big, kLibrary) / 1048576, med(big, kNginx) / 1048576, med(big, kLibrary) / med(big, kNginx));
  if (wanted('t'))
    std::printf("TLS 1.2 connect+handshake:  library %8.2f ms     s_server %6.2f ms  ratio %.2f\n",
                med(handshake, kLibrary), med(handshake, kNginx), med(handshake, kLibrary) / med(handshake, kNginx));
  if (!problems.empty()) std::printf("wrk reported:\n%s", problems.c_str());

  control.Stop();
  SSL_CTX_free(ctx);
  HttpServerStop(secure);
  HttpServerStop(plain);
  SecFreeCredentials(&credentials);
  HttpServerDetach();
  fs::remove_all(dir);
  return measured ? 0 : 1;
}
