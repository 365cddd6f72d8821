// RSA keys against openssl and ssh-keygen, and every refusal of the verification.
#include <gtest/gtest.h>
#include <openssl/rsa.h>

#include <cctype>
#include <cstring>
#include <initializer_list>
#include <thread>
#include <vector>

#include "key_fixture.h"
#include "ssh/crypto/cpu_features.h"
#include "ssh/crypto/hash.h"
#include "ssh/crypto/mp_internal.h"
#include "ssh/crypto/random_pool.h"
#include "ssh/crypto/rsa.h"
#include "test_util.h"

using namespace pktest;

namespace {

const std::vector<std::string> kRsaNames = {"n", "e", "d", "rsa-factor1", "rsa-factor2", "rsa-coefficient1"};

struct RsaKeyDeleter {
  void operator()(SshRsaKey* k) const { RsaFreeKey(k); }
};
using RsaKey = std::unique_ptr<SshRsaKey, RsaKeyDeleter>;

struct Blob {
  uint8_t* p = nullptr;
  int32_t n = 0;
  ~Blob() { CheckedFree(p); }
  Bytes_t bytes() const { return Bytes_t(p, p + n); }
};

Bytes_t PublicBlob(const KeyFile& k) {
  Bytes_t b;
  PutString(b, "ssh-rsa");
  PutMpint(b, k["e"]);
  PutMpint(b, k["n"]);
  return b;
}

Bytes_t PrivateBlob(const KeyFile& k) {
  Bytes_t b;
  for (auto name : {"d", "rsa-factor1", "rsa-factor2", "rsa-coefficient1"}) PutMpint(b, k[name]);
  return b;
}

RsaKey Load(const KeyFile& k) {
  Bytes_t pub = PublicBlob(k), priv = PrivateBlob(k);
  return RsaKey(static_cast<SshRsaKey*>(
      RsaNewPrivate(pub.data(), static_cast<int32_t>(pub.size()), priv.data(), static_cast<int32_t>(priv.size()))));
}

Bytes_t OpensslSign(EVP_PKEY* pkey, const EVP_MD* md, const Bytes_t& data) {
  EVP_MD_CTX* ctx = EVP_MD_CTX_new();
  size_t n = 0;
  EVP_DigestSignInit(ctx, nullptr, md, nullptr, pkey);
  EVP_DigestSign(ctx, nullptr, &n, data.data(), data.size());
  Bytes_t sig(n);
  EVP_DigestSign(ctx, sig.data(), &n, data.data(), data.size());
  EVP_MD_CTX_free(ctx);
  sig.resize(n);
  return sig;
}

Bytes_t SigBlob(const Bytes_t& s, const std::string& name = "ssh-rsa") {
  Bytes_t b;
  PutString(b, name);
  PutString(b, s.data(), s.size());
  return b;
}

int Verify(SshRsaKey* key, const Bytes_t& sig, const Bytes_t& data) {
  return RsaVerify(key, sig.data(), static_cast<int32_t>(sig.size()), data.data(), static_cast<int32_t>(data.size()));
}

uint8_t Counter(void* c) { return static_cast<uint8_t>(++*static_cast<int*>(c)); }

// The roads of the two-prime power: pairs on the vector unit (where the CPU has one), the
// scalar rows, the portable code. Taking a road lasts until the next one is taken.
struct Road {
  const char* name;
  bool vector;
  bool portable;
};
const Road kRoads[] = {{"vector", true, false}, {"scalar", false, false}, {"portable", false, true}};
void Take(const Road& road) {
  sshmp::AllowVectorPowers(road.vector);
  cvssh::crypto::ForcePortableCrypto(road.portable);
}

class RsaKeys : public ::testing::Test {
 protected:
  TempDir dir;
  KeyFile k1024;
  void SetUp() override {
    MakeKey(k1024, dir.File("k1024"),
            "openssl genpkey -algorithm RSA -pkeyopt rsa_keygen_bits:1024 -out " + dir.File("k1024"), kRsaNames);
  }
};

TEST_F(RsaKeys, InteroperateWithOpensslAndSshKeygen) {
  KeyFile k2048, k4096;
  MakeKey(k2048, dir.File("k2048"), "ssh-keygen -q -t rsa -b 2048 -m PEM -N '' -f " + dir.File("k2048"), kRsaNames);
  MakeKey(k4096, dir.File("k4096"),
          "openssl genpkey -algorithm RSA -pkeyopt rsa_keygen_bits:4096 -out " + dir.File("k4096"), kRsaNames);
  const Bytes_t data = {'s', 'e', 's', 's', 'i', 'o', 'n', ' ', 'h', 'a', 's', 'h'};
  RandomAcquire();
  for (KeyFile* kf : {&k1024, &k2048, &k4096}) {
    SCOPED_TRACE(kf->path);
    RsaKey key = Load(*kf);
    ASSERT_TRUE(key);
    const int bits = BN_num_bits((*kf)["n"]);
    EXPECT_EQ(RsaCheckKey(key.get()), 1);

    Blob pub;
    pub.p = RsaPublicBlob(key.get(), &pub.n);
    EXPECT_EQ(pub.bytes(), KeygenPublicBlob(kf->path));
    EXPECT_EQ(RsaPublicBits(pub.p, pub.n), bits);
    char* fp = RsaFingerprint(key.get());
    EXPECT_EQ(std::string(fp), "ssh-rsa " + std::to_string(bits) + " " + KeygenMd5(kf->path));
    CheckedFree(fp);

    // OpenSSL's signature verifies; ours is the same number.
    Bytes_t theirs = OpensslSign(kf->pkey, EVP_sha1(), data);
    EXPECT_EQ(Verify(key.get(), SigBlob(theirs), data), 1);
    Bytes_t other = data;
    other[0] ^= 1;
    EXPECT_EQ(Verify(key.get(), SigBlob(theirs), other), 0);
    Blob ours;
    ours.p = RsaSign(key.get(), data.data(), static_cast<int32_t>(data.size()), &ours.n);
    ASSERT_TRUE(ours.p);
    size_t first = 0;
    while (first < theirs.size() - 1 && theirs[first] == 0) ++first;  // ours has no leading zeros
    EXPECT_EQ(ours.bytes(), SigBlob(Bytes_t(theirs.begin() + first, theirs.end())));
    EXPECT_EQ(ours.n, static_cast<int32_t>(theirs.size() - first + 15));
    EXPECT_EQ(Verify(key.get(), ours.bytes(), data), 1);
    // The two-prime power itself (not the plain power a failed check falls back to) is
    // the private power on every road.
    Mp c(MpFromBytes(data.data(), data.size()));
    Mp power(MpModPow(c.get(), key->private_exponent, key->modulus));
    for (const Road& road : kRoads) {
      Take(road);
      Mp two(sshpk::RsaCrtPower(c.get(), key.get()));
      EXPECT_EQ(Hex(two.get()), Hex(power.get())) << road.name;
      ASSERT_NE(key->cache, nullptr);
      Mp kept(sshpk::RsaCrtPower(c.get(), key.get(), key->cache));  // with the key's own constants
      EXPECT_EQ(Hex(kept.get()), Hex(power.get())) << road.name;
      Blob again;
      again.p = RsaSign(key.get(), data.data(), static_cast<int32_t>(data.size()), &again.n);
      EXPECT_EQ(again.bytes(), ours.bytes()) << road.name;
    }
    Take(kRoads[0]);

    // SSH-1 session-key encryption decrypts with OpenSSL.
    Bytes_t block(key->bytes);
    for (int i = 0; i < 32; ++i) block[i] = static_cast<uint8_t>(i * 7 + 1);
    ASSERT_EQ(RsaPublicEncrypt(block.data(), 32, key.get()), 1);
    EVP_PKEY_CTX* ctx = EVP_PKEY_CTX_new(kf->pkey, nullptr);
    EVP_PKEY_decrypt_init(ctx);
    EVP_PKEY_CTX_set_rsa_padding(ctx, RSA_PKCS1_PADDING);
    Bytes_t plain(block.size());
    size_t plain_n = plain.size();
    ASSERT_EQ(EVP_PKEY_decrypt(ctx, plain.data(), &plain_n, block.data(), block.size()), 1);
    EVP_PKEY_CTX_free(ctx);
    plain.resize(plain_n);
    ASSERT_EQ(plain.size(), 32u);
    for (int i = 0; i < 32; ++i) EXPECT_EQ(plain[i], static_cast<uint8_t>(i * 7 + 1));

    // Export and import give the same key.
    int32_t need = RsaExportPrivate(key.get(), nullptr, 0);
    Bytes_t exported(static_cast<size_t>(need));
    EXPECT_EQ(RsaExportPrivate(key.get(), exported.data(), need - 1), need);
    ASSERT_EQ(RsaExportPrivate(key.get(), exported.data(), need), need);
    RsaKey back(static_cast<SshRsaKey*>(RsaImportPrivate(exported.data(), need)));
    ASSERT_TRUE(back);
    EXPECT_EQ(RsaCheckKey(back.get()), 1);
    Blob priv;
    priv.p = RsaPrivateBlob(back.get(), &priv.n);
    EXPECT_EQ(priv.bytes(), PrivateBlob(*kf));
  }
  RandomRelease();
}

TEST_F(RsaKeys, PrivateOperationIsDeterministicAndCorrect) {
  RsaKey key = Load(k1024);
  ASSERT_TRUE(key);
  for (const char* hex : {"1", "2", "123456789abcdef", "deadbeef00"}) {
    Mp c = FromHex(hex);
    Mp a(RsaPrivate(c.get(), key.get())), b(RsaPrivate(c.get(), key.get()));
    Mp plain(MpModPow(c.get(), key->private_exponent, key->modulus));
    EXPECT_EQ(Hex(a.get()), Hex(plain.get()));
    EXPECT_EQ(Hex(a.get()), Hex(b.get()));
  }
  // The signing block of a 1024-bit key: 127 bytes with a 90-byte run of 0xFF.
  Blob sig;
  const uint8_t data[] = "x";
  sig.p = RsaSign(key.get(), data, 1, &sig.n);
  ASSERT_TRUE(sig.p);
  Mp s(MpFromBytes(sig.p + 15, static_cast<size_t>(sig.n - 15)));
  Mp m(MpModPow(s.get(), key->exponent, key->modulus));
  EXPECT_EQ(MpBitCount(m.get()), 127 * 8 - 7);
  for (int i = 125; i >= 36; --i) ASSERT_EQ(MpByte(m.get(), i), 0xFF) << i;
  EXPECT_EQ(MpByte(m.get(), 35), 0x00);
}

struct BnFree {
  void operator()(BIGNUM* v) const { BN_free(v); }
};
using OwnedBn = std::unique_ptr<BIGNUM, BnFree>;

Mp FromBn(const BIGNUM* v) {
  const Bytes_t b = Bn(v);
  return Mp(MpFromBytes(b.data(), b.size()));
}

// SHA-512 of the pieces, by OpenSSL.
Bytes_t Sha512Of(std::initializer_list<Bytes_t> pieces) {
  EVP_MD_CTX* ctx = EVP_MD_CTX_new();
  EVP_DigestInit_ex(ctx, EVP_sha512(), nullptr);
  for (const Bytes_t& p : pieces) EVP_DigestUpdate(ctx, p.data(), p.size());
  Bytes_t out(64);
  EVP_DigestFinal_ex(ctx, out.data(), nullptr);
  EVP_MD_CTX_free(ctx);
  return out;
}

// The blinding factor as the stream defines it, one bit at a time: r's bits from the top
// down, each byte of the stream least significant bit first; a candidate that is not
// below n or has no inverse is dropped with what is left of its last byte.
std::string StreamFactor(const BIGNUM* d, const BIGNUM* c, const BIGNUM* n) {
  Bytes_t dForm, cForm;
  PutMpint(dForm, d);
  PutMpint(cForm, c);
  const std::string label = "RSA deterministic blinding";
  uint32_t counter = 0;
  Bytes_t block;
  size_t pos = 64;
  unsigned byte = 0;
  int left = 0;
  auto bit = [&] {
    if (left == 0) {
      if (pos == 64) {
        const Bytes_t count = {uint8_t(counter >> 24), uint8_t(counter >> 16), uint8_t(counter >> 8), uint8_t(counter)};
        ++counter;
        block = Sha512Of({Sha512Of({Bytes_t(label.begin(), label.end()), count, dForm}), cForm});
        pos = 0;
      }
      byte = block[pos++];
      left = 8;
    }
    const int b = byte & 1;
    byte >>= 1;
    --left;
    return b;
  };
  BN_CTX* ctx = BN_CTX_new();
  std::string hex;
  while (hex.empty()) {
    BIGNUM* r = BN_new();
    for (int i = BN_num_bits(n) - 1; i >= 0; --i)
      if (bit()) BN_set_bit(r, i);
    left = 0;
    BIGNUM* inverse = BN_is_zero(r) || BN_cmp(r, n) >= 0 ? nullptr : BN_mod_inverse(nullptr, r, n, ctx);
    if (inverse) {
      char* text = BN_bn2hex(r);
      hex = text;
      OPENSSL_free(text);
      for (char& ch : hex) ch = static_cast<char>(std::tolower(static_cast<unsigned char>(ch)));
      hex.erase(0, hex.find_first_not_of('0'));
    }
    BN_free(inverse);
    BN_free(r);
  }
  BN_CTX_free(ctx);
  return hex;
}

// r filled a byte at a time is the r of the bit-by-bit definition, for moduli of every
// bit count modulo 8 just above a power of two (about half the candidates are not below
// n) and divisible by 3 (a third have no inverse).
TEST(Rsa, BlindingFactorFollowsTheStream) {
  OwnedBn d(BN_new());
  BN_set_word(d.get(), 0x1234567);
  BN_lshift(d.get(), d.get(), 300);
  BN_add_word(d.get(), 77);
  for (int bits = 512; bits < 520; ++bits) {
    OwnedBn n(BN_new());
    BN_set_bit(n.get(), bits - 1);
    BN_add_word(n.get(), 3 * 5);  // odd, a multiple of 3
    SshRsaKey key{};
    Mp mn = FromBn(n.get()), md = FromBn(d.get());
    key.modulus = mn.get();
    key.private_exponent = md.get();
    for (unsigned long input : {1ul, 2ul, 0xabcdeful, 0xffffffffffful}) {
      OwnedBn c(BN_new());
      BN_set_word(c.get(), input);
      Mp mc = FromBn(c.get());
      Mp r(sshpk::RsaBlindingFactor(mc.get(), &key));
      EXPECT_EQ(Hex(r.get()), StreamFactor(d.get(), c.get(), n.get())) << bits << " bits, input " << input;
    }
  }
}

// Signatures of one key stay right while its blinding pair is squared from one signature
// to the next and drawn afresh every kRsaBlindingRedraw of them: each is OpenSSL's (a
// PKCS #1 v1.5 signature is one number), on every road, from two threads at once on one
// key, for keys of odd sizes whose primes differ in length (2077 bits: primes of 1039
// and 1038 bits, 21 and 20 digits of the vector road).
TEST_F(RsaKeys, ManySignaturesOfOneKeyStayRight) {
  KeyFile k1031, k2077;
  MakeKey(k1031, dir.File("k1031"),
          "openssl genpkey -algorithm RSA -pkeyopt rsa_keygen_bits:1031 -out " + dir.File("k1031"), kRsaNames);
  MakeKey(k2077, dir.File("k2077"),
          "openssl genpkey -algorithm RSA -pkeyopt rsa_keygen_bits:2077 -out " + dir.File("k2077"), kRsaNames);
  const int count = 2 * static_cast<int>(sshpk::kRsaBlindingRedraw) + 3;
  for (KeyFile* kf : {&k1031, &k2077}) {
    SCOPED_TRACE(kf->path);
    RsaKey key = Load(*kf);
    ASSERT_TRUE(key);
    ASSERT_EQ(key->crt, 1u);
    std::vector<Bytes_t> data, expected;
    for (int i = 0; i < count; ++i) {
      data.push_back({uint8_t(i), uint8_t(i * 7), 'x'});
      const Bytes_t theirs = OpensslSign(kf->pkey, EVP_sha1(), data.back());
      size_t first = 0;
      while (first < theirs.size() - 1 && theirs[first] == 0) ++first;
      expected.push_back(SigBlob(Bytes_t(theirs.begin() + first, theirs.end())));
    }
    auto sign = [&](int i) {
      Blob b;
      b.p = RsaSign(key.get(), data[i].data(), static_cast<int32_t>(data[i].size()), &b.n);
      return b.bytes();
    };
    for (const Road& road : kRoads) {
      Take(road);
      for (int i = 0; i < count; ++i) ASSERT_EQ(sign(i), expected[i]) << road.name << " signature " << i;
    }
    Take(kRoads[0]);
    int wrong[2] = {0, 0};
    std::thread other([&] {
      for (int i = 0; i < count; ++i) wrong[1] += sign(i) != expected[i];
    });
    for (int i = count; i-- > 0;) wrong[0] += sign(i) != expected[i];
    other.join();
    EXPECT_EQ(wrong[0] + wrong[1], 0);
  }
}

// The private operation runs on the two primes where the key's parts agree: the same
// signatures as the plain power, a fault in the two-prime computation never leaves (each
// result is checked against the input), and numbers that disagree keep the plain power.
TEST_F(RsaKeys, TwoPrimePowerAgreesAndAFaultNeverLeaves) {
  RsaKey key = Load(k1024);
  ASSERT_TRUE(key);
  ASSERT_EQ(key->crt, 1u);
  const uint8_t data[] = "session hash";
  auto sign = [&](SshRsaKey* k) {
    Blob b;
    b.p = RsaSign(k, data, sizeof data, &b.n);
    return b.bytes();
  };
  const Bytes_t twoPrimes = sign(key.get());
  key->crt = 0;
  EXPECT_EQ(sign(key.get()), twoPrimes);
  key->crt = 1;
  MpInt coefficient = key->iqmp;
  key->iqmp = MpCopy(key->q);  // a wrong coefficient: the two-prime result is wrong
  EXPECT_EQ(sign(key.get()), twoPrimes);
  MpFree(key->iqmp);
  key->iqmp = coefficient;

  Bytes_t swapped;
  for (auto name : {"n", "e", "d", "rsa-coefficient1", "rsa-factor2", "rsa-factor1"}) PutMpint(swapped, k1024[name]);
  RsaKey odd(static_cast<SshRsaKey*>(RsaImportPrivate(swapped.data(), static_cast<int32_t>(swapped.size()))));
  ASSERT_TRUE(odd);
  EXPECT_EQ(odd->crt, 0u);
  EXPECT_EQ(sign(odd.get()), twoPrimes);
}

TEST_F(RsaKeys, VerificationRefusesForgeries) {
  RsaKey key = Load(k1024);
  ASSERT_TRUE(key);
  const Bytes_t data = {1, 2, 3};
  Bytes_t good = OpensslSign(k1024.pkey, EVP_sha1(), data);
  ASSERT_EQ(Verify(key.get(), SigBlob(good), data), 1);
  EXPECT_EQ(Verify(key.get(), SigBlob(good, "ssh-rs"), data), 0);
  EXPECT_EQ(Verify(key.get(), SigBlob(good, "ssh-rsaa"), data), 0);
  EXPECT_EQ(Verify(key.get(), SigBlob(OpensslSign(k1024.pkey, EVP_sha256(), data)), data), 0);

  // Raw private operations on hand-made blocks: a wrong run of 0xFF, a wrong prefix.
  auto raw = [&](Bytes_t block) {
    BIGNUM* m = BN_bin2bn(block.data(), static_cast<int>(block.size()), nullptr);
    BIGNUM* s = BN_new();
    BN_CTX* ctx = BN_CTX_new();
    BN_mod_exp(s, m, k1024["d"], k1024["n"], ctx);
    Bytes_t out = Bn(s, 128);
    BN_free(m), BN_free(s), BN_CTX_free(ctx);
    return SigBlob(out);
  };
  Bytes_t block(128, 0xFF);
  block[0] = 0x00;
  block[1] = 0x01;
  const uint8_t prefix[16] = {0x00, 0x30, 0x21, 0x30, 0x09, 0x06, 0x05, 0x2B,
                              0x0E, 0x03, 0x02, 0x1A, 0x05, 0x00, 0x04, 0x14};
  std::memcpy(block.data() + 92, prefix, 16);
  Sha1Digest(data.data(), data.size(), block.data() + 108);
  EXPECT_EQ(Verify(key.get(), raw(block), data), 1);  // the hand-made block is right
  Bytes_t shortRun = block;
  shortRun[50] = 0xFE;
  EXPECT_EQ(Verify(key.get(), raw(shortRun), data), 0);
  Bytes_t longRun = block;  // the separator moved one byte later
  std::memmove(longRun.data() + 93, block.data() + 92, 15);
  longRun[92] = 0xFF;
  EXPECT_EQ(Verify(key.get(), raw(longRun), data), 0);
  Bytes_t type1 = block;
  type1[1] = 0x02;
  EXPECT_EQ(Verify(key.get(), raw(type1), data), 0);

  // s + n maps to the same m but is not a signature.
  BIGNUM* big = BN_bin2bn(good.data(), static_cast<int>(good.size()), nullptr);
  BN_add(big, big, k1024["n"]);
  EXPECT_EQ(Verify(key.get(), SigBlob(Bn(big)), data), 0);
  BN_free(big);

  // Every truncation of a good blob, and an absurd length field.
  Bytes_t blob = SigBlob(good);
  for (size_t n = 0; n < blob.size(); ++n)
    EXPECT_EQ(RsaVerify(key.get(), blob.data(), static_cast<int32_t>(n), data.data(), 3), 0) << n;
  Bytes_t huge = blob;
  huge[11] = huge[12] = huge[13] = huge[14] = 0xFF;
  EXPECT_EQ(Verify(key.get(), huge, data), 0);
}

TEST(Rsa, VerifyAnswersZeroForModuliBelow46Bytes) {
  SshRsaKey small{};
  Mp n = FromHex(std::string("c") + std::string(88, '5') + "3");  // 45 bytes, odd
  Mp e = FromHex("3");
  small.modulus = n.get();
  small.exponent = e.get();
  Bytes_t sig = SigBlob(Bytes_t(45, 0x11));
  const uint8_t data[1] = {0};
  EXPECT_EQ(RsaVerify(&small, sig.data(), static_cast<int32_t>(sig.size()), data, 1), 0);
}

TEST(Rsa, PublicNumbersAreCheckedWhenAKeyIsMade) {
  auto blob = [](const std::string& e_hex, const std::string& n_hex) {
    Bytes_t b;
    PutString(b, "ssh-rsa");
    for (auto* h : {&e_hex, &n_hex}) {
      Bytes_t v = pktest::Bytes(*h);
      if (v[0] & 0x80) v.insert(v.begin(), 0);
      PutString(b, v.data(), v.size());
    }
    return b;
  };
  const std::string n512 = "c" + std::string(126, '1') + "3";  // 512 bits, odd
  const std::string n4096 = "c" + std::string(1022, '1') + "3";
  struct {
    std::string e, n;
    bool ok;
  } cases[] = {
      {"010001", n512, true},
      {"03", n512, true},
      {"010001", n4096, true},
      {"ff" + std::string(12, '0') + "01", n4096, true},          // 64-bit e
      {"1" + std::string(15, '0') + "1", n4096, false},         // 65-bit e on a large n
      {"1" + std::string(15, '0') + "1", n512, true},
      {"010001", "c" + std::string(126, '1') + "2", false},       // even n
      {"010001", "6" + std::string(126, '1') + "3", false},       // 511 bits
      {"010001", "1" + std::string(4096, '0') + "1", false},      // 16,385 bits
      {"010000", n512, false},                                    // even e
      {"01", n512, false},
      {"00", n512, false},
      {n512, n512, false},                                        // e not below n
  };
  for (auto& c : cases) {
    Bytes_t b = blob(c.e, c.n);
    RsaKey key(static_cast<SshRsaKey*>(RsaNewPublic(b.data(), static_cast<int32_t>(b.size()))));
    EXPECT_EQ(key != nullptr, c.ok) << c.e << " / " << c.n.size();
    EXPECT_EQ(RsaPublicBits(b.data(), static_cast<int32_t>(b.size())), c.ok ? MpBitCount(FromHex(c.n).get()) : 0);
  }
  // Name strings one byte short or long, and every truncation.
  Bytes_t good = blob("010001", n512);
  for (size_t n = 0; n < good.size(); ++n)
    EXPECT_EQ(RsaNewPublic(good.data(), static_cast<int32_t>(n)), nullptr) << n;
  for (std::string name : {"ssh-rs", "ssh-rsa2"}) {
    Bytes_t b;
    PutString(b, name);
    b.insert(b.end(), good.begin() + 11, good.end());
    EXPECT_EQ(RsaNewPublic(b.data(), static_cast<int32_t>(b.size())), nullptr);
  }
}

TEST_F(RsaKeys, CheckKeyAndPrivateBlobs) {
  RsaKey key = Load(k1024);
  ASSERT_TRUE(key);
  char* text = RsaFormatKey(key.get());
  EXPECT_EQ(std::string(text), "0x" + Hex(key->exponent) + ",0x" + Hex(key->modulus));
  CheckedFree(text);
  std::swap(key->p, key->q);
  EXPECT_EQ(RsaCheckKey(key.get()), 0);
  std::swap(key->p, key->q);
  MpDecrement(key->iqmp);
  EXPECT_EQ(RsaCheckKey(key.get()), 0);

  // A private blob that does not match the public one gives no key.
  Bytes_t pub = PublicBlob(k1024), priv = PrivateBlob(k1024);
  priv[priv.size() - 1] ^= 2;
  EXPECT_EQ(RsaNewPrivate(pub.data(), static_cast<int32_t>(pub.size()), priv.data(), static_cast<int32_t>(priv.size())),
            nullptr);
  priv = PrivateBlob(k1024);
  for (size_t n = 0; n < priv.size(); n += 7)
    EXPECT_EQ(RsaNewPrivate(pub.data(), static_cast<int32_t>(pub.size()), priv.data(), static_cast<int32_t>(n)), nullptr);
  // Import of a sequence with a number missing.
  Bytes_t seq;
  for (auto name : {"n", "e", "d", "rsa-coefficient1", "rsa-factor1"}) PutMpint(seq, k1024[name]);
  EXPECT_EQ(RsaImportPrivate(seq.data(), static_cast<int32_t>(seq.size())), nullptr);
}

TEST_F(RsaKeys, Ssh1FormsAndEncryptionPadding) {
  RsaKey key = Load(k1024);
  ASSERT_TRUE(key);
  Blob b1;
  b1.p = Ssh1RsaPublicBlob(key.get(), &b1.n);
  ASSERT_TRUE(b1.p);
  SshRsaKey read{};
  const uint8_t* modulus_bytes = nullptr;
  ASSERT_EQ(Ssh1ReadRsaPublic(b1.p, b1.n, &read, &modulus_bytes, 0), b1.n);
  EXPECT_EQ(read.bits, 1024u);
  EXPECT_EQ(read.bytes, 128u);
  EXPECT_EQ(MpCompare(read.modulus, key->modulus), 0);
  EXPECT_EQ(MpCompare(read.exponent, key->exponent), 0);
  EXPECT_EQ(modulus_bytes, b1.p + b1.n - 128);
  MpFree(read.modulus);
  MpFree(read.exponent);
  EXPECT_EQ(Ssh1ReadRsaPublic(b1.p, b1.n, nullptr, nullptr, 1), -1);  // n read as e: refused
  for (int32_t n = 0; n < b1.n; ++n) EXPECT_EQ(Ssh1ReadRsaPublic(b1.p, n, nullptr, nullptr, 0), -1) << n;

  // 128-byte block, 32 bytes of data: 00 02, 93 non-zero bytes, 00, the data.
  int counter = 250;  // passes through zero, which must be skipped
  Bytes_t block(128);
  for (int i = 0; i < 32; ++i) block[i] = static_cast<uint8_t>(0xA0 + i);
  ASSERT_EQ(sshpk::RsaEncryptWith(block.data(), 32, key.get(), Counter, &counter), 1);
  Mp c(MpFromBytes(block.data(), block.size()));
  Mp m(MpModPow(c.get(), key->private_exponent, key->modulus));
  Bytes_t plain(128);
  MpWriteFixed(plain.data(), 128, m.get());
  EXPECT_EQ(plain[0], 0);
  EXPECT_EQ(plain[1], 2);
  for (int i = 2; i < 95; ++i) EXPECT_NE(plain[i], 0) << i;
  EXPECT_EQ(plain[95], 0);
  for (int i = 0; i < 32; ++i) EXPECT_EQ(plain[96 + i], 0xA0 + i);
  EXPECT_EQ(sshpk::RsaEncryptWith(block.data(), 125, key.get(), Counter, &counter), 0);
  EXPECT_EQ(sshpk::RsaEncryptWith(block.data(), 124, key.get(), Counter, &counter), 1);
}

TEST(Rsa, GetStringConsumesOnlyWhatItMay) {
  const uint8_t all_set[] = {0xFF, 0xFF, 0xFF, 0xFF, 'a', 'b'};
  const uint8_t* cur = all_set;
  int32_t left = sizeof all_set;
  const uint8_t* s;
  int32_t n;
  SshGetString(&cur, &left, &s, &n);
  EXPECT_EQ(s, nullptr);
  EXPECT_EQ(left, 2);
  SshGetString(&cur, &left, &s, &n);  // fewer than 4 bytes: nothing consumed
  EXPECT_EQ(s, nullptr);
  EXPECT_EQ(left, 2);
  const uint8_t ok[] = {0, 0, 0, 2, 'h', 'i', 9};
  cur = ok;
  left = sizeof ok;
  SshGetString(&cur, &left, &s, &n);
  ASSERT_EQ(n, 2);
  EXPECT_EQ(std::memcmp(s, "hi", 2), 0);
  EXPECT_EQ(left, 1);
  EXPECT_EQ(SshHostKeyAlgorithms[0], &SshRsa);
  EXPECT_STREQ(SshRsa.ssh_name, "ssh-rsa");
  EXPECT_STREQ(SshRsa.key_type, "rsa2");
}

}  // namespace
