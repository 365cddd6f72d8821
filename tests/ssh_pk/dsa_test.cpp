// DSA keys against openssl and ssh-keygen, both signature forms and the refusals.
#include <gtest/gtest.h>
#include <openssl/dsa.h>

#include <cstring>

#include "key_fixture.h"
#include "ssh/crypto/dsa.h"
#include "ssh/crypto/hash.h"
#include "test_util.h"

using namespace pktest;

namespace {

struct DsaKeyDeleter {
  void operator()(SshDsaKey* k) const { DsaFreeKey(k); }
};
using DsaKey = std::unique_ptr<SshDsaKey, DsaKeyDeleter>;

struct Blob {
  uint8_t* p = nullptr;
  int32_t n = 0;
  ~Blob() { CheckedFree(p); }
  Bytes_t bytes() const { return Bytes_t(p, p + n); }
};

class DsaKeys : public ::testing::Test {
 protected:
  TempDir dir;
  KeyFile kf;
  Bytes_t pub, priv;
  void SetUp() override {
    MakeKey(kf, dir.File("d1024"), "ssh-keygen -q -t dsa -m PEM -N '' -f " + dir.File("d1024"),
            {"p", "q", "g", "pub", "priv"});
    PutString(pub, "ssh-dss");
    for (auto n : {"p", "q", "g", "pub"}) PutMpint(pub, kf[n]);
    PutMpint(priv, kf["priv"]);
  }
  DsaKey Load(const Bytes_t& private_blob) {
    return DsaKey(static_cast<SshDsaKey*>(DsaNewPrivate(pub.data(), static_cast<int32_t>(pub.size()),
                                                        private_blob.data(), static_cast<int32_t>(private_blob.size()))));
  }
  // OpenSSL's DER signature as r and s of 20 bytes each.
  Bytes_t OpensslRs(const Bytes_t& data) {
    EVP_MD_CTX* ctx = EVP_MD_CTX_new();
    size_t n = 0;
    EVP_DigestSignInit(ctx, nullptr, EVP_sha1(), nullptr, kf.pkey);
    EVP_DigestSign(ctx, nullptr, &n, data.data(), data.size());
    Bytes_t der(n);
    EVP_DigestSign(ctx, der.data(), &n, data.data(), data.size());
    EVP_MD_CTX_free(ctx);
    const unsigned char* q = der.data();
    DSA_SIG* sig = d2i_DSA_SIG(nullptr, &q, static_cast<long>(n));
    const BIGNUM *r, *s;
    DSA_SIG_get0(sig, &r, &s);
    Bytes_t out = Bn(r, 20), sb = Bn(s, 20);
    out.insert(out.end(), sb.begin(), sb.end());
    DSA_SIG_free(sig);
    return out;
  }
  bool OpensslVerify(const Bytes_t& rs, const Bytes_t& data) {
    DSA_SIG* sig = DSA_SIG_new();
    DSA_SIG_set0(sig, BN_bin2bn(rs.data(), 20, nullptr), BN_bin2bn(rs.data() + 20, 20, nullptr));
    unsigned char* der = nullptr;
    int dn = i2d_DSA_SIG(sig, &der);
    DSA_SIG_free(sig);
    EVP_MD_CTX* ctx = EVP_MD_CTX_new();
    EVP_DigestVerifyInit(ctx, nullptr, EVP_sha1(), nullptr, kf.pkey);
    int ok = EVP_DigestVerify(ctx, der, static_cast<size_t>(dn), data.data(), data.size());
    EVP_MD_CTX_free(ctx);
    OPENSSL_free(der);
    return ok == 1;
  }
};

Bytes_t Named(const Bytes_t& rs, const std::string& name = "ssh-dss") {
  Bytes_t b;
  PutString(b, name);
  PutString(b, rs.data(), rs.size());
  return b;
}

int Verify(SshDsaKey* key, const Bytes_t& sig, const Bytes_t& data) {
  return DsaVerify(key, sig.data(), static_cast<int32_t>(sig.size()), data.data(), static_cast<int32_t>(data.size()));
}

TEST_F(DsaKeys, InteroperateWithOpensslAndSshKeygen) {
  DsaKey key = Load(priv);
  ASSERT_TRUE(key);
  Blob blob;
  blob.p = DsaPublicBlob(key.get(), &blob.n);
  EXPECT_EQ(blob.bytes(), KeygenPublicBlob(kf.path));
  EXPECT_EQ(DsaPublicBits(blob.p, blob.n), 1024);
  char* fp = DsaFingerprint(key.get());
  EXPECT_EQ(std::string(fp), "ssh-dss 1024 " + KeygenMd5(kf.path));
  CheckedFree(fp);
  char* text = DsaFormatKey(key.get());
  EXPECT_EQ(std::string(text), "0x" + Hex(key->p) + ",0x" + Hex(key->q) + ",0x" + Hex(key->g) + ",0x" + Hex(key->y));
  CheckedFree(text);

  const Bytes_t data = {'h', 'a', 's', 'h'};
  Bytes_t rs = OpensslRs(data);
  EXPECT_EQ(Verify(key.get(), Named(rs), data), 1);
  EXPECT_EQ(Verify(key.get(), rs, data), 1);  // bare 40-byte form
  Bytes_t other = {'h', 'a', 's', 'H'};
  EXPECT_EQ(Verify(key.get(), rs, other), 0);

  Blob sig, again, different;
  sig.p = DsaSign(key.get(), data.data(), 4, &sig.n);
  again.p = DsaSign(key.get(), data.data(), 4, &again.n);
  different.p = DsaSign(key.get(), other.data(), 4, &different.n);
  ASSERT_EQ(sig.n, 55);
  EXPECT_EQ(sig.bytes(), again.bytes());
  EXPECT_NE(Bytes_t(sig.p + 15, sig.p + 35), Bytes_t(different.p + 15, different.p + 35));  // r differs
  EXPECT_EQ(Verify(key.get(), sig.bytes(), data), 1);
  EXPECT_TRUE(OpensslVerify(Bytes_t(sig.p + 15, sig.p + 55), data));
  EXPECT_TRUE(OpensslVerify(Bytes_t(different.p + 15, different.p + 55), other));

  // Export, import, private blob.
  int32_t need = DsaExportPrivate(key.get(), nullptr, 0);
  Bytes_t exported(static_cast<size_t>(need));
  ASSERT_EQ(DsaExportPrivate(key.get(), exported.data(), need), need);
  DsaKey back(static_cast<SshDsaKey*>(DsaImportPrivate(exported.data(), need)));
  ASSERT_TRUE(back);
  EXPECT_EQ(MpCompare(back->x, key->x), 0);
  Blob pb;
  pb.p = DsaPrivateBlob(back.get(), &pb.n);
  EXPECT_EQ(pb.bytes(), priv);
  EXPECT_EQ(DsaImportPrivate(exported.data(), need - 1), nullptr);
}

TEST_F(DsaKeys, NonceLabelIncludesItsZeroByte) {
  // Recompute the signature by hand with and without the label's zero byte: only the
  // former matches DsaSign.
  DsaKey key = Load(priv);
  ASSERT_TRUE(key);
  const uint8_t data[] = {7, 7, 7};
  Blob sig;
  sig.p = DsaSign(key.get(), data, 3, &sig.n);
  ASSERT_TRUE(sig.p);
  uint8_t h[20];
  Sha1Digest(data, 3, h);
  Bytes_t xform(static_cast<size_t>(MpSsh2Length(key->x)));
  MpWriteSsh2(xform.data(), key->x);
  auto r_for = [&](size_t label_length) {
    uint8_t d1[64], d2[64];
    Sha512State s;
    Sha512Begin(&s);
    Sha512Append(&s, "DSA deterministic k generator", label_length);
    Sha512Append(&s, xform.data(), xform.size());
    Sha512End(&s, d1);
    Sha512Begin(&s);
    Sha512Append(&s, d1, 64);
    Sha512Append(&s, h, 20);
    Sha512End(&s, d2);
    Mp wide(MpFromBytes(d2, 64));
    Mp k(MpMod(wide.get(), key->q));
    Mp gk(MpModPow(key->g, k.get(), key->p));
    Mp r(MpMod(gk.get(), key->q));
    Bytes_t out(20);
    MpWriteFixed(out.data(), 20, r.get());
    return out;
  };
  Bytes_t r(sig.p + 15, sig.p + 35);
  EXPECT_EQ(r, r_for(30));
  EXPECT_NE(r, r_for(29));
}

TEST_F(DsaKeys, RefusedSignaturesAndKeys) {
  DsaKey key = Load(priv);
  ASSERT_TRUE(key);
  const Bytes_t data = {1};
  Bytes_t rs = OpensslRs(data);
  Bytes_t named = Named(rs);
  EXPECT_EQ(Verify(key.get(), Named(rs, "ssh-ds"), data), 0);
  EXPECT_EQ(Verify(key.get(), Named(rs, "ssh-dsss"), data), 0);
  EXPECT_EQ(Verify(key.get(), Named(Bytes_t(rs.begin(), rs.end() - 1)), data), 0);
  EXPECT_EQ(Verify(key.get(), Bytes_t(rs.begin(), rs.end() - 1), data), 0);  // 39 bytes
  for (size_t n = 0; n < named.size(); ++n)
    EXPECT_EQ(DsaVerify(key.get(), named.data(), static_cast<int32_t>(n), data.data(), 1), 0) << n;
  // s of zero or q, r of zero or q (the r = 0 case needs no forgery skill otherwise).
  Bytes_t q20 = Bn(kf["q"], 20);
  for (int which = 0; which < 4; ++which) {
    Bytes_t bad = rs;
    uint8_t* at = bad.data() + (which < 2 ? 20 : 0);
    if (which % 2)
      std::memcpy(at, q20.data(), 20);
    else
      std::memset(at, 0, 20);
    EXPECT_EQ(Verify(key.get(), bad, data), 0) << which;
  }
  SshDsaKey empty{};
  EXPECT_EQ(Verify(&empty, rs, data), 0);
  EXPECT_EQ(DsaFormatKey(&empty), nullptr);

  // Private blobs: the check string must match; x must give y.
  Bytes_t checked = priv;
  Bytes_t pqg;
  for (auto n : {"p", "q", "g"}) PutMpint(pqg, kf[n]);
  uint8_t digest[20];
  Sha1Digest(pqg.data(), pqg.size(), digest);
  PutString(checked, digest, 20);
  EXPECT_TRUE(Load(checked));
  checked.back() ^= 1;
  EXPECT_FALSE(Load(checked));
  Bytes_t wrong_x;
  BIGNUM* x1 = BN_dup(kf["priv"]);
  BN_add_word(x1, 1);
  PutMpint(wrong_x, x1);
  BN_free(x1);
  EXPECT_FALSE(Load(wrong_x));
  EXPECT_FALSE(Load(Bytes_t{}));

  // Public blobs: every truncation, a negative number, numbers outside their ranges.
  for (size_t n = 0; n < pub.size(); ++n)
    EXPECT_EQ(DsaNewPublic(pub.data(), static_cast<int32_t>(n)), nullptr) << n;
  auto make = [&](std::map<std::string, Bytes_t> raw) {
    Bytes_t b;
    PutString(b, "ssh-dss");
    for (auto n : {"p", "q", "g", "pub"}) {
      Bytes_t v = raw.count(n) ? raw[n] : Bn(kf[n]);
      if (!raw.count(n) && (v[0] & 0x80)) v.insert(v.begin(), 0);
      PutString(b, v.data(), v.size());
    }
    DsaKey k(static_cast<SshDsaKey*>(DsaNewPublic(b.data(), static_cast<int32_t>(b.size()))));
    return k != nullptr;
  };
  EXPECT_TRUE(make({}));
  Bytes_t negative_q = Bn(kf["q"]);  // 160-bit q starts with a set top bit
  ASSERT_TRUE(negative_q[0] & 0x80);
  EXPECT_FALSE(make({{"q", negative_q}}));
  Bytes_t p_even = Bn(kf["p"]);
  p_even.insert(p_even.begin(), 0);
  Bytes_t p_odd = p_even;
  p_even.back() ^= 1;
  EXPECT_FALSE(make({{"p", p_even}}));
  EXPECT_FALSE(make({{"q", {0}}}));
  EXPECT_FALSE(make({{"q", p_odd}}));      // q not below p
  EXPECT_FALSE(make({{"g", {1}}}));
  EXPECT_FALSE(make({{"g", p_odd}}));
  EXPECT_FALSE(make({{"pub", {}}}));       // y = 0
  EXPECT_FALSE(make({{"pub", p_odd}}));
  Bytes_t huge(1025, 0x11);                // 8,197-bit p
  huge.back() = 0x13;
  EXPECT_FALSE(make({{"p", huge}}));
  EXPECT_EQ(SshHostKeyAlgorithms[1], &SshDss);
  EXPECT_STREQ(SshDss.key_type, "dss");
}

}  // namespace
