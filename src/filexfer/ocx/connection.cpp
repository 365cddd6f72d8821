// Opening a library session from the control's properties, the implicit connection of the
// methods, and the steps the transfer and directory methods share.
#include <strings.h>

#include "core/errors/error_codes.h"
#include "core/tls/sec_tls.h"
#include "filexfer/ocx/file_transfer.h"
#include "filexfer/ocx/libraries.h"
#include "filexfer/ocx/method_frame.h"
#include "ftp/ftp.h"
#include "ftp/ftp_bits.h"
#include "http/http.h"
#include "http/http_bits.h"
#include "ocx/variant_args.h"
#include "platform/base/utf.h"

namespace filexfer {
namespace {

// The library events the control hears: timeout, cancel, command and progress.
constexpr uint32_t kFtpEventMask =
    cvftp::kEventTimeout | cvftp::kEventCanceled | cvftp::kEventCommandReply | cvftp::kEventProgress;
constexpr uint32_t kHttpEventMask =
    cvhttp::kEventTimeout | cvhttp::kEventCancel | cvhttp::kEventCommand | cvhttp::kEventProgress;

std::string U8(const std::u16string& s) { return ocx::Utf16ToUtf8(s); }

// The library error that a call must leave in place across a cleanup that may reset it.
class KeepLastError {
 public:
  explicit KeepLastError(const ocx::LibraryOps& lib) : lib_(lib), code_(lib.getLastError()) {}
  ~KeepLastError() { lib_.setLastError(code_); }

