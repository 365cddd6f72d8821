// The modular inverse for odd moduli by binary steps on 64-bit words: shifts and
// subtractions only, where the extended Euclidean algorithm needs a long division per
// step. RSA blinding takes one such inverse for every private operation.
#include <vector>

#include "ssh/crypto/mp_internal.h"

namespace sshmp {

namespace {

using Words = std::vector<uint64_t>;

Words ToWords(MpConstInt a, size_t n) {
  Words w(n, 0);
  for (int i = 0; i < a[0]; ++i) w[size_t(i) / 4] |= uint64_t(a[i + 1]) << (16 * (i % 4));
  return w;
}

bool IsOne(const Words& a) {
  if (a[0] != 1) return false;
  for (size_t i = 1; i < a.size(); ++i)
    if (a[i]) return false;
  return true;
}

bool IsZero(const Words& a) {
  for (uint64_t w : a)
    if (w) return false;
  return true;
}

int Compare(const Words& a, const Words& b) {
  for (size_t i = a.size(); i-- > 0;)
    if (a[i] != b[i]) return a[i] < b[i] ? -1 : 1;
  return 0;
}

// a -= b (a >= b).
void SubtractInPlace(Words& a, const Words& b) {
  uint64_t borrow = 0;
  for (size_t i = 0; i < a.size(); ++i) {
    const unsigned __int128 d = (unsigned __int128)a[i] - b[i] - borrow;
    a[i] = uint64_t(d);
    borrow = uint64_t(d >> 64) & 1;
  }
}

// a += b; the carry out of the top word.
uint64_t AddInPlace(Words& a, const Words& b) {
  uint64_t carry = 0;
  for (size_t i = 0; i < a.size(); ++i) {
    const unsigned __int128 t = (unsigned __int128)a[i] + b[i] + carry;
    a[i] = uint64_t(t);
    carry = uint64_t(t >> 64);
  }
  return carry;
}

void ShiftRight(Words& a, int bits, uint64_t topIn = 0) {
  for (size_t i = 0; i + 1 < a.size(); ++i) a[i] = (a[i] >> bits) | (a[i + 1] << (64 - bits));
  a.back() = (a.back() >> bits) | (topIn << (64 - bits));
}

// x / 2 mod m for x below m (m odd): an odd x gets m added first.
void Halve(Words& x, const Words& m) {
  uint64_t carry = 0;
  if (x[0] & 1) carry = AddInPlace(x, m);
  ShiftRight(x, 1, carry);
}

// x = (x - y) mod m for x and y below m.
void ModSubtract(Words& x, const Words& y, const Words& m) {
  if (Compare(x, y) < 0) AddInPlace(x, m);  // below 2m, so no carry is lost once y goes
  SubtractInPlace(x, y);
}

}  // namespace

MpInt OddModInverse(MpConstInt a, MpConstInt m) {
  const size_t n = (size_t(m[0]) + 3) / 4;
  Words modulus = ToWords(m, n), u = ToWords(a, n), v = modulus;
  Words x1(n, 0), x2(n, 0);
  x1[0] = 1;
  // Invariants: x1 * a = u and x2 * a = v (mod m); gcd(u, v) stays gcd(a, m).
  for (;;) {
    if (IsOne(u)) break;
    if (IsOne(v)) {
      x1.swap(x2);
      break;
    }
    if (IsZero(u) || IsZero(v)) return nullptr;  // no inverse: a and m share a factor
    while (!(u[0] & 1)) {
      const int k = u[0] ? __builtin_ctzll(u[0]) : 63;
      ShiftRight(u, k);
      for (int i = 0; i < k; ++i) Halve(x1, modulus);
    }
    while (!(v[0] & 1)) {
      const int k = v[0] ? __builtin_ctzll(v[0]) : 63;
      ShiftRight(v, k);
      for (int i = 0; i < k; ++i) Halve(x2, modulus);
    }
    if (Compare(u, v) >= 0) {
      SubtractInPlace(u, v);
      ModSubtract(x1, x2, modulus);
    } else {
      SubtractInPlace(v, u);
      ModSubtract(x2, x1, modulus);
    }
  }
  MpInt r = Alloc(m[0]);
  if (!r) return nullptr;
  for (int i = 0; i < m[0]; ++i) r[i + 1] = uint16_t(x1[size_t(i) / 4] >> (16 * (i % 4)));
  Wipe(x1.data(), x1.size() * 8);
  Wipe(x2.data(), x2.size() * 8);
  Wipe(u.data(), u.size() * 8);
  Wipe(v.data(), v.size() * 8);
  Trim(r);
  return r;
}

}  // namespace sshmp
