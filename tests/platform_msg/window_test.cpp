// Window classes, the window tree, the procedure chain and window ownership.
#include <gtest/gtest.h>

#include <algorithm>
#include <set>
#include <string>
#include <thread>
#include <vector>

#include "msg_fixture.h"
#include "platform/base/last_error.h"

using namespace plat;
using msgtest::Handler;
using msgtest::MakeWindow;

namespace {

// Procedures of the chain tests record their names here (single-threaded tests).
std::vector<std::string> calls;
WNDPROC prevA = nullptr, prevB = nullptr;

LRESULT ClassProc(HWND h, UINT m, WPARAM w, LPARAM l) {
  if (m >= WM_USER || m == WM_DESTROY || m == WM_NCDESTROY) calls.push_back("class");
  return m == WM_USER ? 100 : DefWindowProc(h, m, w, l);
}
LRESULT ClassicA(HWND h, UINT m, WPARAM w, LPARAM l) {
  calls.push_back("A");
  return CallWindowProc(prevA, h, m, w, l);
}
LRESULT ClassicB(HWND h, UINT m, WPARAM w, LPARAM l) {
  calls.push_back("B");
  return CallWindowProc(prevB, h, m, w, l);
}
LRESULT SubC(HWND h, UINT m, WPARAM w, LPARAM l, UINT_PTR id, DWORD_PTR) {
  calls.push_back("C" + std::to_string(id));
  if (m == WM_NCDESTROY) RemoveWindowSubclass(h, SubC, id);  // as libraries do: let go, then pass on
  return DefSubclassProc(h, m, w, l);
}

HWND MakeChainWindow() {
  static bool registered = [] {
    WNDCLASS wc;
    wc.lpfnWndProc = ClassProc;
    wc.lpszClassName = "PlatMsgChain";
    return RegisterClass(&wc) != 0;
  }();
  EXPECT_TRUE(registered);
  return CreateWindowEx(0, "platmsgchain", "", 0, 0, 0, 0, 0, nullptr, nullptr, nullptr, nullptr);
}

std::vector<std::string> Trace(HWND h) {
  calls.clear();
  EXPECT_EQ(SendMessage(h, WM_USER, 0, 0), 100);
  return calls;
}

}  // namespace

TEST(WindowChain, DestroySendsDestroyAndNcDestroyThroughEveryLayer) {
  HWND h = MakeChainWindow();
  prevA = reinterpret_cast<WNDPROC>(SetWindowLongPtr(h, GWLP_WNDPROC, reinterpret_cast<LONG_PTR>(ClassicA)));
  ASSERT_TRUE(SetWindowSubclass(h, SubC, 1, 0));
  calls.clear();
  ASSERT_TRUE(DestroyWindow(h));
  EXPECT_EQ(calls, (std::vector<std::string>{"C1", "A", "class", "C1", "A", "class"}));
  EXPECT_FALSE(IsWindow(h));
  EXPECT_EQ(SendMessage(h, WM_USER, 0, 0), 0);
  EXPECT_FALSE(PostMessage(h, WM_USER, 0, 0));
}

TEST(WindowChain, LayersRemovedInAnyOrderLeaveAWorkingChain) {
  // Two set-window-procedure layers (A, B) and one subclass layer (C), installed in that
  // order, then removed in every order; after each removal the rest must still run top
  // down to the class procedure.
  std::vector<int> order{0, 1, 2};
  do {
    HWND h = MakeChainWindow();
    prevA = reinterpret_cast<WNDPROC>(SetWindowLongPtr(h, GWLP_WNDPROC, reinterpret_cast<LONG_PTR>(ClassicA)));
    prevB = reinterpret_cast<WNDPROC>(SetWindowLongPtr(h, GWLP_WNDPROC, reinterpret_cast<LONG_PTR>(ClassicB)));
    ASSERT_TRUE(SetWindowSubclass(h, SubC, 7, 0));
    std::vector<std::string> live{"C7", "B", "A"};
    ASSERT_EQ(Trace(h), (std::vector<std::string>{"C7", "B", "A", "class"}));
    for (int which : order) {
      if (which == 2) {
        ASSERT_TRUE(RemoveWindowSubclass(h, SubC, 7));
      } else {
        WNDPROC prev = which == 0 ? prevA : prevB;
        ASSERT_NE(SetWindowLongPtr(h, GWLP_WNDPROC, reinterpret_cast<LONG_PTR>(prev)), 0);
      }
      std::erase(live, which == 0 ? "A" : which == 1 ? "B" : "C7");
      auto expected = live;
      expected.push_back("class");
      EXPECT_EQ(Trace(h), expected) << "removal order " << order[0] << order[1] << order[2];
    }
    DestroyWindow(h);
  } while (std::next_permutation(order.begin(), order.end()));
}