 private:
  const ocx::LibraryOps& lib_;
  uint32_t code_;
};

}  // namespace

const ocx::LibraryOps& CFileTransfer::CurrentLibrary() const {
  return s_.serverType == kServerFtp ? kFtpLibrary : kHttpLibrary;
}

bool CFileTransfer::ServerTypeFromUrl(const std::string& utf8) {
  static constexpr std::pair<const char*, int32_t> kSchemes[] = {
      {"http://", kServerHttp}, {"https://", kServerHttp}, {"ftp://", kServerFtp},
      {"ftps://", kServerFtp},  {"sftp://", kServerFtp},
  };
  for (auto [scheme, type] : kSchemes) {
    if (strncasecmp(utf8.c_str(), scheme, strlen(scheme)) == 0) {
      s_.serverType = type;
      return true;
    }
  }
  return false;
}

bool CFileTransfer::IsUrlArgument(const std::u16string& text) { return !text.empty() && ServerTypeFromUrl(U8(text)); }

HRESULT CFileTransfer::AdoptUrl(std::u16string& remote) {
  if (Open() || !IsUrlArgument(remote)) return S_OK;
  BSTR url = SysAllocStringLen(remote.data(), UINT(remote.size()));
  if (!url) return E_OUTOFMEMORY;
  HRESULT hr = put_URL(url);
  SysFreeString(url);
  if (FAILED(hr)) return hr;
  remote = s_.resource;
  return S_OK;
}

HRESULT CFileTransfer::RemoteNameArgument(const VARIANT& arg, std::u16string* out, const char16_t* def) {
  if (HRESULT hr = TextArgument(arg, out, def); FAILED(hr)) return hr;
  return AdoptUrl(*out);
}

CFileTransfer::MethodCall CFileTransfer::BeginMethod(VARIANT* error, Init init) {
  if (init == Init::Lazy && !IsInitialized()) AutoInitialize();
  SetErrorArgument(error, 0);
  return MethodCall(*this);
}

CFileTransfer::MethodCall::~MethodCall() {
  if (--c_.call_.depth > 0) return;
  // A call that succeeded leaves no error of its probes or of an earlier call behind; one
  // that met a time-out or a cancel (its OnError fired) leaves that.
  if (!c_.call_.raised && !c_.call_.firstError && !c_.call_.keepLastError) c_.SetLastErrorCode(0);
  c_.call_ = CallEvents{};
}

HRESULT CFileTransfer::RaiseError(uint32_t code, bool returnFlag, bool fireFlag) {
  const HRESULT hr = ControlCore::RaiseError(code, returnFlag, fireFlag);
  if (call_.depth > 0 && LastErrorCode() != 0) {
    if (!notifying_) call_.raised = true;
    if (!call_.firstError) call_.firstError = LastErrorCode();
  }
  return hr;
}

HRESULT CFileTransfer::Fail(VARIANT* error, uint32_t code) {
  // What the library met after its first failure (a reply it could no longer read, a
  // command refused on a channel out of step) is not what went wrong.
  if (call_.depth > 0 && call_.firstError) code = call_.firstError;
  if (code == 0) code = CurrentLibrary().getLastError();
  SetErrorArgument(error, Low16(code));
  return RaiseError(code, s_.throwError, true);
}

HRESULT CFileTransfer::Refuse(VARIANT* error, uint32_t code, const ocx::LibraryOps* setIn, bool raiseCode) {
  if (setIn) setIn->setLastError(code);
  SetErrorArgument(error, Low16(code));
  return RaiseError(raiseCode ? code : 0, s_.throwError, true);
}

std::optional<HRESULT> CFileTransfer::FtpOnlyGate(VARIANT* error, bool throughHttp) {
  if (s_.serverType == kServerFtp) return std::nullopt;
  return Refuse(error, cvErrorOperationNotSupported, throughHttp ? &kHttpLibrary : nullptr, !throughHttp);
}

std::optional<HRESULT> CFileTransfer::FtpSessionGate(VARIANT* error, Gate gate) {
  const bool raiseCode = gate == Gate::Direct;
  if (s_.serverType != kServerFtp) return Refuse(error, cvErrorOperationNotSupported, &kHttpLibrary, raiseCode);
  if (Open()) return std::nullopt;
  return Refuse(error, gate == Gate::ThroughHandle ? cvErrorInvalidHandle : cvErrorNotConnected, &kFtpLibrary,
                raiseCode);
}

HRESULT ImplicitConnection::Open() {
  if (c_.Open()) return S_OK;
  HRESULT hr = c_.ConnectFromProperties();
  made_ = SUCCEEDED(hr);
  return hr;
}

void ImplicitConnection::End() {
  if (!made_) return;
  made_ = false;
  KeepLastError keep(c_.CurrentLibrary());
  // The host may still ask how the connection that served the method was secured: the
  // texts the connection owns are copied before it goes.
  SecSessionInfo& record = c_.s_.security;
  c_.s_.keptIssuer = record.issuer ? record.issuer : "";
  c_.s_.keptSubject = record.subject ? record.subject : "";
  VARIANT scratch{};
  c_.Disconnect(&scratch);
  VariantClear(&scratch);
  record.issuer = record.subject = record.hostKeyFingerprint = nullptr;
  c_.s_.securityKept = true;
}

void CFileTransfer::ConnectFtp(SecCredentials* credentials) {
  uint32_t options = 0;
  if (s_.options & cvftp::kOptTls) options |= cvftp::kOptTls;
  if (s_.options & cvftp::kOptTlsExplicit) options |= cvftp::kOptTls | cvftp::kOptTlsExplicit;
  if (s_.options & cvftp::kOptSftp) options |= cvftp::kOptSftp;
  if (s_.passive) options |= cvftp::kOptPassive;
  if (s_.keepAlive) options |= cvftp::kOptKeepAlive;
  if (s_.secure) options |= cvftp::kOptTls;
  if (s_.secureProtocol & cvftp::kProtocolSsh) options |= cvftp::kOptSftp;

  const std::string server = U8(s_.serverName), user = U8(s_.userName), password = U8(s_.password);
  const bool sftp = s_.serverPort == 22 || (options & cvftp::kOptSftp);
  LibHandle h = kInvalidLibHandle;
  if (sftp) {
    // The SSH connection authenticates itself: no separate login.
    h = FtpConnect(server.c_str(), uint32_t(s_.serverPort), user.c_str(), password.c_str(), uint32_t(s_.timeout),
                   options, credentials);
  } else if (s_.proxyType != 0) {
    h = FtpProxyConnect(uint32_t(s_.proxyType), U8(s_.proxyServer).c_str(), uint32_t(s_.proxyPort),
                        U8(s_.proxyUser).c_str(), U8(s_.proxyPassword).c_str(), server.c_str(),
                        uint32_t(s_.timeout), options, credentials);
  } else {
    h = FtpConnect(server.c_str(), uint32_t(s_.serverPort), nullptr, nullptr, uint32_t(s_.timeout), options,
                   credentials);
  }
  if (h == kInvalidLibHandle) return;
  session_ = h;

  if (!sftp && s_.proxyType != cvftp::kProxyOther) {
    SetState(ControlState::Login);
    if (FtpLogin(h, user.c_str(), password.c_str(), U8(s_.account).c_str()) == -1) {
      KeepLastError keep(kFtpLibrary);
      const int32_t reply = FtpReadReply(h);
      loginReplyCode_ = reply < 0 ? 0 : uint32_t(reply);
      FtpDisconnect(h);
      session_ = kInvalidLibHandle;
      SetState(ControlState::Unused);
      return;
    }
  }

  // The set-up after the login. A refusal only leaves a setting unapplied: the connection
  // stands without it. A channel that failed meanwhile (no reply within the timeout, a
  // cancel, the connection lost) owes the server's reply and is no connection: the connect
  // fails with that error, and no further command waits on the channel.
  const auto channelFailed = [](int32_t result) {
    if (result != -1) return false;
    switch (FtpGetLastError()) {
      case cvErrorOperationTimeout:
      case cvErrorOperationCanceled:
      case cvErrorConnectionClosed:
      case cvErrorConnectionReset:
      case cvErrorConnectionAborted:
      case cvErrorNotConnected:
      case cvErrorInvalidHandle:
        return true;
      default:
        return false;
    }
  };
  FtpSetPriority(h, uint32_t(s_.priority));
  FtpSetActivePorts(h, s_.activePortLow, s_.activePortHigh);
  if (s_.featuresSet) FtpSetFeatures(h, s_.features);
  s_.features = FtpGetFeatures(h);
  bool failed = false;
  if ((s_.features & cvftp::kFeatureUtf8) && s_.encoding == 2) {
    const int32_t r = FtpSetEncoding(h, 2);
    failed = channelFailed(r);
    if (r == -1) {
      s_.features &= ~cvftp::kFeatureUtf8;
      s_.encoding = 1;
    }
  }
  FtpRegisterEvents(h, Window(), kLibraryNotifyMessage, kFtpEventMask);
  failed = failed || channelFailed(ReadServerDirectory() ? 0 : -1) ||
           channelFailed(FtpSetFileType(h, uint32_t(s_.fileType))) ||
           channelFailed(FtpSetPassiveMode(h, s_.passive ? 1 : 0));
  if (failed) {
    KeepLastError keep(kFtpLibrary);
    FtpDisconnect(h);
    session_ = kInvalidLibHandle;
  }
}

void CFileTransfer::ConnectHttp(SecCredentials* credentials) {
  uint32_t options = cvhttp::kOptKeepAlive;
  if (s_.options & cvhttp::kOptNoCache) options |= cvhttp::kOptNoCache;
  if ((s_.options & cvftp::kOptTls) || s_.secure) options |= cvhttp::kOptSecure;
  const std::string server = U8(s_.serverName);
  LibHandle h = kInvalidLibHandle;
  if (s_.proxyType != 0) {
    h = HttpProxyConnect(uint32_t(s_.proxyType), U8(s_.proxyServer).c_str(), uint32_t(s_.proxyPort),
                         U8(s_.proxyUser).c_str(), U8(s_.proxyPassword).c_str(), server.c_str(),
                         uint32_t(s_.serverPort), uint32_t(s_.timeout), options, s_.protocolVersion, credentials);
  } else {
    h = HttpConnect(server.c_str(), uint32_t(s_.serverPort), uint32_t(s_.timeout), options, s_.protocolVersion,
                    credentials);
  }
  if (h == kInvalidLibHandle) return;
  session_ = h;
  SetState(ControlState::Idle);
  HttpSetPriority(h, uint32_t(s_.priority));
  HttpSetCompression(h, s_.compression ? 1 : 0);
  HttpRegisterEvents(h, Window(), kLibraryNotifyMessage, kHttpEventMask);
  HttpSetAuthentication(h, 1, U8(s_.userName).c_str(), U8(s_.password).c_str());
}

HRESULT CFileTransfer::ConnectFromProperties() {
  if (Open()) Disconnect(nullptr);
  SetState(ControlState::Connecting);
  s_.transferBytes = 0;
  s_.transferRate = 0;
  s_.transferTime = 0;

  SecCredentials* credentials = nullptr;
  if (!s_.certificateName.empty() || s_.secureProtocol != 0)
    SecCreateCredentials(s_.secureProtocol, U8(s_.certificateUser).c_str(), U8(s_.certificatePassword).c_str(),
                         U8(s_.certificateStore).c_str(), U8(s_.certificateName).c_str(), &credentials);
  if (s_.serverType == kServerFtp)
    ConnectFtp(credentials);
  else if (s_.serverType == kServerHttp)
    ConnectHttp(credentials);
  SecFreeCredentials(&credentials);

  if (!Open()) {
    SetState(ControlState::Unused);
    return RaiseError(0, true, false);
  }
  if (tasks_.ServerType() != s_.serverType) {
    // Ids of the other library's tasks mean nothing to this one.
    tasks_.AbortAll(nullptr, nullptr);
    tasks_.SetServerType(s_.serverType);
  }
  SetState(ControlState::Idle);
  s_.securityKept = false;
  s_.security = SecSessionInfo{};
  s_.security.size = sizeof(SecSessionInfo);
  if (s_.serverType == kServerFtp)
    FtpGetSecurityInfo(session_, &s_.security);
  else
    HttpGetSecurityInfo(session_, &s_.security);
  return S_OK;
}

bool CFileTransfer::RefreshStatistics() {
  if (s_.serverType == kServerFtp) {
    FtpTransferStatus status{};
    if (FtpGetTransferStatus(session_, &status) == -1) return false;
    s_.transferBytes = status.bytesCopied;
    s_.transferRate = status.bytesPerSecond;
    s_.transferTime = status.elapsed;
    return true;
  }
  HttpTransferStatus status{};
  if (HttpGetTransferStatus(session_, &status) == -1) return false;
  s_.transferBytes = status.copied;
  s_.transferRate = status.rate;
  s_.transferTime = status.elapsed;
  return true;
}

HRESULT CFileTransfer::DownloadFile(const std::string& local, const std::string& remote, uint64_t offset) {
  SetState(ControlState::Transfer);
  s_.transferFileName = plat::ToUtf16(remote);
  int32_t r = -1;
  if (s_.serverType == kServerFtp) {
    r = FtpRetrieveFile(session_, local.c_str(), remote.c_str(), s_.appendFile ? 1 : 0, offset);
  } else if (local.empty()) {
    HttpSetLastError(cvErrorFileNotCreated);
  } else {
    // A redirect completes the request with its status: the control does not follow it.
    r = HttpRetrieveFile(session_, local.c_str(), remote.c_str(), 0, offset);
  }
  SetState(ControlState::Idle);
  return r == -1 ? RaiseError(0, true, false) : S_OK;
}

HRESULT CFileTransfer::UploadFile(const std::string& local, const std::string& remote, uint64_t offset) {
  SetState(ControlState::Transfer);
  s_.transferFileName = plat::ToUtf16(remote);
  const int32_t r = s_.serverType == kServerFtp
                        ? FtpStoreFile(session_, local.c_str(), remote.c_str(), s_.appendFile ? 1 : 0, offset)
                        : HttpStoreFile(session_, local.c_str(), remote.c_str(), 0, offset);
  SetState(ControlState::Idle);
  return r == -1 ? RaiseError(0, true, false) : S_OK;
}

HRESULT CFileTransfer::ChangeServerDirectory(const std::string& path) {
  return FtpChangeDirectory(session_, path.c_str()) == -1 ? RaiseError(0, true, false) : S_OK;
}

bool CFileTransfer::ReadServerDirectory() {
  char buffer[512] = {};
  if (FtpGetWorkingDirectory(session_, buffer, sizeof buffer) == -1) return false;
  s_.serverDirectory = plat::ToUtf16(buffer);
  return true;
}

HRESULT CFileTransfer::RefreshServerDirectory() { return ReadServerDirectory() ? S_OK : RaiseError(0, true, false); }

}  // namespace filexfer
