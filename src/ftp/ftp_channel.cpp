// The command channel's connection and I/O through its stream (the socket, or the TLS
// stage on it). Sockets stay non-blocking: every send and receive follows a timed wait, so
// a server that stops reading or writing cannot hold a call beyond the session timeout or
// a cancel. Replies are received into a small input buffer (an FTP server sends nothing
// unsolicited, so nothing of a later exchange is taken early).
#include <poll.h>

#include <algorithm>

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

Status ChannelSend(FtpSession& s, const char* data, uint32_t length) noexcept {
  if (s.header.controlSocket == INVALID_SOCKET) return Status(cvErrorNotConnected);
  if (!cvcore::SendAll(ChannelStream(s, FtpChannel::Command), data, length, cvcore::StreamOrder::WaitFirst))
    return StreamError(s);
  return {};
}

Status ChannelReadByte(FtpSession& s, char* c) noexcept {
  if (s.commandInput.TakeByte(*c)) return {};
  if (s.header.controlSocket == INVALID_SOCKET) return Status(cvErrorNotConnected);
  const int32_t n = s.commandInput.FillWaiting(ChannelStream(s, FtpChannel::Command), cvcore::StreamOrder::WaitFirst);
  if (n < 0) return StreamError(s);
  if (n == 0 || !s.commandInput.TakeByte(*c)) return Status(cvErrorConnectionClosed);
  return {};
}

int32_t ChannelReceiveQuiet(FtpSession& s, char* buffer, uint32_t length, uint32_t waitMs) noexcept {
  cvcore::ByteStream& in = ChannelStream(s, FtpChannel::Command);
  for (;;) {
    const int32_t n = in.Receive(buffer, length);
    if (n != cvcore::kStreamWouldBlock) return std::max(n, 0);
    if (WaitRaw(s, s.header.controlSocket, POLLIN, waitMs).status != RawWait::Ready) return 0;
  }
}

void ChannelDrainQuiet(FtpSession& s) noexcept {
  s.commandInput.Clear();
  if (s.header.controlSocket == INVALID_SOCKET) return;
  // A server that never falls quiet is given one timeout, not the byte limit's worth.
  WaitDeadline bound(s, SessionTimeoutMs(s));
  char scratch[kDrainChunk];
  for (uint64_t drained = 0; drained < kDrainLimit;) {
    const int32_t n = ChannelReceiveQuiet(s, scratch, sizeof scratch, kDrainStepMs);
    if (n <= 0) break;
    drained += uint64_t(n);
  }
  s.streamError.store(0);  // the drain reports nothing
}

Result<SOCKET> OpenConnection(FtpSession& s, const SockAddress& address, uint32_t port) noexcept {
  alignas(sockaddr_in6) unsigned char sa[kSockAddressBufferSize];
  uint32_t length = 0;
  if (!SockMakeSockaddr(&address, uint16_t(port), sa, &length)) return PlatformError();
  SOCKET sock = SockCreate(int32_t(address.family), plat::kSockStream, plat::kIpProtoTcp);
  if (sock == INVALID_SOCKET) return PlatformError();
  auto fail = [&](Status failure) -> Result<SOCKET> {
    SockClose(sock);
    return failure;
  };
  uint32_t on = 1;
  int32_t one = 1;
  if (SockIoctl(sock, plat::kFionBio, &on) != 0) return fail(PlatformError());
  SockSetOption(sock, plat::kIpProtoTcp, plat::kTcpNoDelay, &one);
  if (SockConnect(sock, reinterpret_cast<const sockaddr*>(sa), int32_t(length)) == 0) return sock;
  if (!WouldBlock()) return fail(PlatformError());
  RawWait w = WaitRaw(s, sock, POLLOUT, SessionTimeoutMs(s));
  if (const Status waited = ReportWait(s, w, 0); !waited.ok()) return fail(waited);
  int32_t pending = 0, size = sizeof pending;
  if (SockGetPendingError(sock, &pending, &size) != 0) return fail(PlatformError());
  if (pending != 0) return fail(Status(uint32_t(pending)));
  if (!(w.revents & POLLOUT)) return fail(Status(cvErrorConnectionRefused));
  return sock;
}

void CloseChannel(FtpSession& s, FtpChannel channel) noexcept {
  const bool data = channel == FtpChannel::Data;
  // A data stage belongs to its connection; the command channel's stays for the security
  // information until the session ends or reconnects.
  if (data && s.streams) s.streams->stages[1].reset();
  SOCKET& sock = data ? s.dataSocket : s.header.controlSocket;
  if (sock != INVALID_SOCKET) SockClose(sock);
  sock = INVALID_SOCKET;
  if (!data) s.commandInput.Clear();
}

}  // namespace cvftp
