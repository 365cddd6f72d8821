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

// Block buffering shared by the digests (state fields h, block, used): whole blocks go
// straight to the block function, the rest waits in the state.
template <size_t B, class State, class Blocks>
void BufferedAppend(State* s, const uint8_t* p, size_t len, Blocks blocks) {
  if (len == 0) return;  // an empty append may come with a null pointer
  if (s->used != 0) {
    const size_t take = len < B - s->used ? len : B - s->used;
    std::memcpy(s->block + s->used, p, take);
    s->used += uint32_t(take);
    p += take;
    len -= take;
    if (s->used < B) return;
    blocks(s->h, s->block, 1);
    s->used = 0;
  }
  if (const size_t n = len / B; n != 0) {
    blocks(s->h, p, n);
    p += n * B;
    len -= n * B;
  }
  std::memcpy(s->block, p, len);
  s->used = uint32_t(len);
}

// Standard padding: 0x80, zeros, then the big-endian bit length in the last L bytes.
template <size_t B, size_t L, class State, class Blocks>
void PadAndFinish(State* s, const uint8_t (&bitLength)[L], Blocks blocks) {
  s->block[s->used++] = 0x80;
  if (s->used > B - L) {
    std::memset(s->block + s->used, 0, B - s->used);
    blocks(s->h, s->block, 1);
    s->used = 0;
  }
  std::memset(s->block + s->used, 0, B - L - s->used);
  std::memcpy(s->block + B - L, bitLength, L);
  blocks(s->h, s->block, 1);
}

// The 64-byte-block digests count bytes in two 32-bit halves (len_hi, len_lo).
template <class State, class Blocks>
void Md64Append(State* s, const uint8_t* p, size_t len, Blocks blocks) {
  const uint64_t total = ((uint64_t(s->len_hi) << 32) | s->len_lo) + len;
  s->len_hi = uint32_t(total >> 32);
  s->len_lo = uint32_t(total);
  BufferedAppend<64>(s, p, len, blocks);
}

template <class State, class Blocks>
void Md64Finish(State* s, Blocks blocks) {
  uint8_t bits[8];
  StoreBe64(bits, ((uint64_t(s->len_hi) << 32) | s->len_lo) << 3);
  PadAndFinish<64>(s, bits, blocks);
}

}  // namespace cvssh::crypto
