// Re-establishing a broken connection on the same handle, and the channel accessors.
#include <string>

#include "ftp/ftp_hooks.h"
#include "ftp/ftp_internal.h"
#include "ftp/ftp_notify.h"

namespace cvftp {

namespace {

// Fails a reconnect: the session is released with the error kept.
int32_t GiveUp(FtpSession& s, uint32_t error) {
  if (error) Fail(error);
  const uint32_t kept = Library().GetLastError();
  ReleaseOrDefer(s.header.handle);
  return Fail(kept);
}

// Fails a reconnect after the greeting: QUIT and release, the error kept.
int32_t QuitWith(FtpSession& s, uint32_t error) {
  if (error) Fail(error);
  const uint32_t kept = Library().GetLastError();
  Disconnect(s);
  return Fail(kept);
}

// TLS on the new command channel: implicit TLS before the greeting, explicit after it.
bool RestartTls(FtpSession& s) {
  const uint32_t earlier = Library().GetLastError();
  if (hooks::TlsHandshake(s) == -1) return false;
  if (hooks::TlsVerifyServer(s) == -1) {
    if (FtpGetLastError() != cvErrorSecurityCertificate) return false;
    Library().SetLastError(earlier);
  }
  s.commandProtected = 1;
  return true;
}

}  // namespace

int32_t Reconnect(FtpSession& s) noexcept {
  if (s.options & kOptSftp) return Fail(cvErrorServerResyncFailed);
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
  s.header.controlSocket =
      OpenConnection(s, viaProxy ? s.proxyAddress : s.serverAddress, viaProxy ? s.proxyPort : s.serverPort);
  if (s.header.controlSocket == INVALID_SOCKET) return GiveUp(s, cvErrorServerResyncFailed);
  s.options |= kOptInternalQuery;
  if (tls && !explicitTls && !RestartTls(s)) return GiveUp(s, cvErrorServerResyncFailed);
  s.replyPending = 1;
  if (ReadReply(s) != 220) return GiveUp(s, cvErrorServerResyncFailed);
  if (explicitTls && !RestartTls(s)) return GiveUp(s, cvErrorServerResyncFailed);
  s.options |= (options & kOptTls);

  if (!ProxyLogin(s)) return QuitWith(s, cvErrorProxyResyncFailed);
  if (!s.loggedIn && Login(s, s.user, s.password, s.account) == -1) return QuitWith(s, 0);
  if (!directory.empty()) {
    if (SendCommand(s, "CWD", directory.c_str()) == -1) return QuitWith(s, 0);
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
  return cvftp::Reconnect(*op.session());
}

int32_t FtpCloseChannel(LibHandle handle, uint32_t channel) {
  cvftp::Operation op(handle);
  if (!op) return -1;
  FtpSession& s = *op.session();
  if (s.options & cvftp::kOptSftp) return cvftp::Fail(cvErrorOperationNotSupported);
  if (channel > 1) return cvftp::Fail(cvErrorInvalidParameter);
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
  if (error) {
    cvftp::Fail(error);
    return INVALID_SOCKET;
  }
  return channel == 0 ? s.header.controlSocket : s.dataSocket;
}
