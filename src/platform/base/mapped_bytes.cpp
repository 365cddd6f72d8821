#include "platform/base/mapped_bytes.h"

#include <sys/mman.h>
#include <unistd.h>

#include <algorithm>
#include <cstdint>
#include <cstring>

#include "platform/base/heap_faults.h"

namespace plat {

namespace {

size_t RoundUp(size_t n, size_t unit) noexcept { return (n + unit - 1) / unit * unit; }

// Huge pages need 2 MB-aligned ranges: big blocks are placed and sized in whole 2 MB steps,
// and moved to aligned addresses when they grow, so that no huge page is ever split.
size_t Mapped(size_t size) noexcept {
  static const size_t page = size_t(sysconf(_SC_PAGESIZE));
  const size_t pages = RoundUp(std::max<size_t>(size, 1), page);
  return pages >= kMappedStep ? RoundUp(pages, kMappedStep) : pages;
}

bool Aligned(const void* p) noexcept { return reinterpret_cast<uintptr_t>(p) % kMappedStep == 0; }

// An aligned range of `mapped` bytes, reserved with no access, or null.
char* ReserveAligned(size_t mapped) noexcept {
  void* p = mmap(nullptr, mapped + kMappedStep, PROT_NONE, MAP_PRIVATE | MAP_ANONYMOUS | MAP_NORESERVE, -1, 0);
  if (p == MAP_FAILED) return nullptr;
  char* start = static_cast<char*>(p);
  char* aligned = reinterpret_cast<char*>(RoundUp(reinterpret_cast<uintptr_t>(start), kMappedStep));
  if (aligned > start) munmap(start, size_t(aligned - start));
  munmap(aligned + mapped, size_t(start + mapped + kMappedStep - aligned - mapped));
  return aligned;
}

void AdviseHuge(void* block, size_t mapped) noexcept {
  // Advice only: a system without huge pages simply keeps small ones.
  if (mapped >= kMappedStep) madvise(block, mapped, MADV_HUGEPAGE);
}

}  // namespace

void* MapBytes(size_t size) noexcept {
#ifdef CV_ALLOC_FAULTS
  if (testing::CountAllocation()) return nullptr;
#endif
  const size_t mapped = Mapped(size);
  void* where = nullptr;
  int flags = MAP_PRIVATE | MAP_ANONYMOUS;
  if (mapped >= kMappedStep) {
    where = ReserveAligned(mapped);
    if (!where) return nullptr;
    flags |= MAP_FIXED;
  }
  void* p = mmap(where, mapped, PROT_READ | PROT_WRITE, flags, -1, 0);
  if (p == MAP_FAILED) {
    if (where) munmap(where, mapped);
    return nullptr;
  }
  AdviseHuge(p, mapped);
  return p;
}

void* RemapBytes(void* block, size_t oldSize, size_t newSize) noexcept {
  const size_t oldMapped = Mapped(oldSize);
  const size_t newMapped = Mapped(newSize);
  // The tail of the last page may hold bytes of an earlier, larger size.
  if (newSize > oldSize) std::memset(static_cast<char*>(block) + oldSize, 0, std::min(newSize, oldMapped) - oldSize);
  if (newMapped == oldMapped) return block;
#ifdef CV_ALLOC_FAULTS
  if (newMapped > oldMapped && testing::CountAllocation()) return nullptr;
#endif
  void* p = MAP_FAILED;
  if (newMapped < kMappedStep || Aligned(block)) p = mremap(block, oldMapped, newMapped, 0);  // in place
  if (p == MAP_FAILED && newMapped < kMappedStep) p = mremap(block, oldMapped, newMapped, MREMAP_MAYMOVE);
  if (p == MAP_FAILED) {
    char* to = ReserveAligned(newMapped);
    if (!to) return nullptr;
    p = mremap(block, oldMapped, newMapped, MREMAP_MAYMOVE | MREMAP_FIXED, to);
    if (p == MAP_FAILED) {
      munmap(to, newMapped);
      return nullptr;
    }
  }
  if (newMapped > oldMapped) AdviseHuge(p, newMapped);
  return p;
}

void UnmapBytes(void* block, size_t size) noexcept {
  if (block) munmap(block, Mapped(size));
}

}  // namespace plat
