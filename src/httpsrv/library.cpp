// The library frame: attach and detach, the skeleton's per-library instance, error slots,
// the owner notification and the small text and path helpers every source uses.
#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <cctype>
#include <cstring>
#include <ctime>

#include "core/trace/trace.h"
#include "ftpsrv/ftpsrv_internal.h"
#include "http/http.h"
#include "httpsrv/httpsrv_internal.h"

namespace cvhttpsrv {

Library& Lib() {
  static Library library;
  return library;
}

Client FindClient(uint64_t server, uint32_t clientId) {
  RecordPtr r = Lib().FindServer(server);
  if (!r) return {};
  SessionPtr s = Lib().FindSession(server, clientId);
  if (!s) return {};
  return {r, s};
}

int32_t Notify(const Client& c, uint16_t event, uint32_t error) {
  if (!c.server->callback) return 1;
  c.server->callback(c.server->serverHandle.load(), c.session ? c.session->clientId : 0, event,
                     uint16_t(error & 0xFFFF), c.server->context);
  return 1;
}

int64_t Now() { return int64_t(std::time(nullptr)); }

bool IEquals(std::string_view a, std::string_view b) {
  return a.size() == b.size() && ::strncasecmp(a.data(), b.data(), a.size()) == 0;
}

bool IStartsWith(std::string_view text, std::string_view prefix) {
  return text.size() >= prefix.size() && ::strncasecmp(text.data(), prefix.data(), prefix.size()) == 0;
}

std::string Trim(const std::string& text) {
  size_t b = 0, e = text.size();
  while (b < e && (text[b] == ' ' || text[b] == '\t')) ++b;
  while (e > b && (text[e - 1] == ' ' || text[e - 1] == '\t')) --e;
  return text.substr(b, e - b);
}

std::string ToUpper(std::string text) {
  for (char& ch : text) ch = char(std::toupper(static_cast<unsigned char>(ch)));
  return text;
}

std::string FormatHttpDate(int64_t seconds) {
  static const char* const kDays[] = {"Sun", "Mon", "Tue", "Wed", "Thu", "Fri", "Sat"};
  static const char* const kMonths[] = {"Jan", "Feb", "Mar", "Apr", "May", "Jun",
                                        "Jul", "Aug", "Sep", "Oct", "Nov", "Dec"};
  const time_t t = time_t(seconds);
  struct tm tm {};
  ::gmtime_r(&t, &tm);
  char out[64];
  std::snprintf(out, sizeof out, "%s, %02d %s %04d %02d:%02d:%02d GMT", kDays[tm.tm_wday], tm.tm_mday,
                kMonths[tm.tm_mon], tm.tm_year + 1900, tm.tm_hour, tm.tm_min, tm.tm_sec);
  return out;
}

std::string HtmlEscape(const std::string& text) {
  std::string out;
  out.reserve(text.size());
  for (char ch : text) {
    switch (ch) {
      case '<': out += "&lt;"; break;
      case '>': out += "&gt;"; break;
      case '&': out += "&amp;"; break;
      case '"': out += "&quot;"; break;
      case '\'': out += "&#39;"; break;
      default: out += ch;
    }
  }
  return out;
}

std::string ExpandPath(const std::string& path) {
  std::string out;
  if (!cvftpsrv::ExpandEnvironment(path, out)) return std::string();
  return out;
}

std::string AbsolutePath(const std::string& path) {
  if (path.empty()) return std::string();
  if (path[0] == '/') return path;
  char cwd[4096];
  if (!::getcwd(cwd, sizeof cwd)) return std::string();
  return std::string(cwd) + "/" + path;
}

std::string Canonical(const std::string& path) {
  const std::string abs = AbsolutePath(path);
  if (abs.empty()) return abs;
  std::string out = cvftpsrv::CombinePath(nullptr, abs.c_str());
  if (out.size() >= kPathSize) return std::string();
  return out;
}

bool IsDirectory(const std::string& path) {
  struct stat st {};
  return ::stat(path.c_str(), &st) == 0 && S_ISDIR(st.st_mode);
}

bool IsRegularFile(const std::string& path) {
  struct stat st {};
  return ::stat(path.c_str(), &st) == 0 && S_ISREG(st.st_mode);
}

bool Exists(const std::string& path) {
  struct stat st {};
  return ::lstat(path.c_str(), &st) == 0;
}

// Local paths are compared as the file system names them (case-sensitive).
bool PathInside(const std::string& base, const std::string& path) {
  if (base.empty()) return false;
  if (path == base) return true;
  std::string b = base;
  if (b.back() != '/') b += '/';
  return path.compare(0, b.size(), b) == 0;
}

}  // namespace cvhttpsrv

