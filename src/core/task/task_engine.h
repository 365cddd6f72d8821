#pragma once
// Background tasks of a client library: a table of 128 task slots, one worker thread per
// task (512 KB stack, started suspended) running the library's task body with a session
// of its own, begin/progress/end reporting through the task's callback, cooperative
// suspension at checkpoints, abort through the worker session's cancel, waits with a
// time limit, and the end of every task (cancel, then join) at the library's last detach.
//
// Written once and instantiated per library with a traits type:
//
//   using Frame = cvcore::LibraryFrame<...>;  // the library's frame
//   using Request = ...;        // the library's request block; needs members
//                               // `TaskCallback eventCallback` and `uintptr_t callbackParameter`
//   using FinalStatus = ...;    // what a finished task keeps of its session's transfer status
//   static Frame& Library();
//   static TaskTable<TaskRecord<FinalStatus>>& Table();  // in the library state
//   static uint32_t RunTask(TaskRun<FinalStatus>& run, Request& request);
//       // the task body, on the worker thread: connects a session of its own (handing it
//       // to run.SetSession), reports run.Begin, transfers (progress through
//       // run.ProgressCallback()/ProgressParameter()), writes run.finalStatus() on success;
//       // returns the task's result (0 or an error). The engine then stores the result,
//       // marks the task finished, fires the end event and ends the session.
//   static void CancelSession(LibHandle);  // any thread, under the library lock
//   static void EndSession(LibHandle);     // on the worker: disconnect and free its session
// and optionally:
//   static void ReleaseRequest(Request&);  // frees what the request owns beyond itself
//
// The library calls SessionReleased from its ReleaseSessionLocked hook, BeforeFreeAll from
// its BeforeFreeAll hook and TaskCleanupAll from its OnProcessDetach hook.
//
// Records and requests live on the C++ heap, not the library heap: a worker that ends the
// library from its own callback still uses its record after the library heap is gone.
#include <algorithm>
#include <cstdint>
#include <memory>
#include <mutex>
#include <new>

#include "core/errors/error_codes.h"
#include "core/errors/status.h"
#include "core/frame/lib_types.h"
#include "core/task/task_run.h"
#include "core/task/task_types.h"
#include "platform/base/thread.h"
#include "platform/base/tick.h"

namespace cvcore {

// Pause after starting a worker, so that it is under way when the caller goes on.
inline constexpr uint32_t kTaskStartPauseMs = 50;
// Pause after releasing a suspended worker, and of the polling waits.
inline constexpr uint32_t kTaskSettleMs = 10;
// Slice of one task's wait within a wait for several.
inline constexpr uint32_t kTaskWaitSliceMs = 100;

template <typename Traits>
class TaskEngine {
 public:
  using Frame = typename Traits::Frame;
  using Request = typename Traits::Request;
  using FinalStatus = typename Traits::FinalStatus;
  using Record = TaskRecord<FinalStatus>;
  using Table = TaskTable<Record>;

  using Run = TaskRun<FinalStatus>;

  // ---- requests and start ----

  // A zeroed request, or cvErrorOutOfMemory.
  static Result<Request*> NewRequest() noexcept {
    Request* q = new (std::nothrow) Request();
    if (!q) return Status(cvErrorOutOfMemory);
    return q;
  }
  // A request that was never handed to TaskCreate.
  static void FreeRequest(Request* q) noexcept {
    if (!q) return;
    if constexpr (requires { Traits::ReleaseRequest(*q); }) Traits::ReleaseRequest(*q);
    delete q;
  }

  // Starts a task for the request, which it takes over in every case (the worker frees
  // it). The first free slot is taken; with all 128 taken, the slot of the task that
  // finished longest ago (and whose worker has ended) is reused; else
  // cvErrorTooManyThreads. The new task's id, or 0 (cvErrorTooManyThreads,
  // cvErrorOutOfMemory, cvErrorThreadCreationFailed).
  static uint32_t TaskCreate(Request* request) noexcept { return Traits::Library().Finish(Start(request), 0u); }

  // ---- lookups (the caller holds the library lock) ----

  // The record of a task id; null with cvErrorInvalidTask.
  static Record* TaskFind(uint32_t id) noexcept { return Traits::Library().Finish(Find(id), nullptr); }

