#pragma once
// The TLS state a mail session record keeps, and the parts of a client TLS session that do
// not depend on the library: credentials from the session's SecCredentials copy, the
// stage on the session's socket, the certificate check, the end of TLS and the security
// information. The stream routines (handshake, receive, send) are in mail_tls_stream.h.
#include <cstdint>
#include <memory>
#include <new>
#include <string>

#include "core/errors/error_codes.h"
#include "core/errors/status.h"
#include "core/stream/byte_stream.h"
#include "core/stream/tls_client.h"
#include "core/stream/tls_stage.h"
#include "core/tls/sec_tls.h"
#include "mail/common/mail_bits.h"
#include "platform/tls/tls_context.h"
#include "platform/tls/tls_credentials.h"

namespace cvmail {

inline constexpr uint32_t kTlsDefaultProtocol = 16;  // TLS 1.2 when the caller gives no mask

// The session's socket as a stream: the library's waits and errors, reached through the
// hooks its TLS traits give (bound by TlsStream before each use).
class MailSocket final : public cvcore::SocketStream {
 public:
  struct Hooks {
    bool (*wait)(void* session, short events);   // the session's wait (its time-out and cancel)
    void (*fail)(void* session, uint32_t code);  // where the library keeps a stream's failure
    uint32_t (*socketError)(void* session);      // the thread's socket error kept as one; 0: none
  };
  explicit MailSocket(const SOCKET& socket) noexcept : SocketStream(socket) {}
  void Bind(void* session, const Hooks* hooks) noexcept {
    session_ = session;
    hooks_ = hooks;
  }
  bool Wait(short events) noexcept override { return hooks_->wait(session_, events); }
  void Fail(uint32_t code) noexcept override { hooks_->fail(session_, code); }

 private:
  void FailSocket(bool) noexcept override {
    if (!hooks_->socketError(session_)) hooks_->fail(session_, cvErrorConnectionClosed);
  }
  void* session_ = nullptr;
  const Hooks* hooks_ = nullptr;
};

struct TlsState {
  explicit TlsState(const SOCKET& handle) noexcept { new (socketStorage_) MailSocket(handle); }
  TlsState(const TlsState&) = delete;
  TlsState& operator=(const TlsState&) = delete;
  ~TlsState() {
    SecFreeCredentials(&secCredentials);
    socket().~MailSocket();
  }

  bool active = false;  // the session's bytes go through the stage
  uint32_t protocolMask = 0;
  uint32_t lastStatus = 0;  // the last step's plat::TlsStatus, or the adapter's error
  cvcore::TlsClient client;  // credentials, and the store of the client certificate
  MailSocket& socket() noexcept { return *std::launder(reinterpret_cast<MailSocket*>(socketStorage_)); }
  std::unique_ptr<cvcore::TlsStage> stage;   // from the handshake until TLS ends
  SecCredentials* secCredentials = nullptr;  // the session's own copy
  uint32_t certificateStatus = 0;
  std::string issuer;
  std::string subject;
  // The last failure the session's stream reported, until the helper that called the
  // stream takes it (0: none).
  uint32_t failure = 0;

  // The socket stream lives in plain storage (reached through socket()): a member with
  // virtual functions, or a private one, would take the session record out of standard
  // layout, and the frame finds its header by offset.
  alignas(MailSocket) unsigned char socketStorage_[sizeof(MailSocket)];
};

// Keeps a copy of credentials (a zeroed record when null; protocol 0 becomes TLS 1.2) and
// the mask.
cvcore::Status TlsPrepare(TlsState& tls, const SecCredentials* credentials);

// Client credentials for the mask with the certificate the copy names; 0x80042F47
// (certificate or credentials) on failure.
cvcore::Status TlsCreateCredentials(TlsState& tls);

// A new stage on the session's socket for the target (the credentials' server name, else
// host); cvErrorInvalidHostName, cvErrorSecurityContext or cvErrorOutOfMemory on failure.
cvcore::Status TlsCreateStage(TlsState& tls, const char* host);

// Checks the server's chain and name unless the options trust the site; keeps the
// certificate state for the security information. 0x80042F48 (not trusted), 0x80042AF9
// (no name) or 0x80042F45 on failure.
cvcore::Status TlsVerifyServer(TlsState& tls, const char* host, uint32_t options);

// Drops stage, context and credentials (after the close-notify, a failed connect, a closed
// socket).
void TlsReset(TlsState& tls);

// Fills info (size at least 88); a session without TLS gives zeros apart from the size.
// 0x8004271E on failure.
cvcore::Status TlsGetSecurityInfo(TlsState& tls, SecSessionInfo* info);

}  // namespace cvmail
