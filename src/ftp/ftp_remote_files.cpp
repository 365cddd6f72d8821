// Renaming and deleting remote files, and the working directory: change, print, make and
// remove directories.
#include <algorithm>
#include <cstring>
#include <string>

#include "ftp/ftp_directory.h"
#include "ftp/ftp_internal.h"
#include "ftp/ftp_sftp.h"

namespace cvftp {

namespace {

constexpr uint32_t kSystemWindows = 3;

bool Is2xx(int32_t r) noexcept { return r >= 200 && r <= 299; }

// The directory of a 257 reply's first line: the quoted name with doubled quotes undone
// (up to the end of the line when the closing quote is missing); an old-style reply
// without quotes names it as its first word.
void TakeDirectory(const char* raw, char (&out)[kFtpDirectorySize]) noexcept {
  const char* p = std::strlen(raw) >= 4 ? raw + 4 : raw;
  size_t n = 0;
  if (*p == '"') {
    for (++p; *p && *p != '\n' && n + 1 < sizeof out; ++p) {
      if (*p == '"') {
        if (p[1] != '"') break;
        ++p;
      }
      out[n++] = *p;
    }
  } else {
    for (; *p && *p != ' ' && *p != '\n' && n + 1 < sizeof out; ++p) out[n++] = *p;
  }
  out[n] = '\0';
}

}  // namespace

int32_t GetWorkingDirectory(FtpSession& s, char* buffer, uint32_t size) noexcept {
  if (buffer && size < 2) return Fail(cvErrorInvalidParameter);
  if (!s.loggedIn) return Fail(cvErrorAuthenticationRequired);
  if (IsSftpSession(s)) return sftp::GetWorkingDirectory(s, buffer, size);
  const int32_t r = SendCommand(s, "PWD", nullptr);
  if (Gone(s)) return FailGone();
  if (r == -1 || !Is2xx(r)) return r;
  TakeDirectory(s.replyRaw, s.currentDirectory);
  if (buffer) {
    const size_t n = std::min<size_t>(std::strlen(s.currentDirectory), size - 1);
    std::memcpy(buffer, s.currentDirectory, n);
    buffer[n] = '\0';
  }
  return r;
}

int32_t ChangeDirectory(FtpSession& s, const char* path) noexcept {
  if (IsSftpSession(s)) return sftp::ChangeDirectory(s, path);
  if (Empty(path)) return Fail(cvErrorDirectoryNotFound);
  const uint32_t system = GetSystemType(s);
  if (Gone(s)) return FailGone();
  std::string trimmed(path);
  if ((system == 1 || system == kSystemWindows) && trimmed.size() > 1 &&
      (trimmed.back() == '/' || trimmed.back() == '\\'))
    trimmed.pop_back();
  const int32_t r = SendCommand(s, "CWD", trimmed.c_str(), cvErrorInvalidFileName);
  if (Gone(s)) return FailGone();
  if (r == -1) return -1;
  // The cache follows the server: a directory that cannot be learned leaves it empty.
  s.currentDirectory[0] = '\0';
  if (GetWorkingDirectory(s, nullptr, 0) == -1) return -1;
  return r;
}

}  // namespace cvftp

using cvftp::Fail;
using cvftp::Operation;

int32_t FtpGetWorkingDirectory(LibHandle handle, char* buffer, uint32_t size) {
  Operation op(handle);
  return op ? cvftp::GetWorkingDirectory(*op.session(), buffer, size) : -1;
}

int32_t FtpChangeDirectory(LibHandle handle, const char* path) {
  Operation op(handle);
  return op ? cvftp::ChangeDirectory(*op.session(), path) : -1;
}

int32_t FtpRenamePath(LibHandle handle, const char* from, const char* to) {
  Operation op(handle);
  if (!op) return -1;
  if (cvftp::Empty(from) || cvftp::Empty(to)) return Fail(cvErrorInvalidParameter);
  FtpSession& s = *op.session();
  if (cvftp::IsSftpSession(s)) return cvftp::sftp::RenamePath(s, from, to);
  const int32_t r = cvftp::SendCommand(s, "RNFR", from, cvErrorInvalidFileName);
  if (r != 350 || cvftp::Gone(s)) return r;
  return cvftp::SendCommand(s, "RNTO", to, cvErrorInvalidFileName);
}

int32_t FtpRemoveFile(LibHandle handle, const char* name) {
  Operation op(handle);
  if (!op) return -1;
  if (cvftp::Empty(name)) return Fail(cvErrorInvalidFileName);
  if (cvftp::IsSftpSession(*op.session())) return cvftp::sftp::RemoveFile(*op.session(), name);
  return cvftp::SendCommand(*op.session(), "DELE", name, cvErrorInvalidFileName);
}

int32_t FtpMakeDirectory(LibHandle handle, const char* path) {
  Operation op(handle);
  if (!op) return -1;
  if (cvftp::Empty(path)) return Fail(cvErrorInvalidParameter);
  FtpSession& s = *op.session();
  if (cvftp::IsSftpSession(s)) return cvftp::sftp::MakeDirectory(s, path);
  const int32_t r = cvftp::SendCommand(s, "MKD", path, cvErrorInvalidFileName);
  if (r == -1 && !cvftp::Gone(s) && s.replyCode == 521) return Fail(cvErrorDirectoryExists);
  return r;
}

int32_t FtpDeleteDirectory(LibHandle handle, const char* path) {
  Operation op(handle);
  if (!op) return -1;
  if (cvftp::Empty(path)) return Fail(cvErrorInvalidParameter);
  if (cvftp::IsSftpSession(*op.session())) return cvftp::sftp::DeleteDirectory(*op.session(), path);
  return cvftp::SendCommand(*op.session(), "RMD", path, cvErrorInvalidFileName);
}
