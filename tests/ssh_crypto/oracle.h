#pragma once
// OpenSSL as the reference the SSH layer's own crypto code is checked against.
#include <openssl/evp.h>
#include <openssl/hmac.h>

#include <cstdint>
#include <random>
#include <string>
#include <vector>

#include "platform/tls/tls_internal.h"

namespace oracle {

using Bytes = std::vector<uint8_t>;

inline Bytes Digest(const char* name, const Bytes& data) {
  Bytes out(EVP_MAX_MD_SIZE);
  unsigned len = 0;
  EVP_Digest(data.data(), data.size(), out.data(), &len, EVP_get_digestbyname(name), nullptr);
  out.resize(len);
  return out;
}

inline Bytes Hmac(const char* name, const Bytes& key, const Bytes& data) {
  Bytes out(EVP_MAX_MD_SIZE);
  unsigned len = 0;
  HMAC(EVP_get_digestbyname(name), key.data(), int(key.size()), data.data(), data.size(), out.data(), &len);
  out.resize(len);
  return out;
}

// DES, Blowfish and RC4 live in OpenSSL's legacy provider.
inline void LoadProviders() { plat::tlsdetail::LoadLegacyProvider(); }

// One pass of an OpenSSL cipher without padding (ECB, CBC or CTR as named).
inline Bytes Cipher(const char* name, const Bytes& key, const Bytes& iv, const Bytes& in, bool encrypt) {
  LoadProviders();
  EVP_CIPHER_CTX* ctx = EVP_CIPHER_CTX_new();
  EVP_CIPHER* c = EVP_CIPHER_fetch(nullptr, name, nullptr);
  Bytes out(in.size() + 64);
  int n1 = 0, n2 = 0;
  EVP_CipherInit_ex(ctx, c, nullptr, nullptr, nullptr, encrypt ? 1 : 0);
  EVP_CIPHER_CTX_set_key_length(ctx, int(key.size()));
  EVP_CipherInit_ex(ctx, nullptr, nullptr, key.data(), iv.empty() ? nullptr : iv.data(), encrypt ? 1 : 0);
  EVP_CIPHER_CTX_set_padding(ctx, 0);
  EVP_CipherUpdate(ctx, out.data(), &n1, in.data(), int(in.size()));
  EVP_CipherFinal_ex(ctx, out.data() + n1, &n2);
  EVP_CIPHER_CTX_free(ctx);
  EVP_CIPHER_free(c);
  out.resize(size_t(n1 + n2));
  return out;
}

inline Bytes Random(std::mt19937& rng, size_t n) {
  Bytes b(n);
  for (auto& x : b) x = uint8_t(rng());
  return b;
}

inline Bytes FromHex(const std::string& hex) {
  Bytes b;
  for (size_t i = 0; i + 1 < hex.size(); i += 2) b.push_back(uint8_t(std::stoul(hex.substr(i, 2), nullptr, 16)));
  return b;
}

inline std::string ToHex(const uint8_t* p, size_t n) {
  static const char* d = "0123456789abcdef";
  std::string s;
  for (size_t i = 0; i < n; ++i) {
    s += d[p[i] >> 4];
    s += d[p[i] & 15];
  }
  return s;
}
inline std::string ToHex(const Bytes& b) { return ToHex(b.data(), b.size()); }

}  // namespace oracle
