// The client threads: each watches its connection and reports connect, read, write,
// timeout and disconnect events; and the notifications of both thread kinds.
#include <poll.h>
#include <sys/resource.h>

#include <algorithm>

#include "platform/base/tick.h"
#include "platform/msg/message.h"
#include "platform/msg/wait.h"
#include "platform/net/wsa_errors.h"
#include "sockets/server/server_internal.h"
#include "sockets/server/server_pauses.h"

namespace cvsock {

namespace {

constexpr UINT kSendBlock = 0x0001;  // SMTO_BLOCK

void Deliver(ServerRecord& s, uint64_t handle, uint32_t event, uint32_t error, uint32_t timeoutSeconds) {
  if (HWND window = s.callbackWindow.load()) {
    ServerNotification n{handle, event, error, s.callback, s.userData};
    plat::SendMessageTimeout(window, kInetCallbackMessage, WPARAM(handle), reinterpret_cast<LPARAM>(&n),
                             kSendBlock, (timeoutSeconds + 5) * 1000u, nullptr);
  } else {
    s.callback(handle, event, error, s.userData);
  }
}

// Data the callback left in the handle's buffers counts as waiting input: the socket
// will not signal it again.
bool BufferedInput(SOCKET h) {
  RecordPtr r = FindRecord(h);
  return r && ((r->lineBuffer && r->lineBuffer->count > 0) || TlsHasHeldInput(*r));
}

bool HandleClosed(SOCKET h) {
  RecordPtr r = FindRecord(h);
  return !r || r->closed.load();
}

}  // namespace

WaitTimes WaitTimesFor(uint32_t priority) noexcept {
  switch (priority) {
    case twPriorityBackground: return {500, 50, false};
    case twPriorityLow: return {250, 10, false};
    default: return {100, 0, true};
  }
}

void PausePass(const WaitTimes& w, uint32_t pass) noexcept {
  if (w.pauseMs) plat::Sleep(w.pauseMs);
  else if (w.pauseEvery52 && pass % 52 == 0) plat::Sleep(10);
}

// Thread priorities -2..+2 as nice values; raising may need privileges and then stays
// as it was (the engine works the same either way).
void SetThreadPriorityOf(uint32_t threadId, uint32_t priority) noexcept {
  static const int kNice[] = {4, 2, 0, -2, -4};
  if (priority > 4 || threadId == 0) return;
  ::setpriority(PRIO_PROCESS, id_t(threadId), kNice[priority]);
}

void NotifyOwner(ServerRecord& s, uint32_t event, uint32_t error) {
  if (s.status.load() == twServerShutdown || s.stopRequested.load() || !s.callback) return;
  s.flags.fetch_or(kServerFlagNotifying);
  s.lastNotificationTick.store(plat::GetTickCount());
  Deliver(s, s.serverHandle.load(), event, error, s.clientTimeout.load());
  s.flags.fetch_and(~kServerFlagNotifying);
}

namespace {

// Set while a client's thread runs a notification, so that the owner's callback can say it
// only queued the event.
thread_local ServerClientRecord* tlsNotifying = nullptr;
thread_local bool tlsDeferred = false;

bool Held(const ServerClientRecord& c) { return c.queuedEvents.load() > 0; }

// Waits until the owner took every queued event of the client (or the server stops, or the
// owner has not taken them within the client's time-out and 5 s, as a marshalled
// notification would give up), answering control codes meanwhile. A request to end does
// not cut the wait short: the client keeps its connection, and so its handle, while the
// owner still holds an event that names it.
void WaitTaken(ServerRecord& s, ServerClientRecord& c) {
  const uint32_t limitMs = (std::max<uint32_t>(c.timeout.load(), kInetDefaultTimeout) + 5) * 1000u;
  const uint32_t start = plat::GetTickCount();
  while (Held(c) && !s.stopRequested.load() && s.status.load() != twServerShutdown &&
         plat::GetTickCount() - start < limitMs) {
    pollfd fds[2] = {{c.wake.fd(), POLLIN, 0}, {c.controlEvent.fd(), POLLIN, 0}};
    plat::WaitForEventsOrMessages(fds, 2, 100);
    c.wake.Reset();
    TakeControl(c, [&](uint32_t code) {
      if (code == kClientCodeAbort) c.flags.fetch_or(kClientFlagAbort);
      else if (code == kClientCodeEnd) c.flags.fetch_or(kClientFlagDisconnect);
    });
  }
}

}  // namespace

void NotifyClient(ServerRecord& s, ServerClientRecord& c, uint32_t event, uint32_t error) {
  const uint64_t h = c.clientHandle.load();
  if (h == uint64_t(INVALID_SOCKET)) {
    InetSetLastError(cvErrorInvalidHandle);
    return;
  }
  if (!s.callback) return;
  // A stopping server reports nothing new, but an owner that saw the client arrive always
  // sees it leave.
  if (event == kServerEventDisconnect) {
    if (!c.connectNotified.exchange(false)) return;
  } else if (s.status.load() == twServerShutdown) {
    return;
  }
  if (event == kServerEventConnect) c.connectNotified.store(true);
  c.flags.fetch_or(kClientFlagNotifying);
  c.lastNotificationTick.store(plat::GetTickCount());
  tlsNotifying = &c;
  tlsDeferred = false;
  Deliver(s, h, event, error, c.timeout.load());
  tlsNotifying = nullptr;
  // An event the owner queued is reported as if it had been handled in the callback: the
  // client waits until the owner took it. A read waits in the client's loop (which still
  // answers control codes); the others here, so that, say, a queued connect never meets
  // a connection already released.
  if (tlsDeferred && !(event == kServerEventRead && error == 0)) WaitTaken(s, c);
  c.flags.fetch_and(~kClientFlagNotifying);
}

namespace {

// How a client's thread reports waiting input. An owner that takes nothing in its read
// event gets the next one only after a pause that grows up to kPaceMaxMs, and one whose
// read was queued gets none until it took that one: neither a busy owner nor one that
// ignores the data makes the thread spin. A peer that closed while its data is left unread
// ends the client, so the owner always hears of the disconnect.
constexpr uint32_t kPaceMaxMs = 1000;

struct ClientWatch {
  uint32_t paceMs = 0;       // 0: not pacing
  bool peerClosed = false;   // the peer shut its side (more data may still be queued)
};

struct PassResult {
  bool readable = false;
  bool except = false;
  bool failed = false;
  bool ended = false;  // the peer left and the owner will not read what it sent
};

// One wait of the client's thread: the socket (only for a hang-up while pacing or while a
// read is held), the control event, and the client's wake-up.
PassResult WaitPass(ServerClientRecord& c, InetSocketRecord& r, const WaitTimes& w, ClientWatch& watch) {
  PassResult out;
  const bool held = Held(c);
  if (!held && watch.paceMs == 0 && BufferedInput(r.handle)) {
    out.readable = true;
    return out;
  }
  const bool watchInput = !held && watch.paceMs == 0;
  // Otherwise only the peer's leaving is watched, and only until it left: poll reports a
  // hang-up (and urgent data) for as long as it lasts, and a wait that watched it would
  // return at once on every pass until the owner takes its read.
  const int watched = watchInput || !watch.peerClosed ? int(r.handle) : -1;
  pollfd fds[3] = {{watched, short(watchInput ? POLLIN | POLLPRI | POLLRDHUP : POLLRDHUP), 0},
                   {c.controlEvent.fd(), POLLIN, 0},
                   {c.wake.fd(), POLLIN, 0}};
  const uint32_t ms = !held && watch.paceMs ? watch.paceMs : w.selectMs;
  plat::WaitResult res = plat::WaitForEventsOrMessages(fds, 3, ms);
  if (fds[2].revents) c.wake.Reset();
  const short re = fds[0].revents;
  if (res.status == plat::WaitStatus::Failed || (re & POLLNVAL)) {
    out.failed = true;
    return out;
  }
  if (re & (POLLRDHUP | POLLHUP)) watch.peerClosed = true;
  out.except = (re & (POLLERR | POLLPRI)) != 0;
  if (held) return out;
  if (watchInput) {
    out.readable = (re & (POLLIN | POLLHUP)) != 0;
  } else if (res.status == plat::WaitStatus::Timeout || res.ready == 0 || (re & (POLLRDHUP | POLLHUP))) {
    // The pause is over (or the peer left): look again.
    short now = 0;
    out.readable = BufferedInput(r.handle) ||
                   (PollNow(r.handle, POLLIN | POLLPRI, &now) > 0 && (now & (POLLIN | POLLPRI | POLLHUP)));
  }
  return out;
}

}  // namespace

uint32_t ClientMain(ClientPtr cp) {
  ServerClientRecord& c = *cp;
  // Whoever waits for the client waits for this, the thread's last touch of it.
  struct Ended {
    ServerClientRecord& c;
    ~Ended() { c.ended.Set(); }
  } ended{c};
  ServerPtr sp = c.server.lock();
  const SOCKET h = SOCKET(c.clientHandle.load());
  RecordPtr rec = FindRecord(h);
  if (!sp || !rec) {
    ServerFreeClient(&c);
    return 0;
  }
  ServerRecord& s = *sp;
  InetSetHandleOwner(h);
  {
    std::lock_guard lk(Library().lock());
    if (InetThreadRecord* t = InetGetThreadRecord()) {
      t->serverHandle = s.serverHandle.load();
      t->clientHandle = h;
    }
  }
  WaitTimes w = WaitTimesFor(c.priority.load());

  NotifyClient(s, c, kServerEventConnect, 0);
  if (c.flags.load() == 0) NotifyClient(s, c, kServerEventWrite, 0);
  uint32_t lastActivity = plat::GetTickCount();

  ClientWatch watch;
  bool end = false;
  // Passes counted for the pause against spinning: only those that slept no server pause
  // (a request's pause already gave the processor away; pausing again after it only made
  // one request in 52 wait twice as long).
  uint32_t unpaused = 0;
  for (uint32_t pass = 1; !end; ++pass) {
    const uint32_t slept = ServerPausesSlept();
    PassResult p = WaitPass(c, *rec, w, watch);
    if (p.failed) {
      NotifyClient(s, c, kServerEventRead, kCvErrorBase | plat::WSAENOTSOCK);
      break;
    }
    bool readable = p.readable;
    if (p.except) {
      const int32_t err = PendingError(h);
      if (err < 0) break;
      if (err > 0) {
        c.lastError.store(kCvErrorBase | uint32_t(err));
        NotifyClient(s, c, kServerEventRead, c.lastError.load());
        if (uint32_t(err) == plat::WSAECONNABORTED || uint32_t(err) == plat::WSAECONNRESET) break;
      } else if (!Held(c)) {
        readable = true;  // urgent data only
      }
    }
    if (readable && !(c.flags.load() & (kClientFlagAbort | kClientFlagDisconnect))) {
      const uint32_t taken = rec->inputTaken.load(std::memory_order_relaxed);
      NotifyClient(s, c, kServerEventRead, 0);
      if (Held(c) || rec->inputTaken.load(std::memory_order_relaxed) != taken) {
        watch.paceMs = 0;
      } else if (watch.peerClosed) {
        rec->closed.store(1);  // gone, and what it sent is not wanted
      } else {
        watch.paceMs = watch.paceMs ? std::min(watch.paceMs * 2, kPaceMaxMs) : std::max<uint32_t>(w.selectMs, 50);
      }
    }
    if (readable || p.except) lastActivity = plat::GetTickCount();

    const uint32_t timeout = c.timeout.load();
    if (timeout != 0 && plat::GetTickCount() - lastActivity > timeout * 1000u) {
      lastActivity = plat::GetTickCount();
      NotifyClient(s, c, kServerEventTimeout, 0);
    }

    TakeControl(c, [&](uint32_t code) {
      if (code == kClientCodePriority) w = WaitTimesFor(c.priority.load());
      else if (code == kClientCodeAbort) c.flags.fetch_or(kClientFlagAbort);
      else if (code == kClientCodeEnd) c.flags.fetch_or(kClientFlagDisconnect);
    });

    const uint32_t flags = c.flags.load();
    if (flags & kClientFlagAbort) {
      SetLingerZero(h);
      end = true;
    } else if ((flags & kClientFlagDisconnect) || HandleClosed(h)) {
      end = true;
    } else if (ServerPausesSlept() == slept) {
      PausePass(w, ++unpaused);
    } else if (w.pauseMs) {
      PausePass(w, pass);
    }
  }

  c.flags.fetch_or(kClientFlagFinished);
  NotifyClient(s, c, kServerEventDisconnect, 0);
  WaitTaken(s, c);  // a read still held
  ServerFreeClient(&c);
  return 0;
}

}  // namespace cvsock

using namespace cvsock;

void ServerDeferCurrentEvent() {
  if (!tlsNotifying || tlsDeferred) return;
  tlsDeferred = true;
  // The owner may take the event before this count goes up: the count dips below zero.
  tlsNotifying->queuedEvents.fetch_add(1);
}

void ServerEventTaken(SOCKET client) {
  if (ClientPtr c = FindClient(client)) {
    c->queuedEvents.fetch_sub(1);
    c->wake.Set();
  }
}
