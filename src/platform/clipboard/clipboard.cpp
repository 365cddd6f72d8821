#include "platform/clipboard/clipboard.h"

#include <map>
#include <mutex>

#include "platform/base/thread.h"

namespace plat {

namespace {

struct Store {
  std::mutex lock;
  uint32_t openedBy = 0;  // thread id, 0 when closed
  std::map<uint32_t, HGLOBAL> blocks;
};

Store& TheStore() {
  static Store store;
  return store;
}

bool OpenedByCaller(const Store& s) { return s.openedBy != 0 && s.openedBy == GetCurrentThreadId(); }

}  // namespace

bool OpenClipboard(HWND) noexcept {
  Store& s = TheStore();
  std::lock_guard lk(s.lock);
  if (s.openedBy != 0 && s.openedBy != GetCurrentThreadId()) return false;
  s.openedBy = GetCurrentThreadId();
  return true;
}

bool CloseClipboard() noexcept {
  Store& s = TheStore();
  std::lock_guard lk(s.lock);
  if (!OpenedByCaller(s)) return false;
  s.openedBy = 0;
  return true;
}

bool EmptyClipboard() noexcept {
  Store& s = TheStore();
  std::lock_guard lk(s.lock);
  if (!OpenedByCaller(s)) return false;
  for (auto& [format, block] : s.blocks) GlobalFree(block);
  s.blocks.clear();
  return true;
}

HGLOBAL SetClipboardData(uint32_t format, HGLOBAL block) noexcept {
  Store& s = TheStore();
  std::lock_guard lk(s.lock);
  if (!OpenedByCaller(s) || !block) return nullptr;
  try {
    HGLOBAL& slot = s.blocks[format];
    if (slot && slot != block) GlobalFree(slot);
    slot = block;
  } catch (...) {
    return nullptr;
  }
  return block;
}

HGLOBAL GetClipboardData(uint32_t format) noexcept {
  Store& s = TheStore();
  std::lock_guard lk(s.lock);
  if (!OpenedByCaller(s)) return nullptr;
  auto it = s.blocks.find(format);
  return it == s.blocks.end() ? nullptr : it->second;
}

bool IsClipboardFormatAvailable(uint32_t format) noexcept {
  Store& s = TheStore();
  std::lock_guard lk(s.lock);
  return s.blocks.count(format) != 0;
}

}  // namespace plat
