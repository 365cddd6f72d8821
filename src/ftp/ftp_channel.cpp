// The command channel's connection and I/O. Sockets stay non-blocking: every send and
// receive follows a timed wait, so a server that stops reading or writing cannot hold a
// call beyond the session timeout or a cancel. Replies are received into a small input
// buffer (an FTP server sends nothing unsolicited, so nothing of a later exchange is taken
// early).
#include <poll.h>

#include "core/url/sock_address.h"
#include "ftp/ftp_hooks.h"
#include "ftp/ftp_internal.h"
#include "ftp/ftp_tls.h"
#include "ftp/ftp_wait.h"
#include "platform/base/last_error.h"
#include "platform/net/wsa_errors.h"
#include "platform/net/wsa_types.h"

namespace cvftp {

namespace {

constexpr uint32_t kDrainStepMs = 1000;
constexpr uint32_t kDrainChunk = 256;
constexpr uint64_t kDrainLimit = 4ull * kFtpReplyByteLimit;

bool WouldBlock() noexcept { return plat::GetLastError() == plat::WSAEWOULDBLOCK; }

}  // namespace

bool ChannelSend(FtpSession& s, const char* data, uint32_t length) noexcept {
  if (s.commandProtected) {
    int32_t n = hooks::TlsSend(s, 0, data, length);
    if (n == int32_t(length)) return true;
    if (n >= 0) Fail(cvErrorConnectionClosed);
    return false;
  }
  const SOCKET c = s.header.controlSocket;
  if (c == INVALID_SOCKET) return Fail(cvErrorNotConnected), false;
  uint32_t sent = 0;
  while (sent < length) {
    if (!WaitSocket(s, c, POLLOUT)) return false;
    int32_t n = SockSend(c, data + sent, int32_t(length - sent), 0);
    if (n < 0) {
      if (WouldBlock()) continue;
      TakePlatformError();
      return false;
    }
    sent += uint32_t(n);
  }
  return true;
}

bool ChannelReadByte(FtpSession& s, char* c) noexcept {
  if (s.commandInputStart < s.commandInputEnd) {
    *c = s.commandInput[s.commandInputStart++];
    return true;
  }
  s.commandInputStart = s.commandInputEnd = 0;
  for (;;) {
    int32_t n;
    if (s.commandProtected) {
      n = hooks::TlsRecv(s, 0, s.commandInput, kFtpCommandInputSize);
      if (n < 0) return false;
    } else {
      const SOCKET sock = s.header.controlSocket;
      if (sock == INVALID_SOCKET) return Fail(cvErrorNotConnected), false;
      if (!WaitSocket(s, sock, POLLIN)) return false;
      n = SockRecv(sock, s.commandInput, int32_t(kFtpCommandInputSize), 0);
      if (n < 0) {
        if (WouldBlock()) continue;
        TakePlatformError();
        return false;
      }
    }
    if (n == 0) return Fail(cvErrorConnectionClosed), false;
    s.commandInputEnd = uint32_t(n);
    *c = s.commandInput[s.commandInputStart++];
    return true;
  }
}

void ChannelDrainQuiet(FtpSession& s) noexcept {
  s.commandInputStart = s.commandInputEnd = 0;
  // A server that never falls quiet is given one timeout, not the byte limit's worth.
  WaitDeadline bound(s, SessionTimeoutMs(s));
  if (s.commandProtected) {
    TlsDrainQuiet(s, kDrainStepMs, kDrainLimit);
    return;
  }
  const SOCKET sock = s.header.controlSocket;
  if (sock == INVALID_SOCKET) return;
  char scratch[kDrainChunk];
  uint64_t drained = 0;
  while (drained < kDrainLimit) {
    RawWait w = WaitRaw(s, sock, POLLIN, kDrainStepMs);
    if (w.status != RawWait::Ready) return;
    int32_t n = SockRecv(sock, scratch, int32_t(sizeof scratch), 0);
    if (n < 0 && WouldBlock()) continue;
    if (n <= 0) return;
    drained += uint64_t(n);
  }
}

SOCKET OpenConnection(FtpSession& s, const SockAddress& address, uint32_t port) noexcept {
  alignas(sockaddr_in6) unsigned char sa[kSockAddressBufferSize];
  uint32_t length = 0;
  if (!SockMakeSockaddr(&address, uint16_t(port), sa, &length)) {
    TakePlatformError();
    return INVALID_SOCKET;
  }
  SOCKET sock = SockCreate(int32_t(address.family), plat::kSockStream, plat::kIpProtoTcp);
  if (sock == INVALID_SOCKET) {
    TakePlatformError();
    return INVALID_SOCKET;
  }
  auto fail = [&](uint32_t error) {
    if (error) Fail(error);
    const uint32_t kept = Library().GetLastError();
    SockClose(sock);
    Library().SetLastError(kept);
    return INVALID_SOCKET;
  };
  uint32_t on = 1;
  int32_t one = 1;
  if (SockIoctl(sock, plat::kFionBio, &on) != 0) return fail(TakePlatformError());
  SockSetOption(sock, plat::kIpProtoTcp, plat::kTcpNoDelay, &one);
  if (SockConnect(sock, reinterpret_cast<const sockaddr*>(sa), int32_t(length)) == 0) return sock;
  if (!WouldBlock()) return fail(TakePlatformError());
  RawWait w = WaitRaw(s, sock, POLLOUT, SessionTimeoutMs(s));
  if (!ReportWait(s, w, 0)) return fail(0);
  int32_t pending = 0, size = sizeof pending;
  if (SockGetPendingError(sock, &pending, &size) != 0) return fail(TakePlatformError());
  if (pending != 0) return fail(uint32_t(pending));
  if (!(w.revents & POLLOUT)) return fail(cvErrorConnectionRefused);
  return sock;
}

void CloseChannel(FtpSession& s, int channel) noexcept {
  const uint32_t kept = Library().GetLastError();
  SOCKET& sock = channel == 1 ? s.dataSocket : s.header.controlSocket;
  if (sock != INVALID_SOCKET) SockClose(sock);
  sock = INVALID_SOCKET;
  if (channel == 0) s.commandInputStart = s.commandInputEnd = 0;
  Library().SetLastError(kept);
}

}  // namespace cvftp
