// The HTTP server library beside nginx serving the same root, and its TLS handshake
// beside `openssl s_server` with the same certificate, on 127.0.0.1. Every round runs
// each measurement against both servers one after the other (interleaved), and the
// medians over the rounds are reported with their ratios.
//
//   bench_httpsrv [seconds per wrk run, default 5] [rounds, default 3] [priority, default 4]
//                 [measurements, default kcft: keep-alive, close, file, TLS]
//
// Needs wrk, nginx and openssl on the path. The server threads of priority 4 run at nice
// -4, so wrk, nginx and s_server run at that nice too: other jobs on a shared machine then
// delay neither side of a measurement more than the other.
#include <arpa/inet.h>
#include <netinet/in.h>
#include <netinet/tcp.h>
#include <sys/socket.h>
#include <unistd.h>

#include <openssl/ssl.h>

#include <algorithm>
#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <filesystem>
#include <fstream>
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

WrkResult RunWrk(uint16_t port, const std::string& path, int connections, int threads, int seconds,
                 const std::string& connectionHeader) {
  const std::string command = "nice -n -4 wrk -t" + std::to_string(threads) + " -c" + std::to_string(connections) +
                              " -d" + std::to_string(seconds) + "s -H 'Connection: " + connectionHeader +
                              "' http://127.0.0.1:" + std::to_string(port) + path + " 2>&1";
  WrkResult r;
  FILE* p = ::popen(command.c_str(), "r");
  if (!p) return r;
  char line[512];
  while (std::fgets(line, sizeof line, p)) {
    std::string s = line;
    const auto after = [&](const char* key) { return s.substr(s.find(key) + std::string(key).size()); };
    if (s.find("Requests/sec:") != std::string::npos) r.requests = std::strtod(after("Requests/sec:").c_str(), nullptr);
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

struct Pair {
  std::vector<double> ours, theirs;
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

  Pair keepAlive, close, big, handshake;
  std::string problems;
  for (int round = 0; round < rounds; ++round) {
    for (int side = 0; side < 2; ++side) {
      // Alternate which server goes first, so neither always meets the other's leftovers.
      const bool ours = (side + round) % 2 == 0;
      const uint16_t port = ours ? plainPort : nginx.port();
      WrkResult k = wanted('k') ? RunWrk(port, "/small.txt", kConnections, 4, seconds, "keep-alive") : WrkResult{};
      WrkResult c = wanted('c') ? RunWrk(port, "/small.txt", kConnections, 4, seconds, "close") : WrkResult{};
      WrkResult b = wanted('f') ? RunWrk(port, "/big.bin", 1, 1, seconds, "keep-alive") : WrkResult{};
      const double h = wanted('t') ? MedianHandshakeMs(ctx, ours ? tlsPort : reference.port(), kHandshakes) : 0;
      Pair* pairs[] = {&keepAlive, &close, &big, &handshake};
      const double values[] = {k.requests, c.requests, b.bytes, h};
      for (int i = 0; i < 4; ++i) (ours ? pairs[i]->ours : pairs[i]->theirs).push_back(values[i]);
      for (const WrkResult* w : {&k, &c, &b})
        if (!w->problems.empty()) problems += std::string(ours ? "library: " : "nginx: ") + w->problems;
    }
  }

  // Every round of every measurement asked for must have measured something on both
  // sides; a row that did not is a failure, not a figure of zero.
  bool measured = true;
  const auto check = [&](char m, const Pair& p, const char* what) {
    if (!wanted(m)) return;
    for (const std::vector<double>* side : {&p.ours, &p.theirs})
      for (double x : *side)
        if (!(x > 0)) {
          std::fprintf(stderr, "%s: a round measured nothing on the %s side\n", what,
                       side == &p.ours ? "library's" : "peer's");
          measured = false;
        }
  };
  check('k', keepAlive, "keep-alive");
  check('c', close, "new connections");
  check('f', big, "100 MiB file");
  check('t', handshake, "TLS handshake");
  const double ceiling = kConnections * 1000.0 / 10.0;
  std::printf("HTTP server on 127.0.0.1, priority %u, %d rounds of %d s, medians (interleaved with the peer)\n",
              priority, rounds, seconds);
  if (wanted('k'))
    std::printf(
        "1 KiB, keep-alive, %d conn:  library %8.0f req/s  nginx %8.0f req/s  library / pacing ceiling "
        "(%.0f) %.2f\n",
        kConnections, Median(keepAlive.ours), Median(keepAlive.theirs), ceiling, Median(keepAlive.ours) / ceiling);
  if (wanted('c'))
    std::printf("1 KiB, new connection each: library %8.0f req/s  nginx %8.0f req/s\n", Median(close.ours),
                Median(close.theirs));
  if (wanted('f'))
    std::printf("100 MiB file, 1 conn:       library %8.1f MiB/s  nginx %8.1f MiB/s  ratio %.2f\n",
                Median(big.ours) / 1048576, Median(big.theirs) / 1048576, Median(big.ours) / Median(big.theirs));
  if (wanted('t'))
    std::printf("TLS 1.2 connect+handshake:  library %8.2f ms     s_server %6.2f ms  ratio %.2f\n",
                Median(handshake.ours), Median(handshake.theirs), Median(handshake.ours) / Median(handshake.theirs));
  if (!problems.empty()) std::printf("wrk reported:\n%s", problems.c_str());

  SSL_CTX_free(ctx);
  HttpServerStop(secure);
  HttpServerStop(plain);
  SecFreeCredentials(&credentials);
  HttpServerDetach();
  fs::remove_all(dir);
  return measured ? 0 : 1;
}
