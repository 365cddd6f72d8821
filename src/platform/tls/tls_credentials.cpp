// Credentials over an SSL_CTX: protocol range, ciphers, certificate and trust.
#include "platform/tls/tls_credentials.h"

#include <openssl/err.h>
#include <openssl/ssl.h>
#include <openssl/x509_vfy.h>

#include "platform/tls/tls_internal.h"

namespace plat {
namespace {

// Forward secrecy and AEAD first; no anonymous, null, export, MD5, RC4 or DES suites.
constexpr const char* kStrongCiphers =
    "ECDHE+AESGCM:ECDHE+CHACHA20:DHE+AESGCM:ECDHE+AES:DHE+AES:AESGCM:AES:"
    "!aNULL:!eNULL:!MD5:!RC4:!DES:!3DES:!PSK:!SRP:!DSS";
constexpr const char* kCompatibleCiphers = "DEFAULT:@SECLEVEL=0";

int VersionOf(uint32_t bit) {
  switch (bit) {
    case kTlsProtocolTls10: return TLS1_VERSION;
    case kTlsProtocolTls11: return TLS1_1_VERSION;
    default: return TLS1_2_VERSION;
  }
}

bool StoreHasCrls(X509_STORE* store) {
  STACK_OF(X509_OBJECT)* objs = X509_STORE_get0_objects(store);
  for (int i = 0; i < sk_X509_OBJECT_num(objs); ++i)
    if (X509_OBJECT_get_type(sk_X509_OBJECT_value(objs, i)) == X509_LU_CRL) return true;
  return false;
}

}  // namespace

namespace {
// A client's hook for a certificate request: the connection owns the answer.
int ClientCertCallback(SSL* ssl, X509** cert, EVP_PKEY** key) {
  return tlsdetail::ClientCertRequested(ssl, cert, key);
}
}  // namespace

bool TlsInitialize() { return OPENSSL_init_ssl(0, nullptr) == 1; }

std::shared_ptr<TlsCredentials> TlsCredentials::Create(const TlsCredentialOptions& options,
                                                       TlsError& error) {
  error = TlsError::Credentials;
  uint32_t mask = options.protocols == 0 ? kTlsProtocolTls12 : options.protocols;
  mask &= kTlsProtocolAnyTls;
  if (mask == 0) return nullptr;
  if (options.compatible) mask |= kTlsProtocolTls10;
  if (options.role == TlsRole::Server && !options.certificate.HasPrivateKey()) return nullptr;

  std::shared_ptr<TlsCredentials> creds(new TlsCredentials());
  creds->role_ = options.role;
  creds->protocols_ = mask;
  SSL_CTX* ctx = SSL_CTX_new(options.role == TlsRole::Server ? TLS_server_method() : TLS_client_method());
  if (ctx == nullptr) return nullptr;
  creds->ctx_ = ctx;

  uint32_t lowest = mask & (~mask + 1);
  uint32_t highest = kTlsProtocolTls12;
  while (!(mask & highest)) highest >>= 1;
  bool ok = SSL_CTX_set_min_proto_version(ctx, VersionOf(lowest)) == 1 &&
            SSL_CTX_set_max_proto_version(ctx, VersionOf(highest)) == 1;
  // A mask with a hole (TLS 1.0 and 1.2 without 1.1) enables the whole range: the library
  // cannot skip a version in the middle (it would cut the range at the hole instead).
  SSL_CTX_set_options(ctx, SSL_OP_IGNORE_UNEXPECTED_EOF | SSL_OP_NO_COMPRESSION);
  // Versions below 1.2 sign with MD5/SHA-1, which only security level 0 allows.
  bool legacy = options.compatible || lowest < kTlsProtocolTls12;
  if (legacy) SSL_CTX_set_security_level(ctx, 0);
  std::string ciphers = options.compatible ? kCompatibleCiphers : kStrongCiphers;
  if (legacy && !options.compatible) ciphers += ":@SECLEVEL=0";
  ok = ok && SSL_CTX_set_cipher_list(ctx, ciphers.c_str()) == 1;
  // Partial writes never happen on memory buffers; moving buffers keep the API simple.
  SSL_CTX_set_mode(ctx, SSL_MODE_ACCEPT_MOVING_WRITE_BUFFER);

  if (options.certificate) {
    ok = ok && SSL_CTX_use_certificate(ctx, options.certificate.native()) == 1;
    if (options.certificate.HasPrivateKey())
      ok = ok && SSL_CTX_use_PrivateKey(ctx, options.certificate.key()) == 1 &&
           SSL_CTX_check_private_key(ctx) == 1;
    for (X509* c : options.certificate.chain()) ok = ok && SSL_CTX_add1_chain_cert(ctx, c) == 1;
  }

  X509_STORE* store = SSL_CTX_get_cert_store(ctx);
  if (ok) {
    X509_STORE_set_default_paths(store);
    ERR_clear_error();
    if (!options.caFile.empty()) ok = X509_STORE_load_file(store, options.caFile.c_str()) == 1;
    creds->hasCrls_ = StoreHasCrls(store);
  }
  if (options.role == TlsRole::Client) {
    SSL_CTX_set_client_cert_cb(ctx, ClientCertCallback);
    SSL_CTX_set_session_cache_mode(ctx, SSL_SESS_CACHE_CLIENT | SSL_SESS_CACHE_NO_INTERNAL_STORE);
  } else {
    static const unsigned char kSessionContext[] = "cv-tls";
    SSL_CTX_set_session_id_context(ctx, kSessionContext, sizeof kSessionContext - 1);
  }
  // Peers are verified afterwards, against the host name the library chooses.
  SSL_CTX_set_verify(ctx, SSL_VERIFY_NONE, nullptr);
  ERR_clear_error();
  if (!ok) return nullptr;
  error = TlsError::None;
  return creds;
}

TlsCredentials::~TlsCredentials() { SSL_CTX_free(ctx_); }

x509_store_st* TlsCredentials::trust() const noexcept { return SSL_CTX_get_cert_store(ctx_); }

}  // namespace plat
