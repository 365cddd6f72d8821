// The library instance, attach and detach, tracing, credentials, and the small helpers
// every part of the library uses.
#include <strings.h>
#include <unistd.h>

#include <algorithm>
#include <cctype>
#include <cstdio>
#include <cstring>
#include <ctime>

#include "core/trace/trace.h"
#include "ftpsrv/ftpsrv_internal.h"

namespace cvftpsrv {

Library& Lib() {
  static Library library;
  return library;
}

int64_t Now() { return int64_t(::time(nullptr)); }

void Fail(uint64_t server, uint32_t code) { Lib().SetLastError(server, code); }

bool CopyText(char* out, size_t size, const char* text) {
  if (!out || size == 0) return false;
  const size_t n = text ? std::strlen(text) : 0;
  const size_t m = std::min(n, size - 1);
  std::memcpy(out, text ? text : "", m);
  out[m] = '\0';
  return m == n;
}

bool IEquals(const char* a, const char* b) { return a && b && ::strcasecmp(a, b) == 0; }

std::string Upper(std::string s) {
  for (char& ch : s) ch = char(std::toupper(static_cast<unsigned char>(ch)));
  return s;
}

std::string GetText(const FtpServerSession& s, const char* field) {
  std::lock_guard lk(s.textLock);
  return field;
}

void SetText(FtpServerSession& s, char* field, size_t size, const char* text) {
  std::lock_guard lk(s.textLock);
  CopyText(field, size, text);
}

std::string JoinTokens(const FtpServerSession& s, uint32_t from) {
  std::string out;
  for (uint32_t i = from; i < s.tokenCount; ++i) {
    if (!out.empty()) out += ' ';
    out += Token(s, i);
  }
  return out;
}

std::string CommandLine(const FtpServerSession& s) { return JoinTokens(s, 0); }

std::string RawArgument(const FtpServerSession& s, uint32_t from) {
  if (from == 0 || from >= s.tokenCount) return std::string();
  const size_t length = std::strlen(s.commandLine);
  const size_t start = size_t(s.tokenEnd[from - 1]) + 1;
  return start < length ? std::string(s.commandLine + start, length - start) : std::string();
}

void SetCommand(FtpServerSession& s, const char* verb, const std::string& argument) {
  std::lock_guard lk(s.textLock);
  const size_t verbLength = std::strlen(verb);
  std::snprintf(s.commandTokens, sizeof s.commandTokens, "%s%c%s", verb, '\0', argument.c_str());
  std::snprintf(s.commandLine, sizeof s.commandLine, "%s %s", verb, argument.c_str());
  s.tokenStart[0] = 0;
  s.tokenEnd[0] = uint16_t(verbLength);
  s.tokenStart[1] = uint16_t(verbLength + 1);
  s.tokenEnd[1] = uint16_t(std::strlen(s.commandLine));
  s.tokenCount = 2;
  s.resolvedPath[0] = '\0';
}

Client FindClient(uint64_t server, uint32_t clientId) {
  Client c;
  c.server = Lib().FindServer(server);
  if (c.server) c.session = Lib().FindSession(server, clientId);
  return c;
}

bool Notify(const Client& c, uint32_t event, uint32_t error) {
  const uint64_t server = c.server->serverHandle.load();
  if (c.server->callback)
    c.server->callback(server, c.session->clientId, uint16_t(event), uint16_t(error & 0xFFFF), c.server->context);
  return Lib().Peek(server) == c.server && Lib().SessionOfClient(c.session->controlSocket) == c.session;
}

}  // namespace cvftpsrv

using namespace cvftpsrv;

FtpServerRecord::~FtpServerRecord() {
  SecFreeCredentials(&credentials);
  if (logFile >= 0) ::close(logFile);
}

int32_t FtpServerAttach(const char*, LibVersionInfo* info) {
  return Lib().Attach(info, "Corvanetics File Transfer Server Library");
}

void FtpServerDetach() {
  if (Lib().Detach()) TraceDisable();
}

uint32_t FtpServerIsInitialized() { return Lib().IsInitialized(); }

int32_t FtpServerBuildCredentials(const char* user, const char* password, const char* store, const char* name,
                                  SecCredentials** out) {
  return SecBuildCredentials(16, 0, user, password, store, name, out);
}

void FtpServerFreeCredentials(SecCredentials** credentials) { SecFreeCredentials(credentials); }

int32_t FtpServerStartTrace(const char* file, int32_t flags) { return TraceEnable(file, flags | kTraceProcess); }

int32_t FtpServerStopTrace() { return TraceDisable(); }

void FtpServerLock(uint64_t server) { Lib().Lock(server); }
void FtpServerUnlock(uint64_t server) { Lib().Unlock(server); }
void FtpServerSetLastError(uint64_t server, uint32_t code) { Lib().SetLastError(server, code); }
uint32_t FtpServerGetLastError(uint64_t server) { return Lib().GetLastError(server); }
uint32_t FtpServerCurrentClientId(uint64_t server) { return Lib().CurrentClientId(server); }
int32_t FtpServerSuspend(uint64_t server) { return Lib().Suspend(server); }
int32_t FtpServerResume(uint64_t server) { return Lib().Resume(server); }
int32_t FtpServerIsListening(uint64_t server) { return Lib().IsListening(server); }
int32_t FtpServerDisconnectClient(uint64_t server, uint32_t clientId) {
  SessionPtr s = Lib().FindSession(server, clientId);
  if (!s) return 0;
  const int32_t closed = InetDisconnect(s->controlSocket) == 0 ? 1 : 0;
  CancelData(*s);  // a transfer in progress ends now, not at its time-out
  return closed;
}
int32_t FtpServerListClientIds(uint64_t server, uint32_t* ids, uint32_t capacity) {
  return Lib().ListClientIds(server, ids, capacity);
}
