#pragma once
// CBC and SDCTR for ciphers with 8-byte blocks, given as functions on two 32-bit halves.
// SSH-2 reads blocks as big-endian words; the SSH-1 Blowfish cipher as little-endian.
#include <cstddef>
#include <cstdint>

#include "ssh/crypto/byte_order.h"

namespace cvssh::crypto {

enum class WordOrder { Big, Little };

template <WordOrder O>
inline uint32_t LoadWord(const uint8_t* p) { return O == WordOrder::Big ? LoadBe32(p) : LoadLe32(p); }
template <WordOrder O>
inline void StoreWord(uint8_t* p, uint32_t v) {
  if constexpr (O == WordOrder::Big) StoreBe32(p, v);
  else StoreLe32(p, v);
}

template <WordOrder O = WordOrder::Big, class Encipher>
void Cbc64Encrypt(Encipher enc, uint32_t iv[2], uint8_t* buf, size_t nblocks) {
  uint32_t l = iv[0], r = iv[1];
  for (; nblocks != 0; --nblocks, buf += 8) {
    l ^= LoadWord<O>(buf);
    r ^= LoadWord<O>(buf + 4);
    enc(l, r);
    StoreWord<O>(buf, l);
    StoreWord<O>(buf + 4, r);
  }
  iv[0] = l;
  iv[1] = r;
}

template <WordOrder O = WordOrder::Big, class Decipher>
void Cbc64Decrypt(Decipher dec, uint32_t iv[2], uint8_t* buf, size_t nblocks) {
  for (; nblocks != 0; --nblocks, buf += 8) {
    const uint32_t cl = LoadWord<O>(buf), cr = LoadWord<O>(buf + 4);
    uint32_t l = cl, r = cr;
    dec(l, r);
    StoreWord<O>(buf, l ^ iv[0]);
    StoreWord<O>(buf + 4, r ^ iv[1]);
    iv[0] = cl;
    iv[1] = cr;
  }
}

// The counter is a 64-bit big-endian number in two words; encryption and decryption
// are the same operation.
template <class Encipher>
void Ctr64(Encipher enc, uint32_t ctr[2], uint8_t* buf, size_t nblocks) {
  for (; nblocks != 0; --nblocks, buf += 8) {
    uint32_t l = ctr[0], r = ctr[1];
    enc(l, r);
    StoreBe32(buf, LoadBe32(buf) ^ l);
    StoreBe32(buf + 4, LoadBe32(buf + 4) ^ r);
    if (++ctr[1] == 0) ++ctr[0];
  }
}

}  // namespace cvssh::crypto
