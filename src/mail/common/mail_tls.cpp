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

// The name the server is asked for and checked against.
const char* TargetName(const TlsState& tls, const char* host) {
  if (tls.secCredentials && !Empty(tls.secCredentials->serverName)) return tls.secCredentials->serverName;
  return host;
}

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
  plat::TlsCredentialOptions options;
  options.role = plat::TlsRole::Client;
  options.protocols = tls.protocolMask ? tls.protocolMask : kTlsDefaultProtocol;
  const SecCredentials* c = tls.secCredentials;
  tls.clientCertificate = {};
  if (c && !Empty(c->certName)) {
    if (!SecOpenCertStore(tls.store, c, c->certStore)) return Fail(error, cvErrorSecurityCredentials);
    tls.clientCertificate = SecFindCertificate(tls.store.get(), c->certName);
    if (!tls.clientCertificate) return Fail(error, cvErrorSecurityCredentials);
    options.certificate = tls.clientCertificate;
  } else if (c && !Empty(c->certStore)) {
    // A store without a name: its certificates answer a server's request.
    SecOpenCertStore(tls.store, c, c->certStore);
  }
  plat::TlsError why = plat::TlsError::None;
  tls.credentials = plat::TlsCredentials::Create(options, why);
  if (!tls.credentials) return Fail(error, cvErrorSecurityCredentials);
  return 1;
}

int32_t TlsCreateStage(TlsState& tls, const char* host, uint32_t* error) {
  const char* name = TargetName(tls, host);
  if (Empty(name)) return Fail(error, cvErrorInvalidHostName);
  if (!tls.credentials && !TlsCreateCredentials(tls, error)) return 0;
  plat::TlsError why = plat::TlsError::None;
  std::unique_ptr<plat::TlsContext> context = plat::TlsContext::Create(tls.credentials, name, why);
  if (!context) return Fail(error, cvErrorSecurityContext);
  tls.stage.reset(new (std::nothrow) cvcore::TlsStage(tls.socket(), std::move(context)));
  if (!tls.stage) return Fail(error, cvErrorOutOfMemory);
  return 1;
}

int32_t TlsVerifyServer(TlsState& tls, const char* host, uint32_t options, uint32_t* error) {
  if (!tls.stage) return Fail(error, cvErrorSecurityNotInitialized);
  const plat::TlsContext& context = tls.stage->context();
  if (const plat::TlsCertificate peer = context.PeerCertificate()) {
    tls.issuer = peer.Issuer();
    tls.subject = peer.Subject();
  }
  if (options & kMailOptionTrustedSite) {
    tls.certificateStatus = 0;
    return 1;
  }
  const char* name = TargetName(tls, host);
  if (Empty(name)) return Fail(error, cvErrorInvalidHostName);
  const plat::TlsVerifyResult result = context.VerifyPeer(name);
  tls.certificateStatus = result.state;
  if (result.policyError != 0) return Fail(error, cvErrorSecurityCertificate);
  return 1;
}

void TlsReset(TlsState& tls) {
  tls.stage.reset();
  tls.credentials.reset();
  tls.active = false;
}

int32_t TlsGetSecurityInfo(const TlsState& tls, SecSessionInfo* info, uint32_t* error) {
  if (!info || info->size < sizeof(SecSessionInfo)) return Fail(error, cvErrorInvalidParameter);
  std::memset(info, 0, sizeof(SecSessionInfo));
  info->size = sizeof(SecSessionInfo);
  if (!tls.active || !tls.stage) return 1;
  SecDescribeConnection(tls.stage->context(), *info);
  info->certificateStatus = tls.certificateStatus;
  info->issuer = const_cast<char*>(tls.issuer.c_str());
  info->subject = const_cast<char*>(tls.subject.c_str());
  return 1;
}

}  // namespace cvmail
