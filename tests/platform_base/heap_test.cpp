#include <gtest/gtest.h>

#include <algorithm>
#include <cstring>
#include <string>

#include "platform/base/heap.h"
#include "platform/base/last_error.h"

namespace {

bool AllZero(const void* p, size_t n) {
  auto* b = static_cast<const unsigned char*>(p);
  for (size_t i = 0; i < n; ++i)
    if (b[i]) return false;
  return true;
}

TEST(Heap, BlocksAreZeroFilledAndSized) {
  plat::HeapHandle h = plat::HeapCreate(65535, 0);
  ASSERT_TRUE(h);
  // Reuse of freed memory must still read as zeros.
  for (int round = 0; round < 3; ++round) {
    auto* p = static_cast<unsigned char*>(plat::HeapAlloc(h, 4096));
    ASSERT_TRUE(p);
    EXPECT_TRUE(AllZero(p, 4096));
    EXPECT_EQ(plat::HeapSize(h, p), 4096u);
    std::memset(p, 0xAB, 4096);
    EXPECT_TRUE(plat::HeapFree(h, p));
  }
  EXPECT_TRUE(plat::HeapDestroy(h));
}

TEST(Heap, DestroyFreesEveryBlock) {
  // Run under AddressSanitizer this also proves nothing leaks.
  plat::HeapHandle h = plat::HeapCreate(65535, 0);
  for (int i = 0; i < 100; ++i) ASSERT_TRUE(plat::HeapAlloc(h, size_t(i) * 37 + 1));
  EXPECT_TRUE(plat::HeapDestroy(h));
  EXPECT_FALSE(plat::HeapDestroy(h));  // already gone
  EXPECT_EQ(plat::GetLastError(), plat::ERROR_INVALID_HANDLE);
  EXPECT_EQ(plat::HeapAlloc(h, 8), nullptr);
}

TEST(Heap, DoubleFreeAndForeignFreeAreDetected) {
  plat::HeapHandle a = plat::HeapCreate(0, 0), b = plat::HeapCreate(0, 0);
  void* p = plat::HeapAlloc(a, 32);
  EXPECT_FALSE(plat::HeapFree(b, p));  // not b's block
  EXPECT_EQ(plat::GetLastError(), plat::ERROR_INVALID_PARAMETER);
  EXPECT_EQ(plat::HeapSize(b, p), SIZE_MAX);
  EXPECT_TRUE(plat::HeapFree(a, p));
  EXPECT_FALSE(plat::HeapFree(a, p));  // twice
  int onStack = 0;
  EXPECT_FALSE(plat::HeapFree(a, &onStack));
  plat::HeapDestroy(a);
  plat::HeapDestroy(b);
}

TEST(Heap, MaximumSizeLimitsLiveBlocks) {
  plat::HeapHandle h = plat::HeapCreate(0, 100);
  void* p = plat::HeapAlloc(h, 60);
  ASSERT_TRUE(p);
  EXPECT_EQ(plat::HeapAlloc(h, 60), nullptr);
  EXPECT_TRUE(plat::HeapFree(h, p));
  EXPECT_TRUE(plat::HeapAlloc(h, 60));
  plat::HeapDestroy(h);
}

TEST(GlobalMemory, GrowsKeepingItsDataAndZeroFillsTheRest) {
  plat::UniqueGlobal g(plat::GlobalAlloc(plat::GHND, 4));
  ASSERT_TRUE(g);
  std::memcpy(plat::GlobalLock(g.get()), "abcd", 4);
  EXPECT_FALSE(plat::GlobalUnlock(g.get()));
  EXPECT_EQ(plat::GlobalReAlloc(g.get(), 100000, plat::GMEM_MOVEABLE), g.get());
  EXPECT_EQ(plat::GlobalSize(g.get()), 100000u);
  auto* p = static_cast<char*>(plat::GlobalLock(g.get()));
  EXPECT_EQ(std::memcmp(p, "abcd", 4), 0);
  EXPECT_TRUE(AllZero(p + 4, 100000 - 4));
  plat::GlobalUnlock(g.get());
}

// Big blocks live in mapped pages: through every change of size (small to big, big to
// bigger, back down and up again, big to small) the data stays and every byte the block
// gains reads as zero, also bytes an earlier, larger size had written.
TEST(GlobalMemory, ResizingAcrossTheBigBlockSizeKeepsDataAndZeroFills) {
  plat::UniqueGlobal g(plat::GlobalAlloc(plat::GHND, 3 << 20));
  ASSERT_TRUE(g);
  auto* p = static_cast<char*>(plat::GlobalLock(g.get()));
  EXPECT_TRUE(AllZero(p, 3 << 20));
  plat::GlobalUnlock(g.get());
  size_t size = 3 << 20;
  for (const size_t next : {size_t(100), size_t(5000), size_t(2 << 20) + 5, size_t(9 << 20), size_t(2 << 20) + 1,
                            size_t(2 << 20) + 4000, size_t(70), size_t(0), size_t(1 << 20)}) {
    p = static_cast<char*>(plat::GlobalLock(g.get()));
    std::memset(p, 'x', size);
    plat::GlobalUnlock(g.get());
    ASSERT_EQ(plat::GlobalReAlloc(g.get(), next, plat::GMEM_MOVEABLE), g.get()) << next;
    ASSERT_EQ(plat::GlobalSize(g.get()), next);
    p = static_cast<char*>(plat::GlobalLock(g.get()));
    const size_t kept = std::min(size, next);
    EXPECT_EQ(std::string(p, kept), std::string(kept, 'x')) << next;
    if (next > size) {
      EXPECT_TRUE(AllZero(p + size, next - size)) << next;
    }
    plat::GlobalUnlock(g.get());
    size = next;
  }
}

TEST(GlobalMemory, LockedBlockDoesNotMoveAndFreedHandleIsRefused) {
  plat::HGLOBAL g = plat::GlobalAlloc(plat::GHND, 16);
  void* p = plat::GlobalLock(g);
  EXPECT_EQ(plat::GlobalReAlloc(g, 1 << 20, plat::GMEM_MOVEABLE), nullptr);  // p stays valid
  EXPECT_EQ(plat::GlobalSize(g), 16u);
  EXPECT_EQ(p, plat::GlobalLock(g));
  EXPECT_TRUE(plat::GlobalUnlock(g));
  EXPECT_FALSE(plat::GlobalUnlock(g));
  EXPECT_EQ(plat::GlobalFree(g), nullptr);
  EXPECT_EQ(plat::GlobalFree(g), g);  // second free refused
  EXPECT_EQ(plat::GlobalSize(g), 0u);
  EXPECT_EQ(plat::GlobalLock(g), nullptr);
}

}  // namespace
