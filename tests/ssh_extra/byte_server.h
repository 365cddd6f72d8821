#pragma once
// A one-connection TCP server on 127.0.0.1 for byte protocols (proxies, SSH-1): the test
// gives it a function that talks to the accepted client; helpers read exact byte counts
// with a time limit. For what real peers cannot be made to do.
#include <arpa/inet.h>
#include <netinet/in.h>
#include <poll.h>
#include <sys/socket.h>
#include <unistd.h>

#include <atomic>
#include <cstdint>
#include <functional>
#include <mutex>
#include <string>
#include <thread>

namespace sshextra {

class ByteServer {
 public:
  using Script = std::function<void(ByteServer&)>;

  explicit ByteServer(Script script) : script_(std::move(script)) {
    listener_ = socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0);
    sockaddr_in a{};
    a.sin_family = AF_INET;
    a.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
    bind(listener_, reinterpret_cast<sockaddr*>(&a), sizeof a);
    listen(listener_, 4);
    socklen_t n = sizeof a;
    getsockname(listener_, reinterpret_cast<sockaddr*>(&a), &n);
    port_ = ntohs(a.sin_port);
    thread_ = std::thread([this] {
      pollfd p{listener_, POLLIN, 0};
      if (poll(&p, 1, 10000) == 1) client_ = accept4(listener_, nullptr, nullptr, SOCK_CLOEXEC);
      if (client_ >= 0) script_(*this);
      done_ = true;
    });
  }
  ~ByteServer() {
    Finish();
    if (client_ >= 0) close(client_);
    close(listener_);
  }
  ByteServer(const ByteServer&) = delete;
  ByteServer& operator=(const ByteServer&) = delete;

  int port() const { return port_; }
  void Finish() {
    if (thread_.joinable()) thread_.join();
  }

  // Reads exactly n bytes (appended to received()); false on close or after 10 s.
  bool Read(size_t n, std::string* out = nullptr) {
    std::string got;
    while (got.size() < n) {
      pollfd p{client_, POLLIN, 0};
      if (poll(&p, 1, 10000) != 1) return false;
      char buffer[4096];
      ssize_t r = recv(client_, buffer, std::min(sizeof buffer, n - got.size()), 0);
      if (r <= 0) return false;
      got.append(buffer, size_t(r));
    }
    {
      std::lock_guard lock(receivedMu_);
      received_ += got;
    }
    if (out) *out = got;
    return true;
  }
  // Reads up to and including the text (for text requests).
  bool ReadUntil(const std::string& end) {
    while (!EndsWith(end))
      if (!Read(1)) return false;
    return true;
  }
  // Reads until the client closes (or 10 s pass).
  void ReadToEnd() {
    while (Read(1)) {
    }
  }
  void Send(const std::string& bytes) {
    for (size_t at = 0; at < bytes.size();) {
      ssize_t n = send(client_, bytes.data() + at, bytes.size() - at, MSG_NOSIGNAL);
      if (n <= 0) return;
      at += size_t(n);
    }
  }
  // Sends the bytes one write at a time with a pause, so the client sees split receives.
  void SendPieces(const std::string& bytes, size_t piece) {
    for (size_t at = 0; at < bytes.size(); at += piece) {
      Send(bytes.substr(at, piece));
      std::this_thread::sleep_for(std::chrono::milliseconds(20));
    }
  }
  void CloseClient() {
    shutdown(client_, SHUT_RDWR);
  }

  // Everything read so far: a copy, since the script thread may be appending while a test
  // polls it.
  std::string received() const {
    std::lock_guard lock(receivedMu_);
    return received_;
  }
  std::atomic<bool> done_{false};

 private:
  bool EndsWith(const std::string& end) const {
    std::lock_guard lock(receivedMu_);
    return received_.size() >= end.size() && received_.compare(received_.size() - end.size(), end.size(), end) == 0;
  }

  mutable std::mutex receivedMu_;
  std::string received_;
  Script script_;
  int listener_ = -1;
  int client_ = -1;
  int port_ = 0;
  std::thread thread_;
};

}  // namespace sshextra
