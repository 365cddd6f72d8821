// Window classes, window creation and destruction, the window tree and activation.
#include "platform/msg/window.h"

#include <unistd.h>

#include <algorithm>
#include <cstring>

#include "platform/base/last_error.h"
#include "platform/msg/internal.h"

namespace plat {

using namespace msgimpl;

namespace {

// Under the table lock: the class registered with that instance, else any of that name.
std::shared_ptr<WindowClass> FindClass(Tables& t, const std::string& name, void* instance, bool exact) {
  std::shared_ptr<WindowClass> byName;
  for (auto& c : t.classes) {
    if (c->name != name) continue;
    if (c->instance == instance) return c;
    if (!byName) byName = c;
  }
  return exact ? nullptr : byName;
}

// Under the table lock.
Window* Find(Tables& t, HWND h) {
  auto it = t.windows.find(HandleValue(h));
  return it == t.windows.end() || it->second->state.load() == Window::Dead ? nullptr : it->second.get();
}

void Unlink(Tables& t, Window& w) {
  if (w.parent && w.parent != HWND_MESSAGE) {
    if (Window* p = Find(t, w.parent)) std::erase(p->children, w.handle);
  }
}

// The end of a window: WM_DESTROY (unless creation was refused earlier), its own
// thread's children, WM_NCDESTROY, then the handle dies and its messages and timers go.
void DestroyNow(const std::shared_ptr<Window>& w, bool sendDestroy) {
  ThreadQueue& q = *w->owner;
  w->visible.store(false);
  if (q.active == w->handle) q.active = nullptr;
  if (sendDestroy) CallWindowChain(w, WM_DESTROY, 0, 0);

  auto& t = tables();
  std::vector<HWND> children;
  {
    std::lock_guard lock(t.m);
    children = w->children;
  }
  for (HWND c : children) {
    auto child = LookupWindow(c);
    if (!child) continue;
    if (child->owner == w->owner) {
      DestroyWindow(c);
    } else {
      // Another thread's child cannot be destroyed from here: it becomes top level.
      std::lock_guard lock(t.m);
      std::erase(w->children, c);
      child->parent = nullptr;
    }
  }

  CallWindowChain(w, WM_NCDESTROY, 0, 0);

  {
    std::lock_guard lock(t.m);
    Unlink(t, *w);
    w->state.store(Window::Dead);
    w->children.clear();
    t.windows.erase(HandleValue(w->handle));
    w->cls->windows--;
  }
  ClearLayers(*w);
  RemoveWindowTimers(q, w->handle);
  RemovePosted(q, w->handle, [](const MSG&, void*) { return true; }, nullptr);
}

}  // namespace

ATOM RegisterClass(const WNDCLASS* wc) {
  if (!wc || !wc->lpfnWndProc || !wc->lpszClassName || !*wc->lpszClassName || wc->cbWndExtra < 0 ||
      wc->cbWndExtra > 40000) {
    SetLastError(ERROR_INVALID_PARAMETER);
    return 0;
  }
  auto& t = tables();
  std::lock_guard lock(t.m);
  std::string name = AsciiLower(wc->lpszClassName);
  if (FindClass(t, name, wc->hInstance, true)) {
    SetLastError(ERROR_CLASS_ALREADY_EXISTS);
    return 0;
  }
  if (t.nextAtom == 0) {  // wrapped: every class number is taken
    SetLastError(ERROR_NOT_ENOUGH_MEMORY);
    return 0;
  }
  auto c = std::make_shared<WindowClass>(
      WindowClass{std::move(name), wc->hInstance, wc->lpfnWndProc, wc->cbWndExtra, t.nextAtom++, 0});
  t.classes.push_back(c);
  return c->atom;
}

BOOL UnregisterClass(const char* className, void* hInstance) {
  if (!className) {
    SetLastError(ERROR_INVALID_PARAMETER);
    return FALSE_;
  }
  auto& t = tables();
  std::lock_guard lock(t.m);
  auto c = FindClass(t, AsciiLower(className), hInstance, hInstance != nullptr);
  if (!c) {
    SetLastError(ERROR_CLASS_DOES_NOT_EXIST);
    return FALSE_;
  }
  if (c->windows) {
    SetLastError(ERROR_CLASS_HAS_WINDOWS);
    return FALSE_;
  }
  std::erase(t.classes, c);
  return TRUE_;
}

HWND CreateWindowEx(DWORD exStyle, const char* className, const char* windowName, DWORD style, int32_t x,
                    int32_t y, int32_t width, int32_t height, HWND parent, void* menu, void* hInstance,
                    void* param) {
  if (!className) {
    SetLastError(ERROR_INVALID_PARAMETER);
    return nullptr;
  }
  auto q = CurrentQueueShared();
  if (q->closed) {
    SetLastError(ERROR_INVALID_THREAD_ID);
    return nullptr;
  }
  auto w = std::make_shared<Window>();
  auto& t = tables();
  {
    std::lock_guard lock(t.m);
    w->cls = FindClass(t, AsciiLower(className), hInstance, false);
    if (!w->cls) {
      SetLastError(ERROR_CANNOT_FIND_WND_CLASS);
      return nullptr;
    }
    Window* p = nullptr;
    if (parent == HWND_MESSAGE) {
      w->parent = HWND_MESSAGE;
    } else if (parent && parent != DesktopHandle()) {
      p = Find(t, parent);
      if (!p) {
        SetLastError(ERROR_INVALID_WINDOW_HANDLE);
        return nullptr;
      }
      w->parent = parent;
    }
    w->handle = HandleFrom(t.nextHandle);
    t.nextHandle += 2;
    w->owner = q;
    w->extra.assign(size_t(w->cls->wndExtra), 0);
    w->style.store(style);
    w->exStyle.store(exStyle);
    w->ctrlId.store(p ? LONG_PTR(reinterpret_cast<uintptr_t>(menu)) : 0);
    t.windows[HandleValue(w->handle)] = w;
    if (p) p->children.push_back(w->handle);
    w->cls->windows++;
  }
  InstallClassLayer(*w, w->cls->proc);
  if (style & WS_VISIBLE) w->visible.store(true);

  CREATESTRUCT cs{param, hInstance, menu, parent, height, width, y, x, LONG(style), windowName, className, exStyle};
  const HWND h = w->handle;
  if (!CallWindowChain(w, WM_NCCREATE, 0, reinterpret_cast<LPARAM>(&cs))) {
    if (w->state.exchange(Window::Destroying) == Window::Alive) DestroyNow(w, false);
    return nullptr;
  }
  if (CallWindowChain(w, WM_CREATE, 0, reinterpret_cast<LPARAM>(&cs)) == -1) {
    DestroyWindow(h);
    return nullptr;
  }
  return IsWindow(h) ? h : nullptr;
}

BOOL DestroyWindow(HWND hwnd) {
  auto w = LookupOwnWindow(hwnd);
  if (!w) return FALSE_;
  int expected = Window::Alive;
  if (!w->state.compare_exchange_strong(expected, Window::Destroying)) {
    SetLastError(ERROR_INVALID_WINDOW_HANDLE);  // already on its way out
    return FALSE_;
  }
  DestroyNow(w, true);
  return TRUE_;
}

BOOL IsWindow(HWND hwnd) { return hwnd == DesktopHandle() || LookupWindow(hwnd) ? TRUE_ : FALSE_; }

HWND GetDesktopWindow() { return DesktopHandle(); }

HWND GetParent(HWND hwnd) {
  auto& t = tables();
  std::lock_guard lock(t.m);
  Window* w = Find(t, hwnd);
  if (!w) {
    if (hwnd != DesktopHandle()) SetLastError(ERROR_INVALID_WINDOW_HANDLE);
    return nullptr;
  }
  return w->parent == HWND_MESSAGE ? nullptr : w->parent;
}

HWND SetParent(HWND hwnd, HWND newParent) {
  auto& t = tables();
  std::lock_guard lock(t.m);
  Window* w = Find(t, hwnd);
  if (!w) {
    SetLastError(ERROR_INVALID_WINDOW_HANDLE);
    return nullptr;
  }
  HWND target = nullptr;
  if (newParent == HWND_MESSAGE) {
    target = HWND_MESSAGE;
  } else if (newParent && newParent != DesktopHandle()) {
    // The new parent must exist and must not be hwnd or one of its descendants.
    for (HWND up = newParent; up && up != HWND_MESSAGE;) {
      Window* a = Find(t, up);
      if (!a) {
        SetLastError(ERROR_INVALID_WINDOW_HANDLE);
        return nullptr;
      }
      if (up == hwnd) {
        SetLastError(ERROR_INVALID_PARAMETER);
        return nullptr;
      }
      up = a->parent;
    }
    target = newParent;
  }
  HWND old = w->parent;
  Unlink(t, *w);
  w->parent = target;
  if (target && target != HWND_MESSAGE) Find(t, target)->children.push_back(hwnd);
  return old ? old : DesktopHandle();
}

BOOL EnumChildWindows(HWND parent, WNDENUMPROC proc, LPARAM lParam) {
  if (!proc) {
    SetLastError(ERROR_INVALID_PARAMETER);
    return FALSE_;
  }
  std::vector<HWND> list;
  {
    auto& t = tables();
    std::lock_guard lock(t.m);
    if (!parent || parent == DesktopHandle()) {
      for (auto& [h, w] : t.windows) {
        if (w->parent == nullptr && w->state.load() != Window::Dead) list.push_back(w->handle);
      }
      std::sort(list.begin(), list.end());  // creation order
    } else {
      Window* p = Find(t, parent);
      if (!p) {
        SetLastError(ERROR_INVALID_WINDOW_HANDLE);
        return FALSE_;
      }
      std::vector<Window*> pending{p};
      while (!pending.empty()) {
        Window* cur = pending.back();
        pending.pop_back();
        for (auto it = cur->children.rbegin(); it != cur->children.rend(); ++it) {
          if (Window* c = Find(t, *it)) {
            list.push_back(*it);
            pending.push_back(c);
          }
        }
      }
    }
  }
  for (HWND h : list) {
    if (IsWindow(h) && !proc(h, lParam)) break;
  }
  return TRUE_;
}

DWORD GetWindowThreadProcessId(HWND hwnd, DWORD* processId) {
  if (hwnd == DesktopHandle()) {
    if (processId) *processId = DWORD(getpid());
    return 0;
  }
  auto w = LookupWindow(hwnd);
  if (!w) {
    SetLastError(ERROR_INVALID_WINDOW_HANDLE);
    if (processId) *processId = 0;
    return 0;
  }
  if (processId) *processId = DWORD(getpid());
  return w->owner->tid;
}

LONG_PTR GetWindowLongPtr(HWND hwnd, int32_t index) {
  auto w = LookupWindow(hwnd);
  if (!w) {
    SetLastError(ERROR_INVALID_WINDOW_HANDLE);
    return 0;
  }
  switch (index) {
    case GWLP_USERDATA: return w->userData.load();
    case GWLP_ID: return w->ctrlId.load();
    case GWL_STYLE: return LONG_PTR((w->style.load() & ~WS_VISIBLE) | (w->visible.load() ? WS_VISIBLE : 0));
    case GWL_EXSTYLE: return LONG_PTR(w->exStyle.load());
    case GWLP_WNDPROC: return LONG_PTR(w->topToken.load());
    default: break;
  }
  auto& t = tables();
  std::lock_guard lock(t.m);
  if (index < 0 || size_t(index) + sizeof(LONG_PTR) > w->extra.size()) {
    SetLastError(ERROR_INVALID_INDEX);
    return 0;
  }
  LONG_PTR v;
  std::memcpy(&v, w->extra.data() + index, sizeof v);
  return v;
}

LONG_PTR SetWindowLongPtr(HWND hwnd, int32_t index, LONG_PTR value) {
  if (index == GWLP_WNDPROC) {
    auto w = LookupOwnWindow(hwnd);
    return w ? SetProcedureLayer(*w, value) : 0;
  }
  auto w = LookupWindow(hwnd);
  if (!w) {
    SetLastError(ERROR_INVALID_WINDOW_HANDLE);
    return 0;
  }
  switch (index) {
    case GWLP_USERDATA: return w->userData.exchange(value);
    case GWLP_ID: return w->ctrlId.exchange(value);
    case GWL_STYLE: return LONG_PTR(w->style.exchange(uint32_t(value)));
    case GWL_EXSTYLE: return LONG_PTR(w->exStyle.exchange(uint32_t(value)));
    default: break;
  }
  auto& t = tables();
  std::lock_guard lock(t.m);
  if (index < 0 || size_t(index) + sizeof(LONG_PTR) > w->extra.size()) {
    SetLastError(ERROR_INVALID_INDEX);
    return 0;
  }
  LONG_PTR old;
  std::memcpy(&old, w->extra.data() + index, sizeof old);
  std::memcpy(w->extra.data() + index, &value, sizeof value);
  return old;
}

BOOL ShowWindow(HWND hwnd, int32_t command) {
  auto w = LookupOwnWindow(hwnd);
  if (!w) return FALSE_;
  const bool was = w->visible.load();
  if (command == SW_HIDE) {
    w->visible.store(false);
    if (w->owner->active == hwnd) w->owner->active = nullptr;
    return was ? TRUE_ : FALSE_;
  }
  w->visible.store(true);
  if (command == SW_SHOW || command == SW_SHOWNORMAL) {
    bool top;
    {
      auto& t = tables();
      std::lock_guard lock(t.m);
      top = IsTopLevel(*w);
    }
    if (top) w->owner->active = hwnd;
  }
  return was ? TRUE_ : FALSE_;
}

BOOL IsWindowVisible(HWND hwnd) {
  auto w = LookupWindow(hwnd);
  return w && w->visible.load() ? TRUE_ : FALSE_;
}

HWND SetActiveWindow(HWND hwnd) {
  HWND previous = GetActiveWindow();
  if (!hwnd) {
    if (ThreadQueue* q = CurrentQueue()) q->active = nullptr;
    return previous;
  }
  auto w = LookupOwnWindow(hwnd);
  if (!w) return nullptr;
  {
    auto& t = tables();
    std::lock_guard lock(t.m);
    if (!IsTopLevel(*w)) {
      SetLastError(ERROR_INVALID_PARAMETER);
      return nullptr;
    }
  }
  w->owner->active = hwnd;
  return previous;
}

HWND GetActiveWindow() {
  ThreadQueue* q = CurrentQueue();
  if (!q || !q->active) return nullptr;
  if (!LookupWindow(q->active)) q->active = nullptr;
  return q->active;
}

bool ThreadHasActiveWindow() {
  ThreadQueue* q = CurrentQueue();
  if (!q || !q->active) return false;
  auto w = LookupWindow(q->active);
  if (!w || !w->visible.load()) return false;
  auto& t = tables();
  std::lock_guard lock(t.m);
  return IsTopLevel(*w);
}

LRESULT DefWindowProc(HWND hwnd, UINT msg, WPARAM, LPARAM) {
  switch (msg) {
    case WM_NCCREATE: return TRUE_;
    case WM_CLOSE: DestroyWindow(hwnd); return 0;
    default: return 0;
  }
}

}  // namespace plat
