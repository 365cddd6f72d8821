// SSH keys as they come from servers and files: public key blobs of both algorithms (read,
// written back, read again to the same blob, fingerprinted, a signature checked), private
// blobs, and SSH-1 and SSH-2 private key files.
#include <cstring>
#include <string>

#include "fuzz_target.h"
#include "scratch_dir.h"
#include "ssh/crypto/dsa.h"
#include "ssh/crypto/keyfile.h"
#include "ssh/crypto/rsa.h"
#include "ssh/util/alloc.h"

namespace {

const uint8_t* Bytes(std::string_view s) { return reinterpret_cast<const uint8_t*>(s.data()); }

void PublicBlob(const SshHostKeyDesc& alg, std::string_view blob, std::string_view signature) {
  alg.public_bits(Bytes(blob), int32_t(blob.size()));
  void* key = alg.new_public(Bytes(blob), int32_t(blob.size()));
  if (!key) return;
  int32_t length = 0;
  uint8_t* written = alg.public_blob(key, &length);
  FUZZ_CHECK(written && length > 0);
  // What was written reads back to the same key.
  void* again = alg.new_public(written, length);
  FUZZ_CHECK(again);
  int32_t againLength = 0;
  uint8_t* rewritten = alg.public_blob(again, &againLength);
  FUZZ_CHECK(againLength == length && std::memcmp(rewritten, written, size_t(length)) == 0);
  CheckedFree(rewritten);
  alg.free_key(again);
  CheckedFree(written);
  CheckedFree(alg.fingerprint(key));
  CheckedFree(alg.format_key(key));
  static const char kData[] = "exchange hash";
  alg.verify(key, Bytes(signature), int32_t(signature.size()), reinterpret_cast<const uint8_t*>(kData),
             int32_t(sizeof kData - 1));
  alg.free_key(key);
}

void PrivateBlobs(const SshHostKeyDesc& alg, std::string_view pub, std::string_view priv) {
  if (void* key = alg.new_private(Bytes(pub), int32_t(pub.size()), Bytes(priv), int32_t(priv.size()))) {
    CheckedFree(alg.fingerprint(key));
    alg.free_key(key);
  }
  if (void* key = alg.import_private(Bytes(priv), int32_t(priv.size()))) alg.free_key(key);
}

void KeyFile(std::string_view bytes, bool ssh1) {
  static const std::string path = (cvfuzz::ScratchDir() / "key").string();
  cvfuzz::WriteFile(path, bytes);
  KeyFileDetect(path.c_str());
  const char* error = nullptr;
  if (ssh1) {
    Ssh1KeyIsEncrypted(path.c_str());
    SshRsaKey key{};
    if (Ssh1KeyLoad(path.c_str(), &key, &error) == 1) FUZZ_CHECK(key.modulus && key.exponent);
    for (MpInt v : {key.modulus, key.exponent, key.private_exponent, key.p, key.q, key.iqmp}) MpFree(v);
    CheckedFree(key.comment);
    uint8_t* blob = nullptr;
    int32_t length = 0;
    char* comment = nullptr;
    if (Ssh1KeyPublicBlob(path.c_str(), &blob, &length, &comment, &error)) {
      CheckedFree(blob);
      CheckedFree(comment);
    }
    return;
  }
  Ssh2KeyIsEncrypted(path.c_str());
  SshUserKeyFree(Ssh2KeyLoad(path.c_str(), &error));
  const char* algorithm = nullptr;
  int32_t length = 0;
  char* comment = nullptr;
  if (uint8_t* blob = Ssh2KeyLoadPublic(path.c_str(), &algorithm, &length, &comment, &error)) {
    CheckedFree(blob);
    CheckedFree(comment);
  }
}

}  // namespace

CV_FUZZ_TARGET(ssh_keys) {
  cvfuzz::Input in(data, size);
  const uint8_t how = in.Byte();
  const SshHostKeyDesc& alg = how & 1 ? SshDss : SshRsa;
  switch (how >> 1 & 3) {
    case 0: {
      const size_t split = in.U16();
      const std::string_view rest = in.Rest();
      PublicBlob(alg, rest.substr(0, split), rest.substr(std::min(split, rest.size())));
      break;
    }
    case 1: {
      const size_t split = in.U16();
      const std::string_view rest = in.Rest();
      PrivateBlobs(alg, rest.substr(0, split), rest.substr(std::min(split, rest.size())));
      break;
    }
    case 2:
      KeyFile(in.Rest(), false);
      break;
    default:
      KeyFile(in.Rest(), true);
      break;
  }
}
