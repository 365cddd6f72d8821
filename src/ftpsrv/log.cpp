// Server log files in the Common Log Format and the extended format: one line per
// command, written under the library lock so that lines of several clients never mix.
#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cstdarg>
#include <cstdio>
#include <cstring>
#include <ctime>
#include <string>

#include "ftpsrv/ftpsrv_internal.h"
#include "ftpsrv/log_text.h"

namespace cvftpsrv {

namespace {

std::string FormatTime(const char* format, int64_t when, bool local) {
  struct tm t {};
  const time_t v = time_t(when);
  if (local) ::localtime_r(&v, &t);
  else ::gmtime_r(&v, &t);
  char out[64];
  std::strftime(out, sizeof out, format, &t);
  return out;
}

bool IsTransfer(const char* verb) {
  for (const char* v : {"APPE", "RETR", "STOR", "STOU"})
    if (std::strcmp(verb, v) == 0) return true;
  return false;
}

bool WriteAll(int fd, const std::string& text) {
  size_t done = 0;
  while (done < text.size()) {
    const ssize_t n = ::write(fd, text.data() + done, text.size() - done);
    if (n <= 0) return false;
    done += size_t(n);
  }
  return true;
}

// Writes one line to the log file (library lock held).
void WriteLine(FtpServerRecord& r, const std::string& line) {
  if (r.logFile < 0) {
    r.logLines = 0;
    r.logFile = ::open(r.logFileName, O_WRONLY | O_CREAT | O_CLOEXEC, 0644);
    if (r.logFile < 0) {
      r.logFormat = 0;
      return;
    }
  }
  if (r.logFormat == ftpLogExtended) {
    struct stat st {};
    if (::fstat(r.logFile, &st) == 0 && st.st_size < 10) {
      if (st.st_size > 0 && ::ftruncate(r.logFile, 0) != 0) {
      }
      char header[512];
      std::snprintf(header, sizeof header,
                    "#Software: %s\r\n#Version: 1.0\r\n#Date: %s\r\n#Fields: date time c-ip cs-username cs-method "
                    "cs-uri-stem sc-status sc-bytes cs-bytes\r\n",
                    r.identity, FormatTime("%Y-%m-%d %H:%M:%S", r.startTime.load(), false).c_str());
      ::lseek(r.logFile, 0, SEEK_SET);
      WriteAll(r.logFile, header);
      ::fdatasync(r.logFile);
    }
  }
  if (::lseek(r.logFile, 0, SEEK_END) < 0 || !WriteAll(r.logFile, line)) {
    ::close(r.logFile);
    r.logFile = -1;
    r.logLines = 0;
    return;
  }
  ++r.logLines;
}

}  // namespace

void CloseLog(FtpServerRecord& r) {
  std::lock_guard lk(Lib().lock());
  if (r.logFile >= 0) ::close(r.logFile);
  r.logFile = -1;
}

}  // namespace cvftpsrv

using namespace cvftpsrv;

int32_t FtpServerWriteLog(uint64_t server, const char* format, ...) {
  RecordPtr r = Lib().FindServer(server);
  if (!r || !format || !*format) return 0;
  va_list args, copy;
  va_start(args, format);
  va_copy(copy, args);
  const int n = std::vsnprintf(nullptr, 0, format, copy);
  va_end(copy);
  std::string line;
  if (n > 0) {
    line.resize(size_t(n) + 1);
    std::vsnprintf(line.data(), line.size(), format, args);
    line.resize(size_t(n));
  }
  va_end(args);
  if (line.empty()) return 0;
  std::lock_guard lk(Lib().lock());
  if (r->logFormat == 0) return 0;
  WriteLine(*r, line);
  return 1;
}

