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
Status CheckChannel(FtpSession& s, FtpChannel channel) noexcept {
  if (channel != FtpChannel::Command && channel != FtpChannel::Data) return Status(cvErrorInvalidParameter);
  if (SocketOf(s, channel) == INVALID_SOCKET)
    return Status(channel == FtpChannel::Command ? cvErrorNotConnected : cvErrorConnectionClosed);
  if (!SecProviderLoaded()) return Status(cvErrorSecurityNotInitialized);
  if (!s.streams) return Status(cvErrorOutOfMemory);
  return {};
}

// The channel's stage, when the channel is protected.
cvcore::TlsStage* StageOf(FtpSession& s, FtpChannel channel) noexcept {
  return s.streams ? s.streams->stages[Index(channel)].get() : nullptr;
}

// AUTH TLS, else AUTH SSL; success when the server agreed to a handshake.
Status Authenticate(FtpSession& s) noexcept {
  s.replyPending = 0;
  if (!(s.features & kFeatureAuth)) return Status(cvErrorFeatureNotSupported);
  const char* kinds[] = {"TLS", "SSL"};
  for (const char* kind : kinds) {
    s.replyCode = 0;
    const Result<int32_t> r = SendCommand(s, "AUTH", kind);
    if (Gone(s)) return kSessionGone;
    if (s.replyCode == 0) return r.status();  // no reply at all: the channel's error stands
    if (s.replyCode == 234 || s.replyCode == 334) return {};
  }
  s.features &= ~kFeatureAuth;
  return Status(cvErrorSecurityContext);
}

}  // namespace

ChannelSocket::ChannelSocket(FtpSession& s, FtpChannel channel) noexcept
    : SocketStream(channel == FtpChannel::Data ? s.dataSocket : s.header.controlSocket), s_(s), channel_(channel) {}

bool ChannelSocket::Wait(short events) noexcept {
  const Status waited = WaitSocket(s_, socket(), events);
  if (!waited.ok()) s_.streamError.store(waited.error());
  return waited.ok();
}

void ChannelSocket::Fail(uint32_t error) noexcept { s_.streamError.store(cvcore::FullErrorCode(error)); }

void ChannelSocket::FailSocket(bool receiving) noexcept {
  const Status failed = PlatformError();
  const uint32_t e = cvcore::ErrorNumber(failed.error());
  // A data connection the server broke off is a closed data connection to the caller.
  const bool brokenOff =
      receiving && channel_ == FtpChannel::Data && (e == plat::WSAECONNRESET || e == plat::WSAECONNABORTED);
  Fail(brokenOff ? uint32_t(cvErrorConnectionClosed) : failed.error());
}

cvcore::ByteStream& ChannelStream(FtpSession& s, FtpChannel channel) noexcept {
  ChannelStreams& t = *s.streams;
  const int i = Index(channel);
  if (t.stages[i]) return *t.stages[i];
  return t.sockets[i];
}

Status TlsEndCommandProtection(FtpSession& s) noexcept {
  cvcore::TlsStage* stage = StageOf(s, FtpChannel::Command);
  if (!stage) return {};
  if (!stage->SendCloseNotify(true)) return StreamError(s);
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
  s.streamError.store(0);  // what the drain met after the close-notify is no failure
  return {};
}

Status ProtectDataChannel(FtpSession& s) noexcept {
  if (!s.dataProtected) return {};
  if (const Status shaken = hooks::TlsHandshake(s, FtpChannel::Data); !shaken.ok()) return shaken;
  return ToleratedCertificate(hooks::TlsVerifyServer(s, FtpChannel::Data));
}

