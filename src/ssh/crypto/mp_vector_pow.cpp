// Two modular exponentiations at once on the 52-bit multiply-add vector instructions
// (AVX-512 IFMA): the RSA private operation's two half-size powers, one per prime.
//
// Numbers are held as 52-bit digits in the 64-bit lanes of 512-bit registers. A
// Montgomery multiplication scans the digits of one operand; each step adds that digit
// times the other operand and a multiple of the modulus into lanes that gather the sums
// without carrying, then moves every lane down one digit. Digit 0 lives in a scalar
// register, so the step's reduction factor is ready without waiting for the vector unit.
// The multiplication is "almost" Montgomery: with R = 2^(52 * digits) at least four times
// the modulus, inputs below twice the modulus give results below twice the modulus, and
// only the final result is fully reduced. Two independent exponentiations interleave
// their steps, so each fills the other's latency.
//
// As in the scalar code, no branch or memory access depends on a secret: the exponent is
// read by fixed windows from its top bit length, and every table read touches all entries.
// GCC 12's intrinsics leave the unused source of an unmasked operation undefined on
// purpose, which its own flow analysis then reports.
#include <atomic>
#include <cstdint>
#include <cstring>
#include <new>
#if defined(__x86_64__)
#include <cpuid.h>
#if defined(__clang__)
#include <immintrin.h>
#else
#pragma GCC diagnostic push
#pragma GCC diagnostic ignored "-Wmaybe-uninitialized"
#include <immintrin.h>
#pragma GCC diagnostic pop
#endif
#endif

#include "ssh/crypto/cpu_features.h"
#include "ssh/crypto/mp_internal.h"

