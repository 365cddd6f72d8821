#pragma once
// Helpers of the FTP server tests: a started server in a private root per test, the
// owner events it reported, and a raw control-connection client with passive and active
// data connections.
#include <arpa/inet.h>
#include <netinet/in.h>
#include <poll.h>
#include <sys/socket.h>
#include <unistd.h>

#include <atomic>
#include <cerrno>
#include <chrono>
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

#include "ftpsrv/ftpsrv.h"
#include "peers/peer.h"
#include "sockets/inet.h"
#include "support/owner_hook.h"

namespace ftpsrvtest {

namespace fs = std::filesystem;

struct Event {
  uint32_t clientId;
  uint32_t event;
  uint32_t error;
};

using Hook = cvtest::OwnerHook;

// What the owner callback saw; a hook may act inside the event (on the client thread).
struct Owner {
  std::mutex lock;
  std::vector<Event> events;
  Hook hook;

  std::vector<uint32_t> Codes() {
    std::lock_guard lk(lock);
    std::vector<uint32_t> out;
    for (const Event& e : events) out.push_back(e.event);
    return out;
  }
  int Count(uint32_t event) {
    std::lock_guard lk(lock);
    int n = 0;
    for (const Event& e : events) n += e.event == event;
    return n;
  }
};

inline int32_t OnOwnerEvent(uint64_t server, uint32_t clientId, uint16_t event, uint16_t error, uint64_t context) {
  auto* owner = reinterpret_cast<Owner*>(context);
  {
    std::lock_guard lk(owner->lock);
    owner->events.push_back({clientId, event, error});
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

inline std::string ReadFile(const fs::path& p) {
  std::ifstream in(p, std::ios::binary);
  std::stringstream ss;
  ss << in.rdbuf();
  return ss.str();
}

inline void WriteFile(const fs::path& p, const std::string& data) {
  fs::create_directories(p.parent_path());
  std::ofstream(p, std::ios::binary) << data;
}

// A blocking TCP client socket to the loopback address of the family.
inline int ConnectTo(uint32_t port, int family = AF_INET) {
  int fd = ::socket(family, SOCK_STREAM | SOCK_CLOEXEC, 0);
  if (fd < 0) return -1;
  sockaddr_storage ss{};
  socklen_t length;
  if (family == AF_INET) {
    auto* in = reinterpret_cast<sockaddr_in*>(&ss);
    in->sin_family = AF_INET;
    in->sin_port = htons(uint16_t(port));
    in->sin_addr.s_addr = htonl(INADDR_LOOPBACK);
    length = sizeof *in;
  } else {
    auto* in6 = reinterpret_cast<sockaddr_in6*>(&ss);
    in6->sin6_family = AF_INET6;
    in6->sin6_port = htons(uint16_t(port));
    in6->sin6_addr = in6addr_loopback;
    length = sizeof *in6;
  }
  timeval tv{10, 0};
  ::setsockopt(fd, SOL_SOCKET, SO_RCVTIMEO, &tv, sizeof tv);
  if (::connect(fd, reinterpret_cast<sockaddr*>(&ss), length) != 0) {
    ::close(fd);
    return -1;
  }
  return fd;
}

inline void SendAll(int fd, const std::string& data) {
  size_t sent = 0;
  while (sent < data.size()) {
    ssize_t n = ::send(fd, data.data() + sent, data.size() - sent, MSG_NOSIGNAL);
    if (n <= 0) return;
    sent += size_t(n);
  }
}

inline std::string RecvAll(int fd) {
  std::string out;
  char buf[8192];
  ssize_t n;
  while ((n = ::recv(fd, buf, sizeof buf, 0)) > 0 || (n < 0 && errno == EINTR))
    if (n > 0) out.append(buf, size_t(n));
  return out;
}

// A raw control connection.
class Control {
 public:
  Control() = default;
  ~Control() { Close(); }
  Control(const Control&) = delete;
  Control& operator=(const Control&) = delete;

  bool Connect(uint32_t port, int family = AF_INET) {
    family_ = family;
    fd_ = ConnectTo(port, family);
    return fd_ >= 0;
  }
  void Close() {
    if (fd_ >= 0) ::close(fd_);
    fd_ = -1;
  }
  int fd() const { return fd_; }

  // One line without CR LF; "" when the connection ended.
  std::string Line() {
    for (;;) {
      size_t lf = buffer_.find('\n');
      if (lf != std::string::npos) {
        std::string line = buffer_.substr(0, lf);
        buffer_.erase(0, lf + 1);
        if (!line.empty() && line.back() == '\r') line.pop_back();
        return line;
      }
      char buf[4096];
      ssize_t n;
      do n = ::recv(fd_, buf, sizeof buf, 0);
      while (n < 0 && errno == EINTR);  // a child's exit signal may interrupt the wait
      if (n <= 0) {
        std::string rest;
        rest.swap(buffer_);
        return rest;
      }
      buffer_.append(buf, size_t(n));
    }
  }

  // A whole reply (multi-line ones joined with "\n"); its code, 0 when none came.
  int Reply(std::string* text = nullptr) {
    std::string first = Line();
    if (text) *text = first;
    if (first.size() < 4) return 0;
    const int code = std::atoi(first.substr(0, 3).c_str());
    if (first[3] == '-') {
      const std::string end = first.substr(0, 3) + " ";
      for (;;) {
        std::string line = Line();
        if (text) *text += "\n" + line;
        if (line.empty() && !Open()) break;
        if (line.rfind(end, 0) == 0) break;
      }
    }
    return code;
  }

  void Send(const std::string& line) { SendAll(fd_, line + "\r\n"); }

  int Cmd(const std::string& line, std::string* text = nullptr) {
    Send(line);
    return Reply(text);
  }

  bool Open() {
    pollfd p{fd_, POLLIN, 0};
    if (::poll(&p, 1, 0) <= 0) return true;
    char c;
    return ::recv(fd_, &c, 1, MSG_PEEK) > 0;
  }

  // True when the server closed the connection within ms.
  bool ClosedByPeer(int ms = 5000) {
    auto deadline = std::chrono::steady_clock::now() + std::chrono::milliseconds(ms);
    while (std::chrono::steady_clock::now() < deadline) {
      pollfd p{fd_, POLLIN, 0};
      if (::poll(&p, 1, 50) > 0) {
        char buf[512];
        ssize_t n = ::recv(fd_, buf, sizeof buf, 0);
        if (n <= 0) return true;
      }
    }
    return false;
  }

  bool Login(const std::string& user, const std::string& password) {
    if (Cmd("USER " + user) != 331) return false;
    return Cmd("PASS " + password) == 230;
  }

  // A passive data connection (PASV, or EPSV when the control runs over IPv6); -1 when
  // the server refused.
  int Passive() {
    std::string text;
    if (family_ == AF_INET6 || useEpsv) {
      if (Cmd("EPSV", &text) != 229) return -1;
      const size_t bar = text.find("|||");
      return ConnectTo(uint32_t(std::atoi(text.c_str() + bar + 3)), family_);
    }
    if (Cmd("PASV", &text) != 227) return -1;
    int v[6] = {};
    const size_t open = text.find('(');
    std::sscanf(text.c_str() + open + 1, "%d,%d,%d,%d,%d,%d", &v[0], &v[1], &v[2], &v[3], &v[4], &v[5]);
    return ConnectTo(uint32_t(v[4] * 256 + v[5]), family_);
  }

  // Runs a data command over a passive connection, sending `upload` or reading what
  // comes into `download`; the final reply's code (the first one when it is not 150).
  int DataCommand(const std::string& command, const std::string* upload, std::string* download,
                  std::string* text) {
    const int d = Passive();
    if (d < 0) return -1;
    Send(command);
    std::string first;
    const int preliminary = Reply(&first);
    if (preliminary == 150) {
      if (upload) SendAll(d, *upload);
      if (download) *download = RecvAll(d);
    }
    ::close(d);
    if (preliminary != 150) {
      if (text) *text = first;
      return preliminary;
    }
    return Reply(text);
  }
  int Download(const std::string& command, std::string* data, std::string* text = nullptr) {
    return DataCommand(command, nullptr, data, text);
  }
  int Upload(const std::string& command, const std::string& data, std::string* text = nullptr) {
    return DataCommand(command, &data, nullptr, text);
  }

  bool useEpsv = false;

 private:
  int fd_ = -1;
  int family_ = AF_INET;
  std::string buffer_;
};

// A test with the library attached, a private root and a server started on demand.
class ServerTest : public ::testing::Test {
 protected:
  void SetUp() override {
    ASSERT_EQ(FtpServerAttach(nullptr, nullptr), 1);
    root = tmp.path() / "root";
    fs::create_directories(root);
    rootText = root.string();
  }
  void TearDown() override {
    if (server != uint64_t(INVALID_SOCKET)) FtpServerStop(server);
    owner.hook = nullptr;
    FtpServerDetach();
  }

  FtpServerConfig Config() {
    FtpServerConfig c{};
    c.size = sizeof c;
    c.rootDirectory = rootText.c_str();
    c.authTime = 300;
    return c;
  }

  // Starts on a free loopback port; the handle (also kept in `server`).
  uint64_t Start(uint32_t options = 0, FtpServerConfig* config = nullptr, const char* address = "127.0.0.1",
                 SecCredentials* credentials = nullptr) {
    FtpServerConfig c = Config();
    if (!config) config = &c;
    const int family = address && std::strchr(address, ':') ? AF_INET6 : AF_INET;
    for (int attempt = 0; attempt < 5; ++attempt) {
      port = cvpeers::FreePort(family);
      server = FtpServerStart(address, port, options, config, OnOwnerEvent, reinterpret_cast<uint64_t>(&owner),
                              credentials);
      if (server != uint64_t(INVALID_SOCKET)) return server;
    }
    return server;
  }

  // Starts a server with user "alice" (password "secret", full rights) and logs a
  // control connection in.
  bool StartAndLogin(Control& c, uint32_t options = 0, uint32_t rights = ftpAccessAll | ftpAccessExecute) {
    if (Start(options) == uint64_t(INVALID_SOCKET)) return false;
    if (!FtpServerAddUser(server, rights, "alice", "secret", nullptr)) return false;
    if (!c.Connect(port) || c.Reply() != 220) return false;
    return c.Login("alice", "secret");
  }

  cvpeers::TempDir tmp;
  fs::path root;
  std::string rootText;
  uint64_t server = uint64_t(INVALID_SOCKET);
  uint32_t port = 0;
  Owner owner;
};

}  // namespace ftpsrvtest
