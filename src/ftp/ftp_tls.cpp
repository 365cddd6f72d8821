// The TLS channels of an FTPS session over the platform's TLS adapter: credentials from
// the session's protocol mask and client certificate, the handshake (after AUTH on an
// explicit command channel; a data connection resumes the command channel's session, as
// servers commonly insist), record encryption and decryption on the session's buffers, the
// server certificate check and close-notify. The library does every byte of socket I/O
// with its own waits, so timeouts and cancels work as on a plain channel.
#include <poll.h>

#include <algorithm>
#include <cstring>

#include "core/trace/trace.h"
#include "ftp/ftp_hooks.h"
#include "ftp/ftp_internal.h"
#include "ftp/ftp_tls.h"
#include "ftp/ftp_wait.h"
#include "platform/base/last_error.h"
#include "platform/net/wsa_errors.h"

namespace cvftp {

namespace {

constexpr uint32_t kPlainRecordMax = 16384;  // the most plaintext one record carries
constexpr uint32_t kEndWaitMs = 2000;        // for the server's close-notify after CCC

TlsState* State(FtpSession& s) noexcept {
  if (!s.tls) s.tls = new (std::nothrow) TlsState();
  return s.tls;
}

SOCKET SocketOf(const FtpSession& s, int channel) noexcept {
  return channel == 1 ? s.dataSocket : s.header.controlSocket;
}

uint8_t* CipherBuffer(FtpSession& s, int channel) noexcept {
  return reinterpret_cast<uint8_t*>(s.tlsBuffers[channel * 2]);
}
uint8_t* PlainBuffer(FtpSession& s, int channel) noexcept {
  return reinterpret_cast<uint8_t*>(s.tlsBuffers[channel * 2 + 1]);
}

const char* TargetName(const FtpSession& s) noexcept {
  if (s.credentials && !Empty(s.credentials->serverName)) return s.credentials->serverName;
  return s.hostName;
}

// The channel's socket and the provider: the checks every channel operation starts with.
int32_t CheckChannel(FtpSession& s, int channel) noexcept {
  if (channel != 0 && channel != 1) return Fail(cvErrorInvalidParameter);
  if (SocketOf(s, channel) == INVALID_SOCKET)
    return Fail(channel == 0 ? cvErrorNotConnected : cvErrorConnectionClosed);
  if (!SecProviderLoaded()) return Fail(cvErrorSecurityNotInitialized);
  if (!State(s)) return Fail(cvErrorOutOfMemory);
  return 0;
}

bool WouldBlock() noexcept { return plat::GetLastError() == plat::WSAEWOULDBLOCK; }

// Sends all of data on the channel's socket, waiting for room up to the session timeout.
bool SendRaw(FtpSession& s, int channel, const uint8_t* data, size_t length) noexcept {
  size_t sent = 0;
  while (sent < length) {
    const SOCKET sock = SocketOf(s, channel);
    if (sock == INVALID_SOCKET) return Fail(cvErrorConnectionClosed), false;
    const int32_t n = SockSend(sock, reinterpret_cast<const char*>(data) + sent, int32_t(length - sent), 0);
    if (n >= 0) {
      sent += size_t(n);
      continue;
    }
    if (!WouldBlock()) return TakePlatformError(), false;
    if (!WaitSocket(s, sock, POLLOUT)) return false;
  }
  return true;
}

// Receives more ciphertext behind what the channel holds: the bytes, 0 when the server
// closed the connection, -1 with the error. quietMs: wait at most that long and take a
// wait that ends without data as 0, without error or event (0: the session's wait).
int32_t ReceiveCipher(FtpSession& s, int channel, uint32_t quietMs = 0) noexcept {
  TlsChannel& c = s.tls->channels[channel];
  uint8_t* buffer = CipherBuffer(s, channel);
  if (c.cipherStart > 0) {
    std::memmove(buffer, buffer + c.cipherStart, c.cipherEnd - c.cipherStart);
    c.cipherEnd -= c.cipherStart;
    c.cipherStart = 0;
  }
  // A full buffer without one whole record is no TLS stream.
  if (c.cipherEnd >= kFtpTlsBufferSize) return Fail(cvErrorSecurityDecryption);
  for (;;) {
    const SOCKET sock = SocketOf(s, channel);
    if (sock == INVALID_SOCKET) return Fail(cvErrorConnectionClosed);
    const int32_t n = SockRecv(sock, reinterpret_cast<char*>(buffer + c.cipherEnd),
                               int32_t(kFtpTlsBufferSize - c.cipherEnd), 0);
    if (n >= 0) {
      c.cipherEnd += uint32_t(n);
      return n;
    }
    if (!WouldBlock()) {
      s.lastSecurityStatus = uint32_t(plat::TlsError::Decrypt);
      if (quietMs) return 0;
      // A reset is no orderly end: the data may be cut short.
      const uint32_t e = cvcore::ErrorNumber(TakePlatformError());
      if (e == plat::WSAECONNRESET || e == plat::WSAECONNABORTED) return Fail(cvErrorConnectionClosed);
      return -1;
    }
    if (quietMs) {
      if (WaitRaw(s, sock, POLLIN, quietMs).status != RawWait::Ready) return 0;
    } else if (!WaitSocket(s, sock, POLLIN)) {
      return -1;
    }
  }
}

// Handshake steps until the handshake is done. readFirst: the input holds nothing of the
// server's yet, so receive before the next step.
int32_t HandshakeLoop(FtpSession& s, int channel, bool readFirst) noexcept {
  TlsChannel& c = s.tls->channels[channel];
  uint8_t* buffer = CipherBuffer(s, channel);
  for (;;) {
    if (readFirst) {
      const int32_t n = ReceiveCipher(s, channel);
      if (n == -1) return -1;
      if (n == 0) return Fail(cvErrorSecurityContext);  // the server gave up on the handshake
    }
    std::vector<uint8_t> output;
    size_t consumed = 0;
    const plat::TlsStatus status =
        c.context->Step({buffer + c.cipherStart, c.cipherEnd - c.cipherStart}, output, consumed);
    c.cipherStart += uint32_t(consumed);
    if (c.cipherStart == c.cipherEnd) c.cipherStart = c.cipherEnd = 0;
    if (!output.empty() && !SendRaw(s, channel, output.data(), output.size())) return -1;
    readFirst = false;
    switch (status) {
      case plat::TlsStatus::Ok:
        c.sizes = c.context->StreamSizes();
        c.established = true;
        return 0;
      case plat::TlsStatus::ContinueNeeded:
        continue;  // something was used or produced: step again, reading when nothing is left
      case plat::TlsStatus::IncompleteMessage:
        readFirst = true;
        continue;
      case plat::TlsStatus::IncompleteCredentials:
        // No certificate was named: answer from the open store when one fits; otherwise the
        // handshake goes on without one and the server decides.
        SecSelectClientCertificate(s.tls->store.get(), *c.context);
        continue;
      default:
        s.lastSecurityStatus = uint32_t(c.context->error());
        return Fail(cvErrorSecurityContext);
    }
  }
}

// Drops a channel's connection and buffered bytes. A finished handshake is closed first
// (even when the close-notify is not sent): a connection dropped without it would spoil
// the shared session for resumption.
void ResetChannel(TlsChannel& c, std::vector<uint8_t>* closeNotify) noexcept {
  if (c.context && c.established) {
    std::vector<uint8_t> scratch;
    c.context->Shutdown(closeNotify ? *closeNotify : scratch);
  }
  c.context.reset();
  c.established = c.closed = false;
  c.cipherStart = c.cipherEnd = c.plainStart = c.plainEnd = 0;
}

// AUTH TLS, else AUTH SSL; 0 when the server agreed to a handshake.
int32_t Authenticate(FtpSession& s) noexcept {
  s.replyPending = 0;
  if (!(s.features & kFeatureAuth)) return Fail(cvErrorFeatureNotSupported);
  const char* kinds[] = {"TLS", "SSL"};
  for (const char* kind : kinds) {
    s.replyCode = 0;
    SendCommand(s, "AUTH", kind);
    if (Gone(s)) return FailGone();
    if (s.replyCode == 0) return -1;  // no reply at all: the channel's error stands
    if (s.replyCode == 234 || s.replyCode == 334) {
      Library().SetLastError(0);
      return 0;
    }
  }
  s.features &= ~kFeatureAuth;
  return Fail(cvErrorSecurityContext);
}

// Copies waiting plaintext to the caller; the count.
uint32_t HandOut(FtpSession& s, int channel, char* to, uint32_t length) noexcept {
  TlsChannel& c = s.tls->channels[channel];
  const uint32_t n = std::min(length, c.plainEnd - c.plainStart);
  std::memcpy(to, PlainBuffer(s, channel) + c.plainStart, n);
  c.plainStart += n;
  if (c.plainStart == c.plainEnd) c.plainStart = c.plainEnd = 0;
  return n;
}

// Decrypted bytes of a channel into buffer: the count, 0 when the server closed it, -1.
// quietMs: see ReceiveCipher.
int32_t Receive(FtpSession& s, int channel, char* buffer, uint32_t length, uint32_t quietMs) noexcept {
  if (CheckChannel(s, channel) == -1) return -1;
  TlsChannel& c = s.tls->channels[channel];
  if (!c.established && !c.closed) return Fail(cvErrorSecurityDecryption);
  uint32_t got = HandOut(s, channel, buffer, length);
  uint8_t* cipher = CipherBuffer(s, channel);
  while (got < length && !c.closed) {
    // Whole records go straight into the caller's buffer while it has room for one.
    const bool direct = length - got >= kPlainRecordMax;
    uint8_t* to = direct ? reinterpret_cast<uint8_t*>(buffer) + got : PlainBuffer(s, channel);
    const size_t room = direct ? length - got : kFtpTlsBufferSize;
    size_t plain = 0, consumed = 0;
    const plat::TlsStatus status =
        c.cipherEnd > c.cipherStart
            ? c.context->Decrypt({cipher + c.cipherStart, c.cipherEnd - c.cipherStart}, to, room, plain, consumed)
            : plat::TlsStatus::IncompleteMessage;
    c.cipherStart += uint32_t(consumed);
    if (c.cipherStart == c.cipherEnd) c.cipherStart = c.cipherEnd = 0;
    switch (status) {
      case plat::TlsStatus::Ok:
        if (direct) {
          got += uint32_t(plain);
        } else {
          c.plainStart = 0;
          c.plainEnd = uint32_t(plain);
          got += HandOut(s, channel, buffer + got, length - got);
        }
        continue;
      case plat::TlsStatus::IncompleteMessage: {
        if (got > 0) break;
        const int32_t n = ReceiveCipher(s, channel, quietMs);
        if (n == -1) return -1;
        if (n == 0 && quietMs) return 0;  // nothing came within the wait
        if (n == 0) c.closed = true;      // closed without close-notify: the end of the stream
        continue;
      }
      case plat::TlsStatus::ContextExpired:
        c.closed = true;
        continue;
      case plat::TlsStatus::Renegotiate:
        if (HandshakeLoop(s, channel, false) == -1) return -1;
        continue;
      default:
        s.lastSecurityStatus = uint32_t(c.context->error());
        return Fail(cvErrorSecurityDecryption);
    }
    break;
  }
  if (got > 0) TracePrintf(kTraceInformation, "Decrypted buffer of %ld bytes", long(got));
  return int32_t(got);
}

}  // namespace

int32_t TlsEndCommandProtection(FtpSession& s) noexcept {
  if (!s.tls) return 0;
  TlsChannel& c = s.tls->channels[0];
  std::vector<uint8_t> notify;
  if (c.context && c.established) c.context->Shutdown(notify);
  // The connection stays (idle) for the security information.
  c.established = false;
  if (!notify.empty() && !SendRaw(s, 0, notify.data(), notify.size())) return -1;
  // The server's close-notify ends its protected stream; what follows is plain text.
  uint8_t* buffer = CipherBuffer(s, 0);
  uint8_t scratch[kPlainRecordMax];
  while (!c.closed && c.context) {
    size_t plain = 0, consumed = 0;
    const plat::TlsStatus status = c.context->Decrypt({buffer + c.cipherStart, c.cipherEnd - c.cipherStart},
                                                      scratch, sizeof scratch, plain, consumed);
    c.cipherStart += uint32_t(consumed);
    if (status == plat::TlsStatus::Ok) continue;
    if (status != plat::TlsStatus::IncompleteMessage || ReceiveCipher(s, 0, kEndWaitMs) <= 0) break;
  }
  const uint32_t keep = std::min<uint32_t>(c.cipherEnd - c.cipherStart, kFtpCommandInputSize);
  std::memcpy(s.commandInput, buffer + c.cipherStart, keep);
  s.commandInputStart = 0;
  s.commandInputEnd = keep;
  c.cipherStart = c.cipherEnd = c.plainStart = c.plainEnd = 0;
  c.closed = false;
  Library().SetLastError(0);
  return 0;
}

int32_t TlsReceiveQuiet(FtpSession& s, char* buffer, uint32_t length, uint32_t waitMs) noexcept {
  if (CheckChannel(s, 0) == -1) return -1;
  if (!s.tls->channels[0].established) return Fail(cvErrorSecurityDecryption);
  return Receive(s, 0, buffer, length, waitMs ? waitMs : 1);
}

void TlsDrainQuiet(FtpSession& s, uint32_t stepMs, uint64_t limit) noexcept {
  char scratch[256];
  for (uint64_t drained = 0; drained < limit;) {
    const int32_t n = TlsReceiveQuiet(s, scratch, sizeof scratch, stepMs);
    if (n <= 0) return;
    drained += uint64_t(n);
  }
}

namespace hooks {

int32_t TlsAcquireCredentials(FtpSession& s, int channel) noexcept {
  if (channel != 0 && channel != 1) return Fail(cvErrorInvalidParameter);
  if (!SecProviderLoaded()) return Fail(cvErrorSecurityNotInitialized);
  TlsState* t = State(s);
  if (!t) return Fail(cvErrorOutOfMemory);
  if (t->credentials) return 0;  // both channels and every data connection share them
  plat::TlsCredentialOptions options;
  options.role = plat::TlsRole::Client;
  options.protocols = s.tlsProtocolMask;
  options.compatible = (s.options & kOptTlsFallback) != 0;
  const SecCredentials* named = s.credentials;
  if (named && !Empty(named->certName)) {
    if (!SecOpenCertStore(t->store, named, named->certStore)) return Fail(TakePlatformError());
    options.certificate = SecFindCertificate(t->store.get(), named->certName);
    if (!options.certificate) return Fail(cvErrorSecurityCredentials);
  }
  plat::TlsError error = plat::TlsError::None;
  t->credentials = plat::TlsCredentials::Create(options, error);
  if (!t->credentials) return Fail(cvErrorSecurityCredentials);
  return 0;
}

int32_t TlsHandshake(FtpSession& s, int channel) noexcept {
  if (CheckChannel(s, channel) == -1) return -1;
  const char* target = TargetName(s);
  if (Empty(target)) return Fail(cvErrorInvalidHostName);
  if (TlsAcquireCredentials(s, channel) == -1) return -1;
  TlsState& t = *s.tls;
  TlsChannel& c = t.channels[channel];
  ResetChannel(c, nullptr);
  if (channel == 0 && (s.options & kOptTlsExplicit) && Authenticate(s) == -1) return -1;
  plat::TlsError error = plat::TlsError::None;
  c.context = plat::TlsContext::Create(t.credentials, target, error);
  if (!c.context) return Fail(cvErrorSecurityContext);
  if (channel == 1 && t.commandSession) c.context->ResumeSession(t.commandSession);
  if (channel == 0 && s.commandInputStart < s.commandInputEnd) {
    // Bytes received behind the last plain reply are the server's first handshake bytes.
    const uint32_t n = s.commandInputEnd - s.commandInputStart;
    std::memcpy(CipherBuffer(s, 0), s.commandInput + s.commandInputStart, n);
    c.cipherEnd = n;
    s.commandInputStart = s.commandInputEnd = 0;
  }
  if (HandshakeLoop(s, channel, false) == -1) {
    const uint32_t e = Library().GetLastError();
    ResetChannel(c, nullptr);
    return Fail(e);
  }
  if (channel == 0) t.commandSession = c.context->ExportSession();
  TracePrintf(kTraceInformation, "TLS channel %d established%s", channel,
              c.context->SessionReused() ? " (session resumed)" : "");
  return 0;
}

int32_t TlsVerifyServer(FtpSession& s, int channel) noexcept {
  if (!SecProviderLoaded()) return Fail(cvErrorSecurityNotInitialized);
  if (s.options & kOptNoCertCheck) {
    s.certificateStatus = 0;
    return 0;
  }
  if (!s.tls || (channel != 0 && channel != 1) || !s.tls->channels[channel].context)
    return Fail(cvErrorSecurityCertificate);
  const plat::TlsContext& context = *s.tls->channels[channel].context;
  if (!context.PeerCertificate()) return Fail(cvErrorSecurityCertificate);
  const char* name = TargetName(s);
  if (Empty(name)) return Fail(cvErrorInvalidHostName);
  const plat::TlsVerifyResult result = context.VerifyPeer(name);
  s.certificateStatus = result.policyError;
  if (result.policyError != 0) return Fail(cvErrorSecurityCertificate);
  return 0;
}

int32_t TlsSend(FtpSession& s, int channel, const char* data, uint32_t length) noexcept {
  if (CheckChannel(s, channel) == -1) return -1;
  TlsChannel& c = s.tls->channels[channel];
  if (!c.established) return Fail(cvErrorSecurityEncryption);
  const uint32_t most = std::max<uint32_t>(c.sizes.maximumMessage, 1024);
  for (uint32_t sent = 0; sent < length;) {
    const uint32_t n = std::min(length - sent, most);
    c.record.clear();
    if (!c.context->Encrypt({reinterpret_cast<const uint8_t*>(data) + sent, n}, c.record))
      return Fail(cvErrorSecurityEncryption);
    if (!SendRaw(s, channel, c.record.data(), c.record.size())) {
      // A send that never found room is a timeout (10035 is no answer for the caller).
      if (cvcore::ErrorNumber(Library().GetLastError()) == plat::WSAEWOULDBLOCK) Fail(cvErrorOperationTimeout);
      return -1;
    }
    sent += n;
  }
  TracePrintf(kTraceInformation, "Encrypted buffer of %ld bytes", long(length));
  return int32_t(length);
}

int32_t TlsRecv(FtpSession& s, int channel, char* buffer, uint32_t length) noexcept {
  return Receive(s, channel, buffer, length, 0);
}

void TlsShutdown(FtpSession& s, int channel) noexcept {
  if (!s.tls || (channel != 0 && channel != 1)) return;
  TlsChannel& c = s.tls->channels[channel];
  std::vector<uint8_t> notify;
  const bool send = c.established && SocketOf(s, channel) != INVALID_SOCKET;
  ResetChannel(c, &notify);
  if (send && !notify.empty()) {
    const uint32_t kept = Library().GetLastError();
    SendRaw(s, channel, notify.data(), notify.size());
    Library().SetLastError(kept);
  }
  if (channel == 0) {
    SecCloseCertStore(s.tls->store);
    s.tls->credentials.reset();
    s.tls->commandSession = plat::TlsSession();
  }
}

void TlsRelease(FtpSession& s) noexcept {
  if (!s.tls) return;
  for (TlsChannel& c : s.tls->channels) ResetChannel(c, nullptr);
  delete s.tls;
  s.tls = nullptr;
}

}  // namespace hooks

}  // namespace cvftp

