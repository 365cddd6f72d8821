#pragma once
// Context allocation shared by the cipher descriptors.
#include <cassert>
#include <cstring>

#include "ssh/util/alloc.h"

namespace cvssh::crypto {

template <class Ctx>
void* CreateContext() {
  void* p = cvssh::AllocOrDie(sizeof(Ctx));
  std::memset(p, 0, sizeof(Ctx));
  return p;
}

template <class Ctx>
void DestroyContext(void* p) {
  if (!p) return;
  explicit_bzero(p, sizeof(Ctx));
  CheckedFree(p);
}

// Whole blocks of a buffer; see cipher.h for the rule on other lengths.
inline size_t WholeBlocks(uint32_t len, uint32_t block) {
  assert(len % block == 0 && "cipher length must be a multiple of the block size");
  return len / block;
}

}  // namespace cvssh::crypto
