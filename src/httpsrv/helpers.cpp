// Small routines of the server: dates and entity tags, path validation and comparison,
// directory creation, temporary files, default documents and the Base64 and percent
// decoder.
#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cctype>
#include <cstring>
#include <ctime>

#include "core/url/url.h"
#include "http/http.h"
#include "httpsrv/httpsrv_internal.h"
#include "platform/base/thread.h"
#include "platform/base/tick.h"

namespace cvhttpsrv {

bool FileInfo(const std::string& path, std::string* lastModified, std::string* etag, uint64_t* size,
              uint32_t* error) {
  if (path.empty()) return *error = cvErrorInvalidFileName, false;
  const int fd = ::open(path.c_str(), O_RDONLY | O_CLOEXEC | O_NONBLOCK);
  struct stat st {};
  if (fd < 0) {
    if (::stat(path.c_str(), &st) != 0) return *error = cvErrorFileNotFound, false;
    if (!S_ISREG(st.st_mode)) return *error = cvErrorInvalidFileType, false;
    return *error = cvErrorAccessDenied, false;
  }
  const bool ok = ::fstat(fd, &st) == 0;
  ::close(fd);
  if (!ok) return *error = cvErrorAccessDenied, false;
  if (!S_ISREG(st.st_mode)) return *error = cvErrorInvalidFileType, false;
  if (lastModified) *lastModified = FormatHttpDate(st.st_mtim.tv_sec);
  if (etag) {
    // The inode, size and modification time in nanoseconds: a rewrite with the same size
    // still changes the tag.
    const uint64_t ino = uint64_t(st.st_ino), sz = uint64_t(st.st_size);
    const uint64_t t = uint64_t(st.st_mtim.tv_sec) * 10000000ull + uint64_t(st.st_mtim.tv_nsec) / 100;
    char text[128];
    std::snprintf(text, sizeof text, "\"%lx%lx%lx%lx%lx%lx\"", (unsigned long)((ino >> 32) >> 8),
                  (unsigned long)(ino & 0xFFFFFFFF), (unsigned long)(sz >> 32), (unsigned long)(sz & 0xFFFFFFFF),
                  (unsigned long)((t >> 32) >> 12), (unsigned long)(t & 0xFFFFFFFF));
    *etag = text;
  }
  if (size) *size = uint64_t(st.st_size);
  return true;
}

bool ValidatePath(uint64_t server, HttpServerRecord& r, const std::string& pathText, uint32_t mode) {
  if (pathText.empty() || pathText.find_first_of("<>|\"?*") != std::string::npos)
    return Fail(server, cvErrorInvalidFileName), false;
  std::string path = Canonical(pathText);
  if (path.empty()) return Fail(server, cvErrorInvalidFileName), false;
  struct stat st {};
  if (mode & 4) {
    const size_t slash = path.find_last_of('/');
    const std::string parent = slash == 0 ? "/" : path.substr(0, slash);
    if (!IsDirectory(parent)) return Fail(server, cvErrorDirectoryNotFound), false;
  }
  const bool exists = ::stat(path.c_str(), &st) == 0;
  if ((mode & 1) && !exists) return Fail(server, (mode & 2) ? cvErrorDirectoryNotFound : cvErrorFileNotFound), false;
  if ((mode & 2) && exists && !S_ISDIR(st.st_mode)) return Fail(server, cvErrorDirectoryNotFound), false;
  if (!(mode & 8)) {
    // System directories and files directly in the file system's root are refused.
    for (const char* sys : {"/proc", "/sys", "/dev", "/etc", "/boot"})
      if (PathInside(sys, path)) return Fail(server, cvErrorAccessDenied), false;
    if (path == "/" || (path.find('/', 1) == std::string::npos && !(exists && S_ISDIR(st.st_mode))))
      return Fail(server, cvErrorAccessDenied), false;
  }
  if (exists && !S_ISREG(st.st_mode) && !S_ISDIR(st.st_mode)) return Fail(server, cvErrorInvalidFileType), false;
  const size_t slash = path.find_last_of('/');
  const bool hidden = slash != std::string::npos && path.size() > slash + 1 && path[slash + 1] == '.';
  const uint32_t options = r.options.load();
  if (exists && hidden && ((options & httpServerRestricted) || !(options & httpServerHiddenFiles)))
    return Fail(server, cvErrorAccessDenied), false;
  return true;
}

int CreateTempFile(HttpServerRecord& r, std::string& name) {
  if (r.temp.empty() || r.temp.size() > 230) return Fail(r.serverHandle.load(), cvErrorInternalFailure), -1;
  const uint32_t thread = plat::GetCurrentThreadId();
  for (uint32_t attempt = 0; attempt < 100; ++attempt) {
    const uint32_t tick = plat::GetTickCount();
    char file[64];
    std::snprintf(file, sizeof file, "%c%lx%lx.tmp", char('a' + tick % 24), (unsigned long)thread,
                  (unsigned long)(tick + attempt));
    const std::string candidate = r.temp + "/" + file;
    const int fd = ::open(candidate.c_str(), O_RDWR | O_CREAT | O_EXCL | O_CLOEXEC, 0644);
    if (fd >= 0) {
      name = candidate;
      return fd;
    }
  }
  return Fail(r.serverHandle.load(), cvErrorFileNotCreated), -1;
}

std::string DecodePercent(const std::string& text, bool* ok) {
  std::vector<char> out(text.size() + 1);
  const int32_t n = HttpDecodeText(2, text.c_str(), int32_t(text.size()), out.data(), int32_t(out.size()));
  *ok = n >= 0;
  return n > 0 ? std::string(out.data(), size_t(n)) : std::string();
}

}  // namespace cvhttpsrv

