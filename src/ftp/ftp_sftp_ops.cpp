// The SFTP forms of the FTP operations: results and errors carried over from the SSH
// layer into the FTP library's conventions.
#include <algorithm>
#include <cstring>

#include "ftp/ftp_internal.h"
#include "ftp/ftp_sftp.h"
#include "platform/base/heap.h"
#include "ssh/sftp/sftp.h"
#include "ssh/sftp/sftp_session.h"

namespace cvftp::sftp {

namespace {

struct SshLockScope {
  SshLockScope() { SshLock(); }
  ~SshLockScope() { SshUnlock(); }
  SshLockScope(const SshLockScope&) = delete;
  SshLockScope& operator=(const SshLockScope&) = delete;
};

// The SSH layer's failure as the library's: a session that ended without a code still
// reports why the operation failed.
Status SshError(const FtpSession& s) noexcept {
  const uint32_t error = SftpGetLastError(s.sftpSession);
  return Status(error ? error : cvErrorConnectionClosed);
}

Status Done(const FtpSession& s, int32_t ok) noexcept { return ok ? Status() : SshError(s); }

}  // namespace

Status RetrieveFile(FtpSession& s, const char* local, const char* remote, bool append, uint64_t offset) noexcept {
  return Done(s, SftpRetrieveFile(s.sftpSession, local, remote, append, offset));
}

Status StoreFile(FtpSession& s, const char* local, const char* remote, bool append, uint64_t offset) noexcept {
  return Done(s, SftpStoreFile(s.sftpSession, local, remote, append, offset));
}

Status RetrieveData(FtpSession& s, const char* remote, void* buffer, uint32_t* length) noexcept {
  const uint32_t wanted = *length;
  plat::HGLOBAL block = nullptr;
  uint32_t received = 0;
  const int32_t ok = SftpRetrieveData(s.sftpSession, remote, &block, &received, wanted);
  plat::UniqueGlobal owned(block);
  if (!ok) {
    *length = 0;
    return SshError(s);
  }
  if (wanted == 0) {
    *static_cast<plat::HGLOBAL*>(buffer) = owned.release();
    *length = received;
  } else {
    const uint32_t n = std::min(wanted, received);
    if (n) {
      std::memcpy(buffer, plat::GlobalLock(owned.get()), n);
      plat::GlobalUnlock(owned.get());
    }
    *length = n;
  }
  return {};
}

Status StoreData(FtpSession& s, const char* remote, const void* data, uint32_t length) noexcept {
  return Done(s, SftpStoreData(s.sftpSession, remote, data ? data : "", length));
}

Status OpenFile(FtpSession& s, const char* remote, uint32_t mode, uint64_t offset) noexcept {
  SshLockScope lock;
  return Done(s, SftpOpenTransfer(s.sftpSession, remote, mode, offset));
}

Status CloseFile(FtpSession& s) noexcept {
  SshLockScope lock;
  return Done(s, SftpCloseTransfer(s.sftpSession));
}

Result<int32_t> ReadData(FtpSession& s, char* buffer, uint32_t length) noexcept {
  if (length < 1) return Status(cvErrorInvalidParameter);
  SshLockScope lock;
  const int32_t n = SftpReadData(s.sftpSession, buffer, int32_t(std::min<uint32_t>(length, INT32_MAX)));
  if (n < 0) return SshError(s);
  // At the end: the end-of-data error.
  if (n == 0)
    if (const Status end(SftpGetLastError(s.sftpSession)); !end.ok()) return end;
  return n;
}

Result<int32_t> WriteData(FtpSession& s, const char* buffer, uint32_t length) noexcept {
  if (!buffer || length < 1) return Status(cvErrorInvalidParameter);
  SshLockScope lock;
  const int32_t n = SftpWriteData(s.sftpSession, buffer, int32_t(std::min<uint32_t>(length, INT32_MAX)));
  if (n < 0) return SshError(s);
  return n;
}

int32_t IsDataEnd(FtpSession& s, uint32_t& error) noexcept {
  SshLockScope lock;
  const int32_t end = SftpIsEndOfData(s.sftpSession);
  error = SftpGetLastError(s.sftpSession);
  return end;
}

Status OpenDirectory(FtpSession& s, const char* path) noexcept {
  SshLockScope lock;
  return Done(s, SftpOpenDirectory(s.sftpSession, path));
}

Status CloseDirectory(FtpSession& s) noexcept {
  SshLockScope lock;
  return Done(s, SftpCloseDirectory(s.sftpSession));
}

Status ListLine(FtpSession& s, char* line) noexcept {
  SshLockScope lock;
  uint32_t count = 0, read = 0;
  SftpGetListPosition(s.sftpSession, &count, &read);
  if (read >= count) return Status(cvErrorEndOfDirectory);
  if (!SftpFormatListEntry(s.sftpSession, line)) return SshError(s);
  return {};
}

Result<int32_t> GetFileList(FtpSession& s, const char* path, uint32_t listType, char* buffer, uint32_t size) noexcept {
  SshLockScope lock;
  if (!SftpGetFileList(s.sftpSession, path, listType == 1 ? 1 : 0, buffer, size)) return SshError(s);
  return int32_t(std::strlen(buffer));
}

Status ChangeDirectory(FtpSession& s, const char* path) noexcept {
  SshLockScope lock;
  if (!SftpChangeDirectory(s.sftpSession, path)) return SshError(s);
  const char* current = SftpCurrentDirectory(s.sftpSession);
  std::snprintf(s.currentDirectory, sizeof s.currentDirectory, "%s", current ? current : "");
  return {};
}

Status GetWorkingDirectory(FtpSession& s, char* buffer, uint32_t size) noexcept {
  SshLockScope lock;
  const char* current = SftpCurrentDirectory(s.sftpSession);
  if (!current) return SshError(s);
  std::snprintf(s.currentDirectory, sizeof s.currentDirectory, "%s", current);
  if (buffer && size) {
    const size_t n = std::min<size_t>(std::strlen(s.currentDirectory), size - 1);
    std::memcpy(buffer, s.currentDirectory, n);
    buffer[n] = '\0';
  }
  return {};
}

Status MakeDirectory(FtpSession& s, const char* path) noexcept {
  SshLockScope lock;
  return Done(s, SftpMakeDirectory(s.sftpSession, path));
}

Status DeleteDirectory(FtpSession& s, const char* path) noexcept {
  SshLockScope lock;
  return Done(s, SftpDeleteDirectory(s.sftpSession, path));
}

Status RemoveFile(FtpSession& s, const char* path) noexcept {
  SshLockScope lock;
  return Done(s, SftpRemoveFile(s.sftpSession, path));
}

Status RenamePath(FtpSession& s, const char* from, const char* to) noexcept {
  SshLockScope lock;
  return Done(s, SftpRenamePath(s.sftpSession, from, to));
}

Status QueryFileSize(FtpSession& s, const char* path, uint64_t* size) noexcept {
  SshLockScope lock;
  return Done(s, SftpQueryFileSize(s.sftpSession, path, size));
}

Status GetFileTime(FtpSession& s, const char* path, SYSTEMTIME* time, bool local) noexcept {
  SshLockScope lock;
  return Done(s, SftpGetFileTime(s.sftpSession, path, time, local ? 1 : 0));
}

Status SetFileTime(FtpSession& s, const char* path, const SYSTEMTIME* time) noexcept {
  SshLockScope lock;
  return Done(s, SftpSetFileTime(s.sftpSession, path, time));
}

Status QueryFileInfo(FtpSession& s, const char* path, FtpFileInfoEx* info) noexcept {
  SshLockScope lock;
  return Done(s, SftpGetFileStatus(s.sftpSession, path, info));
}

Status GetFilePermissions(FtpSession& s, const char* path, uint32_t* mode) noexcept {
  SshLockScope lock;
  return Done(s, SftpGetFilePermissions(s.sftpSession, path, mode));
}

Status SetFilePermissions(FtpSession& s, const char* path, uint32_t mode) noexcept {
  SshLockScope lock;
  return Done(s, SftpSetFilePermissions(s.sftpSession, path, mode));
}

}  // namespace cvftp::sftp
