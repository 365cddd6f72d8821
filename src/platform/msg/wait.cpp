// The one wait primitive of the platform layer.
#include "platform/msg/wait.h"

#include <cerrno>

#include "platform/base/last_error.h"
#include "platform/base/sync.h"
#include "platform/base/thread.h"
#include "platform/msg/internal.h"
#include "platform/msg/message.h"
#include "platform/msg/window.h"
#include "platform/net/wsa_errors.h"

namespace plat {

using namespace msgimpl;

namespace {
// Posted messages dispatched per step before the descriptors are looked at again, so a
// window that keeps posting to itself cannot starve the caller's wait.
constexpr int kDispatchPerStep = 64;
}  // namespace

namespace {

// One blocking call of the thread; they nest when something dispatched meanwhile makes
// another.
struct BlockingCall {
  BlockingCall* outer;
  bool canceled = false;
};
thread_local BlockingCall* tlsBlockingCall = nullptr;

bool Canceled(const BlockingCall* call) {
  if (!call || !call->canceled) return false;
  SetLastError(WSAEINTR);
  return true;
}

WaitResult WaitLoop(pollfd* fds, size_t count, uint32_t timeoutMs, uint32_t flags, const BlockingCall* call) {
  const bool limited = timeoutMs != INFINITE;
  const auto deadline = Clock::now() + std::chrono::milliseconds(limited ? timeoutMs : 0);
  for (;;) {
    ThreadCheckpoint();
    // A thread without a queue has no windows and nothing can be sent to it.
    ThreadQueue* q = CurrentQueue();
    int32_t waitMs = limited ? MsUntil(deadline) : -1;
    if (q) {
      ServeSentMessages(*q);
      if (Canceled(call)) return {WaitStatus::Failed, 0};
      if ((flags & kWaitReturnOnQuit) && IsQuitPending(*q)) return {WaitStatus::Quit, 0};
      if ((flags & kWaitDispatchPosted) && ThreadHasActiveWindow()) {
        int dispatched = 0;
        for (; dispatched < kDispatchPerStep; ++dispatched) {
          MSG m;
          Fetch f = FetchMessage(*q, &m, Filter{}, true, true);
          if (f == Fetch::Quit) {
            if (!call) return {WaitStatus::Quit, 0};
            // The host's loop ends once the call returns; until then nothing more of it runs.
            flags &= ~kWaitDispatchPosted;
            break;
          }
          if (f == Fetch::None) break;
          DispatchMessage(&m);
          ServeSentMessages(*q);
          if (Canceled(call)) return {WaitStatus::Failed, 0};
        }
        if (dispatched == kDispatchPerStep) waitMs = 0;
        const int32_t timerMs = NextTimerDelay(*q, Filter{});
        if (timerMs >= 0 && (waitMs < 0 || timerMs < waitMs)) waitMs = timerMs;
        if (limited) waitMs = std::min(waitMs < 0 ? INT32_MAX : waitMs, MsUntil(deadline));
      }
    }
    const int r = WaitOnQueue(q, fds, count, waitMs);
    if (r < 0) {
      SetLastError(errno == EINVAL ? ERROR_INVALID_PARAMETER : ERROR_NOT_ENOUGH_MEMORY);
      return {WaitStatus::Failed, 0};
    }
    int ready = 0;
    for (size_t i = 0; i < count; ++i) ready += fds[i].revents != 0;
    if (ready) return {WaitStatus::Ready, ready};
    if (limited && Clock::now() >= deadline) return {WaitStatus::Timeout, 0};
  }
}

}  // namespace

WaitResult WaitForEventsOrMessages(pollfd* fds, size_t count, uint32_t timeoutMs, uint32_t flags) {
  return WaitLoop(fds, count, timeoutMs, flags, nullptr);
}

WaitResult BlockingWait(pollfd* fds, size_t count, uint32_t timeoutMs) {
  BlockingCall call{tlsBlockingCall};
  tlsBlockingCall = &call;
  const WaitResult r = WaitLoop(fds, count, timeoutMs, kWaitDispatchPosted, &call);
  tlsBlockingCall = call.outer;
  return r;
}

bool WaitCanceled(const WaitResult& r) { return r.status == WaitStatus::Failed && GetLastError() == WSAEINTR; }

bool CancelBlockingCall() {
  if (!tlsBlockingCall) return false;
  tlsBlockingCall->canceled = true;
  return true;
}

}  // namespace plat
