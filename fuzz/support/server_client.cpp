#include "server_client.h"

#include <poll.h>
#include <sys/random.h>
#include <sys/socket.h>
#include <unistd.h>

#include <cerrno>

#include "loopback.h"

namespace cvfuzz {

int StartOnFreePort(const std::function<bool(int port)>& start) {
  for (int attempt = 0; attempt < 20; ++attempt) {
    // A port that was free a moment ago; another process may take it first.
    const int fd = ::socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0);
    sockaddr_in a = Loopback(0);
    socklen_t n = sizeof a;
    int port = 0;
    if (::bind(fd, reinterpret_cast<sockaddr*>(&a), sizeof a) == 0 &&
        ::getsockname(fd, reinterpret_cast<sockaddr*>(&a), &n) == 0)
      port = ntohs(a.sin_port);
    ::close(fd);
    if (port && start(port)) return port;
  }
  return 0;
}

std::string Converse(int port, std::string_view bytes, std::chrono::milliseconds limit,
                     const std::function<void(const std::string& answer)>& onData) {
  std::string answer;
  const int fd = ::socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0);
  sockaddr_in a = Loopback(port);
  if (::connect(fd, reinterpret_cast<sockaddr*>(&a), sizeof a) != 0) {
    ::close(fd);
    return answer;
  }
  const auto end = std::chrono::steady_clock::now() + limit;
  size_t sent = 0;
  bool shut = false;
  for (;;) {
    const auto left = std::chrono::duration_cast<std::chrono::milliseconds>(end - std::chrono::steady_clock::now());
    if (left.count() <= 0) break;
    // Sending and reading side by side: a server that answers as it reads must not stall
    // on a client that only sends.
    pollfd p{fd, short(POLLIN | (shut ? 0 : POLLOUT)), 0};
    if (::poll(&p, 1, int(left.count())) <= 0) break;
    if (p.revents & POLLOUT) {
      const ssize_t n = ::send(fd, bytes.data() + sent, bytes.size() - sent, MSG_NOSIGNAL | MSG_DONTWAIT);
      if (n > 0) sent += size_t(n);
      if (n < 0 && errno != EAGAIN) sent = bytes.size();
      if (sent == bytes.size()) {
        ::shutdown(fd, SHUT_WR);
        shut = true;
      }
    }
    if (p.revents & (POLLIN | POLLHUP | POLLERR)) {
      char buffer[8192];
      const ssize_t n = ::recv(fd, buffer, sizeof buffer, MSG_DONTWAIT);
      if (n == 0 || (n < 0 && errno != EAGAIN)) break;
      if (n > 0) {
        answer.append(buffer, size_t(n));
        if (onData) onData(answer);
      }
    }
  }
  ::close(fd);
  return answer;
}

bool Contains(std::string_view haystack, std::string_view needle) {
  if (needle.empty()) return true;
  for (size_t i = 0; i + needle.size() <= haystack.size(); ++i) {
    size_t k = 0;
    while (k < needle.size() && haystack[i + k] == needle[k]) ++k;
    if (k == needle.size()) return true;
  }
  return false;
}

std::string RandomMark(const char* prefix) {
  unsigned char bytes[16] = {};
  (void)!::getrandom(bytes, sizeof bytes, 0);
  static const char kHex[] = "0123456789abcdef";
  std::string mark(prefix);
  for (unsigned char b : bytes) {
    mark += kHex[b >> 4];
    mark += kHex[b & 15];
  }
  return mark;
}

}  // namespace cvfuzz
