// Portable AES with lookup tables computed at compile time from the field arithmetic.
#include <array>
#include <cstring>

#include "ssh/crypto/aes_core.h"
#include "ssh/crypto/byte_order.h"
#include "ssh/crypto/cpu_features.h"

namespace cvssh::crypto {
namespace {

constexpr uint8_t XTime(uint8_t x) { return uint8_t((x << 1) ^ ((x & 0x80) ? 0x1B : 0)); }

constexpr uint8_t GMul(uint8_t a, uint8_t b) {
  uint8_t p = 0;
  for (; b != 0; b >>= 1, a = XTime(a))
    if (b & 1) p ^= a;
  return p;
}

constexpr uint8_t GInverse(uint8_t x) {  // x^254; 0 maps to 0
  uint8_t result = 1, base = x;
  for (int e = 254; e != 0; e >>= 1, base = GMul(base, base))
    if (e & 1) result = GMul(result, base);
  return x ? result : 0;
}

constexpr uint8_t Rotl8(uint8_t x, int n) { return uint8_t((x << n) | (x >> (8 - n))); }

constexpr std::array<uint8_t, 256> MakeSbox() {
  std::array<uint8_t, 256> s{};
  for (int x = 0; x < 256; ++x) {
    const uint8_t b = GInverse(uint8_t(x));
    s[x] = uint8_t(b ^ Rotl8(b, 1) ^ Rotl8(b, 2) ^ Rotl8(b, 3) ^ Rotl8(b, 4) ^ 0x63);
  }
  return s;
}
constexpr auto kSbox = MakeSbox();

constexpr std::array<uint8_t, 256> MakeInvSbox() {
  std::array<uint8_t, 256> inv{};
  for (int x = 0; x < 256; ++x) inv[kSbox[x]] = uint8_t(x);
  return inv;
}
constexpr auto kInvSbox = MakeInvSbox();

using Table = std::array<uint32_t, 256>;
constexpr uint32_t Word(uint8_t a, uint8_t b, uint8_t c, uint8_t d) {
  return uint32_t(a) << 24 | uint32_t(b) << 16 | uint32_t(c) << 8 | d;
}
constexpr Table MakeTe(int rot) {
  Table t{};
  for (int x = 0; x < 256; ++x) {
    const uint8_t s = kSbox[x];
    t[x] = Rotr32(Word(GMul(s, 2), s, s, GMul(s, 3)), 8 * rot);
  }
  return t;
}
constexpr Table MakeTd(int rot) {
  Table t{};
  for (int x = 0; x < 256; ++x) {
    const uint8_t s = kInvSbox[x];
    t[x] = Rotr32(Word(GMul(s, 14), GMul(s, 9), GMul(s, 13), GMul(s, 11)), 8 * rot);
  }
  return t;
}
constexpr Table kTe0 = MakeTe(0), kTe1 = MakeTe(1), kTe2 = MakeTe(2), kTe3 = MakeTe(3);
constexpr Table kTd0 = MakeTd(0), kTd1 = MakeTd(1), kTd2 = MakeTd(2), kTd3 = MakeTd(3);

inline uint32_t B0(uint32_t x) { return x >> 24; }
inline uint32_t B1(uint32_t x) { return (x >> 16) & 0xFF; }
inline uint32_t B2(uint32_t x) { return (x >> 8) & 0xFF; }
inline uint32_t B3(uint32_t x) { return x & 0xFF; }

uint32_t SubWord(uint32_t w) {
  return Word(kSbox[B0(w)], kSbox[B1(w)], kSbox[B2(w)], kSbox[B3(w)]);
}

void EncryptBlock(const AesKey& k, uint32_t s[4]) {
  const uint32_t* rk = k.ek;
  uint32_t s0 = s[0] ^ rk[0], s1 = s[1] ^ rk[1], s2 = s[2] ^ rk[2], s3 = s[3] ^ rk[3];
  for (int r = 1; r < k.rounds; ++r) {
    rk += 4;
    const uint32_t t0 = kTe0[B0(s0)] ^ kTe1[B1(s1)] ^ kTe2[B2(s2)] ^ kTe3[B3(s3)] ^ rk[0];
    const uint32_t t1 = kTe0[B0(s1)] ^ kTe1[B1(s2)] ^ kTe2[B2(s3)] ^ kTe3[B3(s0)] ^ rk[1];
    const uint32_t t2 = kTe0[B0(s2)] ^ kTe1[B1(s3)] ^ kTe2[B2(s0)] ^ kTe3[B3(s1)] ^ rk[2];
    const uint32_t t3 = kTe0[B0(s3)] ^ kTe1[B1(s0)] ^ kTe2[B2(s1)] ^ kTe3[B3(s2)] ^ rk[3];
    s0 = t0; s1 = t1; s2 = t2; s3 = t3;
  }
  rk += 4;
  s[0] = Word(kSbox[B0(s0)], kSbox[B1(s1)], kSbox[B2(s2)], kSbox[B3(s3)]) ^ rk[0];
  s[1] = Word(kSbox[B0(s1)], kSbox[B1(s2)], kSbox[B2(s3)], kSbox[B3(s0)]) ^ rk[1];
  s[2] = Word(kSbox[B0(s2)], kSbox[B1(s3)], kSbox[B2(s0)], kSbox[B3(s1)]) ^ rk[2];
  s[3] = Word(kSbox[B0(s3)], kSbox[B1(s0)], kSbox[B2(s1)], kSbox[B3(s2)]) ^ rk[3];
}

void DecryptBlock(const AesKey& k, uint32_t s[4]) {
  const uint32_t* rk = k.dk;
  uint32_t s0 = s[0] ^ rk[0], s1 = s[1] ^ rk[1], s2 = s[2] ^ rk[2], s3 = s[3] ^ rk[3];
  for (int r = 1; r < k.rounds; ++r) {
    rk += 4;
    const uint32_t t0 = kTd0[B0(s0)] ^ kTd1[B1(s3)] ^ kTd2[B2(s2)] ^ kTd3[B3(s1)] ^ rk[0];
    const uint32_t t1 = kTd0[B0(s1)] ^ kTd1[B1(s0)] ^ kTd2[B2(s3)] ^ kTd3[B3(s2)] ^ rk[1];
    const uint32_t t2 = kTd0[B0(s2)] ^ kTd1[B1(s1)] ^ kTd2[B2(s0)] ^ kTd3[B3(s3)] ^ rk[2];
    const uint32_t t3 = kTd0[B0(s3)] ^ kTd1[B1(s2)] ^ kTd2[B2(s1)] ^ kTd3[B3(s0)] ^ rk[3];
    s0 = t0; s1 = t1; s2 = t2; s3 = t3;
  }
  rk += 4;
  s[0] = Word(kInvSbox[B0(s0)], kInvSbox[B1(s3)], kInvSbox[B2(s2)], kInvSbox[B3(s1)]) ^ rk[0];
  s[1] = Word(kInvSbox[B0(s1)], kInvSbox[B1(s0)], kInvSbox[B2(s3)], kInvSbox[B3(s2)]) ^ rk[1];
  s[2] = Word(kInvSbox[B0(s2)], kInvSbox[B1(s1)], kInvSbox[B2(s0)], kInvSbox[B3(s3)]) ^ rk[2];
  s[3] = Word(kInvSbox[B0(s3)], kInvSbox[B1(s2)], kInvSbox[B2(s1)], kInvSbox[B3(s0)]) ^ rk[3];
}

void Load(uint32_t s[4], const uint8_t* p) {
  for (int i = 0; i < 4; ++i) s[i] = LoadBe32(p + 4 * i);
}
void Store(uint8_t* p, const uint32_t s[4]) {
  for (int i = 0; i < 4; ++i) StoreBe32(p + 4 * i, s[i]);
}

}  // namespace

void AesSetKey(AesKey* k, const uint8_t* key, size_t keyLen) {
  const int nk = int(keyLen / 4);
  k->rounds = nk + 6;
  const int total = 4 * (k->rounds + 1);
  uint32_t* w = k->ek;
  for (int i = 0; i < nk; ++i) w[i] = LoadBe32(key + 4 * i);
  uint8_t rcon = 1;
  for (int i = nk; i < total; ++i) {
    uint32_t t = w[i - 1];
    if (i % nk == 0) {
      t = SubWord(Rotl32(t, 8)) ^ (uint32_t(rcon) << 24);
      rcon = XTime(rcon);
    } else if (nk > 6 && i % nk == 4) {
      t = SubWord(t);
    }
    w[i] = w[i - nk] ^ t;
  }
  // Decryption keys: round keys in reverse order, InvMixColumns on the inner ones.
  for (int r = 0; r <= k->rounds; ++r) {
    for (int j = 0; j < 4; ++j) {
      const uint32_t x = w[4 * (k->rounds - r) + j];
      k->dk[4 * r + j] = (r == 0 || r == k->rounds)
                             ? x
                             : kTd0[kSbox[B0(x)]] ^ kTd1[kSbox[B1(x)]] ^ kTd2[kSbox[B2(x)]] ^ kTd3[kSbox[B3(x)]];
    }
  }
  k->ni = UseAesNi();
  if (k->ni) AesNiPrepare(k);
}

void AesCbcEncrypt(const AesKey& k, uint32_t iv[4], uint8_t* buf, size_t nblocks) {
  if (k.ni) return AesNiCbcEncrypt(k, iv, buf, nblocks);
  for (; nblocks != 0; --nblocks, buf += 16) {
    uint32_t s[4];
    Load(s, buf);
    for (int i = 0; i < 4; ++i) s[i] ^= iv[i];
    EncryptBlock(k, s);
    Store(buf, s);
    std::memcpy(iv, s, 16);
  }
}

void AesCbcDecrypt(const AesKey& k, uint32_t iv[4], uint8_t* buf, size_t nblocks) {
  if (k.ni) return AesNiCbcDecrypt(k, iv, buf, nblocks);
  for (; nblocks != 0; --nblocks, buf += 16) {
    uint32_t c[4], s[4];
    Load(c, buf);
    std::memcpy(s, c, 16);
    DecryptBlock(k, s);
    for (int i = 0; i < 4; ++i) s[i] ^= iv[i];
    Store(buf, s);
    std::memcpy(iv, c, 16);
  }
}

void AesCtr(const AesKey& k, uint32_t ctr[4], uint8_t* buf, size_t nblocks) {
  if (k.ni) return AesNiCtr(k, ctr, buf, nblocks);
  for (; nblocks != 0; --nblocks, buf += 16) {
    uint32_t s[4] = {ctr[0], ctr[1], ctr[2], ctr[3]};
    EncryptBlock(k, s);
    for (int i = 0; i < 4; ++i) StoreBe32(buf + 4 * i, LoadBe32(buf + 4 * i) ^ s[i]);
    for (int i = 3; i >= 0 && ++ctr[i] == 0; --i) {
    }
  }
}

}  // namespace cvssh::crypto
