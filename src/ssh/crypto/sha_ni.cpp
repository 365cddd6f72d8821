// SHA-1 and SHA-256 block functions using the SHA extensions. Compiled for the plain
// baseline; only these functions carry the target attribute, and callers reach them
// only after CPUID reported the extensions.
#include <immintrin.h>

#include "ssh/crypto/sha256_constants.h"
#include "ssh/crypto/sha_blocks.h"

#define CV_SHA_TARGET __attribute__((target("sha,sse4.1,ssse3")))

namespace cvssh::crypto {
namespace {

CV_SHA_TARGET inline __m128i Sha1Rounds4(__m128i abcd, __m128i e, int group) {
  switch (group / 5) {
    case 0: return _mm_sha1rnds4_epu32(abcd, e, 0);
    case 1: return _mm_sha1rnds4_epu32(abcd, e, 1);
    case 2: return _mm_sha1rnds4_epu32(abcd, e, 2);
    default: return _mm_sha1rnds4_epu32(abcd, e, 3);
  }
}

// One SHA-1 block whose four message vectors hold words W0..W3 with the first word in
// the highest lane (the layout the SHA-1 instructions expect).
CV_SHA_TARGET inline void Sha1Block(__m128i& abcd, __m128i& e0, __m128i m[4]) {
  const __m128i abcdSave = abcd;
  const __m128i eSave = e0;
  __m128i saved = abcd;
  __m128i e = _mm_add_epi32(e0, m[0]);
#pragma GCC unroll 20
  for (int g = 0; g < 20; ++g) {
    if (g > 0) e = _mm_sha1nexte_epu32(saved, m[g & 3]);
    saved = abcd;
    if (g >= 3 && g <= 18) m[(g + 1) & 3] = _mm_sha1msg2_epu32(m[(g + 1) & 3], m[g & 3]);
    abcd = Sha1Rounds4(abcd, e, g);
    if (g >= 1 && g <= 16) m[(g - 1) & 3] = _mm_sha1msg1_epu32(m[(g - 1) & 3], m[g & 3]);
    if (g >= 2 && g <= 17) m[(g - 2) & 3] = _mm_xor_si128(m[(g - 2) & 3], m[g & 3]);
  }
  e0 = _mm_sha1nexte_epu32(saved, eSave);
  abcd = _mm_add_epi32(abcd, abcdSave);
}

CV_SHA_TARGET inline void Sha1Load(const uint32_t h[5], __m128i& abcd, __m128i& e0) {
  abcd = _mm_shuffle_epi32(_mm_loadu_si128(reinterpret_cast<const __m128i*>(h)), 0x1B);
  e0 = _mm_set_epi32(int(h[4]), 0, 0, 0);
}

CV_SHA_TARGET inline void Sha1Store(uint32_t h[5], __m128i abcd, __m128i e0) {
  _mm_storeu_si128(reinterpret_cast<__m128i*>(h), _mm_shuffle_epi32(abcd, 0x1B));
  h[4] = uint32_t(_mm_extract_epi32(e0, 3));
}

}  // namespace

CV_SHA_TARGET void Sha1BlocksShaNi(uint32_t h[5], const uint8_t* data, size_t nblocks) {
  const __m128i mask = _mm_set_epi64x(0x0001020304050607LL, 0x08090a0b0c0d0e0fLL);
  __m128i abcd, e0;
  Sha1Load(h, abcd, e0);
  for (; nblocks != 0; --nblocks, data += 64) {
    __m128i m[4];
    for (int i = 0; i < 4; ++i)
      m[i] = _mm_shuffle_epi8(_mm_loadu_si128(reinterpret_cast<const __m128i*>(data + 16 * i)), mask);
    Sha1Block(abcd, e0, m);
  }
  Sha1Store(h, abcd, e0);
}

CV_SHA_TARGET void Sha1CompressWordsShaNi(uint32_t h[5], const uint32_t w[16]) {
  __m128i abcd, e0;
  Sha1Load(h, abcd, e0);
  __m128i m[4];
  for (int i = 0; i < 4; ++i)
    m[i] = _mm_shuffle_epi32(_mm_loadu_si128(reinterpret_cast<const __m128i*>(w + 4 * i)), 0x1B);
  Sha1Block(abcd, e0, m);
  Sha1Store(h, abcd, e0);
}

CV_SHA_TARGET void Sha256BlocksShaNi(uint32_t h[8], const uint8_t* data, size_t nblocks) {
  const __m128i mask = _mm_set_epi64x(0x0c0d0e0f08090a0bLL, 0x0405060700010203LL);
  __m128i tmp = _mm_shuffle_epi32(_mm_loadu_si128(reinterpret_cast<const __m128i*>(h)), 0xB1);  // CDAB
  __m128i state1 = _mm_shuffle_epi32(_mm_loadu_si128(reinterpret_cast<const __m128i*>(h + 4)), 0x1B);  // EFGH
  __m128i state0 = _mm_alignr_epi8(tmp, state1, 8);     // ABEF
  state1 = _mm_blend_epi16(state1, tmp, 0xF0);          // CDGH

  for (; nblocks != 0; --nblocks, data += 64) {
    const __m128i save0 = state0, save1 = state1;
    __m128i m[4];
#pragma GCC unroll 16
    for (int g = 0; g < 16; ++g) {
      if (g < 4) m[g] = _mm_shuffle_epi8(_mm_loadu_si128(reinterpret_cast<const __m128i*>(data + 16 * g)), mask);
      __m128i msg = _mm_add_epi32(m[g & 3], _mm_load_si128(reinterpret_cast<const __m128i*>(kSha256K + 4 * g)));
      state1 = _mm_sha256rnds2_epu32(state1, state0, msg);
      if (g >= 3 && g <= 14) {
        // Finish the next four schedule words from the partial sums prepared earlier.
        const __m128i t = _mm_alignr_epi8(m[g & 3], m[(g - 1) & 3], 4);
        m[(g + 1) & 3] = _mm_sha256msg2_epu32(_mm_add_epi32(m[(g + 1) & 3], t), m[g & 3]);
      }
      msg = _mm_shuffle_epi32(msg, 0x0E);
      state0 = _mm_sha256rnds2_epu32(state0, state1, msg);
      if (g >= 1 && g <= 12) m[(g - 1) & 3] = _mm_sha256msg1_epu32(m[(g - 1) & 3], m[g & 3]);
    }
    state0 = _mm_add_epi32(state0, save0);
    state1 = _mm_add_epi32(state1, save1);
  }

  tmp = _mm_shuffle_epi32(state0, 0x1B);            // FEBA
  state1 = _mm_shuffle_epi32(state1, 0xB1);         // DCHG
  state0 = _mm_blend_epi16(tmp, state1, 0xF0);      // DCBA
  state1 = _mm_alignr_epi8(state1, tmp, 8);         // HGFE
  _mm_storeu_si128(reinterpret_cast<__m128i*>(h), state0);
  _mm_storeu_si128(reinterpret_cast<__m128i*>(h + 4), state1);
}

}  // namespace cvssh::crypto
