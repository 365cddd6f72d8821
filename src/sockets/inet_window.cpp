// The library's window class: message-only windows through which the engine runs an
// event callback on the thread that owns the window. Sockets themselves are never driven
// by window messages here; they stay blocking.
#include <atomic>
#include <cstdio>
#include <mutex>

#include "platform/base/tick.h"
#include "platform/msg/message.h"
#include "platform/msg/window.h"
#include "sockets/inet_internal.h"
#include "sockets/server/server.h"

namespace {

constexpr UINT kClassStyleGlobal = 0x4000;

struct WindowClass {
  std::once_flag once;
  char name[64] = {};
  plat::ATOM atom = 0;
  void* instance = nullptr;
};

WindowClass& Class() {
  static WindowClass c;
  return c;
}

// Stands for the process module when the library was attached without one.
char gProcessModule;

}  // namespace

const char* InetWindowClassName() { return Class().name; }

int32_t InetRegisterWindowClass(void* module) {
  WindowClass& c = Class();
  std::call_once(c.once, [&] {
    c.instance = module ? module : &gProcessModule;
    std::snprintf(c.name, sizeof c.name, "Tarnwheeler%d%02d%04d%08X", 9, 5, 9530,
                  unsigned(reinterpret_cast<uintptr_t>(module) & 0xFFFFFFFFu));
    plat::WNDCLASS wc{};
    wc.style = kClassStyleGlobal;
    wc.lpfnWndProc = InetCallbackWindowProc;
    wc.hInstance = c.instance;
    wc.lpszClassName = c.name;
    c.atom = plat::RegisterClass(&wc);
  });
  return c.atom != 0 ? 1 : 0;
}

void* InetWindowInstance() { return Class().instance; }

LRESULT InetCallbackWindowProc(HWND hwnd, UINT msg, WPARAM wParam, LPARAM lParam) {
  if (msg == kInetCallbackMessage) {
    auto* n = reinterpret_cast<const ServerNotification*>(lParam);
    if (n && n->callback) n->callback(n->handle, n->event, n->error, n->userData);
    return 0;
  }
  return plat::DefWindowProc(hwnd, msg, wParam, lParam);
}

int32_t InetSetNotifyWindow(SOCKET handle, HWND, UINT) {
  if (cvsock::SetBlocking(handle, true) != 0) return cvsock::FailSocket();
  return 0;
}

int32_t InetResetEvents(SOCKET handle) {
  if (!cvsock::FindRecord(handle)) return cvsock::Fail(cvErrorInvalidHandle);
  return InetSetNotifyWindow(handle, nullptr, 0);
}

int32_t SockWaitStep() {
  if (!plat::ThreadHasActiveWindow()) {
    plat::Sleep(50);
    return 1;
  }
  plat::MSG m;
  while (plat::PeekMessage(&m, nullptr, 0, 0, plat::PM_REMOVE)) {
    if (m.message == plat::WM_QUIT) {
      plat::PostQuitMessage(int32_t(m.wParam));
      return 0;
    }
    plat::TranslateMessage(&m);
    plat::DispatchMessage(&m);
  }
  plat::Sleep(50);
  return 1;
}