int32_t FtpGetSecurityInfo(LibHandle handle, SecSessionInfo* info) {
  using namespace cvftp;
  Operation op(handle);
  if (!op) return 0;
  FtpSession& s = *op.session();
  if (s.options & kOptSftp) return hooks::SftpSecurityInfo(s, info) == -1 ? 0 : 1;
  if (!info || info->size < sizeof(SecSessionInfo)) return Fail(cvErrorInvalidParameter), 0;
  std::memset(info, 0, sizeof(SecSessionInfo));  // only what we fill: the size is the caller's claim
  info->size = sizeof(SecSessionInfo);
  if (!SecProviderAttempted() || !(s.options & kOptTls)) return 1;
  if (!SecProviderLoaded()) return Fail(cvErrorSecurityNotInitialized), 0;
  // The command channel's connection (idle after CCC), else a data connection's.
  const plat::TlsContext* context = nullptr;
  if (s.tls)
    for (const TlsChannel& c : s.tls->channels)
      if (!context && c.context && c.context->HandshakeDone()) context = c.context.get();
  if (!context || !SecDescribeConnection(*context, *info)) return Fail(cvErrorSecurityContext), 0;
  info->certificateStatus = plat::TlsCertStateFromPolicyError(s.certificateStatus);
  const plat::TlsCertificate peer = context->PeerCertificate();
  s.tls->issuer = peer ? peer.Issuer() : std::string();
  s.tls->subject = peer ? peer.Subject() : std::string();
  info->issuer = s.tls->issuer.data();
  info->subject = s.tls->subject.data();
  return 1;
}