  // ---- control of a task ----

  // Cancels the task's session (and its thread's waits), releases it from a suspension
  // and waits up to timeoutMs for its worker; 1 when the worker has ended. A finished
  // task gives cvErrorTaskFinished, the task's own thread cvErrorThreadDeadlock, an unknown
  // id cvErrorInvalidTask.
  static int32_t TaskAbort(uint32_t id, uint32_t timeoutMs) noexcept {
    Frame& f = Traits::Library();
    std::shared_ptr<plat::Thread> thread;
    bool wasSuspended = false;
    {
      std::lock_guard lk(f.lock());
      const Result<Record*> abortable = Abortable(id);
      if (!abortable.ok()) return f.Finish(abortable.status(), 1, 0);
      Record* r = abortable.value();
      thread = r->thread;
      wasSuspended = RequestAbort(*r, 0);
    }
    if (wasSuspended) plat::Sleep(kTaskSettleMs);
    const bool ended = thread->Join(timeoutMs);
    f.SetLastError(0);
    return ended ? 1 : 0;
  }

  // Waits up to timeoutMs for a running task; elapsed gets the milliseconds from its
  // start to its end (or to now while it runs), result its result. 1 when the task has
  // finished, else 0 (no error for a wait that ran out; cvErrorThreadDeadlock on the task's
  // own thread, cvErrorTaskSuspended for a suspended task, cvErrorInvalidTask for an
  // unknown id).
  static int32_t TaskWait(uint32_t id, uint32_t timeoutMs, uint32_t* elapsed, uint32_t* result) noexcept {
    Frame& f = Traits::Library();
    if (elapsed) *elapsed = 0;
    if (result) *result = 0;
    std::shared_ptr<plat::Thread> thread;
    {
      std::lock_guard lk(f.lock());
      const Result<Record*> waitable = Waitable(id);
      if (!waitable.ok()) return f.Finish(waitable.status(), 1, 0);
      if (!waitable.value()->Finished()) thread = waitable.value()->thread;
    }
    if (thread) thread->Join(timeoutMs);
    std::lock_guard lk(f.lock());
    Record* r = TaskFind(id);  // its slot may have been reused meanwhile
    if (!r) return 0;
    const bool finished = r->Finished();
    if (elapsed) *elapsed = (finished ? r->endTick.load() : plat::GetTickCount()) - r->startTick;
    if (result) *result = r->result.load();
    f.SetLastError(0);
    return finished ? 1 : 0;
  }

  // Waits for the listed tasks (ids null: those running now) until none runs; 1 then,
  // 0 once more than timeoutMs have passed. The caller's own task is not waited for.
  static int32_t TaskWaitAll(const uint32_t* ids, int32_t count, uint32_t timeoutMs) noexcept {
    Frame& f = Traits::Library();
    uint32_t running[kTaskSlots];
    if (ids) {
      if (count < 1) return f.Finish(Status(cvErrorBufferTooSmall), 1, 0);
    } else {
      count = int32_t(TaskListRunning(running));
      if (count == 0) {
        f.SetLastError(0);
        return 1;
      }
      ids = running;
    }
    const uint32_t self = plat::GetCurrentThreadId();
    const uint32_t start = plat::GetTickCount();
    for (;;) {
      int32_t stillRunning = 0;
      for (int32_t i = 0; i < count; ++i) {
        std::shared_ptr<plat::Thread> thread;
        {
          std::lock_guard lk(f.lock());
          Record* r = FindQuiet(ids[i]);
          if (!r || r->Finished() || r->workerThread == self || !r->thread) continue;
          thread = r->thread;
        }
        // Every task shares the one budget: no slice runs past the time that is left.
        const uint32_t spent = plat::GetTickCount() - start;
        const uint32_t left = spent >= timeoutMs ? 0 : timeoutMs - spent;
        if (!thread->Join(std::min(left, kTaskWaitSliceMs))) ++stillRunning;
      }
      plat::Sleep(kTaskSettleMs);
      if (stillRunning == 0 || plat::GetTickCount() - start > timeoutMs) {
        f.SetLastError(0);
        return stillRunning == 0 ? 1 : 0;
      }
    }
  }

