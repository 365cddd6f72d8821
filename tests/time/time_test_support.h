#pragma once
// What the time library tests share: an attached library for the test's duration, and a
// scripted datagram server on loopback for the replies a real time server never gives.
#include <arpa/inet.h>
#include <gtest/gtest.h>
#include <netinet/in.h>
#include <poll.h>
#include <sys/socket.h>
#include <stdlib.h>
#include <time.h>
#include <unistd.h>

#include <chrono>
#include <cstdint>
#include <cstring>
#include <string>
#include <thread>
#include <vector>

#include "time/time.h"

namespace timetest {

// Sets TZ for a test and restores it afterwards.
class Zone {
 public:
  explicit Zone(const char* tz) {
    if (const char* old = getenv("TZ")) old_ = old, had_ = true;
    setenv("TZ", tz, 1);
    tzset();
  }
  ~Zone() {
    if (had_) setenv("TZ", old_.c_str(), 1);
    else unsetenv("TZ");
    tzset();
  }
  Zone(const Zone&) = delete;
  Zone& operator=(const Zone&) = delete;

 private:
  std::string old_;
  bool had_ = false;
};

// United States Eastern time with its daylight-saving rule (no time-zone files needed).
inline constexpr const char* kEastern = "EST5EDT,M3.2.0,M11.1.0";

// The library attached (full attach) while the object lives.
class Attached {
 public:
  Attached() { ok_ = TimeAttach(nullptr, nullptr) == 1; }
  ~Attached() {
    if (ok_) TimeDetach();
  }
  bool ok() const { return ok_; }

 private:
  bool ok_ = false;
};

// Asks a freshly started server until it answers: before it has bound its port a query is
// refused at once, so the attempts are paced and bounded by a time rather than a count.
inline uint32_t AskUntilAnswered(const char* host, int port, int seconds = 10) {
  const time_t end = ::time(nullptr) + seconds;
  uint32_t value = 0;
  while ((value = TimeGetNetworkTime(host, port, 1)) == 0 && ::time(nullptr) < end)
    std::this_thread::sleep_for(std::chrono::milliseconds(50));
  return value;
}

// Whether the loopback address of the family can be bound here (::1 may be disabled).
inline bool LoopbackUsable(int family) {
  const int fd = socket(family, SOCK_DGRAM, 0);
  if (fd < 0) return false;
  sockaddr_in6 a6{};
  sockaddr_in a4{};
  a6.sin6_family = AF_INET6;
  a6.sin6_addr = in6addr_loopback;
  a4.sin_family = AF_INET;
  a4.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
  const bool ok = family == AF_INET ? bind(fd, reinterpret_cast<sockaddr*>(&a4), sizeof a4) == 0
                                    : bind(fd, reinterpret_cast<sockaddr*>(&a6), sizeof a6) == 0;
  close(fd);
  return ok;
}

// Four bytes of network time in wire order.
inline std::string Wire(uint32_t value) {
  const uint32_t be = htonl(value);
  return std::string(reinterpret_cast<const char*>(&be), 4);
}

// Waits for one request on a loopback port and answers it with the scripted datagrams in
// order. A datagram marked foreign is sent from another socket (another source port).
class ScriptedServer {
 public:
  struct Reply {
    std::string bytes;
    bool foreign = false;
  };

  explicit ScriptedServer(std::vector<Reply> replies, int family = AF_INET) : family_(family) {
    fd_ = socket(family, SOCK_DGRAM, 0);
    other_ = socket(family, SOCK_DGRAM, 0);
    sockaddr_storage a = Loopback(0);
    bind(fd_, reinterpret_cast<sockaddr*>(&a), Length());
    socklen_t n = sizeof a;
    getsockname(fd_, reinterpret_cast<sockaddr*>(&a), &n);
    port_ = ntohs(family == AF_INET ? reinterpret_cast<sockaddr_in&>(a).sin_port
                                    : reinterpret_cast<sockaddr_in6&>(a).sin6_port);
    thread_ = std::thread([this, replies = std::move(replies)] { Serve(replies); });
  }
  ~ScriptedServer() {
    if (thread_.joinable()) thread_.join();
    close(fd_);
    close(other_);
  }
  uint16_t port() const { return port_; }
  // The request received (empty when none came).
  std::string Request() {
    if (thread_.joinable()) thread_.join();
    return request_;
  }

 private:
  sockaddr_storage Loopback(uint16_t port) const {
    sockaddr_storage s{};
    if (family_ == AF_INET) {
      auto& in = reinterpret_cast<sockaddr_in&>(s);
      in.sin_family = AF_INET;
      in.sin_port = htons(port);
      in.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
    } else {
      auto& in6 = reinterpret_cast<sockaddr_in6&>(s);
      in6.sin6_family = AF_INET6;
      in6.sin6_port = htons(port);
      in6.sin6_addr = in6addr_loopback;
    }
    return s;
  }
  socklen_t Length() const { return family_ == AF_INET ? sizeof(sockaddr_in) : sizeof(sockaddr_in6); }

  void Serve(const std::vector<Reply>& replies) {
    pollfd p{fd_, POLLIN, 0};
    if (poll(&p, 1, 10000) != 1) return;
    char buffer[64];
    sockaddr_storage client{};
    socklen_t n = sizeof client;
    const ssize_t got = recvfrom(fd_, buffer, sizeof buffer, 0, reinterpret_cast<sockaddr*>(&client), &n);
    if (got > 0) request_.assign(buffer, size_t(got));
    for (const Reply& r : replies)
      sendto(r.foreign ? other_ : fd_, r.bytes.data(), r.bytes.size(), 0, reinterpret_cast<sockaddr*>(&client), n);
  }

  int family_;
  int fd_ = -1;
  int other_ = -1;
  uint16_t port_ = 0;
  std::string request_;
  std::thread thread_;
};

}  // namespace timetest
