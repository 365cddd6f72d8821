// Event notification: registration with and without network events, callbacks, the
// events of blocking operations, and the window procedure reading a response head.
#include <chrono>
#include <functional>
#include <vector>

#include "http_fixture.h"
#include "platform/msg/msg.h"

namespace httptest {
namespace {

using namespace std::chrono_literals;
using cvtest::ScriptServer;

constexpr UINT kMessage = 2025;

struct Event {
  uint32_t event;
  uint32_t error;
};

class Window {
 public:
  std::vector<Event> events;
  Window() {
    static const bool registered = [] {
      plat::WNDCLASS wc{};
      wc.lpfnWndProc = &Proc;
      wc.lpszClassName = "HttpTestHost";
      plat::RegisterClass(&wc);
      return true;
    }();
    (void)registered;
    hwnd_ = plat::CreateWindowEx(0, "HttpTestHost", "", 0, 0, 0, 0, 0, plat::HWND_MESSAGE, nullptr, nullptr, this);
  }
  ~Window() {
    if (plat::IsWindow(hwnd_)) plat::DestroyWindow(hwnd_);
  }
  HWND hwnd() const { return hwnd_; }
  std::vector<uint32_t> Codes() const {
    std::vector<uint32_t> out;
    for (const Event& e : events) out.push_back(e.event);
    return out;
  }

