// The library-independent parts of a mail session's TLS: credentials, the certificate
// answer, the first token, the server check, close-notify and the security information.
#include "mailtls/mail_tls.h"

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
  if (!tls.received) tls.received.reset(new (std::nothrow) uint8_t[kTlsBufferSize]);
  if (!tls.plain) tls.plain.reset(new (std::nothrow) uint8_t[kTlsBufferSize]);
  if (!tls.received || !tls.plain) return Fail(error, cvErrorOutOfMemory);
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

int32_t TlsSelectClientCertificate(TlsState& tls) {
  if (!tls.context) return 0;
  return SecSelectClientCertificate(tls.store.get(), *tls.context);
}

int32_t TlsStartHandshake(TlsState& tls, const char* host, std::vector<uint8_t>& output, uint32_t* error) {
  const char* name = TargetName(tls, host);
  if (Empty(name)) return Fail(error, cvErrorInvalidHostName);
  if (!tls.credentials && !TlsCreateCredentials(tls, error)) return 0;
  plat::TlsError why = plat::TlsError::None;
  tls.context = plat::TlsContext::Create(tls.credentials, name, why);
  if (!tls.context) return Fail(error, cvErrorSecurityContext);
  tls.receivedCount = 0;
  tls.extra = false;
  tls.plainCount = tls.plainStart = 0;
  size_t consumed = 0;
  const plat::TlsStatus status = tls.context->Step({}, output, consumed);
  tls.lastStatus = uint32_t(status);
  if (status != plat::TlsStatus::ContinueNeeded || output.empty()) return Fail(error, cvErrorSecurityContext);
  return 1;
}

int32_t TlsVerifyServer(TlsState& tls, const char* host, uint32_t options, uint32_t* error) {
  if (!tls.context) return Fail(error, cvErrorSecurityNotInitialized);
  if (const plat::TlsCertificate peer = tls.context->PeerCertificate()) {
    tls.issuer = peer.Issuer();
    tls.subject = peer.Subject();
  }
  if (options & kMailOptionTrustedSite) {
    tls.certificateStatus = 0;
    return 1;
  }
  const char* name = TargetName(tls, host);
  if (Empty(name)) return Fail(error, cvErrorInvalidHostName);
  const plat::TlsVerifyResult result = tls.context->VerifyPeer(name);
  tls.certificateStatus = result.state;
  if (result.policyError != 0) return Fail(error, cvErrorSecurityCertificate);
  return 1;
}

std::vector<uint8_t> TlsShutdown(TlsState& tls) {
  std::vector<uint8_t> notify;
  if (tls.context && tls.context->HandshakeDone()) tls.context->Shutdown(notify);
  tls.context.reset();
  tls.credentials.reset();
  tls.active = false;
  return notify;
}

void TlsReset(TlsState& tls) {
  tls.context.reset();
  tls.credentials.reset();
  tls.active = false;
  tls.receivedCount = 0;
  tls.extra = false;
  tls.plainCount = tls.plainStart = 0;
}

int32_t TlsGetSecurityInfo(const TlsState& tls, SecSessionInfo* info, uint32_t* error) {
  if (!info || info->size < sizeof(SecSessionInfo)) return Fail(error, cvErrorInvalidParameter);
  std::memset(info, 0, sizeof(SecSessionInfo));
  info->size = sizeof(SecSessionInfo);
  if (!tls.active || !tls.context) return 1;
  SecDescribeConnection(*tls.context, *info);
  info->certificateStatus = tls.certificateStatus;
  info->issuer = const_cast<char*>(tls.issuer.c_str());
  info->subject = const_cast<char*>(tls.subject.c_str());
  return 1;
}

}  // namespace cvmail
