#pragma once
// The TLS calls a mail library offers on a session handle, written once over the library's
// TlsStream traits and its per-call session scope (Operation: constructed from the handle,
// false when the handle is no session of the caller, dereferences to the session).
//
// Besides the TlsStream traits, Traits gives:
//   static const char* Host(Session&);       // the server name the certificate must match
//   static uint32_t Options(Session&);       // the session options (trusted site)
//   static cvcore::Status TakeFailure(Session&);  // the failure the stream kept, as an outcome
//   static void Publish(Session&);           // a kept failure to the library's last error
#include <cstdint>

#include "core/errors/error_codes.h"
#include "core/errors/status.h"
#include "core/frame/lib_types.h"
#include "mail/common/mail_tls_stream.h"

namespace cvmail {

template <typename Traits, typename Operation>
class TlsCalls {
 public:
  using Session = typename Traits::Session;
  using Stream = TlsStream<Traits>;

  // Handshake and server check while connecting; an untrusted certificate is accepted
  // (its state is kept for the security information).
  static cvcore::Status Start(Session& s) noexcept {
    if (!Stream::Handshake(s, Traits::Host(s))) return Traits::TakeFailure(s);
    if (const cvcore::Status verified = TlsVerifyServer(Traits::Tls(s), Traits::Host(s), Traits::Options(s));
        !verified.ok() && verified.error() != cvErrorSecurityCertificate)
      return verified;
    Traits::Tls(s).active = true;
    return {};
  }

  static int32_t CreateCredentials(LibHandle handle) noexcept {
    Operation op(handle);
    Session* s = Checked(op);
    if (!s) return 0;
    TlsState& tls = Traits::Tls(*s);
    cvcore::Status prepared;
    if (!tls.secCredentials) prepared = TlsPrepare(tls, nullptr);
    if (prepared.ok()) prepared = TlsCreateCredentials(tls);
    return Traits::Library().Finish(prepared, 1, 0);
  }

  static int32_t Handshake(LibHandle handle) noexcept {
    Operation op(handle);
    Session* s = Checked(op);
    if (!s) return 0;
    return Published(*s, Stream::Handshake(*s, Traits::Host(*s)));
  }

  static int32_t VerifyServer(LibHandle handle) noexcept {
    Operation op(handle);
    Session* s = Checked(op);
    if (!s) return 0;
    return Traits::Library().Finish(TlsVerifyServer(Traits::Tls(*s), Traits::Host(*s), Traits::Options(*s)), 1, 0);
  }

  static int32_t Shutdown(LibHandle handle) noexcept {
    Operation op(handle);
    Session* s = Checked(op);
    if (!s) return 0;
    return Published(*s, Stream::Shutdown(*s));
  }

  static int32_t HandshakeLoop(LibHandle handle, int32_t readFirst) noexcept {
    Operation op(handle);
    Session* s = Checked(op);
    if (!s) return 0;
    return Published(*s, Stream::HandshakeLoop(*s, readFirst != 0));
  }

  static int32_t Receive(LibHandle handle, char* buffer, int32_t size) noexcept {
    Operation op(handle);
    Session* s = Checked(op);
    if (!s) return -1;
    if (!buffer || size < 0) return Refuse(cvErrorInvalidParameter, -1);
    return Published(*s, Stream::Receive(*s, buffer, uint32_t(size)));
  }

  static int32_t Send(LibHandle handle, const char* data, int32_t length) noexcept {
    Operation op(handle);
    Session* s = Checked(op);
    if (!s) return -1;
    if (!data || length < 0) return Refuse(cvErrorInvalidParameter, -1);
    return Published(*s, Stream::Send(*s, data, uint32_t(length)));
  }

  // 0, or -1 with the error (this one needs no loaded provider: a plain session answers zeros).
  static int32_t SecurityInfo(LibHandle handle, SecSessionInfo* info) noexcept {
    Operation op(handle);
    if (!op) return -1;
    return Traits::Library().Finish(TlsGetSecurityInfo(Traits::Tls(*op), info), 0, -1);
  }

 private:
  // An entry point refused before it starts: code becomes the last error.
  template <typename T>
  static T Refuse(uint32_t code, T result) noexcept {
    return Traits::Library().Finish(cvcore::Status(code), result, result);
  }
  // A stream call's result, its failure (if one was kept) made the last error.
  static int32_t Published(Session& s, int32_t result) noexcept {
    if (result <= 0) Traits::Publish(s);
    return result;
  }

  // The session of the call when the TLS provider is loaded.
  static Session* Checked(Operation& op) noexcept {
    if (!op) return nullptr;
    if (!SecProviderLoaded()) return Refuse(cvErrorSecurityNotInitialized, static_cast<Session*>(nullptr));
    return &*op;
  }
};

}  // namespace cvmail
