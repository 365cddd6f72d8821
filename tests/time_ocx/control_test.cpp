// CTimeClient created in this process, where the clock operations can be replaced: SetTime
// reaches the clock only through them. Also the member layout and the interval timer.
#include <gtest/gtest.h>

#include <string>
#include <vector>

#include "ocx/object.h"
#include "platform/base/tick.h"
#include "platform/com/event_sink.h"
#include "time/ocx/guids.h"
#include "time/ocx/time_client.h"
#include "time/time.h"
#include "time_host.h"
#include "time_test_support.h"

namespace {

using namespace timehost;
using timectl::CTimeClient;
using timetest::ScriptedServer;
using timetest::Wire;

constexpr uint32_t kSomeTime = 3870411456u;  // 2022-08-25 10:17:36 UTC

std::vector<std::string>* calls = nullptr;
SYSTEMTIME lastSet{};
int32_t RecordPrivilege(uint32_t a) {
  calls->push_back(a ? "enable" : "disable");
  return 1;
}
int32_t RecordSet(const SYSTEMTIME* utc) {
  calls->push_back("set");
  lastSet = *utc;
  return 1;
}
void RecordBroadcast() { calls->push_back("broadcast"); }
const TimeClockOps kRecording{RecordPrivilege, RecordSet, RecordBroadcast};

class TimeClientControl : public RegistryFixture, public Driver {
 protected:
  void SetUp() override {
    RegistryFixture::SetUp();
    calls = &calls_;
    TimeSetClockOperations(&kRecording);
    ASSERT_EQ(ocx::CreateObject<CTimeClient>(nullptr, IID_IDispatch, reinterpret_cast<void**>(&control)), S_OK);
    object_ = static_cast<CTimeClient*>(static_cast<timectl::ITimeClient*>(control));
    sink_ = plat::com::EventSink::Create(timectl::DIID__ITimeClientEvents);
    sink_->On(3, [this](const std::vector<const VARIANT*>&) { OnTimer(); });
    ASSERT_EQ(sink_->Connect(control), S_OK);
  }
  void TearDown() override {
    sink_->Disconnect();
    sink_->Release();
    control->Release();
    TimeSetClockOperations(nullptr);
    calls = nullptr;
    RegistryFixture::TearDown();
  }
  // SetTime(NetworkTime, Result): the Result. The argument is cleared.
  std::string SetTime(VARIANT networkTime) {
    VARIANT result{};
    EXPECT_EQ(Method(u"SetTime", {networkTime, Ref(&result)}), S_OK);
    return Value(result);
  }
  void GetTime(uint16_t port, int32_t timeout) {
    EXPECT_EQ(Method(u"GetTime", {Str(u"127.0.0.1"), I4(port), I4(timeout), Missing(), Missing()}), S_OK);
  }
  // Dispatches this thread's messages until ticks OnTimer events came (bounded wait).
  void PumpUntilTimers(int ticks) {
    const uint32_t start = plat::GetTickCount();
    while (timers_ < ticks && plat::GetTickCount() - start < 10000) {
      plat::MSG msg;
      while (plat::PeekMessage(&msg, nullptr, 0, 0, plat::PM_REMOVE)) plat::DispatchMessage(&msg);
      plat::Sleep(5);
    }
  }
  virtual void OnTimer() { ++timers_; }

