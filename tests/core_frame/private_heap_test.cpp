// The library's private heaps: the library heap and one heap per session.
#include <gtest/gtest.h>

#include <cstring>
#include <thread>

#include "ftp/ftp.h"
#include "ftp/ftp_library.h"

namespace {

bool AllZero(const void* p, size_t n) {
  auto* b = static_cast<const unsigned char*>(p);
  for (size_t i = 0; i < n; ++i)
    if (b[i]) return false;
  return true;
}

class PrivateHeap : public ::testing::Test {
 protected:
  void SetUp() override { ASSERT_EQ(FtpAttach(nullptr), 1); }
  void TearDown() override {
    while (FtpIsInitialized() > 0) FtpDetach();
  }
};

TEST_F(PrivateHeap, BlocksOfBothHeapsAreZeroFilledAndSizeZeroIsRefused) {
  EXPECT_EQ(cvftp::MemAlloc(0), nullptr);
  LibHandle h = FtpAllocSession();
  EXPECT_EQ(cvftp::MemSessionAlloc(h, 0), nullptr);
  for (int round = 0; round < 3; ++round) {
    void* a = cvftp::MemAlloc(1000);
    void* b = cvftp::MemSessionAlloc(h, 1000);
    ASSERT_TRUE(a && b);
    EXPECT_TRUE(AllZero(a, 1000));
    EXPECT_TRUE(AllZero(b, 1000));
    std::memset(a, 0xFF, 1000);
    std::memset(b, 0xFF, 1000);
    cvftp::MemFree(a);
    cvftp::MemSessionFree(h, b);
  }
  cvftp::MemFree(nullptr);
  cvftp::MemSessionFree(h, nullptr);
}

TEST_F(PrivateHeap, SessionHeapGoesWithTheSession) {
  LibHandle h = FtpAllocSession();
  plat::HeapHandle heap = cvftp::MemSessionHeap(h);
  ASSERT_NE(heap, nullptr);
  EXPECT_NE(heap, cvftp::MemLibraryHeap());
  // Blocks never freed by the session are reclaimed with it (clean under ASan).
  for (int i = 0; i < 10; ++i) ASSERT_NE(cvftp::MemSessionAlloc(h, 4096), nullptr);
  FtpFreeSession(h);
  EXPECT_EQ(cvftp::MemSessionAlloc(h, 16), nullptr);
  EXPECT_EQ(cvftp::MemSessionHeap(h), nullptr);
  EXPECT_EQ(cvftp::MemSessionHeap(kInvalidLibHandle), nullptr);
  cvftp::MemDestroySessionHeap(kInvalidLibHandle);  // nothing
}

TEST_F(PrivateHeap, DestroyedSessionHeapIsCreatedAgainOnUse) {
  LibHandle h = FtpAllocSession();
  void* block = cvftp::MemSessionAlloc(h, 64);
  cvftp::MemDestroySessionHeap(h);
  cvftp::MemSessionFree(h, block);  // a block of the destroyed heap: refused, no crash
  EXPECT_NE(cvftp::MemSessionAlloc(h, 64), nullptr);
}

TEST_F(PrivateHeap, ForeignBlocksAreRefused) {
  LibHandle a = FtpAllocSession(), b = FtpAllocSession();
  void* block = cvftp::MemSessionAlloc(a, 64);
  cvftp::MemSessionFree(b, block);  // not b's: refused
  cvftp::MemFree(block);            // not the library heap's either
  EXPECT_EQ(plat::HeapSize(cvftp::MemSessionHeap(a), block), 64u);
  cvftp::MemSessionFree(a, block);
  cvftp::MemSessionFree(a, block);  // twice: refused
  EXPECT_EQ(plat::HeapSize(cvftp::MemSessionHeap(a), block), SIZE_MAX);
}

TEST_F(PrivateHeap, SessionHeapIsReachableFromOtherThreads) {
  LibHandle h = FtpAllocSession();
  void* block = nullptr;
  std::thread([&] { block = cvftp::MemSessionAlloc(h, 128); }).join();
  ASSERT_NE(block, nullptr);
  EXPECT_EQ(plat::HeapSize(cvftp::MemSessionHeap(h), block), 128u);
}

TEST_F(PrivateHeap, LibraryHeapIsDestroyedAtProcessDetachAndCreatedAgain) {
  void* block = cvftp::MemAlloc(32);
  ASSERT_NE(block, nullptr);
  FtpDetach();  // attached without a module: also the last process detach
  EXPECT_EQ(cvftp::Library().ProcessAttachCount(), -1);
  EXPECT_NE(cvftp::MemAlloc(32), nullptr);  // a new heap on first use
  cvftp::MemDestroyLibraryHeap();
}

}  // namespace
