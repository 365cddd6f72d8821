// The binary SSH-1 RSA key file: header line, public part and comment in clear, then the
// private part (check bytes and numbers), encrypted with triple DES when the cipher type
// says so.
#include <cstring>
#include <memory>
#include <new>

#include "ssh/crypto/cipher.h"
#include "ssh/crypto/hash.h"
#include "ssh/crypto/keyfile.h"
#include "ssh/crypto/keyfile_io.h"

using namespace sshkeyfile;

namespace {

constexpr char kSsh1Header[] = "SSH PRIVATE KEY FILE FORMAT 1.1\n";
// Everything after the header line must be shorter than this.
constexpr int32_t kMaxData = 16384;
constexpr int kCipherNone = 0;
constexpr int kCipher3Des = 3;

struct Ssh1Data {
  // Eight spare bytes: decryption works on the private part rounded up to whole blocks.
  uint8_t bytes[kMaxData + 8] = {};
  int32_t length = 0;
  int cipher = 0;
  int32_t private_at = 0;  // where the check bytes start
  ~Ssh1Data() { explicit_bzero(bytes, sizeof bytes); }
};

void ReleaseKey(SshRsaKey& key) {
  for (MpInt* v : {&key.modulus, &key.exponent, &key.private_exponent, &key.p, &key.q, &key.iqmp}) {
    MpFree(*v);
    *v = nullptr;
  }
  CheckedFree(key.comment);
  key.comment = nullptr;
}

// Holds the numbers and comment read so far and releases them unless they are taken.
struct KeyHolder {
  SshRsaKey key{};
  ~KeyHolder() { ReleaseKey(key); }
};

uint32_t Read32(const uint8_t* p) {
  return (uint32_t{p[0]} << 24) | (uint32_t{p[1]} << 16) | (uint32_t{p[2]} << 8) | p[3];
}

// Reads the file and its clear part: the public numbers and comment go into `key`.
// Returns null on success, else the error text.
const char* ReadClearPart(const char* filename, Ssh1Data& data, SshRsaKey& key) {
  {
    KeyFile file(filename);
    if (!file) return kCantOpen;
    char line[64];
    if (!std::fgets(line, sizeof line, file.get()) || std::strcmp(line, kSsh1Header) != 0) return kNotSsh1;
    size_t n = std::fread(data.bytes, 1, kMaxData, file.get());
    if (std::ferror(file.get()) || n >= static_cast<size_t>(kMaxData)) return kReadError;
    data.length = static_cast<int32_t>(n);
  }
  const uint8_t* b = data.bytes;
  if (data.length < 6 || b[0] != 0) return kFormatError;
  data.cipher = b[1];
  if (data.cipher != kCipherNone && data.cipher != kCipher3Des) return kFormatError;
  if (b[2] | b[3] | b[4] | b[5]) return kFormatError;
  int32_t pos = 6;
  int32_t used = Ssh1ReadRsaPublic(b + pos, data.length - pos, &key, nullptr, 1);
  if (used < 0) return kFormatError;
  pos += used;
  if (data.length - pos < 4) return kFormatError;
  const uint32_t comment_length = Read32(b + pos);
  pos += 4;
  if (comment_length > static_cast<uint32_t>(data.length - pos)) return kFormatError;
  key.comment = static_cast<char*>(CheckedAlloc(comment_length + 1, 1));
  if (!key.comment) return kFormatError;
  std::memcpy(key.comment, b + pos, comment_length);
  key.comment[comment_length] = '\0';
  data.private_at = pos + static_cast<int32_t>(comment_length);
  return nullptr;
}

// Reads one SSH-1 number of the private part; false when it does not fit.
bool ReadNumber(const Ssh1Data& data, int32_t* pos, MpInt* out) {
  MpInt value = nullptr;
  int used = MpReadSsh1(data.bytes + *pos, data.length - *pos, &value);
  if (used < 0) return false;
  MpFree(*out);
  *out = value;
  *pos += used;
  return true;
}

void SetError(const char** error, const char* text) {
  if (error) *error = text;
}

}  // namespace

int32_t Ssh1KeyLoad(const char* filename, SshRsaKey* key, const char** error) {
  std::unique_ptr<Ssh1Data> data(new (std::nothrow) Ssh1Data);
  KeyHolder loaded;
  if (!data || !key) {
    SetError(error, kFormatError);
    return 0;
  }
  if (const char* fault = ReadClearPart(filename, *data, loaded.key)) {
    SetError(error, fault);
    return 0;
  }
  SetError(error, kFormatError);
  int32_t pos = data->private_at;
  if (data->cipher == kCipher3Des) {
    // No caller has a passphrase: the key of an empty one, so that a file encrypted
    // with any other passphrase fails on its check bytes.
    uint8_t digest[16];
    Md5Digest("", 0, digest);
    const uint32_t rest = static_cast<uint32_t>(data->length - pos);
    Des3KeyFileDecrypt(digest, data->bytes + pos, (rest + 7) & ~7u);
    explicit_bzero(digest, sizeof digest);
  }
  if (data->length - pos < 4) return 0;
  const uint8_t* check = data->bytes + pos;
  if (check[0] != check[2] || check[1] != check[3]) {
    SetError(error, kWrongPassphrase);
    return -1;
  }
  pos += 4;
  SshRsaKey& k = loaded.key;
  if (!ReadNumber(*data, &pos, &k.private_exponent) || !ReadNumber(*data, &pos, &k.iqmp) ||
      !ReadNumber(*data, &pos, &k.q) || !ReadNumber(*data, &pos, &k.p))
    return 0;
  if (!RsaPrepareCrt(&k)) {
    SetError(error, kVerifyFailed);
    return 0;
  }
  ReleaseKey(*key);
  *key = k;
  k = SshRsaKey{};
  SetError(error, nullptr);
  return 1;
}

int32_t Ssh1KeyIsEncrypted(const char* filename) {
  std::unique_ptr<Ssh1Data> data(new (std::nothrow) Ssh1Data);
  KeyHolder loaded;
  return data && !ReadClearPart(filename, *data, loaded.key) && data->cipher == kCipher3Des ? 1 : 0;
}

int32_t Ssh1KeyPublicBlob(const char* filename, uint8_t** blob, int32_t* length, char** comment,
                          const char** error) {
  std::unique_ptr<Ssh1Data> data(new (std::nothrow) Ssh1Data);
  KeyHolder loaded;
  const char* fault = data ? ReadClearPart(filename, *data, loaded.key) : kFormatError;
  uint8_t* out = fault ? nullptr : Ssh1RsaPublicBlob(&loaded.key, length);
  if (!out) {
    SetError(error, fault ? fault : kFormatError);
    return 0;
  }
  if (blob) *blob = out; else CheckedFree(out);
  if (comment) {
    *comment = loaded.key.comment;
    loaded.key.comment = nullptr;
  }
  SetError(error, nullptr);
  return 1;
}
