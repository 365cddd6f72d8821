// RSA key records: creation from SSH-2 and SSH-1 forms, blobs, text forms.
#include "ssh/crypto/rsa.h"

#include <cstring>
#include <initializer_list>
#include <new>

#include "ssh/crypto/mp_internal.h"

using sshmp::MpHolder;
using sshpk::BlobWriter;

namespace {

SshRsaKey* NewKey() { return new (std::nothrow) SshRsaKey{}; }

void SetBytes(SshRsaKey* key) {
  key->bytes = static_cast<uint32_t>((MpBitCount(key->modulus) + 7) / 8);
}

}  // namespace

bool sshpk::RsaPublicNumbersOk(MpConstInt n, MpConstInt e) {
  if (!n || !e) return false;
  const int bits = MpBitCount(n);
  if (bits < kRsaMinBits || bits > kRsaMaxBits || (n[1] & 1) == 0) return false;
  if ((e[0] == 0) || (e[1] & 1) == 0 || MpBitCount(e) < 2 || MpCompare(e, n) >= 0) return false;
  // Large moduli come with small exponents; a huge e there only makes verification slow.
  if (bits > 3072 && MpBitCount(e) > 64) return false;
  return true;
}

void* RsaNewPublic(const uint8_t* blob, int32_t length) {
  if (!blob || length < 0) return nullptr;
  if (!sshpk::ReadName(&blob, &length, "ssh-rsa")) return nullptr;
  MpHolder e(SshGetMpInt(&blob, &length));
  MpHolder n(SshGetMpInt(&blob, &length));
  if (!sshpk::RsaPublicNumbersOk(n, e)) return nullptr;
  SshRsaKey* key = NewKey();
  if (!key) return nullptr;
  key->exponent = e.release();
  key->modulus = n.release();
  key->bits = static_cast<uint32_t>(MpBitCount(key->modulus));
  SetBytes(key);
  return key;
}

void RsaFreeKey(void* k) {
  auto* key = static_cast<SshRsaKey*>(k);
  if (!key) return;
  for (MpInt v : {key->modulus, key->exponent, key->private_exponent, key->p, key->q, key->iqmp}) MpFree(v);
  CheckedFree(key->comment);
  sshpk::RsaFreeCache(key);
  explicit_bzero(key, sizeof *key);
  delete key;
}

char* RsaFormatKey(void* k) {
  auto* key = static_cast<SshRsaKey*>(k);
  MpConstInt numbers[2] = {key->exponent, key->modulus};
  return sshpk::FormatHexList(numbers, 2);
}

uint8_t* RsaPublicBlob(void* k, int32_t* length) {
  auto* key = static_cast<SshRsaKey*>(k);
  return sshpk::MakeBlob(
      [key](BlobWriter& w) {
        w.String("ssh-rsa", 7);
        w.Mp(key->exponent);
        w.Mp(key->modulus);
      },
      length);
}

uint8_t* RsaPrivateBlob(void* k, int32_t* length) {
  auto* key = static_cast<SshRsaKey*>(k);
  if (!key->private_exponent || !key->p || !key->q || !key->iqmp) return nullptr;
  return sshpk::MakeBlob(
      [key](BlobWriter& w) {
        w.Mp(key->private_exponent);
        w.Mp(key->p);
        w.Mp(key->q);
        w.Mp(key->iqmp);
      },
      length);
}

void* RsaNewPrivate(const uint8_t* public_blob, int32_t public_length, const uint8_t* private_blob,
                    int32_t private_length) {
  auto* key = static_cast<SshRsaKey*>(RsaNewPublic(public_blob, public_length));
  if (!key) return nullptr;
  if (private_blob && private_length >= 0) {
    key->private_exponent = SshGetMpInt(&private_blob, &private_length);
    key->p = SshGetMpInt(&private_blob, &private_length);
    key->q = SshGetMpInt(&private_blob, &private_length);
    key->iqmp = SshGetMpInt(&private_blob, &private_length);
  }
  if (!RsaPrepareCrt(key)) {
    RsaFreeKey(key);
    return nullptr;
  }
  sshpk::RsaMakeCache(key);  // without it each signature makes the same numbers itself
  return key;
}

