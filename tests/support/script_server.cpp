#include "support/script_server.h"

#include <arpa/inet.h>
#include <netinet/in.h>
#include <poll.h>
#include <sys/socket.h>
#include <unistd.h>

#include <cstring>

namespace cvtest {

namespace {

int Listen(int family, int* port_out, const char* address = nullptr, int port = 0) {
  int fd = ::socket(family, SOCK_STREAM | SOCK_CLOEXEC, 0);
  if (fd < 0) return -1;
  int one = 1;
  ::setsockopt(fd, SOL_SOCKET, SO_REUSEADDR, &one, sizeof one);
  sockaddr_storage ss{};
  socklen_t len;
  if (family == AF_INET) {
    auto* sin = reinterpret_cast<sockaddr_in*>(&ss);
    sin->sin_family = AF_INET;
    sin->sin_addr.s_addr = htonl(INADDR_LOOPBACK);
    if (address) ::inet_pton(AF_INET, address, &sin->sin_addr);
    sin->sin_port = htons(uint16_t(port));
    len = sizeof(sockaddr_in);
  } else {
    auto* sin6 = reinterpret_cast<sockaddr_in6*>(&ss);
    sin6->sin6_family = AF_INET6;
    sin6->sin6_addr = in6addr_loopback;
    if (address) ::inet_pton(AF_INET6, address, &sin6->sin6_addr);
    sin6->sin6_port = htons(uint16_t(port));
    len = sizeof(sockaddr_in6);
  }
  if (::bind(fd, reinterpret_cast<sockaddr*>(&ss), len) != 0 || ::listen(fd, 8) != 0) {
    ::close(fd);
    return -1;
  }
  ::getsockname(fd, reinterpret_cast<sockaddr*>(&ss), &len);
  *port_out = ntohs(family == AF_INET ? reinterpret_cast<sockaddr_in*>(&ss)->sin_port
                                      : reinterpret_cast<sockaddr_in6*>(&ss)->sin6_port);
  return fd;
}

bool WaitReadable(int fd, std::chrono::milliseconds limit) {
  pollfd p{fd, POLLIN, 0};
  return ::poll(&p, 1, int(limit.count())) > 0;
}

}  // namespace

ScriptServer::ScriptServer(int family)
    : family_(family == 2 ? AF_INET : AF_INET6), address_(family_ == AF_INET ? "127.0.0.1" : "::1") {
  listener_ = Listen(family_, &port_);
}

ScriptServer::ScriptServer(const std::string& address, int port)
    : family_(address.find(':') == std::string::npos ? AF_INET : AF_INET6), address_(address) {
  listener_ = Listen(family_, &port_, address.c_str(), port);
  if (listener_ < 0) port_ = 0;
}

ScriptServer::~ScriptServer() {
  {
    // Under the lock: the script thread may be closing this descriptor or taking a new one,
    // and a closed number can be reused at once by another thread of the test.
    std::lock_guard lock(clientMu_);
    done_ = true;
    if (client_ >= 0) ::shutdown(client_, SHUT_RDWR);
  }
  if (listener_ >= 0) ::shutdown(listener_, SHUT_RDWR);
  if (thread_.joinable()) thread_.join();
  if (client_ >= 0) ::close(client_);
  if (listener_ >= 0) ::close(listener_);
}

ScriptServer& ScriptServer::Expect(std::string line) {
  steps_.push_back({Step::Kind::Expect, std::move(line), {}, 1, {}});
  return *this;
}
ScriptServer& ScriptServer::ExpectPrefix(std::string prefix) {
  steps_.push_back({Step::Kind::ExpectPrefix, std::move(prefix), {}, 1, {}});
  return *this;
}
ScriptServer& ScriptServer::Send(std::string bytes) {
  steps_.push_back({Step::Kind::Send, std::move(bytes), {}, 1, {}});
  return *this;
}
ScriptServer& ScriptServer::SendPieces(std::string bytes, size_t piece, std::chrono::milliseconds pause) {
  steps_.push_back({Step::Kind::SendPieces, std::move(bytes), pause, piece ? piece : 1, {}});
  return *this;
}
ScriptServer& ScriptServer::Sleep(std::chrono::milliseconds ms) {
  steps_.push_back({Step::Kind::Sleep, {}, ms, 1, {}});
  return *this;
}
ScriptServer& ScriptServer::Drop() {
  steps_.push_back({Step::Kind::Drop, {}, {}, 1, {}});
  return *this;
}
ScriptServer& ScriptServer::Close() {
  steps_.push_back({Step::Kind::Close, {}, {}, 1, {}});
  return *this;
}
ScriptServer& ScriptServer::Accept() {
  steps_.push_back({Step::Kind::Accept, {}, {}, 1, {}});
  return *this;
}
ScriptServer& ScriptServer::Call(std::function<void(ScriptServer&)> fn) {
  Step s{Step::Kind::Call, {}, {}, 1, {}};
  s.call = std::move(fn);
  steps_.push_back(std::move(s));
  return *this;
}

ScriptServer& ScriptServer::Trickle(std::string bytes, std::chrono::milliseconds pause) {
  steps_.push_back({Step::Kind::Trickle, std::move(bytes), pause, 1, {}});
  return *this;
}

ScriptServer& ScriptServer::Silence(std::chrono::milliseconds limit) {
  steps_.push_back({Step::Kind::Silence, {}, limit, 1, {}});
  return *this;
}

void ScriptServer::Start() { thread_ = std::thread([this] { Run(); }); }

bool ScriptServer::Finish(std::chrono::milliseconds limit) {
  auto end = std::chrono::steady_clock::now() + limit;
  while (!done_ && std::chrono::steady_clock::now() < end) std::this_thread::sleep_for(std::chrono::milliseconds(5));
  if (!done_) Fail("script did not finish in time");
  std::lock_guard lock(mu_);
  return failure_.empty();
}

std::vector<std::string> ScriptServer::received() const {
  std::lock_guard lock(mu_);
  return received_;
}

std::string ScriptServer::failure() const {
  std::lock_guard lock(mu_);
  return failure_;
}

void ScriptServer::Fail(std::string why) {
  std::lock_guard lock(mu_);
  if (failure_.empty()) failure_ = std::move(why);
}

int ScriptServer::OpenListener(int* port_out) { return Listen(family_, port_out); }

int ScriptServer::AcceptOne(int listener, std::chrono::milliseconds limit) {
  if (!WaitReadable(listener, limit)) return -1;
  return ::accept4(listener, nullptr, nullptr, SOCK_CLOEXEC);
}

bool ScriptServer::ReadLine(std::string& line, std::chrono::milliseconds limit) {
  auto end = std::chrono::steady_clock::now() + limit;
  for (;;) {
    size_t nl = pending_.find('\n');
    if (nl != std::string::npos) {
      line = pending_.substr(0, nl);
      if (!line.empty() && line.back() == '\r') line.pop_back();
      pending_.erase(0, nl + 1);
      return true;
    }
    auto left = std::chrono::duration_cast<std::chrono::milliseconds>(end - std::chrono::steady_clock::now());
    if (left.count() <= 0 || !WaitReadable(client_, left)) return false;
    char buf[4096];
    ssize_t n = ::recv(client_, buf, sizeof buf, 0);
    if (n <= 0) return false;
    pending_.append(buf, size_t(n));
  }
}

bool ScriptServer::TrySend(const std::string& bytes) {
  size_t off = 0;
  while (off < bytes.size()) {
    ssize_t n = ::send(client_, bytes.data() + off, bytes.size() - off, MSG_NOSIGNAL);
    if (n <= 0) return false;
    off += size_t(n);
  }
  return true;
}

void ScriptServer::SendRaw(const std::string& bytes) {
  size_t off = 0;
  while (off < bytes.size()) {
    ssize_t n = ::send(client_, bytes.data() + off, bytes.size() - off, MSG_NOSIGNAL);
    if (n <= 0) return;
    off += size_t(n);
  }
}

bool ScriptServer::TakeClient() {
  const int fd = AcceptOne(listener_, std::chrono::seconds(10));
  std::lock_guard lock(clientMu_);
  if (fd >= 0 && done_) {
    ::close(fd);
    return false;
  }
  client_ = fd;
  return fd >= 0;
}

void ScriptServer::CloseClient() {
  std::lock_guard lock(clientMu_);
  ::close(client_);
  client_ = -1;
}

void ScriptServer::Run() {
  if (!TakeClient()) {
    Fail("no client connected");
    done_ = true;
    return;
  }
  for (auto& step : steps_) {
    if (done_) break;
    switch (step.kind) {
      case Step::Kind::Expect:
      case Step::Kind::ExpectPrefix: {
        std::string line;
        if (!ReadLine(line, std::chrono::seconds(10))) {
          Fail("connection ended or stalled while expecting \"" + step.text + "\"");
          done_ = true;
          return;
        }
        {
          std::lock_guard lock(mu_);
          received_.push_back(line);
        }
        bool ok = step.kind == Step::Kind::Expect ? line == step.text : line.rfind(step.text, 0) == 0;
        if (!ok) Fail("expected \"" + step.text + "\", got \"" + line + "\"");
        break;
      }
      case Step::Kind::Send:
        SendRaw(step.text);
        break;
      case Step::Kind::SendPieces:
        for (size_t off = 0; off < step.text.size(); off += step.piece) {
          SendRaw(step.text.substr(off, step.piece));
          std::this_thread::sleep_for(step.delay);
        }
        break;
      case Step::Kind::Sleep:
        std::this_thread::sleep_for(step.delay);
        break;
      case Step::Kind::Drop: {
        linger lg{1, 0};  // a reset, not an orderly close
        ::setsockopt(client_, SOL_SOCKET, SO_LINGER, &lg, sizeof lg);
        CloseClient();
        done_ = true;
        return;
      }
      case Step::Kind::Close:
        ::shutdown(client_, SHUT_WR);
        break;
      case Step::Kind::Accept:
        CloseClient();
        pending_.clear();
        if (!TakeClient()) {
          Fail("no second client connected");
          done_ = true;
          return;
        }
        break;
      case Step::Kind::Call:
        step.call(*this);
        break;
      case Step::Kind::Trickle: {
        // Bounded all the same: a test that forgets its client must not hang.
        const auto end = std::chrono::steady_clock::now() + std::chrono::seconds(60);
        while (!done_ && std::chrono::steady_clock::now() < end && TrySend(step.text))
          std::this_thread::sleep_for(step.delay);
        break;
      }
      case Step::Kind::Silence: {
        // Short polls, so that the server's destruction ends it at once.
        const auto end = std::chrono::steady_clock::now() + step.delay;
        char scratch[4096];
        while (!done_ && std::chrono::steady_clock::now() < end) {
          if (!WaitReadable(client_, std::chrono::milliseconds(50))) continue;
          if (::recv(client_, scratch, sizeof scratch, 0) <= 0) break;
        }
        break;
      }
    }
  }
  // The script is the whole conversation: end it with an orderly close.
  if (client_ >= 0) ::shutdown(client_, SHUT_WR);
  done_ = true;
}

}  // namespace cvtest
