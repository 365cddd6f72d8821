// Negotiated parameters in the codes the libraries report.
#include <openssl/evp.h>
#include <openssl/ssl.h>

#include "platform/tls/tls_context.h"
#include "platform/tls/tls_internal.h"

namespace plat {
namespace {

uint32_t ProtocolCode(int version) {
  switch (version) {
    case SSL3_VERSION: return kTlsProtocolSsl3;
    case TLS1_VERSION: return kTlsProtocolTls10;
    case TLS1_1_VERSION: return kTlsProtocolTls11;
    case TLS1_2_VERSION: return kTlsProtocolTls12;
    default: return kTlsOther;
  }
}

uint32_t CipherCode(int nid) {
  switch (nid) {
    case NID_rc2_cbc: case NID_rc2_40_cbc: case NID_rc2_64_cbc: return kTlsCipherRc2;
    case NID_rc4: case NID_rc4_40: case NID_rc4_hmac_md5: return kTlsCipherRc4;
    case NID_rc5_cbc: return kTlsCipherRc5;
    case NID_des_cbc: return kTlsCipherDes;
    case NID_des_ede3_cbc: case NID_des_ede_cbc: return kTlsCipherTripleDes;
    case NID_desx_cbc: return kTlsCipherDesx;
    case NID_bf_cbc: return kTlsCipherBlowfish;
    case NID_aes_128_cbc: case NID_aes_192_cbc: case NID_aes_256_cbc:
    case NID_aes_128_gcm: case NID_aes_256_gcm: case NID_aes_128_ccm: case NID_aes_256_ccm:
    case NID_aes_128_cbc_hmac_sha1: case NID_aes_256_cbc_hmac_sha1:
    case NID_aes_128_cbc_hmac_sha256: case NID_aes_256_cbc_hmac_sha256:
      return kTlsCipherAes;
    default: return kTlsOther;
  }
}

uint32_t HashCode(int nid) {
  switch (nid) {
    case NID_md5: return kTlsHashMd5;
    case NID_sha1: return kTlsHashSha1;
    case NID_sha256: return kTlsHashSha256;
    case NID_sha384: return kTlsHashSha384;
    case NID_sha512: return kTlsHashSha512;
    default: return kTlsOther;
  }
}

uint32_t ExchangeCode(int nid) {
  switch (nid) {
    case NID_kx_rsa: case NID_kx_rsa_psk: return kTlsExchangeRsa;
    case NID_kx_dhe: case NID_kx_dhe_psk: return kTlsExchangeDh;
    case NID_kx_ecdhe: case NID_kx_ecdhe_psk: return kTlsExchangeEcdh;
    default: return kTlsOther;
  }
}

}  // namespace

uint32_t TlsCertStateFromPolicyError(uint32_t policyError) noexcept {
  switch (policyError) {
    case 0: return kTlsCertValid;
    case CERT_E_CN_NO_MATCH: return kTlsCertNameMismatch;
    case CERT_E_EXPIRED: return kTlsCertExpired;
    case CERT_E_REVOKED: return kTlsCertRevoked;
    case CERT_E_UNTRUSTEDROOT: case CERT_E_UNTRUSTEDTESTROOT:
    case TRUST_E_EXPLICIT_DISTRUST: case CERT_E_UNTRUSTEDCA:
      return kTlsCertUntrusted;
    default: return kTlsCertInvalid;
  }
}

bool TlsContext::ConnectionInfo(TlsConnectionInfo& info) const {
  info = TlsConnectionInfo{};
  const SSL_CIPHER* cipher = SSL_get_current_cipher(ssl_);
  if (cipher == nullptr || !HandshakeDone()) return false;
  info.protocol = ProtocolCode(SSL_version(ssl_));
  info.cipher = CipherCode(SSL_CIPHER_get_cipher_nid(cipher));
  info.cipherStrength = uint32_t(SSL_CIPHER_get_bits(cipher, nullptr));
  // AEAD suites have no record MAC: report the handshake's hash instead.
  const EVP_MD* md = EVP_get_digestbynid(SSL_CIPHER_get_digest_nid(cipher));
  if (md == nullptr) md = SSL_CIPHER_get_handshake_digest(cipher);
  if (md != nullptr) {
    info.hash = HashCode(EVP_MD_get_type(md));
    info.hashStrength = uint32_t(EVP_MD_get_size(md)) * 8;
  } else {
    info.hash = kTlsOther;
  }
  info.exchange = ExchangeCode(SSL_CIPHER_get_kx_nid(cipher));
  EVP_PKEY* key = nullptr;
  if (info.exchange == kTlsExchangeRsa) {
    X509* peer = role() == TlsRole::Client ? SSL_get0_peer_certificate(ssl_) : SSL_get_certificate(ssl_);
    if (peer != nullptr) info.exchangeStrength = uint32_t(EVP_PKEY_get_bits(X509_get0_pubkey(peer)));
  } else if (SSL_get_peer_tmp_key(ssl_, &key) == 1) {
    info.exchangeStrength = uint32_t(EVP_PKEY_get_bits(key));
    EVP_PKEY_free(key);
  }
  return true;
}

}  // namespace plat
