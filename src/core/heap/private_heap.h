#pragma once
// The private heaps of a library: one library heap for library-wide records and one heap
// per session, both created on first use and destroyed as a whole, so whatever a session
// still holds goes with it. Every block is zero-filled.
#include <atomic>
#include <cstddef>

#include "platform/base/heap.h"

namespace cvcore {

inline constexpr size_t kPrivateHeapInitialSize = 65535;

// A heap kept in a plain field (a session record's): the caller serialises access
// (the library lock).
plat::HeapHandle EnsureHeap(plat::HeapHandle& heap) noexcept;
void DestroyHeap(plat::HeapHandle& heap) noexcept;

// Zero-filled block; null for size 0 or a missing or full heap.
void* HeapBlockAlloc(plat::HeapHandle heap, size_t size) noexcept;
// Null is ignored; a block that is not the heap's is refused by the heap (no crash).
void HeapBlockFree(plat::HeapHandle heap, void* block) noexcept;

// The library-wide heap: created on first use by whichever thread gets there first.
class LibraryHeap {
 public:
  LibraryHeap() = default;
  LibraryHeap(const LibraryHeap&) = delete;
  LibraryHeap& operator=(const LibraryHeap&) = delete;
  ~LibraryHeap() { Destroy(); }

  // Null when the heap cannot be created.
  plat::HeapHandle Get() noexcept;
  void* Alloc(size_t size) noexcept { return size ? HeapBlockAlloc(Get(), size) : nullptr; }
  void Free(void* block) noexcept { HeapBlockFree(heap_.load(), block); }
  // Frees every block; a later Get creates a new heap.
  void Destroy() noexcept;

 private:
  std::atomic<plat::HeapHandle> heap_{nullptr};
};

}  // namespace cvcore
