// IDLE: the command, the background thread that waits for the server's untagged
// responses and reports each through the update callback, and DONE.
#include <poll.h>

#include <algorithm>

#include "imap/imap_internal.h"
#include "platform/base/thread.h"
#include "platform/base/tick.h"
#include "platform/msg/wait.h"

namespace cvimap {

namespace {

constexpr uint32_t kCommandDone = 8;
constexpr uint32_t kStartLimitMs = 5000;

void SetIdleState(ImapSession& s, uint32_t state) {
  s.idleState.store(state);
  s.idleChanged.Set();
}

uint32_t UpdateType(int32_t id) {
  switch (id) {
    case int32_t(kImapResponseExists):
      return mailUpdateMessage;
    case int32_t(kImapResponseRecent):
      return mailUpdateMailbox;
    case int32_t(kImapResponseExpunge):
      return mailUpdateExpunge;
    default:
      return mailUpdateUnknown;
  }
}

// Waits until the IDLE state is wanted. flags: 2 dispatches the thread's posted messages
// meanwhile. The state; cvErrorNotConnected without a greeting, cvErrorOperationTimeout
// when the time runs out.
Result<int32_t> WaitIdleState(ImapSession& s, uint32_t wanted, uint32_t timeoutMs, uint32_t flags) {
  const uint32_t start = plat::GetTickCount();
  for (;;) {
    if (!s.greetingReceived) return Status(cvErrorNotConnected);
    s.idleChanged.Reset();
    if (s.idleState.load() == wanted) return int32_t(wanted);
    uint32_t wait = plat::INFINITE;
    if (timeoutMs) {
      const uint32_t elapsed = plat::GetTickCount() - start;
      if (elapsed >= timeoutMs) return Status(cvErrorOperationTimeout);
      wait = timeoutMs - elapsed;
    }
    pollfd fd{s.idleChanged.fd(), POLLIN, 0};
    plat::WaitForEventsOrMessages(&fd, 1, wait, (flags & 2) ? plat::kWaitDispatchPosted : plat::kWaitServeSent);
  }
}

}  // namespace

Result<int32_t> EndIdle(ImapSession& s) noexcept {
  if (!s.idleWorker && !s.idleOpen) return 0;
  if (OnIdleThread(s)) {
    SetIdleState(s, kImapIdleStopRequested);  // its loop ends after the running callback
  } else if (s.idleWorker) {
    SetIdleState(s, kImapIdleStopRequested);
    s.idleStop.Set();
    // A response being read is read whole: that is bounded by the session timeout.
    if (!s.idleWorker->Join(std::max(kStartLimitMs, TimeoutMs(s) + 1000))) return Status(cvErrorOperationTimeout);
    s.idleWorker.reset();
    s.idleThread.store(0);
    s.idleStop.Reset();
    SetIdleState(s, kImapIdleNone);
  }
  if (!s.idleOpen) return 0;
  s.idleOpen = 0;
  // A command that reads its own untagged responses may be the one ending IDLE: DONE's
  // exchange is read whole, and the command's mode is its own again afterwards.
  struct UntaggedModeKept {
    ImapSession& s;
    const uint32_t mode = s.untaggedMode;
    ~UntaggedModeKept() { s.untaggedMode = mode; }
  } kept{s};
  s.untaggedMode = 0;
  // Responses that came in meanwhile stay buffered: they are read (and counted) with the
  // completion below.
  s.currentCommand = kCommandDone;
  if (!SendBytes(s, "DONE\r\n", 6).ok()) return Status(cvErrorRequestNotCompleted);
  for (;;) {
    s.responsePending = 1;
    const Result<int32_t> id = ReadResponse(s);
    if (!id.ok() || s.lastTagged) return id;
  }
}

}  // namespace cvimap

using namespace cvimap;

int32_t ImapSetUpdateCallback(LibHandle handle, ImapUpdateCallback callback) {
  Operation op(handle);
  if (!op) return -1;
  op->updateCallback = callback;
  return 0;
}

