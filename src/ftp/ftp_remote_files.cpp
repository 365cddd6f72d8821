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

Result<int32_t> GetWorkingDirectory(FtpSession& s, char* buffer, uint32_t size) noexcept {
  if (buffer && size < 2) return Status(cvErrorInvalidParameter);
  if (!s.loggedIn) return Status(cvErrorAuthenticationRequired);
  if (IsSftpSession(s)) {
    if (const Status got = sftp::GetWorkingDirectory(s, buffer, size); !got.ok()) return got;
    return 0;
  }
  const Result<int32_t> r = SendCommand(s, "PWD", nullptr);
  if (Gone(s)) return kSessionGone;
  if (!r.ok() || !Is2xx(r.value())) return r;
  TakeDirectory(s.replyRaw, s.currentDirectory);
  if (buffer) {
    const size_t n = std::min<size_t>(std::strlen(s.currentDirectory), size - 1);
    std::memcpy(buffer, s.currentDirectory, n);
    buffer[n] = '\0';
  }
  return r;
}

Result<int32_t> ChangeDirectory(FtpSession& s, const char* path) noexcept {
  if (IsSftpSession(s)) {
    if (const Status changed = sftp::ChangeDirectory(s, path); !changed.ok()) return changed;
    return 0;
  }
  if (Empty(path)) return Status(cvErrorDirectoryNotFound);
  const Result<uint32_t> system = GetSystemType(s);
  if (Gone(s)) return kSessionGone;
  std::string trimmed(path);
  if (system.ok() && (system.value() == 1 || system.value() == kSystemWindows) && trimmed.size() > 1 &&
      (trimmed.back() == '/' || trimmed.back() == '\\'))
    trimmed.pop_back();
  const Result<int32_t> r = SendCommand(s, "CWD", trimmed.c_str(), cvErrorInvalidFileName);
  if (Gone(s)) return kSessionGone;
  if (!r.ok()) return r;
  // The cache follows the server: a directory that cannot be learned leaves it empty.
  s.currentDirectory[0] = '\0';
  if (const Result<int32_t> pwd = GetWorkingDirectory(s, nullptr, 0); !pwd.ok()) return pwd;
  return r;
}

namespace {

// The reply of a command on a path; an SFTP session runs the SFTP form instead (0).
template <typename Sftp>
Result<int32_t> PathCommand(FtpSession& s, const char* command, const char* path, Sftp sftpForm) noexcept {
  if (IsSftpSession(s)) {
    if (const Status done = sftpForm(); !done.ok()) return done;
    return 0;
  }
  return SendCommand(s, command, path, cvErrorInvalidFileName);
}

}  // namespace

}  // namespace cvftp

using cvftp::Operation;
using cvftp::Result;
using cvftp::Status;

int32_t FtpGetWorkingDirectory(LibHandle handle, char* buffer, uint32_t size) {
  Operation op(handle);
  if (!op) return -1;
  FtpSession& s = *op.session();
  return cvftp::FinishOn(s, cvftp::GetWorkingDirectory(s, buffer, size), -1);
}

int32_t FtpChangeDirectory(LibHandle handle, const char* path) {
  Operation op(handle);
  if (!op) return -1;
  FtpSession& s = *op.session();
  return cvftp::FinishOn(s, cvftp::ChangeDirectory(s, path), -1);
}

int32_t FtpRenamePath(LibHandle handle, const char* from, const char* to) {
  Operation op(handle);
  if (!op) return -1;
  if (cvftp::Empty(from) || cvftp::Empty(to)) return cvftp::Library().Finish(Status(cvErrorInvalidParameter), 0, -1);
  FtpSession& s = *op.session();
  if (cvftp::IsSftpSession(s)) return cvftp::FinishOn(s, cvftp::sftp::RenamePath(s, from, to), 0, -1);
  const Result<int32_t> r = cvftp::SendCommand(s, "RNFR", from, cvErrorInvalidFileName);
  if (!r.ok() || r.value() != 350 || cvftp::Gone(s)) return cvftp::Library().Finish(r, -1);
  return cvftp::Library().Finish(cvftp::SendCommand(s, "RNTO", to, cvErrorInvalidFileName), -1);
}

int32_t FtpRemoveFile(LibHandle handle, const char* name) {
  Operation op(handle);
  if (!op) return -1;
  if (cvftp::Empty(name)) return cvftp::Library().Finish(Status(cvErrorInvalidFileName), 0, -1);
  FtpSession& s = *op.session();
  return cvftp::FinishOn(s, cvftp::PathCommand(s, "DELE", name, [&] { return cvftp::sftp::RemoveFile(s, name); }), -1);
}

int32_t FtpMakeDirectory(LibHandle handle, const char* path) {
  Operation op(handle);
  if (!op) return -1;
  if (cvftp::Empty(path)) return cvftp::Library().Finish(Status(cvErrorInvalidParameter), 0, -1);
  FtpSession& s = *op.session();
  const Result<int32_t> r = cvftp::PathCommand(s, "MKD", path, [&] { return cvftp::sftp::MakeDirectory(s, path); });
  if (!r.ok() && !cvftp::IsSftpSession(s) && !cvftp::Gone(s) && s.replyCode == 521)
    return cvftp::Library().Finish(Status(cvErrorDirectoryExists), 0, -1);
  return cvftp::FinishOn(s, r, -1);
}

int32_t FtpDeleteDirectory(LibHandle handle, const char* path) {
  Operation op(handle);
  if (!op) return -1;
  if (cvftp::Empty(path)) return cvftp::Library().Finish(Status(cvErrorInvalidParameter), 0, -1);
  FtpSession& s = *op.session();
  return cvftp::FinishOn(s, cvftp::PathCommand(s, "RMD", path, [&] { return cvftp::sftp::DeleteDirectory(s, path); }),
                         -1);
}
