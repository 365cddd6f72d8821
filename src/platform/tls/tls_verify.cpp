// Peer chain validation mapped to the chain-policy errors the libraries report.
#include <openssl/err.h>
#include <openssl/ssl.h>
#include <openssl/x509_vfy.h>
#include <openssl/x509v3.h>

#include <arpa/inet.h>

#include "platform/tls/tls_context.h"
#include "platform/tls/tls_internal.h"

namespace plat {
namespace {

// Every error of the chain, so that the most telling one can be reported.
struct ChainErrors {
  bool expired = false;
  bool revoked = false;
  bool untrusted = false;
  bool other = false;
};

int g_errorsIndex = -1;

int CollectErrors(int ok, X509_STORE_CTX* store) {
  if (ok) return 1;
  auto* errors = static_cast<ChainErrors*>(X509_STORE_CTX_get_ex_data(store, g_errorsIndex));
  switch (X509_STORE_CTX_get_error(store)) {
    case X509_V_ERR_CERT_HAS_EXPIRED:
    case X509_V_ERR_CERT_NOT_YET_VALID:
    case X509_V_ERR_ERROR_IN_CERT_NOT_BEFORE_FIELD:
    case X509_V_ERR_ERROR_IN_CERT_NOT_AFTER_FIELD:
      errors->expired = true;
      break;
    case X509_V_ERR_CERT_REVOKED:
      errors->revoked = true;
      break;
    case X509_V_ERR_DEPTH_ZERO_SELF_SIGNED_CERT:
    case X509_V_ERR_SELF_SIGNED_CERT_IN_CHAIN:
    case X509_V_ERR_UNABLE_TO_GET_ISSUER_CERT:
    case X509_V_ERR_UNABLE_TO_GET_ISSUER_CERT_LOCALLY:
    case X509_V_ERR_UNABLE_TO_VERIFY_LEAF_SIGNATURE:
    case X509_V_ERR_CERT_UNTRUSTED:
    case X509_V_ERR_CERT_REJECTED:
      errors->untrusted = true;
      break;
    // No CRL for an issuer means nothing is known about revocation, not a failure.
    case X509_V_ERR_UNABLE_TO_GET_CRL:
    case X509_V_ERR_CRL_HAS_EXPIRED:
    case X509_V_ERR_CRL_NOT_YET_VALID:
      break;
    default:
      errors->other = true;
      break;
  }
  return 1;
}

bool NameMatches(X509* cert, const std::string& host) {
  unsigned char addr[16];
  if (inet_pton(AF_INET, host.c_str(), addr) == 1 || inet_pton(AF_INET6, host.c_str(), addr) == 1)
    return X509_check_ip_asc(cert, host.c_str(), 0) == 1;
  return X509_check_host(cert, host.data(), host.size(), X509_CHECK_FLAG_NO_PARTIAL_WILDCARDS,
                         nullptr) == 1;
}

}  // namespace

TlsVerifyResult TlsContext::VerifyPeer(const std::string& hostName) const {
  static const int index = X509_STORE_CTX_get_ex_new_index(0, nullptr, nullptr, nullptr, nullptr);
  g_errorsIndex = index;
  TlsVerifyResult result;
  X509* cert = SSL_get0_peer_certificate(ssl_);
  X509_STORE_CTX* store = X509_STORE_CTX_new();
  ChainErrors errors;
  bool built = cert != nullptr && store != nullptr &&
               X509_STORE_CTX_init(store, credentials_->trust(), cert, SSL_get_peer_cert_chain(ssl_)) == 1;
  if (built) {
    X509_STORE_CTX_set_ex_data(store, index, &errors);
    X509_STORE_CTX_set_verify_cb(store, CollectErrors);
    X509_STORE_CTX_set_purpose(store, role() == TlsRole::Client ? X509_PURPOSE_SSL_SERVER
                                                                : X509_PURPOSE_SSL_CLIENT);
    if (credentials_->trustHasCrls()) X509_STORE_CTX_set_flags(store, X509_V_FLAG_CRL_CHECK);
    if (X509_verify_cert(store) < 0) errors.other = true;
  }
  X509_STORE_CTX_free(store);
  ERR_clear_error();
  if (!built) result.policyError = CERT_E_CHAINING;
  else if (errors.expired) result.policyError = CERT_E_EXPIRED;
  else if (errors.revoked) result.policyError = CERT_E_REVOKED;
  else if (errors.untrusted) result.policyError = CERT_E_UNTRUSTEDROOT;
  else if (errors.other) result.policyError = CERT_E_CHAINING;
  else if (!hostName.empty() && !NameMatches(cert, hostName)) result.policyError = CERT_E_CN_NO_MATCH;
  result.state = TlsCertStateFromPolicyError(result.policyError);
  return result;
}

}  // namespace plat
