// The connection's byte I/O through its stream (the socket, or the TLS stage on it): timed
// waits with cancel, sending whole blocks, and the receive buffer the reply reader takes
// its bytes from.
#include <poll.h>

#include "mail/sock/mailsock.h"
#include "platform/base/last_error.h"
#include "platform/base/tick.h"
#include "platform/msg/wait.h"
#include "platform/net/wsa_errors.h"
#include "smtp/smtp_internal.h"

namespace cvsmtp {

uint32_t TimeoutMs(const SmtpSession& s) noexcept { return (s.timeout ? s.timeout : 20u) * 1000u; }

// While a reply is read, every wait ends by the reply's deadline.
Status WaitSocket(SmtpSession& s, short events) noexcept {
  const uint32_t ms = s.reader.TimeLeft(plat::GetTickCount(), TimeoutMs(s));
  return SessionCalls::Wait(s, s.header.controlSocket, events, {ms, cvmail::kMailEventTimeout, true}, Fire,
                            [&] { s.timedOut = 1; });
}

bool TlsTraits::Wait(SmtpSession& s, short events) {
  const Status waited = WaitSocket(s, events);
  if (!waited.ok()) SetError(s, waited.error());
  return waited.ok();
}

Status SendBytes(SmtpSession& s, const char* data, uint32_t length) noexcept {
  if (s.header.controlSocket == INVALID_SOCKET) return Status(cvErrorConnectionClosed);
  if (!cvcore::SendAll(Tls::Stream(s), data, length, cvcore::StreamOrder::TryFirst)) return StreamFailure(s);
  return {};
}

Status FillReceiveBuffer(SmtpSession& s) noexcept {
  if (!s.received.empty()) return {};
  if (s.header.controlSocket == INVALID_SOCKET) return Status(cvErrorConnectionClosed);
  // The wait comes first, and is over at once when decrypted bytes are already there.
  const int32_t n = s.received.FillWaiting(Tls::Stream(s), cvcore::StreamOrder::WaitFirst);
  if (Gone(s)) return Status(cvErrorInvalidHandle);
  if (n > 0) return {};
  if (n < 0) return StreamFailure(s);
  return Status(cvErrorConnectionClosed);
}

}  // namespace cvsmtp