void* RsaImportPrivate(const uint8_t* data, int32_t length) {
  if (!data || length < 0) return nullptr;
  MpHolder n(SshGetMpInt(&data, &length)), e(SshGetMpInt(&data, &length));
  MpHolder d(SshGetMpInt(&data, &length)), iqmp(SshGetMpInt(&data, &length));
  MpHolder p(SshGetMpInt(&data, &length)), q(SshGetMpInt(&data, &length));
  if (!n.p || !e.p || !d.p || !iqmp.p || !p.p || !q.p) return nullptr;
  if (!sshpk::RsaPublicNumbersOk(n, e)) return nullptr;
  SshRsaKey* key = NewKey();
  if (!key) return nullptr;
  key->modulus = n.release();
  key->exponent = e.release();
  key->private_exponent = d.release();
  key->iqmp = iqmp.release();
  key->p = p.release();
  key->q = q.release();
  key->bits = static_cast<uint32_t>(MpBitCount(key->modulus));
  SetBytes(key);
  // Numbers that do not agree still sign, the slow way.
  RsaPrepareCrt(key);
  sshpk::RsaMakeCache(key);
  return key;
}

int32_t RsaExportPrivate(void* k, uint8_t* buffer, int32_t size) {
  auto* key = static_cast<SshRsaKey*>(k);
  MpConstInt numbers[6] = {key->modulus, key->exponent, key->private_exponent, key->iqmp, key->p, key->q};
  BlobWriter measure(nullptr);
  for (MpConstInt v : numbers)
    if (v) measure.Mp(v);
  if (measure.size() > size || !buffer) return measure.size();
  for (MpConstInt v : numbers)
    if (!v) return measure.size();  // a public key has nothing to export
  BlobWriter w(buffer);
  for (MpConstInt v : numbers) w.Mp(v);
  return w.size();
}

int32_t RsaPublicBits(const uint8_t* blob, int32_t length) {
  auto* key = static_cast<SshRsaKey*>(RsaNewPublic(blob, length));
  if (!key) return 0;
  int32_t bits = MpBitCount(key->modulus);
  RsaFreeKey(key);
  return bits;
}

char* RsaFingerprint(void* k) {
  auto* key = static_cast<SshRsaKey*>(k);
  int32_t length = 0;
  uint8_t* blob = RsaPublicBlob(key, &length);
  if (!blob) return nullptr;
  char* text = sshpk::Fingerprint("ssh-rsa", MpBitCount(key->modulus), blob, length);
  CheckedFree(blob);
  return text;
}

int32_t Ssh1ReadRsaPublic(const uint8_t* bytes, int32_t length, SshRsaKey* key, const uint8_t** modulus_bytes,
                          int order) {
  if (!bytes || length < 4) return -1;
  const uint32_t bits = (uint32_t{bytes[0]} << 24) | (uint32_t{bytes[1]} << 16) | (uint32_t{bytes[2]} << 8) | bytes[3];
  int32_t pos = 4;
  MpHolder first, second;
  const uint8_t* modulus_at = nullptr;
  for (int i = 0; i < 2; ++i) {
    const bool is_modulus = (i == 0) == (order == 1);
    if (is_modulus) modulus_at = bytes + pos + 2;
    MpInt value = nullptr;
    int32_t n = MpReadSsh1(bytes + pos, length - pos, &value);
    if (n < 0) return -1;
    (i == 0 ? first : second).reset(value);
    pos += n;
  }
  MpInt n = order == 1 ? first.p : second.p;
  MpInt e = order == 1 ? second.p : first.p;
  if (MpBitCount(n) == 0 || !sshpk::RsaPublicNumbersOk(n, e)) return -1;
  if (key) {
    key->bits = bits;
    MpFree(key->modulus);
    MpFree(key->exponent);
    key->modulus = (order == 1 ? first : second).release();
    key->exponent = (order == 1 ? second : first).release();
    SetBytes(key);
  }
  if (modulus_bytes) *modulus_bytes = modulus_at;
  return pos;
}

int32_t Ssh1ReadRsaPrivateExponent(const uint8_t* bytes, int32_t length, SshRsaKey* key) {
  if (!bytes || !key) return -1;
  MpInt d = nullptr;
  int32_t n = MpReadSsh1(bytes, length, &d);
  if (n < 0) return -1;
  MpFree(key->private_exponent);
  key->private_exponent = d;
  return n;
}

uint8_t* Ssh1RsaPublicBlob(SshRsaKey* key, int32_t* length) {
  int32_t size = 4 + MpSsh1Length(key->exponent) + MpSsh1Length(key->modulus);
  auto* out = static_cast<uint8_t*>(CheckedAlloc(static_cast<size_t>(size), 1));
  if (!out) return nullptr;
  uint32_t bits = static_cast<uint32_t>(MpBitCount(key->modulus));
  out[0] = static_cast<uint8_t>(bits >> 24);
  out[1] = static_cast<uint8_t>(bits >> 16);
  out[2] = static_cast<uint8_t>(bits >> 8);
  out[3] = static_cast<uint8_t>(bits);
  int32_t pos = 4 + MpWriteSsh1(out + 4, key->exponent);
  MpWriteSsh1(out + pos, key->modulus);
  if (length) *length = size;
  return out;
}
