#pragma once
// Test windows whose procedure is a lambda, and a thread that owns a window and pumps.
#include <functional>
#include <future>
#include <thread>

#include "platform/base/thread.h"
#include "platform/msg/msg.h"

namespace msgtest {

using Handler = std::function<LRESULT(HWND, UINT, WPARAM, LPARAM)>;

inline LRESULT LambdaProc(HWND h, UINT m, WPARAM w, LPARAM l) {
  if (m == plat::WM_NCCREATE) {
    auto* cs = reinterpret_cast<plat::CREATESTRUCT*>(l);
    plat::SetWindowLongPtr(h, plat::GWLP_USERDATA, reinterpret_cast<plat::LONG_PTR>(cs->lpCreateParams));
  }
  auto* fn = reinterpret_cast<Handler*>(plat::GetWindowLongPtr(h, plat::GWLP_USERDATA));
  if (fn && *fn && m != plat::WM_NCCREATE) return (*fn)(h, m, w, l);
  return plat::DefWindowProc(h, m, w, l);
}

inline const char* TestClass() {
  static const char* name = [] {
    plat::WNDCLASS wc;
    wc.lpfnWndProc = LambdaProc;
    wc.cbWndExtra = 2 * sizeof(plat::LONG_PTR);
    wc.lpszClassName = "PlatMsgTest";
    plat::RegisterClass(&wc);
    return "PlatMsgTest";
  }();
  return name;
}

// handler must outlive the window.
inline HWND MakeWindow(Handler* handler, HWND parent = nullptr) {
  return plat::CreateWindowEx(0, TestClass(), "", 0, 0, 0, 0, 0, parent, nullptr, nullptr, handler);
}

// A thread owning one window, running GetMessage/DispatchMessage until WM_QUIT.
class WindowThread {
 public:
  explicit WindowThread(Handler handler) : handler_(std::move(handler)) {
    std::promise<HWND> made;
    auto f = made.get_future();
    thread_ = std::thread([this, &made] {
      tid_ = plat::GetCurrentThreadId();
      made.set_value(MakeWindow(&handler_));
      plat::MSG m;
      while (plat::GetMessage(&m, nullptr, 0, 0) > 0) plat::DispatchMessage(&m);
    });
    hwnd_ = f.get();
  }
  ~WindowThread() { Stop(); }
  void Stop() {
    if (!thread_.joinable()) return;
    plat::PostThreadMessage(tid_, plat::WM_QUIT, 0, 0);
    thread_.join();
  }
  HWND hwnd() const { return hwnd_; }
  uint32_t tid() const { return tid_; }

 private:
  Handler handler_;
  std::thread thread_;
  HWND hwnd_ = nullptr;
  uint32_t tid_ = 0;
};

}  // namespace msgtest
