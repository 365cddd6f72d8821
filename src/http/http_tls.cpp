// The TLS connection of a session over the shared TLS stage: credentials from the
// session's protocol mask, the handshake over the session's socket with its waits, the
// server certificate check, and the stage the connection's byte I/O then goes through.
#include <cstring>
#include <memory>
#include <string>

#include "core/tls/sec_tls.h"
#include "http/http_internal.h"
#include "http/http_streams.h"
#include "platform/tls/tls_context.h"
#include "platform/tls/tls_credentials.h"

namespace cvhttp {

namespace {

const char* TargetName(const HttpClientSession& s) noexcept {
  return (s.credentials && s.credentials->serverName && *s.credentials->serverName) ? s.credentials->serverName
                                                                                    : s.host;
}

}  // namespace

bool ConnectionSocket::Wait(short events) noexcept { return WaitSocket(s_, events, WaitMs(s_)); }

void ConnectionSocket::Fail(uint32_t error) noexcept { cvhttp::Fail(error); }

void ConnectionSocket::FailSocket(bool) noexcept { TakePlatformError(); }

cvcore::ByteStream& ConnectionStream(HttpClientSession& s) noexcept {
  HttpStreams& t = *s.streams;
  if (t.stage) return *t.stage;
  return t.socket;
}

int32_t TlsCreateCredentials(HttpClientSession& s) noexcept {
  HttpStreams& t = *s.streams;
  plat::TlsCredentialOptions options;
  options.role = plat::TlsRole::Client;
  options.protocols = s.tlsProtocolMask ? s.tlsProtocolMask : kDefaultTlsMask;
  options.compatible = (s.options & kOptTlsCredentials) != 0;
  const SecCredentials* named = s.credentials;
  if (named && !Empty(named->certName)) {
    if (!SecOpenCertStore(t.store, named, named->certStore)) return Fail(TakePlatformError());
    options.certificate = SecFindCertificate(t.store.get(), named->certName);
    if (!options.certificate) return Fail(cvErrorSecurityCredentials);
  }
  plat::TlsError error = plat::TlsError::None;
  t.credentials = plat::TlsCredentials::Create(options, error);
  if (!t.credentials) return Fail(cvErrorSecurityCredentials);
  return 0;
}

int32_t TlsHandshake(HttpClientSession& s) noexcept {
  HttpStreams& t = *s.streams;
  if (!t.credentials && TlsCreateCredentials(s) == -1) return -1;
  t.stage.reset();
  plat::TlsError error = plat::TlsError::None;
  std::unique_ptr<plat::TlsContext> context = plat::TlsContext::Create(t.credentials, TargetName(s), error);
  if (!context) return Fail(cvErrorSecurityContext);
  std::unique_ptr<cvcore::TlsStage> stage(new (std::nothrow) cvcore::TlsStage(t.socket, std::move(context)));
  if (!stage) return Fail(cvErrorOutOfMemory);
  // Whatever was buffered before the handshake belongs to it.
  if (s.inputStart < s.inputEnd) {
    if (!stage->Prime(s.input + s.inputStart, s.inputEnd - s.inputStart)) return -1;
    s.inputStart = s.inputEnd = 0;
  }
  if (!stage->Handshake(t.store.get())) {
    if (stage->ended()) {
      // A server that closes in the middle of the handshake is a closed connection here.
      s.serverClosed = 1;
      Fail(cvErrorConnectionClosed);
    }
    s.lastSecurityStatus = stage->lastStatus();
    return -1;
  }
  t.stage = std::move(stage);
  return 0;
}

int32_t TlsVerifyServer(HttpClientSession& s) noexcept {
  const cvcore::TlsStage* stage = s.streams->stage.get();
  if (!stage) return Fail(cvErrorSecurityContext);
  if (s.options & kOptNoCertCheck) {
    s.certificateStatus = 0;  // not checked: reported as valid
    return 0;
  }
  const plat::TlsVerifyResult result = stage->context().VerifyPeer(TargetName(s));
  s.certificateStatus = result.state;
  if (result.policyError != 0) return Fail(cvErrorSecurityCertificate);
  return 0;
}

int32_t TlsSend(HttpClientSession& s, const char* data, uint32_t length) noexcept {
  cvcore::TlsStage* stage = s.streams->stage.get();
  if (!stage) return Fail(cvErrorSecurityEncryption);
  return cvcore::SendAll(*stage, data, length, cvcore::StreamOrder::WaitFirst) ? int32_t(length) : -1;
}

int32_t TlsRecv(HttpClientSession& s, char* buffer, uint32_t length) noexcept {
  cvcore::TlsStage* stage = s.streams->stage.get();
  if (!stage) return Fail(cvErrorSecurityDecryption);
  return cvcore::ReceiveSome(*stage, buffer, length, cvcore::StreamOrder::TryFirst);
}

void TlsShutdown(HttpClientSession& s) noexcept {
  if (!s.streams) return;
  std::unique_ptr<cvcore::TlsStage>& stage = s.streams->stage;
  if (stage && s.header.controlSocket != INVALID_SOCKET) {
    // One attempt: a peer that no longer reads must not hold the close up.
    const uint32_t kept = LastError();
    stage->SendCloseNotify(false);
    Library().SetLastError(kept);
  }
  stage.reset();
}

void TlsRelease(HttpClientSession& s) noexcept {
  if (!s.streams) return;
  HttpStreams& t = *s.streams;
  t.stage.reset();
  t.credentials.reset();
  SecCloseCertStore(t.store);
}

bool TlsActive(const HttpClientSession& s) noexcept { return s.streams && s.streams->stage; }

}  // namespace cvhttp

int32_t HttpGetSecurityInfo(LibHandle handle, SecSessionInfo* info) {
  using namespace cvhttp;
  Operation op(handle);
  if (!op) return 0;
  HttpClientSession& s = *op.session();
  if (!info || info->size < sizeof(SecSessionInfo)) return Fail(cvErrorInvalidParameter), 0;
  std::memset(info, 0, sizeof(SecSessionInfo));  // only what we fill: the size is the caller's claim
  info->size = sizeof(SecSessionInfo);
  if (!SecProviderAttempted()) return 1;
  if (!SecProviderLoaded()) return Fail(cvErrorSecurityNotInitialized), 0;
  if (!(s.options & kOptSecure)) return 1;
  const cvcore::TlsStage* stage = s.streams->stage.get();
  if (!stage || !stage->context().HandshakeDone() || !SecDescribeConnection(stage->context(), *info))
    return Fail(cvErrorSecurityContext), 0;
  // The session keeps the certificate state itself (0 when valid or not checked).
  info->certificateStatus = s.certificateStatus ? s.certificateStatus : plat::kTlsCertValid;
  const plat::TlsCertificate peer = stage->context().PeerCertificate();
  s.streams->issuer = peer ? peer.Issuer(true) : std::string();
  s.streams->subject = peer ? peer.Subject() : std::string();
  info->issuer = s.streams->issuer.data();
  info->subject = s.streams->subject.data();
  return 1;
}
