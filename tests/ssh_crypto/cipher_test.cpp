#include <gtest/gtest.h>

#include <functional>
#include <string>

#include "oracle.h"
#include "ssh/crypto/cipher.h"
#include "ssh/crypto/cpu_features.h"

using oracle::Bytes;
using oracle::FromHex;
using oracle::ToHex;

namespace {

// Runs a descriptor over data in pieces of `chunk` bytes (0: one call).
Bytes Crypt(const SshCipherDesc& d, const Bytes& key, const Bytes& iv, Bytes data, bool encrypt, size_t chunk = 0) {
  void* ctx = d.create();
  d.set_key(ctx, key.data());
  d.set_iv(ctx, iv.data());
  if (chunk == 0) chunk = data.size();
  for (size_t pos = 0; pos < data.size(); pos += chunk) {
    const uint32_t n = uint32_t(std::min(chunk, data.size() - pos));
    (encrypt ? d.encrypt : d.decrypt)(ctx, data.data() + pos, n);
  }
  d.destroy(ctx);
  return data;
}

Bytes Xor(Bytes a, const Bytes& b) {
  for (size_t i = 0; i < a.size(); ++i) a[i] ^= b[i];
  return a;
}

// Keystream of a counter mode built from an ECB oracle: E(ctr), E(ctr+1), ...
Bytes EcbCounterStream(const char* ecb, const Bytes& key, Bytes ctr, size_t len) {
  Bytes blocks;
  while (blocks.size() < len) {
    blocks.insert(blocks.end(), ctr.begin(), ctr.end());
    for (size_t i = ctr.size(); i-- > 0 && ++ctr[i] == 0;) {
    }
  }
  return oracle::Cipher(ecb, key, {}, blocks, true);
}

Bytes Rc4Stream(const Bytes& key, size_t skip, size_t len) {
  Bytes s = oracle::Cipher("RC4", key, {}, Bytes(skip + len, 0), true);
  return Bytes(s.begin() + long(skip), s.end());
}

struct Row {
  const SshCipherDesc* desc;
  const char* name;
  uint32_t family, block, keyBits, keyBytes, flags;
  const char* display;
  // The expected encryption of data under key and iv, from OpenSSL.
  std::function<Bytes(const Bytes& key, const Bytes& iv, const Bytes& data)> oracle;
};

auto Evp(const char* name) {
  return [name](const Bytes& k, const Bytes& iv, const Bytes& d) { return oracle::Cipher(name, k, iv, d, true); };
}
auto Ctr(const char* ecb) {
  return [ecb](const Bytes& k, const Bytes& iv, const Bytes& d) { return Xor(d, EcbCounterStream(ecb, k, iv, d.size())); };
}
auto Rc4() {
  return [](const Bytes& k, const Bytes&, const Bytes& d) { return Xor(d, Rc4Stream(k, 1536, d.size())); };
}

const std::vector<Row>& Rows() {
  static const std::vector<Row> rows = {
      {&Aes256CtrCipherDesc, "aes256-ctr", 3, 16, 256, 32, 0, "AES-256 SDCTR", Evp("AES-256-CTR")},
      {&Aes256CbcCipherDesc, "aes256-cbc", 3, 16, 256, 32, 1, "AES-256 CBC", Evp("AES-256-CBC")},
      {&Aes256CbcAliasCipherDesc, "rijndael-cbc@corvanetics.com", 3, 16, 256, 32, 1, "AES-256 CBC",
       Evp("AES-256-CBC")},
      {&Aes192CtrCipherDesc, "aes192-ctr", 3, 16, 192, 24, 0, "AES-192 SDCTR", Evp("AES-192-CTR")},
      {&Aes192CbcCipherDesc, "aes192-cbc", 3, 16, 192, 24, 1, "AES-192 CBC", Evp("AES-192-CBC")},
      {&Aes128CtrCipherDesc, "aes128-ctr", 3, 16, 128, 16, 0, "AES-128 SDCTR", Evp("AES-128-CTR")},
      {&Aes128CbcCipherDesc, "aes128-cbc", 3, 16, 128, 16, 1, "AES-128 CBC", Evp("AES-128-CBC")},
      {&Des3CtrCipherDesc, "3des-ctr", 1, 8, 168, 24, 0, "triple-DES SDCTR", Ctr("DES-EDE3-ECB")},
      {&Des3CbcCipherDesc, "3des-cbc", 1, 8, 168, 24, 1, "triple-DES CBC", Evp("DES-EDE3-CBC")},
      {&BlowfishCtrCipherDesc, "blowfish-ctr", 2, 8, 256, 32, 0, "Blowfish-256 SDCTR", Ctr("BF-ECB")},
      {&BlowfishCbcCipherDesc, "blowfish-cbc", 2, 8, 128, 16, 1, "Blowfish-128 CBC", Evp("BF-CBC")},
      {&DesCbcCipherDesc, "des-cbc", 4, 8, 56, 8, 1, "single-DES CBC", Evp("DES-CBC")},
      {&DesCbcAliasCipherDesc, "des-cbc@corvanetics.com", 4, 8, 56, 8, 1, "single-DES CBC", Evp("DES-CBC")},
      {&Arcfour256CipherDesc, "arcfour256", 5, 1, 256, 32, 0, "Arcfour-256", Rc4()},
      {&Arcfour128CipherDesc, "arcfour128", 5, 1, 128, 16, 0, "Arcfour-128", Rc4()},
  };
  return rows;
}

TEST(CipherDesc, ConstantsAndFamilyLists) {
  for (const Row& r : Rows()) {
    SCOPED_TRACE(r.name);
    EXPECT_STREQ(r.desc->ssh_name, r.name);
    EXPECT_EQ(r.desc->family, r.family);
    EXPECT_EQ(r.desc->block_size, r.block);
    EXPECT_EQ(r.desc->key_bits, r.keyBits);
    EXPECT_EQ(r.desc->flags, r.flags);
    EXPECT_STREQ(r.desc->display_name, r.display);
  }
  const std::vector<std::vector<std::string>> lists = {
      {},
      {"3des-ctr", "3des-cbc"},
      {"blowfish-ctr", "blowfish-cbc"},
      {"aes256-ctr", "aes256-cbc", "rijndael-cbc@corvanetics.com", "aes192-ctr", "aes192-cbc", "aes128-ctr",
       "aes128-cbc"},
      {"des-cbc", "des-cbc@corvanetics.com"},
      {"arcfour256", "arcfour128"},
  };
  for (uint32_t f = 1; f <= 5; ++f) {
    const SshCipherList* l = SshCipherListForFamily(f);
    ASSERT_NE(l, nullptr);
    ASSERT_EQ(l->count, lists[f].size());
    for (uint32_t i = 0; i < l->count; ++i) {
      EXPECT_EQ(l->ciphers[i]->ssh_name, lists[f][i]);
      EXPECT_EQ(l->ciphers[i]->family, f);
    }
  }
  EXPECT_EQ(SshCipherListForFamily(0), nullptr);
  EXPECT_EQ(SshCipherListForFamily(6), nullptr);
}

class CipherBothPaths : public ::testing::TestWithParam<bool> {
 protected:
  void SetUp() override { cvssh::crypto::ForcePortableCrypto(GetParam()); }
  void TearDown() override { cvssh::crypto::ForcePortableCrypto(false); }
};

// Against OpenSSL on random keys, IVs and data; one call and many calls of whole blocks
// give the same result (the CBC chain and the counter carry over); decryption inverts.
TEST_P(CipherBothPaths, EveryDescriptorMatchesOracle) {
  std::mt19937 rng(99);
  for (const Row& r : Rows()) {
    SCOPED_TRACE(r.name);
    for (int round = 0; round < 4; ++round) {
      const Bytes key = oracle::Random(rng, r.keyBytes);
      Bytes iv = oracle::Random(rng, r.block);
      if (round == 3) std::fill(iv.begin(), iv.end(), 0xFF);  // counter wrap at full width
      const Bytes data = oracle::Random(rng, size_t(r.block) * (round == 0 ? 1 : 37 + 16 * round));
      const Bytes want = r.oracle(key, iv, data);
      const Bytes once = Crypt(*r.desc, key, iv, data, true);
      ASSERT_EQ(ToHex(once), ToHex(want));
      EXPECT_EQ(Crypt(*r.desc, key, iv, data, true, r.block), once);
      EXPECT_EQ(Crypt(*r.desc, key, iv, data, true, r.block * 3), once);
      EXPECT_EQ(Crypt(*r.desc, key, iv, once, false), data);
      EXPECT_EQ(Crypt(*r.desc, key, iv, once, false, r.block * 5), data);
    }
  }
}

// Published vectors: FIPS 197, SP 800-38A (first block of CBC and CTR for each key
// size), FIPS 81 DES CBC, the Blowfish reference set.
TEST_P(CipherBothPaths, KnownAnswers) {
  struct Kat {
    const SshCipherDesc* desc;
    const char *key, *iv, *plain, *cipher;
  } kats[] = {
      {&Aes128CbcCipherDesc, "000102030405060708090a0b0c0d0e0f", "00000000000000000000000000000000",
       "00112233445566778899aabbccddeeff", "69c4e0d86a7b0430d8cdb78070b4c55a"},
      {&Aes192CbcCipherDesc, "000102030405060708090a0b0c0d0e0f1011121314151617", "00000000000000000000000000000000",
       "00112233445566778899aabbccddeeff", "dda97ca4864cdfe06eaf70a0ec0d7191"},
      {&Aes256CbcCipherDesc, "000102030405060708090a0b0c0d0e0f101112131415161718191a1b1c1d1e1f",
       "00000000000000000000000000000000", "00112233445566778899aabbccddeeff", "8ea2b7ca516745bfeafc49904b496089"},
      {&Aes128CbcCipherDesc, "2b7e151628aed2a6abf7158809cf4f3c", "000102030405060708090a0b0c0d0e0f",
       "6bc1bee22e409f96e93d7e117393172a", "7649abac8119b246cee98e9b12e9197d"},
      {&Aes192CbcCipherDesc, "8e73b0f7da0e6452c810f32b809079e562f8ead2522c6b7b", "000102030405060708090a0b0c0d0e0f",
       "6bc1bee22e409f96e93d7e117393172a", "4f021db243bc633d7178183a9fa071e8"},
      {&Aes256CbcCipherDesc, "603deb1015ca71be2b73aef0857d77811f352c073b6108d72d9810a30914dff4",
       "000102030405060708090a0b0c0d0e0f", "6bc1bee22e409f96e93d7e117393172a", "f58c4c04d6e5f1ba779eabfb5f7bfbd6"},
      {&Aes128CtrCipherDesc, "2b7e151628aed2a6abf7158809cf4f3c", "f0f1f2f3f4f5f6f7f8f9fafbfcfdfeff",
       "6bc1bee22e409f96e93d7e117393172a", "874d6191b620e3261bef6864990db6ce"},
      {&Aes192CtrCipherDesc, "8e73b0f7da0e6452c810f32b809079e562f8ead2522c6b7b", "f0f1f2f3f4f5f6f7f8f9fafbfcfdfeff",
       "6bc1bee22e409f96e93d7e117393172a", "1abc932417521ca24f2b0459fe7e6e0b"},
      {&Aes256CtrCipherDesc, "603deb1015ca71be2b73aef0857d77811f352c073b6108d72d9810a30914dff4",
       "f0f1f2f3f4f5f6f7f8f9fafbfcfdfeff", "6bc1bee22e409f96e93d7e117393172a", "601ec313775789a5b7a7f504bbf3d228"},
      {&DesCbcCipherDesc, "0123456789abcdef", "1234567890abcdef",
       "4e6f77206973207468652074696d6520666f7220616c6c20",  // "Now is the time for all "
       "e5c7cdde872bf27c43e934008c389c0f683788499a7c05f6"},
      {&BlowfishCbcCipherDesc, "00000000000000000000000000000000", "0000000000000000", "0000000000000000",
       "4ef997456198dd78"},
      {&BlowfishCbcCipherDesc, "ffffffffffffffffffffffffffffffff", "0000000000000000", "ffffffffffffffff",
       "51866fd5b85ecb8a"},
  };
  for (const Kat& k : kats) {
    SCOPED_TRACE(std::string(k.desc->ssh_name) + " key " + k.key);
    EXPECT_EQ(ToHex(Crypt(*k.desc, FromHex(k.key), FromHex(k.iv), FromHex(k.plain), true)), k.cipher);
  }
}

INSTANTIATE_TEST_SUITE_P(Cipher, CipherBothPaths, ::testing::Values(false, true),
                         [](const auto& info) { return info.param ? "Portable" : "Dispatched"; });

TEST(Cipher, CounterOfAllOnesWrapsToZero) {
  for (const SshCipherDesc* d : {&Aes128CtrCipherDesc, &Des3CtrCipherDesc, &BlowfishCtrCipherDesc}) {
    SCOPED_TRACE(d->ssh_name);
    const Bytes key(d->key_bits == 168 ? 24 : d->key_bits / 8, 0x42);
    const Bytes ones(d->block_size, 0xFF), zeros(d->block_size, 0);
    // Second block with the counter at all ones equals the first block with it at zero.
    const Bytes two = Crypt(*d, key, ones, Bytes(2 * d->block_size, 0), true);
    const Bytes first = Crypt(*d, key, zeros, zeros, true);
    EXPECT_EQ(Bytes(two.begin() + d->block_size, two.end()), first);
  }
}

TEST(Cipher, TripleDesWithThreeEqualKeysIsSingleDes) {
  std::mt19937 rng(1);
  const Bytes k = oracle::Random(rng, 8), iv = oracle::Random(rng, 8), data = oracle::Random(rng, 80);
  Bytes k3 = k;
  k3.insert(k3.end(), k.begin(), k.end());
  k3.insert(k3.end(), k.begin(), k.end());
  EXPECT_EQ(Crypt(Des3CbcCipherDesc, k3, iv, data, true), Crypt(DesCbcCipherDesc, k, iv, data, true));
}

TEST(Cipher, ArcfourStartsAtKeystreamByte1537) {
  // The 128-bit key of RFC 6229, whose tables list the keystream at offset 1536.
  const Bytes key = FromHex("0102030405060708090a0b0c0d0e0f10");
  const Bytes out = Crypt(Arcfour128CipherDesc, key, {}, Bytes(32, 0), true);
  EXPECT_EQ(ToHex(out), ToHex(Rc4Stream(key, 1536, 32)));
}

// ---- SSH-1 forms ----

Bytes DesCbc(const Bytes& key, const Bytes& data, bool encrypt) {
  return oracle::Cipher("DES-CBC", key, Bytes(8, 0), data, encrypt);
}

Bytes Run1(const Ssh1CipherDesc& d, const Bytes& sessionKey, const Bytes& data, bool encrypt, size_t chunk) {
  void* ctx = d.create();
  d.set_session_key(ctx, sessionKey.data());
  Bytes buf = data;
  for (size_t pos = 0; pos < buf.size(); pos += chunk)
    (encrypt ? d.encrypt : d.decrypt)(ctx, buf.data() + pos, uint32_t(std::min(chunk, buf.size() - pos)));
  d.destroy(ctx);
  return buf;
}

Bytes Slice(const Bytes& b, size_t from, size_t n) { return Bytes(b.begin() + long(from), b.begin() + long(from + n)); }

Bytes SwapWords(Bytes b) {
  for (size_t i = 0; i + 4 <= b.size(); i += 4) std::reverse(b.begin() + long(i), b.begin() + long(i + 4));
  return b;
}

TEST(Ssh1Cipher, FormsMatchOpenSslPasses) {
  std::mt19937 rng(21);
  const Bytes sk = oracle::Random(rng, 32);
  const Bytes data = oracle::Random(rng, 96);
  const Bytes k1 = Slice(sk, 0, 8), k2 = Slice(sk, 8, 8), k3 = Slice(sk, 16, 8);

  EXPECT_EQ(Ssh1Des3CipherDesc.family, 1u);
  EXPECT_STREQ(Ssh1Des3CipherDesc.display_name, "triple-DES inner-CBC");
  EXPECT_STREQ(Ssh1DesCipherDesc.display_name, "single-DES CBC");
  EXPECT_EQ(Ssh1DesCipherDesc.family, 4u);
  EXPECT_STREQ(Ssh1BlowfishCipherDesc.display_name, "Blowfish-128 CBC");
  EXPECT_EQ(Ssh1BlowfishCipherDesc.family, 2u);
  for (const auto* d : {&Ssh1Des3CipherDesc, &Ssh1DesCipherDesc, &Ssh1BlowfishCipherDesc}) EXPECT_EQ(d->block_size, 8u);

  // Inner CBC: three whole passes, each with its own chain; the chains carry across calls.
  const Bytes des3 = DesCbc(k3, DesCbc(k2, DesCbc(k1, data, true), false), true);
  EXPECT_EQ(Run1(Ssh1Des3CipherDesc, sk, data, true, 96), des3);
  EXPECT_EQ(Run1(Ssh1Des3CipherDesc, sk, data, true, 16), des3);
  EXPECT_EQ(Run1(Ssh1Des3CipherDesc, sk, des3, false, 24), data);

  const Bytes des = DesCbc(k1, data, true);
  EXPECT_EQ(Run1(Ssh1DesCipherDesc, sk, data, true, 8), des);
  EXPECT_EQ(Run1(Ssh1DesCipherDesc, sk, des, false, 96), data);

  // Blowfish with little-endian words: the big-endian cipher on byte-swapped words.
  const Bytes bf = SwapWords(oracle::Cipher("BF-CBC", sk, Bytes(8, 0), SwapWords(data), true));
  EXPECT_EQ(Run1(Ssh1BlowfishCipherDesc, sk, data, true, 40), bf);
  EXPECT_EQ(Run1(Ssh1BlowfishCipherDesc, sk, bf, false, 8), data);
}

TEST(Ssh1Cipher, KeyFileDecryptIsInnerCbcWithK3EqualK1) {
  std::mt19937 rng(22);
  const Bytes key = oracle::Random(rng, 16), plain = oracle::Random(rng, 64);
  const Bytes k1 = Slice(key, 0, 8), k2 = Slice(key, 8, 8);
  Bytes buf = DesCbc(k1, DesCbc(k2, DesCbc(k1, plain, true), false), true);
  Des3KeyFileDecrypt(key.data(), buf.data(), uint32_t(buf.size()));
  EXPECT_EQ(buf, plain);
}

TEST(Ssh1Cipher, XdmDecryptSpreadsFiftySixKeyBits) {
  std::mt19937 rng(23);
  const Bytes plain = oracle::Random(rng, 24);
  struct {
    const char* key7;
    const char* key8;
  } cases[] = {{"00000000000000", "0000000000000000"},
               {"ffffffffffffff", "fefefefefefefefe"},
               {"80000000000001", "8000000000000002"},
               {"0123456789abcd", "0090d0ac784cae9a"}};
  for (const auto& c : cases) {
    SCOPED_TRACE(c.key7);
    Bytes buf = DesCbc(FromHex(c.key8), plain, true);
    DesXdmDecrypt(FromHex(c.key7).data(), buf.data());
    EXPECT_EQ(buf, plain);
  }
}

}  // namespace
