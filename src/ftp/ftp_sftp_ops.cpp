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
int32_t Failed(const FtpSession& s) noexcept {
  uint32_t error = SftpGetLastError(s.sftpSession);
  return Fail(error ? error : cvErrorConnectionClosed);
}

int32_t Done(const FtpSession& s, int32_t ok, int32_t success = 0) noexcept {
  if (!ok) return Failed(s);
  Library().SetLastError(0);
  return success;
}

}  // namespace

int32_t RetrieveFile(FtpSession& s, const char* local, const char* remote, bool append, uint64_t offset) noexcept {
  return Done(s, SftpRetrieveFile(s.sftpSession, local, remote, append, offset));
}

int32_t StoreFile(FtpSession& s, const char* local, const char* remote, bool append, uint64_t offset) noexcept {
  return Done(s, SftpStoreFile(s.sftpSession, local, remote, append, offset));
}

int32_t RetrieveData(FtpSession& s, const char* remote, void* buffer, uint32_t* length) noexcept {
  const uint32_t wanted = *length;
  plat::HGLOBAL block = nullptr;
  uint32_t received = 0;
  const int32_t ok = SftpRetrieveData(s.sftpSession, remote, &block, &received, wanted);
  plat::UniqueGlobal owned(block);
  if (!ok) {
    *length = 0;
    return Failed(s);
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
  Library().SetLastError(0);
  return 0;
}

int32_t StoreData(FtpSession& s, const char* remote, const void* data, uint32_t length) noexcept {
  return Done(s, SftpStoreData(s.sftpSession, remote, data ? data : "", length));
}

int32_t OpenFile(FtpSession& s, const char* remote, uint32_t mode, uint64_t offset) noexcept {
  SshLockScope lock;
  return Done(s, SftpOpenTransfer(s.sftpSession, remote, mode, offset));
}

int32_t CloseFile(FtpSession& s) noexcept {
  SshLockScope lock;
  return Done(s, SftpCloseTransfer(s.sftpSession));
}

int32_t ReadData(FtpSession& s, char* buffer, uint32_t length) noexcept {
  if (length < 1) return Fail(cvErrorInvalidParameter);
  SshLockScope lock;
  const int32_t n = SftpReadData(s.sftpSession, buffer, int32_t(std::min<uint32_t>(length, INT32_MAX)));
  if (n < 0) return Failed(s);
  // At the end the result is 0 with the end-of-data error kept.
  if (n == 0) Library().SetLastError(SftpGetLastError(s.sftpSession));
  return n;
}

int32_t WriteData(FtpSession& s, const char* buffer, uint32_t length) noexcept {
  if (!buffer || length < 1) return Fail(cvErrorInvalidParameter);
  SshLockScope lock;
  const int32_t n = SftpWriteData(s.sftpSession, buffer, int32_t(std::min<uint32_t>(length, INT32_MAX)));
  return n < 0 ? Failed(s) : n;
}

int32_t IsDataEnd(FtpSession& s) noexcept {
  SshLockScope lock;
  const int32_t end = SftpIsEndOfData(s.sftpSession);
  Library().SetLastError(SftpGetLastError(s.sftpSession));
  return end;
}

int32_t OpenDirectory(FtpSession& s, const char* path) noexcept {
  SshLockScope lock;
  return Done(s, SftpOpenDirectory(s.sftpSession, path));
}

int32_t CloseDirectory(FtpSession& s) noexcept {
  SshLockScope lock;
  return Done(s, SftpCloseDirectory(s.sftpSession));
}

int32_t ListLine(FtpSession& s, char* line) noexcept {
  SshLockScope lock;
  uint32_t count = 0, read = 0;
  SftpGetListPosition(s.sftpSession, &count, &read);
  if (read >= count) return Fail(cvErrorEndOfDirectory), 0;
  if (!SftpFormatListEntry(s.sftpSession, line)) return Failed(s), 0;
  return 1;
}

int32_t GetFileList(FtpSession& s, const char* path, uint32_t listType, char* buffer, uint32_t size) noexcept {
  SshLockScope lock;
  if (!SftpGetFileList(s.sftpSession, path, listType == 1 ? 1 : 0, buffer, size)) return Failed(s);
  Library().SetLastError(0);
  return int32_t(std::strlen(buffer));
}

int32_t ChangeDirectory(FtpSession& s, const char* path) noexcept {
  SshLockScope lock;
  if (!SftpChangeDirectory(s.sftpSession, path)) return Failed(s);
  const char* current = SftpCurrentDirectory(s.sftpSession);
  std::snprintf(s.currentDirectory, sizeof s.currentDirectory, "%s", current ? current : "");
  return Done(s, 1);
}

int32_t GetWorkingDirectory(FtpSession& s, char* buffer, uint32_t size) noexcept {
  SshLockScope lock;
  const char* current = SftpCurrentDirectory(s.sftpSession);
  if (!current) return Failed(s);
  std::snprintf(s.currentDirectory, sizeof s.currentDirectory, "%s", current);
  if (buffer && size) {
    const size_t n = std::min<size_t>(std::strlen(s.currentDirectory), size - 1);
    std::memcpy(buffer, s.currentDirectory, n);
    buffer[n] = '\0';
  }
  return Done(s, 1);
}

int32_t MakeDirectory(FtpSession& s, const char* path) noexcept {
  SshLockScope lock;
  return Done(s, SftpMakeDirectory(s.sftpSession, path));
}

int32_t DeleteDirectory(FtpSession& s, const char* path) noexcept {
  SshLockScope lock;
  return Done(s, SftpDeleteDirectory(s.sftpSession, path));
}

int32_t RemoveFile(FtpSession& s, const char* path) noexcept {
  SshLockScope lock;
  return Done(s, SftpRemoveFile(s.sftpSession, path));
}

int32_t RenamePath(FtpSession& s, const char* from, const char* to) noexcept {
  SshLockScope lock;
  return Done(s, SftpRenamePath(s.sftpSession, from, to));
}

int32_t QueryFileSize(FtpSession& s, const char* path, uint64_t* size) noexcept {
  SshLockScope lock;
  return Done(s, SftpQueryFileSize(s.sftpSession, path, size));
}

int32_t GetFileTime(FtpSession& s, const char* path, SYSTEMTIME* time, bool local) noexcept {
  SshLockScope lock;
  return Done(s, SftpGetFileTime(s.sftpSession, path, time, local ? 1 : 0));
}

int32_t SetFileTime(FtpSession& s, const char* path, const SYSTEMTIME* time) noexcept {
  SshLockScope lock;
  return Done(s, SftpSetFileTime(s.sftpSession, path, time));
}

int32_t QueryFileInfo(FtpSession& s, const char* path, FtpFileInfoEx* info) noexcept {
  SshLockScope lock;
  return Done(s, SftpGetFileStatus(s.sftpSession, path, info), 1) == 1 ? 1 : 0;
}

int32_t GetFilePermissions(FtpSession& s, const char* path, uint32_t* mode) noexcept {
  SshLockScope lock;
  return Done(s, SftpGetFilePermissions(s.sftpSession, path, mode), 1);
}

int32_t SetFilePermissions(FtpSession& s, const char* path, uint32_t mode) noexcept {
  SshLockScope lock;
  return Done(s, SftpSetFilePermissions(s.sftpSession, path, mode), 1);
}

}  // namespace cvftp::sftp
