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

RecordPtr TcpConnected(SOCKET handle) {
  RecordPtr r = LookupOwned(handle);
  if (!r) return nullptr;
  if (r->protocol != uint32_t(plat::kIpProtoTcp)) return Fail<RecordPtr>(cvErrorProtocolNotSupported, nullptr);
  if (!r->connected) return Fail<RecordPtr>(cvErrorNotConnected, nullptr);
  return r;
}

bool MakeCredentials(InetSocketRecord& r, plat::TlsRole role, bool wantCertificate) {
  if (!SecProviderLoaded()) return Fail(cvErrorSecurityNotInitialized, false);
  TlsState* t = EnsureTls(r);
  if (!t) return Fail(cvErrorOutOfMemory, false);
  cvcore::TlsClientOptions o;
  o.role = role;
  o.protocols = t->protocolMask;
  o.compatible = (r.options.load() & kInetOptionCompatibleTls) != 0;
  o.named = wantCertificate ? t->copy : nullptr;
  o.requireCertificate = wantCertificate;
  if (t->client.Acquire(o)) return Fail(cvErrorSecurityCredentials, false);
  return true;
}

}  // namespace

TlsState* EnsureTls(InetSocketRecord& r) noexcept {
  if (!r.tls) r.tls = new (std::nothrow) TlsState(r);
  return r.tls;
}

bool TlsActive(const InetSocketRecord& r) noexcept {
  return r.tls && r.tls->stage && (r.options.load() & kInetOptionSecure);
}

bool TlsHasHeldInput(const InetSocketRecord& r) noexcept { return TlsActive(r) && r.tls->stage->Buffered(); }

void ReleaseTls(InetSocketRecord& r, bool sendCloseNotify) noexcept {
  if (!r.tls) return;
  // Without the close-notify alert a peer cannot tell the end of a response delimited by
  // the close from a cut connection. The stage works on the record itself: a handle being
  // released has already left the handle table.
  if (sendCloseNotify && TlsActive(r) && r.tls->stage->established()) r.tls->stage->SendCloseNotify(true);
  delete r.tls;
  r.tls = nullptr;
}

uint32_t HandleSocket::WaitMs() const noexcept {
  const uint32_t seconds = r_.timeout.load();
  // A handshake is bounded even on a handle without a time-out.
  if (handshaking_) return (seconds ? seconds : kInetDefaultTimeout) * 1000u;
  return TimeoutMs(seconds);
}

bool HandleSocket::Wait(short events) noexcept {
  const uint32_t state = (events & POLLIN) ? kInetStateReading : kInetStateWriting;
  return WaitSocket(r_, events, WaitMs(), state, nullptr) == WaitResult::Ready;
}

int32_t HandleSocket::Receive(void* buffer, uint32_t length) noexcept {
  WaitReady ready;
  if (WaitSocket(r_, POLLIN, WaitMs(), kInetStateReading, &ready) != WaitResult::Ready) return -1;
  if (ready.except && !ready.read) {
    int32_t err = PendingError(r_.handle);
    return cvsock::Fail(kCvErrorBase | uint32_t(err > 0 ? err : int32_t(plat::WSAENETDOWN)));
  }
  const int32_t n = SocketStream::Receive(buffer, length);
  if (n > 0) {
    r_.bytesReceived += uint32_t(n);
    r_.lastReceiveTick = plat::GetTickCount();
  } else if (n == 0) {
    r_.closed.store(1);  // closed without close-notify: an end like any other
  }
  return n;
}

int32_t HandleSocket::Send(const void* data, uint32_t length) noexcept {
  if (!Wait(POLLOUT)) return -1;
  const int32_t n = SocketStream::Send(data, length);
  if (n > 0) {
    r_.bytesSent += uint32_t(n);
    r_.lastSendTick = plat::GetTickCount();
  }
  return n;
}

void HandleSocket::Fail(uint32_t error) noexcept { cvsock::Fail(error); }

void HandleSocket::FailSocket(bool receiving) noexcept {
  cvsock::FailSocket();
  const uint32_t err = cvcore::ErrorNumber(InetGetLastError());
  if (receiving && (err == plat::WSAECONNRESET || err == plat::WSAECONNABORTED)) r_.closed.store(1);
}

bool RunHandshake(InetSocketRecord& r, const std::string& targetName) noexcept {
  TlsState& t = *r.tls;
  const bool client = t.client.credentials()->role() == plat::TlsRole::Client;
  std::unique_ptr<cvcore::TlsStage> stage;
  if (const uint32_t e = t.client.CreateStage(t.socket, targetName, stage)) {
    if (e == cvErrorOutOfMemory) return t.stage.reset(), Fail(e, false);
    return Fail(client ? cvErrorSecurityNotInitialized : cvErrorSecurityCredentials, false);
  }
  t.stage = std::move(stage);
  t.socket.handshaking_ = true;
  const bool done = t.client.Handshake(*t.stage);
  t.socket.handshaking_ = false;
  return done;
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
  if (role == kSecRoleClient) {
    ok = SecCreateClientCredentials(handle) && SecClientHandshake(handle) && SecVerifyServerCertificate(handle);
  } else if (cached) {
    t->client.Adopt(std::move(cached));
    ok = SecServerHandshake(handle);
  } else if ((ok = SecCreateServerCredentials(handle))) {
    KeepServerCredentials(cacheKey, t->client.credentials());
    ok = SecServerHandshake(handle);
  }
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
  if (!t || !t->client.HasCredentials()) return Fail(cvErrorSecurityNotInitialized, 0);
  return RunHandshake(*r, "") ? 1 : 0;
}

int32_t SecClientHandshake(SOCKET handle) {
  RecordPtr r = LookupOwned(handle);
  if (!r) return 0;
  if (!r->hostName[0]) return Fail(cvErrorInvalidHostName, 0);
  TlsState* t = r->tls;
  if (!t || !t->client.HasCredentials()) return Fail(cvErrorSecurityNotInitialized, 0);
  return RunHandshake(*r, r->hostName) ? 1 : 0;
}

int32_t SecVerifyServerCertificate(SOCKET handle) {
  RecordPtr r = LookupOwned(handle);
  if (!r) return 0;
  TlsState* t = r->tls;
  if (!t || !t->stage) return Fail(cvErrorSecurityCertificate, 0);
  if (r->options.load() & kInetOptionNoCertCheck) {
    t->certificateStatus = 0;
    return 1;
  }
  plat::TlsVerifyResult v;
  const uint32_t e = cvcore::TlsClient::Verify(*t->stage, r->hostName, true, v);
  if (e == 0 || v.policyError) t->certificateStatus = v.policyError;  // when checked
  return e ? Fail(e, 0) : 1;
}

int32_t SecShutdownSession(SOCKET handle) {
  RecordPtr r = FindRecord(handle);
  if (!r || !r->tls || !r->tls->stage) return 0;
  const int32_t sent = r->tls->stage->SendCloseNotify(true) ? 1 : 0;
  r->tls->client.CloseStore();
  return sent;
}

void SecDeleteContext(SOCKET handle) {
  RecordPtr r = FindRecord(handle);
  if (!r || !r->tls) return;
  r->tls->stage.reset();
  r->tls->client.Adopt(nullptr);  // the store stays open until closed on its own
}

int32_t SecCloseHandleStore(SOCKET handle) {
  RecordPtr r = FindRecord(handle);
  if (!r || !r->tls) return 0;
  return r->tls->client.CloseStore() ? 1 : 0;
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
