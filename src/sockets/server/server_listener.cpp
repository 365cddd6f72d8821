// Server start and the listener thread: it accepts connections within the limits and at
// the paced rate, starts one thread per client, and answers control codes.
#include <fcntl.h>
#include <poll.h>
#include <unistd.h>

#include <cstdio>
#include <cstring>

#include "platform/base/tick.h"
#include "platform/msg/wait.h"
#include "platform/net/wsa_errors.h"
#include "sockets/server/server_internal.h"
#include "sockets/server/server_pauses.h"
#include "sockets/server/server_workers.h"

namespace cvsock {

namespace {

uint32_t NonZeroTick() {
  uint32_t t = plat::GetTickCount();
  return t ? t : 1;
}

// Waits up to ms for the server's control event without consuming it; true when it is set.
bool ControlPending(ServerRecord& s, uint32_t ms) {
  if (ms == 0) return s.controlEvent.IsSet();
  pollfd p{s.controlEvent.fd(), POLLIN, 0};
  plat::WaitForEventsOrMessages(&p, 1, ms);
  return s.controlEvent.IsSet();
}

// Refuses a connection the limits do not allow: taken off the queue and closed.
void RefuseWaiting(SOCKET listening) {
  SOCKET s = SockAcceptNoAddress(listening);
  if (s != INVALID_SOCKET) SockClose(s);
}

void Refused(ServerRecord& s, uint32_t error) {
  s.acceptingHandle.store(uint64_t(INVALID_SOCKET));
  s.lastError.store(error);
  NotifyOwner(s, kServerEventAccept, error);
}

bool AtAddressLimit(ServerRecord& s, const ServerClientRecord& fresh, const SockAddress& peer) {
  const uint32_t limit = s.maxClientsPerAddress.load();
  if (limit == 0 || (peer.family != uint32_t(plat::kAfInet) && peer.family != uint32_t(plat::kAfInet6))) return false;
  uint32_t same = 0;
  for (const ClientPtr& c : ClientsOf(s)) {
    if (c.get() == &fresh || c->clientHandle.load() == uint64_t(INVALID_SOCKET)) continue;
    if (c->peerAddress.family == peer.family && std::memcmp(c->peerAddress.address, peer.address, 16) == 0 &&
        ++same >= limit)
      return true;
  }
  return false;
}

void AcceptOne(const ServerPtr& sp, ClientWorkers& workers) {
  ServerRecord& s = *sp;
  const SOCKET listening = SOCKET(s.serverHandle.load());
  ClientPtr c = ServerCreateClient(&s);
  if (!c) {
    NotifyOwner(s, kServerEventAccept, InetGetLastError());
    return;
  }
  // Pace the accepts; a control code cuts the pause short (the connection stays queued).
  uint32_t pause = 0;
  const uint32_t delay = s.acceptDelay.load();
  if (delay == 0 && s.lastAcceptTick == 0) {
    pause = ((s.clientCount.load() / 10) * 5 + 5) * 2;
  } else if (delay != 0) {
    const uint32_t since = plat::GetTickCount() - s.lastAcceptTick;
    if (since < delay) pause = delay - since;
  }
  if (pause && ControlPending(s, pause)) {
    ServerFreeClient(c.get());
    return;
  }
  SecCredentials* credentials;  // set under the library lock by whoever starts the server
  {
    std::lock_guard lk(Library().lock());
    credentials = s.credentials;
  }
  const SOCKET h =
      InetAccept(listening, s.clientTimeout.load(), s.clientOptions.load() | kInetOptionAnyThread, credentials);
  s.lastAcceptTick = NonZeroTick();
  if (h == INVALID_SOCKET) {
    const uint32_t err = InetGetLastError();
    ServerFreeClient(c.get());
    Refused(s, err);
    return;
  }
  s.acceptingHandle.store(h);
  RecordPtr r = FindRecord(h);
  r->serverOwned.store(1);
  c->peerAddress = r->peerAddress;

  if (AtAddressLimit(s, *c, c->peerAddress)) {
    r->serverOwned.store(0);
    InetReleaseHandle(h);
    ServerFreeClient(c.get());
    Refused(s, cvErrorMaximumConnections);
    return;
  }

  NotifyOwner(s, kServerEventAccept, 0);
  if (!FindRecord(h)) {  // rejected or aborted in the notification
    ServerFreeClient(c.get());
    s.acceptingHandle.store(uint64_t(INVALID_SOCKET));
    return;
  }

  c->timeout.store(s.clientTimeout.load());
  c->options = r->options.load();
  c->priority.store(s.priority.load());
  c->stackSize = s.clientStackSize.load();
  c->startTick = plat::GetTickCount();
  ClientWorkers::WorkerPtr w = workers.Acquire(c->stackSize);
  if (!w) {
    r->serverOwned.store(0);
    InetReleaseHandle(h);
    ServerFreeClient(c.get());
    Refused(s, cvErrorThreadCreationFailed);
    return;
  }
  const uint32_t threadId = ClientWorkers::ThreadId(*w);
  c->clientThreadId.store(threadId);
  if (!SetClientHandle(c, h)) {  // from now on the client counts as live
    c->clientThreadId.store(0);
    workers.Release(w);
    r->serverOwned.store(0);
    InetReleaseHandle(h);
    ServerFreeClient(c.get());
    Refused(s, cvErrorOutOfMemory);
    return;
  }
  SetThreadPriorityOf(threadId, c->priority.load());
  ClientWorkers::Start(*w, c);
  s.acceptingHandle.store(uint64_t(INVALID_SOCKET));
}

void Restart(ServerRecord& s) {
  s.status.store(twServerListening);
  s.listeningStartTick = plat::GetTickCount();
  ServerFlagClientsClose(&s);
  const SOCKET old = SOCKET(s.serverHandle.load());
  if (RecordPtr r = FindRecord(old)) r->serverOwned.store(0);
  InetDisconnect(old);
  // Handles are descriptor numbers, which Linux hands out again at once: hold the old
  // number while the new socket is made, so that the old handle stays unknown.
  const int hold = ::open("/dev/null", O_RDONLY | O_CLOEXEC);
  const SOCKET h = InetListen(s.addressText, s.port, s.backlog, s.clientOptions.load() | 0x80008u);
  if (hold >= 0) ::close(hold);
  if (h == INVALID_SOCKET) {
    s.serverHandle.store(uint64_t(INVALID_SOCKET));
    s.lastError.store(InetGetLastError());
    s.status.store(twServerShutdown);
    return;
  }
  s.serverHandle.store(h);
  if (RecordPtr r = FindRecord(h)) r->serverOwned.store(1);
}

void ActOnCode(ServerRecord& s, uint32_t code, WaitTimes& w) {
  switch (code) {
    case kServerCodeSuspend: s.status.store(twServerSuspended); break;
    case kServerCodeResume:
      s.flags.fetch_and(~kServerFlagRejectSuspended);
      s.status.store(twServerListening);
      break;
    case kServerCodeRestart: Restart(s); break;
    case kServerCodePriority: w = WaitTimesFor(s.priority.load()); break;
    case kServerCodeStop:
      s.status.store(twServerShutdown);
      s.stopTick = plat::GetTickCount();
      ServerFlagClientsClose(&s);
      break;
    default: break;
  }
}

// One wait on the listening socket (and the control event); what it found.
struct ListenWait {
  bool readable = false;
  bool failed = false;
  bool exception = false;
};

ListenWait WaitListening(ServerRecord& s, uint32_t ms) {
  pollfd fds[2] = {{int(s.serverHandle.load()), POLLIN | POLLPRI, 0}, {s.controlEvent.fd(), POLLIN, 0}};
  plat::WaitResult w = plat::WaitForEventsOrMessages(fds, 2, ms);
  ListenWait out;
  out.failed = w.status == plat::WaitStatus::Failed || (fds[0].revents & POLLNVAL);
  out.exception = (fds[0].revents & (POLLERR | POLLPRI)) != 0;
  out.readable = (fds[0].revents & POLLIN) != 0;
  return out;
}

}  // namespace

uint32_t ListenerMain(ServerPtr sp) {
  ServerRecord& s = *sp;
  ServerSleepOnTime();
  WaitTimes w = WaitTimesFor(s.priority.load());
  InetSetHandleOwner(SOCKET(s.serverHandle.load()));
  if (s.status.load() != twServerShutdown) s.status.store(twServerListening);
  s.listeningStartTick = plat::GetTickCount();
  auto workers = std::make_shared<ClientWorkers>();

  // Passes counted for the pause against spinning: only those that accepted nothing. A
  // pass that took a connection did work; pausing after every 52nd of them held a burst of
  // waiting connections (and their first requests) back by 10 ms.
  uint32_t idle = 0;
  for (uint32_t pass = 1; s.status.load() != twServerShutdown; ++pass) {
    const uint32_t status = s.status.load();
    bool accepted = false;
    if (status == twServerListening) {
      ListenWait lw = WaitListening(s, w.selectMs);
      if (lw.failed) {
        s.status.store(twServerSuspended);
        s.acceptingHandle.store(uint64_t(INVALID_SOCKET));
        s.lastError.store(cvErrorInvalidHandle);
        NotifyOwner(s, kServerEventAccept, s.lastError.load());
      } else if (lw.exception) {
        const int32_t err = PendingError(SOCKET(s.serverHandle.load()));
        if (err < 0) {
          s.lastError.store(cvErrorInvalidHandle);
          s.status.store(twServerShutdown);
        } else if (err > 0) {
          s.lastError.store(kCvErrorBase | uint32_t(err));
          NotifyOwner(s, kServerEventAccept, s.lastError.load());
        }
      } else if (lw.readable) {
        const uint32_t max = s.maxClients.load();
        if (max != 0 && s.clientCount.load() >= max) {
          RefuseWaiting(SOCKET(s.serverHandle.load()));
          Refused(s, cvErrorMaximumConnections);
        } else {
          AcceptOne(sp, *workers);
          accepted = true;
        }
      }
    } else if (status == twServerSuspended && (s.flags.load() & kServerFlagRejectSuspended)) {
      ListenWait lw = WaitListening(s, w.selectMs);
      if (lw.readable) {
        InetReject(SOCKET(s.serverHandle.load()));
        plat::Sleep(10);
      }
    } else {
      ControlPending(s, w.selectMs);
    }
    TakeControl(s, [&](uint32_t code) { ActOnCode(s, code, w); });
    if (!accepted) PausePass(w, ++idle);
    else if (w.pauseMs) PausePass(w, pass);
  }

  // Wait for the clients (they were told to disconnect) and their threads, then free the
  // record.
  constexpr uint32_t kClientWaitMs = 15000;
  for (const ClientPtr& c : ClientsOf(s))
    if (c->clientThreadId.load() != 0) c->ended.Wait(kClientWaitMs);
  workers->Close(1000);
  ServerFreeRecord(&s);
  s.listenerThreadId.store(0);
  return 0;
}

}  // namespace cvsock

