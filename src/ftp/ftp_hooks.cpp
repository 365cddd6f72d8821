// Placeholders of the SFTP call points (see ftp_hooks.h); the TLS channels are in
// ftp_tls.cpp and keep-alive in ftp_keepalive.cpp.
#include "ftp/ftp_hooks.h"

#include "ftp/ftp_internal.h"

namespace cvftp::hooks {

SshSession* SftpConnect(FtpSession&, const char*, uint32_t, const char*, const char*, uint32_t, uint32_t,
                        SecCredentials*) noexcept {
  Fail(cvErrorOperationNotSupported);
  return nullptr;
}
void SftpDisconnect(FtpSession& s) noexcept { s.sftpSession = nullptr; }
int32_t SftpResultCode(FtpSession&) noexcept { return Fail(cvErrorOperationNotSupported); }
uint32_t SftpResultString(FtpSession&, char*, uint32_t) noexcept {
  Fail(cvErrorOperationNotSupported);
  return 0;
}
void SftpAbort(FtpSession&) noexcept {}
int32_t SftpSecurityInfo(FtpSession&, SecSessionInfo*) noexcept { return Fail(cvErrorOperationNotSupported); }

}  // namespace cvftp::hooks
