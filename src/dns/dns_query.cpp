// Building an MX query and exchanging it with the resolver's name servers: UDP first, TCP
// when the answer is truncated or the query too long for a datagram.
#include <arpa/inet.h>
#include <sys/random.h>

#include <chrono>
#include <cstring>
#include <random>

#include "core/sock/sock.h"
#include "dns/dns.h"
#include "dns/dns_library.h"
#include "mail/sock/mailsock.h"
#include "platform/net/socket_api.h"
#include "platform/net/wsa_errors.h"

namespace cvdns {

namespace {

using Clock = std::chrono::steady_clock;

constexpr int32_t kHeaderSize = 12;
constexpr int32_t kMaxUdpQuery = 512;
constexpr int32_t kMaxQueryName = 1008;
constexpr uint16_t kTypeMx = 15;
constexpr uint16_t kClassIn = 1;
constexpr uint8_t kFlagRecursionDesired = 0x01;
constexpr uint8_t kFlagTruncated = 0x02;

uint16_t IdOf(const uint8_t* message) { return uint16_t(message[0] << 8 | message[1]); }

void PutId(uint8_t* message, uint16_t id) {
  message[0] = uint8_t(id >> 8);
  message[1] = uint8_t(id);
}

// An identifier drawn at random for each query and each send: an off-path sender that saw
// one cannot tell the next (one up from the last would be its first guess). Never the
// previous one, so that an answer to the last send cannot pass for this one's.
uint16_t FreshId(uint16_t previous) {
  uint16_t id = previous;
  while (id == previous)
    if (getrandom(&id, sizeof id, 0) != sizeof id) id = uint16_t(std::random_device{}());
  return id;
}

// Waits until s is readable or the deadline passes: 1 ready, 0 timed out, -1 failed.
int32_t WaitReadable(SOCKET s, Clock::time_point deadline) {
  const auto left = std::chrono::duration_cast<std::chrono::microseconds>(deadline - Clock::now());
  if (left.count() <= 0) return 0;
  plat::FdSet set;
  plat::FdZero(&set);
  plat::FdSetAdd(s, &set);
  plat::TimeVal tv{int32_t(left.count() / 1000000), int32_t(left.count() % 1000000)};
  const int32_t r = SockSelectNfds(1, &set, nullptr, nullptr, &tv);
  return r < 0 ? -1 : r == 0 ? 0 : 1;
}

// One exchange with one server. The outcome of a try, and its error when it failed.
enum class Outcome { Answer, Truncated, Failed };

struct Exchange {
  DnsResolver& r;
  uint8_t* message;
  int32_t length;
  uint8_t* answer;
  uint16_t id;  // the identifier of the latest send: the only one an answer may carry
  uint32_t error = cvErrorHostNameRefused;
  int32_t answerLength = 0;

  Outcome Failed(uint32_t code) {
    error = code;
    return Outcome::Failed;
  }

  Clock::time_point Deadline() const { return Clock::now() + std::chrono::seconds(r.timeout); }

  Outcome UdpTry(const sockaddr_in& server) {
    // A fresh socket (and local port) for every send: nothing queued for an earlier try,
    // from an earlier server, can be taken for this answer.
    CloseQuerySocket(r);
    SOCKET& s = r.header.controlSocket;
    s = SockCreate(2, SOCK_DGRAM, 0);
    if (s == INVALID_SOCKET) return Failed(kCvErrorBase | SockGetLastError());
    // Bound to the server: datagrams from any other address never reach the receive, and
    // a refused port fails the receive at once instead of after the whole wait.
    if (SockConnect(s, reinterpret_cast<const sockaddr*>(&server), sizeof server) != 0)
      return Failed(cvErrorHostNameRefused);
    if (SockSendToNoFlags(s, reinterpret_cast<const char*>(message), length, &server) != length)
      return Failed(cvErrorInvalidServerResponse);
    const auto deadline = Deadline();
    for (;;) {
      if (WaitReadable(s, deadline) <= 0) return Failed(cvErrorOperationTimeout);
      std::memset(answer, 0, kDnsAnswerSize);
      const int32_t n = SockRecvNoFlags(s, reinterpret_cast<char*>(answer), kDnsAnswerSize);
      if (n < 0) return Failed(cvErrorInvalidServerResponse);
      // Too short to be an answer, or not the answer to this send: keep waiting.
      if (n < kHeaderSize || IdOf(answer) != id) continue;
      answerLength = n;
      return (answer[2] & kFlagTruncated) ? Outcome::Truncated : Outcome::Answer;
    }
  }

  // Reads exactly size bytes, each piece within the wait: 1 done, 0 closed, -1 failed.
  int32_t ReadAll(SOCKET s, uint8_t* into, int32_t size) {
    const auto deadline = Deadline();
    for (int32_t got = 0; got < size;) {
      if (WaitReadable(s, deadline) <= 0) return -1;
      const int32_t n = SockRecvNoFlags(s, reinterpret_cast<char*>(into + got), size - got);
      if (n <= 0) return n;
      got += n;
    }
    return 1;
  }

