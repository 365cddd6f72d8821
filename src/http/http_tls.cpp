// The TLS connection of a session over the TLS adapter: credentials from the session's
// protocol mask, the handshake over the session's socket with its waits, the server
// certificate check, and record encryption for the connection's byte I/O.
#include <poll.h>

#include <cstring>
#include <memory>
#include <string>
#include <vector>

#include "core/tls/sec_tls.h"
#include "http/http_internal.h"
#include "platform/tls/tls_context.h"
#include "platform/tls/tls_credentials.h"

struct HttpTlsChannel {
  std::shared_ptr<plat::TlsCredentials> credentials;
  std::unique_ptr<plat::TlsContext> context;
  bool established = false;
  std::vector<uint8_t> received;  // encrypted bytes not yet used
  std::vector<uint8_t> plain;     // decrypted bytes not yet handed out
  size_t plainStart = 0;
  SecCertStorePtr store;          // the client certificate's store, when one is named
  std::string issuer, subject;    // texts of the last security information
};

namespace cvhttp {

namespace {

// Encrypted records are at most 16 KB plus overhead; more unused input than this is not TLS.
constexpr size_t kReceiveLimit = 1u << 20;

HttpTlsChannel& Channel(HttpClientSession& s) {
  if (!s.tls) s.tls = new HttpTlsChannel();
  return *s.tls;
}

bool SendAll(HttpClientSession& s, const std::vector<uint8_t>& bytes) {
  return bytes.empty() || SocketSend(s, reinterpret_cast<const char*>(bytes.data()), uint32_t(bytes.size()));
}

// More encrypted input from the socket; false with the error (12256 when it closed).
bool ReceiveMore(HttpClientSession& s, HttpTlsChannel& c) {
  if (c.received.size() > kReceiveLimit) return Fail(cvErrorSecurityDecryption), false;
  char buffer[16384];
  const int32_t n = SocketRecv(s, buffer, sizeof buffer);
  if (n < 0) return false;
  if (n == 0) {
    s.serverClosed = 1;
    return Fail(cvErrorConnectionClosed), false;
  }
  c.received.insert(c.received.end(), buffer, buffer + n);
  return true;
}

// Runs handshake steps until the handshake is done; false with the error.
bool RunHandshake(HttpClientSession& s, HttpTlsChannel& c) {
  for (;;) {
    std::vector<uint8_t> output;
    size_t consumed = 0;
    const plat::TlsStatus status = c.context->Step(c.received, output, consumed);
    c.received.erase(c.received.begin(), c.received.begin() + std::ptrdiff_t(consumed));
    if (!SendAll(s, output)) return false;
    switch (status) {
      case plat::TlsStatus::Ok:
        return true;
      case plat::TlsStatus::IncompleteCredentials:
        // The server asks for a certificate: one from the session's store whose issuer it
        // accepts, else the handshake goes on without one and the server decides.
        SecSelectClientCertificate(c.store.get(), *c.context);
        continue;
      case plat::TlsStatus::ContinueNeeded:
        if (!output.empty() && consumed != 0) continue;
        if (!ReceiveMore(s, c)) return false;
        continue;
      case plat::TlsStatus::IncompleteMessage:
        if (!ReceiveMore(s, c)) return false;
        continue;
      default:
        s.lastSecurityStatus = uint32_t(c.context->error());
        return Fail(cvErrorSecurityContext), false;
    }
  }
}

}  // namespace

int32_t TlsCreateCredentials(HttpClientSession& s) noexcept {
  HttpTlsChannel& c = Channel(s);
  plat::TlsCredentialOptions options;
  options.role = plat::TlsRole::Client;
  options.protocols = s.tlsProtocolMask ? s.tlsProtocolMask : kDefaultTlsMask;
  options.compatible = (s.options & kOptTlsCredentials) != 0;
  const SecCredentials* named = s.credentials;
  if (named && !Empty(named->certName)) {
    if (!SecOpenCertStore(c.store, named, named->certStore)) return Fail(TakePlatformError());
    options.certificate = SecFindCertificate(c.store.get(), named->certName);
    if (!options.certificate) return Fail(cvErrorSecurityCredentials);
  }
  plat::TlsError error = plat::TlsError::None;
  c.credentials = plat::TlsCredentials::Create(options, error);
  if (!c.credentials) return Fail(cvErrorSecurityCredentials);
  return 0;
}

int32_t TlsHandshake(HttpClientSession& s) noexcept {
  HttpTlsChannel& c = Channel(s);
  if (!c.credentials && TlsCreateCredentials(s) == -1) return -1;
  const char* name = (s.credentials && s.credentials->serverName && *s.credentials->serverName)
                         ? s.credentials->serverName
                         : s.host;
  plat::TlsError error = plat::TlsError::None;
  c.established = false;
  c.received.clear();
  c.plain.clear();
  c.plainStart = 0;
  c.context = plat::TlsContext::Create(c.credentials, name, error);
  if (!c.context) return Fail(cvErrorSecurityContext);
  // Whatever was buffered before the handshake belongs to it.
  if (s.inputStart < s.inputEnd) {
    c.received.assign(s.input + s.inputStart, s.input + s.inputEnd);
    s.inputStart = s.inputEnd = 0;
  }
  if (!RunHandshake(s, c)) return -1;
  c.established = true;
  return 0;
}

int32_t TlsVerifyServer(HttpClientSession& s) noexcept {
  if (!s.tls || !s.tls->context) return Fail(cvErrorSecurityContext);
  const char* name = (s.credentials && s.credentials->serverName && *s.credentials->serverName)
                         ? s.credentials->serverName
                         : s.host;
  if (s.options & kOptNoCertCheck) {
    s.certificateStatus = 0;  // not checked: reported as valid
    return 0;
  }
  const plat::TlsVerifyResult result = s.tls->context->VerifyPeer(name);
  s.certificateStatus = result.state;
  if (result.policyError != 0) return Fail(cvErrorSecurityCertificate);
  return 0;
}

int32_t TlsSend(HttpClientSession& s, const char* data, uint32_t length) noexcept {
  HttpTlsChannel& c = *s.tls;
  const uint32_t most = std::max<uint32_t>(c.context->StreamSizes().maximumMessage, 1024);
  std::vector<uint8_t> record;
  for (uint32_t sent = 0; sent < length;) {
    const uint32_t n = std::min(length - sent, most);
    record.clear();
    if (!c.context->Encrypt({reinterpret_cast<const uint8_t*>(data) + sent, n}, record))
      return Fail(cvErrorSecurityEncryption);
    if (!SendAll(s, record)) return -1;
    sent += n;
  }
  return int32_t(length);
}

int32_t TlsRecv(HttpClientSession& s, char* buffer, uint32_t length) noexcept {
  HttpTlsChannel& c = *s.tls;
  for (;;) {
    if (c.plainStart < c.plain.size()) {
      const size_t n = std::min<size_t>(length, c.plain.size() - c.plainStart);
      std::memcpy(buffer, c.plain.data() + c.plainStart, n);
      c.plainStart += n;
      return int32_t(n);
    }
    c.plain.clear();
    c.plainStart = 0;
    if (!c.received.empty()) {
      const size_t capacity = std::max<size_t>(c.context->StreamSizes().maximumMessage, 16384) + 1024;
      c.plain.resize(capacity);
      size_t plainLength = 0, consumed = 0;
      const plat::TlsStatus status =
          c.context->Decrypt(c.received, c.plain.data(), capacity, plainLength, consumed);
      c.received.erase(c.received.begin(), c.received.begin() + std::ptrdiff_t(consumed));
      c.plain.resize(status == plat::TlsStatus::Ok ? plainLength : 0);
      switch (status) {
        case plat::TlsStatus::Ok:
          continue;
        case plat::TlsStatus::IncompleteMessage:
          break;
        case plat::TlsStatus::ContextExpired:
          return 0;  // close-notify: the end of the data
        case plat::TlsStatus::Renegotiate:
          if (!RunHandshake(s, c)) return -1;
          continue;
        default:
          return Fail(cvErrorSecurityDecryption);
      }
    }
    if (c.received.size() > kReceiveLimit) return Fail(cvErrorSecurityDecryption);
    char raw[16384];
    const int32_t n = SocketRecv(s, raw, sizeof raw);
    if (n < 0) return -1;
    if (n == 0) return 0;  // closed without close-notify: the end of the data
    c.received.insert(c.received.end(), raw, raw + n);
  }
}

void TlsShutdown(HttpClientSession& s) noexcept {
  if (!s.tls || !s.tls->context || !s.tls->established || s.header.controlSocket == INVALID_SOCKET) return;
  std::vector<uint8_t> notify;
  if (s.tls->context->Shutdown(notify) && !notify.empty()) {
    // One attempt: a peer that no longer reads must not hold the close up.
    const uint32_t kept = LastError();
    SockSend(s.header.controlSocket, reinterpret_cast<const char*>(notify.data()), int32_t(notify.size()), 0);
    Library().SetLastError(kept);
  }
  s.tls->established = false;
}

void TlsRelease(HttpClientSession& s) noexcept {
  delete s.tls;
  s.tls = nullptr;
}

bool TlsActive(const HttpClientSession& s) noexcept { return s.tls && s.tls->established; }

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
  if (!s.tls || !s.tls->context || !s.tls->context->HandshakeDone() ||
      !SecDescribeConnection(*s.tls->context, *info))
    return Fail(cvErrorSecurityContext), 0;
  // The session keeps the certificate state itself (0 when valid or not checked).
  info->certificateStatus = s.certificateStatus ? s.certificateStatus : plat::kTlsCertValid;
  const plat::TlsCertificate peer = s.tls->context->PeerCertificate();
  s.tls->issuer = peer ? peer.Issuer(true) : std::string();
  s.tls->subject = peer ? peer.Subject() : std::string();
  info->issuer = s.tls->issuer.data();
  info->subject = s.tls->subject.data();
  return 1;
}
