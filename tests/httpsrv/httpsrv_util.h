#pragma once
// Helpers of the HTTP server tests: a server started on loopback in a private root, the
// owner events it reported, and a raw client that sends bytes and reads the answer.
#include <arpa/inet.h>
#include <netinet/in.h>
#include <poll.h>
#include <sys/socket.h>
#include <unistd.h>

#include <atomic>
#include <chrono>
#include <cstdio>
#include <cstring>
#include <filesystem>
#include <fstream>
#include <functional>
#include <mutex>
#include <sstream>
#include <string>
#include <thread>
#include <vector>

#include <gtest/gtest.h>

#include "core/errors/error_codes.h"
#include "httpsrv/httpsrv.h"
#include "peers/peer.h"
#include "sockets/inet.h"
#include "support/owner_hook.h"

namespace httpsrvtest {

namespace fs = std::filesystem;

using Hook = cvtest::OwnerHook;

struct Owner {
  std::mutex lock;
  std::vector<std::pair<uint32_t, uint32_t>> events;  // client id, event
  Hook hook;
  int Count(uint32_t event) {
    std::lock_guard lk(lock);
    int n = 0;
    for (auto& e : events) n += e.second == event;
    return n;
  }
};

inline int32_t OnOwnerEvent(uint64_t server, uint32_t clientId, uint16_t event, uint16_t, uint64_t context) {
  auto* owner = reinterpret_cast<Owner*>(context);
  {
    std::lock_guard lk(owner->lock);
    owner->events.push_back({clientId, event});
  }
  if (const Hook::Fn hook = owner->hook.Get()) hook(server, clientId, event);
  return 0;
}

template <typename F>
bool Eventually(F cond, int ms = 5000) {
  auto deadline = std::chrono::steady_clock::now() + std::chrono::milliseconds(ms);
  while (!cond()) {
    if (std::chrono::steady_clock::now() > deadline) return cond();
    std::this_thread::sleep_for(std::chrono::milliseconds(10));
  }
  return true;
}

// Runs a command and returns its standard output.
inline std::string RunCommand(const std::string& command) {
  std::string out;
  FILE* p = ::popen(command.c_str(), "r");
  if (!p) return out;
  char buf[4096];
  size_t n;
  while ((n = std::fread(buf, 1, sizeof buf, p)) > 0) out.append(buf, n);
  ::pclose(p);
  return out;
}

inline std::string ReadFile(const fs::path& p) {
  std::ifstream in(p, std::ios::binary);
  std::stringstream ss;
  ss << in.rdbuf();
  return ss.str();
}

struct Response {
  std::string raw, statusLine, body;
  int status = 0;
  std::vector<std::pair<std::string, std::string>> headers;
  std::string Header(const std::string& name) const {
    for (auto& h : headers)
      if (strcasecmp(h.first.c_str(), name.c_str()) == 0) return h.second;
    return {};
  }
  bool Has(const std::string& name) const {
    for (auto& h : headers)
      if (strcasecmp(h.first.c_str(), name.c_str()) == 0) return true;
    return false;
  }
};

inline Response Parse(const std::string& raw) {
  Response r;
  r.raw = raw;
  const size_t end = raw.find("\r\n\r\n");
  if (raw.compare(0, 5, "HTTP/") != 0 || end == std::string::npos) {
    r.body = raw;
    return r;
  }
  std::istringstream head(raw.substr(0, end));
  std::getline(head, r.statusLine);
  if (!r.statusLine.empty() && r.statusLine.back() == '\r') r.statusLine.pop_back();
  r.status = std::atoi(r.statusLine.c_str() + 9);
  for (std::string line; std::getline(head, line);) {
    if (!line.empty() && line.back() == '\r') line.pop_back();
    const size_t colon = line.find(':');
    if (colon != std::string::npos) r.headers.push_back({line.substr(0, colon), line.substr(colon + 2)});
  }
  r.body = raw.substr(end + 4);
  return r;
}

// A raw TCP client on loopback.
class RawClient {
 public:
  RawClient(int family, uint16_t port) {
    fd_ = ::socket(family, SOCK_STREAM, 0);
    sockaddr_storage ss{};
    socklen_t len;
    if (family == AF_INET6) {
      auto* a = reinterpret_cast<sockaddr_in6*>(&ss);
      a->sin6_family = AF_INET6;
      a->sin6_port = htons(port);
      a->sin6_addr = in6addr_loopback;
      len = sizeof *a;
    } else {
      auto* a = reinterpret_cast<sockaddr_in*>(&ss);
      a->sin_family = AF_INET;
      a->sin_port = htons(port);
      a->sin_addr.s_addr = htonl(INADDR_LOOPBACK);
      len = sizeof *a;
    }
    connected_ = ::connect(fd_, reinterpret_cast<sockaddr*>(&ss), len) == 0;
  }
  ~RawClient() {
    if (fd_ >= 0) ::close(fd_);
  }
  bool connected() const { return connected_; }
  bool Send(const std::string& data) {
    size_t done = 0;
    while (done < data.size()) {
      const ssize_t n = ::send(fd_, data.data() + done, data.size() - done, MSG_NOSIGNAL);
      if (n <= 0) return false;
      done += size_t(n);
    }
    return true;
  }
  // Everything until the server closes (or the time runs out).
  std::string ReadAll(int ms = 8000) {
    std::string out;
    auto deadline = std::chrono::steady_clock::now() + std::chrono::milliseconds(ms);
    char buf[8192];
    while (std::chrono::steady_clock::now() < deadline) {
      pollfd p{fd_, POLLIN, 0};
      if (::poll(&p, 1, 50) <= 0) continue;
      const ssize_t n = ::recv(fd_, buf, sizeof buf, 0);
      if (n <= 0) break;
      out.append(buf, size_t(n));
    }
    return out;
  }
  // One response on a kept-alive connection: head plus Content-Length bytes.
  Response ReadOne(int ms = 8000) {
    auto deadline = std::chrono::steady_clock::now() + std::chrono::milliseconds(ms);
    char buf[8192];
    while (std::chrono::steady_clock::now() < deadline) {
      const size_t end = pending_.find("\r\n\r\n");
      if (end != std::string::npos) {
        Response r = Parse(pending_.substr(0, end + 4));
        const size_t need = end + 4 + size_t(std::atol(r.Header("Content-Length").c_str()));
        if (pending_.size() >= need) {
          r = Parse(pending_.substr(0, need));
          pending_.erase(0, need);
          return r;
        }
      }
      pollfd p{fd_, POLLIN, 0};
      if (::poll(&p, 1, 50) <= 0) continue;
      const ssize_t n = ::recv(fd_, buf, sizeof buf, 0);
      if (n <= 0) break;
      pending_.append(buf, size_t(n));
    }
    return Parse(pending_);
  }
  // True when the server has closed the connection (read gives end of stream).
  bool ClosedByPeer(int ms = 5000) {
    auto deadline = std::chrono::steady_clock::now() + std::chrono::milliseconds(ms);
    char buf[4096];
    while (std::chrono::steady_clock::now() < deadline) {
      pollfd p{fd_, POLLIN, 0};
      if (::poll(&p, 1, 50) <= 0) continue;
      const ssize_t n = ::recv(fd_, buf, sizeof buf, 0);
      if (n <= 0) return true;
    }
    return false;
  }

