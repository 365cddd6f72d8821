#pragma once
// For the allocation-failure tests only: the platform heap counts the allocations the
// calling thread makes and fails the one a test names, so that each allocation of a path
// can be made to fail in turn. Built only with CV_ALLOC_FAULTS (the checked build): no
// caller of a production build can reach it.
#include <cstddef>
#include <cstdint>

#ifdef CV_ALLOC_FAULTS
namespace plat::testing {

// Restarts the calling thread's count; its allocation number n (1 is the next one) fails
// as if memory had run out. 0 fails none and only counts. Counted: heap creation, heap
// blocks and global memory blocks (allocated or grown).
void FailAllocation(uint64_t n) noexcept;
// Allocations the calling thread made since FailAllocation, and whether the one named
// has failed.
uint64_t AllocationCount() noexcept;
bool AllocationFailed() noexcept;
// Counts an allocation a test's own allocator makes on the calling thread, in the same
// sequence; true when it is the one to fail.
bool CountAllocation() noexcept;
// Blocks alive in all heaps and global memory blocks, for leak checks around a path.
size_t LiveBlocks() noexcept;

}  // namespace plat::testing
#endif
