#pragma once
// A small library instantiating the task engine the way a transfer library does: its
// worker copies nothing but checks the caller's session, opens a session of its own,
// reports begin, then runs a loop of steps with a checkpoint and a progress event each,
// and stops early when its session is canceled.
#include <atomic>
#include <cstdint>
#include <functional>
#include <mutex>
#include <vector>

#include "core/frame/frame.h"
#include "core/task/task_engine.h"
#include "platform/base/sync.h"

namespace fake {

struct Session {
  LibSessionHeader header;
  uint32_t options;
  plat::HeapHandle heap;
  std::atomic<uint32_t> step;  // steps done by the worker owning it
  std::atomic<bool> worker;    // a task's own session
  plat::Event canceled{plat::Event::Reset::Manual};
};

// What a task body does.
enum Opcode : uint32_t {
  kRun = 1,            // `steps` steps (0: until canceled)
  kFreeOwnSession = 2, // frees its session itself after the steps
  kFailConnect = 3,    // its session cannot be opened: begin and end carry 10061
  kUnknown = 9,        // ends with 10082
};

struct Request {
  uint32_t opcode;
  LibHandle session;  // the caller's session
  uint32_t steps;
  cvcore::TaskCallback eventCallback;
  uintptr_t callbackParameter;
};

struct FinalStatus {
  uint64_t bytes;
};

struct FrameTraits;
using Frame = cvcore::LibraryFrame<FrameTraits>;
struct TaskTraits;
using Tasks = cvcore::TaskEngine<TaskTraits>;
using Record = cvcore::TaskRecord<FinalStatus>;
using Run = cvcore::TaskRun<FinalStatus>;

struct LibraryState {
  cvcore::TaskTable<Record> tasks;
};

inline Frame& Library() noexcept;

// What the tests watch from the library's side.
struct Watch {
  std::atomic<int32_t> liveBodies{0};
  std::atomic<int32_t> callerFreedWhileBodiesRan{0};
  std::mutex m;
  std::vector<uint32_t> workers;  // thread ids of every body that ran
};
inline Watch& Watched() {
  static Watch w;
  return w;
}

struct FrameTraits {
  using Session = fake::Session;
  using LibraryState = fake::LibraryState;
  static constexpr const char* kBanner = "Task test library";
  static bool InitSession(Frame&, Session&) { return true; }
  static void BeforeFreeAll(Frame& f);
  static void OnProcessDetach(Frame&);
  static void ReleaseSessionLocked(Frame&, Session& s);
};

struct TaskTraits {
  using Frame = fake::Frame;
  using Request = fake::Request;
  using FinalStatus = fake::FinalStatus;
  static Frame& Library() { return fake::Library(); }
  static cvcore::TaskTable<Record>& Table() { return fake::Library().state().tasks; }

  static void CancelSession(LibHandle h) {
    if (Session* s = Library().FindSession(h)) s->canceled.Set();
  }
  static void EndSession(LibHandle h) { Library().FreeSession(h); }

  static uint32_t RunTask(Run& run, Request& q) {
    Watched().liveBodies.fetch_add(1);
    {
      std::lock_guard lk(Watched().m);
      Watched().workers.push_back(plat::GetCurrentThreadId());
    }
    const uint32_t result = Body(run, q);
    Watched().liveBodies.fetch_sub(1);
    return result;
  }

  static uint32_t Body(Run& run, Request& q) {
    Frame& f = Library();
    if (!f.FindSession(q.session)) {
      run.EndQuietly();
      return cvErrorInternalFailure;
    }
    if (q.opcode == kFailConnect) {
      run.Begin(cvErrorConnectionRefused);
      return cvErrorConnectionRefused;
    }
    if (q.opcode != kRun && q.opcode != kFreeOwnSession) return cvErrorInternalFailure;
    const LibHandle h = f.AllocSession();
    if (h == kInvalidLibHandle) return f.GetLastError();
    f.FindSession(h)->worker.store(true);
    run.SetSession(h);
    run.Begin(0);
    for (uint32_t i = 0; q.steps == 0 || i < q.steps; ++i) {
      plat::ThreadCheckpoint();
      Session* s = f.GetSession(h);
      if (!s) return cvErrorInvalidHandle;  // freed from a callback, or by the library's end
      if (s->canceled.Wait(2)) return cvErrorOperationCanceled;
      s->step.fetch_add(1);
      run.ProgressCallback()(h, cvcore::kTaskEventProgress, 0, run.ProgressParameter());
    }
    run.finalStatus().bytes = uint64_t(q.steps) << 32;
    if (q.opcode == kFreeOwnSession) f.FreeSession(h);
    return 0;
  }
};

inline Frame& Library() noexcept {
  static Frame frame;
  return frame;
}

inline void FrameTraits::BeforeFreeAll(Frame& f) { Tasks::BeforeFreeAll(f); }
inline void FrameTraits::OnProcessDetach(Frame&) { Tasks::TaskCleanupAll(); }
inline void FrameTraits::ReleaseSessionLocked(Frame&, Session& s) {
  Tasks::SessionReleased(s.header.handle);
  if (!s.worker.load() && Watched().liveBodies.load() != 0) Watched().callerFreedWhileBodiesRan.fetch_add(1);
}

}  // namespace fake
