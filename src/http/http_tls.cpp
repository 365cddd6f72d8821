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

bool ConnectionSocket::Wait(short events) noexcept {
  const Status waited = WaitSocket(s_, events, WaitMs(s_));
  if (!waited.ok()) failure_ = waited;
  return waited.ok();
}

void ConnectionSocket::Fail(uint32_t error) noexcept { failure_ = Status(error); }

void ConnectionSocket::FailSocket(bool) noexcept { failure_ = PlatformError(); }

Status ConnectionSocket::TakeError() noexcept {
  // A stream that gave up without a word still failed.
  const Status failure = failure_.ok() ? Status(cvErrorConnectionClosed) : failure_;
  failure_ = Status();
  return failure;
}

Status StreamError(HttpClientSession& s) noexcept { return s.streams->socket.TakeError(); }

cvcore::ByteStream& ConnectionStream(HttpClientSession& s) noexcept {
  HttpStreams& t = *s.streams;
  if (t.stage) return *t.stage;
  return t.socket;
}

Status TlsCreateCredentials(HttpClientSession& s) noexcept {
  cvcore::TlsClientOptions options;
  options.protocols = s.tlsProtocolMask ? s.tlsProtocolMask : kDefaultTlsMask;
  options.compatible = (s.options & kOptTlsCredentials) != 0;
  options.named = s.credentials;
  return Status(s.streams->client.Acquire(options));
}

Status TlsHandshake(HttpClientSession& s) noexcept {
  HttpStreams& t = *s.streams;
  if (!t.client.HasCredentials()) {
    if (const Status acquired = TlsCreateCredentials(s); !acquired.ok()) return acquired;
  }
  t.stage.reset();
  std::unique_ptr<cvcore::TlsStage> stage;
  if (const uint32_t error = t.client.CreateStage(t.socket, TargetName(s), stage)) return Status(error);
  // Whatever was buffered before the handshake belongs to it.
  if (!s.input.empty()) {
    if (!stage->Prime(s.input.data(), s.input.size())) return StreamError(s);
    s.input.Clear();
  }
  if (!t.client.Handshake(*stage)) {
    Status failure = StreamError(s);
    if (stage->ended()) {
      // A server that closes in the middle of the handshake is a closed connection here.
      s.serverClosed = 1;
      failure = Status(cvErrorConnectionClosed);
    }
    s.lastSecurityStatus = stage->lastStatus();
    return failure;
  }
  t.stage = std::move(stage);
  return {};
}

Status TlsVerifyServer(HttpClientSession& s) noexcept {
  const cvcore::TlsStage* stage = s.streams->stage.get();
  if (!stage) return Status(cvErrorSecurityContext);
  if (s.options & kOptNoCertCheck) {
    s.certificateStatus = 0;  // not checked: reported as valid
    return {};
  }
  plat::TlsVerifyResult result;
  const uint32_t error = cvcore::TlsClient::Verify(*stage, TargetName(s), false, result);
  s.certificateStatus = result.state;
  return Status(error);
}

Status StartTls(HttpClientSession& s) noexcept {
  if (const Status shaken = TlsHandshake(s); !shaken.ok()) return shaken;
  const Status verified = TlsVerifyServer(s);
  if (verified.error() == cvErrorSecurityCertificate) return {};
  return verified;
}

void TlsShutdown(HttpClientSession& s) noexcept {
  if (!s.streams) return;
  std::unique_ptr<cvcore::TlsStage>& stage = s.streams->stage;
  if (stage && s.header.controlSocket != INVALID_SOCKET) {
    // One attempt: a peer that no longer reads must not hold the close up, and a close
    // that fails is no failure of the call that closes.
    if (!stage->SendCloseNotify(false)) static_cast<void>(StreamError(s));
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

namespace {

Status DescribeSecurity(HttpClientSession& s, SecSessionInfo* info) {
  if (!info || info->size < sizeof(SecSessionInfo)) return Status(cvErrorInvalidParameter);
  std::memset(info, 0, sizeof(SecSessionInfo));  // only what we fill: the size is the caller's claim
  info->size = sizeof(SecSessionInfo);
  if (!SecProviderAttempted()) return {};
  if (!SecProviderLoaded()) return Status(cvErrorSecurityNotInitialized);
  if (!(s.options & kOptSecure)) return {};
  const cvcore::TlsStage* stage = s.streams->stage.get();
  if (!stage || !stage->context().HandshakeDone() ||
      !cvcore::TlsClient::Describe(stage->context(), *info, s.streams->issuer, s.streams->subject, true))
    return Status(cvErrorSecurityContext);
  // The session keeps the certificate state itself (0 when valid or not checked).
  info->certificateStatus = s.certificateStatus ? s.certificateStatus : plat::kTlsCertValid;
  return {};
}

}  // namespace
}  // namespace cvhttp

int32_t HttpGetSecurityInfo(LibHandle handle, SecSessionInfo* info) {
  cvhttp::Operation op(handle);
  if (!op) return 0;
  return cvhttp::Finish(cvhttp::DescribeSecurity(*op.session(), info), 1, 0);
}
