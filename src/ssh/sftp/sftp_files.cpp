// Remote directories and files of an SFTP session: change, make and delete directories,
// remove and rename, status, permissions, size and modification time.
#include <cstdio>
#include <cstring>
#include <memory>

#include "core/errors/error_codes.h"
#include "ftp/listing/ftp_file_info.h"
#include "platform/base/time.h"
#include "ssh/sftp/sftp.h"
#include "ssh/sftp/sftp_exchange.h"
#include "ssh/sftp/sftp_session.h"
#include "ssh/sftp/sftp_time.h"
#include "ssh/util/alloc.h"
#include "ssh/util/strings.h"

namespace {

struct TextFree {
  void operator()(char* text) const { CheckedFree(text); }
};
using OwnedText = std::unique_ptr<char, TextFree>;

bool Fail(SshSession* s, uint32_t code) {
  SshSetLastError(s, code);
  return false;
}

// The common start of the path operations: a session, a path, its resolution.
OwnedText Resolve(SshSession* s, const char* path) {
  if (!s) return Fail(nullptr, cvErrorInvalidHandle), nullptr;
  if (!path || !*path) return Fail(s, cvErrorInvalidParameter), nullptr;
  char* resolved = SftpResolvePath(s, path);
  if (!resolved) Fail(s, cvErrorInvalidFileName);
  return OwnedText(resolved);
}

int32_t PathStatus(SshSession* s, const char* path, SftpRequest* (*send)(SshSession*, const char*)) {
  OwnedText resolved = Resolve(s, path);
  if (!resolved) return 0;
  return cvssh::sftp::StatusExchange(s, send(s, resolved.get()));
}

}  // namespace

int32_t SftpChangeDirectory(SshSession* s, const char* path) {
  if (!s) return Fail(nullptr, cvErrorInvalidHandle);
  OwnedText resolved;
  if (!path || !*path) {
    resolved.reset(DupString(SftpHomeDirectory(s)));
  } else {
    resolved.reset(SftpResolvePath(s, path));
  }
  if (!resolved) return Fail(s, cvErrorDirectoryNotFound);
  SftpHandle* handle = cvssh::sftp::OpenDir(s, resolved.get());
  if (!handle) {
    if (SftpGetStatus(s) == 2) SshSetLastError(s, cvErrorDirectoryNotFound);
    return 0;
  }
  cvssh::sftp::Close(s, handle);
  SftpSetCurrentDirectory(s, resolved.get());
  SshSetLastError(s, 0);
  return 1;
}

int32_t SftpMakeDirectory(SshSession* s, const char* path) { return PathStatus(s, path, SftpMkdirSend); }
int32_t SftpDeleteDirectory(SshSession* s, const char* path) { return PathStatus(s, path, SftpRmdirSend); }
int32_t SftpRemoveFile(SshSession* s, const char* path) { return PathStatus(s, path, SftpRemoveSend); }

int32_t SftpRenamePath(SshSession* s, const char* oldPath, const char* newPath) {
  if (!s) return Fail(nullptr, cvErrorInvalidHandle);
  if (!oldPath || !*oldPath || !newPath || !*newPath) return Fail(s, cvErrorInvalidParameter);
  OwnedText from = Resolve(s, oldPath);
  if (!from) return 0;
  OwnedText to = Resolve(s, newPath);
  if (!to) return 0;
  return cvssh::sftp::StatusExchange(s, SftpRenameSend(s, from.get(), to.get()));
}

int32_t SftpGetFileStatus(SshSession* s, const char* path, FtpFileInfoEx* info) {
  if (!s) return Fail(nullptr, cvErrorInvalidHandle);
  if (!info) return Fail(s, cvErrorInvalidParameter);
  std::memset(static_cast<void*>(info), 0, sizeof *info);
  OwnedText resolved = Resolve(s, path);
  if (!resolved) return 0;
  SftpAttributes a;
  if (!cvssh::sftp::Stat(s, resolved.get(), &a)) return 0;
  std::snprintf(info->name, sizeof info->name, "%s", resolved.get());
  if (a.flags & kSftpAttrUidGid) {
    std::snprintf(info->owner, sizeof info->owner, "%ld", long(a.uid));
    std::snprintf(info->group, sizeof info->group, "%ld", long(a.gid));
  }
  if (a.flags & kSftpAttrSize) info->size = a.size;
  info->linkCount = 1;
  if (a.flags & kSftpAttrPermissions) {
    info->permissions = a.permissions & 0xFFF;
    info->directory = (a.permissions & 0x4000) ? 1 : 0;
  }
  SYSTEMTIME utc;
  if ((a.flags & kSftpAttrTimes) && cvssh::sftp::UnixToUtc(a.modificationTime, &utc) &&
      !plat::SystemTimeToLocalTime(&utc, &info->modified))
    info->modified = utc;
  return 1;
}

