// Internals shared by the multiprecision sources: allocation, scratch arrays, division
// and Montgomery exponentiation. Not for the rest of the SSH layer.
#pragma once

#include <cstddef>
#include <cstdint>
#include <new>

#include "ssh/crypto/mpint.h"

namespace sshmp {

// A number of `limbs` limbs, all zero; nullptr when memory is short or limbs > 65535.
MpInt Alloc(int limbs);
// Drops zero top limbs, keeping at least one limb when there was one.
void Trim(MpInt a);
int Limbs(MpConstInt a);  // limb count without zero top limbs (0 for zero)

// A zero-filled array wiped on release.
template <class T>
class Scratch {
 public:
  explicit Scratch(size_t n) : n_(n), p_(n ? new (std::nothrow) T[n]() : nullptr) {}
  ~Scratch() {
    if (p_) {
      Wipe(p_, n_ * sizeof(T));
      delete[] p_;
    }
  }
  Scratch(const Scratch&) = delete;
  Scratch& operator=(const Scratch&) = delete;
  bool ok() const { return n_ == 0 || p_ != nullptr; }
  T* get() { return p_; }
  T& operator[](size_t i) { return p_[i]; }
  size_t size() const { return n_; }

 private:
  size_t n_;
  T* p_;
};

// Long division of u (m limbs, least significant first) by v (n limbs, top limb not
// zero): writes the remainder to r (n limbs) and, when q is given, the quotient to q
// (m - n + 1 limbs, or 1 limb when m < n). Returns false when scratch memory is short.
bool DivMod(const uint16_t* u, int m, const uint16_t* v, int n, uint16_t* q, uint16_t* r);

// base^exponent mod modulus for an odd modulus (Montgomery form on 64-bit words, fixed
// window with constant-time table reads for exponents above 64 bits); `out` receives the
// modulus's limb count. `r2`, when given, is R^2 mod modulus (R = 2^(64 * words)) made
// beforehand.
bool MontModPow(MpConstInt base, MpConstInt exponent, MpConstInt modulus, uint16_t* out, MpConstInt r2 = nullptr);

// An odd modulus used for many operations (an RSA key's n), with R^2 mod m made once.
// Every number handed in must be below the modulus.
class MontModulus {
 public:
  MontModulus() = default;
  MontModulus(const MontModulus&) = delete;
  MontModulus& operator=(const MontModulus&) = delete;
  ~MontModulus();
  // False for an even or zero modulus, or when memory is short.
  bool Init(MpConstInt modulus);
  bool ready() const { return r2_ != nullptr; }
  MpConstInt modulus() const { return modulus_; }
  // a * b / R mod m (a Montgomery product); nullptr when memory is short.
  MpInt MulMont(MpConstInt a, MpConstInt b) const;
  // a * R mod m: a in Montgomery form, which MulMont with a plain number turns back.
  MpInt ToMont(MpConstInt a) const { return MulMont(a, r2_); }
  // base^exponent mod m, as MpModPow gives it.
  MpInt Pow(MpConstInt base, MpConstInt exponent) const;

 private:
  MpInt modulus_ = nullptr;
  MpInt r2_ = nullptr;
};

// Limbs of 16 bits to 64-bit words (k words, zero above the limbs) and back (n limbs,
// zero above the words).
void LimbsToWords(const uint16_t* limbs, int n, uint64_t* out, size_t k);
void WordsToLimbs(const uint64_t* words, size_t k, uint16_t* out, int n);

// r (n words) = u (un words) mod v (n words, least significant first); false when v is
// zero or scratch memory is short.
bool RemainderWords(const uint64_t* u, size_t un, const uint64_t* v, size_t n, uint64_t* r);

// a^-1 mod m for an odd, trimmed m and a below it; nullptr when there is none.
MpInt OddModInverse(MpConstInt a, MpConstInt m);

// True when the CPU runs MULX, ADCX and ADOX (the faster Montgomery rows).
bool CpuHasMulxAdx();

// One of two exponentiations run together; `result` receives a new number below the
// modulus, with the modulus's limb count, trimmed.
struct PowJob {
  MpConstInt base;
  MpConstInt exponent;  // secret: fixed windows from the longer exponent's bit length
  MpConstInt modulus;   // odd
  MpInt result;
};
// Both powers at once on the 52-bit multiply-add vector instructions. False (and no
// results) when the CPU lacks them, a modulus is even or above 2494 bits, or memory is
// short: the caller then takes the scalar road.
bool ModPowPair(PowJob jobs[2]);
// What ModPowPair makes of its two moduli (their digits, R^2 and reduction factors), made
// once for moduli that are used together many times (an RSA key's primes). nullptr where
// the pair can never take the vector road (a modulus even or above 2494 bits) or memory
// is short; wiped when freed.
struct PairModuli;
PairModuli* NewPairModuli(MpConstInt m0, MpConstInt m1);
void FreePairModuli(PairModuli* moduli);
// ModPowPair for jobs whose moduli are those `moduli` was made from, in the same order.
bool ModPowPair(PowJob jobs[2], const PairModuli* moduli);
// True when the CPU and the system run AVX-512 IFMA.
bool CpuHasIfma();
// Whether ModPowPair may run (tests and benchmarks compare it with the scalar road); it
// never runs while the portable code is forced.
void AllowVectorPowers(bool allow);
bool VectorPowersUsable();

}  // namespace sshmp
