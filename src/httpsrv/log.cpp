// The access log in the common, combined and extended formats.
#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cstdarg>
#include <cstring>
#include <ctime>

#include "httpsrv/httpsrv_internal.h"

namespace cvhttpsrv {
namespace {

std::string FormatTime(int64_t seconds, const char* format) {
  const time_t t = time_t(seconds);
  struct tm tm {};
  ::gmtime_r(&t, &tm);
  char out[64];
  std::strftime(out, sizeof out, format, &tm);
  return out;
}

bool WriteText(int fd, const std::string& text) {
  return ::write(fd, text.data(), text.size()) == ssize_t(text.size());
}

// Appends one line under the library lock, opening the file (and writing the extended
// header into a new one) first.
int32_t AppendLine(HttpServerRecord& r, const std::string& line) {
  std::lock_guard lk(Lib().lock());
  if (r.logFormat == 0) return 0;
  if (r.logFile < 0) {
    r.logFile = ::open(r.logFileName.c_str(), O_WRONLY | O_CREAT | O_APPEND | O_CLOEXEC, 0644);
    if (r.logFile < 0) {
      r.logFormat = 0;
      return 1;
    }
    r.logLines = 0;
  }
  struct stat st {};
  if (r.logFormat == 3 && ::fstat(r.logFile, &st) == 0 && st.st_size < 10) {
    if (::ftruncate(r.logFile, 0) != 0) {
    }
    const std::string header = "#Software: " + r.identity + "\r\n#Version: 1.0\r\n#Date: " +
                               FormatTime(r.startTime, "%Y-%m-%d %H:%M:%S") +
                               "\r\n#Fields: date time c-ip cs-username cs-method cs-uri-stem cs-uri-query sc-status "
                               "sc-bytes cs-bytes\r\n";
    WriteText(r.logFile, header);
  }
  if (!WriteText(r.logFile, line)) {
    CloseLog(r);
    return 1;
  }
  ++r.logLines;
  return 1;
}

// A field from the request as the log shows it: a quote cannot end the field early and
// no byte can forge a line or reach a terminal that reads the log.
std::string Escaped(const std::string& text) {
  static const char kHex[] = "0123456789ABCDEF";
  std::string out;
  out.reserve(text.size());
  for (char ch : text) {
    const unsigned char u = static_cast<unsigned char>(ch);
    if (ch == '"' || ch == '\\') {
      out += '\\';
      out += ch;
    } else if (u < 0x20 || u >= 0x7F) {
      out += "\\x";
      out += kHex[u >> 4];
      out += kHex[u & 15];
    } else {
      out += ch;
    }
  }
  return out;
}

}  // namespace

void CloseLog(HttpServerRecord& r) {
  std::lock_guard lk(Lib().lock());
  if (r.logFile >= 0) ::close(r.logFile);
  r.logFile = -1;
  r.logLines = 0;
}

}  // namespace cvhttpsrv

using namespace cvhttpsrv;

int32_t HttpServerWriteLogEntry(uint64_t server, uint32_t clientId) {
  Client c = FindClient(server, clientId);
  if (!c) return 0;
  HttpServerRecord& r = *c.server;
  HttpSession& s = *c.session;
  const uint32_t format = r.logFormat, level = r.logLevel;
  if (format == 0 || s.tokens.empty()) return 0;
  if (level != 10 && (s.methodLogLevel == 0 || s.methodLogLevel == 255 || s.methodLogLevel > level)) return 0;
  const std::string user = s.authenticated && !s.userName.empty() ? Escaped(s.userName) : "-";
  const std::string sent = std::to_string(s.bytesSent);
  std::string line;
  if (format == 1 || format == 2) {
    line = std::string(s.peerText) + " - " + user + " [" +
           FormatTime(s.lastActivity.load(), "%d/%b/%Y:%H:%M:%S +0000") + "] \"" + Escaped(RequestLine(s)) + "\" " +
           std::to_string(s.status) + " " + sent;
    if (format == 2) {
      const std::string referer = RequestHeader(s, "Referer"), agent = RequestHeader(s, "User-Agent");
      line += " \"" + (referer.empty() ? "-" : Escaped(referer)) + "\" \"" + (agent.empty() ? "-" : Escaped(agent)) +
              "\"";
    }
  } else {
    line = FormatTime(s.lastActivity.load(), "%Y-%m-%d %H:%M:%S") + " " + s.peerText + " " + user + " [" +
           std::to_string(s.clientId) + "]" + Escaped(s.method) + " " + Escaped(s.uri) + " " +
           (s.hasQuery ? Escaped(s.query) : "-") + " " +
           std::to_string(s.status) + " " + sent + " " + std::to_string(s.bytesReceived);
  }
  return AppendLine(r, line + "\r\n");
}

int32_t HttpServerWriteLog(uint64_t server, const char* format, ...) {
  RecordPtr r = Lib().FindServer(server);
  if (!r || !format || !*format || r->logFormat == 0) return 0;
  va_list args;
  va_start(args, format);
  va_list copy;
  va_copy(copy, args);
  const int n = std::vsnprintf(nullptr, 0, format, copy);
  va_end(copy);
  std::string line(size_t(n > 0 ? n : 0), '\0');
  if (n > 0) std::vsnprintf(line.data(), line.size() + 1, format, args);
  va_end(args);
  return AppendLine(*r, line);
}

int32_t HttpServerGetLogSettings(uint64_t server, int32_t* format, int32_t* level, char* name, uint32_t size) {
  RecordPtr r = Lib().FindServer(server);
  if (!r) return 0;
  std::lock_guard lk(Lib().lock());
  if (format) *format = int32_t(r->logFormat);
  if (level) *level = int32_t(r->logLevel);
  if (name) {
    if (size <= r->logFileName.size()) return Fail(server, cvErrorBufferTooSmall);
    std::memcpy(name, r->logFileName.c_str(), r->logFileName.size() + 1);
  }
  return 1;
}

int32_t HttpServerSetLogSettings(uint64_t server, int32_t formatWord, int32_t level, const char* fileName) {
  RecordPtr r = Lib().FindServer(server);
  if (!r) return 0;
  const bool remove = formatWord != -1 && (uint32_t(formatWord) & httpLogDelete);
  uint32_t format = formatWord == -1 ? r->logFormat.load() : uint32_t(formatWord) & 0xFFFF;
  uint32_t newLevel = level == -1 ? r->logLevel.load() : uint32_t(level);
  if (format > 3) return Fail(server, cvErrorInvalidParameter);
  if (format == 0 || newLevel == 0) format = newLevel = 0;
  else newLevel = std::clamp<uint32_t>(newLevel, 1, 10);
  std::string name;
  if (format != 0) {
    const std::string given = Trim(fileName ? fileName : "");
    if (given.empty()) return Fail(server, cvErrorInvalidFileName);
    name = Canonical(ExpandPath(given));
    if (name.empty()) return Fail(server, cvErrorInvalidFileName);
  }
  CloseLog(*r);
  std::lock_guard lk(Lib().lock());
  if (format == 0 && remove && !r->logFileName.empty()) ::unlink(r->logFileName.c_str());
  r->logFormat = format;
  r->logLevel = newLevel;
  r->logFileName = name;
  if (format != 0 && remove) ::unlink(name.c_str());
  return 1;
}
