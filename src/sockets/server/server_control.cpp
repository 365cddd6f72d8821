// Control of running servers and clients from other threads: codes through an event pair
// acknowledged within 250 ms, stop, restart, throttle and priorities; and the engine's
// side of InetDisconnect and InetAbort.
#include <poll.h>
#include <sys/socket.h>

#include <algorithm>

#include "platform/base/tick.h"
#include "platform/msg/message.h"
#include "platform/msg/wait.h"
#include "platform/msg/window.h"
#include "sockets/server/server_internal.h"

namespace cvsock {

namespace {

constexpr uint32_t kAcknowledgeMs = 250;
constexpr uint32_t kStopWaitMs = 15000;

// The wait for the acknowledgement serves messages sent to the caller: the thread that
// should answer may be sending its notification to the caller just now.
template <typename Record>
void HandOver(Record& r, uint32_t code) {
  std::lock_guard lk(r.controlLock);
  r.acknowledgeEvent.Reset();
  r.controlCode.store(code);
  r.controlEvent.Set();
  const uint32_t start = plat::GetTickCount();
  for (;;) {
    const uint32_t spent = plat::GetTickCount() - start;
    if (r.acknowledgeEvent.IsSet() || spent >= kAcknowledgeMs) break;
    pollfd p{r.acknowledgeEvent.fd(), POLLIN, 0};
    plat::WaitForEventsOrMessages(&p, 1, kAcknowledgeMs - spent);
  }
  r.acknowledgeEvent.Reset();
}

// Waits for an event (a thread's end, a client's), serving messages sent to the caller
// meanwhile (an engine thread may be marshalling a notification to this very thread).
template <typename Done>
bool WaitServing(Done done, int fd, uint32_t ms) {
  const uint32_t start = plat::GetTickCount();
  while (!done()) {
    const uint32_t spent = plat::GetTickCount() - start;
    if (spent >= ms) return false;
    if (plat::ThreadHasActiveWindow()) {
      if (!SockWaitStep()) return done();
    } else {
      pollfd p{fd, POLLIN, 0};
      plat::WaitForEventsOrMessages(&p, 1, ms - spent);
    }
  }
  return true;
}

bool WaitClient(const ServerClientRecord& c, uint32_t ms) {
  return WaitServing([&] { return c.ended.IsSet(); }, c.ended.fd(), ms);
}

bool WaitThread(plat::Thread& t, uint32_t ms) {
  if (!WaitServing([&] { return t.Finished(); }, t.finishedFd(), ms)) return false;
  t.Join(0);
  return true;
}

// True when the client's thread cannot end before the caller returns: it is the caller, or
// it waits for the caller to handle its notification.
bool WaitsForCaller(const ServerClientRecord& c) {
  const uint32_t id = c.clientThreadId.load();
  return id == plat::GetCurrentThreadId() || (id != 0 && plat::IsThreadSendingToCaller(id));
}

}  // namespace

ServerPtr NeedListener(SOCKET server) {
  ServerPtr s = FindServer(server);
  if (!s) return Fail<ServerPtr>(cvErrorInvalidHandle, nullptr);
  if (s->listenerThreadId.load() == 0) return Fail<ServerPtr>(cvErrorInvalidThreadHandle, nullptr);
  return s;
}

SOCKET ServerAcceptingHandleOf(SOCKET listening) noexcept {
  ServerPtr s = FindServer(listening);
  if (!s || !(s->flags.load() & kServerFlagNotifying)) return INVALID_SOCKET;
  return SOCKET(s->acceptingHandle.load());
}

bool ServerHasClientRecord(SOCKET client) noexcept { return FindClient(client) != nullptr; }

namespace {

// Asks an engine client to end (flag and code), waking its thread if it is blocked.
void EndClient(InetSocketRecord& r, ServerClientRecord& c, uint32_t flag, uint32_t code) {
  if (c.flags.load() & kClientFlagFinished) return;
  c.flags.fetch_or(flag);
  RequestClose(r);
  c.wake.Set();
  if (!WaitsForCaller(c)) ServerSendClientControl(&c, code);
}

}  // namespace

int32_t ServerDisconnectHandle(SOCKET handle) noexcept {
  RecordPtr r = FindRecord(handle);
  if (!r || !r->serverOwned.load()) return -2;
  if (r->listening) return ServerStop(handle) ? 0 : -1;
  ClientPtr c = FindClient(handle);
  if (!c) return -2;
  EndClient(*r, *c, kClientFlagDisconnect, kClientCodeEnd);
  return 0;
}

int32_t ServerAbortHandle(SOCKET handle) noexcept {
  RecordPtr r = FindRecord(handle);
  if (!r || !r->serverOwned.load()) return -2;
  if (r->listening) return Fail(cvErrorOperationNotSupported);
  ClientPtr c = FindClient(handle);
  if (!c) return -2;
  EndClient(*r, *c, kClientFlagAbort, kClientCodeAbort);
  return 0;
}

void ServerStopAll() noexcept {
  SOCKET handles[kServerMaxServers];
  const uint32_t n = std::min(ServerListServers(handles, kServerMaxServers), kServerMaxServers);
  for (uint32_t i = 0; i < n; ++i) ServerStop(handles[i]);
}

}  // namespace cvsock

