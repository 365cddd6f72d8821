// Real keys for the RSA and DSA tests: made by openssl and ssh-keygen in a temporary
// directory, read back with OpenSSL, and SSH-2 encodings built independently of the code
// under test.
#pragma once

#include <gtest/gtest.h>
#include <openssl/bn.h>
#include <openssl/core_names.h>
#include <openssl/evp.h>
#include <openssl/pem.h>

#include <cstdio>
#include <cstdlib>
#include <filesystem>
#include <map>
#include <string>
#include <vector>

namespace pktest {

using Bytes_t = std::vector<uint8_t>;

class TempDir {
 public:
  TempDir() {
    std::string t = (std::filesystem::temp_directory_path() / "sshpkXXXXXX").string();
    path_ = mkdtemp(t.data()) ? t : "";
  }
  ~TempDir() {
    std::error_code ec;
    if (!path_.empty()) std::filesystem::remove_all(path_, ec);
  }
  std::string File(const std::string& name) const { return path_ + "/" + name; }

 private:
  std::string path_;
};

inline std::string Run(const std::string& cmd) {
  std::string out;
  FILE* f = popen(cmd.c_str(), "r");
  if (!f) return out;
  char buf[4096];
  size_t n;
  while ((n = fread(buf, 1, sizeof buf, f)) > 0) out.append(buf, n);
  pclose(f);
  return out;
}

inline Bytes_t Base64(const std::string& text) {
  Bytes_t out(text.size());
  int n = EVP_DecodeBlock(out.data(), reinterpret_cast<const unsigned char*>(text.data()),
                          static_cast<int>(text.size()));
  if (n < 0) return {};
  size_t pad = 0;
  for (size_t i = text.size(); i > 0 && text[i - 1] == '='; --i) ++pad;
  out.resize(static_cast<size_t>(n) - pad);
  return out;
}

// SSH-2 encodings (RFC 4251) written from OpenSSL numbers.
inline void PutString(Bytes_t& b, const void* data, size_t n) {
  for (int s = 24; s >= 0; s -= 8) b.push_back(static_cast<uint8_t>(n >> s));
  auto* p = static_cast<const uint8_t*>(data);
  b.insert(b.end(), p, p + n);
}
inline void PutString(Bytes_t& b, const std::string& s) { PutString(b, s.data(), s.size()); }
inline void PutMpint(Bytes_t& b, const BIGNUM* v) {
  Bytes_t raw(static_cast<size_t>(BN_num_bytes(v)));
  BN_bn2bin(v, raw.data());
  if (!raw.empty() && (raw[0] & 0x80)) raw.insert(raw.begin(), 0);
  PutString(b, raw.data(), raw.size());
}

// A private key file and its numbers by OpenSSL parameter name ("n", "e", "d",
// "rsa-factor1", ... or "p", "q", "g", "pub", "priv").
struct KeyFile {
  std::string path;
  EVP_PKEY* pkey = nullptr;
  std::map<std::string, BIGNUM*> bn;
  KeyFile() = default;
  KeyFile(const KeyFile&) = delete;
  ~KeyFile() {
    for (auto& [k, v] : bn) BN_free(v);
    EVP_PKEY_free(pkey);
  }
  const BIGNUM* operator[](const std::string& name) const { return bn.at(name); }
};

inline bool LoadKey(KeyFile& k, const std::vector<std::string>& names) {
  FILE* f = fopen(k.path.c_str(), "r");
  if (!f) return false;
  k.pkey = PEM_read_PrivateKey(f, nullptr, nullptr, nullptr);
  fclose(f);
  if (!k.pkey) return false;
  for (auto& n : names) {
    BIGNUM* v = nullptr;
    if (!EVP_PKEY_get_bn_param(k.pkey, n.c_str(), &v)) return false;
    k.bn[n] = v;
  }
  return true;
}

// Makes a key with the given shell command (which writes `path`) and loads it.
inline void MakeKey(KeyFile& k, const std::string& path, const std::string& cmd,
                    const std::vector<std::string>& names) {
  k.path = path;
  Run(cmd + " >/dev/null 2>&1");
  ASSERT_TRUE(LoadKey(k, names)) << cmd;
}

// The base64 field of `ssh-keygen -y` decoded, and the MD5 pairs of `ssh-keygen -l`.
inline Bytes_t KeygenPublicBlob(const std::string& path) {
  std::string line = Run("ssh-keygen -y -f " + path);
  size_t a = line.find(' ');
  size_t b = line.find_first_of(" \n", a + 1);
  return Base64(line.substr(a + 1, b - a - 1));
}
inline std::string KeygenMd5(const std::string& path) {
  std::string line = Run("ssh-keygen -l -E md5 -f " + path);  // "2048 MD5:aa:..:ff comment (RSA)"
  size_t a = line.find("MD5:");
  return a == std::string::npos ? "" : line.substr(a + 4, 47);
}

inline Bytes_t Bn(const BIGNUM* v, size_t size = 0) {
  Bytes_t out(size ? size : static_cast<size_t>(BN_num_bytes(v)));
  BN_bn2binpad(v, out.data(), static_cast<int>(out.size()));
  return out;
}

}  // namespace pktest
