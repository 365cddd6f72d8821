// Diffie-Hellman groups, the exponent draw, K agreement and the refused inputs.
#include <gtest/gtest.h>
#include <openssl/bn.h>

#include <string>
#include <vector>

#include "ssh/crypto/dh.h"
#include "test_util.h"

using pktest::FromHex;
using pktest::Hex;
using pktest::Mp;

namespace {

struct DhDeleter {
  void operator()(SshDhState* s) const { DhFree(s); }
};
using Dh = std::unique_ptr<SshDhState, DhDeleter>;

// A scripted byte source: the given bytes first, then a fixed pseudo-random stream.
struct Script {
  std::vector<uint8_t> bytes;
  size_t pos = 0;
  uint32_t state = 12345;
  static uint8_t Next(void* c) {
    auto* s = static_cast<Script*>(c);
    if (s->pos < s->bytes.size()) return s->bytes[s->pos++];
    s->state = s->state * 1103515245u + 12345u;
    return static_cast<uint8_t>(s->state >> 16);
  }
};

std::string BnHex(const BIGNUM* b) {
  char* h = BN_bn2hex(b);
  std::string s(h);
  OPENSSL_free(h);
  for (auto& c : s) c = static_cast<char>(tolower(c));
  return s;
}

TEST(Dh, FixedGroupsMatchThePublishedPrimes) {
  BIGNUM* p1 = BN_get_rfc2409_prime_1024(nullptr);
  BIGNUM* p14 = BN_get_rfc3526_prime_2048(nullptr);
  std::vector<uint8_t> b1(128), b14(256);
  BN_bn2bin(p1, b1.data());
  BN_bn2bin(p14, b14.data());
  BN_free(p1);
  BN_free(p14);
  ASSERT_EQ(SshKexDhGroup1.prime_length, 128u);
  ASSERT_EQ(SshKexDhGroup14.prime_length, 256u);
  EXPECT_EQ(std::vector<uint8_t>(SshKexDhGroup1.prime, SshKexDhGroup1.prime + 128), b1);
  EXPECT_EQ(std::vector<uint8_t>(SshKexDhGroup14.prime, SshKexDhGroup14.prime + 256), b14);
  for (auto* k : {&SshKexDhGroup1, &SshKexDhGroup14}) {
    ASSERT_EQ(k->generator_length, 1u);
    EXPECT_EQ(k->generator[0], 2);
    EXPECT_EQ(k->hash, &Sha1HashDesc);
  }
  EXPECT_STREQ(SshKexGexList.list[0]->ssh_name, "diffie-hellman-group-exchange-sha256");
  EXPECT_EQ(SshKexGexList.list[0]->hash, &Sha256HashDesc);
  EXPECT_STREQ(SshKexGexList.list[1]->ssh_name, "diffie-hellman-group-exchange-sha1");
  EXPECT_STREQ(SshKexGroup1List.list[0]->group_name, "group1");
  EXPECT_STREQ(SshKexGroup14List.list[0]->ssh_name, "diffie-hellman-group14-sha1");

  Dh s(DhNewFixedGroup(&SshKexDhGroup14));
  ASSERT_TRUE(s);
  EXPECT_EQ(MpBitCount(s->q), 2047);
  EXPECT_EQ(MpBitCount(s->qmask), 2047);
  EXPECT_EQ(DhNewFixedGroup(&SshKexDhGexSha1), nullptr);
}

TEST(Dh, BothSidesAgreeAndXHasTheAskedSize) {
  Script ra, rb;
  rb.state = 999;
  Dh a(DhNewFixedGroup(&SshKexDhGroup1)), b(DhNewFixedGroup(&SshKexDhGroup1));
  MpConstInt ea = sshdh::MakeE(a.get(), 320, Script::Next, &ra);
  MpConstInt eb = sshdh::MakeE(b.get(), 320, Script::Next, &rb);
  ASSERT_TRUE(ea && eb);
  EXPECT_EQ(MpBitCount(a->x), 321);
  EXPECT_EQ(MpBitCount(b->x), 321);
  Mp ka(DhComputeK(a.get(), eb)), kb(DhComputeK(b.get(), ea));
  ASSERT_TRUE(ka && kb);
  EXPECT_EQ(Hex(ka.get()), Hex(kb.get()));

  // e against OpenSSL's exponentiation.
  BN_CTX* ctx = BN_CTX_new();
  BIGNUM *p = BN_get_rfc2409_prime_1024(nullptr), *g = BN_new(), *x = nullptr, *e = BN_new();
  BN_set_word(g, 2);
  BN_hex2bn(&x, Hex(a->x).c_str());
  BN_mod_exp(e, g, x, p, ctx);
  EXPECT_EQ(BnHex(e), [&] { std::string h = Hex(ea); for (auto& c : h) c = static_cast<char>(tolower(c)); return h; }());
  BN_free(p), BN_free(g), BN_free(x), BN_free(e), BN_CTX_free(ctx);
}

TEST(Dh, MaskedDrawRepeatsUntilXIsInRange) {
  Dh s(DhNewFixedGroup(&SshKexDhGroup1));
  // Draws of 128 value bytes: zero, one, all ones (= qmask, above q), then a valid one.
  Script r;
  r.bytes.assign(128, 0);
  std::vector<uint8_t> one(128, 0);
  one[127] = 1;
  r.bytes.insert(r.bytes.end(), one.begin(), one.end());
  r.bytes.insert(r.bytes.end(), 128, 0xFF);
  std::vector<uint8_t> good(128, 0x5A);
  good[0] = 0x12;
  r.bytes.insert(r.bytes.end(), good.begin(), good.end());
  ASSERT_TRUE(sshdh::MakeE(s.get(), 0, Script::Next, &r));
  EXPECT_EQ(r.pos, r.bytes.size());
  Mp expect(MpFromBytes(good.data(), good.size()));
  EXPECT_EQ(MpCompare(s->x, expect.get()), 0);

  // n at the bit count of q (and beyond) takes the masked draw and ends.
  for (int n : {1023, 1024, 5000, -3}) {
    Script r2;
    ASSERT_TRUE(sshdh::MakeE(s.get(), n, Script::Next, &r2)) << n;
    EXPECT_LT(MpCompare(s->x, s->q), 0);
    EXPECT_GT(MpCompare(s->x, MpOne), 0);
  }
  // One below: the power-of-two branch, x has exactly bits(q) bits and is below q.
  Script r3;
  ASSERT_TRUE(sshdh::MakeE(s.get(), 1022, Script::Next, &r3));
  EXPECT_EQ(MpBitCount(s->x), 1023);
  EXPECT_LT(MpCompare(s->x, s->q), 0);
}

TEST(Dh, ServerValueFOutsideTheGroupIsRefused) {
  Dh s(DhNewFixedGroup(&SshKexDhGroup1));
  Mp two = FromHex("2");
  EXPECT_EQ(DhComputeK(s.get(), two.get()), nullptr);  // no x drawn yet
  Script r;
  ASSERT_TRUE(sshdh::MakeE(s.get(), 160, Script::Next, &r));
  Mp pm1(MpCopy(s->p));
  MpDecrement(pm1.get());
  Mp pp1(MpMulAdd(s->p, MpOne, MpOne));
  Mp zero(MpFromBytes(nullptr, 0));
  for (MpConstInt f : std::initializer_list<MpConstInt>{zero.get(), MpOne, pm1.get(), static_cast<MpConstInt>(s->p), pp1.get()})
    EXPECT_EQ(DhComputeK(s.get(), f), nullptr) << Hex(f);
  Mp k(DhComputeK(s.get(), two.get()));
  ASSERT_TRUE(k);
  EXPECT_EQ(MpCompare(k.get(), s->e), 0);  // 2^x with g = 2
}

TEST(Dh, GroupExchangeLimits) {
  Mp p14(MpFromBytes(SshKexDhGroup14.prime, SshKexDhGroup14.prime_length));
  Mp two = FromHex("2");
  Dh ok(DhNewGroup(p14.get(), two.get()));
  ASSERT_TRUE(ok);
  EXPECT_EQ(MpBitCount(ok->q), 2047);

  Mp even(MpCopy(p14.get()));
  MpDecrement(even.get());
  Mp five = FromHex("5");
  Mp bits600(MpPowerOfTwo(599)), bits9000(MpPowerOfTwo(8999)), bits8192(MpPowerOfTwo(8191));
  MpSetBit(bits600.get(), 0, 1);
  MpSetBit(bits9000.get(), 0, 1);
  MpSetBit(bits8192.get(), 0, 1);
  Mp zero(MpFromBytes(nullptr, 0));
  for (MpConstInt p : std::initializer_list<MpConstInt>{zero.get(), even.get(), five.get(), bits600.get(), bits9000.get()})
    EXPECT_EQ(DhNewGroup(p, two.get()), nullptr) << MpBitCount(p);
  Dh largest(DhNewGroup(bits8192.get(), two.get()));
  EXPECT_TRUE(largest);

  Mp pm1(MpCopy(p14.get()));
  MpDecrement(pm1.get());
  for (MpConstInt g : std::initializer_list<MpConstInt>{zero.get(), MpOne, pm1.get(), static_cast<MpConstInt>(p14.get())})
    EXPECT_EQ(DhNewGroup(p14.get(), g), nullptr) << Hex(g);
  EXPECT_EQ(DhNewGroup(nullptr, two.get()), nullptr);
}

}  // namespace
