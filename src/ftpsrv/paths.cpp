// Path normalisation and comparison, directory creation, unique names, file times and
// checksums.
#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cctype>
#include <cerrno>
#include <cstdio>
#include <cstring>
#include <string>
#include <vector>

#include "core/digest/crc32.h"
#include "core/digest/md5.h"
#include "ftpsrv/ftpsrv_internal.h"
#include "ftpsrv/local_fs.h"
#include "platform/base/tick.h"

namespace cvftpsrv {

namespace {

constexpr size_t kMaxParts = 128;

bool IsSeparator(char ch) { return ch == '/' || ch == '\\'; }

std::string Trim(const char* text) {
  std::string s = text ? text : "";
  size_t b = 0, e = s.size();
  while (b < e && std::isspace(static_cast<unsigned char>(s[b]))) ++b;
  while (e > b && std::isspace(static_cast<unsigned char>(s[e - 1]))) --e;
  return s.substr(b, e - b);
}

// The normalised path, or false when nothing is left or it is too long.
bool Combine(const char* baseText, const char* pathText, std::string& out, bool exact) {
  out.clear();
  std::string base = Trim(baseText);
  const bool hasBase = !base.empty();
  for (char& ch : base)
    if (ch == '\\') ch = '/';
  if (base.size() > 0 && base.back() == '/') base.pop_back();

  std::string path = exact ? std::string(pathText ? pathText : "") : Trim(pathText);
  if (path.empty()) {
    if (!hasBase) return false;
    out = base.empty() ? "/" : base;
    return true;
  }
  if (!exact && path.size() >= 2 && (path[0] == '"' || path[0] == '\'') && path.back() == path[0]) {
    path = Trim(path.substr(1, path.size() - 2).c_str());
  }
  size_t i = 0;
  bool device = false;
  if (path.size() >= 4 && IsSeparator(path[0]) && IsSeparator(path[1]) && (path[2] == '.' || path[2] == '?') &&
      IsSeparator(path[3])) {
    i = 4;
    device = true;
  }
  std::string drive, server;
  bool absolute = false;
  if (path.size() >= i + 2 && std::isalpha(static_cast<unsigned char>(path[i])) && path[i + 1] == ':') {
    drive = path.substr(i, 1);
    i += 2;
  } else if (!device && path.size() >= 2 && IsSeparator(path[0]) && IsSeparator(path[1])) {
    size_t end = 2;
    while (end < path.size() && !IsSeparator(path[end])) ++end;
    server = path.substr(2, end - 2);
    i = end < path.size() ? end + 1 : end;
    absolute = true;
  }
  if (i < path.size() && IsSeparator(path[i])) {
    absolute = true;
    ++i;
  }

  std::vector<std::string> parts;
  std::string part;
  auto take = [&]() -> bool {
    if (part.empty() || part == ".") {
    } else if (part == "..") {
      if (!parts.empty()) parts.pop_back();
    } else {
      if (parts.size() >= kMaxParts) return false;
      parts.push_back(part);
    }
    part.clear();
    return true;
  };
  for (; i < path.size(); ++i) {
    if (IsSeparator(path[i])) {
      if (!take()) return false;
    } else {
      part += path[i];
    }
  }
  if (!take()) return false;

  if (hasBase) {
    out = base + "/";
  } else {
    if (!drive.empty()) out = drive + ":";
    if (!server.empty()) out += "//" + server;
    if (absolute) out += "/";
  }
  for (size_t k = 0; k < parts.size(); ++k) {
    if (k > 0) out += '/';
    out += parts[k];
  }
  if (out.size() >= kFtpPathSize - 1) {
    out.clear();
    return false;
  }
  if (out.size() >= 2 && out.back() == '/') out.pop_back();
  return !out.empty();
}

}  // namespace

std::string CombinePath(const char* base, const char* path) {
  std::string out;
  return Combine(base, path, out, false) ? out : std::string();
}

std::string CombineExact(const char* base, const char* path) {
  std::string out;
  return Combine(base, path, out, true) ? out : std::string();
}

int32_t ComparePaths(const std::string& aText, const std::string& bText) {
  const std::string a = CombinePath(nullptr, aText.c_str()), b = CombinePath(nullptr, bText.c_str());
  if (a.empty() && b.empty()) return 0;
  if (a.empty()) return -1;
  if (b.empty()) return 1;
  if (a == b) return 0;
  if (b.size() < a.size()) return -1;
  if (b.compare(0, a.size(), a) != 0) return -1;
  return a.back() == '/' || b[a.size()] == '/' ? 1 : -1;
}

}  // namespace cvftpsrv

