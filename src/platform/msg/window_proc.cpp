// The procedure chain of a window: class procedure at the bottom, subclass layers above.
#include <limits>
#include <vector>

#include "platform/base/last_error.h"
#include "platform/msg/internal.h"
#include "platform/msg/subclass.h"

namespace plat {
namespace msgimpl {
namespace {

// Values handed out for GWLP_WNDPROC carry this tag in bits that no user-space code
// address has, so CallWindowProc can tell them from real procedures.
constexpr uint64_t kTokenTag = 0xC5A1ull << 48;
constexpr uint64_t kTokenMask = 0xFFFFull << 48;

bool IsToken(uint64_t v) { return (v & kTokenMask) == kTokenTag; }
uint64_t TokenOf(uint64_t layerId) { return kTokenTag | layerId; }
uint64_t LayerIdOf(uint64_t token) { return token & ~kTokenMask; }

std::atomic<uint64_t> nextLayerId{1};

void UpdateTop(Window& w) { w.topToken.store(w.layers.empty() ? 0 : TokenOf(w.layers.back().id)); }

// Runs the topmost layer whose id is at most maxId: "the chain from that point down".
LRESULT CallFrom(Window& w, uint64_t maxId, UINT msg, WPARAM wp, LPARAM lp) {
  const Layer* found = nullptr;
  for (auto it = w.layers.rbegin(); it != w.layers.rend(); ++it) {
    if (it->id <= maxId) {
      found = &*it;
      break;
    }
  }
  if (!found) return 0;
  const Layer layer = *found;  // the procedure may change the chain
  // Procedures run only on the owner thread, so its queue holds the running frames.
  std::vector<Frame>& frames = w.owner->frames;
  frames.push_back({&w, layer.id});
  struct Pop {
    std::vector<Frame>& frames;
    ~Pop() { frames.pop_back(); }
  } pop{frames};
  if (layer.subProc) return layer.subProc(w.handle, msg, wp, lp, layer.subId, layer.refData);
  return layer.proc(w.handle, msg, wp, lp);
}

Window* RunningWindow(HWND hwnd, uint64_t* layerId) {
  ThreadQueue* q = CurrentQueue();
  if (!q) return nullptr;
  for (auto it = q->frames.rbegin(); it != q->frames.rend(); ++it) {
    if (it->window->handle == hwnd) {
      *layerId = it->layerId;
      return it->window;
    }
  }
  return nullptr;
}

}  // namespace

LRESULT CallWindowChain(const std::shared_ptr<Window>& w, UINT msg, WPARAM wp, LPARAM lp) {
  if (!w || w->state.load() == Window::Dead) return 0;
  return CallFrom(*w, std::numeric_limits<uint64_t>::max(), msg, wp, lp);
}

void InstallClassLayer(Window& w, WNDPROC proc) {
  w.layers.push_back(Layer{nextLayerId++, proc, nullptr, 0, 0, 0});
  UpdateTop(w);
}

void ClearLayers(Window& w) {
  w.layers.clear();
  UpdateTop(w);
}

LONG_PTR SetProcedureLayer(Window& w, LONG_PTR value) {
  const uint64_t v = uint64_t(value);
  const uint64_t before = w.topToken.load();
  if (v == 0) {
    SetLastError(ERROR_INVALID_PARAMETER);
    return 0;
  }
  if (IsToken(v)) {
    // Restoring a value handed out earlier removes the layer that received it.
    for (auto it = w.layers.begin(); it != w.layers.end(); ++it) {
      if (it->proc && it->prevToken == v) {
        w.layers.erase(it);
        UpdateTop(w);
        return LONG_PTR(before);
      }
    }
    if (v == before) return LONG_PTR(before);
    SetLastError(ERROR_INVALID_PARAMETER);
    return 0;
  }
  w.layers.push_back(Layer{nextLayerId++, reinterpret_cast<WNDPROC>(value), nullptr, 0, 0, before});
  UpdateTop(w);
  return LONG_PTR(before);
}

}  // namespace msgimpl

using namespace msgimpl;

BOOL SetWindowSubclass(HWND hwnd, SUBCLASSPROC proc, UINT_PTR idSubclass, DWORD_PTR refData) {
  if (!proc) {
    SetLastError(ERROR_INVALID_PARAMETER);
    return FALSE_;
  }
  auto w = LookupOwnWindow(hwnd);
  if (!w) return FALSE_;
  for (auto& l : w->layers) {
    if (l.subProc == proc && l.subId == idSubclass) {
      l.refData = refData;
      return TRUE_;
    }
  }
  w->layers.push_back(Layer{nextLayerId++, nullptr, proc, idSubclass, refData, 0});
  UpdateTop(*w);
  return TRUE_;
}

BOOL RemoveWindowSubclass(HWND hwnd, SUBCLASSPROC proc, UINT_PTR idSubclass) {
  auto w = LookupOwnWindow(hwnd);
  if (!w) return FALSE_;
  for (auto it = w->layers.begin(); it != w->layers.end(); ++it) {
    if (it->subProc == proc && it->subId == idSubclass) {
      w->layers.erase(it);
      UpdateTop(*w);
      return TRUE_;
    }
  }
  SetLastError(ERROR_INVALID_PARAMETER);
  return FALSE_;
}

BOOL GetWindowSubclass(HWND hwnd, SUBCLASSPROC proc, UINT_PTR idSubclass, DWORD_PTR* refData) {
  auto w = LookupOwnWindow(hwnd);
  if (!w) return FALSE_;
  for (auto& l : w->layers) {
    if (l.subProc == proc && l.subId == idSubclass) {
      if (refData) *refData = l.refData;
      return TRUE_;
    }
  }
  return FALSE_;
}

LRESULT DefSubclassProc(HWND hwnd, UINT msg, WPARAM wParam, LPARAM lParam) {
  uint64_t layerId = 0;
  Window* w = RunningWindow(hwnd, &layerId);
  if (!w || layerId == 0) return 0;
  return CallFrom(*w, layerId - 1, msg, wParam, lParam);
}

LRESULT CallWindowProc(WNDPROC prev, HWND hwnd, UINT msg, WPARAM wParam, LPARAM lParam) {
  const uint64_t v = reinterpret_cast<uint64_t>(prev);
  if (!IsToken(v)) return prev ? prev(hwnd, msg, wParam, lParam) : 0;
  uint64_t running = 0;
  if (Window* w = RunningWindow(hwnd, &running)) return CallFrom(*w, LayerIdOf(v), msg, wParam, lParam);
  // Called from outside the window's procedures: only its owner may run its chain.
  auto w = LookupOwnWindow(hwnd);
  if (!w) return 0;
  return CallFrom(*w, LayerIdOf(v), msg, wParam, lParam);
}

}  // namespace plat
