// The TLS channels of an FTPS session over the shared TLS stage: credentials from the
// session's protocol mask and client certificate, the handshake (after AUTH on an explicit
// command channel; a data connection resumes the command channel's session, as servers
// commonly insist), the server certificate check and close-notify. The stage does its I/O
// through the channel's socket stream, so its waits are the session's: time-outs and
// cancels work as on a plain channel.
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

constexpr uint32_t kEndWaitMs = 2000;  // for the server's close-notify after CCC

int Index(FtpChannel channel) noexcept { return channel == FtpChannel::Data ? 1 : 0; }

SOCKET SocketOf(const FtpSession& s, FtpChannel channel) noexcept {
  return channel == FtpChannel::Data ? s.dataSocket : s.header.controlSocket;
}

const char* TargetName(const FtpSession& s) noexcept {
  return cvcore::TlsClient::TargetName(s.credentials, s.hostName);
}

// The channel's socket and the provider: the checks every channel operation starts with.
int32_t CheckChannel(FtpSession& s, FtpChannel channel) noexcept {
  if (channel != FtpChannel::Command && channel != FtpChannel::Data) return Fail(cvErrorInvalidParameter);
  if (SocketOf(s, channel) == INVALID_SOCKET)
    return Fail(channel == FtpChannel::Command ? cvErrorNotConnected : cvErrorConnectionClosed);
  if (!SecProviderLoaded()) return Fail(cvErrorSecurityNotInitialized);
  if (!s.streams) return Fail(cvErrorOutOfMemory);
  return 0;
}

// The channel's stage, when the channel is protected.
cvcore::TlsStage* StageOf(FtpSession& s, FtpChannel channel) noexcept {
  return s.streams ? s.streams->stages[Index(channel)].get() : nullptr;
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

}  // namespace

ChannelSocket::ChannelSocket(FtpSession& s, FtpChannel channel) noexcept
    : SocketStream(channel == FtpChannel::Data ? s.dataSocket : s.header.controlSocket), s_(s), channel_(channel) {}

bool ChannelSocket::Wait(short events) noexcept { return WaitSocket(s_, socket(), events); }

void ChannelSocket::Fail(uint32_t error) noexcept { cvftp::Fail(error); }

void ChannelSocket::FailSocket(bool receiving) noexcept {
  const uint32_t e = cvcore::ErrorNumber(TakePlatformError());
  // A data connection the server broke off is a closed data connection to the caller.
  if (receiving && channel_ == FtpChannel::Data && (e == plat::WSAECONNRESET || e == plat::WSAECONNABORTED))
    Fail(cvErrorConnectionClosed);
}

cvcore::ByteStream& ChannelStream(FtpSession& s, FtpChannel channel) noexcept {
  ChannelStreams& t = *s.streams;
  const int i = Index(channel);
  if (t.stages[i]) return *t.stages[i];
  return t.sockets[i];
}

int32_t TlsEndCommandProtection(FtpSession& s) noexcept {
  cvcore::TlsStage* stage = StageOf(s, FtpChannel::Command);
  if (!stage) return 0;
  if (!stage->SendCloseNotify(true)) return -1;
  // The server's close-notify ends its protected stream; what follows is plain text. What
  // it still sends protected before that is dropped.
  char scratch[256];
  for (;;) {
    const int32_t n = stage->Receive(scratch, sizeof scratch);
    if (n > 0) continue;
    if (n != cvcore::kStreamWouldBlock) break;
    if (WaitRaw(s, s.header.controlSocket, POLLIN, kEndWaitMs).status != RawWait::Ready) break;
  }
  const std::vector<uint8_t> rest = stage->TakeHeld();
  s.commandInput.Put(rest.data(), uint32_t(rest.size()));
  // The connection stays (idle) for the security information.
  s.streams->cleared = std::move(s.streams->stages[0]);
  Library().SetLastError(0);
  return 0;
}

int32_t ProtectDataChannel(FtpSession& s) noexcept {
  if (!s.dataProtected) return 0;
  const uint32_t earlier = Library().GetLastError();
  if (hooks::TlsHandshake(s, FtpChannel::Data) == -1) return -1;
  if (hooks::TlsVerifyServer(s, FtpChannel::Data) == -1 && Library().GetLastError() != cvErrorSecurityCertificate)
    return -1;
  Library().SetLastError(earlier);
  return 0;
}

