// The modular inverse for odd moduli by batches of "division steps" (the safegcd of
// Bernstein and Yang): each batch of 59 steps works on the low 64 bits of the two numbers
// alone, and its 2x2 transition matrix is then applied to the whole numbers and to the
// coefficients at once. The batch count depends only on the modulus's bit length and no
// branch or memory access depends on a value, so the inverses that guard secrets (RSA
// blinding factors, DSA nonces) take the same path whatever they are; and it is some
// five times faster than subtracting and halving bit by bit.
//
// Numbers are held in limbs of 62 bits, least significant first; every limb but the top
// one lies in [0, 2^62), the top one carries the sign and whatever is left.
#include <cstring>

#include "ssh/crypto/mp_internal.h"

namespace sshmp {

namespace {

using i64 = int64_t;
using u64 = uint64_t;
using i128 = __int128;

constexpr u64 kLimbMask = ~u64{0} >> 2;
constexpr int kStepsPerBatch = 59;

// The four entries of a batch's transition matrix, scaled by 2^62.
struct Transition {
  i64 u, v, q, r;
};

// 59 division steps on the low bits of f (odd) and g, from the state zeta (negated delta
// less one half); returns the new zeta. Only masks steer the steps.
i64 DivSteps(i64 zeta, u64 f0, u64 g0, Transition* t) {
  // The matrix starts as the identity times 8, so that 59 doublings scale it by 2^62.
  u64 u = 8, v = 0, q = 0, r = 8;
  u64 f = f0, g = g0;
  for (int i = 3; i < 3 + kStepsPerBatch; ++i) {
    // volatile keeps the compiler from turning the masks back into branches.
    volatile u64 c1 = static_cast<u64>(zeta >> 63);
    volatile u64 c2 = g & 1;
    u64 negative = c1;       // all ones when zeta < 0
    const u64 odd = 0 - c2;  // all ones when g is odd
    const u64 x = (f ^ negative) - negative;
    const u64 y = (u ^ negative) - negative;
    const u64 z = (v ^ negative) - negative;
    g += x & odd;
    q += y & odd;
    r += z & odd;
    negative &= odd;
    zeta = (zeta ^ static_cast<i64>(negative)) - 1;
    f += g & negative;
    u += q & negative;
    v += r & negative;
    g >>= 1;
    u <<= 1;
    v <<= 1;
  }
  t->u = static_cast<i64>(u);
  t->v = static_cast<i64>(v);
  t->q = static_cast<i64>(q);
  t->r = static_cast<i64>(r);
  return zeta;
}

// (f, g) = matrix * (f, g) / 2^62; the division is exact by construction.
void UpdateFg(i64* f, i64* g, size_t n, const Transition& t) {
  i128 cf = static_cast<i128>(t.u) * f[0] + static_cast<i128>(t.v) * g[0];
  i128 cg = static_cast<i128>(t.q) * f[0] + static_cast<i128>(t.r) * g[0];
  cf >>= 62;
  cg >>= 62;
  for (size_t i = 1; i < n; ++i) {
    cf += static_cast<i128>(t.u) * f[i] + static_cast<i128>(t.v) * g[i];
    cg += static_cast<i128>(t.q) * f[i] + static_cast<i128>(t.r) * g[i];
    f[i - 1] = static_cast<i64>(static_cast<u64>(cf) & kLimbMask);
    g[i - 1] = static_cast<i64>(static_cast<u64>(cg) & kLimbMask);
    cf >>= 62;
    cg >>= 62;
  }
  f[n - 1] = static_cast<i64>(cf);
  g[n - 1] = static_cast<i64>(cg);
}

// (d, e) = matrix * (d, e) / 2^62 modulo m, with d and e kept in (-2m, m): the multiple of
// m that clears the low 62 bits is added before the division.
void UpdateDe(i64* d, i64* e, const i64* m, u64 m_inverse, size_t n, const Transition& t) {
  const i64 sd = d[n - 1] >> 63, se = e[n - 1] >> 63;
  i64 md = (t.u & sd) + (t.v & se);
  i64 me = (t.q & sd) + (t.r & se);
  i128 cd = static_cast<i128>(t.u) * d[0] + static_cast<i128>(t.v) * e[0];
  i128 ce = static_cast<i128>(t.q) * d[0] + static_cast<i128>(t.r) * e[0];
  md -= static_cast<i64>((m_inverse * static_cast<u64>(cd) + static_cast<u64>(md)) & kLimbMask);
  me -= static_cast<i64>((m_inverse * static_cast<u64>(ce) + static_cast<u64>(me)) & kLimbMask);
  cd += static_cast<i128>(m[0]) * md;
  ce += static_cast<i128>(m[0]) * me;
  cd >>= 62;
  ce >>= 62;
  for (size_t i = 1; i < n; ++i) {
    cd += static_cast<i128>(t.u) * d[i] + static_cast<i128>(t.v) * e[i] + static_cast<i128>(m[i]) * md;
    ce += static_cast<i128>(t.q) * d[i] + static_cast<i128>(t.r) * e[i] + static_cast<i128>(m[i]) * me;
    d[i - 1] = static_cast<i64>(static_cast<u64>(cd) & kLimbMask);
    e[i - 1] = static_cast<i64>(static_cast<u64>(ce) & kLimbMask);
    cd >>= 62;
    ce >>= 62;
  }
  d[n - 1] = static_cast<i64>(cd);
  e[n - 1] = static_cast<i64>(ce);
}

void Carry(i64* a, size_t n) {
  for (size_t i = 0; i + 1 < n; ++i) {
    a[i + 1] += a[i] >> 62;
    a[i] &= static_cast<i64>(kLimbMask);
  }
}

// d * sign mod m in [0, m), for d in (-2m, m) and sign 0 or -1.
void Normalise(i64* d, const i64* m, size_t n, i64 sign) {
  i64 add = d[n - 1] >> 63;
  for (size_t i = 0; i < n; ++i) d[i] = ((d[i] + (m[i] & add)) ^ sign) - sign;
  Carry(d, n);
  add = d[n - 1] >> 63;
  for (size_t i = 0; i < n; ++i) d[i] += m[i] & add;
  Carry(d, n);
}

void ToLimbs(MpConstInt a, i64* out, size_t n) {
  std::memset(out, 0, n * sizeof(i64));
  for (int i = 0; i < a[0]; ++i) {
    const size_t bit = 16 * static_cast<size_t>(i);
    const u64 limb = a[i + 1];
    out[bit / 62] |= static_cast<i64>((limb << (bit % 62)) & kLimbMask);
    if (bit % 62 > 46) out[bit / 62 + 1] |= static_cast<i64>(limb >> (62 - bit % 62));
  }
}

uint16_t Limb16(const i64* a, size_t i) {
  const size_t bit = 16 * i, at = bit / 62, shift = bit % 62;
  u64 v = static_cast<u64>(a[at]) >> shift;
  if (shift > 46) v |= static_cast<u64>(a[at + 1]) << (62 - shift);
  return static_cast<uint16_t>(v);
}

}  // namespace

MpInt OddModInverse(MpConstInt a, MpConstInt m) {
  const int bits = MpBitCount(m);
  // One limb of headroom above the modulus for the coefficients' range and sign.
  const size_t n = static_cast<size_t>(bits) / 62 + 2;
  Scratch<i64> mod(n), f(n), g(n), d(n), e(n);
  if (!mod.ok() || !f.ok() || !g.ok() || !d.ok() || !e.ok()) return nullptr;
  ToLimbs(m, mod.get(), n);
  ToLimbs(m, f.get(), n);
  ToLimbs(a, g.get(), n);
  e[0] = 1;
  // m^-1 mod 2^64 by Newton's iteration, of which UpdateDe uses the low 62 bits.
  u64 m_inverse = static_cast<u64>(mod[0]);
  for (int i = 0; i < 6; ++i) m_inverse *= 2 - static_cast<u64>(mod[0]) * m_inverse;

  // Enough steps for any input below a modulus of this length (Bernstein and Yang, 2019).
  const int steps = bits < 46 ? (49 * bits + 80) / 17 : (49 * bits + 57) / 17;
  i64 zeta = -1;
  for (int done = 0; done < steps; done += kStepsPerBatch) {
    Transition t;
    zeta = DivSteps(zeta, static_cast<u64>(f[0]), static_cast<u64>(g[0]), &t);
    UpdateDe(d.get(), e.get(), mod.get(), m_inverse, n, t);
    UpdateFg(f.get(), g.get(), n, t);
  }
  // f is now plus or minus the greatest common divisor: an inverse exists when it is 1.
  const i64 sign = f[n - 1] >> 63;
  u64 rest = 0;
  for (size_t i = 1; i < n; ++i) rest |= static_cast<u64>(f[i] ^ sign) & (i + 1 < n ? kLimbMask : ~u64{0});
  const u64 low = static_cast<u64>(f[0] ^ sign) & kLimbMask;
  const bool unit = rest == 0 && low == static_cast<u64>(sign ? 0 : 1);
  MpInt r = unit ? Alloc(m[0]) : nullptr;
  if (r) {
    Normalise(d.get(), mod.get(), n, sign);
    for (int i = 0; i < m[0]; ++i) r[i + 1] = Limb16(d.get(), static_cast<size_t>(i));
    Trim(r);
  }
  return r;
}

}  // namespace sshmp
