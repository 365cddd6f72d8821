// Local files of transfers.
#include "ftp/ftp_local_file.h"

#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>

#include "ftp/ftp_internal.h"

namespace cvftp {

uint32_t OpenErrorFor(int error) noexcept {
  return (error == ENOENT || error == ENOTDIR) ? cvErrorFileNotFound : cvErrorAccessDenied;
}

LocalFile::~LocalFile() {
  if (fd_ >= 0) ::close(fd_);
}

Status LocalFile::Open(const char* path, Mode mode) noexcept {
  if (Empty(path)) return Status(cvErrorInvalidFileName);
  int flags = O_CLOEXEC | O_NOCTTY;
  switch (mode) {
    case Mode::Read:
      flags |= O_RDONLY;
      break;
    case Mode::Create:
      flags |= O_RDWR | O_CREAT | O_TRUNC;
      break;
    case Mode::Append:
      flags |= O_RDWR | O_CREAT;
      break;
    case Mode::ExistingRW:
      flags |= O_RDWR;
      break;
  }
  do fd_ = ::open(path, flags, 0644);
  while (fd_ < 0 && errno == EINTR);
  if (fd_ < 0) {
    return Status((mode == Mode::Create || mode == Mode::Append) ? cvErrorFileNotCreated : OpenErrorFor(errno));
  }
  struct stat st{};
  if (::fstat(fd_, &st) == 0 && S_ISDIR(st.st_mode)) {
    ::close(fd_);
    fd_ = -1;
    return Status(mode == Mode::Read || mode == Mode::ExistingRW ? cvErrorAccessDenied : cvErrorFileNotCreated);
  }
  if (mode == Mode::Append && ::lseek(fd_, 0, SEEK_END) < 0) return Status(cvErrorFileNotCreated);
  return {};
}

Status LocalFile::TruncateAt(uint64_t offset) noexcept {
  struct stat st{};
  if (::fstat(fd_, &st) == 0 && S_ISREG(st.st_mode) && uint64_t(st.st_size) > offset &&
      ::ftruncate(fd_, off_t(offset)) != 0)
    return Status(cvErrorFileWriteFailed);
  return Seek(offset);
}

Status LocalFile::Seek(uint64_t offset) noexcept {
  if (::lseek(fd_, off_t(offset), SEEK_SET) < 0) return Status(cvErrorAccessDenied);
  return {};
}

Status LocalFile::WriteAll(const char* data, size_t length) noexcept {
  while (length > 0) {
    const ssize_t n = ::write(fd_, data, length);
    if (n < 0 && errno == EINTR) continue;
    if (n <= 0) return Status(cvErrorFileWriteFailed);
    data += n;
    length -= size_t(n);
  }
  return {};
}

Result<int64_t> LocalFile::Read(char* buffer, size_t length) noexcept {
  for (;;) {
    const ssize_t n = ::read(fd_, buffer, length);
    if (n >= 0) return int64_t(n);
    if (errno != EINTR) return Status(cvErrorFileReadFailed);
  }
}

int64_t LocalFile::Size() const noexcept {
  struct stat st{};
  return ::fstat(fd_, &st) == 0 ? int64_t(st.st_size) : -1;
}

Status LocalFile::Close() noexcept {
  if (fd_ < 0) return {};
  const int r = ::close(fd_);
  fd_ = -1;
  if (r != 0 && errno != EINTR) return Status(cvErrorFileWriteFailed);
  return {};
}

}  // namespace cvftp
