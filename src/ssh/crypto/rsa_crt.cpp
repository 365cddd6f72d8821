// The RSA private power through the two primes: c^d mod n = m2 + q * (iqmp * (m1 - m2)
// mod p) with m1 = c^(d mod (p-1)) mod p and m2 = c^(d mod (q-1)) mod q, two powers of
// half the size.
#include "ssh/crypto/mp_internal.h"
#include "ssh/crypto/rsa.h"

using sshmp::MpHolder;

namespace {

int LimbsOf(MpConstInt a) { return a ? a[0] : 0; }
uint16_t Limb(MpConstInt a, int i) { return i < LimbsOf(a) ? a[i + 1] : 0; }

// (a - b) mod m for a and b below m.
MpInt ModSubtract(MpConstInt a, MpConstInt b, MpConstInt m) {
  const int limbs = LimbsOf(m);
  MpInt r = sshmp::Alloc(limbs);
  if (!r) return nullptr;
  int32_t borrow = 0;
  for (int i = 0; i < limbs; ++i) {
    int32_t t = int32_t(Limb(a, i)) - int32_t(Limb(b, i)) - borrow;
    borrow = t < 0 ? 1 : 0;
    r[i + 1] = uint16_t(t + (borrow << 16));
  }
  if (borrow) {
    // Below zero: one modulus brings it back into range.
    uint32_t carry = 0;
    for (int i = 0; i < limbs; ++i) {
      uint32_t t = uint32_t(r[i + 1]) + m[i + 1] + carry;
      r[i + 1] = uint16_t(t);
      carry = t >> 16;
    }
  }
  sshmp::Trim(r);
  return r;
}

// d mod (prime - 1).
MpInt HalfExponent(MpConstInt d, MpConstInt prime) {
  MpHolder less(MpCopy(prime));
  if (!less.p) return nullptr;
  MpDecrement(less.p);
  sshmp::Trim(less.p);
  return MpMod(d, less.p);
}

}  // namespace

MpInt sshpk::RsaCrtPower(MpConstInt c, const SshRsaKey* key) {
  MpHolder dp(HalfExponent(key->private_exponent, key->p)), dq(HalfExponent(key->private_exponent, key->q));
  if (!dp.p || !dq.p) return nullptr;
  sshmp::Trim(dp.p);
  sshmp::Trim(dq.p);
  MpHolder m1(MpModPow(c, dp.p, key->p)), m2(MpModPow(c, dq.p, key->q));
  if (!m1.p || !m2.p) return nullptr;
  MpHolder difference(ModSubtract(m1.p, m2.p, key->p));
  MpHolder h(difference.p ? MpModMul(key->iqmp, difference.p, key->p) : nullptr);
  if (!h.p) return nullptr;
  MpInt m = MpMulAdd(h.p, key->q, m2.p);
  if (m && m[0] == 0) m[0] = 1;  // a zero result still has its one limb
  return m;
}