using namespace cvftpsrv;

char* FtpServerCombinePath(uint64_t server, const char* base, const char* path, char* out) {
  if (!out) return Fail(server, cvErrorInvalidParameter, static_cast<char*>(nullptr));
  out[0] = '\0';
  std::string result;
  if (!Combine(base, path, result, false)) return Fail(server, cvErrorInvalidFileName, static_cast<char*>(nullptr));
  CopyText(out, kFtpPathSize, result.c_str());
  return out;
}

int32_t FtpServerComparePaths(uint64_t, const char* a, const char* b) { return ComparePaths(a ? a : "", b ? b : ""); }

int32_t FtpServerCreateDirectory(uint64_t server, const char* pathText) {
  return CreateDirectoryPath(server, CombinePath(nullptr, pathText));
}

int32_t cvftpsrv::CreateDirectoryPath(uint64_t server, const std::string& path) {
  if (path.empty()) return Fail(server, cvErrorInvalidFileName, 0);
  size_t i = 0;
  if (path.size() >= 2 && path[0] == '/' && path[1] == '/') {
    i = path.find('/', 2);
    if (i == std::string::npos) return Fail(server, cvErrorInvalidFileName, 0);
  } else if (path.size() >= 2 && path[1] == ':') {
    i = 2;
  }
  if (i < path.size() && path[i] == '/') ++i;
  for (size_t slash = path.find('/', i); slash != std::string::npos; slash = path.find('/', slash + 1)) {
    const std::string prefix = path.substr(0, slash);
    struct stat st {};
    if (::stat(prefix.c_str(), &st) == 0) {
      if (!S_ISDIR(st.st_mode)) return Fail(server, cvErrorInvalidFileName, 0);
    } else if (::mkdir(prefix.c_str(), 0777) != 0 && errno != EEXIST) {
      return Fail(server, cvErrorInvalidFileName, 0);
    }
  }
  struct stat st {};
  if (::stat(path.c_str(), &st) == 0) return S_ISDIR(st.st_mode) ? 1 : Fail(server, cvErrorInvalidFileName, 0);
  if (::mkdir(path.c_str(), 0777) != 0 && errno != EEXIST) return Fail(server, cvErrorInvalidFileName, 0);
  return 1;
}

int32_t FtpServerMakeUniqueName(uint64_t server, const char* directory, char* out) {
  uint32_t attributes = 0;
  if (!directory || !GetAttributes(directory, &attributes) || !IsDirectoryAttr(attributes))
    return Fail(server, cvErrorDirectoryNotFound, 0);
  if (!out) return Fail(server, cvErrorInvalidParameter, 0);
  std::string dir = directory;
  if (!dir.empty() && dir.back() == '/') dir.pop_back();
  uint32_t counter = plat::GetTickCount() | 0x10000000u;
  for (int n = 0; n < 999; ++n, ++counter) {
    char name[16];
    std::snprintf(name, sizeof name, "%08x.dat", counter);
    const std::string candidate = dir + "/" + name;
    struct stat st {};
    if (::lstat(candidate.c_str(), &st) != 0 && candidate.size() < kFtpPathSize) {
      CopyText(out, kFtpPathSize, candidate.c_str());
      return 1;
    }
  }
  return Fail(server, cvErrorInvalidFileName, 0);
}

int32_t FtpServerGetFileTime(uint64_t server, const char* file, char* out) {
  if (!file || !*file) return Fail(server, cvErrorInvalidFileName, 0);
  if (!out) return Fail(server, cvErrorInvalidParameter, 0);
  struct stat st {};
  if (::stat(file, &st) != 0) return 0;
  struct tm t {};
  const time_t when = st.st_mtime;
  if (!::gmtime_r(&when, &t)) return 0;
  std::snprintf(out, 64, "%04d%02d%02d%02d%02d%02d", t.tm_year + 1900, t.tm_mon + 1, t.tm_mday, t.tm_hour, t.tm_min,
                t.tm_sec);
  return 1;
}

