// AES with the AES-NI instructions. Only these functions are compiled for AES-NI; they
// run only when CPUID reported it (AesKey::ni). Round keys come from the portable
// schedule, so both paths share one key expansion.
#include <immintrin.h>

#include "ssh/crypto/aes_core.h"
#include "ssh/crypto/byte_order.h"

#define CV_AES_TARGET __attribute__((target("aes,sse4.1,ssse3")))

namespace cvssh::crypto {
namespace {

CV_AES_TARGET inline __m128i LoadKey(const uint8_t (*keys)[16], int r) {
  return _mm_load_si128(reinterpret_cast<const __m128i*>(keys[r]));
}

CV_AES_TARGET inline __m128i EncryptOne(const AesKey& k, __m128i x) {
  x = _mm_xor_si128(x, LoadKey(k.niEnc, 0));
  for (int r = 1; r < k.rounds; ++r) x = _mm_aesenc_si128(x, LoadKey(k.niEnc, r));
  return _mm_aesenclast_si128(x, LoadKey(k.niEnc, k.rounds));
}

// The IV words as the 16 bytes they stand for, and back.
CV_AES_TARGET inline __m128i WordsToBlock(const uint32_t w[4]) {
  alignas(16) uint8_t b[16];
  for (int i = 0; i < 4; ++i) StoreBe32(b + 4 * i, w[i]);
  return _mm_load_si128(reinterpret_cast<const __m128i*>(b));
}
CV_AES_TARGET inline void BlockToWords(__m128i x, uint32_t w[4]) {
  alignas(16) uint8_t b[16];
  _mm_store_si128(reinterpret_cast<__m128i*>(b), x);
  for (int i = 0; i < 4; ++i) w[i] = LoadBe32(b + 4 * i);
}

}  // namespace

CV_AES_TARGET void AesNiPrepare(AesKey* k) {
  for (int r = 0; r <= k->rounds; ++r)
    for (int j = 0; j < 4; ++j) StoreBe32(k->niEnc[r] + 4 * j, k->ek[4 * r + j]);
  _mm_store_si128(reinterpret_cast<__m128i*>(k->niDec[0]), LoadKey(k->niEnc, k->rounds));
  for (int r = 1; r < k->rounds; ++r)
    _mm_store_si128(reinterpret_cast<__m128i*>(k->niDec[r]), _mm_aesimc_si128(LoadKey(k->niEnc, k->rounds - r)));
  _mm_store_si128(reinterpret_cast<__m128i*>(k->niDec[k->rounds]), LoadKey(k->niEnc, 0));
}

CV_AES_TARGET void AesNiCbcEncrypt(const AesKey& k, uint32_t iv[4], uint8_t* buf, size_t nblocks) {
  __m128i chain = WordsToBlock(iv);
  for (; nblocks != 0; --nblocks, buf += 16) {
    auto* p = reinterpret_cast<__m128i*>(buf);
    chain = EncryptOne(k, _mm_xor_si128(_mm_loadu_si128(p), chain));
    _mm_storeu_si128(p, chain);
  }
  BlockToWords(chain, iv);
}

CV_AES_TARGET void AesNiCbcDecrypt(const AesKey& k, uint32_t iv[4], uint8_t* buf, size_t nblocks) {
  __m128i chain = WordsToBlock(iv);
  // Blocks are independent when decrypting: four at a time keep the unit busy.
  while (nblocks != 0) {
    const size_t n = nblocks < 4 ? nblocks : 4;
    auto* p = reinterpret_cast<__m128i*>(buf);
    __m128i c[4], x[4];
    for (size_t i = 0; i < n; ++i) x[i] = c[i] = _mm_loadu_si128(p + i);
    const __m128i k0 = LoadKey(k.niDec, 0);
    for (size_t i = 0; i < n; ++i) x[i] = _mm_xor_si128(x[i], k0);
    for (int r = 1; r < k.rounds; ++r) {
      const __m128i kr = LoadKey(k.niDec, r);
      for (size_t i = 0; i < n; ++i) x[i] = _mm_aesdec_si128(x[i], kr);
    }
    const __m128i kl = LoadKey(k.niDec, k.rounds);
    for (size_t i = 0; i < n; ++i) {
      x[i] = _mm_aesdeclast_si128(x[i], kl);
      _mm_storeu_si128(p + i, _mm_xor_si128(x[i], chain));
      chain = c[i];
    }
    buf += 16 * n;
    nblocks -= n;
  }
  BlockToWords(chain, iv);
}

// Eight counter blocks per step keep the AES unit's pipeline full. The counter's low
// half is kept byte-reversed in a register so it advances with one vector add; the rare
// step that carries into the high half goes block by block.
CV_AES_TARGET void AesNiCtr(const AesKey& k, uint32_t ctr[4], uint8_t* buf, size_t nblocks) {
  uint64_t hi = (uint64_t(ctr[0]) << 32) | ctr[1];
  uint64_t lo = (uint64_t(ctr[2]) << 32) | ctr[3];
  constexpr size_t kLanes = 8;
  const __m128i swap = _mm_set_epi8(0, 1, 2, 3, 4, 5, 6, 7, 8, 9, 10, 11, 12, 13, 14, 15);
  __m128i rk[15];
  for (int r = 0; r <= k.rounds; ++r) rk[r] = LoadKey(k.niEnc, r);
  while (nblocks != 0) {
    const size_t n = nblocks < kLanes ? nblocks : kLanes;
    __m128i x[kLanes];
    if (n == kLanes && lo <= ~uint64_t(0) - kLanes) {
      // Counter as a little-endian 128-bit value (lo in the low lane); pshufb gives the
      // big-endian block.
      const __m128i base = _mm_set_epi64x(int64_t(hi), int64_t(lo));
#pragma GCC unroll 8
      for (size_t i = 0; i < kLanes; ++i)
        x[i] = _mm_xor_si128(_mm_shuffle_epi8(_mm_add_epi64(base, _mm_set_epi64x(0, int64_t(i))), swap), rk[0]);
      lo += kLanes;
      for (int r = 1; r < k.rounds; ++r) {
#pragma GCC unroll 8
        for (size_t i = 0; i < kLanes; ++i) x[i] = _mm_aesenc_si128(x[i], rk[r]);
      }
      auto* p = reinterpret_cast<__m128i*>(buf);
#pragma GCC unroll 8
      for (size_t i = 0; i < kLanes; ++i)
        _mm_storeu_si128(p + i, _mm_xor_si128(_mm_loadu_si128(p + i), _mm_aesenclast_si128(x[i], rk[k.rounds])));
    } else {
      for (size_t i = 0; i < n; ++i) {
        x[i] = _mm_xor_si128(_mm_set_epi64x(int64_t(__builtin_bswap64(lo)), int64_t(__builtin_bswap64(hi))), rk[0]);
        if (++lo == 0) ++hi;
      }
      for (int r = 1; r < k.rounds; ++r)
        for (size_t i = 0; i < n; ++i) x[i] = _mm_aesenc_si128(x[i], rk[r]);
      auto* p = reinterpret_cast<__m128i*>(buf);
      for (size_t i = 0; i < n; ++i)
        _mm_storeu_si128(p + i, _mm_xor_si128(_mm_loadu_si128(p + i), _mm_aesenclast_si128(x[i], rk[k.rounds])));
    }
    buf += 16 * n;
    nblocks -= n;
  }
  ctr[0] = uint32_t(hi >> 32);
  ctr[1] = uint32_t(hi);
  ctr[2] = uint32_t(lo >> 32);
  ctr[3] = uint32_t(lo);
}

}  // namespace cvssh::crypto
