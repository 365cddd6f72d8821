// Changing the mailbox password over the server's separate password service: a dialogue
// of numeric replies (USER, then PASS when asked for, then NEWPASS) on its own connection.
#include <netinet/in.h>
#include <poll.h>

#include <cctype>
#include <cstring>
#include <string>

#include "mail/sock/mailsock.h"
#include "platform/base/last_error.h"
#include "platform/net/wsa_errors.h"
#include "pop3/pop3_internal.h"

namespace cvpop3 {

namespace {

constexpr uint16_t kPasswordPort = 106;
constexpr uint32_t kReplyLimit = 512;

// The service connection, closed on every way out.
struct ServiceSocket {
  SOCKET socket = INVALID_SOCKET;
  ~ServiceSocket() {
    if (socket != INVALID_SOCKET) SockClose(socket);
  }
};

// Reads one reply line: its number.
Result<int32_t> ReadNumericReply(Pop3Session& s, SOCKET sock) {
  std::string line;
  for (;;) {
    if (const Status waited = WaitOn(s, sock, POLLIN, TimeoutMs(s, true), 0); !waited.ok()) return waited;
    char c = 0;
    const int32_t n = SockRecvNoFlags(sock, &c, 1);
    if (n < 0) return SessionCalls::SocketFailure();
    if (n == 0) return Status(cvErrorConnectionClosed);
    if (c == '\n') break;
    if (line.size() < kReplyLimit) line += c;
  }
  int32_t code = 0;
  for (size_t i = 0; i < line.size() && std::isdigit(static_cast<unsigned char>(line[i])) && code < 1000; ++i)
    code = code * 10 + (line[i] - '0');
  if (code < 200 || code > 399) return Status(cvErrorUnexpectedServerResponse);
  return code;
}

Status SendLine(Pop3Session& s, SOCKET sock, const std::string& command, const char* argument) {
  std::string line = command + ' ' + argument + "\r\n";
  Status result;
  for (size_t sent = 0; sent < line.size();) {
    const int32_t n = SockSendNoFlags(sock, line.data() + sent, int32_t(line.size() - sent));
    if (n > 0) {
      sent += size_t(n);
      continue;
    }
    if (n < 0 && plat::GetLastError() == plat::WSAEWOULDBLOCK) {
      result = WaitOn(s, sock, POLLOUT, TimeoutMs(s, true), 0);
      if (result.ok()) continue;
    } else {
      result = SessionCalls::SocketFailure();
    }
    break;
  }
  explicit_bzero(line.data(), line.size());
  return result;
}

bool Empty(const char* t) { return !t || !*t; }

// A reply that must be positive (2xx): a failure, or cvErrorUnexpectedServerResponse.
Status Positive(const Result<int32_t>& reply) {
  if (!reply.ok()) return reply.status();
  return reply.value() >= 200 && reply.value() <= 299 ? Status() : Status(cvErrorUnexpectedServerResponse);
}

Status Dialogue(Pop3Session& s, const char* user, const char* oldPassword, const char* newPassword) {
  sockaddr_storage peer{};
  int32_t length = sizeof peer;
  if (SockGetPeerName(s.header.controlSocket, reinterpret_cast<sockaddr*>(&peer), &length) != 0)
    return SessionCalls::SocketFailure();
  uint16_t port = SockHtons(kPasswordPort);
  if (const plat::ServEnt* service = SockGetPassService()) port = uint16_t(service->s_port);
  if (peer.ss_family == AF_INET6) reinterpret_cast<sockaddr_in6*>(&peer)->sin6_port = port;
  else reinterpret_cast<sockaddr_in*>(&peer)->sin_port = port;

  ServiceSocket service;
  service.socket = SockCreate(peer.ss_family == AF_INET6 ? 23 : 2, SOCK_STREAM, IPPROTO_TCP);
  if (service.socket == INVALID_SOCKET) return SessionCalls::SocketFailure();
  const SOCKET sock = service.socket;
  uint32_t on = 1;
  SockSetBlockingMode(sock, &on);
  if (SockConnect(sock, reinterpret_cast<sockaddr*>(&peer), length) != 0) {
    if (plat::GetLastError() != plat::WSAEWOULDBLOCK) return SessionCalls::SocketFailure();
    if (const Status waited = WaitOn(s, sock, POLLOUT, TimeoutMs(s, true), 0); !waited.ok()) return waited;
    int32_t pending = 0;
    int32_t size = sizeof pending;
    if (SockGetPendingError(sock, &pending, &size) != 0) return SessionCalls::SocketFailure();
    if (pending) return Status(kCvErrorBase | uint32_t(pending));
  }
  uint32_t off = 0;
  SockSetBlockingMode(sock, &off);

  if (const Status greeted = Positive(ReadNumericReply(s, sock)); !greeted.ok()) return greeted;
  if (const Status sent = SendLine(s, sock, "USER", user); !sent.ok()) return sent;
  const Result<int32_t> asked = ReadNumericReply(s, sock);
  if (!asked.ok()) return asked.status();
  if (!Positive(asked).ok()) {  // 3xx: the old password is asked for
    if (const Status sent = SendLine(s, sock, "PASS", oldPassword); !sent.ok()) return sent;
    if (const Status accepted = Positive(ReadNumericReply(s, sock)); !accepted.ok()) return accepted;
  }
  if (const Status sent = SendLine(s, sock, "NEWPASS", newPassword); !sent.ok()) return sent;
  return Positive(ReadNumericReply(s, sock));
}

}  // namespace

}  // namespace cvpop3

using namespace cvpop3;

int32_t Pop3ChangePassword(LibHandle handle, const char* user, const char* oldPassword, const char* newPassword) {
  Operation op(handle);
  if (!op) return 0;
  Pop3Session& s = *op;
  if (Empty(user) || Empty(oldPassword) || Empty(newPassword) || std::strcmp(oldPassword, newPassword) == 0)
    return Finish(Status(cvErrorInvalidParameter), 0);
  for (const char* t : {user, oldPassword, newPassword})
    if (std::strpbrk(t, "\r\n")) return Finish(Status(cvErrorInvalidParameter), 0);
  if (s.replyPending || s.multiLine) return Finish(Status(cvErrorOperationInProgress), 0);
  if (s.header.controlSocket == INVALID_SOCKET) return Finish(Status(cvErrorConnectionClosed), 0);
  s.replyPending = 1;
  const Status changed = Dialogue(s, user, oldPassword, newPassword);
  if (Gone(s)) return Finish(changed.ok() ? Status(cvErrorInvalidHandle) : changed, 0);
  s.replyPending = 0;
  return FinishExchange(changed.ok() ? Result<int32_t>(1) : Result<int32_t>(changed), 0);
}
