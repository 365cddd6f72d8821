// RSA keys and "ssh-rsa" signatures, the signature-algorithm record shared with DSA, and
// the SSH-2 blob readers both algorithms use.
//
// Blobs and texts handed out are allocated with CheckedAlloc and released by the caller
// with CheckedFree.
#pragma once

#include <cstdint>

#include "ssh/crypto/mpint.h"
#include "ssh/util/alloc.h"

struct SshHostKeyDesc {
  void* (*new_public)(const uint8_t* blob, int32_t length);
  void (*free_key)(void* key);
  char* (*format_key)(void* key);
  uint8_t* (*public_blob)(void* key, int32_t* length);
  uint8_t* (*private_blob)(void* key, int32_t* length);
  void* (*new_private)(const uint8_t* public_blob, int32_t public_length, const uint8_t* private_blob,
                       int32_t private_length);
  void* (*import_private)(const uint8_t* data, int32_t length);
  int32_t (*export_private)(void* key, uint8_t* buffer, int32_t size);
  int32_t (*public_bits)(const uint8_t* blob, int32_t length);
  char* (*fingerprint)(void* key);
  int32_t (*verify)(void* key, const uint8_t* signature, int32_t signature_length, const uint8_t* data,
                    int32_t data_length);
  uint8_t* (*sign)(void* key, const uint8_t* data, int32_t data_length, int32_t* length);
  const char* ssh_name;
  const char* key_type;
};

extern const SshHostKeyDesc SshRsa;
// The host-key algorithms in order of preference: "ssh-rsa", "ssh-dss".
extern const SshHostKeyDesc* const SshHostKeyAlgorithms[2];
inline constexpr int kSshHostKeyAlgorithmCount = 2;

namespace sshpk {
struct RsaPrivateCache;
}

struct SshRsaKey {
  uint32_t bits;   // as stated by an SSH-1 key form
  uint32_t bytes;  // modulus length in bytes: the SSH-1 encryption block size
  MpInt modulus;
  MpInt exponent;
  MpInt private_exponent;
  MpInt p;
  MpInt q;
  MpInt iqmp;
  char* comment;
  // Set where the key was loaded with p, q and iqmp that agree with n, e and d
  // (RsaCheckKey): the private operation then runs on the two primes.
  uint32_t crt;
  // What the private operation keeps from one call to the next (the halves of d, the
  // Montgomery constants, the blinding pair). Made for the keys RsaNewPrivate and
  // RsaImportPrivate return and released by RsaFreeKey; a key without it (an SSH-1 key
  // held by value) makes the same per call.
  sshpk::RsaPrivateCache* cache;
};

// SSH-2 readers. The cursor and remaining count advance past what was consumed.
void SshGetString(const uint8_t** cursor, int32_t* remaining, const uint8_t** string, int32_t* length);
MpInt SshGetMpInt(const uint8_t** cursor, int32_t* remaining);

// Descriptor operations (key arguments are SshRsaKey*).
void* RsaNewPublic(const uint8_t* blob, int32_t length);
void RsaFreeKey(void* key);
char* RsaFormatKey(void* key);
uint8_t* RsaPublicBlob(void* key, int32_t* length);
uint8_t* RsaPrivateBlob(void* key, int32_t* length);
void* RsaNewPrivate(const uint8_t* public_blob, int32_t public_length, const uint8_t* private_blob,
                    int32_t private_length);
void* RsaImportPrivate(const uint8_t* data, int32_t length);
int32_t RsaExportPrivate(void* key, uint8_t* buffer, int32_t size);
int32_t RsaPublicBits(const uint8_t* blob, int32_t length);
char* RsaFingerprint(void* key);
int32_t RsaVerify(void* key, const uint8_t* signature, int32_t signature_length, const uint8_t* data,
                  int32_t data_length);
uint8_t* RsaSign(void* key, const uint8_t* data, int32_t data_length, int32_t* length);

