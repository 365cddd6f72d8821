// The socket library's frame: attach counting and version records, the rounded heaps,
// owner checks of handles, and the thread table.
#include <cstring>
#include <thread>

#include "core/errors/error_codes.h"
#include "sockets_util.h"

using namespace socktest;

namespace {

TEST(InetFrame, AttachCountsAndTheLastDetachClosesEveryHandle) {
  LibVersionInfo info{};
  info.size = sizeof info;
  info.options = kLibAttachFull;
  ASSERT_EQ(InetAttach(nullptr, &info), 1);
  EXPECT_EQ(info.majorVersion, 9u);
  EXPECT_EQ(info.build, 9530u);
  EXPECT_STREQ(info.banner, "Tarnwheeler Windows Sockets Library");
  EXPECT_NE(info.startupData, nullptr);
  info = LibVersionInfo{};
  info.size = sizeof info;
  info.options = kLibAttachFull;
  ASSERT_EQ(InetAttach(nullptr, &info), 1);
  EXPECT_EQ(InetIsInitialized(), 2u);

  SOCKET h = InetListen("127.0.0.1", 0, 5, 0);
  ASSERT_NE(h, INVALID_SOCKET);
  InetDetach();
  EXPECT_NE(InetLookupHandle(h), nullptr);  // one detach leaves handles open
  InetDetach();
  EXPECT_EQ(InetIsInitialized(), 0u);
  EXPECT_EQ(InetGetLastError(), cvErrorNetworkNotInitialized);
  EXPECT_EQ(InetLookupHandleAnyThread(h), nullptr);
  EXPECT_EQ(InetCreateSocket(2, 1, 6), INVALID_SOCKET);
  EXPECT_EQ(InetGetLastError(), cvErrorNetworkNotInitialized);
}

TEST(InetFrame, VersionRecordOfAnotherSizeFails) {
  LibVersionInfo info{};
  info.size = 100;
  EXPECT_EQ(InetAttach(nullptr, &info), 0);
  EXPECT_EQ(InetGetLastError(), cvErrorInvalidParameter);
  EXPECT_EQ(InetIsInitialized(), 0u);
  // A record whose options lack the full-attach bit is only filled.
  info = LibVersionInfo{};
  info.size = sizeof info;
  info.options = 1;
  EXPECT_EQ(InetAttach(nullptr, &info), 1);
  EXPECT_EQ(InetIsInitialized(), 0u);
}

class InetFrameAttached : public Attached {};

TEST_F(InetFrameAttached, RoundedBlocks) {
  EXPECT_EQ(MemAllocRounded(0), nullptr);
  auto* block = static_cast<unsigned char*>(MemAllocRounded(1024));
  ASSERT_NE(block, nullptr);
  EXPECT_EQ(block[2047], 0);  // 1,024 bytes reserve 2,048, zero-filled
  std::memset(block, 0xAB, 2048);
  SOCKET h = InetCreateSocket(2, 1, 6);
  auto* own = static_cast<unsigned char*>(MemHandleAlloc(h, 10));
  ASSERT_NE(own, nullptr);
  std::memset(own, 1, 1024);
  MemHandleFree(h, own);
  EXPECT_EQ(MemHandleAlloc(INVALID_SOCKET, 10), nullptr);
  InetReleaseHandle(h);
}

TEST_F(InetFrameAttached, OwnerChecksAndHandOver) {
  SOCKET h = InetCreateSocket(2, 1, 6);
  ASSERT_NE(h, INVALID_SOCKET);
  SOCKET free = InetCreateSocket(2, 1, 6);
  const uint32_t mainThread = plat::GetCurrentThreadId();
  InetLookupHandle(free)->options.fetch_or(kInetOptionAnyThread);
  std::thread([&] {
    EXPECT_EQ(InetLookupHandle(h), nullptr);
    EXPECT_EQ(InetGetLastError(), cvErrorNotHandleOwner);
    EXPECT_NE(InetLookupHandle(free), nullptr);
    EXPECT_NE(InetLookupHandleAnyThread(h), nullptr);
    InetReleaseHandle(h);  // not the owner: left alone
    EXPECT_NE(InetLookupHandleAnyThread(h), nullptr);
    EXPECT_EQ(InetSetHandleOwner(h), mainThread);
    EXPECT_NE(InetLookupHandle(h), nullptr);
    SOCKET mine[4];
    EXPECT_EQ(InetListThreadHandles(mine, 4), 1u);
    EXPECT_EQ(mine[0], h);
    InetReleaseHandle(h);
  }).join();
  EXPECT_EQ(InetLookupHandleAnyThread(h), nullptr);
  EXPECT_EQ(InetGetLastError(), cvErrorInvalidHandle);
  InetReleaseHandle(free);
}

TEST_F(InetFrameAttached, ThreadTableCountsUses) {
  std::thread([] {
    ASSERT_EQ(InetRegisterThread(0), 1);
    ASSERT_EQ(InetRegisterThread(0), 1);
    InetThreadRecord* t = InetGetThreadRecord();
    ASSERT_NE(t, nullptr);
    EXPECT_EQ(t->useCount, 2u);
    EXPECT_EQ(t->clientHandle, uint64_t(INVALID_SOCKET));
    InetReleaseThread(0);
    EXPECT_NE(InetGetThreadRecord(), nullptr);
    InetReleaseThread(0);
    EXPECT_EQ(InetGetThreadRecord(), nullptr);
  }).join();
}

TEST_F(InetFrameAttached, ErrorTexts) {
  char text[128];
  InetSetLastError(0);
  EXPECT_EQ(InetGetErrorText(0, text, sizeof text), 0u);
  EXPECT_GT(InetGetErrorText(cvErrorNotHandleOwner, text, sizeof text), 0u);
  EXPECT_STREQ(text, "Handle not owned by the current thread");
  char tiny[8];
  EXPECT_EQ(InetGetErrorText(cvErrorNotHandleOwner, tiny, sizeof tiny), 7u);
}

}  // namespace
