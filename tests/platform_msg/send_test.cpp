// Sending and posting between threads.
#include <gtest/gtest.h>

#include <atomic>
#include <condition_variable>
#include <mutex>
#include <string>
#include <vector>

#include "msg_fixture.h"
#include "platform/base/last_error.h"
#include "platform/base/sync.h"

using namespace plat;
using msgtest::Handler;
using msgtest::MakeWindow;
using msgtest::WindowThread;

namespace {

// A one-shot gate threads can wait on.
class Gate {
 public:
  void Open() {
    std::lock_guard l(m_);
    open_ = true;
    cv_.notify_all();
  }
  void Wait() {
    std::unique_lock l(m_);
    cv_.wait(l, [&] { return open_; });
  }

 private:
  std::mutex m_;
  std::condition_variable cv_;
  bool open_ = false;
};

}  // namespace

TEST(SendMessage, CrossThreadRunsOnOwnerAndReturnsItsResult) {
  std::atomic<uint32_t> ranOn{0};
  std::atomic<bool> finished{false};
  WindowThread owner([&](HWND h, UINT m, WPARAM w, LPARAM l) -> LRESULT {
    if (m != WM_USER) return DefWindowProc(h, m, w, l);
    ranOn = GetCurrentThreadId();
    std::this_thread::sleep_for(std::chrono::milliseconds(30));
    finished = true;
    return LRESULT(w * 2 + l);
  });
  EXPECT_EQ(SendMessage(owner.hwnd(), WM_USER, 20, 2), 42);
  EXPECT_TRUE(finished.load());  // the sender was blocked until the handler returned
  EXPECT_EQ(ranOn.load(), owner.tid());
  EXPECT_EQ(GetWindowThreadProcessId(owner.hwnd(), nullptr), owner.tid());
}

TEST(SendMessage, SameThreadIsADirectReentrantCall) {
  int depth = 0, maxDepth = 0;
  Handler h = [&](HWND hwnd, UINT m, WPARAM w, LPARAM l) -> LRESULT {
    if (m != WM_USER) return DefWindowProc(hwnd, m, w, l);
    maxDepth = std::max(maxDepth, ++depth);
    LRESULT r = w == 0 ? 0 : 1 + SendMessage(hwnd, WM_USER, w - 1, 0);
    --depth;
    return r;
  };
  HWND hwnd = MakeWindow(&h);
  EXPECT_EQ(SendMessage(hwnd, WM_USER, 5, 0), 5);
  EXPECT_EQ(maxDepth, 6);
  DestroyWindow(hwnd);
}

TEST(SendMessage, TwoThreadsSendingToEachOtherDoNotDeadlock) {
  constexpr int kRounds = 200;
  Handler echo = [](HWND h, UINT m, WPARAM w, LPARAM l) -> LRESULT {
    return m == WM_USER ? LRESULT(w + 1) : DefWindowProc(h, m, w, l);
  };
  std::promise<HWND> aMade, bMade;
  auto aWin = aMade.get_future().share(), bWin = bMade.get_future().share();
  std::atomic<int> finished{0};
  Event bothDone;
  auto run = [&](std::promise<HWND>& mine, std::shared_future<HWND> other) {
    Handler local = echo;
    HWND me = MakeWindow(&local);
    mine.set_value(me);
    HWND peer = other.get();
    int ok = 0;
    for (int i = 0; i < kRounds; ++i) ok += SendMessage(peer, WM_USER, WPARAM(i), 0) == i + 1;
    // Keep serving the peer until it is done with us too.
    if (++finished == 2) bothDone.Set();
    pollfd done{bothDone.fd(), POLLIN, 0};
    WaitForEventsOrMessages(&done, 1, INFINITE);
    DestroyWindow(me);
    return ok;
  };
  auto a = std::async(std::launch::async, run, std::ref(aMade), bWin);
  auto b = std::async(std::launch::async, run, std::ref(bMade), aWin);
  EXPECT_EQ(a.get(), kRounds);
  EXPECT_EQ(b.get(), kRounds);
}

TEST(SendMessage, SentMessagesAreServedBeforePostedOnes) {
  // The main thread blocks in a send to another thread; meanwhile a third thread sends
  // to main's window and main posts to itself. Only the sent one may run while blocked.
  std::vector<std::string> order;
  Gate sentServed;
  Handler mine = [&](HWND h, UINT m, WPARAM w, LPARAM l) -> LRESULT {
    if (m == WM_USER + 1) order.push_back("posted" + std::to_string(w));
    if (m == WM_USER + 2) {
      order.push_back("sent");
      sentServed.Open();
    }
    return DefWindowProc(h, m, w, l);
  };
  HWND me = MakeWindow(&mine);
  WindowThread blocker([&](HWND h, UINT m, WPARAM w, LPARAM l) -> LRESULT {
    if (m == WM_USER) sentServed.Wait();
    return DefWindowProc(h, m, w, l);
  });
  ASSERT_TRUE(PostMessage(me, WM_USER + 1, 1, 0));
  ASSERT_TRUE(PostMessage(me, WM_USER + 1, 2, 0));
  std::thread sender([&] { SendMessage(me, WM_USER + 2, 0, 0); });
  SendMessage(blocker.hwnd(), WM_USER, 0, 0);
  sender.join();
  MSG m;
  while (PeekMessage(&m, nullptr, 0, 0, PM_REMOVE)) DispatchMessage(&m);
  EXPECT_EQ(order, (std::vector<std::string>{"sent", "posted1", "posted2"}));
  DestroyWindow(me);
}

