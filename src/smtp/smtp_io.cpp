// The connection's byte I/O: timed waits with cancel, sending whole blocks, and the
// receive buffer the reply reader takes its bytes from.
#include <poll.h>

#include "mailsock/mailsock.h"
#include "platform/base/last_error.h"
#include "platform/base/tick.h"
#include "platform/msg/wait.h"
#include "platform/net/wsa_errors.h"
#include "smtp/smtp_internal.h"

namespace cvsmtp {

uint32_t TimeoutMs(const SmtpSession& s) noexcept { return (s.timeout ? s.timeout : 20u) * 1000u; }

// While a reply is read, every wait ends by the reply's deadline.
bool WaitSocket(SmtpSession& s, short events) noexcept {
  const uint32_t ms = s.reader.TimeLeft(plat::GetTickCount(), TimeoutMs(s));
  return SessionCalls::Wait(s, s.header.controlSocket, events, {ms, cvmail::kMailEventTimeout, true, false}, Fire,
                            [&] { s.timedOut = 1; });
}

bool TlsTraits::Wait(SmtpSession& s, short events) { return WaitSocket(s, events); }

bool SendBytes(SmtpSession& s, const char* data, uint32_t length) noexcept {
  if (s.header.controlSocket == INVALID_SOCKET) return Fail(cvErrorConnectionClosed), false;
  if (s.tls.active) return Tls::Send(s, data, length) == int32_t(length);
  const auto waitWritable = [&] { return WaitSocket(s, POLLOUT); };
  return SessionCalls::SendPlain(s.header.controlSocket, data, length, waitWritable);
}

int32_t FillReceiveBuffer(SmtpSession& s) noexcept {
  if (s.receiveCount) return int32_t(s.receiveCount);
  if (s.header.controlSocket == INVALID_SOCKET) return Fail(cvErrorConnectionClosed);
  s.receivePosition = 0;
  // With TLS the receive routine waits itself (decrypted bytes may already be there).
  if (!s.tls.active && !WaitSocket(s, POLLIN)) return -1;
  s.busy.store(1);
  int32_t n = s.tls.active ? Tls::Receive(s, s.receiveBuffer, kSmtpReceiveSize)
                           : SockRecvNoFlags(s.header.controlSocket, s.receiveBuffer, int32_t(kSmtpReceiveSize));
  s.busy.store(0);
  if (Gone(s)) return Fail(cvErrorInvalidHandle);
  if (n > 0) {
    s.receiveCount = uint32_t(n);
    return n;
  }
  if (n < 0) {
    if (!s.tls.active) SocketError();
    return -1;
  }
  return Fail(cvErrorConnectionClosed);
}

}  // namespace cvsmtp
