#pragma once
// A mail session's byte stream, written once for the SMTP, POP3 and IMAP session records:
// its socket, with the TLS stage stacked on it while TLS is on, and the TLS routines the
// libraries name (handshake, handshake loop, receive, send, shutdown) as thin entries over
// the stage. Line readers ask for a byte to a few kilobytes at a time: the stage keeps what
// it decrypted and hands it out without further socket reads.
//
// Instantiated per library with a traits type:
//   using Session = ...;
//   static TlsState& Tls(Session&);
//   static bool WindowMode(Session&);        // the socket's events go to a window: reads do
//                                            // not wait (nothing there yet is would-block)
//   static bool Wait(Session&, short events); // the session's wait (its timeout and cancel);
//                                            // false with the error and its event reported
//   static void SetError(Session&, uint32_t code);  // keeps a failure where the library wants it
//   static uint32_t GetError(Session&);              // the failure kept there
//   static uint32_t SetSocketError(Session&);        // the thread's socket error kept as the failure
#include <poll.h>

#include <cstdint>

#include "core/errors/error_codes.h"
#include "core/stream/byte_stream.h"
#include "mail/common/mail_tls.h"
#include "platform/base/last_error.h"

namespace cvmail {

template <typename Traits>
class TlsStream {
 public:
  using Session = typename Traits::Session;

  // The stream the session's bytes go through: the stage while TLS is on, else the socket.
  static cvcore::ByteStream& Stream(Session& s) noexcept {
    TlsState& tls = Bind(s);
    if (tls.active && tls.stage) return *tls.stage;
    return tls.socket();
  }

  // One read for the session: in window-message mode without waiting (nothing there yet
  // fails with the would-block error), else waiting first. Bytes, 0 at the end, or -1.
  static int32_t Read(Session& s, cvcore::ByteStream& in, char* buffer, uint32_t size) noexcept {
    if (!Traits::WindowMode(s)) return cvcore::ReceiveSome(in, buffer, size, cvcore::StreamOrder::WaitFirst);
    const int32_t n = in.Receive(buffer, size);
    if (n == cvcore::kStreamWouldBlock) return Fail(s, cvErrorOperationWouldBlock), -1;
    return n;
  }

  // A new stage for the session's host and its handshake. 1, or 0.
  static int32_t Handshake(Session& s, const char* host) noexcept {
    TlsState& tls = Bind(s);
    if (const cvcore::Status staged = TlsCreateStage(tls, host); !staged.ok()) return Fail(s, staged.error());
    return HandshakeLoop(s, true);
  }

  // The handshake of the session's stage until done (a renegotiation starts from what is
  // buffered; the stage reads whenever it needs the server's next flight). 1, or 0.
  static int32_t HandshakeLoop(Session& s, bool) noexcept {
    TlsState& tls = Bind(s);
    if (!tls.stage) return Fail(s, cvErrorSecurityNotInitialized);
    const bool done = tls.client.Handshake(*tls.stage);
    tls.lastStatus = tls.stage->lastStatus();
    // A server that closes in the middle of the handshake is a closed connection here.
    if (!done && tls.stage->ended()) return Fail(s, cvErrorConnectionClosed);
    return done ? 1 : 0;
  }

  // Hands out at most size decrypted bytes: the count, 0 when the peer closed (or sent
  // close-notify) and nothing is left, or -1.
  static int32_t Receive(Session& s, char* buffer, uint32_t size) noexcept {
    TlsState& tls = Bind(s);
    if (!tls.stage) return Fail(s, cvErrorSecurityNotInitialized), -1;
    return Read(s, *tls.stage, buffer, size);
  }

  // Encrypts and sends the whole block. The length, or -1.
  static int32_t Send(Session& s, const char* data, uint32_t length) noexcept {
    TlsState& tls = Bind(s);
    if (!tls.stage) return Fail(s, cvErrorSecurityNotInitialized), -1;
    return cvcore::SendAll(*tls.stage, data, length, cvcore::StreamOrder::TryFirst) ? int32_t(length) : -1;
  }

  // Sends the close-notify (one attempt: a peer that no longer reads must not hold the
  // close up) and drops the stage and the credentials. 1, or 0 when there was no session.
  static int32_t Shutdown(Session& s) noexcept {
    TlsState& tls = Bind(s);
    const bool had = tls.stage != nullptr;
    if (had && tls.socket().socket() != INVALID_SOCKET) {
      const uint32_t saved = plat::GetLastError();
      const uint32_t kept = Traits::GetError(s);
      tls.stage->SendCloseNotify(false);
      Traits::SetError(s, kept);
      plat::SetLastError(saved);
    }
    TlsReset(tls);
    return had ? 1 : Fail(s, cvErrorSecurityNotInitialized);
  }

 private:
  // The session's state, its socket's hooks bound to this session.
  static TlsState& Bind(Session& s) noexcept {
    TlsState& tls = Traits::Tls(s);
    tls.socket().Bind(&s, &kHooks);
    return tls;
  }
  static int32_t Fail(Session& s, uint32_t code) noexcept {
    Traits::SetError(s, code);
    return 0;
  }
  static Session& Of(void* s) noexcept { return *static_cast<Session*>(s); }
  static bool WaitHook(void* s, short events) { return Traits::Wait(Of(s), events); }
  static void FailHook(void* s, uint32_t code) { Traits::SetError(Of(s), code); }
  static uint32_t SocketErrorHook(void* s) { return Traits::SetSocketError(Of(s)); }
  static constexpr MailSocket::Hooks kHooks{&WaitHook, &FailHook, &SocketErrorHook};
};

}  // namespace cvmail
