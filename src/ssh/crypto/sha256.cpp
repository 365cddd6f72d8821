// SHA-256 (FIPS 180): portable compression, buffering and the SHA-NI dispatch.
#include <cstring>

#include "ssh/crypto/cpu_features.h"
#include "ssh/crypto/digest_traits.h"
#include "ssh/crypto/hash.h"
#include "ssh/crypto/sha256_constants.h"
#include "ssh/crypto/sha_blocks.h"

namespace cvssh::crypto {
namespace {

void Blocks(uint32_t h[8], const uint8_t* data, size_t n) {
  if (UseShaNi()) Sha256BlocksShaNi(h, data, n);
  else Sha256BlocksPortable(h, data, n);
}

}  // namespace

void Sha256BlocksPortable(uint32_t h[8], const uint8_t* data, size_t nblocks) {
  uint32_t w[64];
  for (; nblocks != 0; --nblocks, data += 64) {
    for (int t = 0; t < 16; ++t) w[t] = LoadBe32(data + 4 * t);
    for (int t = 16; t < 64; ++t) {
      const uint32_t s0 = Rotr32(w[t - 15], 7) ^ Rotr32(w[t - 15], 18) ^ (w[t - 15] >> 3);
      const uint32_t s1 = Rotr32(w[t - 2], 17) ^ Rotr32(w[t - 2], 19) ^ (w[t - 2] >> 10);
      w[t] = w[t - 16] + s0 + w[t - 7] + s1;
    }
    uint32_t a = h[0], b = h[1], c = h[2], d = h[3], e = h[4], f = h[5], g = h[6], hh = h[7];
    for (int t = 0; t < 64; ++t) {
      const uint32_t t1 = hh + (Rotr32(e, 6) ^ Rotr32(e, 11) ^ Rotr32(e, 25)) + ((e & f) ^ (~e & g)) +
                          kSha256K[t] + w[t];
      const uint32_t t2 = (Rotr32(a, 2) ^ Rotr32(a, 13) ^ Rotr32(a, 22)) + ((a & b) ^ (a & c) ^ (b & c));
      hh = g; g = f; f = e; e = d + t1; d = c; c = b; b = a; a = t1 + t2;
    }
    h[0] += a; h[1] += b; h[2] += c; h[3] += d; h[4] += e; h[5] += f; h[6] += g; h[7] += hh;
  }
}

}  // namespace cvssh::crypto

using namespace cvssh::crypto;

void Sha256Begin(Sha256State* s) {
  static constexpr uint32_t kInit[8] = {0x6a09e667u, 0xbb67ae85u, 0x3c6ef372u, 0xa54ff53au,
                                        0x510e527fu, 0x9b05688cu, 0x1f83d9abu, 0x5be0cd19u};
  std::memcpy(s->h, kInit, sizeof kInit);
  s->used = 0;
  s->len_hi = s->len_lo = 0;
}

void Sha256Append(Sha256State* s, const void* data, size_t len) {
  Md64Append(s, static_cast<const uint8_t*>(data), len, Blocks);
}

void Sha256End(Sha256State* s, uint8_t out[32]) {
  Md64Finish(s, Blocks);
  for (int i = 0; i < 8; ++i) StoreBe32(out + 4 * i, s->h[i]);
}

void Sha256Digest(const void* data, size_t len, uint8_t out[32]) { OneShotDigest<Sha256Traits>(data, len, out); }
