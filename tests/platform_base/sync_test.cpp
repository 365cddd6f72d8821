#include <gtest/gtest.h>

#include <poll.h>

#include <atomic>
#include <thread>
#include <vector>

#include "platform/base/last_error.h"
#include "platform/base/sync.h"
#include "platform/base/tick.h"

namespace {

uint64_t g_fakeNow = 0;
uint64_t FakeNow() { return g_fakeNow; }

// Descriptors of destroyed events are handed to new ones: a new event starts clear even
// when the one before it was destroyed while set.
TEST(EventReuse, NewEventsStartClearWhateverTheirPredecessorsLeft) {
  for (int i = 0; i < 8; ++i) {
    { plat::Event set(plat::Event::Reset::Manual, true); }
    plat::Event fresh(plat::Event::Reset::Auto);
    ASSERT_TRUE(fresh.valid());
    EXPECT_FALSE(fresh.Wait(0));
    plat::Event initially(plat::Event::Reset::Manual, true);
    EXPECT_TRUE(initially.IsSet());
  }
}

TEST(Tick, InjectedSourceWrapsAt32Bits) {
  g_fakeNow = 0xFFFFFFF0ull;
  plat::SetTickSourceForTesting(&FakeNow);
  uint32_t start = plat::GetTickCount();
  g_fakeNow += 0x20;
  uint32_t now = plat::GetTickCount();
  plat::SetTickSourceForTesting(nullptr);
  EXPECT_LT(now, start);               // wrapped
  EXPECT_EQ(uint32_t(now - start), 0x20u);  // unsigned difference still right
}

TEST(Tick, MonotonicAndSleepAdvancesIt) {
  uint64_t a = plat::GetTickCount64();
  plat::Sleep(20);
  EXPECT_GE(plat::GetTickCount64() - a, 20u);
}

TEST(LastError, IsPerThread) {
  plat::SetLastError(10038);
  std::thread([] {
    EXPECT_EQ(plat::GetLastError(), 0u);
    plat::SetLastError(5);
  }).join();
  EXPECT_EQ(plat::GetLastError(), 10038u);
}

TEST(Event, ManualResetStaysSetAndIsPollable) {
  plat::Event ev;
  EXPECT_FALSE(ev.Wait(0));
  ev.Set();
  pollfd p{ev.fd(), POLLIN, 0};
  EXPECT_EQ(poll(&p, 1, 0), 1);
  EXPECT_TRUE(ev.Wait(0));
  EXPECT_TRUE(ev.Wait(0));
  ev.Reset();
  EXPECT_FALSE(ev.IsSet());
}

TEST(Event, AutoResetReleasesOneWaitPerSet) {
  plat::Event ev(plat::Event::Reset::Auto);
  ev.Set();
  ev.Set();  // two sets before a wait still release only one wait
  EXPECT_TRUE(ev.Wait(0));
  EXPECT_FALSE(ev.Wait(0));
}

TEST(Event, WaitWakesOnSetFromAnotherThreadAndTimesOut) {
  plat::Event ev;
  std::thread t([&] {
    plat::Sleep(10);
    ev.Set();
  });
  EXPECT_TRUE(ev.Wait(plat::INFINITE));
  t.join();
  plat::Event never;
  uint64_t a = plat::GetTickCount64();
  EXPECT_FALSE(never.Wait(30));
  EXPECT_GE(plat::GetTickCount64() - a, 30u);
}

TEST(ThreadSlot, InstancesAreIndependentAndPerThread) {
  plat::ThreadSlot a, b;
  ASSERT_TRUE(a.valid() && b.valid());
  a.SetValue(1);
  b.SetValue(2);
  EXPECT_EQ(a.GetValue(), 1u);
  EXPECT_EQ(b.GetValue(), 2u);
  std::thread([&] { EXPECT_EQ(a.GetValue(), 0u); }).join();
}

TEST(RecursiveLock, ReentersOnOneThreadAndExcludesOthers) {
  plat::RecursiveLock lock;
  std::lock_guard outer(lock);
  std::lock_guard inner(lock);
  bool other = true;
  std::thread([&] { other = lock.try_lock(); }).join();
  EXPECT_FALSE(other);
}

// Threads that find the lock taken try again before they wait: every one of them must still
// get in, one at a time, nested or not.
TEST(RecursiveLock, ContendedTakersAllGetInOneAtATime) {
  plat::RecursiveLock lock;
  constexpr int kThreads = 8, kRounds = 20000;
  int inside = 0, total = 0, overlaps = 0;
  std::vector<std::thread> threads;
  for (int t = 0; t < kThreads; ++t) {
    threads.emplace_back([&] {
      for (int i = 0; i < kRounds; ++i) {
        std::lock_guard outer(lock);
        std::lock_guard inner(lock);
        if (++inside != 1) ++overlaps;
        ++total;
        --inside;
      }
    });
  }
  for (std::thread& t : threads) t.join();
  EXPECT_EQ(overlaps, 0);
  EXPECT_EQ(total, kThreads * kRounds);
}

}  // namespace