int32_t FtpSessionLogCommand(uint64_t server, uint32_t clientId) {
  Client c = FindClient(server, clientId);
  if (!c) return 0;
  FtpServerRecord& r = *c.server;
  FtpServerSession& s = *c.session;
  uint32_t format, level;
  {
    std::lock_guard lk(Lib().lock());
    format = r.logFormat;
    level = r.logLevel;
  }
  if (format == 0 || s.tokenCount == 0) return 0;
  const char* verb = Token(s, 0);
  uint32_t commandLevel = 0;
  const uint32_t saved = InetGetLastError();
  FtpServerGetCommandInfo(server, verb, nullptr, &commandLevel, nullptr);
  InetSetLastError(saved);
  if (level < 10 && (commandLevel == 0 || commandLevel > level)) return 0;

  const bool guest = s.guest.load() != 0;
  const std::string user = s.loggedIn.load() && !guest ? GetText(s, s.userName) : std::string("-");
  std::string request;
  if (!guest && std::strcmp(verb, "PASS") == 0) request = format == ftpLogCommon ? "PASS" : "PASS -";
  else request = CommandLine(s);
  std::string bytes = format == ftpLogCommon ? "-" : "- -";
  if (IsTransfer(verb)) {
    const std::string count = std::to_string(s.bytesTransferred.load());
    if (format == ftpLogCommon) bytes = count;
    else bytes = std::strcmp(verb, "RETR") == 0 ? count + " -" : "- " + count;
  }
  const int64_t when = s.lastActivity.load();
  const uint32_t code = s.lastReplyCode.load();
  if (format == ftpLogCommon) {
    std::string time;
    if (r.options.load() & ftpServerLocalTime) {
      // Time and offset of the same instant: a log written across a change to or from
      // daylight saving time shows each line's own offset.
      struct tm t {};
      const time_t v = time_t(when);
      ::localtime_r(&v, &t);
      const long west = -t.tm_gmtoff;
      const long a = west < 0 ? -west : west;
      char zone[48];
      std::snprintf(zone, sizeof zone, " %c%02ld%02ld", west <= 0 ? '+' : '-', a / 3600, (a % 3600) / 60);
      time = FormatTime("%d/%b/%Y:%H:%M:%S", when, true) + zone;
    } else {
      time = FormatTime("%d/%b/%Y:%H:%M:%S +0000", when, false);
    }
    return FtpServerWriteLog(server, "%s - %s [%s] \"%s\" %u %s\r\n", s.clientAddressText,
                             cvsrv::EscapeLogField(user).c_str(), time.c_str(), cvsrv::EscapeLogField(request).c_str(),
                             code, bytes.c_str());
  }
  const size_t blank = request.find(' ');
  std::string stem = blank == std::string::npos ? std::string() : request.substr(blank + 1);
  for (char& ch : stem)
    if (ch == ' ') ch = '+';
  if (stem.empty()) stem = "-";
  return FtpServerWriteLog(server, "%s %s %s [%u]%s %s %u %s\r\n",
                           FormatTime("%Y-%m-%d %H:%M:%S", when, false).c_str(), s.clientAddressText,
                           cvsrv::EscapeLogField(user).c_str(), s.clientId, cvsrv::EscapeLogField(verb).c_str(),
                           cvsrv::EscapeLogField(stem).c_str(), code, bytes.c_str());
}

int32_t FtpServerGetLogSettings(uint64_t server, uint32_t* format, uint32_t* level, char* file, uint32_t size) {
  RecordPtr r = Lib().FindServer(server);
  if (!r) return 0;
  std::lock_guard lk(Lib().lock());
  if (format) *format = r->logFormat;
  if (level) *level = r->logLevel;
  if (file && size > 0) CopyText(file, size, r->logFileName);
  return 1;
}

int32_t FtpServerSetLogSettings(uint64_t server, uint32_t format, uint32_t level, const char* file) {
  RecordPtr r = Lib().FindServer(server);
  if (!r) return 0;
  std::lock_guard lk(Lib().lock());
  bool remove = false;
  if (format == kFtpNoChange) {
    format = r->logFormat;
  } else {
    remove = (format & ftpLogDelete) != 0;
    format &= 0xFFFF;
  }
  if (format > 2) return Fail(server, cvErrorInvalidParameter, 0);
  if (level == kFtpNoChange) level = r->logLevel;
  if (format == 0) level = 0;
  else if (level == 0) format = 0;
  if (level > 10) level = 10;
  if (r->logFile >= 0) ::close(r->logFile);
  r->logFile = -1;
  while (file && *file == ' ') ++file;
  if (format == 0) {
    if (remove && r->logFileName[0]) ::unlink(r->logFileName);
    r->logFormat = 0;
    r->logLevel = 0;
    r->logFileName[0] = '\0';
    return 1;
  }
  if (file && *file) {
    std::string expanded;
    if (!ExpandEnvironment(file, expanded)) return Fail(server, cvErrorInvalidFileName, 0);
    const std::string name = CombinePath(nullptr, expanded.c_str());
    if (name.empty()) return Fail(server, cvErrorInvalidFileName, 0);
    CopyText(r->logFileName, sizeof r->logFileName, name.c_str());
    if (remove) ::unlink(r->logFileName);
  } else if (!r->logFileName[0]) {
    return Fail(server, cvErrorInvalidFileName, 0);
  } else if (remove) {
    ::unlink(r->logFileName);
  }
  r->logFormat = format;
  r->logLevel = level;
  return 1;
}
