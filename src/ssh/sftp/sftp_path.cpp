// Remote names resolved against the session's current and home directory.
#include <cstring>
#include <string>

#include "core/errors/error_codes.h"
#include "ssh/sftp/sftp.h"
#include "ssh/sftp/sftp_exchange.h"
#include "ssh/sftp/sftp_session.h"
#include "ssh/util/alloc.h"
#include "ssh/util/strings.h"

namespace {

std::string Join(const char* base, const char* name) {
  std::string path = base ? base : "";
  if (path.empty() || path.back() != '/') path += '/';
  return path + name;
}

}  // namespace

const char* SftpBaseName(const char* path) {
  const char* slash = std::strrchr(path, '/');
  return slash ? slash + 1 : path;
}

char* SftpResolvePath(SshSession* s, const char* name) {
  if (!s) {
    SshSetLastError(nullptr, cvErrorInvalidHandle);
    return nullptr;
  }
  if (!name || !*name) {
    SshSetLastError(s, cvErrorInvalidFileName);
    return nullptr;
  }
  std::string path;
  if (name[0] == '/')
    path = name;
  else if (std::strncmp(name, "~/", 2) == 0)
    path = Join(SftpHomeDirectory(s), name + 2);
  else
    path = Join(SftpCurrentDirectory(s), name);
  if (path.find('@') != std::string::npos) return DupString(path.c_str());
  if (char* canonical = cvssh::sftp::RealPath(s, path.c_str())) return canonical;

  // The name may not exist yet: canonicalise its parent and keep the last segment.
  if (path.size() > 2 && path.back() == '/') path.pop_back();
  size_t slash = path.rfind('/');
  std::string last = slash == std::string::npos ? path : path.substr(slash + 1);
  if (slash == std::string::npos || last == "." || last == ".." || path == "/") return DupString(path.c_str());
  std::string parent = slash == 0 ? "/" : path.substr(0, slash);
  char* canonicalParent = cvssh::sftp::RealPath(s, parent.c_str());
  if (!canonicalParent) return DupString(path.c_str());
  std::string result = Join(canonicalParent, last.c_str());
  CheckedFree(canonicalParent);
  return DupString(result.c_str());
}
