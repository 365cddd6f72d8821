// Keys made by ssh-keygen in a temporary directory, their numbers read back with OpenSSL,
// and builders that write both key-file formats from those numbers independently of the
// readers under test.
#pragma once

#include <gtest/gtest.h>
#include <openssl/bn.h>
#include <openssl/core_names.h>
#include <openssl/evp.h>
#include <openssl/pem.h>
#include <openssl/sha.h>

#include <cstdio>
#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <map>
#include <memory>
#include <string>
#include <vector>

#include "../ssh_pk/key_fixture.h"
#include "ssh/crypto/mpint.h"

namespace kftest {

using Bytes = std::vector<uint8_t>;

using pktest::KeygenPublicBlob;
using pktest::PutMpint;
using pktest::PutString;
using pktest::Run;

// A temporary directory to write key files into.
class TempDir : public pktest::TempDir {
 public:
  std::string path() const { return File("."); }
  std::string Write(const std::string& name, const std::string& data) const {
    std::ofstream(File(name), std::ios::binary) << data;
    return File(name);
  }
  std::string Write(const std::string& name, const Bytes& data) const {
    return Write(name, std::string(data.begin(), data.end()));
  }
};

struct BnFree {
  void operator()(BIGNUM* b) const { BN_free(b); }
};
using Bn = std::unique_ptr<BIGNUM, BnFree>;

inline Bytes BnBytes(const BIGNUM* v) {
  Bytes out(static_cast<size_t>(BN_num_bytes(v)));
  BN_bn2bin(v, out.data());
  return out;
}

inline Bytes MpBytes(MpConstInt a) {
  if (!a) return {};
  int n = (MpBitCount(a) + 7) / 8;
  Bytes out(static_cast<size_t>(n));
  for (int i = 0; i < n; ++i) out[static_cast<size_t>(i)] = static_cast<uint8_t>(MpByte(a, n - 1 - i));
  return out;
}

// The numbers of a PEM private key by OpenSSL parameter name; for RSA also "P" (the
// larger prime), "Q" and "iqmp" = Q^-1 mod P, the order the key files use.
inline std::map<std::string, Bn> ReadPem(const std::string& path, const std::vector<std::string>& names) {
  std::map<std::string, Bn> out;
  FILE* f = fopen(path.c_str(), "r");
  if (!f) return out;
  EVP_PKEY* pkey = PEM_read_PrivateKey(f, nullptr, nullptr, nullptr);
  fclose(f);
  if (!pkey) return out;
  for (auto& n : names) {
    BIGNUM* v = nullptr;
    if (EVP_PKEY_get_bn_param(pkey, n.c_str(), &v)) out[n].reset(v);
  }
  EVP_PKEY_free(pkey);
  if (out.count("rsa-factor1") && out.count("rsa-factor2")) {
    const BIGNUM* a = out["rsa-factor1"].get();
    const BIGNUM* b = out["rsa-factor2"].get();
    if (BN_cmp(a, b) < 0) std::swap(a, b);
    out["P"].reset(BN_dup(a));
    out["Q"].reset(BN_dup(b));
    BN_CTX* ctx = BN_CTX_new();
    out["iqmp"].reset(BN_mod_inverse(nullptr, b, a, ctx));
    BN_CTX_free(ctx);
  }
  return out;
}

inline void PutU32(Bytes& b, uint32_t n) {
  for (int s = 24; s >= 0; s -= 8) b.push_back(static_cast<uint8_t>(n >> s));
}
// SSH-1 number: 16-bit bit count, then the value bytes.
inline void PutSsh1Number(Bytes& b, const BIGNUM* v) {
  int bits = BN_num_bits(v);
  b.push_back(static_cast<uint8_t>(bits >> 8));
  b.push_back(static_cast<uint8_t>(bits));
  Bytes raw = BnBytes(v);
  b.insert(b.end(), raw.begin(), raw.end());
}

inline std::string Base64(const Bytes& data) {
  std::string out(4 * ((data.size() + 2) / 3) + 1, '\0');
  int n = EVP_EncodeBlock(reinterpret_cast<unsigned char*>(out.data()), data.data(), static_cast<int>(data.size()));
  out.resize(static_cast<size_t>(n));
  return out;
}

// The parts of an SSH-2 key file; Text() writes it with the MAC of its fields unless
// `mac` is set.
struct Ssh2File {
  std::string first_name = "Key-File-Algorithm";
  std::string algorithm = "ssh-rsa";
  std::string encryption = "none";
  std::string comment = "test key";
  Bytes pub, priv;
  std::string mac;  // empty: computed
  std::string eol = "\n";

