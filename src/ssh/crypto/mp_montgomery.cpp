// Modular exponentiation for odd moduli in Montgomery form on 64-bit words.
//
// Exponents longer than 64 bits (DH x, DSA k, RSA d: the secret ones) run a fixed
// window whose sequence of operations and memory accesses depends only on the modulus
// size and the exponent's bit length, never on its bits, with constant-time table reads.
// Exponents of at most 64 bits are public in the SSH layer (RSA e; no secret exponent
// is that short) and take plain square-and-multiply, which for e = 65537 is 16 squarings
// and one multiplication.
#include <cstring>
#if defined(__x86_64__)
#include <cpuid.h>
#endif

#include "ssh/crypto/cpu_features.h"
#include "ssh/crypto/mp_internal.h"
#include "ssh/crypto/mp_mont_kernel.h"

namespace sshmp {
namespace {

constexpr int kPublicExponentBits = 64;

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

// Wider windows save multiplications but every table read scans the whole table; 5 bits
// measured fastest from 2048- to 4096-bit exponents.
int WindowBits(int exponent_bits) { return exponent_bits > 256 ? 5 : 4; }

// Everything an exponentiation needs besides the kernel: the modulus, R^2 mod m and the
// base below m, all in 64-bit words.
struct Operands {
  size_t k;
  Scratch<u64> m, r2, base;
  explicit Operands(size_t words) : k(words), m(words), r2(words), base(words) {}
  bool ok() { return m.ok() && r2.ok() && base.ok(); }
};

// R^2 mod m: the remainder of 2^(128k), on 64-bit words.
bool SquaredRadix(const u64* m, size_t k, u64* r2) {
  Scratch<u64> r2_dividend(2 * k + 1);
  if (!r2_dividend.ok()) return false;
  r2_dividend[2 * k] = 1;
  return RemainderWords(r2_dividend.get(), 2 * k + 1, m, k, r2);
}

bool Prepare(MpConstInt base, MpConstInt modulus, MpConstInt r2, Operands& ops) {
  const int n = Limbs(modulus);
  const size_t k = ops.k;
  LimbsToWords(modulus + 1, n, ops.m.get(), k);
  if (r2) LimbsToWords(r2 + 1, r2[0], ops.r2.get(), k);
  else if (!SquaredRadix(ops.m.get(), k, ops.r2.get())) return false;
  // The base reduced modulo m (it is mostly below m already, which costs a copy).
  Scratch<u64> wide((static_cast<size_t>(base[0]) + 3) / 4 + 1);
  if (!wide.ok()) return false;
  LimbsToWords(base + 1, base[0], wide.get(), wide.size());
  return RemainderWords(wide.get(), wide.size(), ops.m.get(), k, ops.base.get());
}

template <class Row>
bool Exponentiate(Operands& ops, MpConstInt exponent, u64* result) {
  const size_t k = ops.k;
  const int bits = MpBitCount(exponent);
  const bool public_exponent = bits <= kPublicExponentBits;
  const int window = public_exponent ? 1 : WindowBits(bits);
  const size_t entries = public_exponent ? 2 : size_t{1} << window;

  Scratch<u64> t(2 * k), acc(k), sel(k), one(k), table(entries * k);
  if (!t.ok() || !acc.ok() || !sel.ok() || !one.ok() || !table.ok()) return false;
  MontKernel<Row> mont(ops.m.get(), k, t.get());

  // Entry e is base^e in Montgomery form; entry 0 is 1 (R mod m).
  one[0] = 1;
  u64* tab = table.get();
  mont.Mul(tab, ops.r2.get(), one.get());
  mont.Mul(tab + k, ops.base.get(), ops.r2.get());
  for (size_t e = 2; e < entries; ++e) {
    if (e % 2 == 0)
      mont.Sqr(tab + e * k, tab + (e / 2) * k);
    else
      mont.Mul(tab + e * k, tab + (e - 1) * k, tab + k);
  }

  if (public_exponent) {
    std::memcpy(acc.get(), bits > 0 ? tab + k : tab, k * sizeof(u64));
    for (int bit = bits - 2; bit >= 0; --bit) {
      mont.Sqr(acc.get(), acc.get());
      if (ExponentBit(exponent, bit)) mont.Mul(acc.get(), acc.get(), tab + k);
    }
  } else {
    // Windows from the top of the exponent's bit length; every window costs the same
    // squarings and one multiplication, by the 1 entry when its bits are zero. The top
    // window is a table read alone.
    const int windows = (bits + window - 1) / window;
    for (int w = windows - 1; w >= 0; --w) {
      size_t value = 0;
      for (int b = window - 1; b >= 0; --b) value = (value << 1) | ExponentBit(exponent, w * window + b);
      if (w == windows - 1) {
        SelectEntry(acc.get(), tab, entries, k, value);
        continue;
      }
      for (int s = 0; s < window; ++s) mont.Sqr(acc.get(), acc.get());
      SelectEntry(sel.get(), tab, entries, k, value);
      mont.Mul(acc.get(), acc.get(), sel.get());
    }
  }
  mont.Mul(result, acc.get(), one.get());  // out of Montgomery form
  return true;
}

template <class Row>
void MontMul(const u64* m, size_t k, const u64* a, const u64* b, u64* out, u64* t) {
  MontKernel<Row>(m, k, t).Mul(out, a, b);
}

#if defined(__x86_64__)
__attribute__((target("bmi2,adx"))) bool ExponentiateAdx(Operands& ops, MpConstInt exponent, u64* result) {
  return Exponentiate<AdxRow>(ops, exponent, result);
}
__attribute__((target("bmi2,adx"))) void MontMulAdx(const u64* m, size_t k, const u64* a, const u64* b, u64* out,
                                                    u64* t) {
  MontMul<AdxRow>(m, k, a, b, out, t);
}
#endif

bool ScalarRowsFast() {
#if defined(__x86_64__)
  return !cvssh::crypto::PortableCryptoForced() && CpuHasMulxAdx();
#else
  return false;
#endif
}

}  // namespace

bool RemainderWords(const u64* u, size_t un, const u64* v, size_t size, u64* r) {
  size_t n = size;
  while (n > 0 && v[n - 1] == 0) --n;
  if (n == 0) return false;
  std::memset(r, 0, size * sizeof(u64));
  if (un < n) {
    std::memcpy(r, u, un * sizeof(u64));
    return true;
  }
  // Knuth's algorithm D: normalise so that the divisor's top bit is set; the quotient
  // estimate from the top two words is then at most two too large.
  const int s = __builtin_clzll(v[n - 1]);
  Scratch<u64> vn(n), w(un + 1);
  if (!vn.ok() || !w.ok()) return false;
  for (size_t i = n - 1; i > 0; --i) vn[i] = (v[i] << s) | (s ? v[i - 1] >> (64 - s) : 0);
  vn[0] = v[0] << s;
  w[un] = s ? u[un - 1] >> (64 - s) : 0;
  for (size_t i = un - 1; i > 0; --i) w[i] = (u[i] << s) | (s ? u[i - 1] >> (64 - s) : 0);
  w[0] = u[0] << s;

  const u64 top = vn[n - 1], second = n > 1 ? vn[n - 2] : 0;
  for (size_t j = un - n + 1; j-- > 0;) {
    const u128 num = (static_cast<u128>(w[j + n]) << 64) | w[j + n - 1];
    u128 qhat = num / top, rhat = num % top;
    const u64 next = n > 1 ? w[j + n - 2] : 0;
    while ((qhat >> 64) != 0 || ((rhat >> 64) == 0 && qhat * second > ((rhat << 64) | next))) {
      --qhat;
      rhat += top;
    }
    const u64 q = static_cast<u64>(qhat);
    u64 carry = 0, borrow = 0;
    for (size_t i = 0; i < n; ++i) {
      const u128 p = static_cast<u128>(q) * vn[i] + carry;
      carry = static_cast<u64>(p >> 64);
      const u128 d = static_cast<u128>(w[i + j]) - static_cast<u64>(p) - borrow;
      w[i + j] = static_cast<u64>(d);
      borrow = static_cast<u64>(d >> 64) & 1;
    }
    const u128 d = static_cast<u128>(w[j + n]) - carry - borrow;
    w[j + n] = static_cast<u64>(d);
    if ((d >> 64) != 0) {  // estimate one too large: add the divisor back
      u64 c = 0;
      for (size_t i = 0; i < n; ++i) {
        const u128 sum = static_cast<u128>(w[i + j]) + vn[i] + c;
        w[i + j] = static_cast<u64>(sum);
        c = static_cast<u64>(sum >> 64);
      }
      w[j + n] += c;
    }
  }
  for (size_t i = 0; i < n; ++i) r[i] = (w[i] >> s) | (s ? w[i + 1] << (64 - s) : 0);
  return true;
}

bool CpuHasMulxAdx() {
#if defined(__x86_64__)
  static const bool has = [] {
    unsigned a = 0, b = 0, c = 0, d = 0;
    if (!__get_cpuid_count(7, 0, &a, &b, &c, &d)) return false;
    return (b & bit_BMI2) != 0 && (b & bit_ADX) != 0;
  }();
  return has;
#else
  return false;
#endif
}

bool MontModPow(MpConstInt base, MpConstInt exponent, MpConstInt modulus, uint16_t* out, MpConstInt r2) {
  const int n = Limbs(modulus);
  Operands ops((static_cast<size_t>(n) + 3) / 4);
  Scratch<u64> result(ops.k);
  if (!ops.ok() || !result.ok() || !Prepare(base, modulus, r2, ops)) return false;
  bool done;
#if defined(__x86_64__)
  if (ScalarRowsFast()) done = ExponentiateAdx(ops, exponent, result.get());
  else
#endif
    done = Exponentiate<PortableRow>(ops, exponent, result.get());
  if (!done) return false;
  WordsToLimbs(result.get(), ops.k, out, modulus[0]);
  return true;
}

MontModulus::~MontModulus() {
  MpFree(modulus_);
  MpFree(r2_);
}

bool MontModulus::Init(MpConstInt modulus) {
  const int n = modulus ? Limbs(modulus) : 0;
  if (n == 0 || (modulus[1] & 1) == 0) return false;
  const size_t k = (static_cast<size_t>(n) + 3) / 4;
  Scratch<u64> m(k), r2(k);
  MpInt copy = MpCopy(modulus), square = Alloc(static_cast<int>(4 * k));
  if (!m.ok() || !r2.ok() || !copy || !square) {
    MpFree(copy);
    MpFree(square);
    return false;
  }
  Trim(copy);
  LimbsToWords(modulus + 1, n, m.get(), k);
  if (!SquaredRadix(m.get(), k, r2.get())) {
    MpFree(copy);
    MpFree(square);
    return false;
  }
  WordsToLimbs(r2.get(), k, square + 1, square[0]);
  MpFree(modulus_);
  MpFree(r2_);
  modulus_ = copy;
  r2_ = square;
  return true;
}

MpInt MontModulus::MulMont(MpConstInt a, MpConstInt b) const {
  if (!a || !b || !ready()) return nullptr;
  const int n = modulus_[0];
  const size_t k = (static_cast<size_t>(n) + 3) / 4;
  Scratch<u64> words(6 * k);  // m, a, b, the product and its 2k words of scratch
  MpInt r = Alloc(n);
  if (!words.ok() || !r) {
    MpFree(r);
    return nullptr;
  }
  u64 *m = words.get(), *x = m + k, *y = x + k, *out = y + k, *t = out + k;
  LimbsToWords(modulus_ + 1, n, m, k);
  LimbsToWords(a + 1, a[0], x, k);
  LimbsToWords(b + 1, b[0], y, k);
#if defined(__x86_64__)
  if (ScalarRowsFast()) MontMulAdx(m, k, x, y, out, t);
  else
#endif
    MontMul<PortableRow>(m, k, x, y, out, t);
  WordsToLimbs(out, k, r + 1, n);
  Trim(r);
  return r;
}

MpInt MontModulus::Pow(MpConstInt base, MpConstInt exponent) const {
  if (!base || !exponent || !ready()) return nullptr;
  MpInt r = Alloc(modulus_[0]);
  if (!r) return nullptr;
  if (!MontModPow(base, exponent, modulus_, r + 1, r2_)) {
    MpFree(r);
    return nullptr;
  }
  Trim(r);
  return r;
}

}  // namespace sshmp
