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
    const uint32_t kept = Library().GetLastError();
    ChangeDirectory(s_, saved_);
    Library().SetLastError(kept);
  }
  RemoteDirectory(const RemoteDirectory&) = delete;
  RemoteDirectory& operator=(const RemoteDirectory&) = delete;

  bool Enter(const char* directory) noexcept {
    if (!directory) return true;
    if (GetWorkingDirectory(s_, saved_, sizeof saved_) == -1 || Gone(s_)) return false;
    if (ChangeDirectory(s_, directory) == -1) return false;
    changed_ = true;
    return true;
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

  // Takes one entry; false with the error when the listing is too large to keep.
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

int32_t ListRemoteFiles(FtpSession& s, const char* mask, std::vector<std::string>& names) noexcept {
  if (OpenDirectory(s, mask) == -1) return -1;
  ListedFiles files(mask, names);
  uint32_t error = 0;
  while (!error) {
    uint32_t done = 0;
    if (ReadListLine(s, &done) == 0) {
      if (Library().GetLastError() != cvErrorEndOfDirectory) error = Library().GetLastError();
      break;
    }
    if (Gone(s)) return FailGone();
    // Each entry is taken as it is read: the listing's records do not pile up.
    for (FtpListEntry* e = done ? TakeEntries(s) : nullptr; e;) {
      FtpListEntry* next = e->next;
      if (!error && !files.Take(*e)) error = cvErrorBufferTooSmall;
      FreeEntry(s, e);
      e = next;
    }
  }
  // The listing is closed in every case, or the session could send no further command.
  if (CloseDirectory(s) == -1 && !error) error = Library().GetLastError();
  if (Gone(s)) return FailGone();
  if (!error && !files.admitted()) error = cvErrorDirectoryEmpty;
  ClearEntries(s);
  return error ? Fail(error) : 0;
}

int32_t RetrieveMultipleFiles(FtpSession& s, const char* local, const char* remote, const char* mask) noexcept {
  if (s.dataSocket != INVALID_SOCKET) return Fail(cvErrorConnectionOpen);
  local = Present(local);
  remote = Present(remote);
  if (local && !IsDirectory(local)) return Fail(cvErrorDirectoryNotFound);
  RemoteDirectory directory(s);
  if (!directory.Enter(remote)) return -1;
  std::vector<std::string> names;
  if (ListRemoteFiles(s, mask, names) == -1) return -1;
  std::string path;
  for (const std::string& name : names) {
    // A listed name may carry the server's directory part; locally only its last part
    // counts, and nothing may leave the local directory.
    if (!LocalPath(local, BaseName(name.c_str()), path)) return Fail(cvErrorInvalidFileName);
    if (FtpRetrieveFileBasic(s.header.handle, path.c_str(), name.c_str()) == -1) return -1;
    if (Gone(s)) return FailGone();
  }
  return 0;
}

int32_t StoreMultipleFiles(FtpSession& s, const char* local, const char* remote, const char* mask) noexcept {
  if (s.dataSocket != INVALID_SOCKET) return Fail(cvErrorConnectionOpen);
  local = Present(local);
  remote = Present(remote);
  std::string pattern = Present(mask) ? mask : "*.*";
  if (local && !IsDirectory(local)) return Fail(cvErrorDirectoryNotFound);
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
  if (!directory.Enter(remote)) return -1;
  if (names.empty()) return Fail(cvErrorDirectoryEmpty);
  std::string path;
  for (const std::string& name : names) {
    if (!LocalPath(searched.empty() ? nullptr : searched.c_str(), name, path)) return Fail(cvErrorInvalidFileName);
    if (IsDirectory(path)) continue;
    if (FtpStoreFileBasic(s.header.handle, path.c_str(), name.c_str()) == -1) return -1;
    if (Gone(s)) return FailGone();
  }
  return 0;
}

}  // namespace

}  // namespace cvftp

int32_t FtpRetrieveMultipleFiles(LibHandle handle, const char* local, const char* remote, const char* mask) {
  cvftp::Operation op(handle);
  return op ? cvftp::RetrieveMultipleFiles(*op.session(), local, remote, mask) : -1;
}

int32_t FtpStoreMultipleFiles(LibHandle handle, const char* local, const char* remote, const char* mask) {
  cvftp::Operation op(handle);
  return op ? cvftp::StoreMultipleFiles(*op.session(), local, remote, mask) : -1;
}
