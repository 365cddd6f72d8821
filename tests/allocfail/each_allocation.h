#pragma once
// Runs a path once with every platform heap allocation it makes failing in turn (the
// first, then the second, ...) and checks each run: the path either still succeeds or
// fails with the out-of-memory error, and no heap or global block outlives it. The
// sanitizer's leak checker covers what the path takes from the C++ allocator.
#include <gtest/gtest.h>

#include <cstdint>
#include <functional>
#include <string>

#include "core/errors/error_codes.h"
#include "counted_new.h"
#include "platform/base/heap_faults.h"

namespace allocfail {

// A path returns 0 when it succeeded, else the last error of the call that failed. It
// releases whatever it created before returning.
using Path = std::function<uint32_t()>;

// Allocations a path may make before the run is taken as endless.
inline constexpr uint64_t kMaxAllocations = 2000;

// Returns how many allocations the path made when none failed. With cxx, the C++
// allocations of the path's library calls (inside its LibraryCalls scope) count too.
inline uint64_t EachAllocationFails(const Path& path, bool cxx = false) {
  namespace t = plat::testing;
  const Path run = [&path, cxx]() -> uint32_t {
    CxxFaultsArmed armed(cxx);
    return path();
  };
  // A first run grows what a library keeps for good (its heap, its session table).
  t::FailAllocation(0);
  EXPECT_EQ(run(), 0u) << "the path fails even without a failed allocation";
  const size_t live = t::LiveBlocks();
  t::FailAllocation(0);
  EXPECT_EQ(run(), 0u);
  const uint64_t total = t::AllocationCount();
  EXPECT_EQ(t::LiveBlocks(), live) << "a run without failures leaves blocks behind";
  uint64_t n = 1;
  for (; n <= kMaxAllocations; ++n) {
    SCOPED_TRACE("allocation " + std::to_string(n) + " failing");
    t::FailAllocation(n);
    const uint32_t error = run();
    const bool reached = t::AllocationFailed();
    t::FailAllocation(0);
    if (!reached) break;  // the path made fewer than n allocations this time
    if (error != 0) {
      EXPECT_EQ(error, cvErrorOutOfMemory) << "allocation " << n << " of " << total;
    }
    EXPECT_EQ(t::LiveBlocks(), live) << "allocation " << n << " of " << total << " left blocks behind";
  }
  EXPECT_LE(n, kMaxAllocations);
  return total;
}

}  // namespace allocfail
