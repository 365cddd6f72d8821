#pragma once
// Credentials: what a TLS connection may negotiate and which certificate it presents.
// One credentials object serves any number of connections (and keeps the server's
// session cache, so connections made from it can resume each other's sessions).
#include <memory>
#include <string>

#include "platform/tls/tls_certificate.h"
#include "platform/tls/tls_types.h"

struct ssl_ctx_st;
struct x509_store_st;

namespace plat {

struct TlsCredentialOptions {
  TlsRole role = TlsRole::Client;
  // kTlsProtocol* bits; 0 means TLS 1.2. SSL 2 and 3 bits are ignored (not available) and
  // fail when no TLS bit is left. TLS 1.3 has no bit and is never negotiated.
  uint32_t protocols = 0;
  // Compatibility: TLS 1.0 is added to any TLS bit and the strong-crypto cipher list is
  // replaced by the library's full default.
  bool compatible = false;
  // Presented to the peer; required for a server, optional for a client.
  TlsCertificate certificate;
  // Trust anchors (and CRLs) in addition to the default ones (SSL_CERT_FILE / SSL_CERT_DIR).
  std::string caFile;
};

// Initialises the TLS library for the process; false when it cannot be used.
bool TlsInitialize();

class TlsCredentials {
 public:
  // Null with error Credentials when the options cannot be honoured.
  static std::shared_ptr<TlsCredentials> Create(const TlsCredentialOptions& options, TlsError& error);
  ~TlsCredentials();
  TlsCredentials(const TlsCredentials&) = delete;
  TlsCredentials& operator=(const TlsCredentials&) = delete;

  TlsRole role() const noexcept { return role_; }
  uint32_t protocols() const noexcept { return protocols_; }
  ssl_ctx_st* native() const noexcept { return ctx_; }
  x509_store_st* trust() const noexcept;
  bool trustHasCrls() const noexcept { return hasCrls_; }

 private:
  TlsCredentials() = default;
  ssl_ctx_st* ctx_ = nullptr;
  TlsRole role_ = TlsRole::Client;
  uint32_t protocols_ = 0;
  bool hasCrls_ = false;
};

}  // namespace plat
