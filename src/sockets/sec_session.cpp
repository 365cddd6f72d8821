// TLS on socket handles: provider, certificates and credentials, handshakes in both roles,
// and the end of a session. The TLS engine works on memory buffers; every byte of I/O is
// this library's (waits, time-outs, cancel).
#include <poll.h>

#include <cstring>

#include "platform/base/tick.h"
#include "platform/net/wsa_errors.h"
#include "sockets/sec_state.h"

namespace cvsock {

namespace {

constexpr size_t kHandshakeBuffer = kInetTransferBufferSize;

RecordPtr TcpConnected(SOCKET handle) {
  RecordPtr r = LookupOwned(handle);
  if (!r) return nullptr;
  if (r->protocol != uint32_t(plat::kIpProtoTcp)) return Fail<RecordPtr>(cvErrorProtocolNotSupported, nullptr);
  if (!r->connected) return Fail<RecordPtr>(cvErrorNotConnected, nullptr);
  return r;
}

// Opens the store of the credentials copy and finds its certificate; empty with 12103.
plat::TlsCertificate CertificateOf(TlsState& t) {
  const SecCredentials* c = t.copy;
  if (!c || !c->certName || !*c->certName) return {};
  if (!SecOpenCertStore(t.store, c, c->certStore)) return {};
  return SecFindCertificate(t.store.get(), c->certName);
}

bool MakeCredentials(InetSocketRecord& r, plat::TlsRole role, bool wantCertificate) {
  if (!SecProviderLoaded()) return Fail(cvErrorSecurityNotInitialized, false);
  TlsState* t = EnsureTls(r);
  if (!t) return Fail(cvErrorOutOfMemory, false);
  plat::TlsCredentialOptions o;
  o.role = role;
  o.protocols = t->protocolMask;
  o.compatible = (r.options.load() & kInetOptionCompatibleTls) != 0;
  if (wantCertificate) {
    o.certificate = CertificateOf(*t);
    if (!o.certificate) return Fail(cvErrorSecurityCredentials, false);
  }
  plat::TlsError e = plat::TlsError::None;
  t->credentials = plat::TlsCredentials::Create(o, e);
  if (!t->credentials) return Fail(cvErrorSecurityCredentials, false);
  return true;
}

}  // namespace

TlsState* EnsureTls(InetSocketRecord& r) noexcept {
  if (!r.tls) r.tls = new (std::nothrow) TlsState();
  return r.tls;
}

bool TlsActive(const InetSocketRecord& r) noexcept {
  return r.tls && r.tls->context && (r.options.load() & kInetOptionSecure);
}

bool TlsHasHeldInput(const InetSocketRecord& r) noexcept {
  return TlsActive(r) && (!r.tls->held.empty() || r.tls->PlainWaiting() > 0);
}

namespace {

// Works on the record itself: a handle being released has already left the handle table.
bool SendCloseNotify(InetSocketRecord& r) noexcept {
  std::vector<uint8_t> out;
  return r.tls->context->Shutdown(out) && !out.empty() && SendAll(r, out.data(), out.size());
}

}  // namespace

void ReleaseTls(InetSocketRecord& r, bool sendCloseNotify) noexcept {
  if (!r.tls) return;
  // Without the close-notify alert a peer cannot tell the end of a response delimited by
  // the close from a cut connection.
  if (sendCloseNotify && TlsActive(r) && r.tls->context->HandshakeDone()) SendCloseNotify(r);
  delete r.tls;
  r.tls = nullptr;
}

bool SendAll(InetSocketRecord& r, const uint8_t* data, size_t length) noexcept {
  size_t sent = 0;
  while (sent < length) {
    int32_t n = SockSend(r.handle, reinterpret_cast<const char*>(data) + sent, int32_t(length - sent), 0);
    if (n < 0) {
      if (plat::GetLastError() == plat::WSAEWOULDBLOCK) {
        plat::Sleep(100);
        continue;
      }
      FailSocket();
      return false;
    }
    sent += size_t(n);
  }
  r.bytesSent += uint32_t(length);
  r.lastSendTick = plat::GetTickCount();
  return true;
}

int32_t ReceiveSome(InetSocketRecord& r, uint8_t* buffer, size_t room, uint32_t timeoutMs) noexcept {
  WaitReady ready;
  if (WaitSocket(r, POLLIN, timeoutMs, kInetStateReading, &ready) != WaitResult::Ready) return -1;
  if (ready.except && !ready.read) {
    int32_t err = PendingError(r.handle);
    return Fail(kCvErrorBase | uint32_t(err > 0 ? err : int32_t(plat::WSAENETDOWN)));
  }
  int32_t n = SockRecv(r.handle, reinterpret_cast<char*>(buffer), int32_t(room), 0);
  if (n < 0) return FailSocket();
  if (n > 0) {
    r.bytesReceived += uint32_t(n);
    r.lastReceiveTick = plat::GetTickCount();
  }
  return n;
}

bool RunHandshake(InetSocketRecord& r, bool clientFirstStep) noexcept {
  TlsState& t = *r.tls;
  const bool client = t.context->role() == plat::TlsRole::Client;
  const uint32_t timeoutMs = (r.timeout.load() ? r.timeout.load() : kInetDefaultTimeout) * 1000u;
  std::vector<uint8_t>& in = t.held;
  std::vector<uint8_t> out;
  std::vector<uint8_t> chunk(kHandshakeBuffer);
  plat::TlsStatus status = plat::TlsStatus::ContinueNeeded;
  bool needInput = !clientFirstStep && in.empty();
  for (;;) {
    if (needInput) {
      if (in.size() >= kHandshakeBuffer) return Fail(cvErrorSecurityContext, false);
      int32_t n = ReceiveSome(r, chunk.data(), kHandshakeBuffer - in.size(), timeoutMs);
      if (n == 0) return Fail(cvErrorSecurityContext, false);
      if (n < 0) return false;
      in.insert(in.end(), chunk.begin(), chunk.begin() + n);
    }
    out.clear();
    size_t consumed = 0;
    status = t.context->Step(in, out, consumed);
    if (!out.empty() && !SendAll(r, out.data(), out.size())) return false;
    in.erase(in.begin(), in.begin() + std::ptrdiff_t(std::min(consumed, in.size())));
    switch (status) {
      case plat::TlsStatus::Ok:
        t.sizes = t.context->StreamSizes();
        return true;
      case plat::TlsStatus::IncompleteMessage: needInput = true; break;
      case plat::TlsStatus::ContinueNeeded: needInput = in.empty(); break;
      case plat::TlsStatus::IncompleteCredentials:
        if (client) SecSelectClientCertificate(t.store.get(), *t.context);
        needInput = false;
        break;
      default: return Fail(client ? cvErrorSecurityContext : cvErrorSecurityContext, false);
    }
  }
}

}  // namespace cvsock

