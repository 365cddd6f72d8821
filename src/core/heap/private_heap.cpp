#include "core/heap/private_heap.h"

namespace cvcore {

plat::HeapHandle EnsureHeap(plat::HeapHandle& heap) noexcept {
  if (!heap) heap = plat::HeapCreate(kPrivateHeapInitialSize, 0);
  return heap;
}

void DestroyHeap(plat::HeapHandle& heap) noexcept {
  if (heap) plat::HeapDestroy(heap);
  heap = nullptr;
}

void* HeapBlockAlloc(plat::HeapHandle heap, size_t size) noexcept {
  if (!heap || size == 0) return nullptr;
  return plat::HeapAlloc(heap, size);
}

void HeapBlockFree(plat::HeapHandle heap, void* block) noexcept {
  if (heap && block) plat::HeapFree(heap, block);
}

plat::HeapHandle LibraryHeap::Get() noexcept {
  plat::HeapHandle h = heap_.load(std::memory_order_acquire);
  if (h) return h;
  plat::HeapHandle created = plat::HeapCreate(kPrivateHeapInitialSize, 0);
  if (!created) return nullptr;
  if (!heap_.compare_exchange_strong(h, created, std::memory_order_acq_rel)) {
    plat::HeapDestroy(created);  // another thread won the race
    return h;
  }
  return created;
}

void LibraryHeap::Destroy() noexcept {
  if (plat::HeapHandle h = heap_.exchange(nullptr)) plat::HeapDestroy(h);
}

}  // namespace cvcore
