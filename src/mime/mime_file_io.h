#pragma once
// Files of the library: an owned descriptor and whole-buffer writes.
#include <fcntl.h>
#include <unistd.h>

#include <string_view>

namespace cvmime {

class UniqueFd {
 public:
  UniqueFd() = default;
  explicit UniqueFd(int fd) noexcept : fd_(fd) {}
  UniqueFd(UniqueFd&& o) noexcept : fd_(o.release()) {}
  UniqueFd& operator=(UniqueFd&& o) noexcept {
    if (this != &o) {
      reset();
      fd_ = o.release();
    }
    return *this;
  }
  ~UniqueFd() { reset(); }
  int get() const noexcept { return fd_; }
  explicit operator bool() const noexcept { return fd_ >= 0; }
  int release() noexcept {
    const int fd = fd_;
    fd_ = -1;
    return fd;
  }
  void reset() noexcept {
    if (fd_ >= 0) ::close(fd_);
    fd_ = -1;
  }

 private:
  int fd_ = -1;
};

inline UniqueFd OpenRead(const char* path) noexcept { return UniqueFd(::open(path, O_RDONLY | O_CLOEXEC)); }
// Created or truncated.
inline UniqueFd CreateWrite(const char* path) noexcept {
  return UniqueFd(::open(path, O_WRONLY | O_CREAT | O_TRUNC | O_CLOEXEC, 0644));
}

bool WriteAll(int fd, std::string_view data) noexcept;
// Reads until the buffer is full or the end; -1 on error.
ssize_t ReadFull(int fd, void* buffer, size_t size) noexcept;

}  // namespace cvmime
