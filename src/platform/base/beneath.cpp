#include "platform/base/beneath.h"

#include <fcntl.h>
#include <linux/openat2.h>
#include <sys/syscall.h>
#include <unistd.h>

#include <cerrno>
#include <mutex>
#include <unordered_map>

namespace plat {

BeneathResult ResolveBeneath(int dirFd, const std::string& relative, struct stat* st) noexcept {
  size_t skip = 0;
  while (skip < relative.size() && relative[skip] == '/') ++skip;
  const char* name = skip < relative.size() ? relative.c_str() + skip : ".";
  open_how how{};
  how.flags = O_PATH | O_CLOEXEC;
  how.resolve = RESOLVE_BENEATH | RESOLVE_NO_SYMLINKS | RESOLVE_NO_MAGICLINKS;
  long fd;
  do {
    fd = ::syscall(SYS_openat2, dirFd, name, &how, sizeof how);
  } while (fd < 0 && (errno == EINTR || errno == EAGAIN));
  if (fd < 0) return errno == ENOENT ? BeneathResult::Missing : BeneathResult::Unknown;
  const bool ok = ::fstat(int(fd), st) == 0;
  ::close(int(fd));
  return ok ? BeneathResult::Plain : BeneathResult::Unknown;
}

DirectoryAnchor::~DirectoryAnchor() { ::close(fd_); }

namespace {

class Anchors {
 public:
  std::shared_ptr<const DirectoryAnchor> Of(const std::string& directory) {
    struct stat now {};
    if (directory.empty() || ::stat(directory.c_str(), &now) != 0 || !S_ISDIR(now.st_mode)) return nullptr;
    {
      std::lock_guard lk(lock_);
      if (auto it = held_.find(directory); it != held_.end() && it->second->Is(now)) return it->second;
    }
    const int fd = ::open(directory.c_str(), O_PATH | O_DIRECTORY | O_CLOEXEC);
    if (fd < 0) return nullptr;
    struct stat st {};
    if (::fstat(fd, &st) != 0) {
      ::close(fd);
      return nullptr;
    }
    auto anchor = std::make_shared<const DirectoryAnchor>(fd, st.st_dev, st.st_ino);
    // Replaced between the stat and the open: answer for what is held, keep nothing.
    if (!anchor->Is(now)) return anchor;
    std::lock_guard lk(lock_);
    if (held_.size() >= kMax && !held_.count(directory)) held_.clear();
    held_[directory] = anchor;
    return anchor;
  }

 private:
  static constexpr size_t kMax = 64;
  std::mutex lock_;
  std::unordered_map<std::string, std::shared_ptr<const DirectoryAnchor>> held_;
};

}  // namespace

std::shared_ptr<const DirectoryAnchor> AnchorOf(const std::string& directory) {
  // Never destroyed: server threads may still look paths up while the process exits.
  static Anchors* anchors = new Anchors;
  return anchors->Of(directory);
}

}  // namespace plat
