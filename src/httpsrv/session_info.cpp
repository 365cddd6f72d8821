// Further accessors of servers and sessions: threads, ports, idle time, transfer figures,
// the program output and the server-level skeleton values.
#include <algorithm>
#include <cstring>

#include "httpsrv/httpsrv_internal.h"

using namespace cvhttpsrv;

int32_t HttpSessionGetThreadId(uint64_t server, uint32_t clientId) {
  Client c = FindClient(server, clientId);
  return c ? int32_t(c.session->threadId) : 0;
}

int32_t HttpSessionGetPort(uint64_t server, uint32_t clientId, int32_t* out) {
  Client c = FindClient(server, clientId);
  if (!c) return 0;
  if (!out) return Fail(server, cvErrorInvalidParameter);
  *out = int32_t(c.session->peerPort);
  return 1;
}

int32_t HttpSessionGetIdleTime(uint64_t server, uint32_t clientId, uint64_t* elapsed) {
  Client c = FindClient(server, clientId);
  if (!c) return 0;
  if (elapsed)
    *elapsed = c.session->state.load() == SessionState::Idle ? uint64_t(Now() - c.session->lastActivity.load()) : 0;
  return int32_t(c.session->idleTime.load());
}

int32_t HttpSessionSetIdleTime(uint64_t server, uint32_t clientId, int32_t seconds) {
  Client c = FindClient(server, clientId);
  if (!c) return 0;
  const uint32_t previous = c.session->idleTime.load();
  if (seconds == -1) {
    c.session->lastActivity = Now();
    return int32_t(previous);
  }
  uint32_t value = seconds == 0 ? c.server->idleTime : uint32_t(seconds);
  c.session->idleTime = std::clamp<uint32_t>(value, 10, 300);
  return int32_t(previous);
}

int32_t HttpSessionGetTransferInfo(uint64_t server, uint32_t clientId, HttpTransferInfo* info) {
  Client c = FindClient(server, clientId);
  if (!c) return 0;
  if (!info || info->size != sizeof(HttpTransferInfo)) return Fail(server, cvErrorInvalidParameter);
  HttpSession& s = *c.session;
  if (s.methodId != kGet && s.methodId != kPut) return Fail(server, cvErrorInvalidCommand);
  std::memset(reinterpret_cast<char*>(info) + 4, 0, sizeof *info - 4);
  info->direction = s.methodId == kPut ? 1 : 0;
  info->milliseconds = s.milliseconds;
  info->bytes = s.methodId == kPut ? s.bytesReceived : s.bytesSent;
  std::snprintf(info->localPath, sizeof info->localPath, "%s", s.localPath.c_str());
  return 1;
}

int32_t HttpServerSetStackSize(uint64_t server, uint32_t bytes) {
  if (!Lib().FindServer(server)) return 0;
  return ServerSetStackSize(SOCKET(server), bytes);
}

int32_t HttpServerGetPriority(uint64_t server) {
  if (!Lib().FindServer(server)) return -1;
  return ServerGetPriority(SOCKET(server));
}

int32_t HttpServerSetPriority(uint64_t server, uint32_t priority) {
  if (!Lib().FindServer(server)) return 0;
  return ServerSetPriority(SOCKET(server), priority);
}

uint32_t HttpServerGetThreadId(uint64_t server) {
  if (!Lib().FindServer(server)) return 0;
  return ServerGetThreadId(SOCKET(server));
}

int32_t HttpServerGetUuid(uint64_t server, char* buffer) {
  RecordPtr r = Lib().FindServer(server);
  if (!r) return 0;
  if (!buffer) return Fail(server, cvErrorInvalidParameter);
  std::snprintf(buffer, 40, "%s", r->uuidText.c_str());
  return int32_t(std::strlen(buffer));
}

// The last program output as text: control bytes other than backspace, line feed and
// carriage return become blanks.
int32_t HttpSessionGetProgramOutput(uint64_t server, uint32_t clientId, char* buffer, uint32_t size) {
  Client c = FindClient(server, clientId);
  if (!c) return 0;
  const std::vector<char>& out = c.session->cgiOutput;
  if (!buffer) return int32_t(out.size());
  if (size == 0) return Fail(server, cvErrorBufferTooSmall);
  const size_t n = std::min<size_t>(out.size(), size - 1);
  for (size_t i = 0; i < n; ++i) {
    const unsigned char ch = static_cast<unsigned char>(out[i]);
    buffer[i] = (ch < 32 && ch != 8 && ch != 10 && ch != 13) ? ' ' : char(ch);
  }
  buffer[n] = '\0';
  return int32_t(n);
}
