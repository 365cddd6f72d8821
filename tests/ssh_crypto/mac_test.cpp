#include <gtest/gtest.h>

#include <cstring>
#include <string>

#include "oracle.h"
#include "ssh/crypto/ct_compare.h"
#include "ssh/crypto/hmac.h"
#include "ssh/crypto/mac.h"

using namespace cvssh::crypto;
using oracle::Bytes;
using oracle::FromHex;
using oracle::ToHex;

namespace {

Bytes Repeat(uint8_t v, size_t n) { return Bytes(n, v); }
Bytes Text(const std::string& s) { return Bytes(s.begin(), s.end()); }

template <class H>
std::string GenericHmac(const Bytes& key, const Bytes& data) {
  uint8_t out[H::kLength];
  HmacCompute<H>(key.data(), key.size(), data.data(), data.size(), out);
  return ToHex(out, H::kLength);
}

// RFC 2202 (MD5, SHA-1) and RFC 4231 (SHA-256, SHA-512) through the one generic core.
TEST(Hmac, RfcCases) {
  struct Case {
    Bytes key, data;
    const char *md5, *sha1, *sha256, *sha512;
  };
  const Bytes longKey131 = Repeat(0xaa, 131);
  const Case cases[] = {
      {Repeat(0x0b, 16), Text("Hi There"), "9294727a3638bb1c13f48ef8158bfc9d", nullptr, nullptr, nullptr},
      {Repeat(0x0b, 20), Text("Hi There"), nullptr, "b617318655057264e28bc0b6fb378c8ef146be00",
       "b0344c61d8db38535ca8afceaf0bf12b881dc200c9833da726e9376c2e32cff7",
       "87aa7cdea5ef619d4ff0b4241a1d6cb02379f4e2ce4ec2787ad0b30545e17cdedaa833b7d6b8a702038b274eaea3f4e4be9d914eeb61f1"
       "702e696c203a126854"},
      {Text("Jefe"), Text("what do ya want for nothing?"), "750c783e6ab0b503eaa86e310a5db738",
       "effcdf6ae5eb2fa2d27416d5f184df9c259a7c79", "5bdcc146bf60754e6a042426089575c75a003f089d2739839dec58b964ec3843",
       nullptr},
      {Repeat(0xaa, 80), Text("Test Using Larger Than Block-Size Key - Hash Key First"),
       "6b1ab7fe4bd7bf8f0b62e6ce61b9d0cd", "aa4ae5e15272d00e95705637ce8a3b55ed402112", nullptr, nullptr},
      {longKey131, Text("Test Using Larger Than Block-Size Key - Hash Key First"), nullptr, nullptr,
       "60e431591ee0b67f0d8a26aacbf5b77f8e0bc6213728c5140546040f0ee37f54",
       "80b24263c7c1a3ebb71493c1dd7be8b49b46d1f41b4aeec1121b013783f8f3526b56d037e05f2598bd0fd2215d6a1e5295e64f73f63f0a"
       "ec8b915a985d786598"},
  };
  for (const Case& c : cases) {
    if (c.md5) {
      EXPECT_EQ(GenericHmac<Md5Traits>(c.key, c.data), c.md5);
    }
    if (c.sha1) {
      EXPECT_EQ(GenericHmac<Sha1Traits>(c.key, c.data), c.sha1);
    }
    if (c.sha256) {
      EXPECT_EQ(GenericHmac<Sha256Traits>(c.key, c.data), c.sha256);
    }
    if (c.sha512) {
      EXPECT_EQ(GenericHmac<Sha512Traits>(c.key, c.data), c.sha512);
    }
  }
}

struct MacRow {
  const SshMacDesc* desc;
  const char* sshName;
  const char* display;
  const char* oracleDigest;
  size_t keyBytes;
  uint32_t macLength;
};

const MacRow kMacs[] = {
    {&HmacSha256MacDesc, "hmac-sha2-256", "HMAC-SHA-256", "SHA256", 32, 32},
    {&HmacSha1MacDesc, "hmac-sha1", "HMAC-SHA1", "SHA1", 20, 20},
    {&HmacSha1_96MacDesc, "hmac-sha1-96", "HMAC-SHA1-96", "SHA1", 20, 12},
    {&HmacMd5MacDesc, "hmac-md5", "HMAC-MD5", "MD5", 16, 16},
    {&HmacSha1BugMacDesc, "hmac-sha1", "bug-compatible HMAC-SHA1", "SHA1", 16, 20},
    {&HmacSha1_96BugMacDesc, "hmac-sha1-96", "bug-compatible HMAC-SHA1-96", "SHA1", 16, 12},
};

TEST(SshMac, DescriptorConstantsAndLists) {
  for (const MacRow& r : kMacs) {
    EXPECT_STREQ(r.desc->ssh_name, r.sshName);
    EXPECT_STREQ(r.desc->display_name, r.display);
    EXPECT_EQ(r.desc->mac_length, r.macLength);
  }
  const SshMacDesc* normal[] = {&HmacSha256MacDesc, &HmacSha1MacDesc, &HmacSha1_96MacDesc, &HmacMd5MacDesc};
  ASSERT_EQ(SshMacListCount, 4u);
  for (uint32_t i = 0; i < 4; ++i) EXPECT_EQ(SshMacList[i], normal[i]);
  const SshMacDesc* compat[] = {&HmacSha1BugMacDesc, &HmacSha1_96BugMacDesc, &HmacMd5MacDesc};
  ASSERT_EQ(SshMacListCompatCount, 3u);
  for (uint32_t i = 0; i < 3; ++i) EXPECT_EQ(SshMacListCompat[i], compat[i]);
}

// Each MAC equals HMAC(key[0..keyBytes), seq big-endian || packet), cut to mac_length;
// exactly mac_length bytes are written (a canary after them survives), and verify
// rejects any change of packet, MAC or sequence number.
TEST(SshMac, SignMatchesOracleAndVerifyRejectsChanges) {
  std::mt19937 rng(11);
  const Bytes derivedKey = oracle::Random(rng, 64);
  for (const MacRow& r : kMacs) {
    for (uint32_t seq : {0u, 1u, 0x01020304u, 0xFFFFFFFFu}) {
      for (size_t len : {size_t(0), size_t(5), size_t(64), size_t(1000)}) {
        SCOPED_TRACE(std::string(r.display) + " seq " + std::to_string(seq) + " len " + std::to_string(len));
        Bytes packet = oracle::Random(rng, len);
        Bytes buf = packet;
        buf.resize(len + r.macLength + 1, 0xC5);
        void* ctx = r.desc->create();
        r.desc->set_key(ctx, derivedKey.data());
        r.desc->sign(ctx, buf.data(), uint32_t(len), seq);
        EXPECT_EQ(buf[len + r.macLength], 0xC5) << "wrote past the MAC";

        Bytes withSeq = {uint8_t(seq >> 24), uint8_t(seq >> 16), uint8_t(seq >> 8), uint8_t(seq)};
        withSeq.insert(withSeq.end(), packet.begin(), packet.end());
        Bytes want = oracle::Hmac(r.oracleDigest, Bytes(derivedKey.begin(), derivedKey.begin() + long(r.keyBytes)),
                                  withSeq);
        want.resize(r.macLength);
        EXPECT_EQ(ToHex(buf.data() + len, r.macLength), ToHex(want));

        EXPECT_EQ(r.desc->verify(ctx, buf.data(), uint32_t(len), seq), 1);
        buf[len + r.macLength] ^= 0xFF;  // the byte after the MAC is not read
        EXPECT_EQ(r.desc->verify(ctx, buf.data(), uint32_t(len), seq), 1);
        EXPECT_EQ(r.desc->verify(ctx, buf.data(), uint32_t(len), seq + 1), 0);
        buf[len + r.macLength - 1] ^= 1;
        EXPECT_EQ(r.desc->verify(ctx, buf.data(), uint32_t(len), seq), 0);
        buf[len + r.macLength - 1] ^= 1;
        if (len > 0) {
          buf[len / 2] ^= 0x80;
          EXPECT_EQ(r.desc->verify(ctx, buf.data(), uint32_t(len), seq), 0);
        }
        r.desc->destroy(ctx);
      }
    }
  }
}

// The 16-byte-keyed forms differ from the standard ones unless bytes 17 to 20 are zero.
TEST(SshMac, BugCompatibleKeyingUsesSixteenBytes) {
  auto mac = [](const SshMacDesc& d, const Bytes& key) {
    uint8_t buf[8 + 20] = {1, 2, 3, 4, 5, 6, 7, 8};
    void* ctx = d.create();
    d.set_key(ctx, key.data());
    d.sign(ctx, buf, 8, 42);
    d.destroy(ctx);
    return ToHex(buf + 8, d.mac_length);
  };
  Bytes key(20, 0x5A);
  EXPECT_NE(mac(HmacSha1MacDesc, key), mac(HmacSha1BugMacDesc, key));
  EXPECT_NE(mac(HmacSha1_96MacDesc, key), mac(HmacSha1_96BugMacDesc, key));
  std::fill(key.begin() + 16, key.end(), 0);
  EXPECT_EQ(mac(HmacSha1MacDesc, key), mac(HmacSha1BugMacDesc, key));
  EXPECT_EQ(mac(HmacSha1_96MacDesc, key), mac(HmacSha1_96BugMacDesc, key));
}

TEST(HmacMd5, PlainDataAndKeyCutAtSixtyFourBytes) {
  HmacMd5Context* ctx = HmacMd5Create();
  const Bytes jefe = Text("Jefe");
  const Bytes msg = Text("what do ya want for nothing?");
  uint8_t out[16];
  HmacMd5SetKey(ctx, jefe.data(), jefe.size());
  HmacMd5Compute(ctx, msg.data(), msg.size(), out);
  EXPECT_EQ(ToHex(out, 16), "750c783e6ab0b503eaa86e310a5db738");

  std::mt19937 rng(5);
  Bytes key70 = oracle::Random(rng, 70);
  uint8_t out64[16], out70[16];
  HmacMd5SetKey(ctx, key70.data(), 64);
  HmacMd5Compute(ctx, msg.data(), msg.size(), out64);
  HmacMd5SetKey(ctx, key70.data(), 70);
  HmacMd5Compute(ctx, msg.data(), msg.size(), out70);
  EXPECT_EQ(ToHex(out64, 16), ToHex(out70, 16));
  EXPECT_EQ(ToHex(out64, 16), ToHex(oracle::Hmac("MD5", Bytes(key70.begin(), key70.begin() + 64), msg)));
  HmacMd5Free(ctx);
}

TEST(ConstTimeEqual, ComparesEveryByte) {
  const uint8_t a[5] = {1, 2, 3, 4, 5};
  uint8_t b[5] = {1, 2, 3, 4, 5};
  EXPECT_EQ(SshConstTimeEqual(a, b, 5), 1);
  EXPECT_EQ(SshConstTimeEqual(a, b, 0), 1);
  for (int i = 0; i < 5; ++i) {
    for (uint8_t bit = 1; bit != 0; bit = uint8_t(bit << 1)) {
      b[i] ^= bit;
      EXPECT_EQ(SshConstTimeEqual(a, b, 5), 0);
      b[i] ^= bit;
    }
  }
}

}  // namespace
