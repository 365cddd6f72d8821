// Local file access for SFTP transfers.
#include "ssh/sftp/sftp_local.h"

#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>

#include "platform/base/last_error.h"
#include "ssh/util/alloc.h"

struct SftpLocalFile {
  int fd;
};

namespace {

SftpLocalFile* Open(const char* path, int flags) {
  if (!path) return nullptr;
  int fd;
  do fd = ::open(path, flags | O_CLOEXEC, 0666);
  while (fd < 0 && errno == EINTR);
  if (fd < 0) {
    plat::SetLastError(uint32_t(errno));
    return nullptr;
  }
  auto* f = static_cast<SftpLocalFile*>(cvssh::AllocOrDie(sizeof(SftpLocalFile)));
  f->fd = fd;
  return f;
}

}  // namespace

SftpLocalFile* SftpLocalOpenRead(const char* path, uint64_t* size) {
  SftpLocalFile* f = Open(path, O_RDONLY);
  if (!f) return nullptr;
  struct stat st {};
  if (::fstat(f->fd, &st) != 0 || S_ISDIR(st.st_mode)) {
    plat::SetLastError(uint32_t(S_ISDIR(st.st_mode) ? EISDIR : errno));
    SftpLocalClose(f);
    return nullptr;
  }
  if (size) *size = uint64_t(st.st_size);
  return f;
}

int32_t SftpLocalRead(SftpLocalFile* f, void* buffer) { return SftpLocalReadUpTo(f, buffer, kSftpLocalReadSize); }

int32_t SftpLocalReadUpTo(SftpLocalFile* f, void* buffer, uint32_t size) {
  ssize_t n;
  do n = ::read(f->fd, buffer, size);
  while (n < 0 && errno == EINTR);
  return n < 0 ? -1 : int32_t(n);
}

SftpLocalFile* SftpLocalCreate(const char* path) { return Open(path, O_WRONLY | O_CREAT | O_TRUNC); }

SftpLocalFile* SftpLocalOpenWrite(const char* path) { return Open(path, O_WRONLY); }

int32_t SftpLocalWrite(SftpLocalFile* f, const void* buffer, uint32_t length) {
  const auto* p = static_cast<const char*>(buffer);
  uint32_t done = 0;
  while (done < length) {
    ssize_t n = ::write(f->fd, p + done, length - done);
    if (n < 0 && errno == EINTR) continue;
    if (n <= 0) return -1;
    done += uint32_t(n);
  }
  return int32_t(done);
}

void SftpLocalClose(SftpLocalFile* f) {
  if (!f) return;
  ::close(f->fd);
  CheckedFree(f);
}

int32_t SftpLocalSeek(SftpLocalFile* f, uint64_t offset, int32_t origin) {
  static constexpr int kWhence[] = {SEEK_SET, SEEK_CUR, SEEK_END};
  if (origin < 0 || origin > 2) return -1;
  return ::lseek(f->fd, off_t(offset), kWhence[origin]) < 0 ? -1 : 0;
}

uint64_t SftpLocalTell(SftpLocalFile* f) {
  off_t at = ::lseek(f->fd, 0, SEEK_CUR);
  return at < 0 ? 0 : uint64_t(at);
}