  CTimeClient* object_ = nullptr;
  plat::com::EventSink* sink_ = nullptr;
  std::vector<std::string> calls_;
  int timers_ = 0;
};

using Calls = std::vector<std::string>;

TEST_F(TimeClientControl, SetTimeWithoutAnArgumentUsesTheLastTimeRead) {
  ScriptedServer server({{Wire(kSomeTime)}});
  GetTime(server.port(), 5);
  EXPECT_EQ(SetTime(Missing()), "True");
  EXPECT_EQ(calls_, (Calls{"enable", "set", "disable", "broadcast"}));
  EXPECT_EQ(lastSet.wYear, 2022);
  EXPECT_EQ(lastSet.wHour, 10);
  EXPECT_EQ(lastSet.wSecond, 36);

  // After a failed query there is no time to set, and the clock is not touched.
  calls_.clear();
  ScriptedServer silent({});
  GetTime(silent.port(), 1);
  EXPECT_EQ(SetTime(Missing()), "False");
  EXPECT_TRUE(calls_.empty());
}

TEST_F(TimeClientControl, SetTimeTakesALocalDate) {
  Zone zone(kEastern);
  VARIANT summer = Str(u"8/25/2022 6:17:36 AM");
  EXPECT_EQ(SetTime(summer), "True");
  EXPECT_EQ(lastSet.wHour, 10);  // daylight saving in force then: UTC-4
  EXPECT_EQ(lastSet.wMinute, 17);

  calls_.clear();
  VARIANT late = Str(u"2040-01-01T00:00:00");  // beyond what 32 bits of seconds since 1900 carry
  EXPECT_EQ(SetTime(late), "False");
  EXPECT_TRUE(calls_.empty());
  EXPECT_EQ(Method(u"SetTime", {Str(u"not a date"), Missing()}), DISP_E_TYPEMISMATCH);
  EXPECT_TRUE(calls_.empty());
}

TEST_F(TimeClientControl, IntervalTimerFiresOnTimerAndFollowsEnabledOnlyWhenWritten) {
  EXPECT_EQ(Put(u"Interval", I4(20)), S_OK);
  EXPECT_TRUE(object_->TimerRunning());
  PumpUntilTimers(2);
  EXPECT_GE(timers_, 2);

  EXPECT_EQ(Method(u"Reset", {}), S_OK);
  EXPECT_FALSE(object_->TimerRunning());

  EXPECT_EQ(Put(u"Enabled", I4(0)), S_OK);
  EXPECT_EQ(Put(u"Interval", I4(20)), S_OK);
  EXPECT_FALSE(object_->TimerRunning());
  EXPECT_EQ(Put(u"Enabled", I4(1)), S_OK);
  EXPECT_FALSE(object_->TimerRunning());
  EXPECT_EQ(Put(u"Interval", I4(20)), S_OK);
  EXPECT_TRUE(object_->TimerRunning());
  EXPECT_EQ(Put(u"Interval", I4(0)), S_OK);
  EXPECT_FALSE(object_->TimerRunning());
}

// A handler that waits in GetTime while the thread has an active window: the wait
// dispatches the timer's messages, and they must not fire OnTimer inside the handler.
class NestedTimer : public TimeClientControl {
 protected:
  void OnTimer() override {
    ++timers_;
    ++depth_;
    maxDepth_ = std::max(maxDepth_, depth_);
    if (timers_ == 1) {
      ScriptedServer silent({});
      GetTime(silent.port(), 1);
    }
    --depth_;
  }
  int depth_ = 0;
  int maxDepth_ = 0;
};

TEST_F(NestedTimer, NoOnTimerWhileOneIsInProgress) {
  HWND top = MakeContainerWindow();
  ASSERT_NE(top, nullptr);
  plat::ShowWindow(top, plat::SW_SHOW);
  plat::SetActiveWindow(top);
  ASSERT_TRUE(plat::ThreadHasActiveWindow());
  EXPECT_EQ(Put(u"Interval", I4(20)), S_OK);
  PumpUntilTimers(2);
  EXPECT_GE(timers_, 2);
  EXPECT_EQ(maxDepth_, 1);
  EXPECT_EQ(Show(u"LastError"), "10060");
  plat::DestroyWindow(top);
}

TEST(TimeClientLayout, MembersStandInTheirOrderWithTheirIds) {
  const auto& t = timectl::ITimeClient::DispatchTable();
  std::vector<std::pair<std::string, DISPID>> methods;
  DISPID last = -514;
  for (size_t i = 3; i < t.count; ++i) {
    EXPECT_GE(t.members[i].id, last) << t.members[i].name;
    last = t.members[i].id;
    if (t.members[i].kind == plat::com::Kind::METHOD) methods.emplace_back(t.members[i].name, t.members[i].id);
  }
  EXPECT_EQ(last, 31);
  const std::vector<std::pair<std::string, DISPID>> expect{{"Cancel", 26},     {"GetTime", 27}, {"Initialize", 28},
                                                           {"Reset", 29},      {"SetTime", 30},
                                                           {"Uninitialize", 31}};
  EXPECT_EQ(methods, expect);
}

}  // namespace
