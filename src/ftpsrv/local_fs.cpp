// Local file system helpers on POSIX calls.
#include "ftpsrv/local_fs.h"

#include <dirent.h>
#include <fcntl.h>
#include <fnmatch.h>
#include <unistd.h>

#include <climits>
#include <cstdlib>
#include <cstring>
#include <memory>

namespace cvftpsrv {

uint32_t AttributesOf(const std::string& name, const struct stat& st) {
  uint32_t a = 0;
  if (S_ISDIR(st.st_mode)) a |= ftpAttributeDirectory;
  else if (S_ISREG(st.st_mode)) a |= ftpAttributeArchive;
  else a |= ftpAttributeDevice;
  if (!(st.st_mode & S_IWUSR)) a |= ftpAttributeReadOnly;
  if (!name.empty() && name[0] == '.') a |= ftpAttributeHidden;
  return a ? a : ftpAttributeNormal;
}

bool GetAttributes(const std::string& path, uint32_t* attributes, struct stat* out) {
  struct stat st {};
  if (path.empty() || (::stat(path.c_str(), &st) != 0 && ::lstat(path.c_str(), &st) != 0)) return false;
  if (attributes) *attributes = AttributesOf(LastComponent(path), st);
  if (out) *out = st;
  return true;
}

std::string LastComponent(const std::string& path) {
  const size_t slash = path.find_last_of('/');
  return slash == std::string::npos ? path : path.substr(slash + 1);
}

namespace {

FtpFindEntry EntryOf(const std::string& name, const struct stat& st) {
  FtpFindEntry e{};
  e.attributes = AttributesOf(name, st);
  e.lastWrite = int64_t(st.st_mtime);
  e.size = S_ISREG(st.st_mode) ? uint64_t(st.st_size) : 0;
  std::strncpy(e.name, name.c_str(), sizeof e.name - 1);
  return e;
}

struct DirCloser {
  void operator()(DIR* d) const { ::closedir(d); }
};
using DirPtr = std::unique_ptr<DIR, DirCloser>;

bool ListDirectory(const std::string& dir, const char* pattern, std::vector<FtpFindEntry>& out, size_t limit) {
  // Owned, since the growing list may run out of memory half-way.
  const DirPtr owner(::opendir(dir.empty() ? "/" : dir.c_str()));
  DIR* d = owner.get();
  if (!d) return false;
  const int dfd = ::dirfd(d);
  while (out.size() < limit) {
    const dirent* e = ::readdir(d);
    if (!e) break;
    if (pattern && ::fnmatch(pattern, e->d_name, FNM_PERIOD) != 0) continue;
    struct stat st {};
    if (::fstatat(dfd, e->d_name, &st, 0) != 0 && ::fstatat(dfd, e->d_name, &st, AT_SYMLINK_NOFOLLOW) != 0) continue;
    out.push_back(EntryOf(e->d_name, st));
  }
  return true;
}

}  // namespace

bool FindEntries(const std::string& path, std::vector<FtpFindEntry>& out, size_t limit, bool contents) {
  struct stat st {};
  if (GetAttributes(path, nullptr, &st)) {
    if (contents && S_ISDIR(st.st_mode)) return ListDirectory(path, nullptr, out, limit);
    out.push_back(EntryOf(LastComponent(path), st));
    return true;
  }
  const std::string last = LastComponent(path);
  if (last.find_first_of("*?") == std::string::npos) return false;
  const size_t slash = path.find_last_of('/');
  const std::string dir = slash == std::string::npos ? "." : path.substr(0, slash);
  if (!ListDirectory(dir, last.c_str(), out, limit)) return false;
  return !out.empty();
}

bool InsideRoot(const std::string& root, const std::string& path) {
  char resolvedRoot[PATH_MAX];
  if (!::realpath(root.c_str(), resolvedRoot)) return false;
  // The deepest existing part of the path decides: what lies below it cannot be a link.
  std::string existing = path;
  char resolved[PATH_MAX];
  while (!::realpath(existing.c_str(), resolved)) {
    const size_t slash = existing.find_last_of('/');
    if (slash == std::string::npos || slash == 0) return false;
    existing.resize(slash);
  }
  const std::string r = resolvedRoot, p = resolved;
  if (p == r || r == "/") return true;
  return p.size() > r.size() && p.compare(0, r.size(), r) == 0 && p[r.size()] == '/';
}

bool IsLink(const std::string& path) {
  struct stat st {};
  return ::lstat(path.c_str(), &st) == 0 && S_ISLNK(st.st_mode);
}

namespace {

bool RemoveAt(int parent, const char* name) {
  const int fd = ::openat(parent, name, O_RDONLY | O_DIRECTORY | O_NOFOLLOW | O_CLOEXEC);
  if (fd < 0) return ::unlinkat(parent, name, 0) == 0;
  const DirPtr d(::fdopendir(fd));
  if (!d) {
    ::close(fd);
    return false;
  }
  bool ok = true;
  while (const dirent* e = ::readdir(d.get())) {
    if (std::strcmp(e->d_name, ".") == 0 || std::strcmp(e->d_name, "..") == 0) continue;
    ok = RemoveAt(::dirfd(d.get()), e->d_name) && ok;
  }
  return ok && ::unlinkat(parent, name, AT_REMOVEDIR) == 0;
}

}  // namespace

bool RemoveTree(const std::string& path) { return RemoveAt(AT_FDCWD, path.c_str()); }

}  // namespace cvftpsrv
