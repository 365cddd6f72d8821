// The library frame with the mail message library attached beside it, the address parser,
// the ports that imply a protocol, and notification through a window of the caller.
#include <algorithm>
#include <chrono>
#include <cstring>

#include "core/errors/error_codes.h"
#include "mime/mime.h"
#include "platform/msg/wait.h"
#include "platform/msg/window.h"
#include "smtp_test_support.h"

using namespace smtptest;
using cvtest::ScriptServer;
using namespace std::chrono_literals;

namespace {

TEST(SmtpLibrary, AttachHoldsTheMessageLibrary) {
  LibVersionInfo info{};
  info.size = sizeof info;
  ASSERT_EQ(SmtpAttach(&info), 1);
  EXPECT_STREQ(info.banner, "Corvanetics Simple Mail Transfer Protocol Library");
  EXPECT_EQ(info.majorVersion, 9u);
  EXPECT_GE(MimeIsInitialized(), 1u);
  char address[128];
  EXPECT_EQ(SmtpParseAddress("\"Bee, B\" <b@y.test>", address), 8);
  EXPECT_STREQ(address, "b@y.test");
  // A session left open is released by the last detach.
  ScriptServer server;
  Greet(server).Sleep(200ms);
  const LibHandle h = Connect(server);
  ASSERT_NE(h, kInvalidLibHandle);
  SmtpDetach();
  EXPECT_EQ(MimeIsInitialized(), 0u);
  EXPECT_EQ(SmtpIsInitialized(), 0u);
  server.Finish();

  // A record of the wrong size fails; an options word without the full bit only fills it.
  info.size = 100;
  EXPECT_EQ(SmtpAttach(&info), 0);
  EXPECT_EQ(SmtpGetLastError(), 0x8004271Eu);
  info = LibVersionInfo{};
  info.size = sizeof info;
  info.options = 1;
  EXPECT_EQ(SmtpAttach(&info), 1);
  EXPECT_EQ(info.build, 9530u);
  EXPECT_EQ(SmtpIsInitialized(), 0u);
  EXPECT_EQ(MimeIsInitialized(), 0u);
  EXPECT_EQ(SmtpConnect("127.0.0.1", 25, 1, 0, nullptr, nullptr), kInvalidLibHandle);
  EXPECT_EQ(SmtpGetLastError(), 0x8004276Du);
}

class SmtpLastError : public SmtpTest {};

// A command event's receiver reads the reply's outcome as the last error and may set its
// own; the call still ends with its own outcome, and a disconnect whose QUIT is refused
// leaves the caller's error as it was.
TEST_F(SmtpLastError, EventReceiversLeaveTheCallsOwnOutcome) {
  ScriptServer server;
  Greet(server).Expect("NOOP").Reply("250 ok").Expect("NOOP").Reply("500 no").Expect("QUIT").Reply("500 not now");
  const LibHandle h = Connect(server);
  ASSERT_NE(h, kInvalidLibHandle);
  static std::vector<uint32_t> seen;
  seen.clear();
  const auto receiver = [](LibHandle, uint32_t, uint32_t, uintptr_t) -> int32_t {
    seen.push_back(SmtpGetLastError());
    SmtpSetLastError(cvErrorOperationWouldBlock);
    return 0;
  };
  ASSERT_EQ(SmtpSetEventCallback(h, cvmail::kMailEventCommand, receiver, 0), 0);
  EXPECT_EQ(SmtpCommand(h, "NOOP", nullptr), 250);
  EXPECT_EQ(SmtpGetLastError(), 0u);
  EXPECT_EQ(SmtpCommand(h, "NOOP", nullptr), -1);
  EXPECT_EQ(SmtpGetLastError(), cvErrorInvalidCommand);
  EXPECT_EQ(seen, (std::vector<uint32_t>{0, cvErrorInvalidCommand}));
  SmtpSetLastError(cvErrorNotConnected);
  EXPECT_EQ(SmtpDisconnect(h), 0);
  EXPECT_EQ(SmtpGetLastError(), cvErrorNotConnected);
  EXPECT_EQ(seen.size(), 3u);  // the refused QUIT was heard
  server.Finish();
}

class SmtpPorts : public SmtpTest {};

// Port 587 always says EHLO; port 465 starts with the TLS handshake unless tunnelled.
// These need the well-known ports on 127.0.0.1; the test is skipped where one is taken.
TEST_F(SmtpPorts, WellKnownPortsImplyTheProtocol) {
  {
    ScriptServer server("127.0.0.1", 587);
    if (server.port() == 0) GTEST_SKIP() << "cannot bind port 587 here";
    server.Reply("220 ready").Expect("EHLO client.test").Reply("250 hi").Expect("QUIT");
    const LibHandle h = Connect(server, 0);
    ASSERT_NE(h, kInvalidLibHandle) << std::hex << SmtpGetLastError();
    SmtpDisconnect(h);
    EXPECT_TRUE(server.Finish()) << server.failure();
  }
  {
    // A plain greeting where a TLS handshake is expected.
    ScriptServer server("127.0.0.1", 465);
    if (server.port() == 0) GTEST_SKIP() << "cannot bind port 465 here";
    server.Sleep(100ms).Reply("220 plain greeting").Sleep(300ms);
    EXPECT_EQ(Connect(server, 0, 10), kInvalidLibHandle);  // room for a loaded sanitizer build
    EXPECT_EQ(SmtpGetLastError(), 0x80042F46u);
    server.Finish();
  }
  {
    ScriptServer server("127.0.0.1", 465);
    if (server.port() == 0) GTEST_SKIP() << "cannot bind port 465 here";
    server.Reply("220 ready").Expect("HELO client.test").Reply("250 hi").Expect("QUIT");
    const LibHandle h = Connect(server, kSmtpOptionTunnel);
    ASSERT_NE(h, kInvalidLibHandle) << std::hex << SmtpGetLastError();
    SmtpDisconnect(h);
    EXPECT_TRUE(server.Finish()) << server.failure();
  }
}

class SmtpNotify : public SmtpTest {
 protected:
  struct Host {
    std::vector<uint32_t> events;
    std::vector<uint32_t> errors;
    static LRESULT Proc(HWND w, UINT m, WPARAM wp, LPARAM lp) {
      if (m == mailctl::kMsgSmtpNotify) {
        Host* self = reinterpret_cast<Host*>(plat::GetWindowLongPtr(w, plat::GWLP_USERDATA));
        self->events.push_back(uint32_t(lp) & 0xFFFF);
        self->errors.push_back(uint32_t(lp) >> 16);
      }
      return plat::DefWindowProc(w, m, wp, lp);
    }
  };
  void SetUp() override {
    SmtpTest::SetUp();
    plat::WNDCLASS wc{};
    wc.lpfnWndProc = &Host::Proc;
    wc.lpszClassName = "SmtpNotifyTestHost";
    plat::RegisterClass(&wc);
    window_ = plat::CreateWindowEx(0, "SmtpNotifyTestHost", "", 0, 0, 0, 0, 0, plat::HWND_MESSAGE, nullptr, nullptr,
                                   nullptr);
    ASSERT_NE(window_, nullptr);
    plat::SetWindowLongPtr(window_, plat::GWLP_USERDATA, reinterpret_cast<plat::LONG_PTR>(&host_));
  }
  void TearDown() override {
    if (plat::IsWindow(window_)) plat::DestroyWindow(window_);
    SmtpTest::TearDown();
  }
  // Dispatches posted messages until done() or the time runs out.
  template <typename Done>
  static bool PumpUntil(Done done) {
    const auto end = std::chrono::steady_clock::now() + 3s;
    while (!done() && std::chrono::steady_clock::now() < end) {
      plat::MSG m;
      while (plat::PeekMessage(&m, nullptr, 0, 0, plat::PM_REMOVE)) plat::DispatchMessage(&m);
      plat::WaitForEventsOrMessages(nullptr, 0, 10);
    }
    return done();
  }
  HWND window_ = nullptr;
  Host host_;
};

// Registered for every event: command events for each reply, the socket's read event
// through the window, and commands still work on the routed socket.
TEST_F(SmtpNotify, EveryEventThroughTheWindow) {
  ScriptServer server;
  Greet(server).Expect("NOOP").Reply("250 ok").Sleep(100ms).Reply("421 shutting down").Sleep(300ms);
  const LibHandle h = Connect(server);
  ASSERT_NE(h, kInvalidLibHandle);
  ASSERT_EQ(SmtpRegisterWindow(h, window_, mailctl::kMsgSmtpNotify), 0);
  EXPECT_EQ(SmtpCommand(h, "NOOP", nullptr), 250);
  EXPECT_EQ(host_.events, std::vector<uint32_t>{64});
  EXPECT_TRUE(PumpUntil([&] { return std::count(host_.events.begin(), host_.events.end(), 4u) > 0; }));
  EXPECT_EQ(SmtpReadReply(h), 250);  // nothing pending: the last code, nothing read
  SmtpDisconnect(h);
  server.Finish();
}

// The control's registration (timeout, cancel, progress): a refusal sends no command
// event, a timeout reaches the window with its error's low word.
TEST_F(SmtpNotify, ControlMaskGetsOnlyItsEvents) {
  ScriptServer server;
  Greet(server).Expect("NOOP").Reply("500 no").Expect("NOOP").Sleep(2500ms);
  const LibHandle h = Connect(server, kSmtpOptionExtended, 1);
  ASSERT_NE(h, kInvalidLibHandle);
  ASSERT_EQ(SmtpRegisterEvents(h, window_, mailctl::kMsgSmtpNotify, kTimeoutCancelProgress), 0);
  EXPECT_EQ(SmtpCommand(h, "NOOP", nullptr), -1);
  EXPECT_EQ(SmtpGetLastError(), 0x80042FB6u);
  EXPECT_TRUE(host_.events.empty());
  EXPECT_EQ(SmtpCommand(h, "NOOP", nullptr), -1);
  EXPECT_EQ(host_.events, std::vector<uint32_t>{16});
  EXPECT_EQ(host_.errors, std::vector<uint32_t>{0x274C});
  EXPECT_EQ(SmtpFireMailEvent(h, 32, 0x80042714u), 0);
  EXPECT_EQ(host_.events.back(), 32u);
  EXPECT_EQ(host_.errors.back(), 0x2714u);
  SmtpDisconnect(h);
  server.Finish();
}

}  // namespace
