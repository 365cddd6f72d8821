// Opening a session: host or URL, port and option inference, the TCP connection, the
// greeting, and the server queries and login that follow. TLS and SFTP run through the
// call points of ftp_hooks.h.
#include <cstring>
#include <string>

#include "core/tls/sec_tls.h"
#include "core/url/sock_address.h"
#include "core/url/url.h"
#include "ftp/ftp_hooks.h"
#include "ftp/ftp_internal.h"
#include "ftp/ftp_transfer.h"

namespace cvftp {

namespace {

constexpr uint32_t kTlsProtocolBits = 0x1F;
constexpr uint32_t kDefaultTlsMask = 16;  // TLS 1.2

// Adds what the port, the explicit bits and the credentials imply.
uint32_t DeriveOptions(uint32_t o, uint32_t port, const SecCredentials* credentials) {
  if (o & kOptNoPortInference) {
    o |= kOptPassive | kOptPassiveIgnoreAddress;
  } else {
    if (port == 990) o |= kOptTls;
    if (port == 22) o |= kOptSftp;
  }
  if (o & kOptTlsExplicit) o |= kOptTls;
  if (o & kOptPassiveIgnoreAddress) o |= kOptPassive;
  if (credentials && (credentials->protocolMask & kProtocolSsh)) o |= kOptSftp;
  if (o & kOptKeepAliveData) o |= kOptKeepAlive;
  return o;
}

// Fails a connect whose session exists but never got connected.
LibHandle Abandon(FtpSession& s) {
  ReleaseOrDefer(s.header.handle);
  return kInvalidLibHandle;
}

// Fails a connect after the greeting: QUIT, then release, keeping the error.
LibHandle Quit(FtpSession& s) {
  const uint32_t error = Library().GetLastError();
  Disconnect(s);
  Library().SetLastError(error);
  return kInvalidLibHandle;
}

LibHandle ConnectSftp(const char* host, uint32_t port, const char* user, const char* password, uint32_t timeout,
                      uint32_t options, SecCredentials* credentials) {
  options &= ~kOptNoServerQueries;
  if (credentials) credentials->protocolMask &= ~kTlsProtocolBits;
  if (!user) return FailHandle(cvErrorInvalidUserName);
  if (port == 0) port = 22;
  if (credentials && !Empty(credentials->reservedText)) return FailHandle(cvErrorFeatureNotSupported);
  LibHandle h = FtpAllocSession();
  if (h == kInvalidLibHandle) return h;
  Operation op(h);
  FtpSession& s = *op.session();
  CopyField(s.hostName, host);
  CopyField(s.user, user);
  CopyField(s.password, password);
  s.blocked.store(1);
  s.options = options & ~(kOptTls | kOptTlsExplicit);
  SetState(s, FtpState::Connecting);
  s.timeout = timeout ? timeout : 20;
  s.serverPort = port;
  // The session's own timeout: a Timeout of 0 means the default here too, never no limit.
  s.sftpSession = hooks::SftpConnect(s, host, port, user, password, s.timeout, s.options, credentials);
  if (!s.sftpSession) return Abandon(s);
  s.blocked.store(0);
  SetState(s, FtpState::Idle);
  s.loggedIn = 1;
  s.connected = 1;
  s.systemType = 1;
  s.directoryFormat = 1;
  return h;
}

// The session's own credentials for the command channel's TLS.
bool PrepareTls(FtpSession& s, SecCredentials* credentials) {
  SecCredentials empty{};
  empty.headSize = sizeof(SecCredentials);
  SecCredentials* source = credentials ? credentials : &empty;
  if (source->protocolMask == 0) source->protocolMask = kDefaultTlsMask;
  s.tlsProtocolMask = source->protocolMask;
  s.credentials = SecCopyCredentials(source);
  if (!s.credentials) return TakePlatformError(), false;
  return hooks::TlsAcquireCredentials(s) != -1;
}

}  // namespace

bool TakeHost(const char* text, char (&out)[kFtpHostNameSize], uint32_t& options, uint32_t* port) {
  if (Empty(text)) return false;
  std::string host = text;
  if (FtpUrlScheme(text) != 0) {
    FtpUrl* url = nullptr;
    if (!FtpParseUrl(text, &url)) return false;
    host = url->host ? url->host : "";
    if (port && *port == 0) *port = url->port;
    if (url->scheme == 2) {
      options |= kOptTls;
      options &= ~kOptSftp;
    } else if (url->scheme == 3) {
      options |= kOptSftp;
      options &= ~(kOptTls | kOptTlsExplicit);
    }
    UrlFree(url);
  }
  return SockNormalizeHostName(host.c_str(), out) != nullptr;
}

int32_t Disconnect(FtpSession& s) noexcept {
  if (s.sftpSession) {
    hooks::SftpDisconnect(s);
  } else {
    SetState(s, FtpState::Closing);
    // From inside an event of a running call the channel is mid-exchange: just close it.
    // A channel that failed (a reply still owed after a time-out or a cancel, or bytes out
    // of step) is closed too: a QUIT there would wait once more for a server that already
    // let a wait run out, and the closed connection tells the server as much.
    if (s.operationDepth <= 1 && s.header.controlSocket != INVALID_SOCKET && s.dataSocket == INVALID_SOCKET &&
        s.channelDebt == FtpChannelDebt::None) {
      s.firstQueriesDone = 1;  // no queries of our own on the way out
      // Whatever becomes of the QUIT, the session ends: its wait reports nothing.
      WithheldEvents quiet(s, kEventTimeout | kEventCanceled);
      SendCommand(s, "QUIT", nullptr);
    }
  }
  ReleaseOrDefer(s.header.handle);
  return 0;
}

}  // namespace cvftp

