// Downloading and uploading many files at once: the files of a remote listing, or the
// local files matching a wildcard mask, optionally in another remote directory.
#include <dirent.h>
#include <sys/stat.h>

#include <algorithm>
#include <cstring>
#include <string>
#include <vector>

#include "ftp/ftp_directory.h"
#include "ftp/ftp_internal.h"
#include "ftp/ftp_transfer.h"

namespace cvftp {

namespace {

// Composed local paths hold at most this many bytes.
constexpr size_t kLocalPathLimit = 511;

// What a multiple-file download keeps of a listing before it fetches the files: the names
// only, and at most this many of them and this many bytes, so that a listing without end
// cannot take the host's memory. A listing beyond either fails the operation with
// cvErrorBufferTooSmall before anything is fetched.
constexpr size_t kListedFilesLimit = 100000;
constexpr size_t kListedNameBytesLimit = 16u << 20;

bool IsDirectory(const std::string& path) noexcept {
  struct stat st {};
  return ::stat(path.c_str(), &st) == 0 && S_ISDIR(st.st_mode);
}

// The local path of a name in a directory (the name alone without one); false when it is
// longer than a composed path may be.
bool LocalPath(const char* directory, const std::string& name, std::string& out) {
  out.clear();
  if (directory) {
    out = directory;
    if (out.back() != '/') out += '/';
  }
  out += name;
  return out.size() <= kLocalPathLimit;
}

char Folded(char c, bool foldCase) noexcept { return foldCase && c >= 'A' && c <= 'Z' ? char(c - 'A' + 'a') : c; }

// "*" any run of characters, "?" one character; "name.*" also matches a name without an
// extension, so "*.*" is every file. foldCase: letters match without regard to case.
bool Matches(const char* pattern, const char* name, bool foldCase = false) noexcept {
  const char* star = nullptr;
  const char* resume = nullptr;
  while (*name) {
    if (*pattern == '?' || Folded(*pattern, foldCase) == Folded(*name, foldCase)) {
      ++pattern;
      ++name;
    } else if (*pattern == '*') {
      star = pattern++;
      resume = name;
    } else if (star) {
      pattern = star + 1;
      name = ++resume;
    } else {
      return false;
    }
  }
  while (*pattern == '*') ++pattern;
  return *pattern == '\0' || std::strcmp(pattern, ".*") == 0;
}

// The remote directory of the operation: remembered, entered, and left again on every
// path out (its own failure then is not reported).
class RemoteDirectory {
 public:
  explicit RemoteDirectory(FtpSession& s) noexcept : s_(s) {}
  ~RemoteDirectory() {
    if (!changed_ || Gone(s_)) return;
    static_cast<void>(ChangeDirectory(s_, saved_));
  }
  RemoteDirectory(const RemoteDirectory&) = delete;
  RemoteDirectory& operator=(const RemoteDirectory&) = delete;

  Status Enter(const char* directory) noexcept {
    if (!directory) return {};
    if (const Result<int32_t> r = GetWorkingDirectory(s_, saved_, sizeof saved_); !r.ok()) return r.status();
    if (Gone(s_)) return kSessionGone;
    if (const Result<int32_t> r = ChangeDirectory(s_, directory); !r.ok()) return r.status();
    changed_ = true;
    return {};
  }

 private:
  FtpSession& s_;
  char saved_[512] = {};
  bool changed_ = false;
};

const char* Present(const char* text) noexcept { return Empty(text) ? nullptr : text; }

const char* BaseName(const char* name) noexcept {
  const char* slash = std::strrchr(name, '/');
  return slash ? slash + 1 : name;
}

// The files of a listing that a multiple-file download fetches, in listing order: the
// listed names whose last part the mask's last part matches (the server's answer to the
// mask is not trusted to hold only those), without directories.
class ListedFiles {
 public:
  ListedFiles(const char* mask, std::vector<std::string>& names)
      : pattern_(mask ? BaseName(mask) : ""), names_(names) {}

  // Takes one entry; false when the listing is too large to keep.
  bool Take(const FtpListEntry& e) {
    if (!e.name) return true;
    const char* base = BaseName(e.name);
    // Servers differ in the case of names (and some ignore it): the mask's letters match either.
    if (!pattern_.empty() && !Matches(pattern_.c_str(), base, true)) return true;
    admitted_ = true;
    if (e.directory || !*base || std::strcmp(base, ".") == 0 || std::strcmp(base, "..") == 0) return true;
    bytes_ += std::strlen(e.name);
    if (names_.size() >= kListedFilesLimit || bytes_ > kListedNameBytesLimit) return false;
    names_.emplace_back(e.name);
    return true;
  }
  // Whether the listing held an entry that the mask admits.
  bool admitted() const { return admitted_; }

