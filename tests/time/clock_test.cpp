// Setting the clock goes through the clock operations table only; these tests install a
// recording table, so the machine's clock is never touched.
#include <gtest/gtest.h>

#include <string>
#include <vector>

#include "platform/msg/msg.h"
#include "time/time.h"

namespace {

// What the recording table was asked, and what it answers.
struct Recorder {
  std::vector<std::string> calls;
  SYSTEMTIME set{};
  bool allowPrivilege = true;
  bool allowSet = true;
  bool allowLower = true;
};
Recorder* rec = nullptr;

int32_t RecordPrivilege(uint32_t attributes) {
  rec->calls.push_back(attributes == kTimePrivilegeEnabled ? "enable" : "disable");
  return attributes == kTimePrivilegeEnabled ? rec->allowPrivilege : rec->allowLower;
}
int32_t RecordSet(const SYSTEMTIME* utc) {
  rec->calls.push_back("set");
  rec->set = *utc;
  return rec->allowSet;
}
void RecordBroadcast() { rec->calls.push_back("broadcast"); }

const TimeClockOps kRecording{RecordPrivilege, RecordSet, RecordBroadcast};

class TimeClock : public ::testing::Test {
 protected:
  void SetUp() override {
    rec = &r;
    TimeSetClockOperations(&kRecording);
  }
  void TearDown() override {
    TimeSetClockOperations(nullptr);
    rec = nullptr;
  }
  Recorder r;
};

using Calls = std::vector<std::string>;

TEST_F(TimeClock, SetsTheUtcTimeWithThePrivilegeRaisedOnlyAroundIt) {
  EXPECT_EQ(TimeSetSystemTime(3870411456u), 1);
  EXPECT_EQ(r.calls, (Calls{"enable", "set", "disable", "broadcast"}));
  EXPECT_EQ(r.set.wYear, 2022);
  EXPECT_EQ(r.set.wMonth, 8);
  EXPECT_EQ(r.set.wDay, 25);
  EXPECT_EQ(r.set.wHour, 10);
  EXPECT_EQ(r.set.wMinute, 17);
  EXPECT_EQ(r.set.wSecond, 36);
}

TEST_F(TimeClock, FailuresLeaveTheClockAndTheLastErrorAlone) {
  struct Case {
    const char* what;
    uint32_t value;
    bool privilege, set, lower;
    Calls calls;
  } cases[] = {
      {"no time", 0, true, true, true, {}},
      {"before what UTC can show", 1000, true, true, true, {}},
      {"no right to set the clock", 3870411456u, false, true, true, {"enable"}},
      {"clock refuses", 3870411456u, true, false, true, {"enable", "set", "disable"}},
      {"privilege cannot be lowered", 3870411456u, true, true, false, {"enable", "set", "disable"}},
  };
  for (auto& c : cases) {
    r = Recorder{};
    r.allowPrivilege = c.privilege, r.allowSet = c.set, r.allowLower = c.lower;
    TimeSetLastError(0x80042AF9u);
    EXPECT_EQ(TimeSetSystemTime(c.value), 0) << c.what;
    EXPECT_EQ(r.calls, c.calls) << c.what;
    EXPECT_EQ(TimeGetLastError(), 0x80042AF9u) << c.what;
  }
}

TEST_F(TimeClock, PrivilegeSwitchUsesTheTable) {
  EXPECT_EQ(TimeSetClockPrivilege(kTimePrivilegeEnabled), 1);
  r.allowLower = false;
  EXPECT_EQ(TimeSetClockPrivilege(0), 0);
  EXPECT_EQ(r.calls, (Calls{"enable", "disable"}));
}

// The system's broadcast posts WM_TIMECHANGE to the process's top-level windows.
TEST(TimeClockBroadcast, PostsTimeChangeToTopLevelWindows) {
  static UINT seen;
  static const bool registered = [] {  // once per process: the class outlives the test
    plat::WNDCLASS wc;
    wc.lpfnWndProc = [](HWND h, UINT m, WPARAM w, LPARAM l) -> LRESULT {
      if (m == 0x001E) ++seen;
      return plat::DefWindowProc(h, m, w, l);
    };
    wc.lpszClassName = "TimeChangeListener";
    return plat::RegisterClass(&wc) != 0;
  }();
  ASSERT_TRUE(registered);
  seen = 0;
  HWND top = plat::CreateWindowEx(0, "TimeChangeListener", "", plat::WS_OVERLAPPED, 0, 0, 10, 10, nullptr, nullptr,
                                  nullptr, nullptr);
  ASSERT_NE(top, nullptr);
  TimeSystemClockOperations().broadcastTimeChange();
  plat::MSG msg;
  while (plat::PeekMessage(&msg, nullptr, 0, 0, plat::PM_REMOVE)) plat::DispatchMessage(&msg);
  EXPECT_EQ(seen, 1u);
  plat::DestroyWindow(top);
}

}  // namespace
