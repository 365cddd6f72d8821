#pragma once
// Big buffers straight from the kernel. Their pages are zero-filled and committed only when
// first touched (a buffer sized from a length a peer announced costs nothing it does not
// fill), they are backed by huge pages where the system offers them (one fault per 2 MB
// instead of one per 4 KB), and resizing moves pages instead of copying bytes.
#include <cstddef>

namespace plat {

// Below this size the C library's allocator serves better.
inline constexpr size_t kMappedMinimum = size_t(1) << 20;
// Blocks of this size and more are placed and sized in steps of it (a huge page).
inline constexpr size_t kMappedStep = size_t(2) << 20;

// size zero-filled bytes; null when out of memory.
void* MapBytes(size_t size) noexcept;
// Resizes a block of MapBytes keeping its data; bytes it gains are zero-filled. Null (the
// block unchanged) when out of memory.
void* RemapBytes(void* block, size_t oldSize, size_t newSize) noexcept;
// Frees a block of MapBytes or RemapBytes, given its current size.
void UnmapBytes(void* block, size_t size) noexcept;

}  // namespace plat