 private:
  static LRESULT Proc(HWND h, UINT m, WPARAM w, LPARAM l) {
    if (m == plat::WM_NCCREATE) {
      auto* cs = reinterpret_cast<plat::CREATESTRUCT*>(l);
      plat::SetWindowLongPtr(h, plat::GWLP_USERDATA, reinterpret_cast<plat::LONG_PTR>(cs->lpCreateParams));
    }
    auto* self = reinterpret_cast<Window*>(plat::GetWindowLongPtr(h, plat::GWLP_USERDATA));
    if (self && m == kMessage) self->events.push_back({LOWORD(uint32_t(l)), HIWORD(uint32_t(l))});
    return plat::DefWindowProc(h, m, w, l);
  }
  HWND hwnd_;
};

bool PumpUntil(const std::function<bool()>& done, int ms = 3000) {
  const auto end = std::chrono::steady_clock::now() + std::chrono::milliseconds(ms);
  for (;;) {
    plat::MSG m;
    while (plat::PeekMessage(&m, nullptr, 0, 0, plat::PM_REMOVE)) plat::DispatchMessage(&m);
    if (done()) return true;
    if (std::chrono::steady_clock::now() >= end) return false;
    plat::WaitForEventsOrMessages(nullptr, 0, 10);
  }
}

class HttpNotify : public Http {};

TEST_F(HttpNotify, MaskDecidesTheSocketSelection) {
  ScriptServer server;
  server.Sleep(500ms);
  const LibHandle h = Connect(server);
  Window window;
  ASSERT_EQ(HttpRegisterEvents(h, window.hwnd(), kMessage, 240), 0);
  EXPECT_EQ(HttpGetSession(h)->notify.socketWindow, nullptr);
  ASSERT_EQ(HttpRegisterEvents(h, window.hwnd(), kMessage, 255), 0);
  EXPECT_EQ(HttpGetSession(h)->notify.socketWindow, window.hwnd());
  EXPECT_EQ(HttpGetSession(h)->notify.socketMessage, 9215u);
  EXPECT_EQ(HttpRegisterEvents(h, window.hwnd(), 100, 255), -1);
  EXPECT_EQ(Error(), 10014u);
  ASSERT_EQ(HttpUnregisterEvents(h), 0);
  EXPECT_EQ(HttpGetSession(h)->notify.socketWindow, nullptr);
  server.Finish(2s);
  HttpDisconnect(h);
}

TEST_F(HttpNotify, CommandProgressAndTimeoutEvents) {
  ScriptServer server;
  auto heads = std::make_shared<Heads>();
  // After an error status the library opens a new connection.
  ReadHead(server, heads).Send("HTTP/1.1 404 Not Found\r\nContent-Length: 0\r\n\r\n").Accept();
  ReadHead(server, heads).Send("HTTP/1.1 200 OK\r\nContent-Length: 5\r\n\r\nhello");
  ReadHead(server, heads).Sleep(1500ms);
  const LibHandle h = Connect(server, 0x2, kVersion11, 1);
  Window window;
  ASSERT_EQ(HttpRegisterEvents(h, window.hwnd(), kMessage, 240), 0);
  static std::vector<uint32_t> progress;
  progress.clear();
  ASSERT_EQ(HttpSetProgressCallback(h, [](LibHandle, uint32_t event, uint32_t, uintptr_t) -> int32_t {
    progress.push_back(event);
    return 0;
  }, 0), 0);
  EXPECT_EQ(HttpSendRequest(h, "GET", "/missing", nullptr, 0, 0), -1);
  ASSERT_EQ(window.events.size(), 1u);
  EXPECT_EQ(window.events[0].event, 64u);
  EXPECT_EQ(window.events[0].error, 12275u);
  const std::string file = ::testing::TempDir() + "/notify_get.txt";
  EXPECT_EQ(HttpRetrieveFile(h, file.c_str(), "/ok", 0, 0), 200);
  EXPECT_EQ(window.events.back().event, 128u);
  EXPECT_FALSE(progress.empty());
  window.events.clear();
  EXPECT_EQ(HttpSendRequest(h, "GET", "/slow", nullptr, 0, 0), -1);
  EXPECT_EQ(Error(), 10060u);
  ASSERT_FALSE(window.events.empty());
  EXPECT_EQ(window.events[0].event, 16u);
  EXPECT_EQ(window.events[0].error, 10060u);
  // An event outside the mask reaches nobody.
  window.events.clear();
  EXPECT_EQ(HttpFireEvent(h, 4, 0), 0);
  EXPECT_TRUE(window.events.empty());
  server.Finish(3s);
  HttpDisconnect(h);
}

TEST_F(HttpNotify, WindowProcedureReadsThePendingHead) {
  ScriptServer server;
  auto heads = std::make_shared<Heads>();
  ReadHead(server, heads).Send("HTTP/1.1 404 Not Found\r\nContent-Length: 3\r\n\r\nabc").Sleep(1s);
  const LibHandle h = Connect(server, 0x2);
  Window window;
  ASSERT_EQ(HttpRegisterWindow(h, window.hwnd(), kMessage), 0);
  EXPECT_EQ(HttpSendRequest(h, "GET", "/", nullptr, 0, 0), 0);  // the head comes later
  ASSERT_TRUE(PumpUntil([&] {
    for (const Event& e : window.events)
      if (e.event == 4) return true;
    return false;
  }));
  std::vector<Event> reading;  // writable events (8) come and go as they please
  for (const Event& e : window.events)
    if (e.event != 8) reading.push_back(e);
  ASSERT_GE(reading.size(), 2u);
  EXPECT_EQ(reading[0].event, 64u);
  EXPECT_EQ(reading[0].error, 12275u);
  EXPECT_EQ(reading[1].event, 4u);
  EXPECT_EQ(reading[1].error, 0u);
  EXPECT_EQ(HttpGetResultCode(h), 404);
  server.Finish(3s);
  HttpDisconnect(h);
}

TEST_F(HttpNotify, DestroyingTheWindowDetachesTheSession) {
  ScriptServer server;
  server.Sleep(500ms);
  const LibHandle h = Connect(server);
  {
    Window window;
    ASSERT_EQ(HttpRegisterWindow(h, window.hwnd(), kMessage), 0);
    EXPECT_EQ(HttpFindSessionByWindow(window.hwnd()), h);
  }
  EXPECT_EQ(HttpGetSession(h)->notify.socketWindow, nullptr);
  server.Finish(2s);
  HttpDisconnect(h);
}

}  // namespace
}  // namespace httptest
