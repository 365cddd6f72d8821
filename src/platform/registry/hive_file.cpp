#include "platform/registry/hive_file.h"

#include <cerrno>
#include <fcntl.h>
#include <sys/file.h>
#include <sys/stat.h>
#include <unistd.h>

#include <atomic>
#include <string_view>

#include "platform/registry/registry.h"

namespace plat::reg {
namespace {

class Fd {
 public:
  explicit Fd(int fd) : fd_(fd) {}
  ~Fd() {
    if (fd_ >= 0) ::close(fd_);
  }
  Fd(const Fd&) = delete;
  Fd& operator=(const Fd&) = delete;
  int get() const { return fd_; }

 private:
  int fd_;
};

bool ReadAll(int fd, std::string& out) {
  char buf[65536];
  for (;;) {
    ssize_t n = ::read(fd, buf, sizeof buf);
    if (n < 0 && errno == EINTR) continue;
    if (n < 0) return false;
    if (n == 0) return true;
    out.append(buf, size_t(n));
  }
}

bool WriteAll(int fd, std::string_view data) {
  while (!data.empty()) {
    ssize_t n = ::write(fd, data.data(), data.size());
    if (n < 0 && errno == EINTR) continue;
    if (n <= 0) return false;
    data.remove_prefix(size_t(n));
  }
  return true;
}

}  // namespace

HiveFile::Identity HiveFile::IdentityOf(const struct stat& st) {
  return Identity{st.st_dev, st.st_ino, st.st_size, int64_t(st.st_mtim.tv_sec) * 1000000000 + st.st_mtim.tv_nsec};
}

void HiveFile::Reload() {
  std::filesystem::path path = RegistryRoot() / fileName_;
  Fd fd(::open(path.c_str(), O_RDONLY | O_CLOEXEC));
  int openErrno = errno;
  Identity now;
  struct stat st {};
  if (fd.get() >= 0 && ::fstat(fd.get(), &st) == 0) now = IdentityOf(st);
  if (loaded_ && path == path_ && now == identity_) return;

  path_ = path;
  identity_ = now;
  loaded_ = true;
  corrupt_ = false;
  root_ = std::make_unique<Key>();
  if (fd.get() < 0) {
    // A missing hive is simply empty; anything else unreadable counts as damaged.
    corrupt_ = openErrno != ENOENT;
    return;
  }
  std::string text;
  if (!ReadAll(fd.get(), text)) {
    corrupt_ = true;
    return;
  }
  if (text.empty()) return;
  if (auto parsed = Parse(text)) {
    root_ = std::move(*parsed);
  } else {
    corrupt_ = true;
  }
}

Key& HiveFile::Read(uint32_t* status) {
  Reload();
  *status = corrupt_ ? ERROR_BADDB : ERROR_SUCCESS;
  return *root_;
}

uint32_t HiveFile::Write(const std::function<uint32_t(Key&)>& change) {
  std::filesystem::path root = RegistryRoot();
  std::error_code ec;
  std::filesystem::create_directories(root, ec);
  std::filesystem::path path = root / fileName_;
  Fd lock(::open((path.string() + ".lock").c_str(), O_RDWR | O_CREAT | O_CLOEXEC, 0600));
  if (lock.get() < 0) return ERROR_CANTWRITE;
  while (::flock(lock.get(), LOCK_EX) != 0)
    if (errno != EINTR) return ERROR_CANTWRITE;

  loaded_ = false;  // another process may have written since our last look
  Reload();
  bool wasCorrupt = corrupt_;
  uint32_t rc = change(*root_);
  if (rc != ERROR_SUCCESS) return rc;

  static std::atomic<unsigned> counter{0};
  std::string tmp = path.string() + ".tmp." + std::to_string(::getpid()) + "." + std::to_string(++counter);
  std::string text = Serialize(*root_);
  bool ok;
  {
    Fd out(::open(tmp.c_str(), O_WRONLY | O_CREAT | O_EXCL | O_CLOEXEC, 0600));
    ok = out.get() >= 0 && WriteAll(out.get(), text) && ::fsync(out.get()) == 0;
  }
  if (ok && wasCorrupt) {
    std::filesystem::path aside = path.string() + ".corrupt";
    std::filesystem::rename(path, aside, ec);  // keep the damaged bytes for inspection
  }
  if (ok) ok = ::rename(tmp.c_str(), path.c_str()) == 0;
  if (!ok) {
    ::unlink(tmp.c_str());
    loaded_ = false;  // the change stays out of the cache: reload on next use
    return ERROR_CANTWRITE;
  }
  // The cache now equals the file just written: remember its identity to avoid a re-read.
  struct stat st {};
  if (::stat(path.c_str(), &st) == 0) {
    identity_ = IdentityOf(st);
  } else {
    loaded_ = false;
  }
  corrupt_ = false;
  return ERROR_SUCCESS;
}

}  // namespace plat::reg
