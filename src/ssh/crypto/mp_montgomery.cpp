// Modular exponentiation for odd moduli: Montgomery multiplication on 64-bit words with
// a fixed window. The sequence of operations and memory accesses depends only on the
// modulus size and the exponent's bit length, never on the exponent's bits, so secret
// exponents (DH x, DSA k, RSA d) leak nothing through timing beyond their length.
#include <cstring>

#include "ssh/crypto/mp_internal.h"

namespace sshmp {
namespace {

using u64 = uint64_t;
using u128 = unsigned __int128;

class Montgomery {
 public:
  Montgomery(const u64* m, size_t k) : m_(m), k_(k), t_(k + 2) {
    // -m^-1 mod 2^64 by Newton's iteration (each step doubles the correct low bits).
    u64 inv = m[0];
    for (int i = 0; i < 6; ++i) inv *= 2 - m[0] * inv;
    n0_ = ~inv + 1;
  }
  bool ok() { return t_.ok(); }

  // out = a * b / 2^(64k) mod m, for a, b < m. out may alias a or b.
  void Mul(u64* out, const u64* a, const u64* b) {
    const size_t k = k_;
    u64* t = t_.get();
    std::memset(t, 0, (k + 2) * sizeof(u64));
    for (size_t i = 0; i < k; ++i) {
      u64 carry = 0;
      const u64 bi = b[i];
      for (size_t j = 0; j < k; ++j) {
        u128 s = static_cast<u128>(a[j]) * bi + t[j] + carry;
        t[j] = static_cast<u64>(s);
        carry = static_cast<u64>(s >> 64);
      }
      u128 s = static_cast<u128>(t[k]) + carry;
      t[k] = static_cast<u64>(s);
      t[k + 1] = static_cast<u64>(s >> 64);
      const u64 q = t[0] * n0_;
      s = static_cast<u128>(q) * m_[0] + t[0];
      carry = static_cast<u64>(s >> 64);
      for (size_t j = 1; j < k; ++j) {
        s = static_cast<u128>(q) * m_[j] + t[j] + carry;
        t[j - 1] = static_cast<u64>(s);
        carry = static_cast<u64>(s >> 64);
      }
      s = static_cast<u128>(t[k]) + carry;
      t[k - 1] = static_cast<u64>(s);
      t[k] = t[k + 1] + static_cast<u64>(s >> 64);
    }
    // t < 2m: subtract m and keep the difference unless it borrowed, without a branch.
    u64 borrow = 0;
    for (size_t j = 0; j < k; ++j) {
      u128 d = static_cast<u128>(t[j]) - m_[j] - borrow;
      out[j] = static_cast<u64>(d);
      borrow = static_cast<u64>(d >> 64) & 1;
    }
    u64 keep_t = 0 - static_cast<u64>(borrow > t[k]);  // all ones when t < m
    for (size_t j = 0; j < k; ++j) out[j] = (t[j] & keep_t) | (out[j] & ~keep_t);
  }

 private:
  const u64* m_;
  size_t k_;
  u64 n0_ = 0;
  Scratch<u64> t_;
};

void ToWords(const uint16_t* limbs, int n, u64* out, size_t k) {
  std::memset(out, 0, k * sizeof(u64));
  for (int i = 0; i < n; ++i) out[i / 4] |= static_cast<u64>(limbs[i]) << (16 * (i % 4));
}

// Copies entry `index` of the table into out, reading every entry.
void SelectEntry(u64* out, const u64* table, size_t entries, size_t k, size_t index) {
  std::memset(out, 0, k * sizeof(u64));
  for (size_t e = 0; e < entries; ++e) {
    const u64 diff = static_cast<u64>(e ^ index);
    const u64 mask = ((diff | (0 - diff)) >> 63) - 1;  // all ones only when e == index
    const u64* entry = table + e * k;
    for (size_t j = 0; j < k; ++j) out[j] |= entry[j] & mask;
  }
}

int ExponentBit(MpConstInt e, int bit) {
  if (bit / 16 >= e[0]) return 0;
  return (e[bit / 16 + 1] >> (bit % 16)) & 1;
}

}  // namespace

bool MontModPow(MpConstInt base, MpConstInt exponent, MpConstInt modulus, uint16_t* out) {
  const int n = Limbs(modulus);
  const size_t k = (static_cast<size_t>(n) + 3) / 4;
  const int bits = MpBitCount(exponent);
  const int window = bits > 256 ? 5 : bits > 32 ? 4 : 1;
  const size_t entries = size_t{1} << window;

  Scratch<uint16_t> red16(4 * k + 1), wide16(8 * k + 1);
  Scratch<u64> m(k), r2(k), acc(k), sel(k), one(k), table(entries * k);
  if (!red16.ok() || !wide16.ok() || !m.ok() || !r2.ok() || !acc.ok() || !sel.ok() ||
      !one.ok() || !table.ok())
    return false;
  ToWords(modulus + 1, n, m.get(), k);
  Montgomery mont(m.get(), k);
  if (!mont.ok()) return false;

  // R^2 mod m with R = 2^(64k), by long division of 2^(128k).
  wide16[8 * k] = 1;
  if (!DivMod(wide16.get(), static_cast<int>(8 * k + 1), modulus + 1, n, nullptr, red16.get()))
    return false;
  ToWords(red16.get(), n, r2.get(), k);
  // The base reduced modulo m.
  if (!DivMod(base + 1, base[0], modulus + 1, n, nullptr, red16.get())) return false;
  ToWords(red16.get(), n, acc.get(), k);

  one[0] = 1;
  u64* t = table.get();
  mont.Mul(t, r2.get(), one.get());  // 1 in Montgomery form
  if (entries > 1) mont.Mul(t + k, acc.get(), r2.get());
  for (size_t e = 2; e < entries; ++e) mont.Mul(t + e * k, t + (e - 1) * k, t + k);

  // Windows from the top of the exponent's bit length; every window costs the same
  // squarings and one multiplication, by the 1 entry when its bits are zero.
  const int windows = (bits + window - 1) / window;
  std::memcpy(acc.get(), t, k * sizeof(u64));
  for (int w = windows - 1; w >= 0; --w) {
    size_t value = 0;
    for (int b = window - 1; b >= 0; --b) value = (value << 1) | ExponentBit(exponent, w * window + b);
    for (int s = 0; s < window; ++s) mont.Mul(acc.get(), acc.get(), acc.get());
    SelectEntry(sel.get(), t, entries, k, value);
    mont.Mul(acc.get(), acc.get(), sel.get());
  }
  mont.Mul(acc.get(), acc.get(), one.get());  // out of Montgomery form

  const int limbs = modulus[0];
  for (int i = 0; i < limbs; ++i)
    out[i] = i < static_cast<int>(4 * k) ? static_cast<uint16_t>(acc[i / 4] >> (16 * (i % 4))) : 0;
  return true;
}

}  // namespace sshmp
