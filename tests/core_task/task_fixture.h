#pragma once
// Every test starts with the task test library attached and one session of the test's
// thread (the session tasks copy), and leaves the library detached.
#include <gtest/gtest.h>

#include <chrono>
#include <functional>
#include <mutex>
#include <thread>
#include <vector>

#include "fake_tasks.h"

namespace fake {

// One call of a task's callback, as the worker saw it.
struct Seen {
  uint32_t id;  // from the session handle, looked up from the worker
  uint32_t event;
  uint32_t error;
  LibHandle handle;
};

// The callback parameter of a test's tasks: what they reported, and what a callback
// does on the worker besides recording.
struct Log {
  std::mutex m;
  std::vector<Seen> seen;
  std::function<void(const Seen&)> onEvent;

  std::vector<Seen> Of(uint32_t id, bool withProgress = false) {
    std::lock_guard lk(m);
    std::vector<Seen> out;
    for (const Seen& s : seen)
      if (s.id == id && (withProgress || s.event != cvcore::kTaskEventProgress)) out.push_back(s);
    return out;
  }
  size_t Count() {
    std::lock_guard lk(m);
    return seen.size();
  }
};

inline int32_t Report(LibHandle handle, uint32_t event, uint32_t error, uintptr_t parameter) {
  auto* log = reinterpret_cast<Log*>(parameter);
  const Seen s{Tasks::TaskIdFromSession(handle), event, error, handle};
  std::function<void(const Seen&)> onEvent;
  {
    std::lock_guard lk(log->m);
    log->seen.push_back(s);
    onEvent = log->onEvent;
  }
  if (onEvent) onEvent(s);
  return 1;
}

class TaskTest : public ::testing::Test {
 protected:
  void SetUp() override {
    LibVersionInfo info{};
    info.size = sizeof info;
    info.options = kLibAttachFull;
    ASSERT_EQ(Lib().Attach(&info), 1);
    caller_ = Lib().AllocSession();
    ASSERT_NE(caller_, kInvalidLibHandle);
    Watched().callerFreedWhileBodiesRan.store(0);
  }
  void TearDown() override {
    while (Lib().IsInitialized() > 0) Lib().Detach();
  }
  static Frame& Lib() { return Library(); }

  // Starts a task of the test's session; 0 when refused.
  uint32_t Start(uint32_t opcode, uint32_t steps = 0, Log* log = nullptr, LibHandle session = 0) {
    const cvcore::Result<Request*> made = Tasks::NewRequest();
    if (!made.ok()) return 0;
    Request* q = made.value();
    q->opcode = opcode;
    q->session = session ? session : caller_;
    q->steps = steps;
    q->eventCallback = log ? &Report : nullptr;
    q->callbackParameter = reinterpret_cast<uintptr_t>(log);
    return Tasks::TaskCreate(q);
  }

  // Steps done by a running task, read through the live status.
  static uint32_t Steps(uint32_t id) {
    uint32_t steps = 0;
    Tasks::TaskGetStatus(
        id, &steps, [](const FinalStatus&, uint32_t&) {},
        [](LibHandle h, uint32_t& out) {
          out = Library().FindSession(h)->step.load();
          return true;
        });
    return steps;
  }

  // Waits for a task's worker to end (its end event is over by then); true when it has.
  static bool JoinTask(uint32_t id) {
    std::shared_ptr<plat::Thread> thread;
    {
      std::lock_guard lk(Library().lock());
      Record* r = Tasks::TaskFind(id);
      if (!r) return false;
      thread = r->thread;
    }
    return thread->Join();
  }

  static uint32_t SlotOf(uint32_t id) {
    std::lock_guard lk(Library().lock());
    Record* r = Tasks::TaskFind(id);
    return r ? r->slot : 0xFFFFFFFFu;
  }

  template <typename Pred>
  static bool WaitUntil(Pred pred, int ms = 10000) {
    const auto end = std::chrono::steady_clock::now() + std::chrono::milliseconds(ms);
    while (!pred()) {
      if (std::chrono::steady_clock::now() > end) return false;
      std::this_thread::sleep_for(std::chrono::milliseconds(2));
    }
    return true;
  }

  LibHandle caller_ = kInvalidLibHandle;
};

}  // namespace fake
