// Per-thread queues, the process-wide tables, and what happens when a thread ends.
#include <poll.h>

#include <algorithm>
#include <cerrno>
#include <vector>

#include "platform/base/last_error.h"
#include "platform/base/thread.h"
#include "platform/msg/internal.h"
#include "platform/msg/window.h"

namespace plat::msgimpl {

Tables& tables() {
  // Never destroyed: windows of threads ending during process exit still use it.
  static Tables* t = new Tables;
  return *t;
}

HWND DesktopHandle() { return HandleFrom(0x10000); }

uint32_t CurrentThreadId() { return plat::GetCurrentThreadId(); }

namespace {

void EndThread(const std::shared_ptr<ThreadQueue>& q);

// The queue pointer is trivially destructible, so it stays readable while other
// thread-local destructors run; the guard's destructor does the thread-end work.
thread_local ThreadQueue* tlsQueue = nullptr;
thread_local bool tlsEnded = false;

struct QueueGuard {
  std::shared_ptr<ThreadQueue> queue;
  ~QueueGuard() {
    if (queue) EndThread(queue);
    tlsQueue = nullptr;
    tlsEnded = true;
  }
};
thread_local QueueGuard tlsGuard;

// Destroys every window the ending thread still owns, then refuses further messages and
// releases senders still waiting on it.
void EndThread(const std::shared_ptr<ThreadQueue>& q) {
  auto& t = tables();
  std::vector<uintptr_t> tried;
  for (;;) {
    HWND next = nullptr;
    {
      std::lock_guard lock(t.m);
      for (auto& [h, w] : t.windows) {
        if (w->owner != q || w->state.load() != Window::Alive) continue;
        if (std::find(tried.begin(), tried.end(), h) != tried.end()) continue;
        // Start from the top of the thread's own subtrees: children go with their parent.
        auto parent = t.windows.find(HandleValue(w->parent));
        if (parent != t.windows.end() && parent->second->owner == q) continue;
        next = w->handle;
        break;
      }
    }
    if (!next) break;
    tried.push_back(HandleValue(next));
    plat::DestroyWindow(next);
  }

  std::deque<std::shared_ptr<SentMessage>> pending;
  {
    std::lock_guard lock(q->m);
    q->closed = true;
    pending.swap(q->sent);
    q->posted.clear();
    q->postedQuits = 0;
  }
  for (auto& sm : pending) {
    sm->result = 0;
    sm->failed = true;
    sm->state.store(SentMessage::Done, std::memory_order_release);
    sm->sender->Wake();
  }
  q->timers.clear();
  q->active = nullptr;
  std::lock_guard lock(t.m);
  auto it = t.queues.find(q->tid);
  if (it != t.queues.end() && it->second == q) t.queues.erase(it);
}

}  // namespace

ThreadQueue* CurrentQueue() { return tlsQueue; }

std::shared_ptr<ThreadQueue> CurrentQueueShared() {
  if (tlsQueue) return tlsGuard.queue;
  if (tlsEnded) {
    // Used from another thread-local destructor after the thread's end: a private,
    // closed queue still lets this thread wait for replies.
    auto q = std::make_shared<ThreadQueue>(CurrentThreadId());
    q->closed = true;
    return q;
  }
  auto q = std::make_shared<ThreadQueue>(CurrentThreadId());
  {
    auto& t = tables();
    std::lock_guard lock(t.m);
    t.queues[q->tid] = q;
  }
  tlsGuard.queue = q;
  tlsQueue = q.get();
  return q;
}

std::shared_ptr<Window> LookupWindow(HWND h) {
  auto& t = tables();
  std::lock_guard lock(t.m);
  auto it = t.windows.find(HandleValue(h));
  if (it == t.windows.end() || it->second->state.load() == Window::Dead) return nullptr;
  return it->second;
}

std::shared_ptr<Window> LookupOwnWindow(HWND h) {
  auto w = LookupWindow(h);
  if (!w) {
    SetLastError(ERROR_INVALID_WINDOW_HANDLE);
    return nullptr;
  }
  if (w->owner.get() != CurrentQueue()) {
    SetLastError(ERROR_WINDOW_OF_OTHER_THREAD);
    return nullptr;
  }
  return w;
}

bool IsTopLevel(const Window& w) { return w.parent == nullptr; }

void ServeSentMessages(ThreadQueue& q) {
  // At most the messages that were waiting on entry, and never more than a batch: senders
  // whose message was served send again at once, and a caller that served them without
  // end would never look at its own descriptors (or return to its loop) again.
  size_t budget = 0;
  {
    std::lock_guard lock(q.m);
    budget = std::min(q.sent.size(), kSentPerBatch);
  }
  for (; budget > 0; --budget) {
    std::shared_ptr<SentMessage> sm;
    {
      std::lock_guard lock(q.m);
      if (q.sent.empty()) return;
      sm = std::move(q.sent.front());
      q.sent.pop_front();
      sm->state.store(SentMessage::Started, std::memory_order_relaxed);
    }
    sm->result = CallWindowChain(sm->target, sm->message, sm->wParam, sm->lParam);
    sm->state.store(SentMessage::Done, std::memory_order_release);
    sm->sender->Wake();
  }
  // What is left is served by the caller's next step: its wait must not sleep meanwhile.
  std::lock_guard lock(q.m);
  if (!q.sent.empty()) q.Wake();
}

bool IsSendingTo(uint32_t senderThreadId, const ThreadQueue* receiver) {
  std::shared_ptr<ThreadQueue> sender;
  {
    auto& t = tables();
    std::lock_guard lock(t.m);
    auto it = t.queues.find(senderThreadId);
    if (it == t.queues.end()) return false;
    sender = it->second;
  }
  std::lock_guard lock(sender->m);
  const std::shared_ptr<SentMessage>& sm = sender->waitingFor;
  return sm && sm->target->owner.get() == receiver && sm->state.load() == SentMessage::Started;
}

int WaitOnQueue(ThreadQueue* q, pollfd* fds, size_t count, int32_t timeoutMs) {
  // Every library wait comes here: the usual handful of descriptors stays on the stack, so
  // a wait neither allocates nor can fail for want of memory.
  constexpr size_t kOnStack = 66;
  pollfd local[kOnStack];
  std::vector<pollfd> more;
  const size_t n = count + (q ? 1 : 0);
  pollfd* all = local;
  if (n > kOnStack) {
    more.resize(n);
    all = more.data();
  }
  std::copy(fds, fds + count, all);
  if (q) all[count] = pollfd{q->wake.fd(), POLLIN, 0};
  for (size_t i = 0; i < n; ++i) all[i].revents = 0;
  int r = poll(all, n, timeoutMs);
  if (r < 0) {
    for (size_t i = 0; i < count; ++i) fds[i].revents = 0;
    return errno == EINTR ? 0 : -1;
  }
  for (size_t i = 0; i < count; ++i) fds[i].revents = all[i].revents;
  // Cleared after waking; callers look at the queue again before they sleep, so a
  // wake-up set after this point is never lost.
  if (q && all[count].revents) q->wake.Reset();
  return r;
}

int32_t MsUntil(Clock::time_point deadline) {
  auto now = Clock::now();
  if (now >= deadline) return 0;
  auto ms = std::chrono::ceil<std::chrono::milliseconds>(deadline - now).count();
  return ms > INT32_MAX ? INT32_MAX : int32_t(ms);
}

}  // namespace plat::msgimpl