TEST(WindowChain, SetWindowProcRejectsValuesItNeverHandedOut) {
  HWND h = MakeChainWindow();
  LONG_PTR base = GetWindowLongPtr(h, GWLP_WNDPROC);
  prevA = reinterpret_cast<WNDPROC>(SetWindowLongPtr(h, GWLP_WNDPROC, reinterpret_cast<LONG_PTR>(ClassicA)));
  EXPECT_EQ(reinterpret_cast<LONG_PTR>(prevA), base);
  SetLastError(0);
  EXPECT_EQ(SetWindowLongPtr(h, GWLP_WNDPROC, 0), 0);
  EXPECT_EQ(GetLastError(), ERROR_INVALID_PARAMETER);
  EXPECT_EQ(SetWindowLongPtr(h, GWLP_WNDPROC, base + 12345), 0);  // looks like ours, is not
  EXPECT_EQ(Trace(h), (std::vector<std::string>{"A", "class"}));
  DestroyWindow(h);
}

TEST(WindowClass, RegistrationErrorsAndExtraBytes) {
  msgtest::TestClass();
  WNDCLASS wc;
  wc.lpfnWndProc = DefWindowProc;
  wc.lpszClassName = "platmsgtest";  // names compare case-insensitively
  EXPECT_EQ(RegisterClass(&wc), 0);
  EXPECT_EQ(GetLastError(), ERROR_CLASS_ALREADY_EXISTS);
  wc.lpfnWndProc = nullptr;
  EXPECT_EQ(RegisterClass(&wc), 0);
  EXPECT_EQ(GetLastError(), ERROR_INVALID_PARAMETER);
  EXPECT_EQ(CreateWindowEx(0, "NoSuchClass", "", 0, 0, 0, 0, 0, nullptr, nullptr, nullptr, nullptr), nullptr);
  EXPECT_EQ(GetLastError(), ERROR_CANNOT_FIND_WND_CLASS);

  Handler h = [](HWND hwnd, UINT m, WPARAM w, LPARAM l) { return DefWindowProc(hwnd, m, w, l); };
  HWND hwnd = MakeWindow(&h);
  EXPECT_EQ(SetWindowLongPtr(hwnd, sizeof(LONG_PTR), 1234), 0);
  EXPECT_EQ(GetWindowLongPtr(hwnd, sizeof(LONG_PTR)), 1234);
  EXPECT_EQ(GetWindowLongPtr(hwnd, 0), 0);
  EXPECT_EQ(GetWindowLongPtr(hwnd, 2 * sizeof(LONG_PTR) - 1), 0);  // would run past the end
  EXPECT_EQ(GetLastError(), ERROR_INVALID_INDEX);
  EXPECT_FALSE(UnregisterClass("PlatMsgTest", nullptr));
  EXPECT_EQ(GetLastError(), ERROR_CLASS_HAS_WINDOWS);
  DestroyWindow(hwnd);
}

TEST(WindowClass, CreationRefusedByTheProcedureLeavesNoWindow) {
  static std::vector<UINT> seen;
  static LRESULT answer;
  WNDCLASS wc;
  wc.lpfnWndProc = [](HWND h, UINT m, WPARAM w, LPARAM l) -> LRESULT {
    seen.push_back(m);
    if (m == WM_CREATE) return answer;
    return DefWindowProc(h, m, w, l);
  };
  wc.lpszClassName = "PlatMsgRefuse";
  ASSERT_NE(RegisterClass(&wc), 0);
  seen.clear();  // the list outlives the test: a repeat starts afresh
  answer = -1;
  EXPECT_EQ(CreateWindowEx(0, "PlatMsgRefuse", "", 0, 0, 0, 0, 0, nullptr, nullptr, nullptr, nullptr), nullptr);
  EXPECT_EQ(seen, (std::vector<UINT>{WM_NCCREATE, WM_CREATE, WM_DESTROY, WM_NCDESTROY}));
  EXPECT_TRUE(UnregisterClass("PlatMsgRefuse", nullptr));  // no window of it is left
}