using namespace cvhttpsrv;

int32_t HttpServerAttach(const char*, LibVersionInfo* info) {
  return Lib().Attach(info, "Corvanetics Hypertext Transfer Server Library");
}

void HttpServerDetach() {
  if (!Lib().IsInitialized()) {
    InetSetLastError(0);
    return;
  }
  if (Lib().Detach()) TraceDisable();
  HttpDetach();
}

uint32_t HttpServerIsInitialized() { return Lib().IsInitialized(); }
uint32_t HttpServerGetLastError(uint64_t server) { return Lib().GetLastError(server); }
void HttpServerSetLastError(uint64_t server, uint32_t code) { Lib().SetLastError(server, code); }
void HttpServerLock(uint64_t server) { Lib().Lock(server); }
void HttpServerUnlock(uint64_t server) { Lib().Unlock(server); }
uint32_t HttpServerCurrentClientId(uint64_t server) { return Lib().CurrentClientId(server); }
int32_t HttpServerBuildCredentials(const char* user, const char* password, const char* store, const char* name,
                                   SecCredentials** out) {
  return SecBuildCredentials(16, 0, user, password, store, name, out);
}
void HttpServerFreeCredentials(SecCredentials** credentials) { SecFreeCredentials(credentials); }

int32_t HttpSessionSetEvent(uint64_t server, uint32_t clientId, uint32_t event, uint32_t error) {
  Client c = FindClient(server, clientId);
  if (!c) return 0;
  if (event < httpEventDownload || event > httpEventExecute) return Fail(server, cvErrorInvalidParameter);
  c.session->pendingError = error;
  c.session->pendingEvent = event;
  return 1;
}

int32_t HttpSessionTakeEvent(uint64_t server, uint32_t clientId, uint32_t* event, uint32_t* error) {
  Client c = FindClient(server, clientId);
  if (!c || !event || !error) return 0;
  *event = c.session->pendingEvent.exchange(0);
  *error = c.session->pendingError.load();
  return *event != 0 ? 1 : 0;
}

int32_t HttpServerSuspend(uint64_t server) { return Lib().Suspend(server); }
int32_t HttpServerResume(uint64_t server) { return Lib().Resume(server); }
int32_t HttpServerIsListening(uint64_t server) { return Lib().IsListening(server); }
int32_t HttpServerDisconnectClient(uint64_t server, uint32_t clientId) {
  return Lib().DisconnectClient(server, clientId);
}
int32_t HttpServerGetClientIds(uint64_t server, uint32_t* ids, uint32_t capacity) {
  return Lib().ListClientIds(server, ids, capacity);
}

int32_t HttpServerGetDirectory(uint64_t server, char* buffer) {
  RecordPtr r = Lib().FindServer(server);
  if (!r || !buffer) return Fail(server, buffer ? cvErrorInvalidHandle : cvErrorInvalidParameter);
  std::snprintf(buffer, kPathSize, "%s", r->root.c_str());
  return int32_t(std::strlen(buffer));
}

int32_t HttpServerGetIdentity(uint64_t server, char* buffer) {
  RecordPtr r = Lib().FindServer(server);
  if (!r) return 0;
  if (!buffer) return Fail(server, cvErrorInvalidParameter);
  if (r->identity.size() >= 128) return Fail(server, cvErrorBufferTooSmall);
  std::memcpy(buffer, r->identity.c_str(), r->identity.size() + 1);
  return int32_t(r->identity.size());
}

int32_t HttpServerGetPort(uint64_t server) {
  RecordPtr r = Lib().FindServer(server);
  return r ? int32_t(r->port) : 0;
}