uint32_t ImapIdleThread(LibHandle handle) {
  ImapSession* found = Library().FindSession(handle);
  if (!found) return 1;
  ImapSession& s = *found;
  s.idleThread.store(plat::GetCurrentThreadId());
  if (s.idleState.load() == kImapIdleNone) SetIdleState(s, kImapIdleRunning);
  while (s.idleState.load() != kImapIdleStopRequested) {
    if (!Buffered(s)) {
      pollfd fds[2] = {{int(s.header.controlSocket), POLLIN, 0}, {s.idleStop.fd(), POLLIN, 0}};
      const plat::WaitResult r = plat::WaitForEventsOrMessages(fds, 2, plat::INFINITE);
      if (r.status != plat::WaitStatus::Ready || fds[1].revents) break;
      if ((fds[0].revents & (POLLERR | POLLNVAL)) && !(fds[0].revents & POLLIN)) break;
    }
    if (s.idleState.load() == kImapIdleStopRequested) break;
    s.responsePending = 1;
    const Result<int32_t> read = ReadResponse(s);
    if (!read.ok()) break;
    const int32_t id = read.value();
    if (id == int32_t(kImapResponseOk)) continue;
    // The update's receiver reads the response's outcome as this thread's last error.
    Library().SetLastError(ResponseError(id));
    s.inCallback.store(1);
    const uint32_t type = UpdateType(id);
    if (ImapUpdateCallback callback = s.updateCallback)
      callback(handle, type, type == mailUpdateMailbox ? 0 : s.responseNumber.load(), s.updateUserData);
    s.inCallback.store(0);
    // A waiting IDLE call ends with the first update (its caller sends DONE).
    if (s.idleOptions & mailIdleWait) break;
  }
  s.idleThread.store(0);
  SetIdleState(s, kImapIdleNone);
  return 0;
}

namespace cvimap {
namespace {

Status Idle(ImapSession& s, LibHandle handle, uint32_t timeout, uint32_t options, uintptr_t userData) {
  if (!s.greetingReceived) return Status(cvErrorNotConnected);
  if (const Status selected = NeedMailbox(s); !selected.ok()) return selected;
  if (!ImapFindText(s.capabilities, "IDLE")) return Status(cvErrorFeatureNotSupported);
  if (!s.updateCallback) return Status(cvErrorInvalidParameter);
  if (s.idleWorker || s.idleOpen) {
    if (s.inCallback.load() && OnIdleThread(s)) return Status(cvErrorThreadDeadlock);
    if (const Result<int32_t> ended = EndIdle(s); !ended.ok()) return ended.status();
  }
  s.idleTimeout = timeout;
  s.idleOptions = options;
  s.updateUserData = userData;
  const Result<int32_t> answer = SendCommand(s, "IDLE", nullptr);
  if (!answer.ok()) return answer.status();
  if (answer.value() != int32_t(kImapResponseContinue)) return Status(cvErrorUnexpectedServerResponse);
  s.idleOpen = 1;
  s.idleStop.Reset();
  s.idleState.store(kImapIdleNone);
  s.idleWorker = plat::Thread::Create([handle] { return ImapIdleThread(handle); }, {.suspended = true});
  // Whatever ending IDLE answers, the thread that could not start is the outcome.
  if (!s.idleWorker) {
    static_cast<void>(EndIdle(s));
    return Status(cvErrorThreadCreationFailed);
  }
  s.idleWorker->Resume();
  if (!WaitIdleState(s, kImapIdleRunning, kStartLimitMs, 0).ok() && s.idleState.load() == kImapIdleNone &&
      s.idleThread.load() == 0 && !s.idleWorker->Finished()) {
    static_cast<void>(EndIdle(s));
    return Status(cvErrorThreadCreationFailed);
  }
  if (!(options & mailIdleWait)) return {};
  const uint32_t limit = timeout ? timeout * 1000u : 0;
  if (const Result<int32_t> waited = WaitIdleState(s, kImapIdleNone, limit, 2);
      !waited.ok() && s.idleState.load() != kImapIdleNone) {
    static_cast<void>(EndIdle(s));
    return waited.status();
  }
  if (s.cancel.exchange(0)) {
    s.cancelSignal.Reset();
    static_cast<void>(EndIdle(s));
    return Status(cvErrorOperationCanceled);
  }
  return EndIdle(s).status();
}

}  // namespace
}  // namespace cvimap

int32_t ImapIdle(LibHandle handle, uint32_t timeout, uint32_t options, uintptr_t userData) {
  Operation op(handle);
  if (!op) return -1;
  const Status idled = Idle(*op, handle, timeout, options, userData);
  return FinishExchange(idled.ok() ? Result<int32_t>(0) : Result<int32_t>(idled));
}

int32_t ImapEndIdle(LibHandle handle) {
  Operation op(handle);
  if (!op) return -1;
  // Only an IDLE still open reads a completion; ending the thread alone reads nothing.
  const bool open = op->idleOpen != 0;
  const Result<int32_t> ended = EndIdle(*op);
  return open ? FinishResponse(ended) : Finish(ended);
}

int32_t ImapWaitIdleState(LibHandle handle, uint32_t state, uint32_t timeoutMs, uint32_t flags) {
  Operation op(handle);
  if (!op) return -1;
  return Finish(WaitIdleState(*op, state, timeoutMs, flags));
}
