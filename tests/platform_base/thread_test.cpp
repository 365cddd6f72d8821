#include <gtest/gtest.h>

#include <pthread.h>

#include <atomic>

#include "platform/base/thread.h"
#include "platform/base/tick.h"

namespace {

TEST(Thread, CreatedSuspendedDoesNothingUntilResumed) {
  std::atomic<bool> ran{false};
  auto t = plat::Thread::Create([&] { ran = true; return 7u; }, {.stackSize = 0, .suspended = true});
  ASSERT_TRUE(t);
  EXPECT_NE(t->id(), 0u);
  EXPECT_FALSE(t->Join(50));
  EXPECT_FALSE(ran);
  EXPECT_EQ(t->Resume(), 1u);
  EXPECT_TRUE(t->Join());
  EXPECT_TRUE(ran);
  EXPECT_EQ(t->ExitCode(), 7u);
}

TEST(Thread, StackSizeIsApplied) {
  size_t seen = 0;
  auto t = plat::Thread::Create(
      [&] {
        pthread_attr_t attr;
        pthread_getattr_np(pthread_self(), &attr);
        pthread_attr_getstacksize(&attr, &seen);
        pthread_attr_destroy(&attr);
        return 0u;
      },
      {.stackSize = 512 * 1024, .suspended = false});
  ASSERT_TRUE(t && t->Join());
  EXPECT_GE(seen, 512u * 1024);
  EXPECT_LT(seen, 1024u * 1024);
}

TEST(Thread, CooperativeSuspendStopsAtNextCheckpoint) {
  std::atomic<uint32_t> steps{0};
  auto t = plat::Thread::Create([&] {
    while (!plat::CurrentCancelToken()->IsCanceled()) {
      plat::ThreadCheckpoint();
      ++steps;
      plat::Sleep(1);
    }
    return 0u;
  });
  ASSERT_TRUE(t);
  while (steps < 3) plat::Sleep(1);
  t->Suspend();
  plat::Sleep(20);  // let it reach the checkpoint
  uint32_t frozen = steps;
  plat::Sleep(50);
  EXPECT_LE(steps - frozen, 1u);  // at most the step that was running when asked
  t->Resume();
  uint32_t resumed = steps;
  while (steps == resumed) plat::Sleep(1);
  t->Cancel();
  EXPECT_TRUE(t->Join());
}

TEST(Thread, CancelReleasesASuspendedThread) {
  std::atomic<bool> ran{false};
  auto t = plat::Thread::Create([&] { ran = true; return 0u; }, {.stackSize = 0, .suspended = true});
  t->Cancel();
  EXPECT_TRUE(t->cancel().IsCanceled());
  EXPECT_TRUE(t->Join());
  EXPECT_FALSE(ran);  // canceled before it ever started its body
}

TEST(Thread, TimedJoinReturnsWhenTheTimeRunsOut) {
  auto t = plat::Thread::Create([] {
    // Waits on its cancel token, as a library wait would.
    plat::Event dummy;
    while (!plat::CurrentCancelToken()->IsCanceled()) plat::Sleep(1);
    return 0u;
  });
  uint64_t a = plat::GetTickCount64();
  EXPECT_FALSE(t->Join(40));
  EXPECT_GE(plat::GetTickCount64() - a, 40u);
  t->Cancel();
  EXPECT_TRUE(t->Join(plat::INFINITE));
}

TEST(Thread, LookupByIdFindsOnlyLiveThreads) {
  plat::Event go;
  uint32_t selfId = 0;
  auto t = plat::Thread::Create([&] {
    selfId = plat::GetCurrentThreadId();
    EXPECT_EQ(plat::Thread::Current().get(), plat::Thread::FindById(selfId).get());
    go.Wait();
    return 0u;
  });
  while (plat::Thread::FindById(t->id()) == nullptr) plat::Sleep(1);
  EXPECT_EQ(plat::Thread::FindById(t->id()), t);
  go.Set();
  t->Join();
  EXPECT_EQ(selfId, t->id());
  EXPECT_EQ(plat::Thread::FindById(t->id()), nullptr);
  EXPECT_EQ(plat::Thread::Current(), nullptr);  // the test's own thread was not created here
}

}  // namespace
