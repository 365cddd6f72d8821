// Timers, quit messages and the common wait.
#include <gtest/gtest.h>
#include <sys/resource.h>
#include <unistd.h>

#include <atomic>
#include <chrono>
#include <thread>

#include "msg_fixture.h"
#include "platform/base/last_error.h"
#include "platform/base/sync.h"

using namespace plat;
using msgtest::Handler;
using msgtest::MakeWindow;

namespace {

struct Pipe {
  int fd[2];
  Pipe() { EXPECT_EQ(pipe(fd), 0); }
  ~Pipe() {
    close(fd[0]);
    close(fd[1]);
  }
  void Signal() { EXPECT_EQ(write(fd[1], "x", 1), 1); }
  pollfd ReadEnd() const { return pollfd{fd[0], POLLIN, 0}; }
};

double ThreadCpuMs() {
  rusage u;
  getrusage(RUSAGE_THREAD, &u);
  return (u.ru_utime.tv_sec + u.ru_stime.tv_sec) * 1e3 + (u.ru_utime.tv_usec + u.ru_stime.tv_usec) / 1e3;
}

}  // namespace

TEST(Timers, FireAsWmTimerAndStopWhenKilled) {
  int fired = 0;
  Handler h = [&](HWND hwnd, UINT m, WPARAM w, LPARAM l) -> LRESULT {
    if (m == WM_TIMER && w == 7) fired++;
    return DefWindowProc(hwnd, m, w, l);
  };
  HWND hwnd = MakeWindow(&h);
  ASSERT_EQ(SetTimer(hwnd, 7, 10, nullptr), 7u);
  MSG m;
  while (fired < 3 && GetMessage(&m, nullptr, 0, 0) > 0) DispatchMessage(&m);
  EXPECT_EQ(m.message, WM_TIMER);
  EXPECT_EQ(m.hwnd, hwnd);
  EXPECT_TRUE(KillTimer(hwnd, 7));
  EXPECT_FALSE(KillTimer(hwnd, 7));
  std::this_thread::sleep_for(std::chrono::milliseconds(30));
  EXPECT_FALSE(PeekMessage(&m, nullptr, 0, 0, PM_REMOVE));
  DestroyWindow(hwnd);
}

TEST(Timers, ThreadTimerCallsItsProcedureAndForgedTimerMessagesAreIgnored) {
  static int procCalls;
  procCalls = 0;
  TIMERPROC proc = [](HWND, UINT, UINT_PTR, DWORD) { procCalls++; };
  UINT_PTR id = SetTimer(nullptr, 0, 10, proc);
  ASSERT_NE(id, 0u);
  MSG m;
  ASSERT_GT(GetMessage(&m, nullptr, 0, 0), 0);
  EXPECT_EQ(m.message, WM_TIMER);
  EXPECT_EQ(m.wParam, id);
  DispatchMessage(&m);
  EXPECT_EQ(procCalls, 1);
  KillTimer(nullptr, id);
  // A posted WM_TIMER naming a procedure that is no timer's must not be called.
  PostMessage(nullptr, WM_TIMER, id, LPARAM(0x1234));
  ASSERT_TRUE(PeekMessage(&m, nullptr, 0, 0, PM_REMOVE));
  EXPECT_EQ(DispatchMessage(&m), 0);
  m.lParam = reinterpret_cast<LPARAM>(proc);  // the right procedure, but the timer is gone
  EXPECT_EQ(DispatchMessage(&m), 0);
  EXPECT_EQ(procCalls, 1);
}

TEST(Timers, APendingTimerOutsideTheFilterDoesNotWakeGetMessage) {
  // A due timer the filter excludes must not turn GetMessage into a spin.
  UINT_PTR id = SetTimer(nullptr, 0, 10, nullptr);
  std::thread poster([tid = GetCurrentThreadId()] {
    std::this_thread::sleep_for(std::chrono::milliseconds(200));
    PostThreadMessage(tid, WM_USER, 1, 0);
  });
  const double cpu0 = ThreadCpuMs();
  MSG m;
  ASSERT_GT(GetMessage(&m, nullptr, WM_USER, WM_USER), 0);
  EXPECT_LT(ThreadCpuMs() - cpu0, 50.0);
  poster.join();
  KillTimer(nullptr, id);
}

TEST(QuitMessages, PostQuitMessageEndsGetMessageAfterPostedOnes) {
  EXPECT_FALSE(IsQuitMessagePending());
  PostMessage(nullptr, WM_USER, 1, 0);
  PostQuitMessage(3);
  EXPECT_TRUE(IsQuitMessagePending());
  MSG m;
  ASSERT_EQ(GetMessage(&m, nullptr, 0, 0), 1);
  EXPECT_EQ(m.message, WM_USER);
  ASSERT_EQ(GetMessage(&m, nullptr, 0, 0), 0);
  EXPECT_EQ(m.message, WM_QUIT);
  EXPECT_EQ(m.wParam, 3u);
  EXPECT_FALSE(IsQuitMessagePending());
}

