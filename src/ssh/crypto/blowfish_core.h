#pragma once
// Blowfish block function on two 32-bit halves, and its key schedule.
#include <cstddef>
#include <cstdint>

namespace cvssh::crypto {

struct BlowfishKey {
  uint32_t s[4][256];
  uint32_t p[18];
};

extern const BlowfishKey kBlowfishInitial;

void BlowfishSetKey(BlowfishKey* k, const uint8_t* key, size_t len);

inline uint32_t BlowfishF(const BlowfishKey& k, uint32_t x) {
  return ((k.s[0][x >> 24] + k.s[1][(x >> 16) & 0xFF]) ^ k.s[2][(x >> 8) & 0xFF]) + k.s[3][x & 0xFF];
}

inline void BlowfishEncrypt(const BlowfishKey& k, uint32_t& l, uint32_t& r) {
  uint32_t a = l, b = r;
  for (int i = 0; i < 16; i += 2) {
    a ^= k.p[i];
    b ^= BlowfishF(k, a);
    b ^= k.p[i + 1];
    a ^= BlowfishF(k, b);
  }
  l = b ^ k.p[17];
  r = a ^ k.p[16];
}

inline void BlowfishDecrypt(const BlowfishKey& k, uint32_t& l, uint32_t& r) {
  uint32_t a = l, b = r;
  for (int i = 17; i > 1; i -= 2) {
    a ^= k.p[i];
    b ^= BlowfishF(k, a);
    b ^= k.p[i - 1];
    a ^= BlowfishF(k, b);
  }
  l = b ^ k.p[0];
  r = a ^ k.p[1];
}

}  // namespace cvssh::crypto
