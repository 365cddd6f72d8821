// The SFTP session of an FTP handle: connect and disconnect through the SSH layer, its
// result codes, cancel and security information, and its events as FTP events.
#include <cstring>
#include <mutex>

#include "core/tls/sec_tls.h"
#include "ftp/ftp_hooks.h"
#include "ftp/ftp_internal.h"
#include "ftp/ftp_sftp.h"
#include "ssh/sftp/sftp.h"
#include "ssh/sftp/sftp_session.h"

namespace cvftp::hooks {

namespace {

struct SshLockScope {
  SshLockScope() { SshLock(); }
  ~SshLockScope() { SshUnlock(); }
  SshLockScope(const SshLockScope&) = delete;
  SshLockScope& operator=(const SshLockScope&) = delete;
};

void CopyText(char* field, size_t size, const char* text) {
  size_t n = text ? strnlen(text, size - 1) : 0;
  if (n) std::memcpy(field, text, n);
  field[n] = 0;
}

}  // namespace

Result<SshSession*> SftpConnect(FtpSession& s, const char* host, uint32_t port, const char* user, const char* password,
                                uint32_t timeout, uint32_t options, SecCredentials* credentials) noexcept {
  uint32_t error = 0;
  SshSession* session;
  {
    SshLockScope lock;
    session =
        ::SftpConnect(host, port, user, password, timeout, options & ~(kOptTls | kOptTlsExplicit), credentials, &error);
  }
  if (!session) return Status(error ? error : cvErrorConnectionClosed);
  CopyText(s.currentDirectory, sizeof s.currentDirectory, SftpCurrentDirectory(session));
  SftpEnableEvents(session, FtpOnSftpEvent, uint32_t(s.header.handle));
  return session;
}

void SftpDisconnect(FtpSession& s) noexcept {
  SshSession* session = s.sftpSession;
  s.sftpSession = nullptr;
  if (!session) return;
  // A thread that keeps the lock (a transfer of another session) must not hold up the
  // release for ever; nor may the SSH layer run without the lock: then the session is
  // left to the lock's next holder.
  if (!SshTryLock()) return SftpDeferDisconnect(session);
  ::SftpDisconnect(session);
  SshUnlock();
}

Result<int32_t> SftpResultCode(FtpSession& s) noexcept {
  SshLockScope lock;
  const int32_t code = SftpGetResultCode(s.sftpSession);
  if (code == -1) return Status(SftpGetLastError(s.sftpSession));
  return code;
}

Result<uint32_t> SftpResultString(FtpSession& s, char* buffer, uint32_t size) noexcept {
  SshLockScope lock;
  const int32_t n = SftpGetResultString(s.sftpSession, buffer, size);
  if (n == 0 && SftpGetLastError(s.sftpSession)) return Status(SftpGetLastError(s.sftpSession));
  return uint32_t(n);
}

void SftpAbort(FtpSession& s) noexcept {
  // The flag is an atomic read by the transfer loop: no lock (it may be held by the loop).
  ::SftpAbort(s.sftpSession);
}

Status SftpSecurityInfo(FtpSession& s, SecSessionInfo* info) noexcept {
  SshLockScope lock;
  if (SftpGetSecurityInfo(s.sftpSession, info)) return {};
  return Status(SftpGetLastError(s.sftpSession));
}

}  // namespace cvftp::hooks

void FtpOnSftpEvent(SshSession*, uint32_t event, SftpEventInfo* info, uint32_t handle) {
  using namespace cvftp;
  // The SSH layer's events come inside a call of the session: its last error is not theirs.
  const Result<FtpSession*> found = Library().Lookup(LibHandle(handle));
  if (!found.ok()) return;
  FtpSession* s = found.value();
  auto needsInfo = [&] { return info != nullptr; };
  switch (event) {
    case kSftpEventConnected:
      FireEvent(*s, kEventConnected, 0);
      break;
    case kSftpEventClosed:
      FireEvent(*s, 2, 0);
      break;
    case kSftpEventTransferStart:
      if (!needsInfo()) return;
      {
        std::lock_guard lock(Library().lock());  // the status readers take it too
        std::snprintf(s->localFileName, sizeof s->localFileName, "%s", info->localFile ? info->localFile : "");
        std::snprintf(s->remoteFileName, sizeof s->remoteFileName, "%s", info->remoteFile ? info->remoteFile : "");
      }
      s->fileSize.store(info->size);
      s->restartOffset.store(info->offset);
      s->bytesTransferred.store(0);
      s->transferStart.store(info->startTick);
      s->transferEnd.store(0);
      if (info->direction == 1 && (info->flags & 1)) FireEvent(*s, kEventDownloadStarting, 0);
      if (info->direction == 2 && (info->flags & 2)) FireEvent(*s, kEventUploadStarting, 0);
      break;
    case kSftpEventTransferEnd:
      if (!needsInfo()) return;
      s->bytesTransferred.store(info->bytesCopied);
      s->transferStart.store(info->startTick);
      s->transferEnd.store(info->endTick);
      break;
    case kSftpEventRead:
    case kSftpEventWrite:
      if (!needsInfo()) return;
      s->bytesTransferred.store(info->bytesCopied);
      break;
    case kSftpEventTimeout:
      FireEvent(*s, kEventTimeout, cvErrorOperationTimeout);
      break;
    case kSftpEventCanceled:
      FireEvent(*s, kEventCanceled, cvErrorOperationCanceled);
      break;
    case kSftpEventProgress:
      if (!needsInfo()) return;
      s->bytesTransferred.store(info->bytesCopied);
      FireEvent(*s, kEventProgress, 0);
      break;
    default:
      break;
  }
}
