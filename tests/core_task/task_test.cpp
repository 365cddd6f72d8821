// The task engine through a test library: starting, reporting, suspension, abort, waits.
#include <atomic>
#include <chrono>

#include "task_fixture.h"

namespace fake {
namespace {

using cvcore::kTaskEventBegin;
using cvcore::kTaskEventEnd;
using cvcore::kTaskEventProgress;
using Clock = std::chrono::steady_clock;

int64_t MsSince(Clock::time_point start) {
  return std::chrono::duration_cast<std::chrono::milliseconds>(Clock::now() - start).count();
}

TEST_F(TaskTest, ReportsBeginProgressAndEndInOrderWithTheTaskId) {
  Log log;
  const uint32_t a = Start(kRun, 3, &log);
  const uint32_t b = Start(kRun, 3, &log);
  ASSERT_NE(a, 0u);
  EXPECT_EQ(b, a + 1);
  uint32_t elapsed = 0, result = 1;
  EXPECT_EQ(Tasks::TaskWait(a, plat::INFINITE, &elapsed, &result), 1);
  EXPECT_EQ(result, 0u);
  EXPECT_EQ(Tasks::TaskWait(b, plat::INFINITE, nullptr, nullptr), 1);
  ASSERT_TRUE(JoinTask(a) && JoinTask(b));  // the finished flag comes before the end event

  for (uint32_t id : {a, b}) {
    const std::vector<Seen> all = log.Of(id, true);
    ASSERT_EQ(all.size(), 5u) << "begin, three progress events, end";
    EXPECT_EQ(all.front().event, kTaskEventBegin);
    EXPECT_EQ(all.front().error, 0u);
    for (size_t i = 1; i < 4; ++i) EXPECT_EQ(all[i].event, kTaskEventProgress);
    EXPECT_EQ(all.back().event, kTaskEventEnd);
    EXPECT_EQ(all.back().error, 0u);
    EXPECT_EQ(Tasks::TaskIsDone(id), 1u);
    EXPECT_EQ(Tasks::TaskGetError(id), 0u);
    // The record forgot the session it ended.
    EXPECT_EQ(Tasks::TaskIdFromSession(all.back().handle), 0u);
  }
  uint64_t bytes = 0;
  EXPECT_EQ(Tasks::TaskGetStatus(
                a, &bytes, [](const FinalStatus& f, uint64_t& out) { out = f.bytes; },
                [](LibHandle, uint64_t&) { return false; }),
            cvcore::kTaskStateFinished);
  EXPECT_EQ(bytes, uint64_t(3) << 32);
}

TEST_F(TaskTest, FailedConnectAndVanishedCallerAndUnknownOpcodeEndWithTheirErrors) {
  Log log;
  const uint32_t refused = Start(kFailConnect, 0, &log);
  const uint32_t unknown = Start(kUnknown, 0, &log);
  const LibHandle gone = Lib().AllocSession();
  Lib().FreeSession(gone);
  const uint32_t orphan = Start(kRun, 1, &log, gone);
  for (uint32_t id : {refused, unknown, orphan}) {
    ASSERT_EQ(Tasks::TaskWait(id, plat::INFINITE, nullptr, nullptr), 1);
    ASSERT_TRUE(JoinTask(id));
  }

  // Without a session the callback still names its task (it asks from the worker).
  const std::vector<Seen> r = log.Of(refused);
  ASSERT_EQ(r.size(), 2u);
  EXPECT_EQ(r[0].event, kTaskEventBegin);
  EXPECT_EQ(r[0].handle, kInvalidLibHandle);
  EXPECT_EQ(r[0].error, cvErrorConnectionRefused);
  EXPECT_EQ(r[1].event, kTaskEventEnd);
  EXPECT_EQ(r[1].error, cvErrorConnectionRefused);
  EXPECT_EQ(Tasks::TaskGetError(refused), cvErrorConnectionRefused);

  ASSERT_EQ(log.Of(unknown).size(), 1u);
  EXPECT_EQ(Tasks::TaskGetError(unknown), cvErrorInternalFailure);

  EXPECT_TRUE(log.Of(orphan).empty()) << "no event when the caller's session is gone";
  EXPECT_EQ(Tasks::TaskGetError(orphan), cvErrorInternalFailure);
}

TEST_F(TaskTest, UnknownIdsAndOtherThreadsLookups) {
  const uint32_t id = 0x7FFFFFF0;
  EXPECT_EQ(Tasks::TaskIsDone(id), cvErrorInvalidTask);
  EXPECT_EQ(Tasks::TaskGetError(0), cvErrorInvalidTask);
  struct Case {
    const char* name;
    int32_t (*call)(uint32_t);
  };
  const Case cases[] = {
      {"suspend", &Tasks::TaskSuspend},
      {"resume", &Tasks::TaskResume},
      {"abort", [](uint32_t i) { return Tasks::TaskAbort(i, 0); }},
      {"wait", [](uint32_t i) { return Tasks::TaskWait(i, 0, nullptr, nullptr); }},
  };
  for (const Case& c : cases) {
    Lib().SetLastError(0);
    EXPECT_EQ(c.call(id), 0) << c.name;
    EXPECT_EQ(Lib().GetLastError(), cvErrorInvalidTask) << c.name;
  }
  uint32_t status = 5;
  EXPECT_EQ(Tasks::TaskGetStatus(
                id, &status, [](const FinalStatus&, uint32_t&) {}, [](LibHandle, uint32_t&) { return true; }),
            -1);
  EXPECT_EQ(status, 0u);
  // -1 from a thread that runs no task names nothing.
  EXPECT_EQ(Tasks::TaskIdFromSession(kInvalidLibHandle), 0u);
  EXPECT_EQ(Lib().GetLastError(), cvErrorInvalidHandle);
  EXPECT_EQ(Tasks::TaskWaitAll(&id, 0, 0), 0);
  EXPECT_EQ(Lib().GetLastError(), cvErrorBufferTooSmall);
}

TEST_F(TaskTest, SuspendStopsAtTheNextCheckpointAndResumeContinues) {
  // The worker is held in its first progress event (one step done) while the suspension
  // is asked for, so its next checkpoint surely comes after it: the count stays at one
  // however slowly the worker runs.
  Log log;
  std::atomic<bool> inEvent{false}, release{false};
  log.onEvent = [&](const Seen& s) {
    if (s.event == kTaskEventProgress && !inEvent.exchange(true)) WaitUntil([&] { return release.load(); });
  };
  const uint32_t id = Start(kRun, 0, &log);
  const struct EndAtExit {  // the worker reports into log: end it before log goes
    uint32_t id;
    std::atomic<bool>& release;
    ~EndAtExit() {
      release = true;
      Tasks::TaskAbort(id, 10000);
    }
  } endAtExit{id, release};
  ASSERT_TRUE(WaitUntil([&] { return inEvent.load(); }));
  ASSERT_EQ(Tasks::TaskSuspend(id), 1);
  EXPECT_EQ(Tasks::TaskSuspend(id), 1) << "suspending a suspended task answers at once";
  release = true;
  const uint32_t held = 1;
  std::this_thread::sleep_for(std::chrono::milliseconds(100));  // a step would show by now
  EXPECT_EQ(Steps(id), held);

  EXPECT_EQ(Tasks::TaskGetError(id), cvErrorTaskSuspended);
  uint32_t s = 0;
  EXPECT_EQ(Tasks::TaskGetStatus(
                id, &s, [](const FinalStatus&, uint32_t&) {}, [](LibHandle, uint32_t&) { return true; }),
            cvcore::kTaskStateSuspended);
  EXPECT_EQ(Tasks::TaskWait(id, 1000, nullptr, nullptr), 0);
  EXPECT_EQ(Lib().GetLastError(), cvErrorTaskSuspended);
  uint32_t ids[cvcore::kTaskSlots];
  EXPECT_EQ(Tasks::TaskListRunning(ids), 0u);

  ASSERT_EQ(Tasks::TaskResume(id), 1);
  EXPECT_EQ(Tasks::TaskResume(id), 1) << "resuming a running task answers at once";
  EXPECT_TRUE(WaitUntil([&] { return Steps(id) > held + 2; }));
  EXPECT_EQ(Tasks::TaskGetError(id), cvErrorTaskActive);
  ASSERT_EQ(Tasks::TaskListRunning(ids), 1u);
  EXPECT_EQ(ids[0], id);
  EXPECT_EQ(Tasks::TaskIsDone(id), 0u);
}

TEST_F(TaskTest, AbortEndsRunningAndSuspendedTasksWithTheCanceledError) {
  Log log;
  const uint32_t running = Start(kRun, 0, &log);
  const uint32_t suspended = Start(kRun, 0, &log);
  ASSERT_TRUE(WaitUntil([&] { return Steps(suspended) > 0; }));
  ASSERT_EQ(Tasks::TaskSuspend(suspended), 1);
  for (uint32_t id : {running, suspended}) {
    EXPECT_EQ(Tasks::TaskAbort(id, 10000), 1);
    EXPECT_EQ(Tasks::TaskIsDone(id), 1u);
    EXPECT_EQ(Tasks::TaskGetError(id), cvErrorOperationCanceled);
    const std::vector<Seen> seen = log.Of(id);
    ASSERT_EQ(seen.size(), 2u);
    EXPECT_EQ(seen[1].event, kTaskEventEnd);
    EXPECT_EQ(seen[1].error, cvErrorOperationCanceled);
    EXPECT_EQ(Tasks::TaskAbort(id, 0), 0);
    EXPECT_EQ(Lib().GetLastError(), cvErrorTaskFinished);
  }
}

TEST_F(TaskTest, AbortRacingTheStartStillEndsTheTask) {
  // Another thread aborts each task the moment its id exists: before its body starts,
  // while it opens its session or while it runs, the task ends canceled with an end event.
  Log log;
  uint32_t next = Start(kRun, 1) + 1;
  for (int i = 0; i < 8; ++i, ++next) {
    std::atomic<int32_t> answer{-1};
    std::thread aborter([&] {
      int32_t r = 0;
      while ((r = Tasks::TaskAbort(next, 10000)) == 0 && Lib().GetLastError() == cvErrorInvalidTask)
        std::this_thread::yield();
      answer.store(r);
    });
    ASSERT_EQ(Start(kRun, 0, &log), next);
    aborter.join();
    EXPECT_EQ(answer.load(), 1);
    EXPECT_EQ(Tasks::TaskGetError(next), cvErrorOperationCanceled);
    ASSERT_FALSE(log.Of(next).empty());
    EXPECT_EQ(log.Of(next).back().event, kTaskEventEnd);
    EXPECT_EQ(log.Of(next).back().error, cvErrorOperationCanceled);
  }
}

TEST_F(TaskTest, WaitsReturnWhenTheirTimeRunsOut) {
  const uint32_t id = Start(kRun);
  uint32_t elapsed = 0, result = 7;
  Lib().SetLastError(cvErrorOperationCanceled);
  EXPECT_EQ(Tasks::TaskWait(id, 0, &elapsed, &result), 0);
  EXPECT_EQ(Lib().GetLastError(), 0u) << "a wait that runs out is no error";
  EXPECT_GE(elapsed, cvcore::kTaskStartPauseMs) << "the time since the start so far";
  EXPECT_EQ(result, 0u);

  auto start = Clock::now();
  EXPECT_EQ(Tasks::TaskWait(id, 200, &elapsed, nullptr), 0);
  EXPECT_GE(MsSince(start), 200);
  EXPECT_LT(MsSince(start), 5000);
  EXPECT_GE(elapsed, 200u);

  start = Clock::now();
  EXPECT_EQ(Tasks::TaskWaitAll(&id, 1, 250), 0);
  EXPECT_GE(MsSince(start), 250);
  EXPECT_LT(MsSince(start), 5000);
  // Many running tasks share one budget: the wait does not spend a slice on each of them.
  std::vector<uint32_t> many(20);
  for (uint32_t& t : many) ASSERT_NE(t = Start(kRun), 0u);
  start = Clock::now();
  EXPECT_EQ(Tasks::TaskWaitAll(many.data(), int32_t(many.size()), 100), 0);
  EXPECT_GE(MsSince(start), 100);
  EXPECT_LT(MsSince(start), 1000) << "20 tasks at 100 ms each would take 2 s";
  for (uint32_t t : many) Tasks::TaskAbort(t, 0);

  start = Clock::now();
  EXPECT_EQ(Tasks::TaskWaitAll(nullptr, 0, 0), 0) << "the running tasks, not waited for";
  EXPECT_LT(MsSince(start), 5000);

  // Once all have ended the wait for all answers 1; an ended task's wait answers at once.
  const uint32_t quick = Start(kRun, 2);
  const uint32_t both[] = {id, quick};
  Tasks::TaskAbort(id, 0);  // no wait: the wait for all waits for its end
  EXPECT_EQ(Tasks::TaskWaitAll(both, 2, plat::INFINITE), 1);
  EXPECT_EQ(Tasks::TaskWaitAll(nullptr, 0, plat::INFINITE), 1);
  EXPECT_EQ(Tasks::TaskWait(quick, 0, &elapsed, &result), 1);
}

TEST_F(TaskTest, TheFullTableRefusesATaskUntilOneHasEndedAndThenReusesTheOldestEnded) {
  std::vector<uint32_t> ids;
  for (uint32_t i = 0; i < cvcore::kTaskSlots; ++i) {
    const uint32_t id = Start(kRun);
    ASSERT_NE(id, 0u) << i;
    ids.push_back(id);
  }
  EXPECT_EQ(Start(kRun), 0u);
  EXPECT_EQ(Lib().GetLastError(), cvErrorTooManyThreads);

  const uint32_t first = ids[70], second = ids[5];
  const uint32_t firstSlot = SlotOf(first);
  ASSERT_EQ(Tasks::TaskAbort(first, 10000), 1);
  std::this_thread::sleep_for(std::chrono::milliseconds(20));
  ASSERT_EQ(Tasks::TaskAbort(second, 10000), 1);

  const uint32_t next = Start(kRun);
  ASSERT_NE(next, 0u);
  EXPECT_EQ(SlotOf(next), firstSlot);
  EXPECT_EQ(Tasks::TaskIsDone(first), cvErrorInvalidTask) << "its record went with the slot";
  EXPECT_EQ(Tasks::TaskIsDone(second), 1u);
  EXPECT_EQ(Tasks::TaskListRunning(nullptr), cvcore::kTaskSlots - 1);
}

}  // namespace
}  // namespace fake
