#include "ssh/util/timer_list.h"


#include "platform/base/tick.h"
#include "ssh/util/tree234.h"

namespace {

struct Timer {
  TimerCallback callback;
  void* context;
  uint32_t due;
};

struct TimerList {
  CountedTree* timers = nullptr;
  CountedTree* contexts = nullptr;
  uint32_t base = 0;
};

TimerList g_list;

// The list relies on the SSH layer's lock like the rest of the layer; no lock of its own.
int32_t Relative(uint32_t due) { return int32_t(due - g_list.base); }

template <class T>
int Order(T a, T b) { return a < b ? -1 : a > b ? 1 : 0; }

int CompareTimers(void* av, void* bv) {
  const auto* a = static_cast<const Timer*>(av);
  const auto* b = static_cast<const Timer*>(bv);
  if (int c = Order(Relative(a->due), Relative(b->due))) return c;
  if (int c = Order(reinterpret_cast<uintptr_t>(a->callback), reinterpret_cast<uintptr_t>(b->callback))) return c;
  return Order(reinterpret_cast<uintptr_t>(a->context), reinterpret_cast<uintptr_t>(b->context));
}

int CompareContexts(void* a, void* b) {
  return Order(reinterpret_cast<uintptr_t>(a), reinterpret_cast<uintptr_t>(b));
}

void EnsureTrees() {
  if (g_list.timers) return;
  g_list.timers = TreeNew(CompareTimers);
  g_list.contexts = TreeNew(CompareContexts);
  g_list.base = plat::GetTickCount();
}

}  // namespace

uint32_t TimerSchedule(uint32_t delay_ms, TimerCallback callback, void* context) {
  EnsureTrees();
  uint32_t due = plat::GetTickCount() + delay_ms;
  if (Relative(due) <= 0) due = g_list.base + 1;
  auto* t = new Timer{callback, context, due};
  if (TreeAdd(g_list.timers, t) != t) delete t;
  TreeAdd(g_list.contexts, context);
  return due;
}

void TimerCancelContext(void* context) {
  EnsureTrees();
  TreeDelete(g_list.contexts, context);
}

int32_t TimerRunDue(uint32_t now) {
  EnsureTrees();
  int32_t ran = 0;
  while (auto* t = static_cast<Timer*>(TreeIndex(g_list.timers, 0))) {
    if (int32_t(now - t->due) < 0) break;
    TreeDeleteAt(g_list.timers, 0);
    const Timer copy = *t;
    delete t;
    if (TreeFind(g_list.contexts, copy.context, nullptr)) {
      copy.callback(copy.context, now);
      ++ran;
    }
  }
  return ran;
}

int32_t TimerPendingCount() { return TreeCount(g_list.timers); }

void TimerListReset() {
  if (g_list.timers) {
    while (auto* t = static_cast<Timer*>(TreeDeleteAt(g_list.timers, 0))) delete t;
    TreeFree(g_list.timers);
    TreeFree(g_list.contexts);
  }
  g_list = TimerList{};
}
