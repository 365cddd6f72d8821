// Connecting through an FTP proxy or firewall, and the proxy's own login sequence.
#include <cstring>

#include "ftp/ftp_internal.h"

namespace cvftp {

bool ProxyLogin(FtpSession& s) noexcept {
  switch (s.proxyType) {
    case kProxyLogin: {  // the proxy's own USER/PASS; the user login then names the target host
      int32_t r = SendCommand(s, "USER", s.proxyUser);
      if (r == 331) r = SendCommand(s, "PASS", s.proxyPassword);
      return r != -1;
    }
    case kProxyOpen:
      return SendCommand(s, "OPEN", s.hostName) != -1;
    case kProxySite: {
      int32_t r = SendCommand(s, "USER", s.proxyUser);
      if (r == -1) return false;
      if (r != 331) return true;
      if (SendCommand(s, "PASS", s.proxyPassword) == -1) return false;
      return SendCommand(s, "SITE", s.hostName) != -1;
    }
    case kProxyOther:
      s.loggedIn = 1;
      return true;
    default:  // kProxyUser: the user login names the target host; nothing to do now
      return true;
  }
}

}  // namespace cvftp

LibHandle FtpProxyConnect(uint32_t proxyType, const char* proxyHost, uint32_t proxyPort, const char* proxyUser,
                          const char* proxyPassword, const char* host, uint32_t timeout, uint32_t options,
                          SecCredentials* credentials) {
  using namespace cvftp;
  char proxyName[kFtpHostNameSize] = "";
  char target[kFtpHostNameSize] = "";
  if (!Empty(proxyHost) && !SockNormalizeHostName(proxyHost, proxyName)) return FailHandle(cvErrorInvalidHostName);
  if (!Empty(host) && !TakeHost(host, target, options, nullptr)) return FailHandle(cvErrorInvalidHostName);
  if (proxyType != kProxyOther && target[0] == '\0') return FailHandle(cvErrorInvalidHostName);
  if (options & kOptSftp) return FailHandle(cvErrorOperationNotSupported);
  if (proxyType == kProxyNone) return FtpConnect(target, 0, nullptr, nullptr, timeout, options, credentials);
  if (proxyType > kProxySite && proxyType != kProxyOther) return FailHandle(cvErrorInvalidProxyType);

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
  if (!ProxyLogin(s)) {
    Disconnect(s);
    return FailHandle(cvErrorInvalidProxyLogin);
  }
  return h;
}
