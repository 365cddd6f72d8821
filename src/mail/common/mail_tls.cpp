// The library-independent parts of a mail session's TLS: credentials, the stage, the
// server check and the security information.
#include "mail/common/mail_tls.h"

#include <cstring>
#include <new>

#include "core/errors/error_codes.h"

namespace cvmail {

namespace {

bool Empty(const char* s) { return !s || !*s; }

}  // namespace

cvcore::Status TlsPrepare(TlsState& tls, const SecCredentials* credentials) {
  SecCredentials zeroed{};
  zeroed.headSize = sizeof(SecCredentials);
  const SecCredentials* source = credentials ? credentials : &zeroed;
  SecFreeCredentials(&tls.secCredentials);
  tls.secCredentials = SecCopyCredentials(source);
  if (!tls.secCredentials) return cvcore::Status(cvErrorOutOfMemory);
  if (tls.secCredentials->protocolMask == 0) tls.secCredentials->protocolMask = kTlsDefaultProtocol;
  tls.protocolMask = tls.secCredentials->protocolMask;
  return {};
}

cvcore::Status TlsCreateCredentials(TlsState& tls) {
  cvcore::TlsClientOptions options;
  options.protocols = tls.protocolMask ? tls.protocolMask : kTlsDefaultProtocol;
  options.named = tls.secCredentials;
  options.storeWithoutName = true;
  if (tls.client.Acquire(options)) return cvcore::Status(cvErrorSecurityCredentials);
  return {};
}

cvcore::Status TlsCreateStage(TlsState& tls, const char* host) {
  const char* name = cvcore::TlsClient::TargetName(tls.secCredentials, host);
  if (Empty(name)) return cvcore::Status(cvErrorInvalidHostName);
  if (!tls.client.HasCredentials())
    if (const cvcore::Status acquired = TlsCreateCredentials(tls); !acquired.ok()) return acquired;
  std::unique_ptr<cvcore::TlsStage> stage;
  if (const uint32_t code = tls.client.CreateStage(tls.socket(), name, stage)) return cvcore::Status(code);
  tls.stage = std::move(stage);
  return {};
}

cvcore::Status TlsVerifyServer(TlsState& tls, const char* host, uint32_t options) {
  if (!tls.stage) return cvcore::Status(cvErrorSecurityNotInitialized);
  if (options & kMailOptionTrustedSite) {
    tls.certificateStatus = 0;
    return {};
  }
  plat::TlsVerifyResult result;
  const uint32_t code =
      cvcore::TlsClient::Verify(*tls.stage, cvcore::TlsClient::TargetName(tls.secCredentials, host), false, result);
  if (code != cvErrorInvalidHostName) tls.certificateStatus = result.state;
  return cvcore::Status(code);
}

void TlsReset(TlsState& tls) {
  tls.stage.reset();
  tls.client.Release();
  tls.active = false;
}

cvcore::Status TlsGetSecurityInfo(TlsState& tls, SecSessionInfo* info) {
  if (!info || info->size < sizeof(SecSessionInfo)) return cvcore::Status(cvErrorInvalidParameter);
  std::memset(info, 0, sizeof(SecSessionInfo));
  info->size = sizeof(SecSessionInfo);
  if (!tls.active || !tls.stage) return {};
  cvcore::TlsClient::Describe(tls.stage->context(), *info, tls.issuer, tls.subject);
  info->certificateStatus = tls.certificateStatus;
  return {};
}

}  // namespace cvmail
