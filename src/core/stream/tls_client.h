#pragma once
// The TLS of a connection from the client's side, around the stage: credentials made from
// the caller's protocol mask and named certificate, the stage for each new connection
// (offering a session to resume), the server certificate check, and the security
// information. A server's socket handle uses the same credentials and stage steps with
// the server role. Steps return 0 or a cv error code: the library decides where the error
// goes and which of its own policies (a skipped check, a tolerated certificate) apply.
#include <cstdint>
#include <memory>
#include <string>

#include "core/stream/tls_stage.h"
#include "core/tls/sec_tls.h"
#include "platform/tls/tls_context.h"
#include "platform/tls/tls_credentials.h"

namespace cvcore {

struct TlsClientOptions {
  plat::TlsRole role = plat::TlsRole::Client;
  uint32_t protocols = 0;  // kTlsProtocol* bits, as plat::TlsCredentialOptions takes them
  bool compatible = false;
  // The caller's credentials record: certStore and certName name the certificate presented.
  const SecCredentials* named = nullptr;
  // A certificate must be presented (a server's): none named fails.
  bool requireCertificate = false;
  // A store named without a certificate is opened all the same, to answer a server's
  // request for a client certificate from it.
  bool storeWithoutName = false;
};

class TlsClient {
 public:
  // The name the server is asked for and checked against: the credentials' server name
  // when set, else the host.
  static const char* TargetName(const SecCredentials* named, const char* host) noexcept;

  // Makes the credentials. 0, or the store's error (cvErrorFileNotFound, ...) or
  // cvErrorSecurityCredentials.
  uint32_t Acquire(const TlsClientOptions& options) noexcept;
  // Uses credentials made before (a server's, shared by its connections).
  void Adopt(std::shared_ptr<plat::TlsCredentials> credentials) noexcept { credentials_ = std::move(credentials); }
  bool HasCredentials() const noexcept { return credentials_ != nullptr; }
  const std::shared_ptr<plat::TlsCredentials>& credentials() const noexcept { return credentials_; }

  // A stage over lower for a connection to target (ignored for a server), offering resume
  // when it is set. 0, or cvErrorSecurityContext (no context), cvErrorOutOfMemory.
  uint32_t CreateStage(ByteStream& lower, const std::string& target, std::unique_ptr<TlsStage>& stage,
                       const plat::TlsSession& resume = {}) const noexcept;
  // The handshake, a server's request for a certificate answered from the store.
  bool Handshake(TlsStage& stage) const noexcept { return stage.Handshake(store_.get()); }

  // Checks the server's certificate chain and name. 0, cvErrorSecurityCertificate (also
  // without a certificate at all when requirePeer; result says how it failed) or
  // cvErrorInvalidHostName (no name).
  static uint32_t Verify(const TlsStage& stage, const char* name, bool requirePeer,
                         plat::TlsVerifyResult& result) noexcept;
  // Fills info with the connection's parameters and the server certificate's issuer
  // (its parts in reverse order when reversedIssuer) and subject, kept in the strings
  // info points to; the certificate status is the library's. False (nothing filled)
  // when the connection has no parameters.
  static bool Describe(const plat::TlsContext& context, SecSessionInfo& info, std::string& issuer, std::string& subject,
                       bool reversedIssuer = false) noexcept;

  // Closes the store of the named certificate (the credentials stay); false when none was open.
  bool CloseStore() noexcept {
    const bool open = store_ != nullptr;
    SecCloseCertStore(store_);
    return open;
  }
  // Forgets the credentials and closes the store.
  void Release() noexcept;

 private:
  std::shared_ptr<plat::TlsCredentials> credentials_;
  SecCertStorePtr store_;  // open while a certificate is named, for requests during handshakes
};

}  // namespace cvcore