using namespace cvsock;

int32_t SecLoadServerProvider() {
  if (InetIsInitialized() == 0) return 0;
  if (OsMajorVersion() < 5) return Fail(cvErrorInvalidVersion, 0);
  if (!SecLoadProvider()) return Fail(cvErrorSecurityNotInitialized, 0);
  return 1;
}

int32_t SecCheckCertificate(const char* store, const char* password, const char* name) {
  if (!SecLoadServerProvider()) return 0;
  if (!name || !*name) return Fail(cvErrorInvalidParameter, 0);
  SecCredentials c{};
  c.headSize = 64;
  c.certPassword = const_cast<char*>(password);
  SecCertStorePtr opened;
  if (!SecOpenCertStore(opened, &c, store && *store ? store : "MY")) {
    const uint32_t err = plat::GetLastError();
    return Fail(err == cvErrorSecurityCredentials ? cvErrorSecurityCertificate : err, 0);
  }
  if (!SecFindCertificate(opened.get(), name)) return Fail(cvErrorSecurityCertificate, 0);
  return 1;
}

int32_t SecBuildCredentials(uint32_t protocol, uint32_t location, const char* user, const char* password,
                            const char* store, const char* name, SecCredentials** out) {
  if (!out) return Fail(cvErrorInvalidParameter, 0);
  SecFreeCredentials(out);
  if (name && *name && !SecCheckCertificate(store, password, name)) return 0;
  if (!SecCreateCredentials(protocol, user, password, store, name, out)) return Fail(plat::GetLastError(), 0);
  (*out)->storeLocation = location;
  return 1;
}

int32_t SecStartSession(SOCKET handle, uint32_t role, SecCredentials* credentials) {
  RecordPtr r = TcpConnected(handle);
  if (!r) return -1;
  if (role == kSecRoleByHandle) role = r->outgoing ? kSecRoleClient : kSecRoleServer;
  if (!SecLoadServerProvider()) return -1;
  SecCredentials zero{};
  zero.headSize = 64;
  SecCredentials* given = credentials ? credentials : &zero;
  if (given->protocolMask == 0) given->protocolMask = plat::kTlsProtocolTls12;
  // A server presents the same certificate on every connection: its credentials are built
  // once and shared, as long as the store stays as it was.
  std::string cacheKey;
  std::shared_ptr<plat::TlsCredentials> cached;
  if (role == kSecRoleServer) {
    cacheKey = ServerCredentialsKey(*given, (r->options.load() & kInetOptionCompatibleTls) != 0);
    cached = FindServerCredentials(cacheKey);
  }
  if (!cached && given->certName && *given->certName &&
      !SecCheckCertificate(given->certStore, given->certPassword, given->certName))
    return -1;

  TlsState* t = EnsureTls(*r);
  if (!t) return Fail(cvErrorOutOfMemory);
  r->options.fetch_or(kInetOptionSecure);
  t->protocolMask = given->protocolMask;
  SecFreeCredentials(&t->copy);
  t->copy = SecCopyCredentials(given);
  if (!t->copy) return Fail(cvErrorOutOfMemory);
  t->copy->storeLocation = given->storeLocation;
  InetSetNotifyWindow(handle, nullptr, 0);

  bool ok;
  if (role == kSecRoleClient)
    ok = SecCreateClientCredentials(handle) && SecClientHandshake(handle) && SecVerifyServerCertificate(handle);
  else if (cached)
    t->credentials = std::move(cached), ok = SecServerHandshake(handle);
  else if ((ok = SecCreateServerCredentials(handle)))
    KeepServerCredentials(cacheKey, t->credentials), ok = SecServerHandshake(handle);
  const uint32_t error = ok ? 0 : InetGetLastError();
  InetSetLastError(error);
  if (error == 0 || error == cvErrorSecurityCertificate) return 0;
  // A connection whose handshake failed cannot carry TLS records: leave it plain.
  r->options.fetch_and(~kInetOptionSecure);
  ReleaseTls(*r, false);
  InetSetLastError(error);
  return -1;
}

