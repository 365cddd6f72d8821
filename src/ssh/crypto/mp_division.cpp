// Long division on 16-bit digits and the modular operations built on it.
#include <cstring>

#include "ssh/crypto/mp_internal.h"
#include "ssh/crypto/mpint.h"

namespace sshmp {

bool DivMod(const uint16_t* u, int m, const uint16_t* v, int n, uint16_t* q, uint16_t* r) {
  if (m < n) {
    for (int i = 0; i < n; ++i) r[i] = i < m ? u[i] : 0;
    if (q) q[0] = 0;
    return true;
  }
  const int s = __builtin_clz(static_cast<unsigned>(v[n - 1])) - 16;
  Scratch<uint16_t> vn(static_cast<size_t>(n)), un(static_cast<size_t>(m) + 1);
  if (!vn.ok() || !un.ok()) return false;
  // Normalise so that the divisor's top bit is set; the quotient estimate is then off
  // by at most two.
  for (int i = n - 1; i > 0; --i)
    vn[i] = static_cast<uint16_t>((v[i] << s) | (s ? v[i - 1] >> (16 - s) : 0));
  vn[0] = static_cast<uint16_t>(v[0] << s);
  un[m] = static_cast<uint16_t>(s ? u[m - 1] >> (16 - s) : 0);
  for (int i = m - 1; i > 0; --i)
    un[i] = static_cast<uint16_t>((u[i] << s) | (s ? u[i - 1] >> (16 - s) : 0));
  un[0] = static_cast<uint16_t>(u[0] << s);

  const uint64_t top = vn[n - 1];
  const uint64_t second = n > 1 ? vn[n - 2] : 0;
  for (int j = m - n; j >= 0; --j) {
    uint64_t num = (static_cast<uint64_t>(un[j + n]) << 16) | un[j + n - 1];
    uint64_t qhat = num / top, rhat = num % top;
    uint64_t next = n > 1 ? un[j + n - 2] : 0;
    while (qhat >= 0x10000 || qhat * second > ((rhat << 16) | next)) {
      --qhat;
      rhat += top;
      if (rhat >= 0x10000) break;
    }
    int64_t borrow = 0;
    uint64_t carry = 0;
    for (int i = 0; i < n; ++i) {
      uint64_t p = qhat * vn[i] + carry;
      carry = p >> 16;
      int64_t t = static_cast<int64_t>(un[i + j]) - static_cast<int64_t>(p & 0xFFFF) - borrow;
      un[i + j] = static_cast<uint16_t>(t);
      borrow = t < 0 ? 1 : 0;
    }
    int64_t t = static_cast<int64_t>(un[j + n]) - static_cast<int64_t>(carry) - borrow;
    un[j + n] = static_cast<uint16_t>(t);
    if (t < 0) {  // estimate one too large: add the divisor back
      --qhat;
      uint32_t c = 0;
      for (int i = 0; i < n; ++i) {
        uint32_t sum = static_cast<uint32_t>(un[i + j]) + vn[i] + c;
        un[i + j] = static_cast<uint16_t>(sum);
        c = sum >> 16;
      }
      un[j + n] = static_cast<uint16_t>(un[j + n] + c);
    }
    if (q) q[j] = static_cast<uint16_t>(qhat);
  }
  for (int i = 0; i < n; ++i)
    r[i] = static_cast<uint16_t>((un[i] >> s) | (s ? un[i + 1] << (16 - s) : 0));
  return true;
}

void LimbsToWords(const uint16_t* limbs, int n, uint64_t* out, size_t k) {
  std::memset(out, 0, k * sizeof(uint64_t));
  for (int i = 0; i < n && static_cast<size_t>(i) / 4 < k; ++i)
    out[i / 4] |= static_cast<uint64_t>(limbs[i]) << (16 * (i % 4));
}

void WordsToLimbs(const uint64_t* words, size_t k, uint16_t* out, int n) {
  for (int i = 0; i < n; ++i) {
    const size_t w = static_cast<size_t>(i) / 4;
    out[i] = w < k ? static_cast<uint16_t>(words[w] >> (16 * (i % 4))) : 0;
  }
}

namespace {

bool IsZeroModulus(MpConstInt m) { return !m || Limbs(m) == 0; }

// Quotient and remainder as new numbers (both trimmed).
bool DivModNumbers(MpConstInt a, MpConstInt b, MpInt* q, MpInt* r) {
  int n = Limbs(b);
  int m = a[0];
  MpHolder qq(Alloc(m >= n ? m - n + 1 : 1)), rr(Alloc(n));
  if (!qq.p || !rr.p || !DivMod(a + 1, m, b + 1, n, qq.p + 1, rr.p + 1)) return false;
  Trim(qq.p);
  Trim(rr.p);
  *q = qq.release();
  *r = rr.release();
  return true;
}

// m - a for a <= m.
MpInt Subtract(MpConstInt m, MpConstInt a) {
  MpInt r = MpCopy(m);
  if (!r) return nullptr;
  int32_t borrow = 0;
  for (int i = 1; i <= r[0]; ++i) {
    int32_t t = static_cast<int32_t>(r[i]) - (i <= a[0] ? a[i] : 0) - borrow;
    r[i] = static_cast<uint16_t>(t);
    borrow = t < 0 ? 1 : 0;
  }
  Trim(r);
  return r;
}

// Plain left-to-right binary exponentiation for even moduli (never secret exponents in
// the SSH layer: every private modulus is odd).
bool PlainModPow(MpConstInt base, MpConstInt exponent, MpConstInt modulus, uint16_t* out) {
  const int n = Limbs(modulus);
  Scratch<uint16_t> b(n), acc(n), prod(2 * static_cast<size_t>(n));
  if (!b.ok() || !acc.ok() || !prod.ok()) return false;
  if (!DivMod(base + 1, base[0], modulus + 1, n, nullptr, b.get())) return false;
  // Start from 1 mod m (0 when m is 1).
  uint16_t one = 1;
  if (!DivMod(&one, 1, modulus + 1, n, nullptr, acc.get())) return false;
  auto mulmod = [&](const uint16_t* x, const uint16_t* y) {
    std::memset(prod.get(), 0, prod.size() * sizeof(uint16_t));
    for (int i = 0; i < n; ++i) {
      uint32_t carry = 0;
      for (int j = 0; j < n; ++j) {
        uint32_t t = static_cast<uint32_t>(x[i]) * y[j] + prod[i + j] + carry;
        prod[i + j] = static_cast<uint16_t>(t);
        carry = t >> 16;
      }
      prod[i + n] = static_cast<uint16_t>(carry);
    }
    return DivMod(prod.get(), 2 * n, modulus + 1, n, nullptr, acc.get());
  };
  for (int bit = MpBitCount(exponent) - 1; bit >= 0; --bit) {
    if (!mulmod(acc.get(), acc.get())) return false;
    if ((exponent[bit / 16 + 1] >> (bit % 16)) & 1) {
      if (!mulmod(acc.get(), b.get())) return false;
    }
  }
  std::memcpy(out, acc.get(), static_cast<size_t>(n) * sizeof(uint16_t));
  return true;
}

}  // namespace
}  // namespace sshmp

