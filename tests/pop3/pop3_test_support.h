#pragma once
// What the POP3 suites share: the library attached for each test, a scripted server's
// greeting and login, and a host window that records the library's notifications.
#include <gtest/gtest.h>

#include <chrono>
#include <string>
#include <vector>

#include "mail/ocx/notify_messages.h"
#include "platform/msg/msg.h"
#include "platform/msg/wait.h"
#include "pop3/pop3.h"
#include "pop3/pop3_bits.h"
#include "support/script_server.h"

namespace pop3test {

class Pop3Test : public ::testing::Test {
 protected:
  void SetUp() override { ASSERT_EQ(Pop3Attach(nullptr), 1); }
  void TearDown() override { Pop3Detach(); }

  static LibHandle Connect(cvtest::ScriptServer& server, uint32_t options = 0, uint32_t timeout = 5) {
    server.Start();
    return Pop3Connect(server.address(), uint32_t(server.port()), timeout, options, nullptr);
  }
};

// A greeting and a USER/PASS login whose STAT reports count messages of size octets.
inline cvtest::ScriptServer& GreetAndLogin(cvtest::ScriptServer& server, int count = 2, int size = 320) {
  return server.Reply("+OK ready")
      .Expect("USER bob")
      .Reply("+OK")
      .Expect("PASS secret")
      .Reply("+OK logged in")
      .Expect("STAT")
      .Reply("+OK " + std::to_string(count) + " " + std::to_string(size));
}

inline LibHandle ConnectAndLogin(cvtest::ScriptServer& server, uint32_t options = 0, uint32_t timeout = 5) {
  server.Start();
  const LibHandle h = Pop3Connect(server.address(), uint32_t(server.port()), timeout, options, nullptr);
  if (h != kInvalidLibHandle) {
    EXPECT_EQ(Pop3Login(h, 0, "bob", "secret"), 0) << std::hex << Pop3GetLastError();
  }
  return h;
}

// Records every notification of one message number sent to it (handle, event, error).
class HostWindow {
 public:
  struct Delivery {
    LibHandle handle;
    uint32_t event;
    uint32_t error;
  };
  static constexpr UINT kMessage = mailctl::kMsgPop3Notify;
  std::vector<Delivery> deliveries;

  HostWindow() {
    static const bool registered = [] {
      plat::WNDCLASS wc{};
      wc.lpfnWndProc = &Proc;
      wc.lpszClassName = "Pop3TestHost";
      plat::RegisterClass(&wc);
      return true;
    }();
    (void)registered;
    hwnd_ = plat::CreateWindowEx(0, "Pop3TestHost", "", 0, 0, 0, 0, 0, plat::HWND_MESSAGE, nullptr, nullptr, this);
  }
  ~HostWindow() {
    if (hwnd_ && plat::IsWindow(hwnd_)) plat::DestroyWindow(hwnd_);
  }
  HostWindow(const HostWindow&) = delete;
  HostWindow& operator=(const HostWindow&) = delete;

  HWND hwnd() const { return hwnd_; }
  std::vector<uint32_t> Events() const {
    std::vector<uint32_t> out;
    for (const auto& d : deliveries) out.push_back(d.event);
    return out;
  }
  size_t Count(uint32_t event) const {
    size_t n = 0;
    for (const auto& d : deliveries) n += d.event == event;
    return n;
  }

 private:
  static LRESULT Proc(HWND h, UINT m, WPARAM w, LPARAM l) {
    if (m == plat::WM_NCCREATE) {
      auto* cs = reinterpret_cast<plat::CREATESTRUCT*>(l);
      plat::SetWindowLongPtr(h, plat::GWLP_USERDATA, reinterpret_cast<plat::LONG_PTR>(cs->lpCreateParams));
    }
    auto* self = reinterpret_cast<HostWindow*>(plat::GetWindowLongPtr(h, plat::GWLP_USERDATA));
    if (self && m == kMessage)
      self->deliveries.push_back({LibHandle(w), uint32_t(LOWORD(uint32_t(l))), uint32_t(HIWORD(uint32_t(l)))});
    return plat::DefWindowProc(h, m, w, l);
  }
  HWND hwnd_ = nullptr;
};

// Dispatches the thread's posted messages until done() holds or ms pass.
template <typename Done>
bool PumpUntil(Done done, int ms = 3000) {
  const auto end = std::chrono::steady_clock::now() + std::chrono::milliseconds(ms);
  for (;;) {
    plat::MSG m;
    while (plat::PeekMessage(&m, nullptr, 0, 0, plat::PM_REMOVE)) plat::DispatchMessage(&m);
    if (done()) return true;
    if (std::chrono::steady_clock::now() >= end) return false;
    plat::WaitForEventsOrMessages(nullptr, 0, 10);
  }
}

}  // namespace pop3test