namespace sshmp {
namespace {

using u64 = uint64_t;
using u128 = unsigned __int128;

constexpr u64 kMask52 = (u64{1} << 52) - 1;
constexpr int kWindow = 5;
constexpr size_t kEntries = size_t{1} << kWindow;
constexpr size_t kMaxRegisters = 6;  // 48 digits: moduli up to 2494 bits
constexpr size_t kMaxDigits = 8 * kMaxRegisters;

std::atomic<bool> g_vectorAllowed{true};

// 52-bit digits of a number held in 64-bit words, and back.
void ToDigits(const u64* words, size_t word_count, u64* digits, size_t digit_count) {
  for (size_t j = 0; j < digit_count; ++j) {
    const size_t bit = 52 * j, w = bit / 64, s = bit % 64;
    u64 v = w < word_count ? words[w] >> s : 0;
    if (s > 12 && w + 1 < word_count) v |= words[w + 1] << (64 - s);
    digits[j] = v & kMask52;
  }
}

void FromDigits(const u64* digits, size_t digit_count, u64* words, size_t word_count) {
  std::memset(words, 0, word_count * sizeof(u64));
  for (size_t j = 0; j < digit_count; ++j) {
    const size_t bit = 52 * j, w = bit / 64, s = bit % 64;
    if (w < word_count) words[w] |= digits[j] << s;
    if (s > 12 && w + 1 < word_count) words[w + 1] |= digits[j] >> (64 - s);
  }
}

// One exponentiation's numbers as digits, ready for the kernel.
struct Prepared {
  size_t words = 0;  // 64-bit words of the modulus
  u64 k0 = 0;        // -m^-1 mod 2^52
  u64 modulus[kMaxDigits] = {}, r2[kMaxDigits] = {}, base[kMaxDigits] = {};
  u64 modulusWords[kMaxDigits] = {};
};

// The modulus's part: its digits, the reduction factor and R^2 mod m.
bool PrepareModulus(MpConstInt modulus, size_t digits, Prepared& out) {
  const int limbs = Limbs(modulus);
  const size_t k = (static_cast<size_t>(limbs) + 3) / 4;
  out.words = k;
  LimbsToWords(modulus + 1, limbs, out.modulusWords, k);
  ToDigits(out.modulusWords, k, out.modulus, digits);
  u64 inverse = out.modulusWords[0];
  for (int i = 0; i < 6; ++i) inverse *= 2 - out.modulusWords[0] * inverse;
  out.k0 = (0 - inverse) & kMask52;
  // R^2 mod m for R = 2^(52 * digits).
  const size_t r2_words = 104 * digits / 64 + 1;
  Scratch<u64> power(r2_words), rest(k);
  if (!power.ok() || !rest.ok()) return false;
  power[r2_words - 1] = u64{1} << (104 * digits % 64);
  if (!RemainderWords(power.get(), r2_words, out.modulusWords, k, rest.get())) return false;
  ToDigits(rest.get(), k, out.r2, digits);
  return true;
}

// The base reduced modulo the prepared modulus.
bool PrepareBase(MpConstInt base, size_t digits, Prepared& out) {
  Scratch<u64> rest(out.words), wide(static_cast<size_t>(base[0] + 3) / 4 + 1);
  if (!rest.ok() || !wide.ok()) return false;
  LimbsToWords(base + 1, base[0], wide.get(), wide.size());
  if (!RemainderWords(wide.get(), wide.size(), out.modulusWords, out.words, rest.get())) return false;
  ToDigits(rest.get(), out.words, out.base, digits);
  return true;
}

// The digit count both moduli share: R = 2^(52 * digits) at least four times the larger;
// 0 where either modulus cannot take the vector road.
size_t PairDigits(MpConstInt m0, MpConstInt m1) {
  size_t digits = 0;
  for (MpConstInt m : {m0, m1}) {
    if (!m || Limbs(m) == 0 || (m[1] & 1) == 0) return 0;
    const size_t need = (static_cast<size_t>(MpBitCount(m)) + 2 + 51) / 52;
    if (need > digits) digits = need;
  }
  return digits > kMaxDigits ? 0 : digits;
}

int ExponentBit(MpConstInt e, int bit) {
  if (bit / 16 >= e[0]) return 0;
  return (e[bit / 16 + 1] >> (bit % 16)) & 1;
}

// The result as a number below the modulus: the kernel's last step leaves it at most m.
MpInt Finish(const u64* digits, size_t digit_count, const Prepared& p, MpConstInt modulus) {
  Scratch<u64> words(p.words), reduced(p.words);
  if (!words.ok() || !reduced.ok()) return nullptr;
  FromDigits(digits, digit_count, words.get(), p.words);
  u64 borrow = 0;
  for (size_t j = 0; j < p.words; ++j) {
    const u128 d = static_cast<u128>(words[j]) - p.modulusWords[j] - borrow;
    reduced[j] = static_cast<u64>(d);
    borrow = static_cast<u64>(d >> 64) & 1;
  }
  const u64 keep = 0 - borrow;  // all ones when the value was below m
  for (size_t j = 0; j < p.words; ++j) words[j] = (words[j] & keep) | (reduced[j] & ~keep);
  MpInt r = Alloc(modulus[0]);
  if (!r) return nullptr;
  WordsToLimbs(words.get(), p.words, r + 1, modulus[0]);
  Trim(r);
  return r;
}

#if defined(__x86_64__)
// clang ignores GCC's target pragma; its attribute form marks the same functions.
#if defined(__clang__)
#pragma clang attribute push(__attribute__((target("avx512f,avx512ifma"))), apply_to = function)
#else
#pragma GCC push_options
#pragma GCC target("avx512f,avx512ifma")
#endif

template <int NR>
struct Vec {
  __m512i r[NR];
};

template <int NR>
inline __attribute__((always_inline)) Vec<NR> Zero() {
  Vec<NR> v;
  for (int i = 0; i < NR; ++i) v.r[i] = _mm512_setzero_si512();
  return v;
}

template <int NR>
inline __attribute__((always_inline)) Vec<NR> Load(const u64* d) {
  Vec<NR> v;
  for (int i = 0; i < NR; ++i) v.r[i] = _mm512_loadu_si512(d + 8 * i);
  return v;
}

template <int NR>
inline __attribute__((always_inline)) void Store(u64* d, const Vec<NR>& v) {
  for (int i = 0; i < NR; ++i) _mm512_storeu_si512(d + 8 * i, v.r[i]);
}

inline __attribute__((always_inline)) u64 Lane0(__m512i v) {
  return static_cast<u64>(_mm_cvtsi128_si64(_mm512_castsi512_si128(v)));
}

// One exponentiation's modulus in registers.
template <int NR>
struct Chain {
  Vec<NR> m;
  u64 m0, k0;
};

// acc += a * b_i + m * y, then one digit down; acc0 is the true digit 0 (the vector's
// lane 0 is left stale and shifted out at the next step).
template <int NR>
inline __attribute__((always_inline)) void Step(Vec<NR>& acc, u64& acc0, const Vec<NR>& a, u64 a0, u64 bi,
                                                const Chain<NR>& c) {
  u128 t = static_cast<u128>(a0) * bi + acc0;
  const u64 y = (static_cast<u64>(t) * c.k0) & kMask52;
  t += static_cast<u128>(c.m0) * y;  // now a multiple of 2^52
  const u64 carry = static_cast<u64>(t >> 52);
  const __m512i b = _mm512_set1_epi64(static_cast<long long>(bi));
  const __m512i yv = _mm512_set1_epi64(static_cast<long long>(y));
  for (int i = 0; i < NR; ++i) acc.r[i] = _mm512_madd52lo_epu64(acc.r[i], a.r[i], b);
  for (int i = 0; i < NR; ++i) acc.r[i] = _mm512_madd52lo_epu64(acc.r[i], c.m.r[i], yv);
  for (int i = 0; i + 1 < NR; ++i) acc.r[i] = _mm512_alignr_epi64(acc.r[i + 1], acc.r[i], 1);
  acc.r[NR - 1] = _mm512_alignr_epi64(_mm512_setzero_si512(), acc.r[NR - 1], 1);
  acc0 = Lane0(acc.r[0]) + carry;
  // The high halves belong one digit up, which after the move is the same lane.
  for (int i = 0; i < NR; ++i) acc.r[i] = _mm512_madd52hi_epu64(acc.r[i], a.r[i], b);
  for (int i = 0; i < NR; ++i) acc.r[i] = _mm512_madd52hi_epu64(acc.r[i], c.m.r[i], yv);
}

// Carries every lane into the next, giving digits below 2^52. One pass of shifted carries
// leaves lanes below 2^53; the ripple of the remaining single carries is an addition on
// bit masks (lanes that make a carry, lanes that pass one on).
template <int NR>
inline __attribute__((always_inline)) Vec<NR> Normalise(Vec<NR> acc, u64 acc0) {
  const __m512i mask = _mm512_set1_epi64(static_cast<long long>(kMask52));
  acc.r[0] = _mm512_mask_set1_epi64(acc.r[0], 1, static_cast<long long>(acc0));
  __m512i carry[NR];
  for (int i = 0; i < NR; ++i) {
    carry[i] = _mm512_srli_epi64(acc.r[i], 52);
    acc.r[i] = _mm512_and_si512(acc.r[i], mask);
  }
  for (int i = 0; i < NR; ++i)
    acc.r[i] = _mm512_add_epi64(acc.r[i], _mm512_alignr_epi64(carry[i], i ? carry[i - 1] : _mm512_setzero_si512(), 7));
  u64 generate = 0, propagate = 0;
  for (int i = 0; i < NR; ++i) {
    generate |= static_cast<u64>(_mm512_cmpgt_epu64_mask(acc.r[i], mask)) << (8 * i);
    propagate |= static_cast<u64>(_mm512_cmpeq_epu64_mask(acc.r[i], mask)) << (8 * i);
  }
  const u64 incoming = ((generate << 1) + propagate) ^ propagate;
  const __m512i one = _mm512_set1_epi64(1);
  for (int i = 0; i < NR; ++i) {
    acc.r[i] = _mm512_mask_add_epi64(acc.r[i], static_cast<__mmask8>(incoming >> (8 * i)), acc.r[i], one);
    acc.r[i] = _mm512_and_si512(acc.r[i], mask);
  }
  return acc;
}

// out[k] = a[k] * b[k] / R mod m[k] (below 2m) for both chains; `scratch` holds 2 * 8 * NR
// words for b's digits.
template <int NR>
inline __attribute__((always_inline)) void Multiply2(Vec<NR> out[2], const Vec<NR> a[2], const Vec<NR> b[2],
                                                     const Chain<NR> c[2], size_t digits, u64* scratch) {
  u64* bd[2] = {scratch, scratch + 8 * NR};
  Store(bd[0], b[0]);
  Store(bd[1], b[1]);
  const u64 a0[2] = {Lane0(a[0].r[0]), Lane0(a[1].r[0])};
  Vec<NR> acc[2] = {Zero<NR>(), Zero<NR>()};
  u64 acc0[2] = {0, 0};
  for (size_t i = 0; i < digits; ++i) {
    Step(acc[0], acc0[0], a[0], a0[0], bd[0][i], c[0]);
    Step(acc[1], acc0[1], a[1], a0[1], bd[1][i], c[1]);
  }
  out[0] = Normalise(acc[0], acc0[0]);
  out[1] = Normalise(acc[1], acc0[1]);
}

// Entry `index` of a table of kEntries numbers, reading every entry.
template <int NR>
inline __attribute__((always_inline)) Vec<NR> Select(const u64* table, size_t index) {
  Vec<NR> out = Zero<NR>();
  const __m512i want = _mm512_set1_epi64(static_cast<long long>(index));
  for (size_t e = 0; e < kEntries; ++e) {
    const __mmask8 hit = _mm512_cmpeq_epi64_mask(_mm512_set1_epi64(static_cast<long long>(e)), want);
    for (int i = 0; i < NR; ++i)
      out.r[i] = _mm512_mask_mov_epi64(out.r[i], hit, _mm512_loadu_si512(table + (e * NR + i) * 8));
  }
  return out;
}

// Table entries of both chains: entry e of chain k at table + (k * kEntries + e) * 8 * NR.
template <int NR>
inline __attribute__((always_inline)) void Put(u64* table, size_t e, const Vec<NR> v[2]) {
  for (int k = 0; k < 2; ++k) Store(table + (k * kEntries + e) * 8 * NR, v[k]);
}

template <int NR>
inline __attribute__((always_inline)) void Get(const u64* table, size_t e, Vec<NR> v[2]) {
  for (int k = 0; k < 2; ++k) v[k] = Load<NR>(table + (k * kEntries + e) * 8 * NR);
}

template <int NR>
bool PowerPair(const Prepared* p[2], const PowJob jobs[2], size_t digits, int bits, u64* result[2]) {
  Scratch<u64> storage(2 * kEntries * 8 * NR + 8), scratch(2 * 8 * NR);
  if (!storage.ok() || !scratch.ok()) return false;
  // Entries on cache-line boundaries, so that each register load is one line.
  u64* table = storage.get() + (8 - reinterpret_cast<uintptr_t>(storage.get()) / sizeof(u64) % 8) % 8;
  Chain<NR> c[2];
  Vec<NR> one[2], x[2], y[2];
  for (int k = 0; k < 2; ++k) {
    c[k].m = Load<NR>(p[k]->modulus);
    c[k].m0 = p[k]->modulus[0];
    c[k].k0 = p[k]->k0;
    one[k] = Zero<NR>();
    one[k].r[0] = _mm512_mask_set1_epi64(one[k].r[0], 1, 1);
    x[k] = Load<NR>(p[k]->r2);
    y[k] = Load<NR>(p[k]->base);
  }
  u64* s = scratch.get();
  // Entry e is base^e in Montgomery form: entry 0 is R mod m, entry 1 base * R mod m.
  Vec<NR> t[2], base[2];
  Multiply2(t, x, one, c, digits, s);
  Put(table, 0, t);
  Multiply2(base, y, x, c, digits, s);
  Put(table, 1, base);
  for (size_t e = 2; e < kEntries; ++e) {
    Get(table, e - 1, x);
    Multiply2(t, x, base, c, digits, s);
    Put(table, e, t);
  }
  // Windows from the top of the longer exponent, the same sequence for both; a zero
  // exponent reads entry 0 (one) from its single window.
  const int windows = bits > 0 ? (bits + kWindow - 1) / kWindow : 1;
  Vec<NR> acc[2], sel[2];
  for (int w = windows - 1; w >= 0; --w) {
    size_t value[2] = {0, 0};
    for (int k = 0; k < 2; ++k)
      for (int b = kWindow - 1; b >= 0; --b)
        value[k] = (value[k] << 1) | ExponentBit(jobs[k].exponent, w * kWindow + b);
    if (w == windows - 1) {
      for (int k = 0; k < 2; ++k) acc[k] = Select<NR>(table + k * kEntries * 8 * NR, value[k]);
      continue;
    }
    for (int sq = 0; sq < kWindow; ++sq) Multiply2(acc, acc, acc, c, digits, s);
    for (int k = 0; k < 2; ++k) sel[k] = Select<NR>(table + k * kEntries * 8 * NR, value[k]);
    Multiply2(acc, acc, sel, c, digits, s);
  }
  Multiply2(t, acc, one, c, digits, s);  // out of Montgomery form: at most m
  for (int k = 0; k < 2; ++k) Store(result[k], t[k]);
  return true;
}

#if defined(__clang__)
#pragma clang attribute pop
#else
#pragma GCC pop_options
#endif
#endif

}  // namespace

bool CpuHasIfma() {
#if defined(__x86_64__)
  static const bool has = [] {
    unsigned a = 0, b = 0, c = 0, d = 0;
    if (!__get_cpuid(1, &a, &b, &c, &d) || (c & bit_OSXSAVE) == 0) return false;
    if (!__get_cpuid_count(7, 0, &a, &b, &c, &d)) return false;
    if ((b & bit_AVX512F) == 0 || (b & bit_AVX512IFMA) == 0) return false;
    // The system must keep the vector state: SSE, AVX, the mask registers and both
    // halves of the 512-bit registers.
    unsigned lo = 0, hi = 0;
    asm volatile("xgetbv" : "=a"(lo), "=d"(hi) : "c"(0));
    return (lo & 0xE6) == 0xE6;
  }();
  return has;
#else
  return false;
#endif
}

void AllowVectorPowers(bool allow) { g_vectorAllowed.store(allow, std::memory_order_relaxed); }

bool VectorPowersUsable() {
  return g_vectorAllowed.load(std::memory_order_relaxed) && !cvssh::crypto::PortableCryptoForced() && CpuHasIfma();
}

struct PairModuli {
  size_t digits = 0;
  Prepared prepared[2];
};

PairModuli* NewPairModuli(MpConstInt m0, MpConstInt m1) {
  const size_t digits = PairDigits(m0, m1);
  if (digits == 0) return nullptr;
  auto* moduli = new (std::nothrow) PairModuli;
  if (!moduli) return nullptr;
  moduli->digits = digits;
  if (!PrepareModulus(m0, digits, moduli->prepared[0]) || !PrepareModulus(m1, digits, moduli->prepared[1])) {
    FreePairModuli(moduli);
    return nullptr;
  }
  return moduli;
}

void FreePairModuli(PairModuli* moduli) {
  if (!moduli) return;
  Wipe(moduli, sizeof *moduli);
  delete moduli;
}

bool ModPowPair(PowJob jobs[2]) { return ModPowPair(jobs, nullptr); }

bool ModPowPair(PowJob jobs[2], const PairModuli* moduli) {
  if (!VectorPowersUsable()) return false;
  int bits = 0;
  for (int k = 0; k < 2; ++k) {
    const PowJob& j = jobs[k];
    if (!j.base || !j.exponent) return false;
    if (MpBitCount(j.exponent) > bits) bits = MpBitCount(j.exponent);
  }
  const size_t digits = moduli ? moduli->digits : PairDigits(jobs[0].modulus, jobs[1].modulus);
  if (digits == 0) return false;
  Scratch<Prepared> prepared(2);
  Scratch<u64> out(2 * kMaxDigits);
  if (!prepared.ok() || !out.ok()) return false;
  for (int k = 0; k < 2; ++k) {
    if (moduli) prepared[k] = moduli->prepared[k];
    else if (!PrepareModulus(jobs[k].modulus, digits, prepared[k])) return false;
    if (!PrepareBase(jobs[k].base, digits, prepared[k])) return false;
  }
  const Prepared* p[2] = {&prepared[0], &prepared[1]};
  u64* result[2] = {out.get(), out.get() + kMaxDigits};
  bool done = false;
#if defined(__x86_64__)
  // One kernel per register count, each fully unrolled.
  using Kernel = bool (*)(const Prepared* [2], const PowJob[2], size_t, int, u64* [2]);
  static constexpr Kernel kKernels[] = {PowerPair<1>, PowerPair<2>, PowerPair<3>,
                                        PowerPair<4>, PowerPair<5>, PowerPair<6>};
  done = kKernels[(digits + 7) / 8 - 1](p, jobs, digits, bits, result);
#endif
  if (!done) return false;
  for (int k = 0; k < 2; ++k) {
    jobs[k].result = Finish(result[k], digits, prepared[k], jobs[k].modulus);
    if (!jobs[k].result) {
      MpFree(jobs[0].result);
      jobs[0].result = nullptr;
      return false;
    }
  }
  return true;
}

}  // namespace sshmp