namespace hooks {

Status TlsAcquireCredentials(FtpSession& s, FtpChannel channel) noexcept {
  if (channel != FtpChannel::Command && channel != FtpChannel::Data) return Status(cvErrorInvalidParameter);
  if (!SecProviderLoaded()) return Status(cvErrorSecurityNotInitialized);
  if (!s.streams) return Status(cvErrorOutOfMemory);
  ChannelStreams& t = *s.streams;
  if (t.client.HasCredentials()) return {};  // both channels and every data connection share them
  cvcore::TlsClientOptions options;
  options.protocols = s.tlsProtocolMask;
  options.compatible = (s.options & kOptTlsFallback) != 0;
  options.named = s.credentials;
  return Status(t.client.Acquire(options));
}

Status TlsHandshake(FtpSession& s, FtpChannel channel) noexcept {
  if (const Status checked = CheckChannel(s, channel); !checked.ok()) return checked;
  const char* target = TargetName(s);
  if (Empty(target)) return Status(cvErrorInvalidHostName);
  if (const Status acquired = TlsAcquireCredentials(s, channel); !acquired.ok()) return acquired;
  ChannelStreams& t = *s.streams;
  const int i = Index(channel);
  t.stages[i].reset();
  const bool command = channel == FtpChannel::Command;
  if (command && (s.options & kOptTlsExplicit))
    if (const Status agreed = Authenticate(s); !agreed.ok()) return agreed;
  std::unique_ptr<cvcore::TlsStage> stage;
  if (const Status created{
          t.client.CreateStage(t.sockets[i], target, stage, command ? plat::TlsSession() : t.commandSession)};
      !created.ok())
    return created;
  if (command && !s.commandInput.empty()) {
    // Bytes received behind the last plain reply are the server's first handshake bytes.
    if (!stage->Prime(s.commandInput.data(), s.commandInput.size())) return StreamError(s);
    s.commandInput.Clear();
  }
  if (!t.client.Handshake(*stage)) {
    s.lastSecurityStatus = stage->lastStatus();
    return StreamError(s);
  }
  if (command) t.commandSession = stage->context().ExportSession();
  TracePrintf(kTraceInformation, "TLS channel %d established%s", i,
              stage->context().SessionReused() ? " (session resumed)" : "");
  t.stages[i] = std::move(stage);
  return {};
}

Status TlsVerifyServer(FtpSession& s, FtpChannel channel) noexcept {
  if (!SecProviderLoaded()) return Status(cvErrorSecurityNotInitialized);
  if (s.options & kOptNoCertCheck) {
    s.certificateStatus = 0;
    return {};
  }
  const cvcore::TlsStage* stage = StageOf(s, channel);
  if (!stage) return Status(cvErrorSecurityCertificate);
  plat::TlsVerifyResult result;
  const uint32_t error = cvcore::TlsClient::Verify(*stage, TargetName(s), true, result);
  if (error == 0 || result.policyError) s.certificateStatus = result.policyError;  // when checked
  return Status(error);
}

Result<int32_t> TlsSend(FtpSession& s, FtpChannel channel, const char* data, uint32_t length) noexcept {
  if (const Status checked = CheckChannel(s, channel); !checked.ok()) return checked;
  cvcore::TlsStage* stage = StageOf(s, channel);
  if (!stage) return Status(cvErrorSecurityEncryption);
  if (!cvcore::SendAll(*stage, data, length, cvcore::StreamOrder::WaitFirst)) return StreamError(s);
  return int32_t(length);
}

Result<int32_t> TlsRecv(FtpSession& s, FtpChannel channel, char* buffer, uint32_t length) noexcept {
  if (const Status checked = CheckChannel(s, channel); !checked.ok()) return checked;
  cvcore::TlsStage* stage = StageOf(s, channel);
  if (!stage) return Status(cvErrorSecurityDecryption);
  const int32_t n = cvcore::ReceiveSome(*stage, buffer, length, cvcore::StreamOrder::TryFirst);
  if (n < 0) return StreamError(s);
  return n;
}

void TlsShutdown(FtpSession& s, FtpChannel channel) noexcept {
  if (!s.streams) return;
  ChannelStreams& t = *s.streams;
  std::unique_ptr<cvcore::TlsStage>& stage = t.stages[Index(channel)];
  if (stage && SocketOf(s, channel) != INVALID_SOCKET) {
    // A close-notify that does not get through ends the channel all the same.
    if (!stage->SendCloseNotify(true)) s.streamError.store(0);
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

namespace {

// The security information of an FTPS session into info.
cvftp::Status DescribeSession(FtpSession& s, SecSessionInfo* info) noexcept {
  using namespace cvftp;
  if (!info || info->size < sizeof(SecSessionInfo)) return Status(cvErrorInvalidParameter);
  std::memset(info, 0, sizeof(SecSessionInfo));  // only what we fill: the size is the caller's claim
  info->size = sizeof(SecSessionInfo);
  if (!SecProviderAttempted() || !(s.options & kOptTls)) return {};
  if (!SecProviderLoaded()) return Status(cvErrorSecurityNotInitialized);
  // The command channel's connection (idle after CCC), else a data connection's.
  const plat::TlsContext* context = nullptr;
  if (s.streams) {
    ChannelStreams& t = *s.streams;
    for (const cvcore::TlsStage* stage : {t.stages[0].get(), t.cleared.get(), t.stages[1].get()})
      if (!context && stage && stage->context().HandshakeDone()) context = &stage->context();
  }
  if (!context || !cvcore::TlsClient::Describe(*context, *info, s.streams->issuer, s.streams->subject))
    return Status(cvErrorSecurityContext);
  info->certificateStatus = plat::TlsCertStateFromPolicyError(s.certificateStatus);
  return {};
}

}  // namespace

int32_t FtpGetSecurityInfo(LibHandle handle, SecSessionInfo* info) {
  using namespace cvftp;
  Operation op(handle);
  if (!op) return 0;
  FtpSession& s = *op.session();
  return Library().Finish((s.options & kOptSftp) ? hooks::SftpSecurityInfo(s, info) : DescribeSession(s, info), 1, 0);
}
