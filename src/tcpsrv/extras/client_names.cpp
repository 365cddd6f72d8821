// Per-client operations of the TCP server control: names, broadcasts, thread ids and
// priorities.
#include <strings.h>

#include <cstring>
#include <vector>

#include "sockets/server/server_internal.h"
#include "tcpsrv/extras/server_extras.h"

using namespace cvsock;

namespace {

constexpr size_t kNameSize = sizeof(ServerClientRecord::name);

// Handles of the live clients of a server, except `skip`.
std::vector<SOCKET> LiveHandles(const ServerRecord& s, SOCKET skip) {
  std::vector<SOCKET> out;
  for (const ClientPtr& c : ClientsOf(s)) {
    const SOCKET h = SOCKET(c->clientHandle.load());
    if (h != INVALID_SOCKET && h != skip && !(c->flags.load() & kClientFlagFinished)) out.push_back(h);
  }
  return out;
}

// Writes the data to every handle; the count written, or -1 with the first failure.
int32_t WriteAll(const std::vector<SOCKET>& handles, const char* data, int32_t length) {
  int32_t written = 0;
  for (SOCKET h : handles) {
    int32_t sent = 0;
    while (sent < length) {
      const int32_t n = InetWrite(h, data + sent, length - sent);
      if (n < 0) return -1;
      sent += n;
    }
    ++written;
  }
  return written;
}

bool BroadcastArguments(const char* data, int32_t* length) {
  if (!data) return Fail(cvErrorInvalidParameter, false);
  if (*length == -1) *length = int32_t(std::strlen(data));
  if (*length < 1) return Fail(cvErrorBufferTooSmall, false);
  return true;
}

}  // namespace

SOCKET ServerFindClientByName(SOCKET server, const char* name) {
  ServerPtr s = FindServer(server);
  if (!s) return FailHandle(cvErrorInvalidHandle);
  if (name && *name) {
    std::lock_guard lk(Library().lock());
    for (ClientPtr c = s->firstClient; c; c = c->next)
      if (c->clientHandle.load() != uint64_t(INVALID_SOCKET) && strcasecmp(c->name, name) == 0)
        return SOCKET(c->clientHandle.load());
  }
  return FailHandle(cvErrorInvalidClientMoniker);
}

int32_t ServerSetClientName(SOCKET client, const char* name) {
  ServerPtr s;
  ClientPtr c = FindClient(client, &s);
  if (!c) return Fail(cvErrorInvalidHandle);
  std::lock_guard lk(Library().lock());
  if (name && *name) {
    for (ClientPtr other = s->firstClient; other; other = other->next)
      if (other != c && strcasecmp(other->name, name) == 0) return Fail(cvErrorClientMonikerExists);
  }
  std::memset(c->name, 0, kNameSize);
  if (name) std::strncpy(c->name, name, kNameSize - 1);
  return 0;
}

int32_t ServerGetClientName(SOCKET client, char* buffer, uint32_t size) {
  if (!buffer || size == 0) return Fail(cvErrorInvalidParameter);
  ClientPtr c = FindClient(client);
  if (!c) return Fail(cvErrorInvalidHandle);
  std::lock_guard lk(Library().lock());
  std::strncpy(buffer, c->name, size - 1);
  buffer[size - 1] = '\0';
  return int32_t(std::strlen(buffer));
}

// The writes run outside the library lock: a client whose window is full would otherwise
// hold up every engine thread for its whole time-out.
int32_t ServerBroadcast(SOCKET server, const char* data, int32_t length) {
  if (!BroadcastArguments(data, &length)) return -1;
  ServerPtr s = FindServer(server);
  if (!s) return Fail(cvErrorInvalidHandle);
  return WriteAll(LiveHandles(*s, INVALID_SOCKET), data, length);
}

int32_t ServerBroadcastOthers(SOCKET client, const char* data, int32_t length) {
  if (!BroadcastArguments(data, &length)) return -1;
  ServerPtr s;
  if (!FindClient(client, &s)) return Fail(cvErrorInvalidHandle);
  return WriteAll(LiveHandles(*s, client), data, length);
}

uint32_t ServerGetClientThreadId(SOCKET client) {
  ClientPtr c = FindClient(client);
  return c ? c->clientThreadId.load() : 0;
}

int32_t ServerGetClientPriority(SOCKET client) {
  ClientPtr c = FindClient(client);
  if (!c) return Fail(cvErrorInvalidHandle);
  return int32_t(c->priority.load());
}

int32_t ServerSetClientPriority(SOCKET client, uint32_t priority) {
  ClientPtr c = FindClient(client);
  if (!c) return Fail(cvErrorInvalidHandle);
  if (c->clientThreadId.load() == 0) return Fail(cvErrorInvalidThreadHandle);
  if (priority > twPriorityCritical) return Fail(cvErrorInvalidParameter);
  const uint32_t previous = c->priority.load();
  if (previous == priority) return int32_t(previous);
  c->priority.store(priority);
  SetThreadPriorityOf(c->clientThreadId.load(), priority);
  ServerSendClientControl(c.get(), kClientCodePriority);
  return int32_t(previous);
}
