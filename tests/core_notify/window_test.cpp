// Attaching sessions to windows: one subclass layer per library and window, restored by
// the last detach, the window's destruction or the library's last detach, also when two
// libraries subclassed the same window.
#include <future>
#include <memory>
#include <thread>

#include "notify_fixture.h"

namespace fake {
namespace {

bool Subclassed(HWND window) { return plat::GetWindowSubclass(window, &Engine<0>::WindowProc, 0, nullptr); }

constexpr UINT kOwnMessage = 3000;  // a message of the host itself

TEST_F(Notify, OneLayerPerWindowWhateverTheSessions) {
  HostWindow host;
  const LibHandle a = NewSession();
  const LibHandle b = NewSession();
  ASSERT_EQ(E::AttachWindow(a, host.hwnd()), 1);
  ASSERT_EQ(E::AttachWindow(b, host.hwnd()), 1);
  ASSERT_EQ(E::AttachWindow(b, host.hwnd()), 1);  // again: still one attachment of b
  EXPECT_EQ(Lib().state().windows.Count(), 1u);
  EXPECT_EQ(Lib().state().windows.Find(host.hwnd())->sessions, 2u);
  EXPECT_TRUE(Subclassed(host.hwnd()));

  // The layer passes the host's own messages on and leaves the last error alone.
  Lib().SetLastError(cvErrorOperationTimeout);
  plat::SendMessage(host.hwnd(), kOwnMessage, 12345, 0);
  EXPECT_EQ(host.otherMessages, std::vector<UINT>{kOwnMessage});
  EXPECT_EQ(Lib().GetLastError(), cvErrorOperationTimeout);

  ASSERT_EQ(E::AttachWindow(a, nullptr), 1);
  EXPECT_TRUE(Subclassed(host.hwnd()));
  EXPECT_EQ(S(a).notify.socketWindow, nullptr);
  ASSERT_EQ(E::AttachWindow(b, nullptr), 1);
  EXPECT_FALSE(Subclassed(host.hwnd()));
  EXPECT_EQ(Lib().state().windows.Count(), 0u);
  plat::SendMessage(host.hwnd(), kOwnMessage, 0, 0);
  EXPECT_EQ(host.otherMessages.size(), 2u);
}

TEST_F(Notify, MovingASessionBetweenWindows) {
  HostWindow one, two;
  const LibHandle h = NewSession();
  ASSERT_EQ(E::AttachWindow(h, one.hwnd()), 1);
  ASSERT_EQ(E::AttachWindow(h, two.hwnd()), 1);
  EXPECT_FALSE(Subclassed(one.hwnd()));
  EXPECT_TRUE(Subclassed(two.hwnd()));
  EXPECT_EQ(S(h).notify.socketWindow, two.hwnd());
}

TEST_F(Notify, AttachRefusesMissingAndForeignWindows) {
  const LibHandle h = NewSession();
  HWND dead;
  {
    HostWindow gone;
    dead = gone.hwnd();
  }
  EXPECT_EQ(E::AttachWindow(h, dead), 0);
  EXPECT_EQ(Lib().GetLastError(), cvErrorInvalidParameter);

  std::promise<HWND> made;
  std::promise<void> done;
  std::thread other([&] {
    HostWindow foreign;
    made.set_value(foreign.hwnd());
    done.get_future().wait();
  });
  const HWND foreign = made.get_future().get();
  EXPECT_EQ(E::AttachWindow(h, foreign), 0);
  EXPECT_EQ(Lib().GetLastError(), cvErrorNotHandleOwner);
  EXPECT_EQ(E::Register(h, foreign, kNotifyMessage, 0xFFFFFFFF), 0);  // a notification window may be any thread's
  done.set_value();
  other.join();
  EXPECT_EQ(S(h).notify.socketWindow, nullptr);
  EXPECT_EQ(Lib().state().windows.Count(), 0u);
  EXPECT_EQ(E::Fire(h, kReply, 0), 0);  // its window is gone by now: nothing to answer
}

TEST_F(Notify, DestroyedWindowDetachesItsSessions) {
  auto host = std::make_unique<HostWindow>();
  const HWND window = host->hwnd();
  const LibHandle a = NewSession();
  const LibHandle b = NewSession();
  FakeSelected(a, window, 70011);
  FakeSelected(b, window, 70012);
  ASSERT_EQ(E::Register(a, window, kNotifyMessage, 0xFFFFFFFF), 0);
  host.reset();

  EXPECT_EQ(S(a).notify.socketWindow, nullptr);
  EXPECT_EQ(S(b).notify.socketWindow, nullptr);
  EXPECT_EQ(Lib().state().windows.Count(), 0u);
  // The registration still names the dead window: nothing breaks.
  EXPECT_EQ(E::Fire(a, kReply, 0), 0);
  EXPECT_FALSE(plat::PostMessage(window, cvcore::kNotifySocketMessage, 70011, plat::FD_READ));  // gone
  EXPECT_EQ(E::SelectEvents(a, nullptr, 0), 0);
  EXPECT_EQ(E::Unregister(a), 0);
  Lib().FreeSession(a);
  Lib().FreeSession(b);
}

TEST_F(Notify, LastDetachRestoresEveryWindow) {
  HostWindow one, two;
  ASSERT_EQ(E::AttachWindow(NewSession(), one.hwnd()), 1);
  ASSERT_EQ(E::AttachWindow(NewSession(), two.hwnd()), 1);
  Lib().Detach();
  EXPECT_FALSE(Subclassed(one.hwnd()));
  EXPECT_FALSE(Subclassed(two.hwnd()));
  plat::SendMessage(one.hwnd(), kOwnMessage, 0, 0);
  EXPECT_EQ(one.otherMessages, std::vector<UINT>{kOwnMessage});
}

TEST_F(Notify, SelectionNeedsADataConnectionAndAProperMessage) {
  HostWindow host;
  const LibHandle h = NewSession();
  EXPECT_EQ(E::SelectEvents(h, host.hwnd(), cvcore::kNotifySocketMessage), -1);
  EXPECT_EQ(Lib().GetLastError(), cvErrorConnectionClosed);
  S(h).dataSocket = 70021;
  EXPECT_EQ(E::SelectEvents(h, host.hwnd(), 1000), -1);
  EXPECT_EQ(Lib().GetLastError(), cvErrorInvalidParameter);
  // Not a socket: the selection fails and leaves the window alone.
  EXPECT_EQ(E::SelectEvents(h, host.hwnd(), cvcore::kNotifySocketMessage), -1);
  EXPECT_EQ(Lib().GetLastError(), cvErrorInvalidHandle);
  EXPECT_EQ(S(h).notify.socketWindow, nullptr);
  EXPECT_FALSE(Subclassed(host.hwnd()));
}

// Two libraries on one control window: each has its own layer, and either may go first.
class TwoLibraries : public Notify {
 protected:
  void SetUp() override {
    Notify::SetUp();
    LibVersionInfo info{};
    info.size = sizeof info;
    info.options = kLibAttachFull;
    ASSERT_EQ(Library<1>().Attach(&info), 1);
  }
  void TearDown() override {
    while (Library<1>().IsInitialized() > 0) Library<1>().Detach();
    Notify::TearDown();
  }
};

TEST_F(TwoLibraries, ChainIsRestoredInEitherOrder) {
  for (bool firstGoesFirst : {true, false}) {
    SCOPED_TRACE(firstGoesFirst ? "first library leaves first" : "second library leaves first");
    HostWindow host;
    const LibHandle a = NewSession();
    const LibHandle b = Library<1>().AllocSession();
    FakeSelected(a, host.hwnd(), 70031);
    ASSERT_NE(b, kInvalidLibHandle);
    Library<1>().FindSession(b)->dataSocket = 70032;
    ASSERT_EQ(Engine<1>::AttachWindow(b, host.hwnd()), 1);
    Library<1>().FindSession(b)->notify.socketMessage = cvcore::kNotifySocketMessage;
    ASSERT_EQ(E::Register(a, host.hwnd(), kNotifyMessage, 0xFFFFFFFF), 0);
    ASSERT_EQ(Engine<1>::Register(b, host.hwnd(), kNotifyMessage, 0xFFFFFFFF), 0);
    EXPECT_TRUE(Subclassed(host.hwnd()));
    EXPECT_TRUE(plat::GetWindowSubclass(host.hwnd(), &Engine<1>::WindowProc, 0, nullptr));

    // Each layer turns only its own library's socket messages into events.
    PostSocketEvent(host.hwnd(), 70031, plat::FD_WRITE);
    PostSocketEvent(host.hwnd(), 70032, plat::FD_CLOSE);
    ASSERT_TRUE(PumpUntil([&] { return host.deliveries.size() == 2; }));
    EXPECT_EQ(host.deliveries[0].handle, a);
    EXPECT_EQ(host.deliveries[0].event, kWritable);
    EXPECT_EQ(host.deliveries[1].handle, b);
    EXPECT_EQ(host.deliveries[1].event, kDataClosed);

    if (firstGoesFirst)
      ASSERT_EQ(E::AttachWindow(a, nullptr), 1);
    else
      ASSERT_EQ(Engine<1>::AttachWindow(b, nullptr), 1);
    // The remaining layer still works and still passes the host's messages on.
    PostSocketEvent(host.hwnd(), firstGoesFirst ? 70032 : 70031, plat::FD_READ);
    ASSERT_TRUE(PumpUntil([&] { return host.deliveries.size() == 3; }));
    EXPECT_EQ(host.deliveries[2].handle, firstGoesFirst ? b : a);
    plat::SendMessage(host.hwnd(), kOwnMessage, 0, 0);

    if (firstGoesFirst)
      ASSERT_EQ(Engine<1>::AttachWindow(b, nullptr), 1);
    else
      ASSERT_EQ(E::AttachWindow(a, nullptr), 1);
    EXPECT_FALSE(Subclassed(host.hwnd()));
    EXPECT_FALSE(plat::GetWindowSubclass(host.hwnd(), &Engine<1>::WindowProc, 0, nullptr));
    plat::SendMessage(host.hwnd(), kOwnMessage, 0, 0);
    std::vector<UINT> own;
    for (UINT m : host.otherMessages)
      if (m == kOwnMessage) own.push_back(m);
    EXPECT_EQ(own.size(), 2u);
    Lib().FreeSession(a);
    Library<1>().FreeSession(b);
  }
}

}  // namespace
}  // namespace fake
