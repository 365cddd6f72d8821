// Re-establishing a broken connection on the same handle, and the channel accessors.
#include <string>

#include "ftp/ftp_hooks.h"
#include "ftp/ftp_internal.h"
#include "ftp/ftp_notify.h"
#include "ftp/ftp_tls.h"

namespace cvftp {

namespace {

// Fails a reconnect: the session is released.
Status GiveUp(FtpSession& s, Status failure) {
  ReleaseOrDefer(s.header.handle);
  return failure;
}

// Fails a reconnect after the greeting: QUIT and release.
Status QuitWith(FtpSession& s, Status failure) {
  Disconnect(s);
  return failure;
}

// TLS on the new command channel: implicit TLS before the greeting, explicit after it.
Status RestartTls(FtpSession& s) {
  if (const Status shaken = hooks::TlsHandshake(s); !shaken.ok()) return shaken;
  if (const Status verified = ToleratedCertificate(hooks::TlsVerifyServer(s)); !verified.ok()) return verified;
  s.commandProtected = 1;
  return {};
}

}  // namespace

Result<int32_t> Reconnect(FtpSession& s) noexcept {
  if (s.options & kOptSftp) return Status(cvErrorServerResyncFailed);
  hooks::TlsShutdown(s, FtpChannel::Data);
  CloseChannel(s, FtpChannel::Data);
  hooks::TlsShutdown(s, FtpChannel::Command);
  CloseChannel(s, FtpChannel::Command);
  const std::string directory = s.currentDirectory;
  const uint32_t options = s.options;
  const HWND notifyWindow = s.notify.notifyWindow;
  const uint32_t notifyMessage = s.notify.notifyMessage;
  const uint32_t fileType = s.fileType;
  const bool tls = options & kOptTls;
  const bool explicitTls = tls && (options & kOptTlsExplicit);

  if (s.notify.socketWindow) Notify::AttachWindow(s.header.handle, nullptr);
  s.notify.socketMessage = 0;
  s.notify.notifyWindow = nullptr;
  s.notify.notifyMessage = 0;
  s.loggedIn = 0;
  s.options &= ~kOptTls;
  s.blocked.store(0);
  s.replyPending = 0;
  s.restartPending.store(0);
  s.pbszSent = 0;
  s.listingTypeOverride = 0;
  s.listingLineLength = 0;
  s.currentDirectory[0] = '\0';
  s.replyCode = 0;
  s.commandLine[0] = '\0';
  s.bytesBuffered = 0;
  s.dataCursor = s.dataBuffer;
  s.channelDebt = FtpChannelDebt::None;
  s.commandProtected = 0;  // the new connection is protected again once its handshake is done
  SetState(s, FtpState::Idle);

  const bool viaProxy = s.proxyType != kProxyNone;
  // What went wrong on the way is not what the caller asked about: the reconnect failed.
  const Status resyncError(cvErrorServerResyncFailed);
  const Result<SOCKET> control =
      OpenConnection(s, viaProxy ? s.proxyAddress : s.serverAddress, viaProxy ? s.proxyPort : s.serverPort);
  if (!control.ok()) return GiveUp(s, resyncError);
  s.header.controlSocket = control.value();
  s.options |= kOptInternalQuery;
  if (tls && !explicitTls && !RestartTls(s).ok()) return GiveUp(s, resyncError);
  s.replyPending = 1;
  if (const Result<int32_t> greeting = ReadReply(s); !greeting.ok() || greeting.value() != 220)
    return GiveUp(s, resyncError);
  if (explicitTls && !RestartTls(s).ok()) return GiveUp(s, resyncError);
  s.options |= (options & kOptTls);

  if (!ProxyLogin(s).ok()) return QuitWith(s, Status(cvErrorProxyResyncFailed));
  if (!s.loggedIn)
    if (const Result<int32_t> r = Login(s, s.user, s.password, s.account); !r.ok()) return QuitWith(s, r.status());
  if (!directory.empty()) {
    if (const Result<int32_t> r = SendCommand(s, "CWD", directory.c_str()); !r.ok()) return QuitWith(s, r.status());
    CopyField(s.currentDirectory, directory.c_str());
  }
  s.options = options;
  s.notify.notifyWindow = notifyWindow;
  s.notify.notifyMessage = notifyMessage;
  s.fileType = fileType;
  return 200;
}

}  // namespace cvftp

int32_t FtpReconnect(LibHandle handle) {
  cvftp::Operation op(handle);
  if (!op) return -1;
  return cvftp::Library().FinishClean(cvftp::Reconnect(*op.session()), -1);
}

int32_t FtpCloseChannel(LibHandle handle, uint32_t channel) {
  cvftp::Operation op(handle);
  if (!op) return -1;
  FtpSession& s = *op.session();
  if (s.options & cvftp::kOptSftp) return cvftp::Library().Finish(cvftp::Status(cvErrorOperationNotSupported), 0, -1);
  if (channel > 1) return cvftp::Library().Finish(cvftp::Status(cvErrorInvalidParameter), 0, -1);
  cvftp::CloseChannel(s, channel == 1 ? FtpChannel::Data : FtpChannel::Command);
  return 0;
}

SOCKET FtpGetSocket(LibHandle handle, uint32_t channel) {
  cvftp::Operation op(handle);
  if (!op) return INVALID_SOCKET;
  FtpSession& s = *op.session();
  uint32_t error = 0;
  if (s.options & cvftp::kOptSftp)
    error = cvErrorOperationNotSupported;
  else if (channel == 0 && s.header.controlSocket == INVALID_SOCKET)
    error = cvErrorNotConnected;
  else if (channel == 1 && s.dataSocket == INVALID_SOCKET)
    error = cvErrorConnectionClosed;
  else if (channel > 1)
    error = cvErrorInvalidParameter;
  return cvftp::Library().Finish(cvftp::Status(error), channel == 0 ? s.header.controlSocket : s.dataSocket,
                                 INVALID_SOCKET);
}
