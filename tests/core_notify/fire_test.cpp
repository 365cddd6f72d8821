// Registration, delivery of events to callbacks and windows, holding and replaying network
// events, and receivers that call back into the library or free the session.
#include <thread>
#include <vector>

#include "notify_fixture.h"

namespace fake {
namespace {

struct Call {
  LibHandle handle;
  uint32_t event;
  uint32_t error;
  bool operator==(const Call&) const = default;
};

// The parameter is the vector the calls are recorded in.
int32_t Record(LibHandle handle, uint32_t event, uint32_t error, uintptr_t parameter) {
  reinterpret_cast<std::vector<Call>*>(parameter)->push_back({handle, event, error});
  return 0;
}

constexpr SOCKET kFakeSocket = 70001;  // never a real descriptor: only its messages are posted
constexpr uint32_t kAll = 0xFFFFFFFF;

TEST_F(Notify, EventReachesCallbackAndWindowWithHandleEventAndError) {
  HostWindow host;
  host.onEvent = [](const Delivery&) { return LRESULT(77); };
  const LibHandle h = NewSession();
  std::vector<Call> calls;
  ASSERT_EQ(E::Register(h, host.hwnd(), kNotifyMessage, kAll), 0);
  ASSERT_EQ(E::SetCallback(h, kReply, &Record, uintptr_t(&calls)), 0);

  EXPECT_EQ(E::Fire(h, kReply, 0), 77);
  EXPECT_EQ(E::Fire(h, kTimedOut, cvErrorOperationTimeout), 77);
  EXPECT_EQ(Lib().GetLastError(), cvErrorOperationTimeout);  // a nonzero error becomes the last error
  ASSERT_EQ(E::SetCallback(h, kCanceled, &Record, uintptr_t(&calls)), 0);
  EXPECT_EQ(E::Fire(h, kCanceled, 10004), 77);  // a bare number stands for the full code

  const uint32_t me = plat::GetCurrentThreadId();
  EXPECT_EQ(host.deliveries, (std::vector<Delivery>{{h, kReply, 0, me}, {h, kTimedOut, 10060, me},
                                                    {h, kCanceled, 10004, me}}));
  // Only events that have a callback; it receives the full error code.
  EXPECT_EQ(calls, (std::vector<Call>{{h, kReply, 0}, {h, kCanceled, cvErrorOperationCanceled}}));
}

TEST_F(Notify, MaskAndEventRangeDecideWhatIsDelivered) {
  struct Case {
    uint32_t mask;
    uint32_t event;
    bool delivered;
  } cases[] = {
      {960, kReadable, false},    // the control's mask has no data-socket events
      {960, kTimedOut, true},     {960, kProgress, true},    {kAll, kUploadStarting, true},
      {kAll, 4096, false},        // no such event
      {kAll, 0, false},
  };
  HostWindow host;
  const LibHandle h = NewSession();
  for (const Case& c : cases) {
    SCOPED_TRACE(testing::Message() << "mask " << c.mask << " event " << c.event);
    std::vector<Call> calls;
    host.deliveries.clear();
    ASSERT_EQ(E::Register(h, host.hwnd(), kNotifyMessage, c.mask), 0);
    for (int bit = 0; bit < 12; ++bit) {
      S(h).notify.callbacks[bit] = &Record;
      S(h).notify.parameters[bit] = uintptr_t(&calls);
    }
    EXPECT_EQ(E::Fire(h, c.event, 0), c.delivered ? 1 : 0);
    EXPECT_EQ(host.deliveries.size(), c.delivered ? 1u : 0u);
    EXPECT_EQ(calls.size(), c.delivered ? 1u : 0u);
  }
}

TEST_F(Notify, ProgressCallbackNeedsItsBitInTheMask) {
  HostWindow host;
  const LibHandle h = NewSession();
  std::vector<Call> calls;
  ASSERT_EQ(E::SetCallback(h, kProgress, &Record, uintptr_t(&calls)), 0);
  EXPECT_EQ(E::Fire(h, kProgress, 0), 0);  // no window: the callback alone
  EXPECT_EQ(calls.size(), 1u);

  ASSERT_EQ(E::Register(h, host.hwnd(), kNotifyMessage, kTimedOut | kCanceled | kReply), 0);  // mask without 512
  E::Fire(h, kProgress, 0);
  EXPECT_EQ(calls.size(), 1u);
  EXPECT_TRUE(host.deliveries.empty());

  ASSERT_EQ(E::SetCallback(h, kProgress, &Record, uintptr_t(&calls)), 0);  // adds 512 again
  E::Fire(h, kProgress, 0);
  EXPECT_EQ(calls.size(), 2u);
  EXPECT_EQ(host.Events(), std::vector<uint32_t>{kProgress});

  EXPECT_EQ(E::SetCallback(h, 4096, &Record, 0), -1);  // not an event of the library
  EXPECT_EQ(E::SetCallback(h, 3, &Record, 0), -1);     // not a single event
  EXPECT_EQ(Lib().GetLastError(), cvErrorInvalidParameter);
}

TEST_F(Notify, RegistrationIsCheckedAndANullWindowUnregisters) {
  HostWindow host;
  const LibHandle h = NewSession();
  EXPECT_EQ(E::Register(h, host.hwnd(), 1023, kAll), -1);
  EXPECT_EQ(Lib().GetLastError(), cvErrorInvalidParameter);
  HWND dead;
  {
    HostWindow gone;
    dead = gone.hwnd();
  }
  EXPECT_EQ(E::Register(h, dead, kNotifyMessage, kAll), -1);
  EXPECT_EQ(Lib().GetLastError(), cvErrorInvalidParameter);
  for (LibHandle bad : {LibHandle(12), kInvalidLibHandle}) {
    EXPECT_EQ(E::Register(bad, host.hwnd(), kNotifyMessage, kAll), -1);
    EXPECT_EQ(E::Fire(bad, kReply, 0), -1);
    EXPECT_EQ(E::Freeze(bad, true), -1);
    EXPECT_EQ(E::Unregister(bad), -1);
    EXPECT_EQ(Lib().GetLastError(), cvErrorInvalidHandle);
  }

  std::vector<Call> calls;
  ASSERT_EQ(E::Register(h, host.hwnd(), kNotifyMessage, kAll), 0);
  ASSERT_EQ(E::SetCallback(h, kReply, &Record, uintptr_t(&calls)), 0);
  ASSERT_EQ(E::Register(h, nullptr, 0, kAll), 0);  // unregisters: callbacks and mask go too
  EXPECT_EQ(E::Fire(h, kReply, 0), 0);
  ASSERT_EQ(E::Register(h, host.hwnd(), kNotifyMessage, kAll), 0);
  E::Fire(h, kReply, 0);
  EXPECT_TRUE(calls.empty());
  EXPECT_EQ(host.Events(), std::vector<uint32_t>{kReply});
}

TEST_F(Notify, HeldNetworkEventsReplayInFixedOrderWithTheirErrors) {
  HostWindow host;
  const LibHandle h = NewSession();
  FakeSelected(h, host.hwnd(), kFakeSocket);
  ASSERT_EQ(E::Register(h, host.hwnd(), kNotifyMessage, kAll), 0);

  ASSERT_EQ(E::Freeze(h, true), 0);
  PostSocketEvent(host.hwnd(), kFakeSocket, plat::FD_READ);
  PostSocketEvent(host.hwnd(), kFakeSocket, plat::FD_CLOSE);
  PostSocketEvent(host.hwnd(), kFakeSocket, plat::FD_WRITE);
  PostSocketEvent(host.hwnd(), kFakeSocket, plat::FD_CONNECT, 10061);
  PumpFor(50);
  EXPECT_TRUE(host.deliveries.empty());
  EXPECT_EQ(E::Fire(h, kReply, 0), 0);  // held: library events wait as well (they are dropped)

  ASSERT_EQ(E::Freeze(h, false), 0);
  ASSERT_TRUE(PumpUntil([&] { return host.deliveries.size() >= 4; }));
  const uint32_t me = plat::GetCurrentThreadId();
  EXPECT_EQ(host.deliveries, (std::vector<Delivery>{{h, kDataConnected, 10061, me}, {h, kDataClosed, 0, me},
                                                    {h, kReadable, 0, me}, {h, kWritable, 0, me}}));
  PumpFor(30);
  EXPECT_EQ(host.deliveries.size(), 4u);  // each once
}

TEST_F(Notify, NothingIsHeldWithoutSocketWindowOrSocket) {
  HostWindow host;
  const LibHandle h = NewSession();
  ASSERT_EQ(E::Register(h, host.hwnd(), kNotifyMessage, kAll), 0);
  ASSERT_EQ(E::Freeze(h, true), 0);
  EXPECT_FALSE(S(h).notify.held.load());
  EXPECT_EQ(E::Fire(h, kReply, 0), 1);
}

// While a session with a socket window and a socket delivers an event, its network events
// are recorded and handled afterwards, a further event of it is dropped, and its selection
// cannot change.
TEST_F(Notify, DeliveryHoldsTheSessionsOwnEvents) {
  HostWindow host;
  const LibHandle h = NewSession();
  FakeSelected(h, host.hwnd(), kFakeSocket);
  ASSERT_EQ(E::Register(h, host.hwnd(), kNotifyMessage, kAll), 0);
  LRESULT nested = -5;
  int32_t reselect = 0;
  uint32_t reselectError = 0;
  host.onEvent = [&](const Delivery& d) -> LRESULT {
    if (d.event != kReply) return 1;
    PostSocketEvent(host.hwnd(), kFakeSocket, plat::FD_READ);
    PumpFor(20);  // the receiver pumps: the network event arrives now
    nested = E::Fire(h, kTimedOut, 0);
    reselect = E::SelectEvents(h, nullptr, 0);
    reselectError = Lib().GetLastError();
    return 2;
  };
  EXPECT_EQ(E::Fire(h, kReply, 0), 2);
  EXPECT_EQ(nested, 0);
  EXPECT_EQ(reselect, -1);
  EXPECT_EQ(reselectError, cvErrorOperationInProgress);
  EXPECT_EQ(S(h).notify.socketWindow, host.hwnd());
  EXPECT_EQ(host.Events(), std::vector<uint32_t>{kReply});
  ASSERT_TRUE(PumpUntil([&] { return host.deliveries.size() == 2; }));
  EXPECT_EQ(host.Events(), (std::vector<uint32_t>{kReply, kReadable}));
}

TEST_F(Notify, SessionWithoutSocketWindowDeliversNestedEvents) {
  HostWindow host;
  const LibHandle h = NewSession();
  ASSERT_EQ(E::Register(h, host.hwnd(), kNotifyMessage, kAll), 0);
  host.onEvent = [&](const Delivery& d) -> LRESULT {
    if (d.event == kReply) {
      EXPECT_EQ(E::Fire(h, kTimedOut, 0), 1);
    }
    return 1;
  };
  E::Fire(h, kReply, 0);
  EXPECT_EQ(host.Events(), (std::vector<uint32_t>{kReply, kTimedOut}));
  EXPECT_FALSE(S(h).notify.Dispatching());
}

int32_t FreeInCallback(LibHandle handle, uint32_t, uint32_t, uintptr_t) {
  Library<0>().FreeSession(handle);
  return 0;
}

TEST_F(Notify, ReceiverMayFreeTheSession) {
  HostWindow host;
  const LibHandle h = NewSession();
  FakeSelected(h, host.hwnd(), kFakeSocket);
  ASSERT_EQ(E::Register(h, host.hwnd(), kNotifyMessage, kAll), 0);
  host.onEvent = [&](const Delivery& d) -> LRESULT {
    Lib().FreeSession(d.handle);
    return 5;
  };
  EXPECT_EQ(E::Fire(h, kReply, 0), 5);
  EXPECT_EQ(Lib().FindSession(h), nullptr);
  EXPECT_EQ(Lib().state().windows.Count(), 0u);  // the freed session left its window

  // Freed by its callback: the window gets nothing.
  const LibHandle h2 = NewSession();
  ASSERT_EQ(E::Register(h2, host.hwnd(), kNotifyMessage, kAll), 0);
  ASSERT_EQ(E::SetCallback(h2, kReply, &FreeInCallback, 0), 0);
  EXPECT_EQ(E::Fire(h2, kReply, 0), 0);
  EXPECT_EQ(Lib().FindSession(h2), nullptr);
  EXPECT_EQ(host.deliveries.size(), 1u);
}

// A receiver that frees the session and opens a new one gets the same handle and maybe
// the same memory: the end of the delivery must leave the new session alone.
TEST_F(Notify, NewSessionInTheFreedSlotIsNotTouched) {
  HostWindow host;
  const LibHandle h = NewSession();
  ASSERT_EQ(E::Register(h, host.hwnd(), kNotifyMessage, kAll), 0);
  LibHandle reborn = kInvalidLibHandle;
  host.onEvent = [&](const Delivery& d) -> LRESULT {
    Lib().FreeSession(d.handle);
    reborn = Lib().AllocSession();
    FakeSelected(reborn, host.hwnd(), kFakeSocket);
    E::Freeze(reborn, true);
    return 1;
  };
  E::Fire(h, kReply, 0);
  ASSERT_NE(reborn, kInvalidLibHandle);
  EXPECT_TRUE(S(reborn).notify.held.load());
  EXPECT_FALSE(S(reborn).notify.Dispatching());
}

TEST_F(Notify, EventFiredOnAnotherThreadReachesTheWindowsThread) {
  HostWindow host;
  host.onEvent = [](const Delivery&) { return LRESULT(9); };
  const LibHandle h = NewSession();
  S(h).options |= kLibOptionFreeThreaded;
  ASSERT_EQ(E::Register(h, host.hwnd(), kNotifyMessage, kAll), 0);
  std::vector<Call> calls;
  ASSERT_EQ(E::SetCallback(h, kProgress, &Record, uintptr_t(&calls)), 0);

  LRESULT result = 0;
  uint32_t worker = 0;
  std::thread t([&] {
    worker = plat::GetCurrentThreadId();
    result = E::Fire(h, kProgress, 0);
  });
  EXPECT_TRUE(PumpUntil([&] { return !host.deliveries.empty(); }));
  t.join();
  EXPECT_EQ(result, 9);
  ASSERT_EQ(host.deliveries.size(), 1u);
  EXPECT_EQ(host.deliveries[0].thread, plat::GetCurrentThreadId());
  EXPECT_NE(host.deliveries[0].thread, worker);
  EXPECT_EQ(calls, (std::vector<Call>{{h, kProgress, 0}}));  // the callback runs on the firing thread
}

TEST_F(Notify, OwnerCheckRefusesOtherThreads) {
  HostWindow host;
  const LibHandle h = NewSession();
  ASSERT_EQ(E::Register(h, host.hwnd(), kNotifyMessage, kAll), 0);
  LRESULT result = 0;
  uint32_t error = 0;
  std::thread([&] {
    result = E::Fire(h, kReply, 0);
    error = Lib().GetLastError();
  }).join();
  EXPECT_EQ(result, -1);
  EXPECT_EQ(error, cvErrorNotHandleOwner);
  EXPECT_TRUE(host.deliveries.empty());
}

TEST_F(Notify, HoldingOtherSessionsNestsAndReplays) {
  HostWindow host;
  const LibHandle a = NewSession();
  const LibHandle b = NewSession();
  FakeSelected(b, host.hwnd(), kFakeSocket);
  ASSERT_EQ(E::Register(b, host.hwnd(), kNotifyMessage, kAll), 0);

  ASSERT_EQ(E::HoldOtherSessions(a, true), 0);
  ASSERT_EQ(E::HoldOtherSessions(a, true), 0);
  EXPECT_TRUE(S(b).notify.held.load());
  PostSocketEvent(host.hwnd(), kFakeSocket, plat::FD_CLOSE);
  PumpFor(30);
  ASSERT_EQ(E::HoldOtherSessions(a, false), 0);
  EXPECT_TRUE(S(b).notify.held.load());  // one hold is left
  PumpFor(30);
  EXPECT_TRUE(host.deliveries.empty());
  ASSERT_EQ(E::HoldOtherSessions(a, false), 0);
  EXPECT_FALSE(S(b).notify.held.load());
  ASSERT_TRUE(PumpUntil([&] { return !host.deliveries.empty(); }));
  EXPECT_EQ(host.Events(), std::vector<uint32_t>{kDataClosed});
  EXPECT_EQ(E::HoldOtherSessions(a, false), 0);  // an unmatched release changes nothing
  EXPECT_EQ(S(a).notify.holdCount, 0u);

  // A session freed while it holds the others lets them go.
  ASSERT_EQ(E::HoldOtherSessions(a, true), 0);
  EXPECT_TRUE(S(b).notify.held.load());
  Lib().FreeSession(a);
  EXPECT_FALSE(S(b).notify.held.load());
}

}  // namespace
}  // namespace fake
