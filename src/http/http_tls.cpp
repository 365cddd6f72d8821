// The TLS connection of a session through the shared TLS client: credentials from the
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
  return cvcore::TlsClient::TargetName(s.credentials, s.host);
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
  cvcore::TlsClientOptions options;
  options.protocols = s.tlsProtocolMask ? s.tlsProtocolMask : kDefaultTlsMask;
  options.compatible = (s.options & kOptTlsCredentials) != 0;
  options.named = s.credentials;
  if (const uint32_t error = s.streams->client.Acquire(options)) return Fail(error);
  return 0;
}

int32_t TlsHandshake(HttpClientSession& s) noexcept {
  HttpStreams& t = *s.streams;
  if (!t.client.HasCredentials() && TlsCreateCredentials(s) == -1) return -1;
  t.stage.reset();
  std::unique_ptr<cvcore::TlsStage> stage;
  if (const uint32_t error = t.client.CreateStage(t.socket, TargetName(s), stage)) return Fail(error);
  // Whatever was buffered before the handshake belongs to it.
  if (!s.input.empty()) {
    if (!stage->Prime(s.input.data(), s.input.size())) return -1;
    s.input.Clear();
  }
  if (!t.client.Handshake(*stage)) {
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
  plat::TlsVerifyResult result;
  const uint32_t error = cvcore::TlsClient::Verify(*stage, TargetName(s), false, result);
  s.certificateStatus = result.state;
  return error ? Fail(error) : 0;
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
  t.client.Release();
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
  if (!stage || !stage->context().HandshakeDone() ||
      !cvcore::TlsClient::Describe(stage->context(), *info, s.streams->issuer, s.streams->subject, true))
    return Fail(cvErrorSecurityContext), 0;
  // The session keeps the certificate state itself (0 when valid or not checked).
  info->certificateStatus = s.certificateStatus ? s.certificateStatus : plat::kTlsCertValid;
  return 1;
}
