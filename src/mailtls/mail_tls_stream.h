#pragma once
// The TLS stream routines of a mail session, written once for the SMTP, POP3 and IMAP
// session records: the handshake loop over the session's socket, receive-and-decrypt
// (readers ask for a byte to a few kilobytes at a time, so decrypted bytes are kept and
// handed out without further socket reads) and encrypt-and-send.
//
// Instantiated per library with a traits type:
//   using Session = ...;
//   static TlsState& Tls(Session&);
//   static SOCKET Socket(Session&);
//   static bool WindowMode(Session&);        // the socket's events go to a window: the
//                                            // stream reads and writes without waiting first
//   static bool Wait(Session&, short events); // the session's wait (its timeout and cancel);
//                                            // false with the error and its event reported
//   static void SetError(uint32_t code);      // the library's last error
//   static uint32_t SetSocketError();         // the thread's socket error as the last error
#include <poll.h>

#include <algorithm>
#include <cstring>
#include <vector>

#include "core/errors/error_codes.h"
#include "core/sock/sock.h"
#include "core/trace/trace.h"
#include "mailsock/mailsock.h"
#include "mailtls/mail_tls.h"
#include "platform/base/last_error.h"
#include "platform/net/wsa_errors.h"

namespace cvmail {

template <typename Traits>
class TlsStream {
 public:
  using Session = typename Traits::Session;

  // Sends the first token for the session's host and runs the handshake. 1, or 0.
  static int32_t Handshake(Session& s, const char* host) noexcept {
    TlsState& tls = Traits::Tls(s);
    std::vector<uint8_t> token;
    uint32_t error = 0;
    if (!TlsStartHandshake(tls, host, token, &error)) return Fail(error);
    if (!SendAll(s, token.data(), token.size())) return 0;
    return HandshakeLoop(s, true);
  }

  // Handshake steps until done. readFirst: the first token went out, so the server's
  // answer is read first; a renegotiation starts from what is buffered. 1, or 0.
  static int32_t HandshakeLoop(Session& s, bool readFirst) noexcept {
    TlsState& tls = Traits::Tls(s);
    if (!tls.context) return Fail(cvErrorSecurityNotInitialized);
    std::vector<uint8_t> input(kTlsBufferSize);
    size_t fill = 0;
    if (!readFirst && tls.receivedCount) {
      std::memcpy(input.data(), tls.received.get(), tls.receivedCount);
      fill = tls.receivedCount;
    }
    tls.receivedCount = 0;
    tls.extra = false;
    plat::TlsStatus status = plat::TlsStatus::ContinueNeeded;
    bool skipRead = !readFirst;
    size_t consumed = 0;
    std::vector<uint8_t> output;
    for (;;) {
      if (fill == 0 || status == plat::TlsStatus::IncompleteMessage) {
        if (!skipRead) {
          if (fill == input.size()) return Fail(cvErrorSecurityContext);  // no handshake message is that long
          if (!Traits::Wait(s, POLLIN)) return 0;
          const int32_t n = SockRecvNoFlags(Traits::Socket(s), reinterpret_cast<char*>(input.data() + fill),
                                            int32_t(input.size() - fill));
          if (n < 0) return SocketFail();
          if (n == 0) return Fail(cvErrorConnectionClosed);
          fill += size_t(n);
        }
      }
      skipRead = false;
      output.clear();
      status = tls.context->Step({input.data(), fill}, output, consumed);
      tls.lastStatus = uint32_t(status);
      if (!output.empty() && !SendAll(s, output.data(), output.size())) return 0;
      if (status == plat::TlsStatus::IncompleteMessage) continue;
      if (status == plat::TlsStatus::Ok || status == plat::TlsStatus::Error) break;
      std::memmove(input.data(), input.data() + consumed, fill - consumed);
      fill -= consumed;
      consumed = 0;
      if (status == plat::TlsStatus::IncompleteCredentials) {
        TlsSelectClientCertificate(tls);
        skipRead = true;
      }
    }
    if (status != plat::TlsStatus::Ok) return Fail(cvErrorSecurityContext);
    const size_t extra = fill - consumed;
    if (extra) {
      std::memcpy(tls.received.get(), input.data() + consumed, extra);
      tls.receivedCount = uint32_t(extra);
      tls.extra = true;
    }
    tls.sizes = tls.context->StreamSizes();
    return 1;
  }

