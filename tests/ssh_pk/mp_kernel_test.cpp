// Montgomery exponentiation on the portable rows and on the MULX/ADX rows, against
// OpenSSL's BIGNUM as the oracle: word-boundary sizes, moduli just below a power of 2^64,
// exponents either side of the public/secret split, bases at and above the modulus.
#include <gtest/gtest.h>
#include <openssl/bn.h>

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
