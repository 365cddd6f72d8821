// Connecting through an FTP proxy or firewall, and the proxy's own login sequence.
#include <cstring>

#include "ftp/ftp_internal.h"

namespace cvftp {

Status ProxyLogin(FtpSession& s) noexcept {
  switch (s.proxyType) {
    case kProxyLogin: {  // the proxy's own USER/PASS; the user login then names the target host
      Result<int32_t> r = SendCommand(s, "USER", s.proxyUser);
      if (r.ok() && r.value() == 331) r = SendCommand(s, "PASS", s.proxyPassword);
      return r.status();
    }
    case kProxyOpen:
      return SendCommand(s, "OPEN", s.hostName).status();
    case kProxySite: {
      const Result<int32_t> r = SendCommand(s, "USER", s.proxyUser);
      if (!r.ok() || r.value() != 331) return r.status();
      if (const Result<int32_t> pass = SendCommand(s, "PASS", s.proxyPassword); !pass.ok()) return pass.status();
      return SendCommand(s, "SITE", s.hostName).status();
    }
    case kProxyOther:
      s.loggedIn = 1;
      return {};
    default:  // kProxyUser: the user login names the target host; nothing to do now
      return {};
  }
}

}  // namespace cvftp

LibHandle FtpProxyConnect(uint32_t proxyType, const char* proxyHost, uint32_t proxyPort, const char* proxyUser,
                          const char* proxyPassword, const char* host, uint32_t timeout, uint32_t options,
                          SecCredentials* credentials) {
  using namespace cvftp;
  const auto fail = [](uint32_t error) {
    return Library().Finish(Status(error), kInvalidLibHandle, kInvalidLibHandle);
  };
  char proxyName[kFtpHostNameSize] = "";
  char target[kFtpHostNameSize] = "";
  if (!Empty(proxyHost) && !SockNormalizeHostName(proxyHost, proxyName)) return fail(cvErrorInvalidHostName);
  if (!Empty(host) && !TakeHost(host, target, options, nullptr)) return fail(cvErrorInvalidHostName);
  if (proxyType != kProxyOther && target[0] == '\0') return fail(cvErrorInvalidHostName);
  if (options & kOptSftp) return fail(cvErrorOperationNotSupported);
  if (proxyType == kProxyNone) return FtpConnect(target, 0, nullptr, nullptr, timeout, options, credentials);
  if (proxyType > kProxySite && proxyType != kProxyOther) return fail(cvErrorInvalidProxyType);

  LibHandle h = FtpConnect(proxyName, proxyPort, nullptr, nullptr, timeout, options, credentials);
  if (h == kInvalidLibHandle) return h;
  Operation op(h);
  FtpSession& s = *op.session();
  const bool implicitTls = (s.options & kOptTls) && !(s.options & kOptTlsExplicit);
  s.proxyType = proxyType;
  s.proxyAddress = s.serverAddress;
  s.proxyPort = proxyPort ? proxyPort : (implicitTls ? 990 : 21);
  CopyField(s.proxyHost, proxyName);
  CopyField(s.proxyUser, proxyUser);
  CopyField(s.proxyPassword, proxyPassword);
  std::memset(&s.serverAddress, 0, sizeof s.serverAddress);
  CopyField(s.hostName, target);
  s.serverPort = implicitTls ? 990 : 21;
  if (!ProxyLogin(s).ok()) {
    Disconnect(s);
    return fail(cvErrorInvalidProxyLogin);
  }
  return h;
}
