// Number forms, bit access and the edge cases of the multiprecision operations.
#include <gtest/gtest.h>

#include <vector>

#include "ssh/crypto/mpint.h"
#include "test_util.h"

using pktest::FromHex;
using pktest::Hex;
using pktest::Mp;

namespace {

TEST(MpForms, FromBytesTrimsAndAcceptsNothing) {
  const uint8_t lead[] = {0, 0, 0, 0x12, 0x34, 0x56};
  Mp a(MpFromBytes(lead, sizeof lead));
  EXPECT_EQ(a.get()[0], 2);
  EXPECT_EQ(Hex(a.get()), "123456");
  Mp zeros(MpFromBytes(lead, 3));
  EXPECT_EQ(zeros.get()[0], 1);
  Mp none(MpFromBytes(nullptr, 0));
  EXPECT_EQ(none.get()[0], 0);
  EXPECT_EQ(MpCompare(none.get(), MpZero), 0);
  EXPECT_EQ(MpCompare(none.get(), zeros.get()), 0);
}

TEST(MpForms, FromBytesRefusesAbove16384Bytes) {
  std::vector<uint8_t> big(16385, 0xFF);
  EXPECT_EQ(MpFromBytes(big.data(), big.size()), nullptr);
  Mp max(MpFromBytes(big.data(), 16384));
  ASSERT_TRUE(max);
  EXPECT_EQ(MpBitCount(max.get()), 16384 * 8);
}

TEST(MpForms, Ssh1RoundTripAndTruncation) {
  for (const char* hex : {"0", "1", "ff", "100", "8000", "123456789abcdef0123"}) {
    Mp a = FromHex(hex);
    uint8_t buf[64];
    int n = MpWriteSsh1(buf, a.get());
    EXPECT_EQ(n, MpSsh1Length(a.get()));
    MpInt back = nullptr;
    EXPECT_EQ(MpReadSsh1(buf, n, nullptr), n);
    EXPECT_EQ(MpReadSsh1(buf, n, &back), n);
    Mp owned(back);
    EXPECT_EQ(MpCompare(owned.get(), a.get()), 0) << hex;
    EXPECT_EQ(MpReadSsh1(buf, n - 1, nullptr), -1) << hex;
  }
  const uint8_t zero_bits[] = {0, 0};
  MpInt z = nullptr;
  EXPECT_EQ(MpReadSsh1(zero_bits, 2, &z), 2);
  EXPECT_EQ(MpBitCount(z), 0);
  MpFree(z);
  EXPECT_EQ(MpReadSsh1(zero_bits, 1, nullptr), -1);
  const uint8_t cut[] = {0, 9, 0x01};  // 9 bits need two value bytes
  EXPECT_EQ(MpReadSsh1(cut, 3, nullptr), -1);
}

TEST(MpForms, Ssh2LengthCountsTheSignByte) {
  struct {
    const char* hex;
    int length;
    const char* form;
  } cases[] = {{"0", 5, "0000000100"},
               {"7f", 5, "000000017f"},
               {"80", 6, "000000020080"},
               {"ff00", 7, "0000000300ff00"},
               {"7fff", 6, "000000027fff"}};
  for (auto& c : cases) {
    Mp a = FromHex(c.hex);
    EXPECT_EQ(MpSsh2Length(a.get()), c.length) << c.hex;
    uint8_t buf[16];
    ASSERT_EQ(MpWriteSsh2(buf, a.get()), c.length);
    EXPECT_EQ(pktest::HexBytes(buf, c.length), c.form);
  }
}

TEST(MpForms, ByteBitAndCompare) {
  Mp a = FromHex("0102a3");
  EXPECT_EQ(MpByte(a.get(), 0), 0xa3);
  EXPECT_EQ(MpByte(a.get(), 2), 0x01);
  EXPECT_EQ(MpByte(a.get(), 3), 0);  // inside the last limb
  EXPECT_EQ(MpByte(a.get(), 4), 0);
  EXPECT_EQ(MpByte(a.get(), -1), 0);
  EXPECT_EQ(MpByte(a.get(), 1 << 30), 0);
  EXPECT_EQ(MpBitCount(a.get()), 17);
  MpSetBit(a.get(), 31, 1);
  EXPECT_EQ(Hex(a.get()), "800102a3");
  MpSetBit(a.get(), 0, 0);
  MpSetBit(a.get(), 32, 1);  // outside the limbs: ignored
  EXPECT_EQ(Hex(a.get()), "800102a2");

  Mp wide(MpNew(4));
  wide.get()[1] = 7;
  Mp seven = FromHex("7");
  EXPECT_EQ(MpCompare(wide.get(), seven.get()), 0);
  EXPECT_EQ(MpCompare(seven.get(), a.get()), -1);
  EXPECT_EQ(MpCompare(a.get(), seven.get()), 1);
}

TEST(MpForms, SmallOperations) {
  Mp p(MpPowerOfTwo(33));
  EXPECT_EQ(p.get()[0], 3);
  EXPECT_EQ(Hex(p.get()), "200000000");
  Mp m(MpBitMask(p.get()));
  EXPECT_EQ(m.get()[0], 3);
  EXPECT_EQ(Hex(m.get()), "3ffffffff");
  Mp d = FromHex("10000");
  MpDecrement(d.get());
  EXPECT_EQ(Hex(d.get()), "ffff");
  Mp prime = FromHex("fffffffb");  // odd prime: shifts to (p-1)/2
  Mp half(MpShiftRightOne(prime.get()));
  EXPECT_EQ(Hex(half.get()), "7ffffffd");
  Mp one(MpShiftRightOne(MpOne));
  EXPECT_EQ(one.get()[0], 0);

  Mp z(MpMulAdd(MpZero, p.get(), nullptr));
  EXPECT_EQ(z.get()[0], 0);  // a zero result has no limbs
  MpFree(MpOne);             // constants survive
  EXPECT_EQ(MpOne[1], 1);
}

TEST(MpForms, ModPowEdges) {
  Mp m = FromHex("c5");
  Mp b = FromHex("1234");
  Mp r(MpModPow(b.get(), MpZero, m.get()));
  EXPECT_EQ(Hex(r.get()), "1");
  Mp r2(MpModPow(m.get(), b.get(), m.get()));
  EXPECT_EQ(Hex(r2.get()), "0");
  // Modulus 1 gives 0; modulus 0 has no result.
  Mp r3(MpModPow(b.get(), b.get(), MpOne));
  EXPECT_EQ(Hex(r3.get()), "0");
  EXPECT_EQ(MpModPow(b.get(), b.get(), MpZero), nullptr);
  Mp zero = FromHex("00");
  EXPECT_EQ(MpModPow(b.get(), b.get(), zero.get()), nullptr);
  EXPECT_EQ(MpModMul(b.get(), b.get(), zero.get()), nullptr);
  EXPECT_EQ(MpMod(b.get(), zero.get()), nullptr);
}

TEST(MpForms, ModInverseFailsCleanly) {
  struct {
    const char* a;
    const char* m;
    const char* inverse;
  } cases[] = {{"3", "7", "5"}, {"6", "9", "-"}, {"0", "7", "-"}, {"7", "7", "-"},
               {"5", "1", "-"}, {"5", "0", "-"}, {"a", "11", "c"}, {"e", "7", "-"}};
  for (auto& c : cases) {
    Mp a = FromHex(c.a), m = FromHex(c.m);
    Mp r(MpModInverse(a.get(), m.get()));
    EXPECT_EQ(Hex(r.get()), c.inverse) << c.a << " mod " << c.m;
  }
}

}  // namespace