TEST(Wait, ReportsReadyDescriptorsAndTimesOut) {
  Pipe p;
  pollfd fds[2] = {p.ReadEnd(), pollfd{-1, POLLIN, 0}};
  auto start = std::chrono::steady_clock::now();
  WaitResult r = WaitForEventsOrMessages(fds, 2, 50);
  EXPECT_EQ(r.status, WaitStatus::Timeout);
  EXPECT_GE(std::chrono::steady_clock::now() - start, std::chrono::milliseconds(50));

  std::thread writer([&] {
    std::this_thread::sleep_for(std::chrono::milliseconds(20));
    p.Signal();
  });
  r = WaitForEventsOrMessages(fds, 2, INFINITE);
  writer.join();
  EXPECT_EQ(r.status, WaitStatus::Ready);
  EXPECT_EQ(r.ready, 1);
  EXPECT_TRUE(fds[0].revents & POLLIN);
  EXPECT_EQ(fds[1].revents, 0);
  EXPECT_EQ(WaitForEventsOrMessages(fds, 2, 0).status, WaitStatus::Ready);  // 0 only looks
}

TEST(Wait, ServesSentMessagesButDispatchesPostedOnlyWithAnActiveWindow) {
  Pipe p;
  int posted = 0;
  Handler h = [&](HWND hwnd, UINT m, WPARAM w, LPARAM l) -> LRESULT {
    if (m == WM_USER) p.Signal();  // sent: ends the wait through the pipe
    if (m == WM_USER + 1) posted++;
    return m == WM_USER ? 9 : DefWindowProc(hwnd, m, w, l);
  };
  HWND hwnd = MakeWindow(&h);
  pollfd fd = p.ReadEnd();

  // Sent from another thread while we wait, with no active window: served.
  auto sent = std::async(std::launch::async, [&] { return SendMessage(hwnd, WM_USER, 0, 0); });
  EXPECT_EQ(WaitForEventsOrMessages(&fd, 1, INFINITE, kWaitDispatchPosted).status, WaitStatus::Ready);
  EXPECT_EQ(sent.get(), 9);
  char c;
  ASSERT_EQ(read(p.fd[0], &c, 1), 1);

  // Posted, no active window: left in the queue even when dispatching is asked for.
  PostMessage(hwnd, WM_USER + 1, 0, 0);
  EXPECT_EQ(WaitForEventsOrMessages(&fd, 1, 30, kWaitDispatchPosted).status, WaitStatus::Timeout);
  EXPECT_EQ(posted, 0);

  // With an active window it is dispatched, but only when the caller asks for it.
  ShowWindow(hwnd, SW_SHOW);
  EXPECT_EQ(WaitForEventsOrMessages(&fd, 1, 0, kWaitServeSent).status, WaitStatus::Timeout);
  EXPECT_EQ(posted, 0);
  EXPECT_EQ(WaitForEventsOrMessages(&fd, 1, 0, kWaitDispatchPosted).status, WaitStatus::Timeout);
  EXPECT_EQ(posted, 1);

  // A posted message from another thread wakes the wait and is dispatched at once.
  std::thread poster([&] {
    std::this_thread::sleep_for(std::chrono::milliseconds(20));
    PostMessage(hwnd, WM_USER, 0, 0);
  });
  EXPECT_EQ(WaitForEventsOrMessages(&fd, 1, INFINITE, kWaitDispatchPosted).status, WaitStatus::Ready);
  poster.join();
  DestroyWindow(hwnd);
}

TEST(Wait, TimersFireDuringAnActiveWait) {
  Pipe p;
  Handler h = [&](HWND hwnd, UINT m, WPARAM w, LPARAM l) -> LRESULT {
    if (m == WM_TIMER) p.Signal();
    return DefWindowProc(hwnd, m, w, l);
  };
  HWND hwnd = MakeWindow(&h);
  ShowWindow(hwnd, SW_SHOW);
  SetTimer(hwnd, 1, 20, nullptr);
  pollfd fd = p.ReadEnd();
  EXPECT_EQ(WaitForEventsOrMessages(&fd, 1, INFINITE, kWaitDispatchPosted).status, WaitStatus::Ready);
  DestroyWindow(hwnd);
}