namespace cvftpsrv {

// Exactly 14 leading digits as a valid UTC time; false otherwise.
bool ParseFileTime(const char* text, time_t* out) {
  if (!text) return false;
  while (std::isspace(static_cast<unsigned char>(*text))) ++text;
  int v[6];
  const int widths[6] = {4, 2, 2, 2, 2, 2};
  for (int f = 0; f < 6; ++f) {
    v[f] = 0;
    for (int k = 0; k < widths[f]; ++k, ++text) {
      if (!std::isdigit(static_cast<unsigned char>(*text))) return false;
      v[f] = v[f] * 10 + (*text - '0');
    }
  }
  static const int kDays[] = {31, 29, 31, 30, 31, 30, 31, 31, 30, 31, 30, 31};
  if (v[0] < 1601 || v[1] < 1 || v[1] > 12 || v[2] < 1 || v[2] > kDays[v[1] - 1] || v[3] > 23 || v[4] > 59 ||
      v[5] > 59)
    return false;
  const bool leap = (v[0] % 4 == 0 && v[0] % 100 != 0) || v[0] % 400 == 0;
  if (v[1] == 2 && v[2] == 29 && !leap) return false;
  struct tm t {};
  t.tm_year = v[0] - 1900;
  t.tm_mon = v[1] - 1;
  t.tm_mday = v[2];
  t.tm_hour = v[3];
  t.tm_min = v[4];
  t.tm_sec = v[5];
  *out = ::timegm(&t);
  return true;
}

}  // namespace cvftpsrv

int32_t FtpServerSetFileTime(uint64_t server, const char* file, const char* timeText) {
  if (!file || !*file) return Fail(server, cvErrorInvalidFileName, 0);
  time_t when = 0;
  if (!ParseFileTime(timeText, &when)) return Fail(server, cvErrorInvalidParameter, 0);
  const int fd = ::open(file, O_WRONLY | O_CLOEXEC | O_NOFOLLOW);
  if (fd < 0) return 0;
  struct stat st {};
  ::fstat(fd, &st);
  const timespec times[2] = {st.st_atim, {when, 0}};
  const bool ok = ::futimens(fd, times) == 0;
  ::close(fd);
  return ok ? 1 : Fail(server, cvErrorAccessDenied, 0);
}

int32_t FtpServerHashFile(uint64_t server, const char* file, uint32_t method, char* out) {
  if (!file || !*file) return Fail(server, cvErrorInvalidFileName, 0);
  if (!out || (method != 1 && method != 2)) return Fail(server, cvErrorInvalidParameter, 0);
  const int fd = ::open(file, O_RDONLY | O_CLOEXEC);
  if (fd < 0) return Fail(server, errno == ENOENT || errno == ENOTDIR ? cvErrorFileNotFound : cvErrorAccessDenied, 0);
  ::posix_fadvise(fd, 0, 0, POSIX_FADV_SEQUENTIAL);
  uint32_t crc = 0xFFFFFFFFu;
  Md5Context md5;
  Md5Begin(&md5);
  char block[8192];
  ssize_t n;
  while ((n = ::read(fd, block, sizeof block)) > 0) {
    if (method == 1) Crc32Update(&crc, block, size_t(n));
    else Md5Append(&md5, block, size_t(n));
  }
  ::close(fd);
  if (n < 0) return Fail(server, cvErrorAccessDenied, 0);
  uint8_t digest[16];
  Md5End(digest, &md5);
  if (method == 1) {
    std::snprintf(out, 128, "%X", ~crc);
  } else {
    for (int k = 0; k < 16; ++k) std::snprintf(out + 2 * k, 3, "%02X", digest[k]);
  }
  return 1;
}

int32_t FtpIsExecutableName(const char* name) {
  if (!name) return 0;
  const char* dot = std::strrchr(name, '.');
  if (!dot) return 0;
  for (const char* ext : {".bat", ".com", ".cmd", ".exe"})
    if (IEquals(dot, ext)) return 1;
  return 0;
}
