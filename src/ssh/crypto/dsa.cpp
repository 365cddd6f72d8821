// DSA key records: blobs, creation with the number checks, text forms.
#include "ssh/crypto/dsa.h"

#include <cstring>
#include <initializer_list>
#include <new>

#include "ssh/crypto/hash.h"
#include "ssh/crypto/mp_internal.h"

using sshmp::MpHolder;
using sshpk::BlobWriter;

namespace {

bool Odd(MpConstInt a) { return a[0] > 0 && (a[1] & 1); }

// p and q odd, q < p, 1 < g < p, 0 < y < p, p of at most kDsaMaxBits bits.
bool PublicNumbersOk(MpConstInt p, MpConstInt q, MpConstInt g, MpConstInt y) {
  if (!p || !q || !g || !y) return false;
  if (!Odd(p) || !Odd(q) || MpBitCount(p) > kDsaMaxBits) return false;
  if (MpCompare(q, p) >= 0) return false;
  if (MpCompare(g, MpOne) <= 0 || MpCompare(g, p) >= 0) return false;
  if (MpBitCount(y) == 0 || MpCompare(y, p) >= 0) return false;
  return true;
}

SshDsaKey* MakeKey(MpHolder& p, MpHolder& q, MpHolder& g, MpHolder& y) {
  if (!PublicNumbersOk(p, q, g, y)) return nullptr;
  auto* key = new (std::nothrow) SshDsaKey{};
  if (!key) return nullptr;
  key->p = p.release();
  key->q = q.release();
  key->g = g.release();
  key->y = y.release();
  return key;
}

void Sha1Feed(Sha1State* s, const uint8_t* data, size_t n) { Sha1Append(s, data, n); }

}  // namespace

MpInt DsaGetMpInt(const uint8_t** cursor, int32_t* remaining) {
  const uint8_t* s;
  int32_t n;
  SshGetString(cursor, remaining, &s, &n);
  if (!s || (n > 0 && (s[0] & 0x80))) return nullptr;
  return MpFromBytes(s, static_cast<size_t>(n));
}

void* DsaNewPublic(const uint8_t* blob, int32_t length) {
  if (!blob || length < 0) return nullptr;
  if (!sshpk::ReadName(&blob, &length, "ssh-dss")) return nullptr;
  MpHolder p(DsaGetMpInt(&blob, &length)), q(DsaGetMpInt(&blob, &length));
  MpHolder g(DsaGetMpInt(&blob, &length)), y(DsaGetMpInt(&blob, &length));
  return MakeKey(p, q, g, y);
}

void DsaFreeKey(void* k) {
  auto* key = static_cast<SshDsaKey*>(k);
  if (!key) return;
  for (MpInt v : {key->p, key->q, key->g, key->y, key->x}) MpFree(v);
  delete key;
}

char* DsaFormatKey(void* k) {
  auto* key = static_cast<SshDsaKey*>(k);
  if (!key || !key->p) return nullptr;
  MpConstInt numbers[4] = {key->p, key->q, key->g, key->y};
  return sshpk::FormatHexList(numbers, 4);
}

uint8_t* DsaPublicBlob(void* k, int32_t* length) {
  auto* key = static_cast<SshDsaKey*>(k);
  return sshpk::MakeBlob(
      [key](BlobWriter& w) {
        w.String("ssh-dss", 7);
        for (MpConstInt v : {key->p, key->q, key->g, key->y}) w.Mp(v);
      },
      length);
}

uint8_t* DsaPrivateBlob(void* k, int32_t* length) {
  auto* key = static_cast<SshDsaKey*>(k);
  if (!key->x) return nullptr;
  return sshpk::MakeBlob([key](BlobWriter& w) { w.Mp(key->x); }, length);
}

void* DsaNewPrivate(const uint8_t* public_blob, int32_t public_length, const uint8_t* private_blob,
                    int32_t private_length) {
  auto* key = static_cast<SshDsaKey*>(DsaNewPublic(public_blob, public_length));
  if (!key) return nullptr;
  if (private_blob && private_length >= 0) key->x = DsaGetMpInt(&private_blob, &private_length);
  bool ok = key->x != nullptr;
  if (ok && private_length > 0) {
    const uint8_t* check;
    int32_t n;
    SshGetString(&private_blob, &private_length, &check, &n);
    if (check && n == 20) {
      Sha1State s;
      Sha1Begin(&s);
      for (MpConstInt v : {key->p, key->q, key->g}) MpHashSsh2(&s, Sha1Feed, v);
      uint8_t digest[20];
      Sha1End(&s, digest);
      ok = std::memcmp(digest, check, 20) == 0;
    }
  }
  if (ok) {
    MpHolder y(MpModPow(key->g, key->x, key->p));
    ok = y.p && MpCompare(y.p, key->y) == 0;
  }
  if (!ok) {
    DsaFreeKey(key);
    return nullptr;
  }
  return key;
}

void* DsaImportPrivate(const uint8_t* data, int32_t length) {
  if (!data || length < 0) return nullptr;
  MpHolder p(DsaGetMpInt(&data, &length)), q(DsaGetMpInt(&data, &length));
  MpHolder g(DsaGetMpInt(&data, &length)), y(DsaGetMpInt(&data, &length));
  MpHolder x(DsaGetMpInt(&data, &length));
  if (!x.p) return nullptr;
  SshDsaKey* key = MakeKey(p, q, g, y);
  if (key) key->x = x.release();
  return key;
}

int32_t DsaExportPrivate(void* k, uint8_t* buffer, int32_t size) {
  auto* key = static_cast<SshDsaKey*>(k);
  MpConstInt numbers[5] = {key->p, key->q, key->g, key->y, key->x};
  BlobWriter measure(nullptr);
  for (MpConstInt v : numbers)
    if (v) measure.Mp(v);
  if (measure.size() > size || !buffer || !key->x) return measure.size();
  BlobWriter w(buffer);
  for (MpConstInt v : numbers) w.Mp(v);
  return w.size();
}

int32_t DsaPublicBits(const uint8_t* blob, int32_t length) {
  auto* key = static_cast<SshDsaKey*>(DsaNewPublic(blob, length));
  if (!key) return 0;
  int32_t bits = MpBitCount(key->p);
  DsaFreeKey(key);
  return bits;
}

char* DsaFingerprint(void* k) {
  auto* key = static_cast<SshDsaKey*>(k);
  int32_t length = 0;
  uint8_t* blob = DsaPublicBlob(key, &length);
  if (!blob) return nullptr;
  char* text = sshpk::Fingerprint("ssh-dss", MpBitCount(key->p), blob, length);
  CheckedFree(blob);
  return text;
}

const SshHostKeyDesc SshDss = {DsaNewPublic,  DsaFreeKey,     DsaFormatKey,     DsaPublicBlob,
                               DsaPrivateBlob, DsaNewPrivate, DsaImportPrivate, DsaExportPrivate,
                               DsaPublicBits, DsaFingerprint, DsaVerify,        DsaSign,
                               "ssh-dss",     "dss"};

const SshHostKeyDesc* const SshHostKeyAlgorithms[2] = {&SshRsa, &SshDss};
