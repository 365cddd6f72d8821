#include <gtest/gtest.h>

#include <cstring>
#include <string>

#include "oracle.h"
#include "ssh/crypto/cpu_features.h"
#include "ssh/crypto/hash.h"

using oracle::Bytes;
using oracle::ToHex;

namespace {

struct Ours {
  const char* oracleName;
  size_t length;
  void (*digest)(const Bytes& in, uint8_t* out);  // in pieces, to exercise the buffering
};

template <class S, void (*Begin)(S*), void (*Append)(S*, const void*, size_t), void (*End)(S*, uint8_t*)>
void Pieces(const Bytes& in, uint8_t* out) {
  S s;
  Begin(&s);
  size_t pos = 0, step = 1;
  while (pos < in.size()) {
    const size_t n = std::min(step, in.size() - pos);
    Append(&s, in.data() + pos, n);
    pos += n;
    step = step * 3 + 1;  // 1, 4, 13, 40, 121 ... crosses every block boundary kind
  }
  End(&s, out);
}

void Sha1End_(Sha1State* s, uint8_t* o) { Sha1End(s, o); }
void Sha256End_(Sha256State* s, uint8_t* o) { Sha256End(s, o); }
void Sha512End_(Sha512State* s, uint8_t* o) { Sha512End(s, o); }

const Ours kDigests[] = {
    {"SHA1", 20, Pieces<Sha1State, Sha1Begin, Sha1Append, Sha1End_>},
    {"SHA256", 32, Pieces<Sha256State, Sha256Begin, Sha256Append, Sha256End_>},
    {"SHA512", 64, Pieces<Sha512State, Sha512Begin, Sha512Append, Sha512End_>},
};

class BothPaths : public ::testing::TestWithParam<bool> {
 protected:
  void SetUp() override { cvssh::crypto::ForcePortableCrypto(GetParam()); }
  void TearDown() override { cvssh::crypto::ForcePortableCrypto(false); }
};

// FIPS 180 examples.
TEST_P(BothPaths, KnownAnswers) {
  struct Case {
    const char* in;
    size_t repeat;
    const char* sha1;
    const char* sha256;
    const char* sha512;
  } cases[] = {
      {"", 1, "da39a3ee5e6b4b0d3255bfef95601890afd80709",
       "e3b0c44298fc1c149afbf4c8996fb92427ae41e4649b934ca495991b7852b855",
       "cf83e1357eefb8bdf1542850d66d8007d620e4050b5715dc83f4a921d36ce9ce47d0d13c5d85f2b0ff8318d2877eec2f63b931bd4741"
       "7a81a538327af927da3e"},
      {"abc", 1, "a9993e364706816aba3e25717850c26c9cd0d89d",
       "ba7816bf8f01cfea414140de5dae2223b00361a396177a9cb410ff61f20015ad",
       "ddaf35a193617abacc417349ae20413112e6fa4e89a97ea20a9eeee64b55d39a2192992a274fc1a836ba3c23a3feebbd454d4423643c"
       "e80e2a9ac94fa54ca49f"},
      {"abcdbcdecdefdefgefghfghighijhijkijkljklmklmnlmnomnopnopq", 1, "84983e441c3bd26ebaae4aa1f95129e5e54670f1",
       "248d6a61d20638b8e5c026930c3e6039a33ce45964ff2167f6ecedd419db06c1", nullptr},
      {"abcdefghbcdefghicdefghijdefghijkefghijklfghijklmghijklmnhijklmnoijklmnopjklmnopqklmnopqrlmnopqrsmnopqrstnopq"
       "rstu",
       1, nullptr, nullptr,
       "8e959b75dae313da8cf4f72814fc143f8f7779c6eb9f7fa17299aeadb6889018501d289e4900f7e4331b99dec4b5433ac7d329eeb6dd"
       "26545e96e55b874be909"},
      {"a", 1000000, "34aa973cd4c4daa4f61eeb2bdbad27316534016f",
       "cdc76e5c9914fb9281a1c7e284d73e67f1809a48a497200e046d39ccc7112cd0",
       "e718483d0ce769644e2e42c7bc15b4638e1f98b13b2044285632a803afa973ebde0ff244877ea60a4cb0432ce577c31beb009c5c2c49"
       "aa2e4eadb217ad8cc09b"},
  };
  for (const Case& c : cases) {
    std::string in;
    for (size_t i = 0; i < c.repeat; ++i) in += c.in;
    const Bytes b(in.begin(), in.end());
    const char* want[3] = {c.sha1, c.sha256, c.sha512};
    for (int d = 0; d < 3; ++d) {
      if (!want[d]) continue;
      uint8_t out[64];
      kDigests[d].digest(b, out);
      EXPECT_EQ(ToHex(out, kDigests[d].length), want[d]) << kDigests[d].oracleName << " of " << c.in;
    }
  }
}

// Every length around the padding boundaries (55, 56, 63, 64 and 111, 112, 127, 128 among
// them) and a few multi-block lengths, against OpenSSL.
TEST_P(BothPaths, MatchesOracleAtEveryBoundaryLength) {
  std::mt19937 rng(7);
  for (size_t len = 0; len <= 300; ++len) {
    const Bytes in = oracle::Random(rng, len);
    for (const Ours& d : kDigests) {
      uint8_t out[64];
      d.digest(in, out);
      ASSERT_EQ(ToHex(out, d.length), ToHex(oracle::Digest(d.oracleName, in))) << d.oracleName << " len " << len;
    }
  }
}

TEST_P(BothPaths, Sha1CompressTakesWordsAndLeavesBlockAlone) {
  // One compression of the padded "abc" block gives the SHA-1 of "abc".
  uint32_t block[16] = {0x61626380u};
  block[15] = 24;
  uint32_t copy[16];
  std::memcpy(copy, block, sizeof block);
  uint32_t h[5] = {0x67452301u, 0xEFCDAB89u, 0x98BADCFEu, 0x10325476u, 0xC3D2E1F0u};
  Sha1Compress(h, block);
  EXPECT_EQ(h[0], 0xa9993e36u);
  EXPECT_EQ(h[4], 0x9cd0d89du);
  EXPECT_EQ(std::memcmp(copy, block, sizeof block), 0);
}

INSTANTIATE_TEST_SUITE_P(Hash, BothPaths, ::testing::Values(false, true),
                         [](const auto& info) { return info.param ? "Portable" : "Dispatched"; });

TEST(HashDesc, DescriptorsDigestThroughCreateUpdateFinish) {
  struct {
    const SshHashDesc* desc;
    const char* oracleName;
    uint32_t length;
    const char* display;
  } table[] = {{&Sha1HashDesc, "SHA1", 20, "SHA-1"}, {&Sha256HashDesc, "SHA256", 32, "SHA-256"}};
  std::mt19937 rng(3);
  const Bytes in = oracle::Random(rng, 1000);
  for (const auto& t : table) {
    EXPECT_EQ(t.desc->digest_length, t.length);
    EXPECT_STREQ(t.desc->display_name, t.display);
    void* s = t.desc->create();
    t.desc->update(s, in.data(), 300);
    t.desc->update(s, in.data() + 300, 700);
    uint8_t out[32];
    t.desc->finish(s, out);
    EXPECT_EQ(ToHex(out, t.length), ToHex(oracle::Digest(t.oracleName, in)));
  }
}

TEST(HashDesc, Md5DigestIsTheCoreMd5) {
  const Bytes abc = {'a', 'b', 'c'};
  uint8_t out[16];
  Md5Digest(abc.data(), abc.size(), out);
  EXPECT_EQ(ToHex(out, 16), "900150983cd24fb0d6963f7d28e17f72");
}

}  // namespace
