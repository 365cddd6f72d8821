// The client threads: each watches its connection and reports connect, read, write,
// timeout and disconnect events; and the notifications of both thread kinds.
#include <poll.h>
#include <sys/resource.h>

#include "platform/base/tick.h"
#include "platform/msg/message.h"
#include "platform/msg/wait.h"
#include "platform/net/wsa_errors.h"
#include "sockets/server_internal.h"

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
  if (s.status.load() == twServerShutdown || !s.callback) return;
  s.flags.fetch_or(kServerFlagNotifying);
  s.lastNotificationTick.store(plat::GetTickCount());
  Deliver(s, s.serverHandle.load(), event, error, s.clientTimeout.load());
  s.flags.fetch_and(~kServerFlagNotifying);
}

void NotifyClient(ServerRecord& s, ServerClientRecord& c, uint32_t event, uint32_t error) {
  const uint64_t h = c.clientHandle.load();
  if (h == uint64_t(INVALID_SOCKET)) {
    InetSetLastError(cvErrorInvalidHandle);
    return;
  }
  if (s.status.load() == twServerShutdown || !s.callback) return;
  c.flags.fetch_or(kClientFlagNotifying);
  c.lastNotificationTick.store(plat::GetTickCount());
  Deliver(s, h, event, error, c.timeout.load());
  c.flags.fetch_and(~kClientFlagNotifying);
}

uint32_t ClientMain(ClientPtr cp) {
  ServerClientRecord& c = *cp;
  ServerPtr sp = c.server.lock();
  const SOCKET h = SOCKET(c.clientHandle.load());
  if (!sp) {
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

  bool end = false;
  for (uint32_t pass = 1; !end; ++pass) {
    bool readable = BufferedInput(h);
    bool except = false;
    if (!readable) {
      pollfd fds[2] = {{int(h), POLLIN | POLLPRI, 0}, {c.controlEvent.fd(), POLLIN, 0}};
      plat::WaitResult r = plat::WaitForEventsOrMessages(fds, 2, w.selectMs);
      if (r.status == plat::WaitStatus::Failed || (fds[0].revents & POLLNVAL)) {
        NotifyClient(s, c, kServerEventRead, kCvErrorBase | plat::WSAENOTSOCK);
        break;
      }
      except = (fds[0].revents & (POLLERR | POLLPRI)) != 0;
      readable = (fds[0].revents & (POLLIN | POLLHUP)) != 0;
    }
    if (except) {
      const int32_t err = PendingError(h);
      if (err < 0) break;
      if (err > 0) {
        c.lastError.store(kCvErrorBase | uint32_t(err));
        NotifyClient(s, c, kServerEventRead, c.lastError.load());
        if (uint32_t(err) == plat::WSAECONNABORTED || uint32_t(err) == plat::WSAECONNRESET) break;
      } else {
        readable = true;  // urgent data only
      }
    }
    if (readable && !(c.flags.load() & (kClientFlagAbort | kClientFlagDisconnect))) {
      NotifyClient(s, c, kServerEventRead, 0);
    }
    if (readable || except) lastActivity = plat::GetTickCount();

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
    } else {
      PausePass(w, pass);
    }
  }

  c.flags.fetch_or(kClientFlagFinished);
  NotifyClient(s, c, kServerEventDisconnect, 0);
  ServerFreeClient(&c);
  return 0;
}

}  // namespace cvsock