TEST(PostMessage, KeepsFifoOrderFromAnyThread) {
  std::vector<WPARAM> got;
  Handler h = [&](HWND hwnd, UINT m, WPARAM w, LPARAM l) -> LRESULT {
    if (m == WM_USER) got.push_back(w);
    return DefWindowProc(hwnd, m, w, l);
  };
  HWND me = MakeWindow(&h);
  std::thread poster([&] {
    for (WPARAM i = 0; i < 500; ++i) PostMessage(me, WM_USER, i, 0);
    PostMessage(me, WM_QUIT, 0, 0);
  });
  MSG m;
  while (GetMessage(&m, nullptr, 0, 0) > 0) DispatchMessage(&m);
  poster.join();
  ASSERT_EQ(got.size(), 500u);
  for (WPARAM i = 0; i < 500; ++i) ASSERT_EQ(got[i], i);
  DestroyWindow(me);
}

TEST(SendMessageTimeout, WithdrawsAMessageTheOwnerHasNotStarted) {
  Gate inside, release;
  std::atomic<int> lateRuns{0};
  WindowThread owner([&](HWND h, UINT m, WPARAM w, LPARAM l) -> LRESULT {
    if (m == WM_USER) {
      inside.Open();
      release.Wait();
    }
    if (m == WM_USER + 1) lateRuns++;
    return m == WM_USER + 2 ? 5 : DefWindowProc(h, m, w, l);
  });
  PostMessage(owner.hwnd(), WM_USER, 0, 0);
  inside.Wait();  // the owner is busy and cannot start anything
  DWORD_PTR result = 99;
  SetLastError(0);
  EXPECT_EQ(SendMessageTimeout(owner.hwnd(), WM_USER + 1, 0, 0, SMTO_NORMAL, 50, &result), 0);
  EXPECT_EQ(GetLastError(), ERROR_TIMEOUT);
  EXPECT_EQ(result, 0u);
  release.Open();
  EXPECT_EQ(SendMessage(owner.hwnd(), WM_USER + 2, 0, 0), 5);  // the owner has pumped since
  EXPECT_EQ(lateRuns.load(), 0);
}

TEST(SendMessageTimeout, WaitsForAMessageAlreadyStarted) {
  std::atomic<bool> started{false}, release{false};
  WindowThread owner([&](HWND h, UINT m, WPARAM w, LPARAM l) -> LRESULT {
    if (m != WM_USER) return DefWindowProc(h, m, w, l);
    started = true;
    while (!release) std::this_thread::sleep_for(std::chrono::milliseconds(1));
    return *reinterpret_cast<int*>(l);  // data on the sender's stack
  });
  std::thread releaser([&] {
    while (!started) std::this_thread::sleep_for(std::chrono::milliseconds(1));
    std::this_thread::sleep_for(std::chrono::milliseconds(300));  // well past the timeout
    release = true;
  });
  int onStack = 77;
  DWORD_PTR result = 0;
  EXPECT_EQ(SendMessageTimeout(owner.hwnd(), WM_USER, 0, reinterpret_cast<LPARAM>(&onStack), SMTO_NORMAL, 150,
                               &result),
            1);
  EXPECT_EQ(result, 77u);
  EXPECT_TRUE(release.load());
  releaser.join();
}

// A handler that must not wait for the thread sending to it (a server stop inside an
// event) asks the message layer; the answer is yes from the handler's first instruction,
// even when the receiver picks the message up the moment it is queued.
TEST(SendMessage, TheReceiverKnowsItsSenderWaitsFromTheStart) {
  constexpr int kRounds = 20000;
  std::atomic<uint32_t> senderId{0};
  int unknown = 0, handled = 0;
  Handler h = [&](HWND hwnd, UINT m, WPARAM w, LPARAM l) -> LRESULT {
    if (m != WM_USER) return DefWindowProc(hwnd, m, w, l);
    ++handled;
    if (!IsThreadSendingToCaller(senderId.load())) ++unknown;
    return 0;
  };
  HWND hwnd = MakeWindow(&h);
  std::atomic<bool> done{false};
  std::thread sender([&] {
    senderId = GetCurrentThreadId();
    for (int i = 0; i < kRounds; ++i) SendMessage(hwnd, WM_USER, 0, 0);
    done = true;
  });
  MSG m;
  while (!done.load()) PeekMessage(&m, nullptr, 0, 0, PM_REMOVE);  // serves each at once
  sender.join();
  EXPECT_EQ(handled, kRounds);
  EXPECT_EQ(unknown, 0);
  DestroyWindow(hwnd);
}