  // The worker stops at its next checkpoint; 1, or 0 (cvErrorInvalidTask,
  // cvErrorThreadDeadlock, cvErrorAccessDenied for a task that is finishing or gone).
  static int32_t TaskSuspend(uint32_t id) noexcept {
    Frame& f = Traits::Library();
    std::lock_guard lk(f.lock());
    return f.Finish(Suspend(id), 1, 0);
  }

  static int32_t TaskResume(uint32_t id) noexcept {
    Frame& f = Traits::Library();
    std::lock_guard lk(f.lock());
    return f.Finish(Resume(id), 1, 0);
  }

  // ---- state ----

  // 1 finished, 0 running, 0x8004306E (cvErrorInvalidTask) for an unknown id.
  static uint32_t TaskIsDone(uint32_t id) noexcept {
    std::lock_guard lk(Traits::Library().lock());
    Record* r = TaskFind(id);
    if (!r) return cvErrorInvalidTask;
    return r->Finished() ? 1 : 0;
  }

  // A finished task's result; 0x80043071 for a suspended, 0x8004306F for a running task,
  // 0x8004306E for an unknown id.
  static uint32_t TaskGetError(uint32_t id) noexcept {
    std::lock_guard lk(Traits::Library().lock());
    Record* r = TaskFind(id);
    if (!r) return cvErrorInvalidTask;
    if (r->Finished()) return r->result.load();
    return r->Suspended() ? cvErrorTaskSuspended : cvErrorTaskActive;
  }

  // The id of the task whose worker holds the session. A worker's callback may pass -1
  // (its session failed to connect, or is gone): it still learns its own task's id.
  // 0 with cvErrorInvalidHandle when there is none.
  static uint32_t TaskIdFromSession(LibHandle handle) noexcept {
    std::lock_guard lk(Traits::Library().lock());
    const uint32_t self = plat::GetCurrentThreadId();
    for (Record* r : Traits::Table().slots) {
      if (!r) continue;
      if (handle != kInvalidLibHandle ? r->session.load() == handle : r->workerThread == self) return r->id;
    }
    return Traits::Library().Finish(Status(cvErrorInvalidHandle), 0u, 0u);
  }

  // The number of tasks neither finished nor suspended, their ids into ids[128] when given.
  static uint32_t TaskListRunning(uint32_t* ids) noexcept {
    plat::Sleep(kTaskSettleMs);
    std::lock_guard lk(Traits::Library().lock());
    uint32_t n = 0;
    for (Record* r : Traits::Table().slots) {
      if (!r || (r->flags.load() & (kTaskFinished | kTaskSuspended))) continue;
      if (ids) ids[n] = r->id;
      ++n;
    }
    return n;
  }

  // A task's status: 4 finished (final(record.finalStatus, *status)), else 2 suspended
  // or 1 running, reading live(session, *status) (false: failed, error set) when a status
  // is wanted; -1 for an unknown id (cvErrorInvalidTask) or a task without a session yet
  // (cvErrorNotConnected). The status is zeroed first.
  template <typename Status, typename FinalFn, typename LiveFn>
  static int32_t TaskGetStatus(uint32_t id, Status* status, FinalFn&& final, LiveFn&& live) {
    if (status) *status = Status{};
    std::lock_guard lk(Traits::Library().lock());
    Record* r = TaskFind(id);
    if (!r) return -1;
    if (r->Finished()) {
      if (status) final(r->finalStatus, *status);
      return kTaskStateFinished;
    }
    if (status) {
      const LibHandle h = r->session.load();
      if (h == kInvalidLibHandle) return Traits::Library().Finish(cvcore::Status(cvErrorNotConnected), 0, -1);
      if (!live(h, *status)) return -1;
    }
    return r->Suspended() ? kTaskStateSuspended : kTaskStateRunning;
  }

  // ---- the library's hooks ----

  // From ReleaseSessionLocked: no task record keeps naming a freed session (its handle
  // may soon name another one).
  static void SessionReleased(LibHandle handle) noexcept {
    for (Record* r : Traits::Table().slots)
      if (r && r->session.load() == handle) r->session.store(kInvalidLibHandle);
  }

