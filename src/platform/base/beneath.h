#pragma once
// Paths resolved by the kernel below a directory held open (openat2 with RESOLVE_BENEATH and
// no symbolic links): whether a path stays inside and meets no link on the way is one call,
// instead of resolving the directory and the path again with a readlink per component.
#include <sys/stat.h>

#include <cstdint>
#include <memory>
#include <string>

namespace plat {

enum class BeneathResult {
  Plain,    // exists below the directory, reached without a symbolic link; *st describes it
  Missing,  // a component does not exist; the part before it is below and free of links
  Unknown,  // a link on the way, a way out, another error, or no openat2: ask the slow way
};

// relative is taken below dirFd (a leading '/' is skipped; empty names the directory itself).
BeneathResult ResolveBeneath(int dirFd, const std::string& relative, struct stat* st) noexcept;

// A directory held open for the paths below it.
class DirectoryAnchor {
 public:
  DirectoryAnchor(int fd, dev_t dev, ino_t ino) noexcept : fd_(fd), dev_(dev), ino_(ino) {}
  ~DirectoryAnchor();
  DirectoryAnchor(const DirectoryAnchor&) = delete;
  DirectoryAnchor& operator=(const DirectoryAnchor&) = delete;
  int fd() const noexcept { return fd_; }
  bool Is(const struct stat& st) const noexcept { return st.st_dev == dev_ && st.st_ino == ino_; }

 private:
  int fd_;
  dev_t dev_;
  ino_t ino_;
};

// The anchor of a directory path, opened once and kept (process-wide, a bounded number):
// each call checks with one stat that the path still names the directory held, and opens
// it again when it does not. Null when the path names no directory.
std::shared_ptr<const DirectoryAnchor> AnchorOf(const std::string& directory);

}  // namespace plat