TEST(SendMessage, WindowOfAnEndedThreadAnswersZero) {
  std::vector<UINT> seen;
  Handler h = [&](HWND hwnd, UINT m, WPARAM w, LPARAM l) -> LRESULT {
    if (m == WM_DESTROY || m == WM_NCDESTROY) seen.push_back(m);
    return m == WM_USER ? 1 : DefWindowProc(hwnd, m, w, l);
  };
  HWND gone = nullptr;
  std::thread([&] { gone = MakeWindow(&h); }).join();
  EXPECT_EQ(seen, (std::vector<UINT>{WM_DESTROY, WM_NCDESTROY}));
  EXPECT_FALSE(IsWindow(gone));
  SetLastError(0);
  EXPECT_EQ(SendMessage(gone, WM_USER, 0, 0), 0);
  EXPECT_EQ(GetLastError(), ERROR_INVALID_WINDOW_HANDLE);
  EXPECT_FALSE(PostMessage(gone, WM_USER, 0, 0));
}

TEST(SendMessage, ASenderWaitingOnAThreadThatEndsIsReleased) {
  Gate release;
  std::promise<HWND> made;
  std::thread owner([&] {
    static Handler h = [](HWND hwnd, UINT m, WPARAM w, LPARAM l) -> LRESULT {
      return m == WM_USER ? 1 : DefWindowProc(hwnd, m, w, l);
    };
    made.set_value(MakeWindow(&h));
    release.Wait();  // never pumps: queued sends are still pending when it ends
  });
  HWND hwnd = made.get_future().get();
  auto sent = std::async(std::launch::async, [&] { return SendMessage(hwnd, WM_USER, 0, 0); });
  std::this_thread::sleep_for(std::chrono::milliseconds(20));
  release.Open();
  owner.join();
  EXPECT_EQ(sent.get(), 0);
}

TEST(Messages, DestroyedWindowsAndUnknownThreadsFailCleanly) {
  Handler h = [](HWND hwnd, UINT m, WPARAM w, LPARAM l) -> LRESULT {
    return m == WM_USER ? 3 : DefWindowProc(hwnd, m, w, l);
  };
  HWND hwnd = MakeWindow(&h);
  PostMessage(hwnd, WM_USER, 0, 0);
  ASSERT_TRUE(DestroyWindow(hwnd));
  MSG m;
  EXPECT_FALSE(PeekMessage(&m, nullptr, 0, 0, PM_REMOVE));  // its queued message went with it
  EXPECT_EQ(SendMessage(hwnd, WM_USER, 0, 0), 0);
  SetLastError(0);
  EXPECT_FALSE(PostMessage(hwnd, WM_USER, 0, 0));
  EXPECT_EQ(GetLastError(), ERROR_INVALID_WINDOW_HANDLE);
  EXPECT_FALSE(DestroyWindow(hwnd));
  EXPECT_EQ(GetLastError(), ERROR_INVALID_WINDOW_HANDLE);
  m.hwnd = hwnd;
  m.message = WM_USER;
  EXPECT_EQ(DispatchMessage(&m), 0);
  EXPECT_EQ(GetMessage(&m, hwnd, 0, 0), -1);
  EXPECT_FALSE(PostThreadMessage(0x7FFFFFF0u, WM_USER, 0, 0));
  EXPECT_EQ(GetLastError(), ERROR_INVALID_THREAD_ID);
}

TEST(Messages, RemovePostedMessagesPurgesOnlyMatchingOnes) {
  Handler h = [](HWND hwnd, UINT m, WPARAM w, LPARAM l) -> LRESULT { return DefWindowProc(hwnd, m, w, l); };
  HWND hwnd = MakeWindow(&h);
  for (WPARAM s : {5, 6, 5, 7}) PostMessage(hwnd, WM_USER + 100, s, 0);
  PostMessage(nullptr, WM_USER + 100, 5, 0);  // a thread message is not a window's
  EXPECT_EQ(RemovePostedMessages(nullptr, [](const MSG& m) { return m.wParam == 5; }), 2u);
  std::vector<WPARAM> left;
  MSG m;
  while (PeekMessage(&m, nullptr, 0, 0, PM_REMOVE)) left.push_back(m.wParam);
  EXPECT_EQ(left, (std::vector<WPARAM>{6, 7, 5}));
  DestroyWindow(hwnd);
}
