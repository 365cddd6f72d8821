#pragma once
// A host window like a control's: it records the library's notification messages, may
// react to them, and counts everything else that reaches its own procedure.
#include <chrono>
#include <functional>
#include <vector>

#include "fake_library.h"
#include "platform/base/thread.h"
#include "platform/msg/msg.h"

namespace fake {

inline constexpr UINT kNotifyMessage = 2025;

struct Delivery {
  LibHandle handle;
  uint32_t event;
  uint32_t error;  // high word of lParam
  uint32_t thread;
  bool operator==(const Delivery&) const = default;
};

class HostWindow {
 public:
  // Runs inside the notification message; its result is the message's result.
  std::function<LRESULT(const Delivery&)> onEvent;
  std::vector<Delivery> deliveries;
  std::vector<UINT> otherMessages;  // messages of 1024 and up other than the notification

  HostWindow() {
    static const bool registered = [] {
      plat::WNDCLASS wc{};
      wc.lpfnWndProc = &Proc;
      wc.lpszClassName = "NotifyTestHost";
      plat::RegisterClass(&wc);
      return true;
    }();
    (void)registered;
    hwnd_ = plat::CreateWindowEx(0, "NotifyTestHost", "", 0, 0, 0, 0, 0, plat::HWND_MESSAGE, nullptr, nullptr, this);
  }
  ~HostWindow() { Destroy(); }
  HostWindow(const HostWindow&) = delete;
  HostWindow& operator=(const HostWindow&) = delete;

  HWND hwnd() const { return hwnd_; }
  void Destroy() {
    if (hwnd_ && plat::IsWindow(hwnd_)) plat::DestroyWindow(hwnd_);
  }

  std::vector<uint32_t> Events() const {
    std::vector<uint32_t> out;
    for (const auto& d : deliveries) out.push_back(d.event);
    return out;
  }

 private:
  static LRESULT Proc(HWND h, UINT m, WPARAM w, LPARAM l) {
    if (m == plat::WM_NCCREATE) {
      auto* cs = reinterpret_cast<plat::CREATESTRUCT*>(l);
      plat::SetWindowLongPtr(h, plat::GWLP_USERDATA, reinterpret_cast<plat::LONG_PTR>(cs->lpCreateParams));
    }
    auto* self = reinterpret_cast<HostWindow*>(plat::GetWindowLongPtr(h, plat::GWLP_USERDATA));
    if (self && m == kNotifyMessage) {
      Delivery d{LibHandle(w), LOWORD(uint32_t(l)), HIWORD(uint32_t(l)), plat::GetCurrentThreadId()};
      self->deliveries.push_back(d);
      return self->onEvent ? self->onEvent(d) : 1;
    }
    if (self && m >= plat::WM_USER) self->otherMessages.push_back(m);
    return plat::DefWindowProc(h, m, w, l);
  }

  HWND hwnd_ = nullptr;
};

// Dispatches the thread's posted messages until done() holds or ms pass.
inline bool PumpUntil(const std::function<bool()>& done, int ms = 3000) {
  const auto end = std::chrono::steady_clock::now() + std::chrono::milliseconds(ms);
  for (;;) {
    plat::MSG m;
    while (plat::PeekMessage(&m, nullptr, 0, 0, plat::PM_REMOVE)) plat::DispatchMessage(&m);
    if (done()) return true;
    if (std::chrono::steady_clock::now() >= end) return false;
    plat::WaitForEventsOrMessages(nullptr, 0, 10);
  }
}

// Dispatches what is queued now and what arrives within ms.
inline void PumpFor(int ms) {
  PumpUntil([] { return false; }, ms);
}

}  // namespace fake
