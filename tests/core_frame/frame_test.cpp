// The library frame, exercised through its two first instances (FTP and HTTP).
#include <gtest/gtest.h>

#include <cstring>
#include <string>
#include <thread>
#include <vector>

#include "core/errors/error_codes.h"
#include "ftp/ftp.h"
#include "ftp/ftp_library.h"
#include "http/http.h"
#include "http/http_library.h"
#include "platform/base/last_error.h"
#include "platform/base/thread.h"
#include "platform/version.h"

namespace {

constexpr LibHandle kNone = kInvalidLibHandle;

LibVersionInfo Record(uint32_t options) {
  LibVersionInfo info{};
  info.size = sizeof info;
  info.options = options;
  info.reserved2 = 0x1234;
  return info;
}

// Every test starts with both libraries unattached and leaves them so.
class Frame : public ::testing::Test {
 protected:
  void TearDown() override {
    while (FtpIsInitialized() > 0) FtpDetach();
    while (HttpIsInitialized() > 0) HttpDetach();
    plat::SetOsVersionSourceForTesting(nullptr);
  }
  static void AttachFtp() {
    LibVersionInfo info = Record(kLibAttachFull);
    ASSERT_EQ(FtpAttach(&info), 1);
  }
};

TEST_F(Frame, FillOnlyAttachWritesTheRecordAndCountsNothing) {
  LibVersionInfo info = Record(0x01000000);
  EXPECT_EQ(FtpAttach(&info), 1);
  EXPECT_EQ(info.majorVersion, 9u);
  EXPECT_EQ(info.minorVersion, 5u);
  EXPECT_EQ(info.build, 9530u);
  EXPECT_EQ(info.options, 0u);
  EXPECT_EQ(info.reserved2, 0u);
  EXPECT_STREQ(info.banner, "Corvanetics File Transfer Protocol Library");
  EXPECT_EQ(FtpIsInitialized(), 0u);
  EXPECT_EQ(FtpGetLastError(), cvErrorNetworkNotInitialized);
  EXPECT_EQ(FtpAllocSession(), kNone);

  LibVersionInfo http = Record(0x01000000);
  EXPECT_EQ(HttpAttach(&http), 1);
  EXPECT_STREQ(http.banner, "Corvanetics Hypertext Transfer Protocol Library");
}

TEST_F(Frame, FullAttachCountsAndBadRecordsFail) {
  LibVersionInfo info = Record(kLibAttachFull);
  EXPECT_EQ(FtpAttach(&info), 1);
  EXPECT_NE(info.startupData, nullptr);  // the library's socket start-up data
  EXPECT_EQ(FtpAttach(nullptr), 1);  // no record: a full attach too
  EXPECT_EQ(FtpIsInitialized(), 2u);
  EXPECT_EQ(FtpGetLastError(), 0u);

  LibVersionInfo bad = Record(kLibAttachFull);
  bad.size = 167;
  EXPECT_EQ(FtpAttach(&bad), 0);
  EXPECT_EQ(FtpGetLastError(), cvErrorInvalidParameter);
  EXPECT_EQ(bad.banner[0], '\0');  // untouched
  EXPECT_EQ(FtpIsInitialized(), 2u);
}

TEST_F(Frame, OperatingSystemVersionIsChecked) {
  plat::SetOsVersionSourceForTesting([](plat::OsVersion* v) {
    *v = plat::OsVersion{4, 0, 1381, 2};
    return true;
  });
  EXPECT_EQ(FtpAttach(nullptr), 0);
  EXPECT_EQ(FtpGetLastError(), cvErrorInvalidVersion);
  // A version that cannot be read does not stop the attach itself (only the socket
  // start-up of a full attach looks at it again).
  plat::SetOsVersionSourceForTesting([](plat::OsVersion*) { return false; });
  LibVersionInfo info = Record(0x01000000);
  EXPECT_EQ(FtpAttach(&info), 1);
  EXPECT_EQ(info.build, 9530u);
}

TEST_F(Frame, HandlesAreConsecutiveAndSlotsAreReused) {
  AttachFtp();
  LibHandle a = FtpAllocSession(), b = FtpAllocSession();
  ASSERT_NE(a, kNone);
  EXPECT_GE(a, 4096u);
  EXPECT_LE(a, 4351u);
  EXPECT_EQ(b, a + 1);
  FtpFreeSession(a);
  EXPECT_EQ(FtpGetSession(a), nullptr);
  EXPECT_EQ(FtpGetLastError(), cvErrorInvalidHandle);
  EXPECT_EQ(FtpAllocSession(), a);

  FtpSession* s = FtpGetSession(b);
  ASSERT_NE(s, nullptr);
  EXPECT_EQ(s->header.handle, b);
  EXPECT_EQ(s->header.slot, uint32_t(b - a));
  EXPECT_EQ(s->header.ownerThread, plat::GetCurrentThreadId());
  EXPECT_EQ(s->header.controlSocket, INVALID_SOCKET);
  EXPECT_EQ(s->dataSocket, INVALID_SOCKET);
  ASSERT_NE(s->dataBuffer, nullptr);
  EXPECT_EQ(s->dataBuffer[kFtpDataBufferSize - 1], 0);
  EXPECT_NE(s->streams, nullptr);
}

TEST_F(Frame, TableGrowsKeepingEarlierHandlesValid) {
  AttachFtp();
  std::vector<LibHandle> handles;
  for (int i = 0; i < 257; ++i) handles.push_back(FtpAllocSession());
  EXPECT_EQ(cvftp::Library().Capacity(), 512u);
  for (size_t i = 0; i < handles.size(); ++i) {
    ASSERT_EQ(handles[i], handles[0] + i);
    FtpSession* s = FtpGetSession(handles[i]);
    ASSERT_NE(s, nullptr) << i;
    EXPECT_EQ(s->header.handle, handles[i]);
  }
}

TEST_F(Frame, BadHandlesGiveInvalidHandle) {
  AttachFtp();
  LibHandle h = FtpAllocSession();
  const uint32_t base = cvftp::Library().HandleBase();
  const LibHandle freed = FtpAllocSession();
  FtpFreeSession(freed);
  for (LibHandle bad : {kNone, LibHandle(base - 1), LibHandle(0), LibHandle(base + 256), freed,
                        LibHandle(h) + (LibHandle(1) << 32)}) {
    FtpSetLastError(0);
    EXPECT_EQ(FtpGetSession(bad), nullptr) << bad;
    EXPECT_EQ(FtpGetLastError(), cvErrorInvalidHandle) << bad;
    EXPECT_EQ(FtpFindSession(bad), nullptr);
    EXPECT_EQ(FtpSetHandleOwner(bad, 0), 0xFFFFFFFFu);
  }
  FtpFreeSession(kNone);  // harmless
}

TEST_F(Frame, OtherThreadsGetNotOwnerUnlessFreeThreaded) {
  AttachFtp();
  LibHandle mine = FtpAllocSession(), shared = FtpAllocSession();
  FtpGetSession(shared)->options |= kLibOptionFreeThreaded;
  std::thread([&] {
    EXPECT_EQ(FtpGetSession(mine), nullptr);
    EXPECT_EQ(FtpGetLastError(), cvErrorNotHandleOwner);
    EXPECT_NE(FtpFindSession(mine), nullptr);  // no owner check
    EXPECT_NE(FtpGetSession(shared), nullptr);
    FtpFreeSession(mine);  // not the owner: nothing happens
  }).join();
  EXPECT_NE(FtpGetSession(mine), nullptr);

  // Handing the session over moves the owner check.
  uint32_t me = plat::GetCurrentThreadId();
  std::thread([&] {
    EXPECT_EQ(FtpSetHandleOwner(mine, 0), me);
    EXPECT_NE(FtpGetSession(mine), nullptr);
  }).join();
  EXPECT_EQ(FtpGetSession(mine), nullptr);
  EXPECT_EQ(FtpGetLastError(), cvErrorNotHandleOwner);
}

TEST_F(Frame, LastDetachFreesEverySessionWhateverItsOwner) {
  AttachFtp();
  AttachFtp();
  LibHandle mine = FtpAllocSession();
  LibHandle theirs = kNone;
  std::thread([&] { theirs = FtpAllocSession(); }).join();
  FtpDetach();
  EXPECT_NE(FtpGetSession(mine), nullptr);
  EXPECT_NE(FtpFindSession(theirs), nullptr);
  FtpDetach();
  EXPECT_EQ(FtpIsInitialized(), 0u);
  EXPECT_EQ(FtpFindSession(mine), nullptr);
  EXPECT_EQ(FtpFindSession(theirs), nullptr);
  // Attached without a module: the last detach was also the last process detach.
  EXPECT_EQ(cvftp::Library().ProcessAttachCount(), -1);
  EXPECT_EQ(FtpAllocSession(), kNone);
  EXPECT_EQ(FtpGetLastError(), cvErrorNetworkNotInitialized);
}

TEST_F(Frame, ModuleAttachKeepsTheProcessAttachAcrossDetach) {
  int module = 0;
  FtpProcessAttach(&module);
  AttachFtp();
  LibHandle h = FtpAllocSession();
  FtpDetach();
  EXPECT_EQ(cvftp::Library().ProcessAttachCount(), 1);
  EXPECT_EQ(FtpFindSession(h), nullptr);
  FtpProcessDetach();
  EXPECT_EQ(cvftp::Library().ProcessAttachCount(), -1);
  FtpProcessDetach();  // one too many: stays at -1
  EXPECT_EQ(cvftp::Library().ProcessAttachCount(), -1);
}

TEST_F(Frame, LastErrorWideningAndTexts) {
  FtpSetLastError(12204);
  EXPECT_EQ(FtpGetLastError(), 0x80042FACu);
  EXPECT_EQ(plat::GetLastError(), 0x80042FACu);  // also the thread's system last error
  FtpSetLastError(0x80042FAC);
  EXPECT_EQ(FtpGetLastError(), 0x80042FACu);

  char buf[128];
  std::memset(buf, 'x', sizeof buf);
  EXPECT_EQ(FtpGetErrorText(0, buf), std::strlen("Invalid data returned from server"));
  EXPECT_STREQ(buf, "Invalid data returned from server");
  EXPECT_EQ(FtpGetErrorText(0, nullptr), std::strlen(buf));

  struct Case {
    uint32_t code;
    const char* text;
  } cases[] = {
      {0x8004274C, "The specified operation has timed out"},
      {0x80042711, "Handle not owned by the current thread"},
      {10038, "Invalid handle passed to function"},
  };
  for (const auto& c : cases) {
    EXPECT_EQ(FtpGetErrorText(c.code, buf), std::strlen(c.text));
    EXPECT_STREQ(buf, c.text);
  }
  EXPECT_GT(FtpGetErrorText(0x80042746, buf), 0u);

  std::memset(buf, 'x', sizeof buf);
  EXPECT_EQ(FtpGetErrorText(0x80040001, buf), 0u);  // no text in the table
  EXPECT_EQ(buf[0], '\0');
  FtpSetLastError(0);
  EXPECT_EQ(FtpGetErrorText(0, buf), 0u);
}

TEST_F(Frame, SocketErrorIsCopiedOnlyWhenSet) {
  plat::SetLastError(0);
  FtpSetLastError(12204);
  plat::SetLastError(0);
  EXPECT_EQ(FtpSetSocketError(), 0u);
  EXPECT_EQ(FtpGetLastError(), 0x80042FACu);  // unchanged
  plat::SetLastError(10061);
  EXPECT_EQ(FtpSetSocketError(), 0x8004274Du);
  EXPECT_EQ(FtpGetLastError(), 0x8004274Du);
}

TEST_F(Frame, LastErrorIsPerThreadAndFreeSessionKeepsIt) {
  AttachFtp();
  FtpSetLastError(10060);
  std::thread([] {
    EXPECT_EQ(FtpGetLastError(), 0u);
    FtpSetLastError(10001);
  }).join();
  EXPECT_EQ(FtpGetLastError(), kCvErrorBase | 10060);
  LibHandle h = FtpAllocSession();
  FtpSetLastError(12204);
  FtpFreeSession(h);
  FtpFreeSession(h);  // already free: still no change
  EXPECT_EQ(FtpGetLastError(), 0x80042FACu);
}

TEST_F(Frame, LookupBySocketAndWindow) {
  AttachFtp();
  LibHandle h = FtpAllocSession();
  FtpSession* s = FtpGetSession(h);
  s->header.controlSocket = 41;
  s->dataSocket = 42;
  auto* window = reinterpret_cast<HWND>(uintptr_t(0x5001));
  s->notify.socketWindow = window;
  EXPECT_EQ(FtpFindSessionBySocket(41), s);
  EXPECT_EQ(FtpFindSessionBySocket(42), s);
  EXPECT_EQ(FtpFindSessionBySocket(43), nullptr);
  EXPECT_EQ(FtpGetLastError(), cvErrorInvalidHandle);
  EXPECT_EQ(FtpFindSessionBySocket(INVALID_SOCKET), nullptr);
  EXPECT_EQ(FtpGetLastError(), cvErrorInvalidHandle);
  EXPECT_EQ(FtpFindHandleByWindow(window), h);
  EXPECT_EQ(FtpFindHandleByWindow(reinterpret_cast<HWND>(uintptr_t(0x5002))), kNone);
  std::thread([&] {
    EXPECT_EQ(FtpFindSessionBySocket(41), nullptr);
    EXPECT_EQ(FtpGetLastError(), cvErrorNotHandleOwner);
    EXPECT_EQ(FtpFindHandleByWindow(window), kNone);  // not this thread's session
  }).join();
}

TEST_F(Frame, TwoLibrariesShareNothing) {
  AttachFtp();
  ASSERT_EQ(HttpAttach(nullptr), 1);
  LibHandle f = FtpAllocSession();
  ASSERT_NE(f, kNone);
  // Not in the HTTP table (which is still empty), whatever the two bases are.
  EXPECT_EQ(HttpFindSession(f), nullptr);
  LibHandle h = HttpAllocSession();
  HttpClientSession* hs = HttpGetSession(h);
  ASSERT_NE(hs, nullptr);
  EXPECT_EQ(hs->timeout, 20u);
  EXPECT_EQ(hs->priority, 2u);
  EXPECT_EQ(hs->urlEncoding, 1u);

  FtpSetLastError(12204);
  HttpSetLastError(10060);
  EXPECT_EQ(FtpGetLastError(), 0x80042FACu);
  EXPECT_EQ(HttpGetLastError(), kCvErrorBase | 10060);

  // Each lock is its own: holding the FTP lock does not block the HTTP library.
  FtpLock();
  bool httpFree = false, ftpFree = true;
  std::thread([&] {
    httpFree = cvhttp::Library().lock().try_lock();
    if (httpFree) cvhttp::Library().lock().unlock();
    ftpFree = cvftp::Library().lock().try_lock();
    if (ftpFree) cvftp::Library().lock().unlock();
  }).join();
  FtpUnlock();
  EXPECT_TRUE(httpFree);
  EXPECT_FALSE(ftpFree);

  HttpDetach();
  EXPECT_NE(FtpGetSession(f), nullptr);  // the FTP session survives the HTTP detach
}

}  // namespace
