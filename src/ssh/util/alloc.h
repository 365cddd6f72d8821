#pragma once
// Allocation of the SSH layer: the count times size product is checked, memory is not
// zero-filled, and null is ignored on free.
#include <cstddef>

void* CheckedAlloc(size_t count, size_t size);
void* CheckedRealloc(void* block, size_t count, size_t size);
void CheckedFree(void* block);

namespace cvssh {
// For creations whose callers cannot handle a failure (descriptor contexts): a failed
// allocation ends the process instead of handing back null.
void* AllocOrDie(size_t size);
}  // namespace cvssh
