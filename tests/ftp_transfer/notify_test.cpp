// The FTP library's events on a host window of the test thread: replies, progress and
// time-outs as message 2025, registration errors, held network events replayed in order,
// windows shared by sessions, destroyed windows, and receivers that free the session.
#include <thread>

#include "ftp/ftp_notify.h"
#include "platform/base/thread.h"
#include "platform/msg/msg.h"
#include "transfer_fixture.h"

namespace xfer {
namespace {

constexpr UINT kMessage = 2025;

class Host {
 public:
  std::vector<std::pair<uint32_t, uint32_t>> events;  // (event, error word)
  std::function<void(LibHandle, uint32_t)> onEvent;

  Host() {
    static const bool registered = [] {
      plat::WNDCLASS wc{};
      wc.lpfnWndProc = &Proc;
      wc.lpszClassName = "FtpTransferTestHost";
      plat::RegisterClass(&wc);
      return true;
    }();
    (void)registered;
    hwnd_ = plat::CreateWindowEx(0, "FtpTransferTestHost", "", 0, 0, 0, 0, 0, plat::HWND_MESSAGE, nullptr, nullptr, this);
  }
  ~Host() {
    if (plat::IsWindow(hwnd_)) plat::DestroyWindow(hwnd_);
  }
  HWND hwnd() const { return hwnd_; }
  int Count(uint32_t event) const {
    int n = 0;
    for (auto& e : events) n += e.first == event;
    return n;
  }