  Outcome TcpTry(const sockaddr_in& server) {
    SOCKET& s = r.header.controlSocket;
    s = SockCreate(2, SOCK_STREAM, 0);
    if (s == INVALID_SOCKET) return Failed(kCvErrorBase | SockGetLastError());
    const Outcome o = TcpExchange(s, server);
    // A connection serves one try only.
    CloseQuerySocket(r);
    return o;
  }

  Outcome TcpExchange(SOCKET s, const sockaddr_in& server) {
    if (SockConnect(s, reinterpret_cast<const sockaddr*>(&server), sizeof server) != 0)
      return Failed(SockGetLastError() == plat::WSAETIMEDOUT ? cvErrorOperationTimeout : cvErrorHostNameRefused);
    uint8_t packet[2 + kDnsQuerySize];
    packet[0] = uint8_t(length >> 8);
    packet[1] = uint8_t(length);
    std::memcpy(packet + 2, message, size_t(length));
    if (SockSendNoFlags(s, reinterpret_cast<const char*>(packet), length + 2) != length + 2)
      return Failed(cvErrorInvalidServerResponse);
    uint8_t prefix[2];
    if (int32_t rc = ReadAll(s, prefix, 2); rc <= 0)
      return Failed(rc == 0 ? cvErrorNoServerResponse : cvErrorInvalidServerResponse);
    const int32_t announced = prefix[0] << 8 | prefix[1];
    if (announced < kHeaderSize) return Failed(cvErrorInvalidServerResponse);
    const int32_t kept = announced > int32_t(kDnsAnswerSize) ? int32_t(kDnsAnswerSize) : announced;
    std::memset(answer, 0, kDnsAnswerSize);
    if (int32_t rc = ReadAll(s, answer, kept); rc <= 0)
      return Failed(rc == 0 ? cvErrorHostNameRefused : cvErrorInvalidServerResponse);
    if (IdOf(answer) != id) return Failed(cvErrorInvalidServerResponse);
    if (kept < announced) {
      // The rest does not fit: read it away and say the kept answer is incomplete.
      uint8_t sink[512];
      for (int32_t left = announced - kept; left > 0;) {
        const int32_t piece = left < int32_t(sizeof sink) ? left : int32_t(sizeof sink);
        if (ReadAll(s, sink, piece) <= 0) break;
        left -= piece;
      }
      answer[2] |= kFlagTruncated;
    }
    answerLength = kept;
    return Outcome::Answer;
  }

  Result<int32_t> Run() {
    CloseQuerySocket(r);
    bool tcp = length > kMaxUdpQuery;
    bool firstTry = true;
    bool tried = false;
    for (int32_t pass = 0; pass < r.attempts; ++pass) {
      for (int32_t slot = 0; slot < kDnsServerSlots; ++slot) {
        const sockaddr_in& server = r.servers[slot];
        if (server.sin_addr.s_addr == 0 || server.sin_addr.s_addr == INADDR_NONE) continue;
        if (!firstTry) PutId(message, id = FreshId(id));
        firstTry = false;
        tried = true;
        Outcome o = tcp ? TcpTry(server) : UdpTry(server);
        if (o == Outcome::Truncated) {
          // Ask the same server again over TCP, with a fresh round of passes.
          CloseQuerySocket(r);
          tcp = true;
          pass = 0;
          PutId(message, id = FreshId(id));
          o = TcpTry(server);
        }
        if (o == Outcome::Answer) {
          r.queryId = id;
          CloseQuerySocket(r);
          return answerLength;
        }
      }
    }
    r.queryId = id;
    CloseQuerySocket(r);
    return Status(tcp || !tried ? cvErrorHostNameRefused : error);
  }
};

}  // namespace

Result<int32_t> BuildQuery(DnsResolver& r, const char* name, uint8_t* message) {
  std::memset(message, 0, kHeaderSize);
  PutId(message, r.queryId = FreshId(r.queryId));
  message[2] = kFlagRecursionDesired;
  message[5] = 1;  // one question
  const Result<int32_t> encoded = EncodeName(name, message + kHeaderSize, kMaxQueryName, nullptr, nullptr);
  if (!encoded.ok()) return encoded;
  const int32_t n = encoded.value();
  uint8_t* p = message + kHeaderSize + n;
  p[0] = 0;
  p[1] = kTypeMx;
  p[2] = 0;
  p[3] = kClassIn;
  return kHeaderSize + n + 4;
}

Result<int32_t> SendQuery(DnsResolver& r, uint8_t* message, int32_t length, uint8_t* answer) {
  if (!message || !answer || length < kHeaderSize || length > int32_t(kDnsQuerySize))
    return Status(cvErrorInvalidParameter);
  Exchange x{r, message, length, answer, IdOf(message)};
  return x.Run();
}

}  // namespace cvdns

int32_t DnsBuildQuery(LibHandle handle, const char* name, uint8_t* message) {
  DnsResolver* r = cvdns::Library().GetSession(handle);
  if (!r) return -1;
  if (!name || !message) return cvdns::Finish(cvcore::Status(cvErrorInvalidParameter));
  return cvdns::Finish(cvdns::BuildQuery(*r, name, message));
}

int32_t DnsSendQuery(LibHandle handle, uint8_t* message, int32_t length, uint8_t* answer) {
  DnsResolver* r = cvdns::Library().GetSession(handle);
  return r ? cvdns::Finish(cvdns::SendQuery(*r, message, length, answer)) : -1;
}
