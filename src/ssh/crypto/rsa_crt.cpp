// The RSA private power through the two primes: c^d mod n = m2 + q * (iqmp * (m1 - m2)
// mod p) with m1 = c^(d mod (p-1)) mod p and m2 = c^(d mod (q-1)) mod q, two powers of
// half the size, run together on the vector unit where the CPU has one for them.
#include "ssh/crypto/mp_internal.h"
#include "ssh/crypto/rsa.h"
#include "ssh/crypto/rsa_cache.h"

using sshmp::MpHolder;

namespace {

int LimbsOf(MpConstInt a) { return a ? a[0] : 0; }
uint16_t Limb(MpConstInt a, int i) { return i < LimbsOf(a) ? a[i + 1] : 0; }

// (a - b) mod m for a and b below m; the modulus is added back under a mask, not a branch.
MpInt ModSubtract(MpConstInt a, MpConstInt b, MpConstInt m) {
  const int limbs = LimbsOf(m);
  MpInt r = sshmp::Alloc(limbs);
  if (!r) return nullptr;
  uint32_t borrow = 0;
  for (int i = 0; i < limbs; ++i) {
    const uint32_t t = uint32_t(Limb(a, i)) - uint32_t(Limb(b, i)) - borrow;
    borrow = t >> 31;
    r[i + 1] = uint16_t(t);
  }
  const uint32_t add = 0u - borrow;  // all ones when the difference went below zero
  uint32_t carry = 0;
  for (int i = 0; i < limbs; ++i) {
    const uint32_t t = uint32_t(r[i + 1]) + (m[i + 1] & add) + carry;
    r[i + 1] = uint16_t(t);
    carry = t >> 16;
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
  MpInt half = MpMod(d, less.p);
  if (half) sshmp::Trim(half);
  return half;
}

}  // namespace

bool sshpk::RsaPrivateCache::Init(const SshRsaKey* key) {
  if (!n.Init(key->modulus)) return false;
  if (!key->crt) return true;
  dp.reset(HalfExponent(key->private_exponent, key->p));
  dq.reset(HalfExponent(key->private_exponent, key->q));
  if (!dp.p || !dq.p) return false;
  primes = sshmp::NewPairModuli(key->p, key->q);  // none: the scalar road, no loss
  return true;
}

MpInt sshpk::RsaCrtPower(MpConstInt c, const SshRsaKey* key, const RsaPrivateCache* cache) {
  MpHolder dpMade, dqMade;
  MpConstInt dp = cache ? cache->dp.p : nullptr, dq = cache ? cache->dq.p : nullptr;
  if (!dp || !dq) {
    dpMade.reset(HalfExponent(key->private_exponent, key->p));
    dqMade.reset(HalfExponent(key->private_exponent, key->q));
    if (!dpMade.p || !dqMade.p) return nullptr;
    dp = dpMade.p;
    dq = dqMade.p;
  }
  sshmp::PowJob jobs[2] = {{c, dp, key->p, nullptr}, {c, dq, key->q, nullptr}};
  MpHolder m1, m2;
  if (cache && cache->primes ? sshmp::ModPowPair(jobs, cache->primes) : sshmp::ModPowPair(jobs)) {
    m1.reset(jobs[0].result);
    m2.reset(jobs[1].result);
  } else {
    m1.reset(MpModPow(c, dp, key->p));
    m2.reset(MpModPow(c, dq, key->q));
  }
  if (!m1.p || !m2.p) return nullptr;
  MpHolder difference(ModSubtract(m1.p, m2.p, key->p));
  MpHolder h(difference.p ? MpModMul(key->iqmp, difference.p, key->p) : nullptr);
  if (!h.p) return nullptr;
  MpInt m = MpMulAdd(h.p, key->q, m2.p);
  if (m && m[0] == 0) m[0] = 1;  // a zero result still has its one limb
  return m;
}
