// Montgomery arithmetic on 64-bit words, generic over the row primitive "t += a * b"
// (portable 128-bit products, or MULX with two ADCX/ADOX carry chains). Every operation
// runs the same instructions and touches the same memory whatever the values are: no
// branch depends on a number, only on its length.
#pragma once

#include <cstddef>
#include <cstdint>
#include <cstring>

namespace sshmp {

using u64 = uint64_t;
using u128 = unsigned __int128;

// t[0..n) += a[0..n) * b; returns the carry word.
struct PortableRow {
  static inline __attribute__((always_inline)) u64 MulAdd(u64* t, const u64* a, size_t n, u64 b) {
    // Carries by comparison rather than through a 128-bit sum: the compiler then keeps
    // one add-with-carry pair per addition (a third faster here).
    u64 carry = 0;
#pragma GCC unroll 4
    for (size_t j = 0; j < n; ++j) {
      const u128 p = static_cast<u128>(a[j]) * b;
      u64 lo = static_cast<u64>(p), hi = static_cast<u64>(p >> 64);
      lo += carry;
      hi += lo < carry;
      const u64 tj = t[j];
      lo += tj;
      hi += lo < tj;
      t[j] = lo;
      carry = hi;
    }
    return carry;
  }
};

#if defined(__x86_64__)
// The same row with MULX and two independent carry chains: CF carries the high halves
// of the products into the next word, OF carries the additions of t. Only LEA and JRCXZ
// steer the loops, as they leave both flags alone. Used only when the CPU has BMI2 and ADX.
struct AdxRow {
  static inline __attribute__((always_inline)) u64 MulAdd(u64* t, const u64* a, size_t n, u64 b) {
    u64 hi, lo, hi2;
    size_t quads = n >> 2;
    asm volatile(
        "xor %k[hi], %k[hi]\n\t"  // hi = 0, CF = OF = 0
        "jrcxz 2f\n"
        "1:\n\t"
        "mulx (%[a]), %[lo], %[hi2]\n\t"
        "adcx %[hi], %[lo]\n\t"
        "adox (%[t]), %[lo]\n\t"
        "mov %[lo], (%[t])\n\t"
        "mulx 8(%[a]), %[lo], %[hi]\n\t"
        "adcx %[hi2], %[lo]\n\t"
        "adox 8(%[t]), %[lo]\n\t"
        "mov %[lo], 8(%[t])\n\t"
        "mulx 16(%[a]), %[lo], %[hi2]\n\t"
        "adcx %[hi], %[lo]\n\t"
        "adox 16(%[t]), %[lo]\n\t"
        "mov %[lo], 16(%[t])\n\t"
        "mulx 24(%[a]), %[lo], %[hi]\n\t"
        "adcx %[hi2], %[lo]\n\t"
        "adox 24(%[t]), %[lo]\n\t"
        "mov %[lo], 24(%[t])\n\t"
        "lea 32(%[a]), %[a]\n\t"
        "lea 32(%[t]), %[t]\n\t"
        "lea -1(%%rcx), %%rcx\n\t"
        "jrcxz 2f\n\t"
        "jmp 1b\n"
        "2:\n\t"
        "mov %[rest], %%rcx\n\t"
        "jrcxz 4f\n"
        "3:\n\t"
        "mulx (%[a]), %[lo], %[hi2]\n\t"
        "adcx %[hi], %[lo]\n\t"
        "adox (%[t]), %[lo]\n\t"
        "mov %[lo], (%[t])\n\t"
        "mov %[hi2], %[hi]\n\t"
        "lea 8(%[a]), %[a]\n\t"
        "lea 8(%[t]), %[t]\n\t"
        "lea -1(%%rcx), %%rcx\n\t"
        "jrcxz 4f\n\t"
        "jmp 3b\n"
        "4:\n\t"
        "mov $0, %[lo]\n\t"  // MOV leaves the flags: fold both chains into the carry word
        "adcx %[lo], %[hi]\n\t"
        "adox %[lo], %[hi]\n\t"
        : [hi] "=&r"(hi), [lo] "=&r"(lo), [hi2] "=&r"(hi2), [a] "+r"(a), [t] "+r"(t), "+c"(quads)
        : "d"(b), [rest] "r"(n & 3)
        : "cc", "memory");
    return hi;
  }
};
#endif

// Multiplication and squaring modulo an odd m of k words, in Montgomery form with
// R = 2^(64k): results are a * b / R mod m, fully reduced, for inputs below m.
template <class Row>
class MontKernel {
 public:
  // t: scratch of 2k words.
  MontKernel(const u64* m, size_t k, u64* t) : m_(m), k_(k), t_(t) {
    // -m^-1 mod 2^64 by Newton's iteration (each step doubles the correct low bits).
    u64 inv = m[0];
    for (int i = 0; i < 6; ++i) inv *= 2 - m[0] * inv;
    n0_ = ~inv + 1;
  }