using namespace cvsock;

// How long ServerCreate waits for its listener thread to start.
constexpr uint32_t kListenerStartMs = 5000;

SOCKET ServerCreate(const char* address, uint32_t port, ServerEventCallback callback, uint32_t clientTimeout) {
  {
    const uint32_t saved = InetGetLastError();
    if (Library().IsInitialized() == 0) return INVALID_SOCKET;
    InetSetLastError(saved);
  }
  SockAddress a{};
  if (InetResolveAddress(address, 0, &a) < 0) return INVALID_SOCKET;
  char text[64] = {};
  if (!InetIsAnyAddress(&a) || a.family == uint32_t(plat::kAfInet6)) InetFormatAddress(&a, text);
  if (a.family == uint32_t(plat::kAfInet6) && InetIsAnyAddress(&a)) std::strcpy(text, "::");

  ServerPtr s = ServerCreateRecord();
  if (!s) return INVALID_SOCKET;
  const SOCKET h = InetListen(text, port, kServerBacklogSystemMax, 0x80048);
  if (h == INVALID_SOCKET) {
    uint32_t err = InetGetLastError();
    // On Linux a port held by another listener answers "in use" where an exclusively
    // held one would answer "access denied": both mean the port is not ours.
    if (err == cvErrorAccessDenied || err == cvErrorAddressInUse) err = cvErrorServerPortBound;
    ServerFreeRecord(s.get());
    return FailHandle(err);
  }
  s->serverHandle.store(h);
  FindRecord(h)->serverOwned.store(1);
  s->address = a;
  std::snprintf(s->addressText, sizeof s->addressText, "%s", text);
  s->port = FindRecord(h)->localPort;
  s->backlog = kServerBacklogSystemMax;
  s->maxClients.store(0);
  s->priority.store(twPriorityNormal);
  s->clientTimeout.store(clientTimeout);
  s->status.store(twServerStarted);
  s->clientOptions.store(kServerClientOptions);
  s->clientStackSize.store(kServerDefaultStack);
  s->callback = callback;
  s->userData = 0;

  plat::Thread::Options options;
  options.stackSize = kServerDefaultStack;
  options.suspended = true;
  std::shared_ptr<plat::Thread> t = plat::Thread::Create([s] { return ListenerMain(s); }, options);
  if (!t) {
    ServerFreeRecord(s.get());
    return FailHandle(cvErrorThreadCreationFailed);
  }
  s->listenerThread = t;
  s->listenerThreadId.store(t->id());
  t->Resume();
  // The caller may ask at once whether the server listens: wait until the listener thread
  // has taken over (a fixed pause was not enough on a loaded machine), within a bound.
  for (uint32_t waited = 0; s->status.load() == twServerStarted && waited < kListenerStartMs; ++waited) plat::Sleep(1);
  return h;
}