 private:
  static LRESULT Proc(HWND h, UINT m, WPARAM w, LPARAM l) {
    if (m == plat::WM_NCCREATE)
      plat::SetWindowLongPtr(h, plat::GWLP_USERDATA,
                             reinterpret_cast<plat::LONG_PTR>(reinterpret_cast<plat::CREATESTRUCT*>(l)->lpCreateParams));
    auto* self = reinterpret_cast<Host*>(plat::GetWindowLongPtr(h, plat::GWLP_USERDATA));
    if (self && m == kMessage) {
      self->events.emplace_back(LOWORD(uint32_t(l)), HIWORD(uint32_t(l)));
      if (self->onEvent) self->onEvent(LibHandle(w), LOWORD(uint32_t(l)));
      return 1;
    }
    return plat::DefWindowProc(h, m, w, l);
  }
  HWND hwnd_;
};

void Pump(int ms) {
  const auto end = std::chrono::steady_clock::now() + std::chrono::milliseconds(ms);
  while (std::chrono::steady_clock::now() < end) {
    plat::MSG m;
    while (plat::PeekMessage(&m, nullptr, 0, 0, plat::PM_REMOVE)) plat::DispatchMessage(&m);
    plat::WaitForEventsOrMessages(nullptr, 0, 10);
  }
}

TEST_F(XferTest, HostWindowReceivesRepliesProgressAndTimeouts) {
  ScriptServer server;
  DataPort d1, d2;
  Greet(server);
  Serve(Pasv(server, d1).Expect("RETR f"), d1, std::string(50000, '\0'));
  Pasv(server, d2).Expect("RETR stall").Call([&d2](ScriptServer& s) {
    s.SendRaw("150 Here.\r\n");
    int c = ScriptServer::AcceptOne(d2.listener, 5s);
    std::this_thread::sleep_for(1500ms);
    ::close(c);
  });
  LibHandle h = Connect(server, 1);
  ASSERT_NE(h, kNone);
  Host host;
  ASSERT_EQ(FtpRegisterEvents(h, host.hwnd(), kMessage, 960), 0);
  std::vector<uint32_t> progress;
  ASSERT_EQ(FtpSetProgressCallback(h, [](LibHandle, uint32_t event, uint32_t, uintptr_t p) {
              reinterpret_cast<std::vector<uint32_t>*>(p)->push_back(event);
            }, reinterpret_cast<uintptr_t>(&progress)), 0);
  char buffer[64];
  uint32_t length = sizeof buffer;
  ASSERT_EQ(FtpRetrieveData(h, "f", buffer, &length), 0) << LastError();
  EXPECT_GE(host.Count(256), 3);  // PASV, RETR, the final reply
  EXPECT_EQ(host.Count(512), 1);
  EXPECT_EQ(progress, std::vector<uint32_t>{512});
  EXPECT_EQ(host.Count(1024), 0);  // not in the mask
  length = sizeof buffer;
  EXPECT_EQ(FtpRetrieveData(h, "stall", buffer, &length), -1);
  EXPECT_EQ(std::count(host.events.begin(), host.events.end(), std::make_pair(64u, 10060u)), 1);
  EXPECT_EQ(FtpFireEvent(h, 4096, 0), 0);  // no such event
  EXPECT_EQ(FtpFireEvent(h, 256, 0), 1);
  server.Finish();
  FtpDisconnect(h);
}

TEST_F(XferTest, RegistrationErrors) {
  ScriptServer server;
  Greet(server);
  LibHandle h = Connect(server);
  ASSERT_NE(h, kNone);
  Host host;
  EXPECT_EQ(FtpRegisterEvents(h, host.hwnd(), 1023, 960), -1);
  EXPECT_EQ(LastError(), cvErrorInvalidParameter);
  EXPECT_EQ(FtpRegisterEvents(h, reinterpret_cast<HWND>(uintptr_t(0x7777)), kMessage, 960), -1);
  EXPECT_EQ(LastError(), cvErrorInvalidParameter);
  HWND foreign = nullptr;
  std::thread([&] {
    Host other;
    foreign = other.hwnd();
    EXPECT_EQ(NotifyAttachWindow(h, foreign), 0);  // the session is not this thread's
  }).join();
  Host mine;
  std::thread t;
  {
    // A window of another thread, alive while we try.
    std::atomic<HWND> w{nullptr};
    std::atomic<bool> done{false};
    t = std::thread([&] {
      Host other;
      w = other.hwnd();
      while (!done) std::this_thread::sleep_for(5ms);
    });
    while (!w) std::this_thread::sleep_for(5ms);
    EXPECT_EQ(NotifyAttachWindow(h, w), 0);
    EXPECT_EQ(LastError(), cvErrorNotHandleOwner);
    done = true;
    t.join();
  }
  // Registering from inside an event of the session.
  ASSERT_EQ(FtpRegisterEvents(h, host.hwnd(), kMessage, 960), 0);
  int32_t inside = 0;
  uint32_t insideError = 0;
  host.onEvent = [&](LibHandle handle, uint32_t) {
    inside = FtpRegisterEvents(handle, mine.hwnd(), kMessage, 960);
    insideError = FtpGetLastError();
  };
  FtpFireEvent(h, 256, 0);
  EXPECT_EQ(inside, -1);
  EXPECT_EQ(insideError, cvErrorOperationInProgress);
  host.onEvent = nullptr;
  EXPECT_EQ(FtpUnregisterEvents(h), 0);
  EXPECT_EQ(FtpFireEvent(h, 256, 0), 0);
  FtpDisconnect(h);
}

// Network events of the data socket arriving while events are held are replayed, on
// release, as CLOSE, READ, WRITE.
TEST_F(XferTest, HeldNetworkEventsReplayInOrder) {
  ScriptServer server;
  DataPort d;
  Greet(server);
  Pasv(server, d).Expect("RETR f").Call([&d](ScriptServer& s) {
    s.SendRaw("150 Here.\r\n");
    int c = ScriptServer::AcceptOne(d.listener, 5s);
    std::this_thread::sleep_for(1000ms);
    ::close(c);
    s.SendRaw("226 Done.\r\n");
  });
  LibHandle h = Connect(server);
  ASSERT_NE(h, kNone);
  Host host;
  ASSERT_EQ(FtpRegisterEvents(h, host.hwnd(), kMessage, 0xFFFFFFFF), 0);
  ASSERT_EQ(FtpOpenFile(h, "f", 0), 150);
  const SOCKET data = FtpGetSocket(h, 1);
  ASSERT_NE(data, INVALID_SOCKET);
  ASSERT_EQ(FtpGetSession(h)->notify.socketWindow, host.hwnd());  // routed on open
  Pump(50);
  host.events.clear();
  ASSERT_EQ(FtpFreezeEvents(h, 1), 0);
  for (int32_t fd : {plat::FD_READ, plat::FD_CLOSE, plat::FD_WRITE})
    plat::PostMessage(host.hwnd(), 9215, WPARAM(data), plat::WSAMakeSelectReply(uint32_t(fd), 0));
  Pump(100);
  EXPECT_TRUE(host.events.empty());
  ASSERT_EQ(FtpFreezeEvents(h, 0), 0);
  Pump(100);
  std::vector<uint32_t> order;
  for (auto& e : host.events)
    if (e.first <= 32) order.push_back(e.first);
  ASSERT_GE(order.size(), 3u);
  EXPECT_EQ(std::vector<uint32_t>(order.begin(), order.begin() + 3), (std::vector<uint32_t>{8, 16, 32}));
  EXPECT_EQ(FtpCloseFile(h), 226);
  EXPECT_TRUE(server.Finish()) << server.failure();
  FtpDisconnect(h);
}

// The data the window's read event finds is read ahead in the window procedure, outside
// any call of the host's: the last error of the host's failed call stays as it was.
TEST_F(XferTest, AReadAheadInTheWindowKeepsTheCallersError) {
  ScriptServer server;
  DataPort d;
  Greet(server);
  Serve(Pasv(server, d).Expect("RETR f"), d, "line\n");
  LibHandle h = Connect(server);
  ASSERT_NE(h, kNone);
  Host host;
  ASSERT_EQ(FtpRegisterEvents(h, host.hwnd(), kMessage, 0xFFFFFFFF), 0);
  ASSERT_EQ(FtpOpenFile(h, "f", 0), 150);
  EXPECT_EQ(FtpSendCommand(h, "NO\r\nOP", nullptr), -1);
  EXPECT_EQ(LastError(), cvErrorInvalidParameter);
  Pump(300);
  EXPECT_GE(host.Count(16), 1);
  EXPECT_EQ(LastError(), cvErrorInvalidParameter);
  char buffer[16];
  EXPECT_EQ(FtpReadData(h, buffer, sizeof buffer), 5);
  EXPECT_EQ(FtpCloseFile(h), 226);
  EXPECT_TRUE(server.Finish()) << server.failure();
  FtpDisconnect(h);
}

TEST_F(XferTest, SharedWindowSubclassedOnceAndDetachedOnDestroy) {
  ScriptServer s1, s2;
  Greet(s1);
  Greet(s2);
  LibHandle a = Connect(s1), b = Connect(s2);
  ASSERT_NE(a, kNone);
  ASSERT_NE(b, kNone);
  auto subclassed = [](HWND w) {
    plat::DWORD_PTR ref = 0;
    return plat::GetWindowSubclass(w, &cvftp::Notify::WindowProc, 0, &ref) != 0;
  };
  {
    Host host;
    ASSERT_EQ(NotifyAttachWindow(a, host.hwnd()), 1);
    ASSERT_EQ(NotifyAttachWindow(b, host.hwnd()), 1);
    EXPECT_TRUE(subclassed(host.hwnd()));
    EXPECT_EQ(cvftp::Library().state().windows.Count(), 1u);
    ASSERT_EQ(NotifyAttachWindow(a, nullptr), 1);
    EXPECT_TRUE(subclassed(host.hwnd()));
    ASSERT_EQ(NotifyAttachWindow(b, nullptr), 1);
    EXPECT_FALSE(subclassed(host.hwnd()));
  }
  HWND gone;
  {
    Host host;
    gone = host.hwnd();
    ASSERT_EQ(NotifyAttachWindow(a, host.hwnd()), 1);
    ASSERT_EQ(NotifyAttachWindow(b, host.hwnd()), 1);
  }  // destroyed
  EXPECT_EQ(FtpFindHandleByWindow(gone), kNone);
  EXPECT_EQ(FtpGetSession(a)->notify.socketWindow, nullptr);
  EXPECT_EQ(cvftp::Library().state().windows.Count(), 0u);
  FtpDisconnect(a);
  FtpDisconnect(b);
}

// A receiver that frees the session in the middle of a download: the call fails cleanly.
TEST_F(XferTest, ReceiverFreesTheSessionDuringATransfer) {
  ScriptServer server;
  DataPort d;
  Serve(Pasv(Greet(server), d).Expect("RETR f"), d, std::string(300000, '\0'));
  LibHandle h = Connect(server);
  ASSERT_NE(h, kNone);
  Host host;
  ASSERT_EQ(FtpRegisterEvents(h, host.hwnd(), kMessage, 0xFFFFFFFF), 0);
  host.onEvent = [](LibHandle handle, uint32_t event) {
    if (event == 1024) FtpDisconnect(handle);
  };
  EXPECT_EQ(FtpRetrieveFile(h, Path("f").c_str(), "f", 0, 0), -1);
  EXPECT_EQ(LastError(), cvErrorInvalidHandle);
  EXPECT_EQ(FtpGetSession(h), nullptr);
  server.Finish();
}

}  // namespace
}  // namespace xfer
