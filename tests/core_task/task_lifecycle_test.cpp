// The task engine's lifetimes: the library's end while tasks run, sessions freed by the
// task or its callback, callbacks that call back into the library on the worker.
#include <atomic>

#include "task_fixture.h"

namespace fake {
namespace {

using cvcore::kTaskEventBegin;
using cvcore::kTaskEventEnd;
using cvcore::kTaskEventProgress;

bool AnyWorkerAlive() {
  std::lock_guard lk(Watched().m);
  for (uint32_t id : Watched().workers)
    if (plat::Thread::FindById(id)) return true;
  return false;
}

TEST_F(TaskTest, TheLastDetachEndsAndJoinsEveryTaskBeforeSessionsAreFreed) {
  Log log;
  std::vector<uint32_t> ids;
  for (int i = 0; i < 6; ++i) ids.push_back(Start(kRun, 0, &log));
  ASSERT_TRUE(WaitUntil([&] { return Steps(ids.back()) > 0; }));
  ASSERT_EQ(Tasks::TaskSuspend(ids[0]), 1);  // a suspended one must end too
  // Progress may still come until the detach reaches a task; an end event never does.
  std::atomic<int32_t> endEvents{0};
  {
    std::lock_guard lk(log.m);
    log.onEvent = [&](const Seen& s) {
      if (s.event == kTaskEventEnd) endEvents.fetch_add(1);
    };
  }
  // A second attach keeps everything running.
  LibVersionInfo info{};
  info.size = sizeof info;
  info.options = kLibAttachFull;
  ASSERT_EQ(Lib().Attach(&info), 1);
  Lib().Detach();
  EXPECT_EQ(Tasks::TaskListRunning(nullptr), 5u);

  // The lock is held only once by the detach itself; the workers need it to end.
  Lib().Detach();
  EXPECT_EQ(Lib().IsInitialized(), 0u);
  EXPECT_FALSE(AnyWorkerAlive());
  EXPECT_EQ(Watched().liveBodies.load(), 0);
  EXPECT_EQ(Watched().callerFreedWhileBodiesRan.load(), 0);
  EXPECT_EQ(endEvents.load(), 0) << "tasks ended by the library fire no further callback";
}

TEST_F(TaskTest, ATaskMayFreeItsOwnSessionItselfOrFromItsCallback) {
  Log log;
  const uint32_t itself = Start(kFreeOwnSession, 3, &log);
  ASSERT_EQ(Tasks::TaskWait(itself, plat::INFINITE, nullptr, nullptr), 1);
  ASSERT_TRUE(JoinTask(itself));
  EXPECT_EQ(Tasks::TaskGetError(itself), 0u);
  std::vector<Seen> seen = log.Of(itself);
  ASSERT_EQ(seen.size(), 2u);
  EXPECT_EQ(seen[1].event, kTaskEventEnd);
  EXPECT_EQ(seen[1].handle, kInvalidLibHandle) << "the record forgot the freed session";
  EXPECT_EQ(seen[1].id, itself);

  // A callback freeing the worker's session on its second progress event (the session
  // is free-threaded for that, as a control's would not be).
  Log freeing;
  std::atomic<int32_t> progress{0};
  freeing.onEvent = [&](const Seen& s) {
    if (s.event == kTaskEventBegin) Lib().FindSession(s.handle)->options |= kLibOptionFreeThreaded;
    if (s.event == kTaskEventProgress && progress.fetch_add(1) == 1) Lib().FreeSession(s.handle);
  };
  const uint32_t fromCallback = Start(kRun, 0, &freeing);
  ASSERT_EQ(Tasks::TaskWait(fromCallback, plat::INFINITE, nullptr, nullptr), 1);
  ASSERT_TRUE(JoinTask(fromCallback));
  EXPECT_EQ(Tasks::TaskGetError(fromCallback), cvErrorInvalidHandle);
  seen = freeing.Of(fromCallback);
  ASSERT_FALSE(seen.empty());
  EXPECT_EQ(seen.back().event, kTaskEventEnd);
}

TEST_F(TaskTest, CallbacksOnTheWorkerMayCallIntoTheLibrary) {
  Log log;
  struct Answer {
    uint32_t event;
    int32_t wait, suspend, abort;
    uint32_t waitError, abortError, done;
  };
  std::vector<Answer> answers;
  log.onEvent = [&](const Seen& s) {
    if (s.event == kTaskEventProgress) return;
    Answer a{s.event, 0, 0, 0, 0, 0, 0};
    a.wait = Tasks::TaskWait(s.id, plat::INFINITE, nullptr, nullptr);
    a.waitError = Lib().GetLastError();
    a.suspend = Tasks::TaskSuspend(s.id);
    a.abort = Tasks::TaskAbort(s.id, plat::INFINITE);
    a.abortError = Lib().GetLastError();
    a.done = Tasks::TaskIsDone(s.id);
    answers.push_back(a);
  };
  const uint32_t id = Start(kRun, 2, &log);
  ASSERT_EQ(Tasks::TaskWait(id, plat::INFINITE, nullptr, nullptr), 1);
  ASSERT_TRUE(JoinTask(id));
  ASSERT_EQ(answers.size(), 2u);
  // Begin: its own thread cannot wait for, suspend or abort itself.
  EXPECT_EQ(answers[0].event, kTaskEventBegin);
  EXPECT_EQ(answers[0].wait, 0);
  EXPECT_EQ(answers[0].waitError, cvErrorThreadDeadlock);
  EXPECT_EQ(answers[0].suspend, 0);
  EXPECT_EQ(answers[0].abort, 0);
  EXPECT_EQ(answers[0].abortError, cvErrorThreadDeadlock);
  EXPECT_EQ(answers[0].done, 0u);
  // End: the task has finished by then.
  EXPECT_EQ(answers[1].event, kTaskEventEnd);
  EXPECT_EQ(answers[1].wait, 1);
  EXPECT_EQ(answers[1].abort, 0);
  EXPECT_EQ(answers[1].abortError, cvErrorTaskFinished);
  EXPECT_EQ(answers[1].done, 1u);
  EXPECT_EQ(Tasks::TaskGetError(id), 0u);
}

TEST_F(TaskTest, TheLibraryMayEndFromATasksOwnCallback) {
  Log log;
  const uint32_t other = Start(kRun, 0, &log);
  ASSERT_TRUE(WaitUntil([&] { return Steps(other) > 0; }));
  std::atomic<uint32_t> worker{0};
  Log ending;
  ending.onEvent = [&](const Seen& s) {
    if (s.event != kTaskEventBegin) return;
    worker.store(plat::GetCurrentThreadId());
    Lib().Detach();  // the last detach: the other task is joined, this one only marked
  };
  ASSERT_NE(Start(kRun, 0, &ending), 0u);
  ASSERT_TRUE(WaitUntil([&] { return worker.load() != 0 && !plat::Thread::FindById(worker.load()); }));
  EXPECT_EQ(Lib().IsInitialized(), 0u);
  EXPECT_FALSE(AnyWorkerAlive());
  EXPECT_EQ(ending.Count(), 1u) << "only the begin event";
}

}  // namespace
}  // namespace fake
