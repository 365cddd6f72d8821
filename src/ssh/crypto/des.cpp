// DES (FIPS 46) with every table derived at compile time from the standard's
// permutations and S-boxes.
#include <array>

#include "ssh/crypto/byte_order.h"
#include "ssh/crypto/des_core.h"

namespace cvssh::crypto {
namespace {

constexpr uint8_t kIP[64] = {58, 50, 42, 34, 26, 18, 10, 2, 60, 52, 44, 36, 28, 20, 12, 4,
                             62, 54, 46, 38, 30, 22, 14, 6, 64, 56, 48, 40, 32, 24, 16, 8,
                             57, 49, 41, 33, 25, 17, 9,  1, 59, 51, 43, 35, 27, 19, 11, 3,
                             61, 53, 45, 37, 29, 21, 13, 5, 63, 55, 47, 39, 31, 23, 15, 7};
constexpr uint8_t kP[32] = {16, 7, 20, 21, 29, 12, 28, 17, 1,  15, 23, 26, 5,  18, 31, 10,
                            2,  8, 24, 14, 32, 27, 3,  9,  19, 13, 30, 6,  22, 11, 4,  25};
constexpr uint8_t kPC1[56] = {57, 49, 41, 33, 25, 17, 9,  1,  58, 50, 42, 34, 26, 18, 10, 2,  59, 51, 43,
                              35, 27, 19, 11, 3,  60, 52, 44, 36, 63, 55, 47, 39, 31, 23, 15, 7,  62, 54,
                              46, 38, 30, 22, 14, 6,  61, 53, 45, 37, 29, 21, 13, 5,  28, 20, 12, 4};
constexpr uint8_t kPC2[48] = {14, 17, 11, 24, 1,  5,  3,  28, 15, 6,  21, 10, 23, 19, 12, 4,
                              26, 8,  16, 7,  27, 20, 13, 2,  41, 52, 31, 37, 47, 55, 30, 40,
                              51, 45, 33, 48, 44, 49, 39, 56, 34, 53, 46, 42, 50, 36, 29, 32};
constexpr uint8_t kShifts[16] = {1, 1, 2, 2, 2, 2, 2, 2, 1, 2, 2, 2, 2, 2, 2, 1};
constexpr uint8_t kS[8][64] = {
    {14, 4,  13, 1, 2,  15, 11, 8,  3,  10, 6,  12, 5,  9,  0, 7,  0, 15, 7,  4,  14, 2,
     13, 1,  10, 6, 12, 11, 9,  5,  3,  8,  4,  1,  14, 8,  13, 6, 2,  11, 15, 12, 9,  7,
     3,  10, 5,  0, 15, 12, 8,  2,  4,  9,  1,  7,  5,  11, 3,  14, 10, 0, 6,  13},
    {15, 1,  8,  14, 6,  11, 3,  4,  9,  7, 2,  13, 12, 0, 5,  10, 3,  13, 4, 7,  15, 2,
     8,  14, 12, 0,  1,  10, 6,  9,  11, 5, 0,  14, 7,  11, 10, 4, 13, 1,  5, 8,  12, 6,
     9,  3,  2,  15, 13, 8,  10, 1,  3,  15, 4,  2,  11, 6, 7,  12, 0,  5,  14, 9},
    {10, 0,  9,  14, 6,  3,  15, 5, 1,  13, 12, 7,  11, 4, 2,  8,  13, 7,  0,  9, 3,  4,
     6,  10, 2,  8,  5,  14, 12, 11, 15, 1,  13, 6,  4,  9, 8,  15, 3,  0,  11, 1, 2,  12,
     5,  10, 14, 7,  1,  10, 13, 0,  6,  9,  8,  7,  4,  15, 14, 3,  11, 5,  2,  12},
    {7,  13, 14, 3,  0,  6,  9,  10, 1,  2,  8, 5,  11, 12, 4,  15, 13, 8,  11, 5,  6, 15,
     0,  3,  4,  7,  2,  12, 1,  10, 14, 9,  10, 6, 9,  0,  12, 11, 7,  13, 15, 1, 3, 14,
     5,  2,  8,  4,  3,  15, 0,  6,  10, 1,  13, 8, 9,  4,  5,  11, 12, 7,  2,  14},
    {2,  12, 4,  1,  7,  10, 11, 6,  8,  5,  3,  15, 13, 0, 14, 9,  14, 11, 2,  12, 4, 7,
     13, 1,  5,  0,  15, 10, 3,  9,  8,  6,  4,  2,  1,  11, 10, 13, 7,  8,  15, 9, 12, 5,
     6,  3,  0,  14, 11, 8,  12, 7,  1,  14, 2,  13, 6,  15, 0,  9,  10, 4,  5,  3},
    {12, 1,  10, 15, 9,  2,  6,  8,  0, 13, 3,  4,  14, 7,  5,  11, 10, 15, 4,  2,  7,  12,
     9,  5,  6,  1,  13, 14, 0,  11, 3, 8,  9,  14, 15, 5,  2,  8,  12, 3,  7,  0,  4,  10,
     1,  13, 11, 6,  4,  3,  2,  12, 9, 5,  15, 10, 11, 14, 1,  7,  6,  0,  8,  13},
    {4,  11, 2,  14, 15, 0,  8,  13, 3,  12, 9, 7,  5,  10, 6, 1,  13, 0,  11, 7,  4,  9,
     1,  10, 14, 3,  5,  12, 2,  15, 8,  6,  1, 4,  11, 13, 12, 3, 7,  14, 10, 15, 6,  8,
     0,  5,  9,  2,  6,  11, 13, 8,  1,  4,  10, 7, 9,  5,  0,  15, 14, 2,  3,  12},
    {13, 2,  8,  4,  6,  15, 11, 1,  10, 9,  3,  14, 5,  0,  12, 7,  1,  15, 13, 8, 10, 3,
     7,  4,  12, 5,  6,  11, 0,  14, 9,  2,  7,  11, 4,  1,  9,  12, 14, 2,  0, 6,  10, 13,
     15, 3,  5,  8,  2,  1,  14, 7,  4,  10, 8,  13, 15, 12, 9,  0,  3,  5,  6, 11}};

// Output bit i (counted from the most significant, 1-based in the tables) takes input bit
// table[i] of an inBits-wide value.
constexpr uint64_t Permute(uint64_t in, int inBits, const uint8_t* table, int outBits) {
  uint64_t out = 0;
  for (int i = 0; i < outBits; ++i) out = (out << 1) | ((in >> (inBits - table[i])) & 1);
  return out;
}

constexpr std::array<uint8_t, 64> InverseOf(const uint8_t (&perm)[64]) {
  std::array<uint8_t, 64> inv{};
  for (int i = 0; i < 64; ++i) inv[perm[i] - 1] = uint8_t(i + 1);
  return inv;
}
constexpr std::array<uint8_t, 64> kFP = InverseOf(kIP);

// A 64-bit permutation as eight byte-indexed tables: the result is the OR of the
// permuted contributions of each input byte.
using ByteTables = std::array<std::array<uint64_t, 256>, 8>;
constexpr ByteTables MakeByteTables(const uint8_t* perm) {
  ByteTables t{};
  for (int b = 0; b < 8; ++b)
    for (int v = 0; v < 256; ++v) t[b][v] = Permute(uint64_t(v) << (56 - 8 * b), 64, perm, 64);
  return t;
}
constexpr ByteTables kIPTab = MakeByteTables(kIP);
constexpr ByteTables kFPTab = MakeByteTables(kFP.data());

// S-box followed by the P permutation, indexed by the 6 bits entering S-box i.
constexpr std::array<std::array<uint32_t, 64>, 8> MakeSP() {
  std::array<std::array<uint32_t, 64>, 8> sp{};
  for (int i = 0; i < 8; ++i) {
    for (int v = 0; v < 64; ++v) {
      const int row = ((v >> 4) & 2) | (v & 1);
      const int col = (v >> 1) & 15;
      const uint64_t s = uint64_t(kS[i][row * 16 + col]) << (28 - 4 * i);
      sp[i][v] = uint32_t(Permute(s, 32, kP, 32));
    }
  }
  return sp;
}
constexpr auto kSP = MakeSP();

uint64_t ApplyByteTables(const ByteTables& t, uint64_t x) {
  uint64_t out = 0;
  for (int b = 0; b < 8; ++b) out |= t[b][(x >> (56 - 8 * b)) & 0xFF];
  return out;
}

uint32_t F(uint32_t r, uint64_t sub) {
  uint32_t out = 0;
  for (int i = 0; i < 8; ++i) {
    const uint32_t e = Rotl32(r, (4 * i + 31) & 31) >> 26;  // expansion: bits 4i-1 .. 4i+4
    out ^= kSP[i][(e ^ uint32_t(sub >> (42 - 6 * i))) & 63];
  }
  return out;
}

template <bool Decrypt>
void Crypt(const DesKey& k, uint32_t& l, uint32_t& r) {
  const uint64_t x = ApplyByteTables(kIPTab, (uint64_t(l) << 32) | r);
  uint32_t a = uint32_t(x >> 32), b = uint32_t(x);
  for (int i = 0; i < 16; ++i) {
    const uint32_t t = b;
    b = a ^ F(b, k.sub[Decrypt ? 15 - i : i]);
    a = t;
  }
  const uint64_t y = ApplyByteTables(kFPTab, (uint64_t(b) << 32) | a);
  l = uint32_t(y >> 32);
  r = uint32_t(y);
}

}  // namespace

void DesSetKey(DesKey* k, const uint8_t key[8]) {
  const uint64_t cd = Permute(LoadBe64(key), 64, kPC1, 56);
  uint32_t c = uint32_t(cd >> 28) & 0xFFFFFFF, d = uint32_t(cd) & 0xFFFFFFF;
  for (int i = 0; i < 16; ++i) {
    const int s = kShifts[i];
    c = ((c << s) | (c >> (28 - s))) & 0xFFFFFFF;
    d = ((d << s) | (d >> (28 - s))) & 0xFFFFFFF;
    k->sub[i] = Permute((uint64_t(c) << 28) | d, 56, kPC2, 48);
  }
}

void DesEncrypt(const DesKey& k, uint32_t& l, uint32_t& r) { Crypt<false>(k, l, r); }
void DesDecrypt(const DesKey& k, uint32_t& l, uint32_t& r) { Crypt<true>(k, l, r); }

}  // namespace cvssh::crypto