namespace hooks {

int32_t TlsAcquireCredentials(FtpSession& s, FtpChannel channel) noexcept {
  if (channel != FtpChannel::Command && channel != FtpChannel::Data) return Fail(cvErrorInvalidParameter);
  if (!SecProviderLoaded()) return Fail(cvErrorSecurityNotInitialized);
  if (!s.streams) return Fail(cvErrorOutOfMemory);
  ChannelStreams& t = *s.streams;
  if (t.client.HasCredentials()) return 0;  // both channels and every data connection share them
  cvcore::TlsClientOptions options;
  options.protocols = s.tlsProtocolMask;
  options.compatible = (s.options & kOptTlsFallback) != 0;
  options.named = s.credentials;
  if (const uint32_t error = t.client.Acquire(options)) return Fail(error);
  return 0;
}

int32_t TlsHandshake(FtpSession& s, FtpChannel channel) noexcept {
  if (CheckChannel(s, channel) == -1) return -1;
  const char* target = TargetName(s);
  if (Empty(target)) return Fail(cvErrorInvalidHostName);
  if (TlsAcquireCredentials(s, channel) == -1) return -1;
  ChannelStreams& t = *s.streams;
  const int i = Index(channel);
  t.stages[i].reset();
  const bool command = channel == FtpChannel::Command;
  if (command && (s.options & kOptTlsExplicit) && Authenticate(s) == -1) return -1;
  std::unique_ptr<cvcore::TlsStage> stage;
  if (const uint32_t error =
          t.client.CreateStage(t.sockets[i], target, stage, command ? plat::TlsSession() : t.commandSession))
    return Fail(error);
  if (command && !s.commandInput.empty()) {
    // Bytes received behind the last plain reply are the server's first handshake bytes.
    if (!stage->Prime(s.commandInput.data(), s.commandInput.size())) return -1;
    s.commandInput.Clear();
  }
  if (!t.client.Handshake(*stage)) {
    s.lastSecurityStatus = stage->lastStatus();
    return -1;
  }
  if (command) t.commandSession = stage->context().ExportSession();
  TracePrintf(kTraceInformation, "TLS channel %d established%s", i,
              stage->context().SessionReused() ? " (session resumed)" : "");
  t.stages[i] = std::move(stage);
  return 0;
}

int32_t TlsVerifyServer(FtpSession& s, FtpChannel channel) noexcept {
  if (!SecProviderLoaded()) return Fail(cvErrorSecurityNotInitialized);
  if (s.options & kOptNoCertCheck) {
    s.certificateStatus = 0;
    return 0;
  }
  const cvcore::TlsStage* stage = StageOf(s, channel);
  if (!stage) return Fail(cvErrorSecurityCertificate);
  plat::TlsVerifyResult result;
  const uint32_t error = cvcore::TlsClient::Verify(*stage, TargetName(s), true, result);
  if (error == 0 || result.policyError) s.certificateStatus = result.policyError;  // when checked
  return error ? Fail(error) : 0;
}

int32_t TlsSend(FtpSession& s, FtpChannel channel, const char* data, uint32_t length) noexcept {
  if (CheckChannel(s, channel) == -1) return -1;
  cvcore::TlsStage* stage = StageOf(s, channel);
  if (!stage) return Fail(cvErrorSecurityEncryption);
  if (!cvcore::SendAll(*stage, data, length, cvcore::StreamOrder::WaitFirst)) return -1;
  return int32_t(length);
}

int32_t TlsRecv(FtpSession& s, FtpChannel channel, char* buffer, uint32_t length) noexcept {
  if (CheckChannel(s, channel) == -1) return -1;
  cvcore::TlsStage* stage = StageOf(s, channel);
  if (!stage) return Fail(cvErrorSecurityDecryption);
  return cvcore::ReceiveSome(*stage, buffer, length, cvcore::StreamOrder::TryFirst);
}

void TlsShutdown(FtpSession& s, FtpChannel channel) noexcept {
  if (!s.streams) return;
  ChannelStreams& t = *s.streams;
  std::unique_ptr<cvcore::TlsStage>& stage = t.stages[Index(channel)];
  if (stage && SocketOf(s, channel) != INVALID_SOCKET) {
    const uint32_t kept = Library().GetLastError();
    stage->SendCloseNotify(true);
    Library().SetLastError(kept);
  }
  stage.reset();
  if (channel == FtpChannel::Command) {
    t.cleared.reset();
    t.client.Release();
    t.commandSession = plat::TlsSession();
  }
}

void TlsRelease(FtpSession& s) noexcept {
  delete s.streams;
  s.streams = nullptr;
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
  if (s.streams) {
    ChannelStreams& t = *s.streams;
    for (const cvcore::TlsStage* stage : {t.stages[0].get(), t.cleared.get(), t.stages[1].get()})
      if (!context && stage && stage->context().HandshakeDone()) context = &stage->context();
  }
  if (!context || !cvcore::TlsClient::Describe(*context, *info, s.streams->issuer, s.streams->subject))
    return Fail(cvErrorSecurityContext), 0;
  info->certificateStatus = plat::TlsCertStateFromPolicyError(s.certificateStatus);
  return 1;
}