using namespace sshmp;

namespace {

// A number's limbs as 64-bit words, at least one word (zero for no limbs).
struct Words {
  Scratch<uint64_t> w;
  explicit Words(MpConstInt a, int limbs) : w((static_cast<size_t>(limbs) + 3) / 4 + 1) {
    if (w.ok()) LimbsToWords(a + 1, limbs, w.get(), w.size());
  }
};

// The remainder of the words u modulo `modulus`, into `limbs` limbs of out.
bool RemainderInto(const uint64_t* u, size_t un, MpConstInt modulus, uint16_t* out, int limbs) {
  const int n = Limbs(modulus);
  Words m(modulus, n);
  Scratch<uint64_t> rem(m.w.size());
  if (!m.w.ok() || !rem.ok() || !RemainderWords(u, un, m.w.get(), m.w.size(), rem.get())) return false;
  WordsToLimbs(rem.get(), rem.size(), out, limbs < n ? limbs : n);
  return true;
}

}  // namespace

// Both work on 64-bit words: a sixteenth of the digit products of 16-bit limbs.
MpInt MpMod(MpConstInt a, MpConstInt modulus) {
  if (!a || IsZeroModulus(modulus)) return nullptr;
  Words u(a, a[0]);
  MpHolder r(Alloc(modulus[0]));
  if (!r.p || !u.w.ok() || !RemainderInto(u.w.get(), u.w.size(), modulus, r.p + 1, modulus[0])) return nullptr;
  return r.release();
}