LibHandle FtpConnect(const char* host, uint32_t port, const char* user, const char* password, uint32_t timeout,
                     uint32_t options, SecCredentials* credentials) {
  using namespace cvftp;
  if (Empty(host)) return FailHandle(cvErrorInvalidHostName);
  if ((options & kOptIpv6) && !SockIsIPv6Available()) return FailHandle(cvErrorProtocolNotAvailable);
  char name[kFtpHostNameSize];
  if (!TakeHost(host, name, options, &port)) return FailHandle(cvErrorInvalidHostName);
  if (Empty(user)) user = nullptr;
  if (Empty(password)) password = nullptr;
  options = DeriveOptions(options, port, credentials);
  if (options & kOptSftp) return ConnectSftp(name, port, user, password, timeout, options, credentials);

  const bool tls = options & kOptTls;
  if (tls) {
    if (!SecLoadProvider()) return FailHandle(TakePlatformError());
    if (!(options & kOptNoPortInference) && port == 21) options |= kOptTlsExplicit;
    if (port == 0) port = (options & kOptTlsExplicit) ? 21 : 990;
  } else if (port == 0) {
    port = 21;
  }
  const bool explicitTls = tls && (options & kOptTlsExplicit);

  LibHandle h = FtpAllocSession();
  if (h == kInvalidLibHandle) return h;
  Operation op(h);
  FtpSession& s = *op.session();
  s.options = options;
  s.serverPort = port;
  s.timeout = timeout ? timeout : 20;
  CopyField(s.hostName, name);
  if (options & kOptPassive) s.passive = 1;
  if (options & kOptNoServerQueries) {
    s.features = 0;
    s.encoding = kEncodingNone;
    s.featuresQueried = 1;
  }
  if (tls && !PrepareTls(s, credentials)) return Abandon(s);
  if (SockResolveAddress(name, (options & kOptIpv6) ? 23 : 0, &s.serverAddress) == -1) {
    Fail(cvErrorInvalidHostName);
    return Abandon(s);
  }
  s.blocked.store(1);
  s.replyPending = 1;
  SetState(s, FtpState::Connecting);
  s.header.controlSocket = OpenConnection(s, s.serverAddress, port);
  if (s.header.controlSocket == INVALID_SOCKET) return Abandon(s);

  bool haveGreeting = false;
  if (explicitTls) {
    int32_t r = ReadReply(s);
    if (r == -1) return Abandon(s);
    if (r != 220) {
      Fail(cvErrorInvalidServerResponse);
      return Abandon(s);
    }
    haveGreeting = true;
  }
  uint32_t greetingCode = s.replyCode;
  std::string greetingText = s.replyText;
  if (tls) {
    if (hooks::TlsHandshake(s) == -1) return Abandon(s);
    if (hooks::TlsVerifyServer(s) == -1 && FtpGetLastError() != cvErrorSecurityCertificate) return Abandon(s);
    s.commandProtected = 1;
    s.dataProtected = 1;
  }
  const int32_t code = ReadReply(s);
  if (code == -1) return Abandon(s);
  if (!haveGreeting) {
    greetingCode = s.replyCode;
    greetingText = s.replyText;
  }
  if (explicitTls && code != 234 && code != 334) {
    Fail(cvErrorServiceUnavailable);
    return Abandon(s);
  }
  s.blocked.store(0);
  s.connected = 1;
  SetState(s, FtpState::Idle);

  if (options & kOptSendHost) {
    s.features |= kFeatureHost;
    if (SendCommand(s, "HOST", s.hostName) == -1) return Quit(s);
  }
  GetSystemType(s);
  // The query's failure is no connect's, but a cancel is: the caller stops waiting here.
  if (s.cancelRequested.load()) {
    Fail(cvErrorOperationCanceled);
    return Abandon(s);
  }
  if (options & kOptNoLogin) {
    s.loggedIn = 1;
    QueryFeatures(s);
    SendType(s, kTypeImage);
  } else if (user && Login(s, user, password, nullptr) == -1) {
    return Quit(s);
  }
  if (options & kOptKeepAlive) hooks::EnableKeepAlive(s);
  s.replyCode = greetingCode;
  CopyField(s.replyText, greetingText.c_str());
  Library().SetLastError(0);
  return h;
}

int32_t FtpDisconnect(LibHandle handle) {
  cvftp::Operation op(handle);
  if (!op) return -1;
  return cvftp::Disconnect(*op.session());
}
