#include <gtest/gtest.h>

#include <algorithm>
#include <cstdint>
#include <random>
#include <set>
#include <vector>

#include "platform/base/tick.h"
#include "ssh/util/timer_list.h"
#include "ssh/util/tree234.h"

namespace {

int CompareInts(void* a, void* b) {
  const intptr_t x = reinterpret_cast<intptr_t>(a), y = reinterpret_cast<intptr_t>(b);
  return x < y ? -1 : x > y ? 1 : 0;
}
void* P(intptr_t v) { return reinterpret_cast<void*>(v); }

TEST(CountedTree, AddFindIndex) {
  CountedTree* t = TreeNew(CompareInts);
  EXPECT_EQ(TreeAdd(t, P(5)), P(5));
  EXPECT_EQ(TreeAdd(t, P(3)), P(3));
  EXPECT_EQ(TreeAdd(t, P(9)), P(9));
  EXPECT_EQ(TreeAdd(t, P(3)), P(3));  // already there: nothing inserted
  EXPECT_EQ(TreeCount(t), 3);
  EXPECT_EQ(TreeIndex(t, 0), P(3));
  EXPECT_EQ(TreeIndex(t, 1), P(5));
  EXPECT_EQ(TreeIndex(t, 2), P(9));
  EXPECT_EQ(TreeIndex(t, 3), nullptr);
  EXPECT_EQ(TreeIndex(t, -1), nullptr);
  int32_t pos = -1;
  EXPECT_EQ(TreeFindPosition(t, P(9), nullptr, &pos), P(9));
  EXPECT_EQ(pos, 2);
  EXPECT_EQ(TreeFind(t, P(4), nullptr), nullptr);
  EXPECT_EQ(TreeDelete(t, P(4)), nullptr);
  EXPECT_EQ(TreeDeleteAt(t, 3), nullptr);
  TreeFree(t);

  CountedTree* unsorted = TreeNew(nullptr);
  EXPECT_EQ(TreeAdd(unsorted, P(1)), nullptr);
  EXPECT_EQ(TreeCount(unsorted), 0);
  TreeFree(unsorted);
  EXPECT_EQ(TreeCount(nullptr), 0);
  EXPECT_EQ(TreeIndex(nullptr, 0), nullptr);
}

// Random inserts and deletes (by position and by element) against a sorted model; after
// every step the count, every position and every search agree with the model.
TEST(CountedTree, KeepsCountsThroughRandomSequences) {
  std::mt19937 rng(1234);
  for (int run = 0; run < 20; ++run) {
    CountedTree* t = TreeNew(CompareInts);
    std::set<intptr_t> model;
    for (int step = 0; step < 600; ++step) {
      const int op = int(rng() % 3);
      if (op < 2 || model.empty()) {
        const intptr_t v = intptr_t(rng() % 400) + 1;
        TreeAdd(t, P(v));
        model.insert(v);
      } else if (rng() % 2) {
        const int32_t pos = int32_t(rng() % model.size());
        const intptr_t want = *std::next(model.begin(), pos);
        ASSERT_EQ(TreeDeleteAt(t, pos), P(want));
        model.erase(want);
      } else {
        const intptr_t v = *std::next(model.begin(), long(rng() % model.size()));
        ASSERT_EQ(TreeDelete(t, P(v)), P(v));
        model.erase(v);
      }
      ASSERT_EQ(TreeCount(t), int32_t(model.size()));
      if (step % 25 == 0 || model.size() < 8) {
        int32_t i = 0;
        for (intptr_t v : model) {
          ASSERT_EQ(TreeIndex(t, i), P(v)) << "run " << run << " step " << step;
          int32_t pos = -1;
          ASSERT_EQ(TreeFindPosition(t, P(v), nullptr, &pos), P(v));
          ASSERT_EQ(pos, i);
          ++i;
        }
      }
    }
    TreeFree(t);
  }
}

TEST(CountedTree, DeletingAThousandInRandomOrderEmptiesIt) {
  CountedTree* t = TreeNew(CompareInts);
  std::vector<intptr_t> values(1000);
  for (int i = 0; i < 1000; ++i) values[size_t(i)] = i + 1;
  std::mt19937 rng(77);
  std::shuffle(values.begin(), values.end(), rng);
  for (intptr_t v : values) TreeAdd(t, P(v));
  std::shuffle(values.begin(), values.end(), rng);
  int32_t left = 1000;
  for (intptr_t v : values) {
    ASSERT_EQ(TreeDelete(t, P(v)), P(v));
    ASSERT_EQ(TreeCount(t), --left);
  }
  EXPECT_EQ(TreeIndex(t, 0), nullptr);
  TreeFree(t);
}

TEST(CountedTree, SearchWithItsOwnComparison) {
  CountedTree* t = TreeNew(CompareInts);
  for (intptr_t v : {10, 20, 30}) TreeAdd(t, P(v));
  // Finds the element whose tens digit equals the key.
  auto byTens = [](void* key, void* e) {
    const intptr_t k = reinterpret_cast<intptr_t>(key), x = reinterpret_cast<intptr_t>(e) / 10;
    return k < x ? -1 : k > x ? 1 : 0;
  };
  EXPECT_EQ(TreeFind(t, P(2), byTens), P(20));
  TreeFree(t);
}

// ---- timer list ----

uint64_t g_now = 0;
std::vector<int> g_fired;

class TimerList : public ::testing::Test {
 protected:
  void SetUp() override {
    TimerListReset();
    g_fired.clear();
    plat::SetTickSourceForTesting([] { return g_now; });
  }
  void TearDown() override {
    TimerListReset();
    plat::SetTickSourceForTesting(nullptr);
  }
};

void Record(void* ctx, uint32_t) { g_fired.push_back(*static_cast<int*>(ctx)); }

TEST_F(TimerList, FiresInDueOrderAndSkipsCancelledContexts) {
  g_now = 1000;
  int a = 1, b = 2, c = 3;
  EXPECT_EQ(TimerSchedule(300, Record, &a), 1300u);
  EXPECT_EQ(TimerSchedule(100, Record, &b), 1100u);
  EXPECT_EQ(TimerSchedule(200, Record, &c), 1200u);
  EXPECT_EQ(TimerSchedule(200, Record, &c), 1200u);  // identical timer listed once
  EXPECT_EQ(TimerPendingCount(), 3);
  TimerCancelContext(&c);
  EXPECT_EQ(TimerRunDue(1150), 1);
  EXPECT_EQ(TimerRunDue(2000), 1);  // c's timer is dropped without running
  EXPECT_EQ(g_fired, (std::vector<int>{2, 1}));
  EXPECT_EQ(TimerPendingCount(), 0);
}

TEST_F(TimerList, OrderSurvivesTheTickWrap) {
  g_now = 0xFFFFFF00u;  // the list's base tick
  int early = 1, late = 2;
  const uint32_t first = TimerSchedule(0x80, Record, &early);
  const uint32_t due = TimerSchedule(0x200, Record, &late);
  EXPECT_EQ(first, 0xFFFFFF80u);
  EXPECT_EQ(due, 0x100u);  // wrapped: smaller than now
  EXPECT_LT(due, uint32_t(g_now));
  EXPECT_EQ(TimerRunDue(0x100), 2);
  EXPECT_EQ(g_fired, (std::vector<int>{1, 2}));
}

TEST_F(TimerList, DueNotAfterTheBaseMovesJustPastIt) {
  g_now = 5000;
  int x = 1;
  TimerSchedule(10, Record, &x);  // first use: base = 5000
  EXPECT_EQ(TimerSchedule(0, Record, &x), 5001u);
  g_now = 4000;  // behind the base
  EXPECT_EQ(TimerSchedule(50, Record, &x), 5001u);
}

}  // namespace