TEST(WindowTree, DesktopParentsAndMessageOnlyWindows) {
  Handler h = [](HWND hwnd, UINT m, WPARAM w, LPARAM l) { return DefWindowProc(hwnd, m, w, l); };
  HWND top = MakeWindow(&h);
  HWND child = MakeWindow(&h, top);
  HWND grandchild = MakeWindow(&h, child);
  HWND msgOnly = MakeWindow(&h, HWND_MESSAGE);
  HWND desktop = GetDesktopWindow();
  EXPECT_TRUE(IsWindow(desktop));
  EXPECT_EQ(GetParent(top), nullptr);
  EXPECT_EQ(GetParent(child), top);
  EXPECT_EQ(GetParent(msgOnly), nullptr);

  auto children = [](HWND parent) {
    std::vector<HWND> v;
    EnumChildWindows(
        parent, [](HWND c, LPARAM p) -> BOOL { reinterpret_cast<std::vector<HWND>*>(p)->push_back(c); return 1; },
        reinterpret_cast<LPARAM>(&v));
    return v;
  };
  auto onDesktop = children(desktop);
  EXPECT_NE(std::find(onDesktop.begin(), onDesktop.end(), top), onDesktop.end());
  EXPECT_EQ(std::find(onDesktop.begin(), onDesktop.end(), child), onDesktop.end());
  EXPECT_EQ(std::find(onDesktop.begin(), onDesktop.end(), msgOnly), onDesktop.end());
  EXPECT_EQ(children(top), (std::vector<HWND>{child, grandchild}));

  EXPECT_EQ(SetParent(top, grandchild), nullptr);  // would make a cycle
  EXPECT_EQ(GetLastError(), ERROR_INVALID_PARAMETER);
  EXPECT_EQ(SetParent(child, nullptr), top);
  EXPECT_EQ(GetParent(child), nullptr);
  EXPECT_TRUE(children(top).empty());
  EXPECT_EQ(SetParent(child, msgOnly), desktop);

  DestroyWindow(msgOnly);  // takes child and grandchild with it
  EXPECT_FALSE(IsWindow(child));
  EXPECT_FALSE(IsWindow(grandchild));
  DestroyWindow(top);
}

TEST(WindowTree, HandlesAreNotReused) {
  Handler h = [](HWND hwnd, UINT m, WPARAM w, LPARAM l) { return DefWindowProc(hwnd, m, w, l); };
  std::set<HWND> seen;
  for (int i = 0; i < 200; ++i) {
    HWND hwnd = MakeWindow(&h);
    EXPECT_TRUE(seen.insert(hwnd).second);
    DestroyWindow(hwnd);
  }
}

TEST(WindowOwnership, OwnerOnlyCallsFailFromAnotherThread) {
  Handler h = [](HWND hwnd, UINT m, WPARAM w, LPARAM l) { return DefWindowProc(hwnd, m, w, l); };
  HWND mine = MakeWindow(&h);
  std::vector<std::pair<const char*, bool>> results;  // (call, failed the wrong way)
  std::thread([&] {
    auto check = [&](const char* what, bool succeeded) {
      results.emplace_back(what, succeeded || GetLastError() != ERROR_WINDOW_OF_OTHER_THREAD);
    };
    check("DestroyWindow", DestroyWindow(mine) != 0);
    check("SetTimer", SetTimer(mine, 1, 100, nullptr) != 0);
    check("KillTimer", KillTimer(mine, 1) != 0);
    check("SetWindowSubclass",
          SetWindowSubclass(mine, [](HWND, UINT, WPARAM, LPARAM, UINT_PTR, DWORD_PTR) -> LRESULT { return 0; }, 1,
                            0) != 0);
    check("SetWindowLongPtr(WNDPROC)",
          SetWindowLongPtr(mine, GWLP_WNDPROC, reinterpret_cast<LONG_PTR>(&DefWindowProc)) != 0);
    check("ShowWindow", ShowWindow(mine, SW_SHOW) != 0);
    check("SetActiveWindow", SetActiveWindow(mine) != nullptr);
  }).join();
  for (auto& [what, failedWrongly] : results) EXPECT_FALSE(failedWrongly) << what;
  EXPECT_TRUE(IsWindow(mine));
  EXPECT_EQ(GetWindowThreadProcessId(mine, nullptr), GetCurrentThreadId());
  DestroyWindow(mine);
}