  // Ends every task: each is taken out of the table, marked finished and aborted (it
  // fires no further callback), its session canceled and its worker released from a
  // suspension; then every worker is joined and its record freed. The workers need the
  // library lock to end, so the caller must not hold it. A task whose worker is the
  // calling thread (the library ends from a task's callback) is only marked: its worker
  // frees the record when it ends.
  static void TaskCleanupAll() noexcept {
    Frame& f = Traits::Library();
    Record* taken[kTaskSlots];
    uint32_t n = 0;
    {
      std::lock_guard lk(f.lock());
      const uint32_t self = plat::GetCurrentThreadId();
      for (Record*& slot : Traits::Table().slots) {
        Record* r = slot;
        if (!r) continue;
        slot = nullptr;
        uint32_t none = 0;
        r->endTick.compare_exchange_strong(none, TickNow());
        const bool own = r->workerThread == self;
        RequestAbort(*r, kTaskFinished | kTaskAbortedByExit | (own ? kTaskOrphaned : 0));
        if (!own) taken[n++] = r;
      }
    }
    for (uint32_t i = 0; i < n; ++i) {
      if (taken[i]->thread) taken[i]->thread->Join();
      delete taken[i];
    }
  }

  // For the frame's BeforeFreeAll, which runs under the library lock: the lock is let go
  // while the workers end, so they can close their sessions first.
  static void BeforeFreeAll(Frame& f) noexcept {
    f.Unlock();
    TaskCleanupAll();
    f.Lock();
  }

 private:
  // A tick that is never 0, so that 0 keeps meaning "still running".
  static uint32_t TickNow() noexcept {
    const uint32_t t = plat::GetTickCount();
    return t ? t : 1;
  }

  static Record* FindQuiet(uint32_t id) noexcept {
    if (id != 0)
      for (Record* r : Traits::Table().slots)
        if (r && r->id == id) return r;
    return nullptr;
  }

  // The lookups behind the public calls, under the lock: the record, or the error the
  // call ends with.
  static Result<Record*> Find(uint32_t id) noexcept {
    if (Record* r = FindQuiet(id)) return r;
    return Status(cvErrorInvalidTask);
  }
  // A task the caller may abort.
  static Result<Record*> Abortable(uint32_t id) noexcept {
    const Result<Record*> found = Find(id);
    if (!found.ok()) return found;
    const Record* r = found.value();
    if (r->Finished()) return Status(cvErrorTaskFinished);
    if (r->workerThread == plat::GetCurrentThreadId()) return Status(cvErrorThreadDeadlock);
    if (!r->thread) return Status(cvErrorInvalidTask);
    return found;
  }
  // A task the caller may wait for: a finished one, or one running on another thread.
  static Result<Record*> Waitable(uint32_t id) noexcept {
    const Result<Record*> found = Find(id);
    if (!found.ok() || found.value()->Finished()) return found;
    if (found.value()->workerThread == plat::GetCurrentThreadId()) return Status(cvErrorThreadDeadlock);
    if (found.value()->Suspended()) return Status(cvErrorTaskSuspended);
    return found;
  }
  // A task another thread may suspend or resume.
  static Result<Record*> Controllable(uint32_t id) noexcept {
    const Result<Record*> found = Find(id);
    if (found.ok() && found.value()->workerThread == plat::GetCurrentThreadId()) return Status(cvErrorThreadDeadlock);
    return found;
  }

  // TaskSuspend and TaskResume under the lock.
  static Status Suspend(uint32_t id) noexcept {
    const Result<Record*> found = Controllable(id);
    if (!found.ok()) return found.status();
    Record* r = found.value();
    if (r->Suspended()) return {};
    if (!r->thread || r->Finished()) return Status(cvErrorAccessDenied);
    r->thread->Suspend();
    r->flags.fetch_or(kTaskSuspended);
    return {};
  }
  static Status Resume(uint32_t id) noexcept {
    const Result<Record*> found = Controllable(id);
    if (!found.ok()) return found.status();
    Record* r = found.value();
    if (!r->Suspended()) return {};
    if (!r->thread) return Status(cvErrorAccessDenied);
    r->flags.fetch_and(~kTaskSuspended);
    r->thread->Resume();
    return {};
  }