// SSH-1 key forms and operations.
int32_t Ssh1ReadRsaPublic(const uint8_t* bytes, int32_t length, SshRsaKey* key, const uint8_t** modulus_bytes,
                          int order);
int32_t Ssh1ReadRsaPrivateExponent(const uint8_t* bytes, int32_t length, SshRsaKey* key);
uint8_t* Ssh1RsaPublicBlob(SshRsaKey* key, int32_t* length);
// PKCS #1 v1.5 encryption in place of a buffer of key->bytes bytes; 1, or 0 when the
// data leaves fewer than 4 bytes of padding.
int32_t RsaPublicEncrypt(uint8_t* buffer, int32_t data_length, SshRsaKey* key);
// input^d mod n, blinded; nullptr for a key without d.
MpInt RsaPrivate(MpConstInt input, SshRsaKey* key);
int32_t RsaCheckKey(SshRsaKey* key);
// Runs RsaCheckKey and sets `crt` from its answer; returns that answer.
int32_t RsaPrepareCrt(SshRsaKey* key);

// Limits on the public numbers of a key: refusing anything outside them refuses no key
// that can carry a real signature.
inline constexpr int kRsaMinBits = 512;
inline constexpr int kRsaMaxBits = 16384;

namespace sshpk {
// RsaPublicEncrypt with its padding bytes from `next_byte`.
int32_t RsaEncryptWith(uint8_t* buffer, int32_t data_length, SshRsaKey* key, sshmp::ByteSource next_byte,
                       void* context);
// c^d mod n through the two primes (Chinese remainder theorem) of a key whose parts
// agree, with the halves of d and the primes' constants from `cache` where it has them;
// nullptr when memory is short.
MpInt RsaCrtPower(MpConstInt c, const SshRsaKey* key, const RsaPrivateCache* cache = nullptr);
// Makes the key's cache (nothing for a key without d); false when memory is short.
bool RsaMakeCache(SshRsaKey* key);
void RsaFreeCache(SshRsaKey* key);
// The blinding factor r that the private operation draws for `input` (0 < r < n, with an
// inverse), from the SHA-512 stream of d and the input; nullptr when memory is short.
MpInt RsaBlindingFactor(MpConstInt input, const SshRsaKey* key);
// The private operations after which the blinding pair is drawn afresh; between draws it
// is squared.
inline constexpr uint32_t kRsaBlindingRedraw = 32;
// True when n and e are acceptable public numbers.
bool RsaPublicNumbersOk(MpConstInt n, MpConstInt e);
// "<name> <bits> " and the MD5 of the blob as colon-separated pairs.
char* Fingerprint(const char* name, int bits, const uint8_t* blob, int32_t length);
// Text of "0x<hex>,0x<hex>..." for the given numbers.
char* FormatHexList(MpConstInt const* numbers, int count);
// Reads a string that must equal `name` exactly.
bool ReadName(const uint8_t** cursor, int32_t* remaining, const char* name);

// Writes SSH-2 strings and mpints; a first pass with no buffer measures.
class BlobWriter {
 public:
  explicit BlobWriter(uint8_t* out) : out_(out) {}
  void Uint32(uint32_t v);
  void String(const void* data, uint32_t length);
  void Mp(MpConstInt a);
  void Fixed(MpConstInt a, uint32_t bytes);  // exactly `bytes` big-endian bytes, no length
  int32_t size() const { return static_cast<int32_t>(size_); }

 private:
  uint8_t* out_;
  size_t size_ = 0;
};

// Measures with `write(nullptr)`, allocates and writes; nullptr when memory is short.
template <class Write>
uint8_t* MakeBlob(Write write, int32_t* length);
}  // namespace sshpk

template <class Write>
uint8_t* sshpk::MakeBlob(Write write, int32_t* length) {
  BlobWriter measure(nullptr);
  write(measure);
  auto* out = static_cast<uint8_t*>(CheckedAlloc(static_cast<size_t>(measure.size()), 1));
  if (!out) return nullptr;
  BlobWriter w(out);
  write(w);
  if (length) *length = w.size();
  return out;
}
