#pragma once
// The windows a library has subclassed, each with the number of its sessions attached to
// it. One table per library, kept on the library heap; the caller holds the library lock.
#include <cstdint>
#include <cstring>

#include "platform/types.h"

namespace cvcore {

inline constexpr uint32_t kNotifyWindowTableStep = 256;

class NotifyWindowTable {
 public:
  struct Entry {
    HWND window;
    uint32_t sessions;  // sessions of the library attached to the window
  };

  NotifyWindowTable() = default;
  NotifyWindowTable(const NotifyWindowTable&) = delete;
  NotifyWindowTable& operator=(const NotifyWindowTable&) = delete;

  Entry* Find(HWND window) const noexcept {
    for (uint32_t i = 0; i < capacity_; ++i)
      if (entries_[i] && entries_[i]->window == window) return entries_[i];
    return nullptr;
  }

  // A new entry for window with no sessions yet; null when memory runs out. Heap is the
  // library frame (MemAlloc/MemFree).
  template <typename Heap>
  Entry* Add(Heap& heap, HWND window) noexcept {
    uint32_t slot = 0;
    while (slot < capacity_ && entries_[slot]) ++slot;
    if (slot == capacity_ && !Grow(heap)) return nullptr;
    auto* e = static_cast<Entry*>(heap.MemAlloc(sizeof(Entry)));
    if (!e) return nullptr;
    *e = Entry{window, 0};
    entries_[slot] = e;
    return e;
  }

  template <typename Heap>
  void Remove(Heap& heap, Entry* entry) noexcept {
    for (uint32_t i = 0; i < capacity_; ++i) {
      if (entries_[i] == entry) {
        entries_[i] = nullptr;
        heap.MemFree(entry);
        return;
      }
    }
  }

  // Calls fn(Entry&) for every entry, then frees them all and the table.
  template <typename Heap, typename Fn>
  void Clear(Heap& heap, Fn&& fn) noexcept {
    for (uint32_t i = 0; i < capacity_; ++i) {
      if (Entry* e = entries_[i]) {
        fn(*e);
        heap.MemFree(e);
      }
    }
    heap.MemFree(entries_);
    entries_ = nullptr;
    capacity_ = 0;
  }

  uint32_t Count() const noexcept {
    uint32_t n = 0;
    for (uint32_t i = 0; i < capacity_; ++i) n += entries_[i] != nullptr;
    return n;
  }

 private:
  template <typename Heap>
  bool Grow(Heap& heap) noexcept {
    const uint32_t bigger = capacity_ + kNotifyWindowTableStep;
    auto** table = static_cast<Entry**>(heap.MemAlloc(sizeof(Entry*) * bigger));
    if (!table) return false;
    if (capacity_) std::memcpy(table, entries_, sizeof(Entry*) * capacity_);
    heap.MemFree(entries_);
    entries_ = table;
    capacity_ = bigger;
    return true;
  }

  Entry** entries_ = nullptr;  // a null pointer is a free entry
  uint32_t capacity_ = 0;
};

}  // namespace cvcore