 private:
  int fd_ = -1;
  bool connected_ = false;
  std::string pending_;
};

// A started server with its own root and temporary directory.
class Server {
 public:
  explicit Server(uint32_t options = 0, int family = AF_INET, HttpServerConfig* extra = nullptr)
      : family_(family) {
    EXPECT_EQ(HttpServerAttach(nullptr, nullptr), 1);
    fs::create_directories(root());
    fs::create_directories(temp());
    HttpServerConfig config{};
    if (extra) config = *extra;
    config.size = sizeof config;
    rootText_ = root().string();
    tempText_ = temp().string();
    config.rootDirectory = rootText_.c_str();
    config.tempDirectory = tempText_.c_str();
    if (!config.hostName) config.hostName = "localhost";
    for (int attempt = 0; attempt < 5 && handle_ == uint64_t(INVALID_SOCKET); ++attempt) {
      port_ = cvpeers::FreePort(family);
      handle_ = HttpServerStart(family == AF_INET6 ? "::1" : "127.0.0.1", port_, options, &config, OnOwnerEvent,
                                reinterpret_cast<uint64_t>(&owner), nullptr);
    }
    EXPECT_NE(handle_, uint64_t(INVALID_SOCKET));
  }
  ~Server() {
    if (handle_ != uint64_t(INVALID_SOCKET)) HttpServerStop(handle_);
    HttpServerDetach();
  }
  uint64_t handle() const { return handle_; }
  void ReplaceHandle(uint64_t handle) { handle_ = handle; }  // after a restart
  uint16_t port() const { return port_; }
  fs::path root() const { return dir_.path() / "root"; }
  fs::path temp() const { return dir_.path() / "temp"; }
  fs::path dir() const { return dir_.path(); }
  fs::path Write(const std::string& name, const std::string& content) const {
    return dir_.Write("root/" + name, content);
  }
  std::string Url(const std::string& path) const {
    return std::string("http://") + (family_ == AF_INET6 ? "[::1]" : "127.0.0.1") + ":" + std::to_string(port_) +
           path;
  }
  // One request on a fresh connection, read until the server closes it.
  Response Request(const std::string& text) const {
    RawClient c(family_, port_);
    EXPECT_TRUE(c.connected());
    c.Send(text);
    return Parse(c.ReadAll());
  }
  Response Get(const std::string& path, const std::string& extra = "") const {
    return Request("GET " + path + " HTTP/1.1\r\nHost: localhost\r\n" + extra + "\r\n");
  }

  Owner owner;

 private:
  int family_;
  cvpeers::TempDir dir_;
  std::string rootText_, tempText_;
  uint64_t handle_ = uint64_t(INVALID_SOCKET);
  uint16_t port_ = 0;
};

}  // namespace httpsrvtest