int32_t SecCreateServerCredentials(SOCKET handle) {
  RecordPtr r = LookupOwned(handle);
  if (!r) return 0;
  return MakeCredentials(*r, plat::TlsRole::Server, true) ? 1 : 0;
}

int32_t SecCreateClientCredentials(SOCKET handle) {
  RecordPtr r = LookupOwned(handle);
  if (!r) return 0;
  const bool named = r->tls && r->tls->copy && r->tls->copy->certName && *r->tls->copy->certName;
  return MakeCredentials(*r, plat::TlsRole::Client, named) ? 1 : 0;
}

int32_t SecServerHandshake(SOCKET handle) {
  RecordPtr r = LookupOwned(handle);
  if (!r) return 0;
  TlsState* t = r->tls;
  if (!t || !t->credentials) return Fail(cvErrorSecurityNotInitialized, 0);
  plat::TlsError e = plat::TlsError::None;
  t->context = plat::TlsContext::Create(t->credentials, "", e);
  if (!t->context) return Fail(cvErrorSecurityCredentials, 0);
  return RunHandshake(*r, false) ? 1 : 0;
}

int32_t SecClientHandshake(SOCKET handle) {
  RecordPtr r = LookupOwned(handle);
  if (!r) return 0;
  if (!r->hostName[0]) return Fail(cvErrorInvalidHostName, 0);
  TlsState* t = r->tls;
  if (!t || !t->credentials) return Fail(cvErrorSecurityNotInitialized, 0);
  plat::TlsError e = plat::TlsError::None;
  t->context = plat::TlsContext::Create(t->credentials, r->hostName, e);
  if (!t->context) return Fail(cvErrorSecurityNotInitialized, 0);
  return RunHandshake(*r, true) ? 1 : 0;
}

int32_t SecVerifyServerCertificate(SOCKET handle) {
  RecordPtr r = LookupOwned(handle);
  if (!r) return 0;
  TlsState* t = r->tls;
  if (!t || !t->context) return Fail(cvErrorSecurityCertificate, 0);
  if (r->options.load() & kInetOptionNoCertCheck) {
    t->certificateStatus = 0;
    return 1;
  }
  if (!t->context->PeerCertificate()) return Fail(cvErrorSecurityCertificate, 0);
  if (!r->hostName[0]) return Fail(cvErrorInvalidHostName, 0);
  plat::TlsVerifyResult v = t->context->VerifyPeer(r->hostName);
  t->certificateStatus = v.policyError;
  if (v.policyError == 0) return 1;
  return Fail(cvErrorSecurityCertificate, 0);
}

int32_t SecShutdownSession(SOCKET handle) {
  RecordPtr r = FindRecord(handle);
  if (!r || !r->tls || !r->tls->context) return 0;
  const int32_t sent = SendCloseNotify(*r) ? 1 : 0;
  SecCloseCertStore(r->tls->store);
  return sent;
}

void SecDeleteContext(SOCKET handle) {
  RecordPtr r = FindRecord(handle);
  if (!r || !r->tls) return;
  r->tls->context.reset();
  r->tls->credentials.reset();
}

int32_t SecCloseHandleStore(SOCKET handle) {
  RecordPtr r = FindRecord(handle);
  if (!r || !r->tls || !r->tls->store) return 0;
  SecCloseCertStore(r->tls->store);
  return 1;
}

uint32_t SecGetCertificateStatus(SOCKET handle) {
  RecordPtr r = FindRecord(handle);
  return r && r->tls ? r->tls->certificateStatus : 0;
}

int32_t SecEndSession(SOCKET handle, uint32_t abrupt) {
  if (!SecProviderLoaded()) return Fail(cvErrorSecurityNotInitialized);
  RecordPtr r = TcpConnected(handle);
  if (!r) return -1;
  if (abrupt) {
    r->options.fetch_and(~kInetOptionSecure);
    ReleaseTls(*r, false);
    return 0;
  }
  if (TlsActive(*r)) {
    SecShutdownSession(handle);
    r->options.fetch_and(~kInetOptionSecure);
    ReleaseTls(*r, false);
  }
  return 0;
}