int32_t SftpGetFilePermissions(SshSession* s, const char* path, uint32_t* mode) {
  if (!s) return Fail(nullptr, cvErrorInvalidHandle);
  if (!mode) return Fail(s, cvErrorInvalidParameter);
  OwnedText resolved = Resolve(s, path);
  if (!resolved) return 0;
  SftpAttributes a;
  if (!cvssh::sftp::Stat(s, resolved.get(), &a)) return 0;
  if (!(a.flags & kSftpAttrPermissions)) return Fail(s, cvErrorOperationNotSupported);
  *mode = a.permissions & 0xFFF;
  return 1;
}

int32_t SftpSetFilePermissions(SshSession* s, const char* path, uint32_t mode) {
  OwnedText resolved = Resolve(s, path);
  if (!resolved) return 0;
  SftpAttributes a;
  if (!cvssh::sftp::Stat(s, resolved.get(), &a)) return 0;
  if (!(a.flags & kSftpAttrPermissions)) return Fail(s, cvErrorOperationNotSupported);
  if ((mode & 0xFFF) == (a.permissions & 0xFFF)) return 1;
  SftpAttributes change{};
  change.flags = kSftpAttrPermissions;
  change.permissions = mode & 0xFFF;
  return cvssh::sftp::StatusExchange(s, SftpSetStatSend(s, resolved.get(), &change));
}

int32_t SftpQueryFileSize(SshSession* s, const char* path, uint64_t* size) {
  if (!s) return Fail(nullptr, cvErrorInvalidHandle);
  if (!size) return Fail(s, cvErrorInvalidParameter);
  OwnedText resolved = Resolve(s, path);
  if (!resolved) return 0;
  *size = 0;
  SftpAttributes a;
  if (!cvssh::sftp::Stat(s, resolved.get(), &a)) return 0;
  *size = (a.flags & kSftpAttrSize) ? a.size : 0;
  return 1;
}

int32_t SftpGetFileTime(SshSession* s, const char* path, SYSTEMTIME* time, int32_t local) {
  if (!s) return Fail(nullptr, cvErrorInvalidHandle);
  if (!time) return Fail(s, cvErrorInvalidParameter);
  OwnedText resolved = Resolve(s, path);
  if (!resolved) return 0;
  SftpAttributes a;
  if (!cvssh::sftp::Stat(s, resolved.get(), &a)) return 0;
  if (!(a.flags & kSftpAttrTimes)) return Fail(s, cvErrorFeatureNotSupported);
  SYSTEMTIME utc;
  if (!cvssh::sftp::UnixToUtc(a.modificationTime, &utc)) return Fail(s, cvErrorInvalidDateFormat);
  *time = utc;
  if (local && !plat::SystemTimeToLocalTime(&utc, time)) *time = utc;
  return 1;
}

int32_t SftpSetFileTime(SshSession* s, const char* path, const SYSTEMTIME* time) {
  if (!s) return Fail(nullptr, cvErrorInvalidHandle);
  if (!time || !path || !*path) return Fail(s, cvErrorInvalidParameter);
  uint32_t seconds;
  if (!cvssh::sftp::UtcToUnix(time, &seconds)) return Fail(s, cvErrorInvalidParameter);
  OwnedText resolved = Resolve(s, path);
  if (!resolved) return 0;
  SftpAttributes a;
  if (!cvssh::sftp::Stat(s, resolved.get(), &a)) return 0;
  if (!(a.flags & kSftpAttrTimes)) return Fail(s, cvErrorOperationNotSupported);
  if (a.modificationTime == seconds) return 1;
  SftpAttributes change{};
  change.flags = kSftpAttrTimes;
  change.accessTime = a.accessTime;
  change.modificationTime = seconds;
  return cvssh::sftp::StatusExchange(s, SftpSetStatSend(s, resolved.get(), &change));
}
