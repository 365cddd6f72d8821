// RSA operations: PKCS #1 v1.5 SHA-1 signatures, SSH-1 session-key encryption and the
// consistency check of private keys (the blinded private operation is in rsa_private.cpp).
#include <cstring>
#include <initializer_list>

#include "ssh/crypto/hash.h"
#include "ssh/crypto/mp_internal.h"
#include "ssh/crypto/random_pool.h"
#include "ssh/crypto/rsa.h"

using sshmp::MpHolder;

namespace {

// Zero separator and the DER DigestInfo header of SHA-1 (PKCS #1).
const uint8_t kSha1Prefix[16] = {0x00, 0x30, 0x21, 0x30, 0x09, 0x06, 0x05, 0x2B,
                                 0x0E, 0x03, 0x02, 0x1A, 0x05, 0x00, 0x04, 0x14};

uint8_t PoolByte(void*) { return RandomByte(); }

}  // namespace

uint8_t* RsaSign(void* k, const uint8_t* data, int32_t data_length, int32_t* length) {
  auto* key = static_cast<SshRsaKey*>(k);
  if (!key || !key->modulus || data_length < 0) return nullptr;
  const int bits = MpBitCount(key->modulus);
  const int size = (bits - 1) / 8;
  if (size < 37 + 1) return nullptr;
  sshmp::Scratch<uint8_t> block(static_cast<size_t>(size));
  if (!block.ok()) return nullptr;
  block[0] = 0x01;
  std::memset(block.get() + 1, 0xFF, static_cast<size_t>(size - 37));
  std::memcpy(block.get() + size - 36, kSha1Prefix, 16);
  Sha1Digest(data, static_cast<size_t>(data_length), block.get() + size - 20);
  MpHolder m(MpFromBytes(block.get(), block.size()));
  if (!m.p) return nullptr;
  MpHolder s(RsaPrivate(m.p, key));
  if (!s.p) return nullptr;
  const uint32_t s_bytes = static_cast<uint32_t>((MpBitCount(s.p) + 7) / 8);
  return sshpk::MakeBlob(
      [&](sshpk::BlobWriter& w) {
        w.String("ssh-rsa", 7);
        w.Uint32(s_bytes);
        w.Fixed(s.p, s_bytes);
      },
      length);
}

int32_t RsaVerify(void* k, const uint8_t* signature, int32_t signature_length, const uint8_t* data,
                  int32_t data_length) {
  auto* key = static_cast<SshRsaKey*>(k);
  if (!key || !key->modulus || !key->exponent || !signature || signature_length < 0 || data_length < 0)
    return 0;
  const int size = (MpBitCount(key->modulus) + 7) / 8;
  if (size < 46) return 0;  // no room for the padding, prefix and digest
  if (!sshpk::ReadName(&signature, &signature_length, "ssh-rsa")) return 0;
  MpHolder s(SshGetMpInt(&signature, &signature_length));
  // s must be below n, else s + n would verify as well.
  if (!s.p || MpCompare(s.p, key->modulus) >= 0) return 0;
  MpHolder m(MpModPow(s.p, key->exponent, key->modulus));
  if (!m.p) return 0;
  uint8_t hash[20];
  Sha1Digest(data, static_cast<size_t>(data_length), hash);
  int ok = MpByte(m.p, size - 1) == 0x00 && MpByte(m.p, size - 2) == 0x01;
  for (int i = size - 3; i >= 36; --i) ok &= MpByte(m.p, i) == 0xFF;
  for (int i = 35; i >= 20; --i) ok &= MpByte(m.p, i) == kSha1Prefix[35 - i];
  for (int i = 19; i >= 0; --i) ok &= MpByte(m.p, i) == hash[19 - i];
  return ok;
}

int32_t sshpk::RsaEncryptWith(uint8_t* buffer, int32_t data_length, SshRsaKey* key, sshmp::ByteSource next_byte,
                              void* context) {
  if (!buffer || !key || !key->modulus || !key->exponent || data_length < 0) return 0;
  const int32_t bytes = static_cast<int32_t>(key->bytes);
  if (bytes < data_length + 4) return 0;
  std::memmove(buffer + bytes - data_length, buffer, static_cast<size_t>(data_length));
  buffer[0] = 0x00;
  buffer[1] = 0x02;
  const int32_t separator = bytes - data_length - 1;
  for (int32_t i = 2; i < separator; ++i) {
    uint8_t b;
    do b = next_byte(context);
    while (b == 0);
    buffer[i] = b;
  }
  buffer[separator] = 0x00;
  MpHolder m(MpFromBytes(buffer, static_cast<size_t>(bytes)));
  MpHolder c(m.p ? MpModPow(m.p, key->exponent, key->modulus) : nullptr);
  if (!c.p) return 0;
  MpWriteFixed(buffer, static_cast<size_t>(bytes), c.p);
  return 1;
}

int32_t RsaPublicEncrypt(uint8_t* buffer, int32_t data_length, SshRsaKey* key) {
  return sshpk::RsaEncryptWith(buffer, data_length, key, PoolByte, nullptr);
}

int32_t RsaPrepareCrt(SshRsaKey* key) {
  if (!key) return 0;
  key->crt = RsaCheckKey(key) ? 1 : 0;
  return int32_t(key->crt);
}

int32_t RsaCheckKey(SshRsaKey* key) {
  if (!key || !key->modulus || !key->exponent || !key->private_exponent || !key->p || !key->q || !key->iqmp)
    return 0;
  MpHolder pq(MpMul(key->p, key->q));
  if (!pq.p || MpCompare(pq.p, key->modulus) != 0) return 0;
  if (MpCompare(key->p, key->q) <= 0) return 0;
  MpHolder ed(MpMul(key->exponent, key->private_exponent));
  if (!ed.p) return 0;
  for (MpConstInt prime : {static_cast<MpConstInt>(key->p), static_cast<MpConstInt>(key->q)}) {
    MpHolder less(MpCopy(prime));
    if (!less.p) return 0;
    MpDecrement(less.p);
    sshmp::Trim(less.p);
    MpHolder rem(MpMod(ed.p, less.p));
    if (!rem.p || MpCompare(rem.p, MpOne) != 0) return 0;
  }
  MpHolder check(MpModMul(key->iqmp, key->q, key->p));
  return check.p && MpCompare(check.p, MpOne) == 0 ? 1 : 0;
}

const SshHostKeyDesc SshRsa = {RsaNewPublic,  RsaFreeKey,      RsaFormatKey,     RsaPublicBlob,
                               RsaPrivateBlob, RsaNewPrivate,  RsaImportPrivate, RsaExportPrivate,
                               RsaPublicBits, RsaFingerprint,  RsaVerify,        RsaSign,
                               "ssh-rsa",     "rsa2"};