  std::string Mac() const {
    Bytes data;
    PutString(data, algorithm);
    PutString(data, encryption);
    PutString(data, comment);
    PutString(data, pub.data(), pub.size());
    PutString(data, priv.data(), priv.size());
    uint8_t d[20];
    SHA1(data.data(), data.size(), d);
    static const char kHex[] = "0123456789abcdef";
    std::string hex;
    for (uint8_t c : d) hex += {kHex[c >> 4], kHex[c & 15]};
    return hex;
  }
  static std::vector<std::string> Lines(const Bytes& blob) {
    std::string text = Base64(blob);
    std::vector<std::string> lines;
    for (size_t i = 0; i < text.size(); i += 64) lines.push_back(text.substr(i, 64));
    return lines;
  }
  std::string Text() const {
    std::string t = first_name + ": " + algorithm + eol + "Encryption: " + encryption + eol + "Comment: " + comment + eol;
    auto pl = Lines(pub), vl = Lines(priv);
    t += "Public-Lines: " + std::to_string(pl.size()) + eol;
    for (auto& l : pl) t += l + eol;
    t += "Private-Lines: " + std::to_string(vl.size()) + eol;
    for (auto& l : vl) t += l + eol;
    return t + "Private-MAC: " + (mac.empty() ? Mac() : mac) + eol;
  }
};

// SSH-1 inner-CBC triple DES encryption with all IVs zero: single-DES CBC passes with
// k1, then k2 (decrypting), then k1. One DES key is three-key EDE with equal keys.
inline void DesCbcPass(const uint8_t key8[8], Bytes& data, bool encrypt) {
  uint8_t key[24], iv[8] = {};
  for (int i = 0; i < 3; ++i) std::copy(key8, key8 + 8, key + 8 * i);
  EVP_CIPHER_CTX* ctx = EVP_CIPHER_CTX_new();
  EVP_CipherInit_ex(ctx, EVP_des_ede3_cbc(), nullptr, key, iv, encrypt ? 1 : 0);
  EVP_CIPHER_CTX_set_padding(ctx, 0);
  Bytes out(data.size());
  int n = 0;
  EVP_CipherUpdate(ctx, out.data(), &n, data.data(), static_cast<int>(data.size()));
  EVP_CIPHER_CTX_free(ctx);
  data = out;
}
inline void Ssh1Encrypt(const std::string& passphrase, Bytes& data, bool encrypt = true) {
  uint8_t digest[16];
  EVP_Digest(passphrase.data(), passphrase.size(), digest, nullptr, EVP_md5(), nullptr);
  if (encrypt) {
    DesCbcPass(digest, data, true);
    DesCbcPass(digest + 8, data, false);
    DesCbcPass(digest, data, true);
  } else {
    DesCbcPass(digest, data, false);
    DesCbcPass(digest + 8, data, true);
    DesCbcPass(digest, data, false);
  }
}

// An SSH-1 RSA key file from the numbers of ReadPem.
struct Ssh1File {
  uint8_t cipher = 0;
  std::string passphrase;  // for cipher 3
  uint8_t check[4] = {0x5a, 0xc3, 0x5a, 0xc3};
  std::string comment = "ssh1 key";

