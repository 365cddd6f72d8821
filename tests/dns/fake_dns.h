#pragma once
// A scripted name server on 127.0.0.1 (UDP and TCP on one port) for answers no real server
// gives: wrong identifiers, strangers, stalls, broken names and lengths.
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
#include <utility>
#include <vector>

namespace dnstest {

using Bytes = std::vector<uint8_t>;

struct Mx {
  uint16_t preference;
  std::string host;
};

inline void Put16(Bytes& b, uint32_t v) {
  b.push_back(uint8_t(v >> 8));
  b.push_back(uint8_t(v));
}

inline void PutName(Bytes& b, const std::string& name) {
  size_t start = 0;
  while (start < name.size()) {
    size_t dot = name.find('.', start);
    if (dot == std::string::npos) dot = name.size();
    b.push_back(uint8_t(dot - start));
    b.insert(b.end(), name.begin() + long(start), name.begin() + long(dot));
    start = dot + 1;
  }
  b.push_back(0);
}

// The question name of a query, dotted.
inline std::string QuestionName(const Bytes& q) {
  std::string name;
  for (size_t p = 12; p < q.size() && q[p]; p += 1 + q[p]) {
    if (!name.empty()) name += '.';
    name.append(q.begin() + long(p) + 1, q.begin() + long(p) + 1 + q[p]);
  }
  return name;
}

inline uint16_t IdOf(const Bytes& m) { return uint16_t(m[0] << 8 | m[1]); }

// The header and question of an answer to q (the answer count as given).
inline Bytes AnswerHead(const Bytes& q, uint8_t rcode, uint16_t answers, bool truncated = false) {
  Bytes b(q.begin(), q.begin() + 2);
  b.push_back(uint8_t(0x81 | (truncated ? 0x02 : 0)));
  b.push_back(uint8_t(0x80 | rcode));
  Put16(b, 1);
  Put16(b, answers);
  Put16(b, 0);
  Put16(b, 0);
  b.insert(b.end(), q.begin() + 12, q.end());
  return b;
}

// One record owned by the question's name (a pointer to offset 12).
inline void PutRecord(Bytes& b, uint16_t type, const Bytes& data) {
  Put16(b, 0xC00C);
  Put16(b, type);
  Put16(b, 1);
  Put16(b, 0);
  Put16(b, 300);
  Put16(b, uint32_t(data.size()));
  b.insert(b.end(), data.begin(), data.end());
}

inline Bytes MxData(const Mx& mx) {
  Bytes d;
  Put16(d, mx.preference);
  PutName(d, mx.host);
  return d;
}

inline Bytes MxAnswer(const Bytes& q, const std::vector<Mx>& records, bool truncated = false) {
  Bytes b = AnswerHead(q, 0, uint16_t(records.size()), truncated);
  for (const Mx& mx : records) PutRecord(b, 15, MxData(mx));
  return b;
}

class FakeDns {
 public:
  struct Reply {
    Bytes data;
    bool fromStranger = false;  // sent from another port of 127.0.0.1
  };
  using UdpHandler = std::function<std::vector<Reply>(const Bytes& query)>;
  // Returns the bytes written back, length prefix included (empty: just close).
  using TcpHandler = std::function<Bytes(const Bytes& query)>;

  explicit FakeDns(UdpHandler udp, TcpHandler tcp = {}) : udp_(std::move(udp)), tcp_(std::move(tcp)) {
    sockaddr_in a{};
    a.sin_family = AF_INET;
    a.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
    listener_ = ::socket(AF_INET, SOCK_STREAM, 0);
    ::bind(listener_, reinterpret_cast<sockaddr*>(&a), sizeof a);
    socklen_t len = sizeof a;
    ::getsockname(listener_, reinterpret_cast<sockaddr*>(&a), &len);
    ::listen(listener_, 8);
    port_ = ntohs(a.sin_port);
    udpSocket_ = ::socket(AF_INET, SOCK_DGRAM, 0);
    ::bind(udpSocket_, reinterpret_cast<sockaddr*>(&a), sizeof a);
    a.sin_port = 0;
    stranger_ = ::socket(AF_INET, SOCK_DGRAM, 0);
    ::bind(stranger_, reinterpret_cast<sockaddr*>(&a), sizeof a);
    ::pipe(stop_);
    thread_ = std::thread([this] { Run(); });
  }