TEST(Wait, QuitIsReportedAndLeftForTheHostLoop) {
  int dispatched = 0;
  Handler h = [&](HWND hwnd, UINT m, WPARAM w, LPARAM l) -> LRESULT {
    if (m == WM_USER) dispatched++;
    return DefWindowProc(hwnd, m, w, l);
  };
  HWND hwnd = MakeWindow(&h);
  ShowWindow(hwnd, SW_SHOW);
  PostMessage(hwnd, WM_USER, 0, 0);
  PostMessage(hwnd, WM_QUIT, 0, 0);
  PostMessage(hwnd, WM_USER, 0, 0);
  EXPECT_EQ(WaitForEventsOrMessages(nullptr, 0, INFINITE, kWaitDispatchPosted).status, WaitStatus::Quit);
  EXPECT_EQ(dispatched, 1);  // stopped at the quit
  EXPECT_TRUE(IsQuitMessagePending());
  EXPECT_EQ(WaitForEventsOrMessages(nullptr, 0, INFINITE, kWaitReturnOnQuit).status, WaitStatus::Quit);
  MSG m;
  EXPECT_EQ(GetMessage(&m, nullptr, 0, 0), 0);
  EXPECT_FALSE(IsQuitMessagePending());
  DestroyWindow(hwnd);
  while (PeekMessage(&m, nullptr, 0, 0, PM_REMOVE)) {
  }
}

TEST(Wait, AnIdleWaitUsesNoCpu) {
  Handler h = [](HWND hwnd, UINT m, WPARAM w, LPARAM l) { return DefWindowProc(hwnd, m, w, l); };
  HWND hwnd = MakeWindow(&h);  // a queue and a window: the full wait path
  ShowWindow(hwnd, SW_SHOW);
  Pipe p;
  pollfd fd = p.ReadEnd();
  const double before = ThreadCpuMs();
  EXPECT_EQ(WaitForEventsOrMessages(&fd, 1, 200, kWaitDispatchPosted).status, WaitStatus::Timeout);
  EXPECT_LT(ThreadCpuMs() - before, 20.0);
  DestroyWindow(hwnd);
}

TEST(BlockingWait, AHandlerItDispatchedCancelsIt) {
  bool canceledInside = false;
  Handler h = [&](HWND hwnd, UINT m, WPARAM w, LPARAM l) -> LRESULT {
    if (m == WM_TIMER) {
      KillTimer(hwnd, 1);
      canceledInside = CancelBlockingCall();
    }
    return DefWindowProc(hwnd, m, w, l);
  };
  HWND hwnd = MakeWindow(&h);
  ShowWindow(hwnd, SW_SHOW);
  EXPECT_FALSE(CancelBlockingCall());  // no blocking wait runs
  Pipe p;
  pollfd fd = p.ReadEnd();
  SetTimer(hwnd, 1, 20, nullptr);
  const auto start = std::chrono::steady_clock::now();
  const WaitResult r = BlockingWait(&fd, 1, 5000);
  EXPECT_LT(std::chrono::steady_clock::now() - start, std::chrono::seconds(4));
  EXPECT_TRUE(canceledInside);
  EXPECT_EQ(r.status, WaitStatus::Failed);
  EXPECT_TRUE(WaitCanceled(r));
  EXPECT_EQ(GetLastError(), 10004u);
  // The cancel was that wait's: the next one runs its course.
  EXPECT_FALSE(CancelBlockingCall());
  EXPECT_EQ(BlockingWait(&fd, 1, 20).status, WaitStatus::Timeout);
  DestroyWindow(hwnd);
}

TEST(BlockingWait, AQuitIsLeftForTheHostLoopAndTheWaitGoesOn) {
  int dispatched = 0;
  Handler h = [&](HWND hwnd, UINT m, WPARAM w, LPARAM l) -> LRESULT {
    if (m == WM_USER) dispatched++;
    return DefWindowProc(hwnd, m, w, l);
  };
  HWND hwnd = MakeWindow(&h);
  ShowWindow(hwnd, SW_SHOW);
  PostMessage(hwnd, WM_USER, 0, 0);
  PostMessage(hwnd, WM_QUIT, 0, 0);
  PostMessage(hwnd, WM_USER, 0, 0);
  Pipe p;
  pollfd fd = p.ReadEnd();
  const double before = ThreadCpuMs();
  EXPECT_EQ(BlockingWait(&fd, 1, 100).status, WaitStatus::Timeout);
  EXPECT_LT(ThreadCpuMs() - before, 20.0);  // the pending quit does not make it spin
  EXPECT_EQ(dispatched, 1);                 // nothing of the host's after its quit
  EXPECT_TRUE(IsQuitMessagePending());
  MSG m;
  while (PeekMessage(&m, nullptr, 0, 0, PM_REMOVE)) {
  }
  DestroyWindow(hwnd);
}