  // Where the comment length and the check bytes are.
  size_t CommentLengthAt(const std::map<std::string, Bn>& k) const {
    return 42 + 2 + static_cast<size_t>(BN_num_bytes(k.at("n").get())) + 2 +
           static_cast<size_t>(BN_num_bytes(k.at("e").get()));
  }
  size_t PrivateAt(const std::map<std::string, Bn>& k) const { return CommentLengthAt(k) + 4 + comment.size(); }

  Bytes Build(const std::map<std::string, Bn>& k) const {
    static const std::string kHeader = "SSH PRIVATE KEY FILE FORMAT 1.1\n";
    Bytes b(kHeader.begin(), kHeader.end());
    b.push_back(0);
    b.push_back(cipher);
    PutU32(b, 0);
    PutU32(b, static_cast<uint32_t>(BN_num_bits(k.at("n").get())));
    PutSsh1Number(b, k.at("n").get());
    PutSsh1Number(b, k.at("e").get());
    PutString(b, comment);
    Bytes priv(check, check + 4);
    for (const char* name : {"d", "iqmp", "Q", "P"}) PutSsh1Number(priv, k.at(name).get());
    if (cipher == 3) {
      priv.resize((priv.size() + 7) / 8 * 8, 0);
      Ssh1Encrypt(passphrase, priv);
    }
    b.insert(b.end(), priv.begin(), priv.end());
    return b;
  }
};

}  // namespace kftest

namespace kftest {

// One RSA and one DSA key made by ssh-keygen, their numbers and their SSH-2 blobs.
struct TestKeys {
  TempDir dir;
  std::string rsa_path, dsa_path;
  std::map<std::string, Bn> rsa, dsa;
  Bytes rsa_pub, rsa_priv, dsa_pub, dsa_priv, dsa_priv_checked;

  TestKeys() {
    rsa_path = dir.File("rsa");
    dsa_path = dir.File("dsa");
    Run("ssh-keygen -q -t rsa -b 1024 -m PEM -N '' -C rsa-key -f " + rsa_path + " >/dev/null 2>&1");
    Run("ssh-keygen -q -t dsa -m PEM -N '' -C dsa-key -f " + dsa_path + " >/dev/null 2>&1");
    rsa = ReadPem(rsa_path, {"n", "e", "d", "rsa-factor1", "rsa-factor2"});
    dsa = ReadPem(dsa_path, {"p", "q", "g", "pub", "priv"});
    if (rsa.size() != 8 || dsa.size() != 5) return;
    PutString(rsa_pub, "ssh-rsa");
    for (const char* n : {"e", "n"}) PutMpint(rsa_pub, rsa.at(n).get());
    for (const char* n : {"d", "P", "Q", "iqmp"}) PutMpint(rsa_priv, rsa.at(n).get());
    PutString(dsa_pub, "ssh-dss");
    for (const char* n : {"p", "q", "g", "pub"}) PutMpint(dsa_pub, dsa.at(n).get());
    PutMpint(dsa_priv, dsa.at("priv").get());
    Bytes pqg;
    for (const char* n : {"p", "q", "g"}) PutMpint(pqg, dsa.at(n).get());
    uint8_t digest[20];
    SHA1(pqg.data(), pqg.size(), digest);
    dsa_priv_checked = dsa_priv;
    PutString(dsa_priv_checked, digest, 20);
  }
  bool ok() const { return !rsa_pub.empty() && !dsa_pub.empty(); }
  Ssh2File RsaFile() const {
    Ssh2File f;
    f.pub = rsa_pub;
    f.priv = rsa_priv;
    return f;
  }
  Ssh2File DsaFile() const {
    Ssh2File f;
    f.algorithm = "ssh-dss";
    f.pub = dsa_pub;
    f.priv = dsa_priv;
    return f;
  }
};

inline const TestKeys& Keys() {
  static TestKeys keys;
  return keys;
}

}  // namespace kftest
