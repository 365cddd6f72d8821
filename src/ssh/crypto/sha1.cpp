// SHA-1 (FIPS 180): portable compression, buffering and the SHA-NI dispatch.
#include <cstdlib>
#include <cstring>
#include <new>

#include "ssh/crypto/cpu_features.h"
#include "ssh/crypto/digest_traits.h"
#include "ssh/crypto/hash.h"
#include "ssh/crypto/sha_blocks.h"

namespace cvssh::crypto {
namespace {

void CompressWords(uint32_t h[5], const uint32_t block[16]) {
  uint32_t w[80];
  for (int t = 0; t < 16; ++t) w[t] = block[t];
  for (int t = 16; t < 80; ++t) w[t] = Rotl32(w[t - 3] ^ w[t - 8] ^ w[t - 14] ^ w[t - 16], 1);
  uint32_t a = h[0], b = h[1], c = h[2], d = h[3], e = h[4];
  auto step = [&](uint32_t f, uint32_t k, uint32_t wt) {
    const uint32_t tmp = Rotl32(a, 5) + f + e + k + wt;
    e = d; d = c; c = Rotl32(b, 30); b = a; a = tmp;
  };
  for (int t = 0; t < 20; ++t) step((b & c) | (~b & d), 0x5A827999u, w[t]);
  for (int t = 20; t < 40; ++t) step(b ^ c ^ d, 0x6ED9EBA1u, w[t]);
  for (int t = 40; t < 60; ++t) step((b & c) | (b & d) | (c & d), 0x8F1BBCDCu, w[t]);
  for (int t = 60; t < 80; ++t) step(b ^ c ^ d, 0xCA62C1D6u, w[t]);
  h[0] += a; h[1] += b; h[2] += c; h[3] += d; h[4] += e;
}

void Blocks(uint32_t h[5], const uint8_t* data, size_t n) {
  if (UseShaNi()) Sha1BlocksShaNi(h, data, n);
  else Sha1BlocksPortable(h, data, n);
}

}  // namespace

void Sha1BlocksPortable(uint32_t h[5], const uint8_t* data, size_t nblocks) {
  uint32_t w[16];
  for (; nblocks != 0; --nblocks, data += 64) {
    for (int i = 0; i < 16; ++i) w[i] = LoadBe32(data + 4 * i);
    CompressWords(h, w);
  }
}

}  // namespace cvssh::crypto

using namespace cvssh::crypto;

void Sha1Compress(uint32_t h[5], const uint32_t block[16]) {
  if (UseShaNi()) Sha1CompressWordsShaNi(h, block);
  else CompressWords(h, block);
}

void Sha1Begin(Sha1State* s) {
  static constexpr uint32_t kInit[5] = {0x67452301u, 0xEFCDAB89u, 0x98BADCFEu, 0x10325476u, 0xC3D2E1F0u};
  std::memcpy(s->h, kInit, sizeof kInit);
  s->used = 0;
  s->len_hi = s->len_lo = 0;
}

void Sha1Append(Sha1State* s, const void* data, size_t len) {
  Md64Append(s, static_cast<const uint8_t*>(data), len, Blocks);
}

void Sha1End(Sha1State* s, uint8_t out[20]) {
  Md64Finish(s, Blocks);
  for (int i = 0; i < 5; ++i) StoreBe32(out + 4 * i, s->h[i]);
}

void Sha1Digest(const void* data, size_t len, uint8_t out[20]) { OneShotDigest<Sha1Traits>(data, len, out); }
