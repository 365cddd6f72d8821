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
#include "ftp/ftp_tls.h"
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
Status Abandon(FtpSession& s, Status failure) noexcept {
  ReleaseOrDefer(s.header.handle);
  return failure;
}

// Fails a connect after the greeting: QUIT, then release.
Status Quit(FtpSession& s, Status failure) noexcept {
  Disconnect(s);
  return failure;
}

Result<LibHandle> ConnectSftp(const char* host, uint32_t port, const char* user, const char* password, uint32_t timeout,
                              uint32_t options, SecCredentials* credentials) {
  options &= ~kOptNoServerQueries;
  if (credentials) credentials->protocolMask &= ~kTlsProtocolBits;
  if (!user) return Status(cvErrorInvalidUserName);
  if (port == 0) port = 22;
  if (credentials && !Empty(credentials->reservedText)) return Status(cvErrorFeatureNotSupported);
  const Result<LibHandle> h = Library().NewSession();
  if (!h.ok()) return h;
  Operation op(h.value());
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
  const Result<SshSession*> ssh = hooks::SftpConnect(s, host, port, user, password, s.timeout, s.options, credentials);
  if (!ssh.ok()) return Abandon(s, ssh.status());
  s.sftpSession = ssh.value();
  s.blocked.store(0);
  SetState(s, FtpState::Idle);
  s.loggedIn = 1;
  s.connected = 1;
  s.systemType = 1;
  s.directoryFormat = 1;
  return h;
}

// The session's own credentials for the command channel's TLS.
Status PrepareTls(FtpSession& s, SecCredentials* credentials) {
  SecCredentials empty{};
  empty.headSize = sizeof(SecCredentials);
  SecCredentials* source = credentials ? credentials : &empty;
  if (source->protocolMask == 0) source->protocolMask = kDefaultTlsMask;
  s.tlsProtocolMask = source->protocolMask;
  s.credentials = SecCopyCredentials(source);
  if (!s.credentials) return PlatformError();
  return hooks::TlsAcquireCredentials(s);
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

void Disconnect(FtpSession& s) noexcept {
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
      static_cast<void>(SendCommand(s, "QUIT", nullptr));
    }
  }
  ReleaseOrDefer(s.header.handle);
}

namespace {

// A plain or TLS session on a resolved, validated host name.
Result<LibHandle> ConnectFtp(const char* name, uint32_t port, const char* user, const char* password, uint32_t timeout,
                             uint32_t options, SecCredentials* credentials) {
  const bool tls = options & kOptTls;
  if (tls) {
    if (!SecLoadProvider()) return PlatformError();
    if (!(options & kOptNoPortInference) && port == 21) options |= kOptTlsExplicit;
    if (port == 0) port = (options & kOptTlsExplicit) ? 21 : 990;
  } else if (port == 0) {
    port = 21;
  }
  const bool explicitTls = tls && (options & kOptTlsExplicit);

  const Result<LibHandle> h = Library().NewSession();
  if (!h.ok()) return h;
  Operation op(h.value());
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
  if (tls)
    if (const Status prepared = PrepareTls(s, credentials); !prepared.ok()) return Abandon(s, prepared);
  if (SockResolveAddress(name, (options & kOptIpv6) ? 23 : 0, &s.serverAddress) == -1)
    return Abandon(s, Status(cvErrorInvalidHostName));
  s.blocked.store(1);
  s.replyPending = 1;
  SetState(s, FtpState::Connecting);
  const Result<SOCKET> control = OpenConnection(s, s.serverAddress, port);
  if (!control.ok()) return Abandon(s, control.status());
  s.header.controlSocket = control.value();

  bool haveGreeting = false;
  if (explicitTls) {
    const Result<int32_t> r = ReadReply(s);
    if (!r.ok()) return Abandon(s, r.status());
    if (r.value() != 220) return Abandon(s, Status(cvErrorInvalidServerResponse));
    haveGreeting = true;
  }
  uint32_t greetingCode = s.replyCode;
  std::string greetingText = s.replyText;
  if (tls) {
    if (const Status shaken = hooks::TlsHandshake(s); !shaken.ok()) return Abandon(s, shaken);
    if (const Status verified = ToleratedCertificate(hooks::TlsVerifyServer(s)); !verified.ok())
      return Abandon(s, verified);
    s.commandProtected = 1;
    s.dataProtected = 1;
  }
  const Result<int32_t> code = ReadReply(s);
  if (!code.ok()) return Abandon(s, code.status());
  if (!haveGreeting) {
    greetingCode = s.replyCode;
    greetingText = s.replyText;
  }
  if (explicitTls && code.value() != 234 && code.value() != 334) return Abandon(s, Status(cvErrorServiceUnavailable));
  s.blocked.store(0);
  s.connected = 1;
  SetState(s, FtpState::Idle);

  if (options & kOptSendHost) {
    s.features |= kFeatureHost;
    if (const Result<int32_t> r = SendCommand(s, "HOST", s.hostName); !r.ok()) return Quit(s, r.status());
  }
  // The query's failure is no connect's, but a cancel is: the caller stops waiting here.
  static_cast<void>(GetSystemType(s));
  if (s.cancelRequested.load()) return Abandon(s, Status(cvErrorOperationCanceled));
  if (options & kOptNoLogin) {
    s.loggedIn = 1;
    // What the server offers and its binary type are asked for, not required.
    static_cast<void>(QueryFeatures(s));
    static_cast<void>(SendType(s, kTypeImage));
  } else if (user) {
    if (const Result<int32_t> r = Login(s, user, password, nullptr); !r.ok()) return Quit(s, r.status());
  }
  // A session without keep-alive still stands.
  if (options & kOptKeepAlive) static_cast<void>(hooks::EnableKeepAlive(s));
  s.replyCode = greetingCode;
  CopyField(s.replyText, greetingText.c_str());
  return h;
}

}  // namespace

}  // namespace cvftp

LibHandle FtpConnect(const char* host, uint32_t port, const char* user, const char* password, uint32_t timeout,
                     uint32_t options, SecCredentials* credentials) {
  using namespace cvftp;
  if (Empty(host)) return Library().Finish(Status(cvErrorInvalidHostName), kInvalidLibHandle, kInvalidLibHandle);
  if ((options & kOptIpv6) && !SockIsIPv6Available())
    return Library().Finish(Status(cvErrorProtocolNotAvailable), kInvalidLibHandle, kInvalidLibHandle);
  char name[kFtpHostNameSize];
  if (!TakeHost(host, name, options, &port))
    return Library().Finish(Status(cvErrorInvalidHostName), kInvalidLibHandle, kInvalidLibHandle);
  if (Empty(user)) user = nullptr;
  if (Empty(password)) password = nullptr;
  options = DeriveOptions(options, port, credentials);
  if (options & kOptSftp)
    return Library().Finish(ConnectSftp(name, port, user, password, timeout, options, credentials), kInvalidLibHandle);
  return Library().FinishClean(ConnectFtp(name, port, user, password, timeout, options, credentials),
                               kInvalidLibHandle);
}

int32_t FtpDisconnect(LibHandle handle) {
  cvftp::Operation op(handle);
  if (!op) return -1;
  cvftp::Disconnect(*op.session());
  return 0;
}
