#include "ssh/util/alloc.h"

#include <cstdio>
#include <cstdlib>

namespace {
constexpr size_t kMaxCount = 0x7FFFFFFF;

bool TooLarge(size_t count, size_t size) { return size != 0 && count > kMaxCount / size; }
}  // namespace

void* CheckedAlloc(size_t count, size_t size) {
  if (TooLarge(count, size)) return nullptr;
  const size_t bytes = count * size;
  return std::malloc(bytes ? bytes : 1);
}

void* CheckedRealloc(void* block, size_t count, size_t size) {
  if (TooLarge(count, size)) return nullptr;
  const size_t bytes = count * size;
  return std::realloc(block, bytes ? bytes : 1);
}

void CheckedFree(void* block) { std::free(block); }

namespace cvssh {
void* AllocOrDie(size_t size) {
  void* p = CheckedAlloc(1, size);
  if (!p) {
    std::fputs("out of memory in the SSH layer\n", stderr);
    std::abort();
  }
  return p;
}
}  // namespace cvssh