using namespace cvhttpsrv;

int32_t HttpServerValidatePath(uint64_t server, const char* path, uint32_t mode) {
  RecordPtr r = Lib().FindServer(server);
  return r && ValidatePath(server, *r, path ? path : "", mode) ? 1 : 0;
}

int32_t HttpPathCompare(uint64_t, const char* baseText, const char* pathText) {
  const std::string base = baseText && *baseText ? Canonical(baseText) : "";
  const std::string path = pathText && *pathText ? Canonical(pathText) : "";
  if (base.empty() && path.empty()) return 0;
  if (base.empty()) return -1;
  if (path.empty()) return 1;
  if (base == path) return 0;
  return PathInside(base, path) ? 1 : -1;
}

int32_t HttpGetFileInfo(uint64_t server, const char* path, char* lastModified, char* entityTag, uint64_t* size) {
  std::string modified, tag;
  uint32_t error = 0;
  if (!FileInfo(path ? path : "", &modified, &tag, size, &error)) return Fail(server, error);
  if (lastModified) std::snprintf(lastModified, 64, "%s", modified.c_str());
  if (entityTag) std::snprintf(entityTag, 64, "%s", tag.c_str());
  return 1;
}

int32_t HttpFormatDate(char* buffer) { return HttpFormatExpiry(0, buffer); }

int32_t HttpFormatExpiry(uint32_t seconds, char* buffer) {
  if (!buffer) return 0;
  const std::string text = FormatHttpDate(Now() + int64_t(seconds));
  std::snprintf(buffer, 128, "%s", text.c_str());
  return int32_t(text.size());
}

int32_t HttpFindDefaultDocument(const char* directory, char* out) {
  static const char* const kDocuments[] = {"index.htm",    "index.html", "index.shtml", "default.htm",
                                           "default.html", "home.htm",   "home.html",   "index.txt"};
  if (!directory || !out) return 0;
  const size_t n = std::strlen(directory);
  if (n == 0 || n > 248) return 0;
  std::string base = directory;
  if (base.back() != '/') base += '/';
  for (const char* doc : kDocuments) {
    const std::string candidate = base + doc;
    if (candidate.size() >= 258) continue;
    if (IsRegularFile(candidate)) {
      std::memcpy(out, candidate.c_str(), candidate.size() + 1);
      return int32_t(candidate.size());
    }
  }
  return 0;
}

int32_t HttpCreateDirectoryPath(const char* pathText) {
  const std::string path = pathText ? Canonical(pathText) : "";
  if (path.empty()) return InetSetLastError(cvErrorInvalidFileName), 0;
  for (size_t pos = 1; pos <= path.size(); ++pos) {
    if (pos != path.size() && path[pos] != '/') continue;
    const std::string part = path.substr(0, pos);
    struct stat st {};
    if (::stat(part.c_str(), &st) == 0) {
      if (!S_ISDIR(st.st_mode)) return InetSetLastError(cvErrorInvalidFileName), 0;
      continue;
    }
    if (::mkdir(part.c_str(), 0755) != 0 && !IsDirectory(part)) return InetSetLastError(cvErrorInvalidFileName), 0;
  }
  return 1;
}

int32_t HttpHasPercentEscapes(const char* text, int32_t length) {
  if (!text) return 0;
  const size_t n = length < 0 ? std::strlen(text) : size_t(length);
  return std::memchr(text, '%', n) ? 1 : 0;
}

