#pragma once
// What a library's task body sees of its task while it runs on the worker thread.
#include <cstdint>
#include <mutex>

#include "core/errors/error_codes.h"
#include "core/task/task_types.h"
#include "platform/base/sync.h"
#include "platform/base/thread.h"

namespace cvcore {

template <typename FinalStatus>
class TaskRun {
 public:
  using Record = TaskRecord<FinalStatus>;
  using CancelFn = void (*)(LibHandle);

  TaskRun(Record& r, plat::RecursiveLock& libraryLock, CancelFn cancel) noexcept
      : r_(r), lock_(libraryLock), cancel_(cancel) {}
  TaskRun(const TaskRun&) = delete;
  TaskRun& operator=(const TaskRun&) = delete;

  uint32_t id() const noexcept { return r_.id; }
  LibHandle session() const noexcept { return r_.session.load(); }
  // The worker's session once connected (kInvalidLibHandle: none). An abort that came
  // while it connected cancels it at once.
  void SetSession(LibHandle h) noexcept {
    r_.session.store(h);
    if (h != kInvalidLibHandle && (r_.flags.load() & kTaskAbortRequested)) {
      std::lock_guard lk(lock_);
      if (r_.session.load() == h) cancel_(h);
    }
  }
  // An abort (by a caller or by the library's end) was asked for.
  bool Canceled() const noexcept { return r_.flags.load() & kTaskAbortRequested; }
  // The library's end aborted the task: it fires no further callback.
  bool AbortedByExit() const noexcept { return r_.flags.load() & kTaskAbortedByExit; }

  // Calls the task's callback with (session, event, error, parameter), after a checkpoint.
  void Fire(uint32_t event, uint32_t error) noexcept { FireFor(r_, session(), event, error); }
  void Begin(uint32_t error) noexcept { Fire(kTaskEventBegin, error); }
  // The task ends without an end event.
  void EndQuietly() noexcept { quiet_ = true; }
  bool Quiet() const noexcept { return quiet_; }

  // A callback and parameter to register for the session's own progress events: they
  // reach the task's callback like Fire's.
  static TaskCallback ProgressCallback() noexcept { return &ProgressRelay; }
  uintptr_t ProgressParameter() const noexcept { return reinterpret_cast<uintptr_t>(&r_); }

  // Written by the body on success, before the engine marks the task finished.
  FinalStatus& finalStatus() noexcept { return r_.finalStatus; }

 private:
  static void FireFor(Record& r, LibHandle handle, uint32_t event, uint32_t error) noexcept {
    plat::ThreadCheckpoint();
    if (r.flags.load() & kTaskAbortedByExit) return;
    if (r.eventCallback) r.eventCallback(handle, event, FullErrorCode(error), r.callbackParameter);
  }
  static int32_t ProgressRelay(LibHandle handle, uint32_t event, uint32_t error, uintptr_t parameter) {
    FireFor(*reinterpret_cast<Record*>(parameter), handle, event, error);
    return 0;
  }

  Record& r_;
  plat::RecursiveLock& lock_;
  CancelFn cancel_;
  bool quiet_ = false;
};

}  // namespace cvcore