  // TaskCreate: the new task's id.
  static Result<uint32_t> Start(Request* request) noexcept {
    Frame& f = Traits::Library();
    std::shared_ptr<Request> owned(request, [](Request* q) { FreeRequest(q); });
    if (!request) return Status(cvErrorOutOfMemory);
    std::shared_ptr<plat::Thread> thread;
    uint32_t id = 0;
    {
      std::lock_guard lk(f.lock());
      Table& t = Traits::Table();
      const int32_t slot = TakeSlot(t);
      if (slot < 0) return Status(cvErrorTooManyThreads);
      Record* r = new (std::nothrow) Record();
      if (!r) return Status(cvErrorOutOfMemory);
      r->slot = uint32_t(slot);
      r->creatorThread = plat::GetCurrentThreadId();
      r->eventCallback = request->eventCallback;
      r->callbackParameter = request->callbackParameter;
      thread = plat::Thread::Create([r, owned]() { return TaskThread(*r, *owned); },
                                    plat::Thread::Options{kTaskStackSize, true});
      if (!thread) {
        delete r;
        return Status(cvErrorThreadCreationFailed);
      }
      r->thread = thread;
      r->workerThread = thread->id();
      do id = t.lastId.fetch_add(1) + 1;
      while (id == 0);
      r->id = id;
      if (r->callbackParameter == 0) r->callbackParameter = id;
      r->startTick = plat::GetTickCount();
      t.slots[slot] = r;
    }
    owned.reset();  // the worker's copy frees the request when it ends
    thread->Resume();
    plat::Sleep(kTaskStartPauseMs);
    return id;
  }

  // A free slot, or the slot of the task that finished longest ago and whose worker has
  // ended (its record is freed); -1 when every slot holds a live task.
  static int32_t TakeSlot(Table& t) noexcept {
    for (uint32_t i = 0; i < kTaskSlots; ++i)
      if (!t.slots[i]) return int32_t(i);
    const uint32_t now = plat::GetTickCount();
    int32_t oldest = -1;
    uint32_t oldestAge = 0;
    for (uint32_t i = 0; i < kTaskSlots; ++i) {
      Record* r = t.slots[i];
      if (!r->Finished() || (r->thread && !r->thread->Join(0))) continue;
      const uint32_t age = now - r->endTick.load();
      if (oldest < 0 || age > oldestAge) {
        oldest = int32_t(i);
        oldestAge = age;
      }
    }
    if (oldest >= 0) {
      delete t.slots[oldest];
      t.slots[oldest] = nullptr;
    }
    return oldest;
  }

  // Under the lock: marks the abort (plus extra flags), cancels the worker's session and
  // its thread's own waits, and releases a suspension. True when it was suspended.
  static bool RequestAbort(Record& r, uint32_t extra) noexcept {
    const uint32_t before = r.flags.fetch_or(kTaskAbortRequested | extra);
    // Before the body started the thread's own cancel would skip the body altogether
    // (leaving the task unfinished): the body sees the flag instead.
    if ((before & kTaskStarted) && r.thread) r.thread->Cancel();
    const bool suspended = before & kTaskSuspended;
    if (suspended) {
      r.flags.fetch_and(~kTaskSuspended);
      if (r.thread) r.thread->Resume();
    }
    if (const LibHandle h = r.session.load(); h != kInvalidLibHandle) Traits::CancelSession(h);
    return suspended;
  }

  // The worker: the body, then the end (result, end tick, finished flag, end event, the
  // session's end). The request goes with the thread's body.
  static uint32_t TaskThread(Record& r, Request& request) noexcept {
    Run run(r, Traits::Library().lock(), &Traits::CancelSession);
    const uint32_t before = r.flags.fetch_or(kTaskStarted);
    const uint32_t result = (before & kTaskAbortRequested) ? cvErrorOperationCanceled
                                                           : FullErrorCode(Traits::RunTask(run, request));
    r.result.store(result);
    uint32_t none = 0;
    r.endTick.compare_exchange_strong(none, TickNow());
    r.flags.fetch_or(kTaskFinished);
    if (!run.Quiet()) run.Fire(kTaskEventEnd, result);
    // Taken out by a cleanup on this very thread: the library's end frees the session,
    // and nobody else frees the record.
    const LibHandle h = r.session.exchange(kInvalidLibHandle);
    if (r.flags.load() & kTaskOrphaned) {
      delete &r;
      return result;
    }
    if (h != kInvalidLibHandle) Traits::EndSession(h);
    return result;
  }
};

}  // namespace cvcore
