#pragma once
// Private heaps and movable global memory blocks.
//
// A heap keeps its own blocks: destroying it frees every block still in it, and a block
// freed twice or passed to the wrong heap is detected (false and ERROR_INVALID_PARAMETER),
// never a crash or a corrupted heap. Every heap block is zero-filled.
#include <cstddef>
#include <cstdint>
#include <memory>

namespace plat {

struct Heap;
using HeapHandle = Heap*;

// initialSize is a hint; maximumSize 0 means growable without limit, otherwise the sum
// of the live block sizes may not exceed it. Null when the heap cannot be created.
HeapHandle HeapCreate(size_t initialSize, size_t maximumSize) noexcept;
// Zero-filled block of size bytes (size 0 gives a valid empty block, as the original);
// null when the heap is invalid or full.
void* HeapAlloc(HeapHandle heap, size_t size) noexcept;
// Size of a live block; SIZE_MAX when the block does not belong to the heap.
size_t HeapSize(HeapHandle heap, const void* block) noexcept;
// False (ERROR_INVALID_PARAMETER) when the block is not a live block of this heap.
bool HeapFree(HeapHandle heap, void* block) noexcept;
// Frees every block and the heap; false (ERROR_INVALID_HANDLE) for an unknown heap.
bool HeapDestroy(HeapHandle heap) noexcept;

// Movable global memory: a handle to a growable block that keeps its data when it grows.
struct GlobalBlock;
using HGLOBAL = GlobalBlock*;

inline constexpr uint32_t GMEM_FIXED = 0x0000;
inline constexpr uint32_t GMEM_MOVEABLE = 0x0002;
inline constexpr uint32_t GMEM_ZEROINIT = 0x0040;
inline constexpr uint32_t GHND = GMEM_MOVEABLE | GMEM_ZEROINIT;

// The block's bytes are always zero-filled here (new bytes of a grown block too).
HGLOBAL GlobalAlloc(uint32_t flags, size_t size) noexcept;
// Resizes keeping the data (up to the smaller size); returns the same handle, or null
// with the block unchanged when memory runs out or the block is locked.
HGLOBAL GlobalReAlloc(HGLOBAL block, size_t size, uint32_t flags) noexcept;
// Pointer to the data while locked (lock count + 1); null for an invalid handle.
void* GlobalLock(HGLOBAL block) noexcept;
// True while the block is still locked afterwards.
bool GlobalUnlock(HGLOBAL block) noexcept;
// 0 for an invalid handle.
size_t GlobalSize(HGLOBAL block) noexcept;
// Null on success; the handle itself when it is not a live block.
HGLOBAL GlobalFree(HGLOBAL block) noexcept;

struct GlobalFreer {
  void operator()(GlobalBlock* b) const noexcept { GlobalFree(b); }
};
using UniqueGlobal = std::unique_ptr<GlobalBlock, GlobalFreer>;

}  // namespace plat