MpInt MpModMul(MpConstInt a, MpConstInt b, MpConstInt modulus) {
  if (!a || !b || IsZeroModulus(modulus)) return nullptr;
  int larger = a[0] > b[0] ? a[0] : b[0];
  int limbs = modulus[0] < 2 * larger ? modulus[0] : 2 * larger;
  Words x(a, a[0]), y(b, b[0]);
  Scratch<uint64_t> product(x.w.size() + y.w.size());
  MpHolder r(Alloc(limbs));
  if (!x.w.ok() || !y.w.ok() || !product.ok() || !r.p) return nullptr;
  for (size_t i = 0; i < x.w.size(); ++i) {
    uint64_t carry = 0;
    for (size_t j = 0; j < y.w.size(); ++j) {
      const unsigned __int128 t = static_cast<unsigned __int128>(x.w[i]) * y.w[j] + product[i + j] + carry;
      product[i + j] = static_cast<uint64_t>(t);
      carry = static_cast<uint64_t>(t >> 64);
    }
    product[i + y.w.size()] = carry;
  }
  if (!RemainderInto(product.get(), product.size(), modulus, r.p + 1, limbs)) return nullptr;
  Trim(r.p);
  return r.release();
}

MpInt MpModPow(MpConstInt base, MpConstInt exponent, MpConstInt modulus) {
  if (!base || !exponent || IsZeroModulus(modulus)) return nullptr;
  MpHolder r(Alloc(modulus[0]));
  if (!r.p) return nullptr;
  bool ok = (modulus[1] & 1) ? MontModPow(base, exponent, modulus, r.p + 1)
                             : PlainModPow(base, exponent, modulus, r.p + 1);
  if (!ok) return nullptr;
  Trim(r.p);
  return r.release();
}

MpInt MpModInverse(MpConstInt a, MpConstInt modulus) {
  if (!a || IsZeroModulus(modulus)) return nullptr;
  // Extended Euclid on (modulus, a mod modulus), keeping only the magnitude of a's
  // coefficient; its sign alternates with every step.
  MpHolder r0(MpCopy(modulus)), r1(MpMod(a, modulus));
  MpHolder t0(MpCopy(MpZero)), t1(MpCopy(MpOne));
  if (!r0.p || !r1.p || !t0.p || !t1.p) return nullptr;
  Trim(r1.p);
  Trim(r0.p);
  // An odd modulus (RSA, DSA) has a faster road to the same, unique, answer.
  if ((r0.p[1] & 1) && MpCompare(r0.p, MpOne) > 0) return OddModInverse(r1.p, r0.p);
  bool t0_negative = false, t1_negative = false;
  while (Limbs(r1.p) != 0) {
    MpInt q = nullptr, rem = nullptr;
    if (!DivModNumbers(r0.p, r1.p, &q, &rem)) return nullptr;
    MpHolder qh(q);
    MpHolder t2(MpMulAdd(q, t1.p, t0.p));
    if (!t2.p) {
      MpFree(rem);
      return nullptr;
    }
    r0.reset(r1.release());
    r1.reset(rem);
    t0.reset(t1.release());
    t1.reset(t2.release());
    t0_negative = t1_negative;
    t1_negative = !t1_negative;
  }
  // No inverse unless the greatest common divisor is 1 (this also refuses modulus 1).
  if (MpCompare(r0.p, MpOne) != 0) return nullptr;
  if (t0.p[0] == 0) return nullptr;
  MpInt result = t0_negative ? Subtract(modulus, t0.p) : MpCopy(t0.p);
  if (result) Trim(result);
  return result;
}
