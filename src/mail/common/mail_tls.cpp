// The library-independent parts of a mail session's TLS: credentials, the stage, the
// server check and the security information.
#include "mail/common/mail_tls.h"

#include <cstring>
#include <new>

#include "core/errors/error_codes.h"

namespace cvmail {

namespace {

int32_t Fail(uint32_t* error, uint32_t code) {
  if (error) *error = code;
  return 0;
}

bool Empty(const char* s) { return !s || !*s; }

}  // namespace

bool TlsPrepare(TlsState& tls, const SecCredentials* credentials, uint32_t* error) {
  SecCredentials zeroed{};
  zeroed.headSize = sizeof(SecCredentials);
  const SecCredentials* source = credentials ? credentials : &zeroed;
  SecFreeCredentials(&tls.secCredentials);
  tls.secCredentials = SecCopyCredentials(source);
  if (!tls.secCredentials) return Fail(error, cvErrorOutOfMemory);
  if (tls.secCredentials->protocolMask == 0) tls.secCredentials->protocolMask = kTlsDefaultProtocol;
  tls.protocolMask = tls.secCredentials->protocolMask;
  return true;
}

int32_t TlsCreateCredentials(TlsState& tls, uint32_t* error) {
  cvcore::TlsClientOptions options;
  options.protocols = tls.protocolMask ? tls.protocolMask : kTlsDefaultProtocol;
  options.named = tls.secCredentials;
  options.storeWithoutName = true;
  if (tls.client.Acquire(options)) return Fail(error, cvErrorSecurityCredentials);
  return 1;
}

int32_t TlsCreateStage(TlsState& tls, const char* host, uint32_t* error) {
  const char* name = cvcore::TlsClient::TargetName(tls.secCredentials, host);
  if (Empty(name)) return Fail(error, cvErrorInvalidHostName);
  if (!tls.client.HasCredentials() && !TlsCreateCredentials(tls, error)) return 0;
  std::unique_ptr<cvcore::TlsStage> stage;
  if (const uint32_t code = tls.client.CreateStage(tls.socket(), name, stage)) return Fail(error, code);
  tls.stage = std::move(stage);
  return 1;
}

int32_t TlsVerifyServer(TlsState& tls, const char* host, uint32_t options, uint32_t* error) {
  if (!tls.stage) return Fail(error, cvErrorSecurityNotInitialized);
  if (options & kMailOptionTrustedSite) {
    tls.certificateStatus = 0;
    return 1;
  }
  plat::TlsVerifyResult result;
  const uint32_t code =
      cvcore::TlsClient::Verify(*tls.stage, cvcore::TlsClient::TargetName(tls.secCredentials, host), false, result);
  if (code != cvErrorInvalidHostName) tls.certificateStatus = result.state;
  return code ? Fail(error, code) : 1;
}

void TlsReset(TlsState& tls) {
  tls.stage.reset();
  tls.client.Release();
  tls.active = false;
}

int32_t TlsGetSecurityInfo(TlsState& tls, SecSessionInfo* info, uint32_t* error) {
  if (!info || info->size < sizeof(SecSessionInfo)) return Fail(error, cvErrorInvalidParameter);
  std::memset(info, 0, sizeof(SecSessionInfo));
  info->size = sizeof(SecSessionInfo);
  if (!tls.active || !tls.stage) return 1;
  cvcore::TlsClient::Describe(tls.stage->context(), *info, tls.issuer, tls.subject);
  info->certificateStatus = tls.certificateStatus;
  return 1;
}

}  // namespace cvmail
