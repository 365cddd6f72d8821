#pragma once
// Helpers of the socket library tests: an attached library per test, plain POSIX client
// sockets on loopback, and a connected pair of (accepted handle, raw client).
#include <arpa/inet.h>
#include <netinet/in.h>
#include <netinet/tcp.h>
#include <poll.h>
#include <sys/socket.h>
#include <unistd.h>

#include <chrono>
#include <string>
#include <thread>

#include <gtest/gtest.h>

#include "sockets/inet.h"
#include "sockets/server/server.h"

namespace socktest {

class Attached : public ::testing::Test {
 protected:
  void SetUp() override { ASSERT_EQ(InetAttach(nullptr, nullptr), 1); }
  void TearDown() override { InetDetach(); }
};

// A blocking client connected to the loopback address of the family; -1 on failure.
inline int ConnectRaw(uint32_t port, int family = AF_INET) {
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
  if (::connect(fd, reinterpret_cast<sockaddr*>(&ss), length) != 0) {
    ::close(fd);
    return -1;
  }
  return fd;
}

inline void SendRaw(int fd, const std::string& data) {
  size_t sent = 0;
  while (sent < data.size()) {
    ssize_t n = ::send(fd, data.data() + sent, data.size() - sent, MSG_NOSIGNAL);
    if (n <= 0) return;
    sent += size_t(n);
  }
}

// Reads until `count` bytes arrived, the peer closed, or ms passed.
inline std::string RecvRaw(int fd, size_t count, int ms = 5000) {
  std::string out;
  auto deadline = std::chrono::steady_clock::now() + std::chrono::milliseconds(ms);
  while (out.size() < count) {
    int left = int(std::chrono::duration_cast<std::chrono::milliseconds>(deadline - std::chrono::steady_clock::now())
                       .count());
    if (left <= 0) break;
    pollfd p{fd, POLLIN, 0};
    if (::poll(&p, 1, left) <= 0) break;
    char buf[4096];
    ssize_t n = ::recv(fd, buf, sizeof buf, 0);
    if (n <= 0) break;
    out.append(buf, size_t(n));
  }
  return out;
}

// True when the peer closed (EOF or reset) within ms.
// Generous by default: a loaded machine may take seconds to get to a closing connection.
inline bool PeerClosed(int fd, int ms = 20000) {
  pollfd p{fd, POLLIN, 0};
  if (::poll(&p, 1, ms) <= 0) return false;
  char c;
  return ::recv(fd, &c, 1, MSG_PEEK) <= 0;
}

inline uint32_t LocalPort(SOCKET listening) {
  InetSocketRecord* r = InetLookupHandleAnyThread(listening);
  return r ? r->localPort : 0;
}

// A listening handle on 127.0.0.1, a raw client and the accepted handle.
struct Pair {
  SOCKET listening = INVALID_SOCKET;
  SOCKET accepted = INVALID_SOCKET;
  int client = -1;

  bool Open(uint32_t acceptTimeout = 5, uint32_t options = 0) {
    listening = InetListen("127.0.0.1", 0, 5, 0);
    if (listening == INVALID_SOCKET) return false;
    client = ConnectRaw(LocalPort(listening));
    if (client < 0) return false;
    accepted = InetAccept(listening, acceptTimeout, options, nullptr);
    return accepted != INVALID_SOCKET;
  }
  ~Pair() {
    if (client >= 0) ::close(client);
    InetReleaseHandle(accepted);
    InetReleaseHandle(listening);
  }
};

// Polls cond every 10 ms for up to ms; its last value.
template <typename F>
bool Eventually(F cond, int ms = 5000) {
  auto deadline = std::chrono::steady_clock::now() + std::chrono::milliseconds(ms);
  while (!cond()) {
    if (std::chrono::steady_clock::now() > deadline) return cond();
    std::this_thread::sleep_for(std::chrono::milliseconds(10));
  }
  return true;
}

}  // namespace socktest