 private:
  std::string pattern_;
  std::vector<std::string>& names_;
  size_t bytes_ = 0;
  bool admitted_ = false;
};

Status ListRemoteFiles(FtpSession& s, const char* mask, std::vector<std::string>& names) noexcept {
  if (const Result<int32_t> opened = OpenDirectory(s, mask); !opened.ok()) return opened.status();
  ListedFiles files(mask, names);
  Status error;
  while (error.ok()) {
    uint32_t done = 0;
    if (const Status read = ReadListLine(s, &done); !read.ok()) {
      if (read.error() != cvErrorEndOfDirectory) error = read;
      break;
    }
    if (Gone(s)) return kSessionGone;
    // Each entry is taken as it is read: the listing's records do not pile up.
    for (FtpListEntry* e = done ? TakeEntries(s) : nullptr; e;) {
      FtpListEntry* next = e->next;
      if (error.ok() && !files.Take(*e)) error = Status(cvErrorBufferTooSmall);
      FreeEntry(s, e);
      e = next;
    }
  }
  // The listing is closed in every case, or the session could send no further command.
  error = FirstFailure(error, CloseDirectory(s).status());
  if (Gone(s)) return kSessionGone;
  if (error.ok() && !files.admitted()) error = Status(cvErrorDirectoryEmpty);
  ClearEntries(s);
  return error;
}

Status RetrieveMultipleFiles(FtpSession& s, const char* local, const char* remote, const char* mask) noexcept {
  if (s.dataSocket != INVALID_SOCKET) return Status(cvErrorConnectionOpen);
  local = Present(local);
  remote = Present(remote);
  if (local && !IsDirectory(local)) return Status(cvErrorDirectoryNotFound);
  RemoteDirectory directory(s);
  if (const Status entered = directory.Enter(remote); !entered.ok()) return entered;
  std::vector<std::string> names;
  if (const Status listed = ListRemoteFiles(s, mask, names); !listed.ok()) return listed;
  std::string path;
  for (const std::string& name : names) {
    // A listed name may carry the server's directory part; locally only its last part
    // counts, and nothing may leave the local directory.
    if (!LocalPath(local, BaseName(name.c_str()), path)) return Status(cvErrorInvalidFileName);
    if (const Result<int32_t> got = RetrieveFile(s, path.c_str(), name.c_str(), 0, 0); !got.ok()) return got.status();
    if (Gone(s)) return kSessionGone;
  }
  return {};
}

Status StoreMultipleFiles(FtpSession& s, const char* local, const char* remote, const char* mask) noexcept {
  if (s.dataSocket != INVALID_SOCKET) return Status(cvErrorConnectionOpen);
  local = Present(local);
  remote = Present(remote);
  std::string pattern = Present(mask) ? mask : "*.*";
  if (local && !IsDirectory(local)) return Status(cvErrorDirectoryNotFound);
  // The directory searched: the local directory, with the mask's own directory part.
  std::string searched = local ? local : "";
  if (const size_t slash = pattern.find_last_of('/'); slash != std::string::npos) {
    if (!searched.empty() && searched.back() != '/') searched += '/';
    searched += pattern.substr(0, slash + 1);
    pattern.erase(0, slash + 1);
  }
  std::vector<std::string> names;
  if (DIR* d = ::opendir(searched.empty() ? "." : searched.c_str())) {
    while (const dirent* entry = ::readdir(d)) {
      const char* n = entry->d_name;
      if (std::strcmp(n, ".") != 0 && std::strcmp(n, "..") != 0 && Matches(pattern.c_str(), n)) names.emplace_back(n);
    }
    ::closedir(d);
  }
  std::sort(names.begin(), names.end());
  RemoteDirectory directory(s);
  if (const Status entered = directory.Enter(remote); !entered.ok()) return entered;
  if (names.empty()) return Status(cvErrorDirectoryEmpty);
  std::string path;
  for (const std::string& name : names) {
    if (!LocalPath(searched.empty() ? nullptr : searched.c_str(), name, path)) return Status(cvErrorInvalidFileName);
    if (IsDirectory(path)) continue;
    if (const Result<int32_t> put = StoreFile(s, path.c_str(), name.c_str(), 0, 0); !put.ok()) return put.status();
    if (Gone(s)) return kSessionGone;
  }
  return {};
}

}  // namespace

}  // namespace cvftp

int32_t FtpRetrieveMultipleFiles(LibHandle handle, const char* local, const char* remote, const char* mask) {
  cvftp::Operation op(handle);
  if (!op) return -1;
  FtpSession& s = *op.session();
  return cvftp::FinishOn(s, cvftp::RetrieveMultipleFiles(s, local, remote, mask), 0, -1);
}

int32_t FtpStoreMultipleFiles(LibHandle handle, const char* local, const char* remote, const char* mask) {
  cvftp::Operation op(handle);
  if (!op) return -1;
  FtpSession& s = *op.session();
  return cvftp::FinishOn(s, cvftp::StoreMultipleFiles(s, local, remote, mask), 0, -1);
}