  ~FakeDns() {
    ::write(stop_[1], "x", 1);
    thread_.join();
    for (int fd : {listener_, udpSocket_, stranger_, stop_[0], stop_[1]}) ::close(fd);
  }

  uint16_t port() const { return port_; }
  std::vector<Bytes> udpQueries() {
    std::lock_guard lk(lock_);
    return udpQueries_;
  }
  std::vector<Bytes> tcpQueries() {
    std::lock_guard lk(lock_);
    return tcpQueries_;
  }

 private:
  void Run() {
    for (;;) {
      pollfd p[3] = {{stop_[0], POLLIN, 0}, {udpSocket_, POLLIN, 0}, {listener_, POLLIN, 0}};
      if (::poll(p, 3, -1) < 0) continue;
      if (p[0].revents) return;
      if (p[1].revents) ServeUdp();
      if (p[2].revents) ServeTcp();
    }
  }

  void ServeUdp() {
    uint8_t buffer[2048];
    sockaddr_in from{};
    socklen_t len = sizeof from;
    ssize_t n = ::recvfrom(udpSocket_, buffer, sizeof buffer, 0, reinterpret_cast<sockaddr*>(&from), &len);
    if (n <= 0) return;
    Bytes q(buffer, buffer + n);
    {
      std::lock_guard lk(lock_);
      udpQueries_.push_back(q);
    }
    for (const Reply& r : udp_(q))
      ::sendto(r.fromStranger ? stranger_ : udpSocket_, r.data.data(), r.data.size(), 0,
               reinterpret_cast<sockaddr*>(&from), len);
  }

  static bool ReadFully(int fd, uint8_t* into, size_t size) {
    for (size_t got = 0; got < size;) {
      pollfd p{fd, POLLIN, 0};
      if (::poll(&p, 1, 5000) <= 0) return false;
      ssize_t n = ::recv(fd, into + got, size - got, 0);
      if (n <= 0) return false;
      got += size_t(n);
    }
    return true;
  }

  void ServeTcp() {
    int fd = ::accept(listener_, nullptr, nullptr);
    if (fd < 0) return;
    uint8_t prefix[2];
    if (ReadFully(fd, prefix, 2)) {
      Bytes q(size_t(prefix[0] << 8 | prefix[1]));
      if (ReadFully(fd, q.data(), q.size())) {
        {
          std::lock_guard lk(lock_);
          tcpQueries_.push_back(q);
        }
        Bytes out = tcp_ ? tcp_(q) : Bytes{};
        for (size_t sent = 0; sent < out.size();) {
          ssize_t n = ::send(fd, out.data() + sent, out.size() - sent, MSG_NOSIGNAL);
          if (n <= 0) break;
          sent += size_t(n);
        }
      }
    }
    ::close(fd);
  }

  UdpHandler udp_;
  TcpHandler tcp_;
  int listener_ = -1, udpSocket_ = -1, stranger_ = -1;
  int stop_[2] = {-1, -1};
  uint16_t port_ = 0;
  std::mutex lock_;
  std::vector<Bytes> udpQueries_, tcpQueries_;
  std::thread thread_;
};

// A TCP answer: the length prefix as announced, then the message.
inline Bytes WithPrefix(const Bytes& m, uint32_t announced) {
  Bytes b;
  Put16(b, announced);
  b.insert(b.end(), m.begin(), m.end());
  return b;
}

}  // namespace dnstest