  // out may alias a or b.
  void Mul(u64* out, const u64* a, const u64* b) {
    const size_t k = k_;
    u64* t = t_;
    std::memset(t, 0, k * sizeof(u64));
    for (size_t i = 0; i < k; ++i) t[i + k] = Row::MulAdd(t + i, a, k, b[i]);
    Reduce(out);
  }

  // The cross products once, doubled, plus the squares of the words: about half the
  // word products of Mul before the reduction.
  void Sqr(u64* out, const u64* a) {
    const size_t k = k_;
    u64* t = t_;
    std::memset(t, 0, 2 * k * sizeof(u64));
    for (size_t i = 0; i + 1 < k; ++i) t[i + k] = Row::MulAdd(t + 2 * i + 1, a + i + 1, k - 1 - i, a[i]);
    u64 shifted_out = 0, carry = 0;
    for (size_t i = 0; i < k; ++i) {
      const u128 square = static_cast<u128>(a[i]) * a[i];
      const u64 lo = t[2 * i], hi = t[2 * i + 1];
      const u64 lo2 = (lo << 1) | shifted_out, hi2 = (hi << 1) | (lo >> 63);
      shifted_out = hi >> 63;
      u128 s = static_cast<u128>(lo2) + static_cast<u64>(square) + carry;
      t[2 * i] = static_cast<u64>(s);
      s = static_cast<u128>(hi2) + static_cast<u64>(square >> 64) + static_cast<u64>(s >> 64);
      t[2 * i + 1] = static_cast<u64>(s);
      carry = static_cast<u64>(s >> 64);
    }
    Reduce(out);
  }

  size_t words() const { return k_; }

 private:
  // out = t / R mod m for the 2k-word t < m * R.
  void Reduce(u64* out) {
    const size_t k = k_;
    u64* t = t_;
    u64 extra = 0;  // the carry above t[i + k], added one word later
    for (size_t i = 0; i < k; ++i) {
      const u64 c = Row::MulAdd(t + i, m_, k, t[i] * n0_);
      const u128 s = static_cast<u128>(t[i + k]) + c + extra;
      t[i + k] = static_cast<u64>(s);
      extra = static_cast<u64>(s >> 64);
    }
    // The value (extra, t[k..2k)) is below 2m: subtract m and keep the difference unless
    // it borrowed past extra, without a branch.
    const u64* hi = t + k;
    u64 borrow = 0;
    for (size_t j = 0; j < k; ++j) {
      const u128 d = static_cast<u128>(hi[j]) - m_[j] - borrow;
      out[j] = static_cast<u64>(d);
      borrow = static_cast<u64>(d >> 64) & 1;
    }
    const u64 keep_t = 0 - static_cast<u64>(borrow > extra);  // all ones when below m
    for (size_t j = 0; j < k; ++j) out[j] = (hi[j] & keep_t) | (out[j] & ~keep_t);
  }

  const u64* m_;
  size_t k_;
  u64* t_;
  u64 n0_ = 0;
};

}  // namespace sshmp