using namespace cvsock;

int32_t ServerEndClients(const SOCKET* clients, uint32_t count, uint32_t waitMs) {
  std::vector<ClientPtr> asked;
  for (uint32_t i = 0; i < count; ++i) {
    RecordPtr r = FindRecord(clients[i]);
    ClientPtr c = r ? FindClient(clients[i]) : nullptr;
    if (!c || (c->flags.load() & kClientFlagFinished)) continue;
    c->flags.fetch_or(kClientFlagDisconnect);
    RequestClose(*r);  // ends a blocking call of its callback
    c->wake.Set();     // ends the wait of its thread
    asked.push_back(c);
  }
  const uint32_t start = plat::GetTickCount();
  for (const ClientPtr& c : asked) {
    const uint32_t spent = plat::GetTickCount() - start;
    if (spent >= waitMs) break;
    if (c->clientThreadId.load() != 0 && !WaitsForCaller(*c)) WaitClient(*c, waitMs - spent);
  }
  return int32_t(asked.size());
}

int32_t ServerSendControl(ServerRecord* server, uint32_t code) {
  if (!server || server->listenerThreadId.load() == 0) return Fail(cvErrorInvalidThreadHandle, 0);
  HandOver(*server, code);
  return 1;
}

int32_t ServerSendClientControl(ServerClientRecord* client, uint32_t code) {
  if (!client || client->clientThreadId.load() == 0 || client->clientThreadId.load() == plat::GetCurrentThreadId())
    return Fail(cvErrorInvalidThreadHandle, 0);
  HandOver(*client, code);
  if (code == kClientCodeEnd) WaitClient(*client, kAcknowledgeMs);
  return 1;
}

int32_t ServerStop(SOCKET server) {
  ServerPtr s = NeedListener(server);
  if (!s) return 0;
  // The port refuses from now on; the listener closes the socket when it ends.
  s->stopRequested.store(true);
  ::shutdown(int(s->serverHandle.load()), SHUT_RDWR);
  ServerSendControl(s.get(), kServerCodeStop);
  // A callback stopping its own server cannot wait for its own thread, nor can an owner
  // stopping it from inside a client's event wait for the client that waits for it: the
  // listener ends once that event returns.
  if (!s->listenerThread || s->listenerThreadId.load() == plat::GetCurrentThreadId()) return 1;
  for (const ClientPtr& c : ClientsOf(*s)) {
    const uint32_t id = c->clientThreadId.load();
    if (id == plat::GetCurrentThreadId() || (id != 0 && plat::IsThreadSendingToCaller(id))) return 1;
  }
  WaitThread(*s->listenerThread, kStopWaitMs);
  return 1;
}

SOCKET ServerRestart(SOCKET server) {
  ServerPtr s = NeedListener(server);
  if (!s) return INVALID_SOCKET;
  ServerSendControl(s.get(), kServerCodeRestart);
  return ServerFindById(s->serverId);
}

int32_t ServerThrottle(SOCKET server, uint32_t acceptDelay) {
  ServerPtr s = NeedListener(server);
  if (!s) return 0;
  s->maxClients.store(0);
  s->maxClientsPerAddress.store(0);
  if (acceptDelay != 0xFFFFFFFFu) s->acceptDelay.store(std::min<uint32_t>(acceptDelay, 60000));
  ServerSendControl(s.get(), kServerCodeLimits);
  return 1;
}

int32_t ServerSetPriority(SOCKET server, uint32_t priority) {
  if (priority > twPriorityCritical) return Fail(cvErrorInvalidParameter);
  ServerPtr s = NeedListener(server);
  if (!s) return -1;
  const uint32_t previous = s->priority.load();
  if (previous == priority) return int32_t(previous);
  s->priority.store(priority);
  SetThreadPriorityOf(s->listenerThreadId.load(), priority);
  ServerSendControl(s.get(), kServerCodePriority);
  return int32_t(previous);
}
