// Timers live in the owner thread's queue; WM_TIMER is made when the owner looks for
// messages, so no timer thread exists.
#include "platform/msg/timer.h"

#include <algorithm>

#include "platform/base/last_error.h"
#include "platform/msg/internal.h"

namespace plat {

using namespace msgimpl;

UINT_PTR SetTimer(HWND hwnd, UINT_PTR id, UINT elapseMs, TIMERPROC proc) {
  if (hwnd && !LookupOwnWindow(hwnd)) return 0;
  auto q = CurrentQueueShared();
  const auto interval = std::chrono::milliseconds(std::clamp(elapseMs, USER_TIMER_MINIMUM, USER_TIMER_MAXIMUM));
  const auto due = Clock::now() + interval;
  auto same = [&](UINT_PTR tid) {
    return std::find_if(q->timers.begin(), q->timers.end(),
                        [&](const Timer& t) { return t.hwnd == hwnd && t.id == tid; });
  };
  if (hwnd || id) {
    auto it = same(id);
    if (it != q->timers.end()) {
      *it = Timer{hwnd, id, interval, due, proc};
      return id ? id : 1;
    }
  }
  if (!hwnd) {
    // A thread timer gets an id of its own.
    do {
      id = q->nextTimerId++;
    } while (id == 0 || same(id) != q->timers.end());
  }
  q->timers.push_back(Timer{hwnd, id, interval, due, proc});
  return id ? id : 1;
}

BOOL KillTimer(HWND hwnd, UINT_PTR id) {
  if (hwnd && !LookupOwnWindow(hwnd)) return FALSE_;
  ThreadQueue* q = CurrentQueue();
  if (q) {
    auto it = std::find_if(q->timers.begin(), q->timers.end(),
                           [&](const Timer& t) { return t.hwnd == hwnd && t.id == id; });
    if (it != q->timers.end()) {
      q->timers.erase(it);
      return TRUE_;
    }
  }
  SetLastError(ERROR_INVALID_PARAMETER);
  return FALSE_;
}

}  // namespace plat