  // Hands out at most size decrypted bytes: the count, 0 when the peer closed (or sent
  // close-notify) and nothing is left, or -1.
  static int32_t Receive(Session& s, char* buffer, uint32_t size) noexcept {
    TlsState& tls = Traits::Tls(s);
    if (!tls.context) return Fail(cvErrorSecurityNotInitialized), -1;
    if (tls.plainCount == 0) {
      tls.plainStart = 0;
      bool needRead = !tls.extra || tls.receivedCount == 0;
      for (;;) {
        if (needRead) {
          if (tls.receivedCount == kTlsBufferSize) return Fail(cvErrorSecurityDecryption), -1;
          if (!Traits::WindowMode(s) && !Traits::Wait(s, POLLIN)) return -1;
          const int32_t n =
              SockRecvNoFlags(Traits::Socket(s), reinterpret_cast<char*>(tls.received.get() + tls.receivedCount),
                              int32_t(kTlsBufferSize - tls.receivedCount));
          if (n < 0) {
            tls.lastStatus = uint32_t(plat::TlsStatus::Error);
            return SocketFail(), -1;
          }
          if (n == 0) break;  // closed: what was decrypted (nothing) is the answer
          tls.receivedCount += uint32_t(n);
        }
        size_t length = 0, consumed = 0;
        const plat::TlsStatus status = tls.context->Decrypt({tls.received.get(), tls.receivedCount},
                                                             tls.plain.get(), kTlsBufferSize, length, consumed);
        tls.lastStatus = uint32_t(status);
        if (status == plat::TlsStatus::IncompleteMessage) {
          tls.extra = false;
          needRead = true;
          continue;
        }
        Drop(tls, consumed);
        if (status == plat::TlsStatus::ContextExpired) break;
        if (status == plat::TlsStatus::Ok || status == plat::TlsStatus::Renegotiate) {
          tls.plainCount = uint32_t(length);
          if (status == plat::TlsStatus::Renegotiate && !HandshakeLoop(s, false)) return -1;
          if (tls.plainCount) break;
          needRead = tls.receivedCount == 0;
          continue;
        }
        return Fail(cvErrorSecurityDecryption), -1;
      }
    }
    const uint32_t n = std::min(size, tls.plainCount);
    if (n == 0) return 0;
    std::memcpy(buffer, tls.plain.get() + tls.plainStart, n);
    tls.plainStart += n;
    tls.plainCount -= n;
    TracePrintf(kTraceInformation, "Decrypted buffer of %ld bytes", long(n));
    TraceDumpData(buffer, int32_t(n));
    return int32_t(n);
  }

  // Encrypts data (in records of the largest size the session allows) and sends each
  // record whole. The length, or -1.
  static int32_t Send(Session& s, const char* data, uint32_t length) noexcept {
    TlsState& tls = Traits::Tls(s);
    if (!tls.context) return Fail(cvErrorSecurityNotInitialized), -1;
    const uint32_t most = std::max<uint32_t>(tls.sizes.maximumMessage, 1024);
    std::vector<uint8_t> record;
    for (uint32_t done = 0; done < length;) {
      const uint32_t n = std::min(length - done, most);
      record.clear();
      if (!tls.context->Encrypt({reinterpret_cast<const uint8_t*>(data) + done, n}, record))
        return Fail(cvErrorSecurityEncryption), -1;
      if (!Traits::WindowMode(s) && !Traits::Wait(s, POLLOUT)) return -1;
      if (!SendAll(s, record.data(), record.size())) return -1;
      done += n;
    }
    TracePrintf(kTraceInformation, "Encrypted buffer of %ld bytes", long(length));
    TraceDumpData(data, int32_t(length));
    return int32_t(length);
  }

  // Sends the close-notify (one attempt: a peer that no longer reads must not hold the
  // close up) and drops context and credentials. 1, or 0 when there was no session.
  static int32_t Shutdown(Session& s) noexcept {
    TlsState& tls = Traits::Tls(s);
    const bool had = tls.context != nullptr;
    const std::vector<uint8_t> notify = TlsShutdown(tls);
    const SOCKET sock = Traits::Socket(s);
    if (!notify.empty() && sock != INVALID_SOCKET) {
      const uint32_t saved = plat::GetLastError();
      SockSend(sock, reinterpret_cast<const char*>(notify.data()), int32_t(notify.size()), MSG_DONTWAIT);
      plat::SetLastError(saved);
    }
    return had ? 1 : Fail(cvErrorSecurityNotInitialized);
  }

 private:
  static int32_t Fail(uint32_t code) noexcept {
    Traits::SetError(code);
    return 0;
  }

  static int32_t SocketFail() noexcept {
    if (!Traits::SetSocketError()) Traits::SetError(cvErrorConnectionClosed);
    return 0;
  }

  static void Drop(TlsState& tls, size_t consumed) noexcept {
    std::memmove(tls.received.get(), tls.received.get() + consumed, tls.receivedCount - consumed);
    tls.receivedCount -= uint32_t(consumed);
    tls.extra = tls.receivedCount != 0;
  }

  // The whole block, waiting for room when a non-blocking socket takes only part of it.
  static bool SendAll(Session& s, const uint8_t* data, size_t length) noexcept {
    size_t sent = 0;
    while (sent < length) {
      const int32_t n = SockSendNoFlags(Traits::Socket(s), reinterpret_cast<const char*>(data + sent),
                                        int32_t(std::min<size_t>(length - sent, 0x7FFFFFFF)));
      if (n > 0) {
        sent += size_t(n);
        continue;
      }
      if (n < 0 && plat::GetLastError() == plat::WSAEWOULDBLOCK) {
        if (!Traits::Wait(s, POLLOUT)) return false;
        continue;
      }
      if (n == 0) Traits::SetError(cvErrorConnectionClosed);
      else SocketFail();
      return false;
    }
    return true;
  }
};

}  // namespace cvmail
