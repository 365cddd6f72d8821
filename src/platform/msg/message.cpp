// Sending, posting and retrieving messages.
#include "platform/msg/message.h"

#include <algorithm>

#include "platform/base/last_error.h"
#include "platform/base/tick.h"
#include "platform/msg/internal.h"

namespace plat {

using namespace msgimpl;

namespace {

// Sends to hwnd; false when the message could not be delivered (last error set).
bool Send(HWND hwnd, UINT msg, WPARAM wp, LPARAM lp, const UINT* timeoutMs, LRESULT* out) {
  *out = 0;
  auto w = LookupWindow(hwnd);
  if (!w) {
    SetLastError(ERROR_INVALID_WINDOW_HANDLE);
    return false;
  }
  if (w->owner.get() == CurrentQueue()) {
    *out = CallWindowChain(w, msg, wp, lp);
    return true;
  }

  auto self = CurrentQueueShared();
  auto sm = std::make_shared<SentMessage>();
  sm->target = w;
  sm->message = msg;
  sm->wParam = wp;
  sm->lParam = lp;
  sm->sender = self;
  ThreadQueue& owner = *w->owner;
  // Known as this thread's message before the receiver can start it: a handler that asks
  // whether this thread waits for it (to avoid waiting for this thread in turn) must hear
  // yes even if this thread is not scheduled again until the handler is well under way.
  {
    std::lock_guard lock(self->m);
    self->waitingFor = sm;
  }
  struct Done {
    ThreadQueue& q;
    ~Done() {
      std::lock_guard lock(q.m);
      q.waitingFor.reset();
    }
  } done{*self};
  {
    std::lock_guard lock(owner.m);
    if (owner.closed) {
      SetLastError(ERROR_INVALID_WINDOW_HANDLE);
      return false;
    }
    owner.sent.push_back(sm);
  }
  owner.Wake();

  bool timed = timeoutMs != nullptr;
  const auto deadline = Clock::now() + std::chrono::milliseconds(timed ? *timeoutMs : 0);
  for (;;) {
    if (sm->state.load(std::memory_order_acquire) == SentMessage::Done) break;
    // Serve what others send to us meanwhile: the receiver may be sending to us.
    ServeSentMessages(*self);
    if (sm->state.load(std::memory_order_acquire) == SentMessage::Done) break;
    int32_t waitMs = -1;
    if (timed) {
      waitMs = MsUntil(deadline);
      if (waitMs == 0) {
        std::lock_guard lock(owner.m);
        if (sm->state.load() == SentMessage::Queued) {
          std::erase(owner.sent, sm);
          SetLastError(ERROR_TIMEOUT);
          return false;
        }
        timed = false;  // already running: its data may be ours, so wait for the end
        waitMs = -1;
      }
    }
    WaitOnQueue(self.get(), nullptr, 0, waitMs);
  }
  if (sm->failed) {
    SetLastError(ERROR_INVALID_WINDOW_HANDLE);
    return false;
  }
  *out = sm->result;
  return true;
}

BOOL PostTo(ThreadQueue& q, PostedMessage pm, uint32_t errorWhenClosed) {
  {
    std::lock_guard lock(q.m);
    if (q.closed) {
      SetLastError(errorWhenClosed);
      return FALSE_;
    }
    if (pm.msg.message == WM_QUIT) q.postedQuits++;
    q.posted.push_back(std::move(pm));
  }
  q.Wake();
  return TRUE_;
}

}  // namespace

LRESULT SendMessage(HWND hwnd, UINT msg, WPARAM wParam, LPARAM lParam) {
  LRESULT r;
  Send(hwnd, msg, wParam, lParam, nullptr, &r);
  return r;
}

LRESULT SendMessageTimeout(HWND hwnd, UINT msg, WPARAM wParam, LPARAM lParam, UINT, UINT timeoutMs,
                           DWORD_PTR* result) {
  LRESULT r;
  const bool ok = Send(hwnd, msg, wParam, lParam, &timeoutMs, &r);
  if (result) *result = ok ? DWORD_PTR(r) : 0;
  return ok ? 1 : 0;
}

BOOL PostMessage(HWND hwnd, UINT msg, WPARAM wParam, LPARAM lParam) {
  const MSG m{hwnd, msg, wParam, lParam, GetTickCount(), {}};
  if (!hwnd) return PostTo(*CurrentQueueShared(), PostedMessage{m, {}}, ERROR_INVALID_THREAD_ID);
  auto w = LookupWindow(hwnd);
  if (!w) {
    SetLastError(ERROR_INVALID_WINDOW_HANDLE);
    return FALSE_;
  }
  return PostTo(*w->owner, PostedMessage{m, w}, ERROR_INVALID_WINDOW_HANDLE);
}

BOOL PostThreadMessage(DWORD threadId, UINT msg, WPARAM wParam, LPARAM lParam) {
  std::shared_ptr<ThreadQueue> q;
  {
    auto& t = tables();
    std::lock_guard lock(t.m);
    auto it = t.queues.find(threadId);
    if (it != t.queues.end()) q = it->second;
  }
  if (!q) {
    SetLastError(ERROR_INVALID_THREAD_ID);
    return FALSE_;
  }
  return PostTo(*q, PostedMessage{MSG{nullptr, msg, wParam, lParam, GetTickCount(), {}}, {}},
                ERROR_INVALID_THREAD_ID);
}

void PostQuitMessage(int32_t exitCode) {
  auto q = CurrentQueueShared();
  std::lock_guard lock(q->m);
  q->quitFlag = true;
  q->quitCode = exitCode;
}

BOOL GetMessage(MSG* msg, HWND hwnd, UINT first, UINT last) {
  if (!msg) {
    SetLastError(ERROR_INVALID_PARAMETER);
    return -1;
  }
  auto q = CurrentQueueShared();
  if (hwnd && hwnd != HWND_THREAD_MESSAGES && !LookupOwnWindow(hwnd)) return -1;
  const Filter f{hwnd, first, last};
  for (;;) {
    ServeSentMessages(*q);
    if (FetchMessage(*q, msg, f, true, false) == Fetch::Message) return msg->message == WM_QUIT ? FALSE_ : TRUE_;
    WaitOnQueue(q.get(), nullptr, 0, NextTimerDelay(*q, f));
  }
}

BOOL PeekMessage(MSG* msg, HWND hwnd, UINT first, UINT last, UINT removeFlags) {
  if (!msg) {
    SetLastError(ERROR_INVALID_PARAMETER);
    return FALSE_;
  }
  auto q = CurrentQueueShared();
  ServeSentMessages(*q);
  const Filter f{hwnd, first, last};
  return FetchMessage(*q, msg, f, (removeFlags & PM_REMOVE) != 0, false) == Fetch::Message ? TRUE_ : FALSE_;
}

BOOL WaitMessage() {
  auto q = CurrentQueueShared();
  for (;;) {
    ServeSentMessages(*q);
    MSG m;
    if (FetchMessage(*q, &m, Filter{}, false, false) != Fetch::None) return TRUE_;
    WaitOnQueue(q.get(), nullptr, 0, NextTimerDelay(*q, Filter{}));
  }
}

LRESULT DispatchMessage(const MSG* msg) {
  if (!msg) return 0;
  if (msg->message == WM_TIMER && msg->lParam) {
    // Only a procedure of a live timer is called: a posted WM_TIMER must not make us
    // jump to an arbitrary address.
    ThreadQueue* q = CurrentQueue();
    if (!q) return 0;
    auto proc = reinterpret_cast<TIMERPROC>(msg->lParam);
    auto it = std::find_if(q->timers.begin(), q->timers.end(), [&](const Timer& t) {
      return t.hwnd == msg->hwnd && t.id == msg->wParam && t.proc == proc;
    });
    if (it == q->timers.end()) return 0;
    proc(msg->hwnd, WM_TIMER, msg->wParam, GetTickCount());
    return 0;
  }
  if (!msg->hwnd) return 0;
  auto w = LookupOwnWindow(msg->hwnd);
  return w ? CallWindowChain(w, msg->message, msg->wParam, msg->lParam) : 0;
}

BOOL TranslateMessage(const MSG*) { return FALSE_; }

UINT RegisterWindowMessage(const char* name) {
  if (!name || !*name) {
    SetLastError(ERROR_INVALID_PARAMETER);
    return 0;
  }
  std::string key = AsciiLower(name);
  auto& t = tables();
  std::lock_guard lock(t.m);
  auto it = t.registeredMessages.find(key);
  if (it != t.registeredMessages.end()) return it->second;
  if (t.nextMessage > kLastRegisteredMessage) {
    SetLastError(ERROR_NOT_ENOUGH_MEMORY);
    return 0;
  }
  const UINT number = t.nextMessage++;
  t.registeredMessages.emplace(std::move(key), number);
  return number;
}

bool IsThreadSendingToCaller(uint32_t threadId) {
  ThreadQueue* q = CurrentQueue();
  return q && IsSendingTo(threadId, q);
}

bool IsQuitMessagePending() {
  ThreadQueue* q = CurrentQueue();
  return q && IsQuitPending(*q);
}

size_t RemovePostedMessages(HWND hwnd, const std::function<bool(const MSG&)>& match) {
  auto call = [](const MSG& m, void* ctx) { return (*static_cast<const std::function<bool(const MSG&)>*>(ctx))(m); };
  void* ctx = const_cast<std::function<bool(const MSG&)>*>(&match);
  if (hwnd) {
    auto w = LookupWindow(hwnd);
    return w ? RemovePosted(*w->owner, hwnd, call, ctx) : 0;  // a dead window's were purged already
  }
  std::vector<std::shared_ptr<ThreadQueue>> queues;
  {
    auto& t = tables();
    std::lock_guard lock(t.m);
    for (auto& [id, q] : t.queues) queues.push_back(q);
  }
  size_t n = 0;
  for (auto& q : queues) n += RemovePosted(*q, nullptr, call, ctx);
  return n;
}

}  // namespace plat
