// DSA signatures: verification of both signature forms and signing with a nonce derived
// from the private key and the message digest.
#include <cstring>

#include "ssh/crypto/dsa.h"
#include "ssh/crypto/hash.h"
#include "ssh/crypto/mp_internal.h"

using sshmp::MpHolder;

namespace {

void Sha512Feed(Sha512State* s, const uint8_t* data, size_t n) { Sha512Append(s, data, n); }

// k = SHA-512(SHA-512(label, x), H) mod q.
MpInt DeterministicK(MpConstInt x, MpConstInt q, const uint8_t hash[20]) {
  static const char kLabel[] = "DSA deterministic k generator";  // 29 characters and the zero byte
  static_assert(sizeof kLabel == 30);
  uint8_t d1[64], d2[64];
  Sha512State s;
  Sha512Begin(&s);
  Sha512Append(&s, kLabel, sizeof kLabel);
  MpHashSsh2(&s, Sha512Feed, x);
  Sha512End(&s, d1);
  Sha512Begin(&s);
  Sha512Append(&s, d1, 64);
  Sha512Append(&s, hash, 20);
  Sha512End(&s, d2);
  sshmp::Wipe(&s, sizeof s);
  MpHolder wide(MpFromBytes(d2, 64));
  sshmp::Wipe(d1, sizeof d1);
  sshmp::Wipe(d2, sizeof d2);
  return wide.p ? MpMod(wide.p, q) : nullptr;
}

}  // namespace

int32_t DsaVerify(void* k, const uint8_t* signature, int32_t signature_length, const uint8_t* data,
                  int32_t data_length) {
  auto* key = static_cast<SshDsaKey*>(k);
  if (!key || !key->p || !signature || signature_length < 0 || data_length < 0) return 0;
  const uint8_t* rs = signature;
  if (signature_length != 40) {
    if (!sshpk::ReadName(&signature, &signature_length, "ssh-dss")) return 0;
    const uint8_t* s;
    int32_t n;
    SshGetString(&signature, &signature_length, &s, &n);
    if (!s || n != 40 || signature_length != 0) return 0;
    rs = s;
  }
  MpHolder r(MpFromBytes(rs, 20)), s(MpFromBytes(rs + 20, 20));
  if (!r.p || !s.p) return 0;
  // FIPS 186: r and s lie in (0, q); a zero r would otherwise need only v = 0.
  if (MpBitCount(r.p) == 0 || MpCompare(r.p, key->q) >= 0 || MpCompare(s.p, key->q) >= 0) return 0;
  MpHolder w(MpModInverse(s.p, key->q));
  if (!w.p) return 0;
  uint8_t hash[20];
  Sha1Digest(data, static_cast<size_t>(data_length), hash);
  MpHolder h(MpFromBytes(hash, 20));
  MpHolder u1(h.p ? MpModMul(h.p, w.p, key->q) : nullptr);
  MpHolder u2(MpModMul(r.p, w.p, key->q));
  if (!u1.p || !u2.p) return 0;
  MpHolder gu1(MpModPow(key->g, u1.p, key->p)), yu2(MpModPow(key->y, u2.p, key->p));
  if (!gu1.p || !yu2.p) return 0;
  MpHolder product(MpModMul(gu1.p, yu2.p, key->p));
  MpHolder v(product.p ? MpMod(product.p, key->q) : nullptr);
  return v.p && MpCompare(v.p, r.p) == 0 ? 1 : 0;
}

uint8_t* DsaSign(void* k, const uint8_t* data, int32_t data_length, int32_t* length) {
  auto* key = static_cast<SshDsaKey*>(k);
  // r and s travel as 20 bytes each: the key's q must fit.
  if (!key || !key->x || !key->q || MpBitCount(key->q) > 160 || data_length < 0) return nullptr;
  uint8_t hash[20];
  Sha1Digest(data, static_cast<size_t>(data_length), hash);
  MpHolder kk(DeterministicK(key->x, key->q, hash));
  if (!kk.p) return nullptr;
  // g^(k + q) = g^k (g has order q); the larger exponent has a fixed bit length, so
  // the exponentiation's running time says nothing about k.
  MpHolder padded(MpMulAdd(key->q, MpOne, kk.p));
  if (padded.p && MpBitCount(padded.p) <= MpBitCount(key->q)) padded.reset(MpMulAdd(key->q, MpOne, padded.p));
  if (!padded.p) return nullptr;
  MpHolder gk(MpModPow(key->g, padded.p, key->p));
  MpHolder r(gk.p ? MpMod(gk.p, key->q) : nullptr);
  MpHolder k_inverse(MpModInverse(kk.p, key->q));
  MpHolder h(MpFromBytes(hash, 20));
  if (!r.p || !k_inverse.p || !h.p) return nullptr;
  MpHolder sum(MpMulAdd(key->x, r.p, h.p));
  MpHolder s(sum.p ? MpModMul(k_inverse.p, sum.p, key->q) : nullptr);
  if (!s.p) return nullptr;
  sshmp::Wipe(hash, sizeof hash);
  return sshpk::MakeBlob(
      [&](sshpk::BlobWriter& w) {
        w.String("ssh-dss", 7);
        w.Uint32(40);
        w.Fixed(r.p, 20);
        w.Fixed(s.p, 20);
      },
      length);
}