TEST(WindowOwnership, EndingThreadDestroysItsWindowsChildrenFirst) {
  std::vector<std::string> log;
  Handler parentProc = [&](HWND hwnd, UINT m, WPARAM w, LPARAM l) -> LRESULT {
    if (m == WM_NCDESTROY) log.push_back("parent");
    return DefWindowProc(hwnd, m, w, l);
  };
  Handler childProc = [&](HWND hwnd, UINT m, WPARAM w, LPARAM l) -> LRESULT {
    if (m == WM_NCDESTROY) log.push_back("child");
    return DefWindowProc(hwnd, m, w, l);
  };
  HWND parent = nullptr, child = nullptr;
  std::thread([&] {
    parent = MakeWindow(&parentProc);
    child = MakeWindow(&childProc, parent);
  }).join();
  EXPECT_EQ(log, (std::vector<std::string>{"child", "parent"}));
  EXPECT_FALSE(IsWindow(parent));
  EXPECT_FALSE(IsWindow(child));
  EXPECT_EQ(GetWindowThreadProcessId(parent, nullptr), 0u);
  EXPECT_EQ(GetLastError(), ERROR_INVALID_WINDOW_HANDLE);
}

TEST(WindowActivation, OnlyAShownActivatedTopLevelWindowCounts) {
  Handler h = [](HWND hwnd, UINT m, WPARAM w, LPARAM l) { return DefWindowProc(hwnd, m, w, l); };
  HWND top = MakeWindow(&h);
  HWND child = MakeWindow(&h, top);
  HWND msgOnly = MakeWindow(&h, HWND_MESSAGE);
  EXPECT_FALSE(ThreadHasActiveWindow());
  ShowWindow(top, SW_SHOWNA);
  EXPECT_TRUE(IsWindowVisible(top));
  EXPECT_FALSE(ThreadHasActiveWindow());
  EXPECT_EQ(SetActiveWindow(child), nullptr);
  EXPECT_EQ(SetActiveWindow(msgOnly), nullptr);
  EXPECT_FALSE(ThreadHasActiveWindow());
  ShowWindow(top, SW_SHOW);
  EXPECT_TRUE(ThreadHasActiveWindow());
  EXPECT_EQ(GetActiveWindow(), top);
  ShowWindow(top, SW_HIDE);
  EXPECT_FALSE(ThreadHasActiveWindow());
  SetActiveWindow(top);
  EXPECT_FALSE(ThreadHasActiveWindow());  // active but hidden
  ShowWindow(top, SW_SHOWNOACTIVATE);
  EXPECT_TRUE(ThreadHasActiveWindow());
  std::thread([] { EXPECT_FALSE(ThreadHasActiveWindow()); }).join();  // per thread
  DestroyWindow(top);
  EXPECT_FALSE(ThreadHasActiveWindow());
  EXPECT_EQ(GetActiveWindow(), nullptr);
  DestroyWindow(msgOnly);
}

TEST(RegisteredMessages, SameNameSameNumber) {
  UINT a = RegisterWindowMessage("Corvanetics.Test.Notify");
  EXPECT_GE(a, kFirstRegisteredMessage);
  EXPECT_EQ(RegisterWindowMessage("corvanetics.test.NOTIFY"), a);
  EXPECT_NE(RegisterWindowMessage("Corvanetics.Test.Other"), a);
  EXPECT_EQ(RegisterWindowMessage(""), 0u);
  EXPECT_EQ(RegisterWindowMessage(nullptr), 0u);
}