int32_t HttpDecodeText(uint32_t mode, const char* input, int32_t length, char* output, int32_t size) {
  if (!input || length <= 0 || !output || size < length) return -1;
  int32_t out = 0;
  if (mode == 1) {
    static const char kAlphabet[] = "ABCDEFGHIJKLMNOPQRSTUVWXYZabcdefghijklmnopqrstuvwxyz0123456789+/";
    uint32_t group = 0, count = 0;
    for (int32_t i = 0; i < length && input[i] != '='; ++i) {
      const char* p = input[i] ? std::strchr(kAlphabet, input[i]) : nullptr;
      if (!p) {
        if (count != 0) return -1;
        continue;
      }
      group = (group << 6) | uint32_t(p - kAlphabet);
      if (++count == 4) {
        for (int shift = 16; shift >= 0; shift -= 8) {
          if (out >= size) return out;
          output[out++] = char((group >> shift) & 0xFF);
        }
        group = count = 0;
      }
    }
    if (count >= 2) {
      group <<= 6 * (4 - count);
      for (uint32_t k = 0; k < count - 1 && out < size; ++k) output[out++] = char((group >> (16 - 8 * k)) & 0xFF);
    } else if (count == 1) {
      return -1;
    }
  } else {
    for (int32_t i = 0; i < length; ++i) {
      char ch = input[i];
      if (ch == '%') {
        if (i + 2 >= length + 0 || !std::isxdigit(static_cast<unsigned char>(input[i + 1])) ||
            !std::isxdigit(static_cast<unsigned char>(input[i + 2])))
          return -1;
        ch = char(std::strtoul(std::string(input + i + 1, 2).c_str(), nullptr, 16));
        i += 2;
        if (ch == '\0') break;
      }
      if (out >= size) return -1;
      output[out++] = ch;
    }
  }
  if (out < size) output[out] = '\0';
  return out;
}

int HttpCreateTempFile(uint64_t server, char* name) {
  RecordPtr r = Lib().FindServer(server);
  if (!r) return -1;
  if (!name) return Fail(server, cvErrorInvalidParameter, -1);
  std::string made;
  const int fd = CreateTempFile(*r, made);
  if (fd < 0) return -1;
  std::snprintf(name, kPathSize, "%s", made.c_str());
  return fd;
}

namespace {

// Surrounding blanks and one pair of enclosing double quotes removed.
std::string Unquoted(const char* text) {
  std::string t = Trim(text ? text : "");
  if (t.size() >= 2 && t.front() == '"' && t.back() == '"') t = t.substr(1, t.size() - 2);
  return t;
}

}  // namespace

char* HttpJoinPath(uint64_t server, const char* baseText, const char* nameText, char* out) {
  if (!out) return Fail<char*>(server, cvErrorInvalidParameter, nullptr);
  const std::string base = Unquoted(baseText), name = Unquoted(nameText);
  std::string joined = base;
  if (!joined.empty() && joined.back() != '/' && joined.back() != '\\' && !name.empty()) joined += '/';
  joined += name;
  if (joined.size() >= kPathSize - 1) return Fail<char*>(server, cvErrorInvalidFileName, nullptr);
  const std::string canonical = Canonical(joined);
  if (canonical.empty()) return Fail<char*>(server, cvErrorInvalidFileName, nullptr);
  std::memcpy(out, canonical.c_str(), canonical.size() + 1);
  return out;
}

int32_t HttpServerComposeUrl(const HttpUrl* url, char* out) {
  if (!url || !out || (url->scheme != 1 && url->scheme != 2) || !url->host || !*url->host) return 0;
  const bool secure = url->scheme == 2;
  std::string text = secure ? "https://" : "http://";
  if (url->user && *url->user) {
    text += url->user;
    if (url->password && *url->password) text += std::string(":") + url->password;
    text += '@';
  }
  const std::string host = url->host;
  text += host.find(':') != std::string::npos ? "[" + host + "]" : host;
  if (url->port != 0 && url->port != (secure ? 443u : 80u)) text += ":" + std::to_string(url->port);
  std::string path = url->path && *url->path ? url->path : "/";
  if (path[0] != '/') path.insert(path.begin(), '/');
  HttpNormalizePath(path.data());
  text += path.c_str();
  if (url->query && *url->query) {
    const std::string query = url->query;
    std::vector<char> encoded(query.size() * 3 + 1);
    const int32_t n =
        HttpEncodeText(3, query.c_str(), int32_t(query.size()), encoded.data(), int32_t(encoded.size()));
    if (n < 0) return 0;
    text += "?" + std::string(encoded.data(), size_t(n));
  }
  if (text.size() >= 1024) return 0;
  std::memcpy(out, text.c_str(), text.size() + 1);
  return int32_t(text.size());
}
