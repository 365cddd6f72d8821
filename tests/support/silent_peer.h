#pragma once
// A peer that plays its part of a protocol up to the TLS handshake and then says nothing:
// it reads and drops what the other side sends (its hello) and never answers, until the
// other side gives up or the peer is destroyed.
#include <arpa/inet.h>
#include <netinet/in.h>
#include <poll.h>
#include <sys/socket.h>
#include <unistd.h>

#include <atomic>
#include <chrono>
#include <string>
#include <thread>
#include <vector>

namespace cvtest {

using Clock = std::chrono::steady_clock;

// When the other side's first bytes (its hello) arrived: from then on it waits for an answer.
class Hearing {
 public:
  void Mark() {
    if (!heard_.exchange(true)) at_ = Clock::now().time_since_epoch().count();
  }
  bool heard() const { return heard_; }
  Clock::time_point at() const { return Clock::time_point(Clock::duration(at_.load())); }

 private:
  std::atomic<bool> heard_{false};
  std::atomic<Clock::rep> at_{0};
};

// Reads and drops what arrives on fd until the other side closes it or stop is set.
inline void HoldSilent(int fd, Hearing& hearing, const std::atomic<bool>& stop) {
  char sink[4096];
  while (!stop) {
    pollfd p{fd, POLLIN, 0};
    if (::poll(&p, 1, 20) <= 0) continue;
    const ssize_t n = ::recv(fd, sink, sizeof sink, 0);
    if (n <= 0) return;
    hearing.Mark();
  }
}

// Listens on 127.0.0.1; each client gets the script, then silence. A script line that
// begins with '<' is a prefix the client's next line must begin with (the line is read
// either way); any other line is sent with CR LF.
class SilentPeer {
 public:
  explicit SilentPeer(std::vector<std::string> script = {}) : script_(std::move(script)) {
    listener_ = ::socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0);
    sockaddr_in a{};
    a.sin_family = AF_INET;
    a.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
    ::bind(listener_, reinterpret_cast<sockaddr*>(&a), sizeof a);
    ::listen(listener_, 8);
    socklen_t length = sizeof a;
    ::getsockname(listener_, reinterpret_cast<sockaddr*>(&a), &length);
    port_ = ntohs(a.sin_port);
    thread_ = std::thread([this] { Run(); });
  }
  ~SilentPeer() {
    stop_ = true;
    thread_.join();
    ::close(listener_);
  }
  SilentPeer(const SilentPeer&) = delete;
  SilentPeer& operator=(const SilentPeer&) = delete;

  uint16_t port() const { return port_; }
  // The other side sent something after the script: its handshake is under way.
  bool heard() const { return hearing_.heard(); }
  Clock::time_point heardAt() const { return hearing_.at(); }
  const Hearing& hearing() const { return hearing_; }
  // Every script line matched.
  bool scriptOk() const { return scriptOk_; }

 private:
  void Run() {
    while (!stop_) {
      pollfd p{listener_, POLLIN, 0};
      if (::poll(&p, 1, 20) <= 0) continue;
      const int fd = ::accept4(listener_, nullptr, nullptr, SOCK_CLOEXEC);
      if (fd < 0) continue;
      if (PlayScript(fd)) HoldSilent(fd, hearing_, stop_);
      ::close(fd);
    }
  }

  bool PlayScript(int fd) {
    std::string pending;
    for (const std::string& step : script_) {
      if (step.empty() || step[0] != '<') {
        const std::string line = step + "\r\n";
        ::send(fd, line.data(), line.size(), MSG_NOSIGNAL);
        continue;
      }
      std::string line;
      if (!ReadLine(fd, pending, line) || line.compare(0, step.size() - 1, step, 1) != 0) return scriptOk_ = false;
    }
    return true;
  }

  bool ReadLine(int fd, std::string& pending, std::string& line) {
    const auto end = Clock::now() + std::chrono::seconds(10);
    for (;;) {
      const size_t nl = pending.find("\r\n");
      if (nl != std::string::npos) {
        line = pending.substr(0, nl);
        pending.erase(0, nl + 2);
        return true;
      }
      if (stop_ || Clock::now() >= end) return false;
      pollfd p{fd, POLLIN, 0};
      if (::poll(&p, 1, 20) <= 0) continue;
      char buf[512];
      const ssize_t n = ::recv(fd, buf, sizeof buf, 0);
      if (n <= 0) return false;
      pending.append(buf, size_t(n));
    }
  }

  std::vector<std::string> script_;
  int listener_ = -1;
  uint16_t port_ = 0;
  std::thread thread_;
  std::atomic<bool> stop_{false};
  Hearing hearing_;
  std::atomic<bool> scriptOk_{true};
};

// A client that connects to a TLS server on 127.0.0.1 and never says a word; closed() once
// the server has given up on it.
class SilentClient {
 public:
  explicit SilentClient(uint16_t port) {
    fd_ = ::socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0);
    sockaddr_in a{};
    a.sin_family = AF_INET;
    a.sin_port = htons(port);
    a.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
    connected_ = ::connect(fd_, reinterpret_cast<sockaddr*>(&a), sizeof a) == 0;
  }
  ~SilentClient() { ::close(fd_); }
  SilentClient(const SilentClient&) = delete;
  SilentClient& operator=(const SilentClient&) = delete;

  bool connected() const { return connected_; }
  // Waits up to limit for the server to close the connection (what it sends is dropped).
  bool WaitClosed(std::chrono::milliseconds limit) {
    const auto end = Clock::now() + limit;
    char sink[4096];
    while (Clock::now() < end) {
      pollfd p{fd_, POLLIN, 0};
      if (::poll(&p, 1, 20) <= 0) continue;
      if (::recv(fd_, sink, sizeof sink, 0) <= 0) return true;
    }
    return false;
  }

 private:
  int fd_ = -1;
  bool connected_ = false;
};

}  // namespace cvtest
