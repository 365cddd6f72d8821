// The line-oriented SSH-2 key file: header lines, the public and private blobs in Base64
// lines, and a SHA-1 "Private-MAC" over both blobs and the headers before them.
#include "ssh/crypto/keyfile_ssh2.h"

#include <cstring>

#include "ssh/crypto/ct_compare.h"
#include "ssh/crypto/dsa.h"
#include "ssh/crypto/hash.h"
#include "ssh/crypto/keyfile.h"
#include "ssh/crypto/keyfile_io.h"
#include "ssh/util/strings.h"

using namespace sshkeyfile;

namespace {

constexpr char kEncryptionNone[] = "none";
constexpr char kEncryptionAes[] = "aes256-cbc";

void SetError(const char** error, const char* text) {
  if (error) *error = text;
}

void MacString(Sha1State* s, const void* data, size_t length) {
  const uint8_t size[4] = {static_cast<uint8_t>(length >> 24), static_cast<uint8_t>(length >> 16),
                           static_cast<uint8_t>(length >> 8), static_cast<uint8_t>(length)};
  Sha1Append(s, size, 4);
  if (length) Sha1Append(s, data, length);  // an empty blob may have no storage at all
}

// True when `mac` is the lowercase hexadecimal SHA-1 of the file's MAC data.
bool MacMatches(const std::string& algorithm, const std::string& encryption, const std::string& comment,
                const SecretBytes& pub, const SecretBytes& priv, const std::string& mac) {
  Sha1State s;
  Sha1Begin(&s);
  MacString(&s, algorithm.data(), algorithm.size());
  MacString(&s, encryption.data(), encryption.size());
  MacString(&s, comment.data(), comment.size());
  MacString(&s, pub.data(), static_cast<size_t>(pub.size()));
  MacString(&s, priv.data(), static_cast<size_t>(priv.size()));
  uint8_t digest[20];
  Sha1End(&s, digest);
  explicit_bzero(&s, sizeof s);
  static const char kHex[] = "0123456789abcdef";
  char text[40];
  for (int i = 0; i < 20; ++i) {
    text[2 * i] = kHex[digest[i] >> 4];
    text[2 * i + 1] = kHex[digest[i] & 15];
  }
  return mac.size() == sizeof text && SshConstTimeEqual(text, mac.data(), sizeof text);
}

// Lines 1 to 3 and the public blob, shared by both loaders. Returns null on success or
// the error text; `unreadable_first` tells a first line that is not a header line.
struct PublicPart {
  const SshHostKeyDesc* algorithm = nullptr;
  std::string algorithm_name, encryption, comment;
  SecretBytes pub;
};

const char* ReadPublicPart(FILE* file, PublicPart& part, bool* unreadable_first) {
  *unreadable_first = !ReadHeader(file, nullptr, part.algorithm_name);
  if (*unreadable_first) return kFormatError;
  part.algorithm = Ssh2Algorithm(part.algorithm_name);
  if (!part.algorithm || !ReadHeader(file, "Encryption", part.encryption) ||
      !ReadHeader(file, "Comment", part.comment) || !ReadBlob(file, "Public-Lines", part.pub))
    return kFormatError;
  return nullptr;
}

}  // namespace

const SshHostKeyDesc* sshkeyfile::Ssh2Algorithm(const std::string& name) {
  for (const SshHostKeyDesc* desc : {&SshRsa, &SshDss})
    if (name == desc->ssh_name) return desc;
  return nullptr;
}

SshUserKey* Ssh2KeyLoad(const char* filename, const char** error) {
  PublicPart part;
  SecretBytes priv;
  std::string mac;
  {
    KeyFile file(filename);
    if (!file) {
      SetError(error, kCantOpen);
      return nullptr;
    }
    bool unreadable_first = false;
    const char* fault = ReadPublicPart(file.get(), part, &unreadable_first);
    if (unreadable_first) {
      SetError(error, nullptr);
      return nullptr;
    }
    SetError(error, kFormatError);
    if (fault) return nullptr;
    if (part.encryption != kEncryptionNone && part.encryption != kEncryptionAes) return nullptr;
    if (!ReadBlob(file.get(), "Private-Lines", priv) || !ReadHeader(file.get(), "Private-MAC", mac))
      return nullptr;
  }
  // An encrypted key would need a passphrase, which no caller has.
  if (part.encryption == kEncryptionAes) return nullptr;
  if (!MacMatches(part.algorithm_name, part.encryption, part.comment, part.pub, priv, mac)) {
    SetError(error, kMacFailed);
    return nullptr;
  }
  void* key = part.algorithm->new_private(part.pub.data(), part.pub.size(), priv.data(), priv.size());
  if (!key) {
    SetError(error, kCreateKeyFailed);
    return nullptr;
  }
  auto* user = static_cast<SshUserKey*>(CheckedAlloc(1, sizeof(SshUserKey)));
  char* comment = DupString(part.comment.c_str());
  if (!user || !comment) {
    part.algorithm->free_key(key);
    CheckedFree(user);
    CheckedFree(comment);
    return nullptr;
  }
  *user = SshUserKey{part.algorithm, key, comment};
  SetError(error, nullptr);
  return user;
}

uint8_t* Ssh2KeyLoadPublic(const char* filename, const char** algorithm, int32_t* length, char** comment,
                           const char** error) {
  PublicPart part;
  {
    KeyFile file(filename);
    if (!file) {
      SetError(error, kCantOpen);
      return nullptr;
    }
    bool unreadable_first = false;
    SetError(error, kFormatError);
    if (ReadPublicPart(file.get(), part, &unreadable_first) || part.pub.size() == 0) return nullptr;
  }
  auto* blob = static_cast<uint8_t*>(CheckedAlloc(static_cast<size_t>(part.pub.size()), 1));
  char* text = comment ? DupString(part.comment.c_str()) : nullptr;
  if (!blob || (comment && !text)) {
    CheckedFree(blob);
    CheckedFree(text);
    return nullptr;
  }
  std::memcpy(blob, part.pub.data(), static_cast<size_t>(part.pub.size()));
  if (algorithm) *algorithm = part.algorithm->ssh_name;
  if (length) *length = part.pub.size();
  if (comment) *comment = text;
  SetError(error, nullptr);
  return blob;
}

int32_t Ssh2KeyIsEncrypted(const char* filename) {
  KeyFile file(filename);
  if (!file) return 0;
  std::string value, encryption;
  if (!ReadHeader(file.get(), nullptr, value) || !ReadHeader(file.get(), "Encryption", encryption)) return 0;
  if (!ReadHeader(file.get(), "Comment", value)) return 1;
  return encryption == kEncryptionAes ? 1 : 0;
}

void SshUserKeyFree(SshUserKey* key) {
  if (!key) return;
  if (key->algorithm && key->key) key->algorithm->free_key(key->key);
  CheckedFree(key->comment);
  CheckedFree(key);
}
