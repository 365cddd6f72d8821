#pragma once
// Block functions shared by the digests and their instruction-set fast paths, and the
// buffering common to the 64-byte-block digests.
#include <cstddef>
#include <cstdint>
#include <cstring>

#include "ssh/crypto/byte_order.h"

namespace cvssh::crypto {

// Compress nblocks consecutive 64-byte blocks (big-endian words) into h.
void Sha1BlocksPortable(uint32_t h[5], const uint8_t* data, size_t nblocks);
void Sha256BlocksPortable(uint32_t h[8], const uint8_t* data, size_t nblocks);

// SHA-NI forms; callable only when CpuHasShaNi().
void Sha1BlocksShaNi(uint32_t h[5], const uint8_t* data, size_t nblocks);
void Sha1CompressWordsShaNi(uint32_t h[5], const uint32_t w[16]);
void Sha256BlocksShaNi(uint32_t h[8], const uint8_t* data, size_t nblocks);

// Buffering for digests with 64-byte blocks and a 64-bit big-endian bit length
// (state fields h, block, used, len_hi, len_lo).
template <class State, class Blocks>
void Md64Append(State* s, const uint8_t* p, size_t len, Blocks blocks) {
  const uint64_t total = ((uint64_t(s->len_hi) << 32) | s->len_lo) + len;
  s->len_hi = uint32_t(total >> 32);
  s->len_lo = uint32_t(total);
  if (s->used != 0) {
    const size_t take = len < 64 - s->used ? len : 64 - s->used;
    std::memcpy(s->block + s->used, p, take);
    s->used += uint32_t(take);
    p += take;
    len -= take;
    if (s->used < 64) return;
    blocks(s->h, s->block, 1);
    s->used = 0;
  }
  if (const size_t n = len / 64; n != 0) {
    blocks(s->h, p, n);
    p += n * 64;
    len -= n * 64;
  }
  std::memcpy(s->block, p, len);
  s->used = uint32_t(len);
}

template <class State, class Blocks>
void Md64Finish(State* s, Blocks blocks) {
  const uint64_t bits = ((uint64_t(s->len_hi) << 32) | s->len_lo) << 3;
  s->block[s->used++] = 0x80;
  if (s->used > 56) {
    std::memset(s->block + s->used, 0, 64 - s->used);
    blocks(s->h, s->block, 1);
    s->used = 0;
  }
  std::memset(s->block + s->used, 0, 56 - s->used);
  StoreBe64(s->block + 56, bits);
  blocks(s->h, s->block, 1);
}

}  // namespace cvssh::crypto
