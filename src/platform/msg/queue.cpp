// Retrieval from a thread's queue: posted messages in FIFO order, then the quit
// request, then due timers.
#include <algorithm>

#include "platform/base/tick.h"
#include "platform/msg/internal.h"

namespace plat::msgimpl {
namespace {

bool InRange(const Filter& f, UINT message) {
  return (f.first == 0 && f.last == 0) || (message >= f.first && message <= f.last);
}

bool HwndMatches(const Filter& f, HWND hwnd) {
  if (!f.hwnd) return true;
  if (f.hwnd == HWND_THREAD_MESSAGES) return hwnd == nullptr;
  return hwnd == f.hwnd;
}

bool TargetGone(const PostedMessage& pm) {
  if (!pm.msg.hwnd) return false;
  auto w = pm.target.lock();
  return !w || w->state.load() == Window::Dead;
}

// Under q.m.
std::deque<PostedMessage>::iterator ErasePosted(ThreadQueue& q, std::deque<PostedMessage>::iterator it) {
  if (it->msg.message == WM_QUIT) q.postedQuits--;
  return q.posted.erase(it);
}

}  // namespace

Fetch FetchMessage(ThreadQueue& q, MSG* out, const Filter& f, bool remove, bool stopAtQuit) {
  {
    std::lock_guard lock(q.m);
    for (auto it = q.posted.begin(); it != q.posted.end();) {
      if (!HwndMatches(f, it->msg.hwnd) || !InRange(f, it->msg.message)) {
        ++it;
        continue;
      }
      if (TargetGone(*it)) {  // posted just before its window died
        it = ErasePosted(q, it);
        continue;
      }
      if (stopAtQuit && it->msg.message == WM_QUIT) return Fetch::Quit;
      *out = it->msg;
      if (remove) ErasePosted(q, it);
      return Fetch::Message;
    }
    if (q.quitFlag) {
      if (stopAtQuit) return Fetch::Quit;
      *out = MSG{nullptr, WM_QUIT, WPARAM(q.quitCode), 0, GetTickCount(), {}};
      if (remove) q.quitFlag = false;
      return Fetch::Message;
    }
  }
  if (!InRange(f, WM_TIMER)) return Fetch::None;
  const auto now = Clock::now();
  Timer* due = nullptr;
  for (auto& t : q.timers) {
    if (t.due <= now && HwndMatches(f, t.hwnd) && (!due || t.due < due->due)) due = &t;
  }
  if (!due) return Fetch::None;
  *out = MSG{due->hwnd, WM_TIMER, due->id, reinterpret_cast<LPARAM>(due->proc), GetTickCount(), {}};
  if (remove) due->due = now + due->interval;
  return Fetch::Message;
}

int32_t NextTimerDelay(const ThreadQueue& q, const Filter& f) {
  if (!InRange(f, WM_TIMER)) return -1;
  int32_t best = -1;
  for (auto& t : q.timers) {
    if (!HwndMatches(f, t.hwnd)) continue;
    int32_t d = MsUntil(t.due);
    if (best < 0 || d < best) best = d;
  }
  return best;
}

void RemoveWindowTimers(ThreadQueue& q, HWND hwnd) {
  std::erase_if(q.timers, [hwnd](const Timer& t) { return t.hwnd == hwnd; });
}

size_t RemovePosted(ThreadQueue& q, HWND hwnd, bool (*match)(const MSG&, void*), void* ctx) {
  std::lock_guard lock(q.m);
  size_t n = 0;
  for (auto it = q.posted.begin(); it != q.posted.end();) {
    const MSG& m = it->msg;
    if ((hwnd ? m.hwnd == hwnd : m.hwnd != nullptr) && match(m, ctx)) {
      it = ErasePosted(q, it);
      ++n;
    } else {
      ++it;
    }
  }
  return n;
}

bool IsQuitPending(ThreadQueue& q) {
  std::lock_guard lock(q.m);
  return q.quitFlag || q.postedQuits > 0;
}

}  // namespace plat::msgimpl
