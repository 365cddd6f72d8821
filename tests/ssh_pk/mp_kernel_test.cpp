// Montgomery exponentiation on the portable rows, on the MULX/ADX rows and in pairs on the
// vector unit, and the inverse by division steps, against OpenSSL's BIGNUM as the oracle:
// word- and digit-boundary sizes, moduli just below a power of two, exponents either side
// of the public/secret split, bases at and above the modulus.
#include <gtest/gtest.h>
#include <openssl/bn.h>
#include <openssl/err.h>

#include <random>
#include <string>
#include <vector>

#include "ssh/crypto/mp_internal.h"
#include "row_kernels.h"
#include "test_util.h"

using pktest::Mp;

namespace {

struct BnDeleter {
  void operator()(BIGNUM* b) const { BN_free(b); }
};
using Bn = std::unique_ptr<BIGNUM, BnDeleter>;

std::vector<uint8_t> ToBytes(const BIGNUM* b) {
  std::vector<uint8_t> out(static_cast<size_t>(BN_num_bytes(b)));
  BN_bn2bin(b, out.data());
  return out;
}

Mp ToMp(const BIGNUM* b) {
  auto bytes = ToBytes(b);
  return Mp(MpFromBytes(bytes.data(), bytes.size()));
}

std::string ToHex(const BIGNUM* b) {
  char* h = BN_bn2hex(b);
  std::string s = h;
  OPENSSL_free(h);
  // BN_bn2hex writes upper case with a leading zero digit; compare as numbers' text.
  for (char& c : s) c = static_cast<char>(std::tolower(static_cast<unsigned char>(c)));
  size_t start = s.find_first_not_of('0');
  return start == std::string::npos ? "0" : s.substr(start);
}

Bn Random(std::mt19937_64& rng, int bits) {
  Bn b(BN_new());
  std::vector<uint8_t> bytes(static_cast<size_t>((bits + 7) / 8));
  for (auto& x : bytes) x = static_cast<uint8_t>(rng());
  BN_bin2bn(bytes.data(), static_cast<int>(bytes.size()), b.get());
  BN_mask_bits(b.get(), bits);
  return b;
}

// Odd moduli of `bits` bits in three shapes: random with the top bit set, just below
// 2^bits (the top word all ones for whole words), and 2^(bits-1) + 1.
std::vector<Bn> Moduli(std::mt19937_64& rng, int bits) {
  std::vector<Bn> out;
  Bn r = Random(rng, bits);
  BN_set_bit(r.get(), bits - 1);
  BN_set_bit(r.get(), 0);
  out.push_back(std::move(r));
  Bn near(BN_new());
  BN_set_bit(near.get(), bits);
  BN_sub_word(near.get(), bits > 16 ? 1 + 2 * (rng() % 1000) : 1);
  out.push_back(std::move(near));
  Bn low(BN_new());
  BN_set_bit(low.get(), bits - 1);
  BN_add_word(low.get(), 1);
  out.push_back(std::move(low));
  return out;
}

using Kernels = pktest::RowKernels;

TEST_P(Kernels, ModPowMatchesBignum) {
  std::mt19937_64 rng(42);
  BN_CTX* ctx = BN_CTX_new();
  int failures = 0;
  for (int bits : {3, 17, 63, 64, 65, 127, 128, 129, 191, 255, 256, 257, 320, 511, 1023, 1024, 1025, 1536,
                   2047, 2048, 3072, 4096}) {
    for (const Bn& m : Moduli(rng, bits)) {
      std::vector<Bn> exponents;
      for (int e_bits : {0, 1, 2, 17, 63, 64, 65, 200, 300}) exponents.push_back(Random(rng, e_bits));
      Bn all_ones(BN_new());  // the longest public exponent
      BN_set_bit(all_ones.get(), 64);
      BN_sub_word(all_ones.get(), 1);
      exponents.push_back(std::move(all_ones));
      exponents.push_back(Random(rng, bits));

      std::vector<Bn> bases;
      bases.push_back(Random(rng, bits - 1));
      bases.emplace_back(BN_dup(m.get()));  // equal to the modulus
      bases.emplace_back(BN_dup(m.get()));
      BN_sub_word(bases.back().get(), 1);
      bases.push_back(Random(rng, 2 * bits + 3));  // far above it

      Mp mm = ToMp(m.get());
      for (const Bn& e : exponents) {
        Mp me = ToMp(e.get());
        for (const Bn& b : bases) {
          Mp mb = ToMp(b.get());
          Bn expect(BN_new());
          BN_mod_exp(expect.get(), b.get(), e.get(), m.get(), ctx);
          Mp got(MpModPow(mb.get(), me.get(), mm.get()));
          ASSERT_TRUE(got);
          if (pktest::Hex(got.get()) != ToHex(expect.get()) && failures++ < 5)
            ADD_FAILURE() << bits << "-bit modulus " << ToHex(m.get()) << ", exponent " << ToHex(e.get())
                          << ", base " << ToHex(b.get());
          EXPECT_TRUE(got.get()[0] == 1 || got.get()[got.get()[0]] != 0) << "untrimmed result";
        }
      }
    }
  }
  BN_CTX_free(ctx);
  EXPECT_EQ(failures, 0);
}

INSTANTIATE_TEST_SUITE_P(Rows, Kernels, ::testing::Values(true, false), pktest::RowKernelName);

// The pair kernel on sizes either side of its 52-bit digit and 8-digit register
// boundaries (R must stay at least four times the modulus), exponents of different
// lengths in one pair, bases of zero, the modulus and far above it.
TEST(MpVectorPair, MatchesBignum) {
  if (!sshmp::VectorPowersUsable()) GTEST_SKIP() << "CPU without AVX-512 IFMA";
  std::mt19937_64 rng(7);
  BN_CTX* ctx = BN_CTX_new();
  int failures = 0;
  for (int bits :
       {3, 50, 51, 52, 53, 102, 414, 415, 416, 512, 830, 1022, 1023, 1024, 1025, 1038, 1039, 1040, 1536, 2048, 2494}) {
    std::vector<Bn> moduli = Moduli(rng, bits);
    for (size_t i = 0; i < moduli.size(); ++i) {
      const Bn& m0 = moduli[i];
      const Bn& m1 = moduli[(i + 1) % moduli.size()];
      const int e_bits[][2] = {{bits, bits - 1}, {0, 0}, {0, 5}, {1, bits}, {300, 64}};
      for (auto [b0, b1] : e_bits) {
        Bn e0 = Random(rng, b0), e1 = Random(rng, b1);
        Bn x0 = Random(rng, 2 * bits + 3);
        Bn x1(i == 0 ? BN_dup(m1.get()) : BN_new());  // the modulus itself, or zero
        Mp mm0 = ToMp(m0.get()), mm1 = ToMp(m1.get()), me0 = ToMp(e0.get()), me1 = ToMp(e1.get());
        Mp mx0 = ToMp(x0.get()), mx1 = ToMp(x1.get());
        sshmp::PowJob jobs[2] = {{mx0.get(), me0.get(), mm0.get(), nullptr},
                                 {mx1.get(), me1.get(), mm1.get(), nullptr}};
        ASSERT_TRUE(sshmp::ModPowPair(jobs)) << bits;
        Mp r0(jobs[0].result), r1(jobs[1].result);
        Bn expect0(BN_new()), expect1(BN_new());
        BN_mod_exp(expect0.get(), x0.get(), e0.get(), m0.get(), ctx);
        BN_mod_exp(expect1.get(), x1.get(), e1.get(), m1.get(), ctx);
        if ((pktest::Hex(r0.get()) != ToHex(expect0.get()) || pktest::Hex(r1.get()) != ToHex(expect1.get())) &&
            failures++ < 5)
          ADD_FAILURE() << bits << "-bit moduli " << ToHex(m0.get()) << ", " << ToHex(m1.get()) << " e "
                        << ToHex(e0.get()) << "," << ToHex(e1.get()) << " x " << ToHex(x0.get()) << ","
                        << ToHex(x1.get()) << " got " << pktest::Hex(r0.get()) << "," << pktest::Hex(r1.get())
                        << " want " << ToHex(expect0.get()) << "," << ToHex(expect1.get());
        EXPECT_TRUE(r0.get()[0] == 1 || r0.get()[r0.get()[0]] != 0) << "untrimmed result";
        // The same with the moduli's constants made beforehand, as a key keeps them.
        sshmp::PairModuli* made = sshmp::NewPairModuli(mm0.get(), mm1.get());
        ASSERT_NE(made, nullptr) << bits;
        sshmp::PowJob again[2] = {{mx0.get(), me0.get(), mm0.get(), nullptr},
                                  {mx1.get(), me1.get(), mm1.get(), nullptr}};
        ASSERT_TRUE(sshmp::ModPowPair(again, made)) << bits;
        sshmp::FreePairModuli(made);
        Mp a0(again[0].result), a1(again[1].result);
        EXPECT_EQ(pktest::Hex(a0.get()), pktest::Hex(r0.get())) << bits;
        EXPECT_EQ(pktest::Hex(a1.get()), pktest::Hex(r1.get())) << bits;
      }
    }
  }
  BN_CTX_free(ctx);
  EXPECT_EQ(failures, 0);

  // What it leaves to the scalar road: an even modulus, a modulus beyond its registers.
  Mp base = pktest::FromHex("1234"), exponent = pktest::FromHex("10001"), odd = pktest::FromHex("ffff1");
  Bn big = Random(rng, 2495);
  BN_set_bit(big.get(), 2494);
  BN_set_bit(big.get(), 0);
  Mp even = pktest::FromHex("ffff2"), huge = ToMp(big.get());
  sshmp::PowJob even_jobs[2] = {{base.get(), exponent.get(), odd.get(), nullptr},
                                {base.get(), exponent.get(), even.get(), nullptr}};
  EXPECT_FALSE(sshmp::ModPowPair(even_jobs));
  sshmp::PowJob huge_jobs[2] = {{base.get(), exponent.get(), huge.get(), nullptr},
                                {base.get(), exponent.get(), odd.get(), nullptr}};
  EXPECT_FALSE(sshmp::ModPowPair(huge_jobs));
  EXPECT_EQ(even_jobs[0].result, nullptr);
  EXPECT_EQ(huge_jobs[1].result, nullptr);
  EXPECT_EQ(sshmp::NewPairModuli(odd.get(), even.get()), nullptr);
  EXPECT_EQ(sshmp::NewPairModuli(huge.get(), odd.get()), nullptr);
}

// The inverse by division steps on odd moduli of every limb shape, for inputs with and
// without an inverse; it never returns a number where there is none.
TEST(MpInverse, MatchesBignumOnOddModuli) {
  std::mt19937_64 rng(11);
  BN_CTX* ctx = BN_CTX_new();
  int failures = 0;
  for (int bits : {2, 3, 17, 45, 46, 47, 61, 62, 63, 64, 123, 124, 125, 160, 256, 1024, 2047, 2048, 4096}) {
    for (const Bn& m : Moduli(rng, bits)) {
      std::vector<Bn> inputs;
      inputs.emplace_back(BN_dup(BN_value_one()));
      inputs.emplace_back(BN_dup(m.get()));
      BN_sub_word(inputs.back().get(), 1);
      for (int i = 0; i < 4; ++i) {
        inputs.push_back(Random(rng, bits));
        BN_mod(inputs.back().get(), inputs.back().get(), m.get(), ctx);
      }
      // A number sharing a factor with the modulus where it has one (3 divides some).
      inputs.emplace_back(BN_new());
      BN_set_word(inputs.back().get(), 3);
      for (const Bn& a : inputs) {
        Mp ma = ToMp(a.get()), mm = ToMp(m.get());
        Mp got(MpModInverse(ma.get(), mm.get()));
        Bn expect(BN_new());
        ERR_set_mark();
        const bool exists = BN_mod_inverse(expect.get(), a.get(), m.get(), ctx) != nullptr;
        ERR_pop_to_mark();
        const std::string want = exists ? ToHex(expect.get()) : "-";
        if (pktest::Hex(got.get()) != want && failures++ < 5)
          ADD_FAILURE() << "inverse of " << ToHex(a.get()) << " mod " << ToHex(m.get()) << ": "
                        << pktest::Hex(got.get()) << ", expected " << want;
      }
    }
  }
  BN_CTX_free(ctx);
  EXPECT_EQ(failures, 0);
}

TEST(MpRemainderWords, MatchesBignumIncludingTheAddBackStep) {
  struct Case {
    std::vector<uint64_t> u, v;  // least significant word first
  };
  std::vector<Case> cases = {
      // The quotient estimate from the top words is one too large here, even after its
      // correction by the divisor's second word: only the add-back step fixes it.
      {{0x8000000000000000, 0x2111a82298ceb485, 0, 0xfffffffffffffffe}, {1, 0, 1}},
      {{5}, {7}},                         // dividend below the divisor
      {{0, 0, 0, 0, 1}, {3, 0}},          // zero top word of the divisor
      {{~0ull, ~0ull, ~0ull}, {~0ull}},   // one-word divisor
      {{0, 0, 0, 0, 1}, {~0ull, ~0ull}},  // 2^256 mod (2^128 - 1)
  };
  std::mt19937_64 rng(9);
  for (int i = 0; i < 50; ++i) {
    Case c;
    c.u.resize(1 + rng() % 12);
    c.v.resize(1 + rng() % 6);
    for (auto& w : c.u) w = rng() >> (rng() % 64);
    for (auto& w : c.v) w = rng() >> (rng() % 64);
    c.v.back() |= 1;
    cases.push_back(c);
  }
  BN_CTX* ctx = BN_CTX_new();
  auto to_bn = [](const std::vector<uint64_t>& w) {
    Bn b(BN_new());
    for (size_t i = w.size(); i-- > 0;) {
      BN_lshift(b.get(), b.get(), 64);
      BN_add_word(b.get(), w[i]);
    }
    return b;
  };
  for (const Case& c : cases) {
    std::vector<uint64_t> r(c.v.size());
    ASSERT_TRUE(sshmp::RemainderWords(c.u.data(), c.u.size(), c.v.data(), c.v.size(), r.data()));
    Bn expect(BN_new());
    BN_mod(expect.get(), to_bn(c.u).get(), to_bn(c.v).get(), ctx);
    EXPECT_EQ(ToHex(to_bn(r).get()), ToHex(expect.get())) << "u " << ToHex(to_bn(c.u).get()) << " v "
                                                          << ToHex(to_bn(c.v).get());
  }
  BN_CTX_free(ctx);
  const uint64_t zero[2] = {0, 0}, one[1] = {1};
  uint64_t r[2];
  EXPECT_FALSE(sshmp::RemainderWords(one, 1, zero, 2, r));
}

}  // namespace
