// The SSH-2 cipher descriptors and their preference lists per family.
#include "ssh/crypto/aes_core.h"
#include "ssh/crypto/block64_modes.h"
#include "ssh/crypto/blowfish_core.h"
#include "ssh/crypto/cipher.h"
#include "ssh/crypto/cipher_context.h"
#include "ssh/crypto/des_core.h"

namespace cvssh::crypto {
namespace {

// ---- AES ----
struct AesCtx {
  AesKey key;
  uint32_t iv[4];
};

void AesSetIv(void* c, const uint8_t* iv) {
  for (int i = 0; i < 4; ++i) static_cast<AesCtx*>(c)->iv[i] = LoadBe32(iv + 4 * i);
}
template <size_t KeyBytes>
void AesKeyed(void* c, const uint8_t* key) { AesSetKey(&static_cast<AesCtx*>(c)->key, key, KeyBytes); }
void AesCbcEnc(void* c, uint8_t* b, uint32_t n) {
  auto* x = static_cast<AesCtx*>(c);
  AesCbcEncrypt(x->key, x->iv, b, WholeBlocks(n, 16));
}
void AesCbcDec(void* c, uint8_t* b, uint32_t n) {
  auto* x = static_cast<AesCtx*>(c);
  AesCbcDecrypt(x->key, x->iv, b, WholeBlocks(n, 16));
}
void AesCtrCrypt(void* c, uint8_t* b, uint32_t n) {
  auto* x = static_cast<AesCtx*>(c);
  AesCtr(x->key, x->iv, b, WholeBlocks(n, 16));
}

template <size_t KeyBytes>
constexpr SshCipherDesc AesDesc(const char* name, bool cbc, const char* display) {
  return {CreateContext<AesCtx>, DestroyContext<AesCtx>, AesSetIv, AesKeyed<KeyBytes>,
          cbc ? AesCbcEnc : AesCtrCrypt, cbc ? AesCbcDec : AesCtrCrypt, name, SshCipherFamilyAes, 16,
          uint32_t(KeyBytes * 8), cbc ? SshCipherFlagCbc : 0u, display};
}

// ---- 8-byte-block ciphers ----
void SetIv64(uint32_t iv[2], const uint8_t* p) {
  iv[0] = LoadBe32(p);
  iv[1] = LoadBe32(p + 4);
}

struct DesCtx {
  DesKey key;
  uint32_t iv[2];
};
void DesSetIv(void* c, const uint8_t* iv) { SetIv64(static_cast<DesCtx*>(c)->iv, iv); }
void DesKeyed(void* c, const uint8_t* key) {
  auto* x = static_cast<DesCtx*>(c);
  DesSetKey(&x->key, key);
  x->iv[0] = x->iv[1] = 0;
}
void DesCbcEnc(void* c, uint8_t* b, uint32_t n) {
  auto* x = static_cast<DesCtx*>(c);
  Cbc64Encrypt([x](uint32_t& l, uint32_t& r) { DesEncrypt(x->key, l, r); }, x->iv, b, WholeBlocks(n, 8));
}
void DesCbcDec(void* c, uint8_t* b, uint32_t n) {
  auto* x = static_cast<DesCtx*>(c);
  Cbc64Decrypt([x](uint32_t& l, uint32_t& r) { DesDecrypt(x->key, l, r); }, x->iv, b, WholeBlocks(n, 8));
}

struct Des3Ctx {
  DesKey key[3];
  uint32_t iv[2];
};
void Des3SetIv(void* c, const uint8_t* iv) { SetIv64(static_cast<Des3Ctx*>(c)->iv, iv); }
void Des3Keyed(void* c, const uint8_t* key) {
  auto* x = static_cast<Des3Ctx*>(c);
  for (int i = 0; i < 3; ++i) DesSetKey(&x->key[i], key + 8 * i);
  x->iv[0] = x->iv[1] = 0;
}
void EdeEncrypt(const Des3Ctx* x, uint32_t& l, uint32_t& r) {
  DesEncrypt(x->key[0], l, r);
  DesDecrypt(x->key[1], l, r);
  DesEncrypt(x->key[2], l, r);
}
void EdeDecrypt(const Des3Ctx* x, uint32_t& l, uint32_t& r) {
  DesDecrypt(x->key[2], l, r);
  DesEncrypt(x->key[1], l, r);
  DesDecrypt(x->key[0], l, r);
}
void Des3CbcEnc(void* c, uint8_t* b, uint32_t n) {
  auto* x = static_cast<Des3Ctx*>(c);
  Cbc64Encrypt([x](uint32_t& l, uint32_t& r) { EdeEncrypt(x, l, r); }, x->iv, b, WholeBlocks(n, 8));
}
void Des3CbcDec(void* c, uint8_t* b, uint32_t n) {
  auto* x = static_cast<Des3Ctx*>(c);
  Cbc64Decrypt([x](uint32_t& l, uint32_t& r) { EdeDecrypt(x, l, r); }, x->iv, b, WholeBlocks(n, 8));
}
void Des3CtrCrypt(void* c, uint8_t* b, uint32_t n) {
  auto* x = static_cast<Des3Ctx*>(c);
  Ctr64([x](uint32_t& l, uint32_t& r) { EdeEncrypt(x, l, r); }, x->iv, b, WholeBlocks(n, 8));
}

struct BlowfishCtx {
  BlowfishKey key;
  uint32_t iv[2];
};
void BlowfishSetIv(void* c, const uint8_t* iv) { SetIv64(static_cast<BlowfishCtx*>(c)->iv, iv); }
template <size_t KeyBytes>
void BlowfishKeyed(void* c, const uint8_t* key) { BlowfishSetKey(&static_cast<BlowfishCtx*>(c)->key, key, KeyBytes); }
void BlowfishCbcEnc(void* c, uint8_t* b, uint32_t n) {
  auto* x = static_cast<BlowfishCtx*>(c);
  Cbc64Encrypt([x](uint32_t& l, uint32_t& r) { BlowfishEncrypt(x->key, l, r); }, x->iv, b, WholeBlocks(n, 8));
}
void BlowfishCbcDec(void* c, uint8_t* b, uint32_t n) {
  auto* x = static_cast<BlowfishCtx*>(c);
  Cbc64Decrypt([x](uint32_t& l, uint32_t& r) { BlowfishDecrypt(x->key, l, r); }, x->iv, b, WholeBlocks(n, 8));
}
void BlowfishCtrCrypt(void* c, uint8_t* b, uint32_t n) {
  auto* x = static_cast<BlowfishCtx*>(c);
  Ctr64([x](uint32_t& l, uint32_t& r) { BlowfishEncrypt(x->key, l, r); }, x->iv, b, WholeBlocks(n, 8));
}

// ---- Arcfour ----
struct Rc4Ctx {
  uint8_t s[256];
  uint8_t i, j;
};
void Rc4SetIv(void*, const uint8_t*) {}
void Rc4Crypt(void* c, uint8_t* b, uint32_t n) {
  auto* x = static_cast<Rc4Ctx*>(c);
  uint8_t i = x->i, j = x->j;
  for (uint32_t k = 0; k < n; ++k) {
    i = uint8_t(i + 1);
    j = uint8_t(j + x->s[i]);
    const uint8_t t = x->s[i];
    x->s[i] = x->s[j];
    x->s[j] = t;
    b[k] ^= x->s[uint8_t(x->s[i] + x->s[j])];
  }
  x->i = i;
  x->j = j;
}
template <size_t KeyBytes>
void Rc4Keyed(void* c, const uint8_t* key) {
  auto* x = static_cast<Rc4Ctx*>(c);
  for (int k = 0; k < 256; ++k) x->s[k] = uint8_t(k);
  uint8_t j = 0;
  for (int k = 0; k < 256; ++k) {
    j = uint8_t(j + x->s[k] + key[size_t(k) % KeyBytes]);
    const uint8_t t = x->s[k];
    x->s[k] = x->s[j];
    x->s[j] = t;
  }
  x->i = x->j = 0;
  // The first 1,536 keystream bytes are weak and thrown away.
  uint8_t discard[1536] = {};
  Rc4Crypt(c, discard, sizeof discard);
  explicit_bzero(discard, sizeof discard);
}

}  // namespace
}  // namespace cvssh::crypto

using namespace cvssh::crypto;

const SshCipherDesc Aes256CtrCipherDesc = AesDesc<32>("aes256-ctr", false, "AES-256 SDCTR");
const SshCipherDesc Aes256CbcCipherDesc = AesDesc<32>("aes256-cbc", true, "AES-256 CBC");
const SshCipherDesc Aes256CbcAliasCipherDesc = AesDesc<32>("rijndael-cbc@corvanetics.com", true, "AES-256 CBC");
const SshCipherDesc Aes192CtrCipherDesc = AesDesc<24>("aes192-ctr", false, "AES-192 SDCTR");
const SshCipherDesc Aes192CbcCipherDesc = AesDesc<24>("aes192-cbc", true, "AES-192 CBC");
const SshCipherDesc Aes128CtrCipherDesc = AesDesc<16>("aes128-ctr", false, "AES-128 SDCTR");
const SshCipherDesc Aes128CbcCipherDesc = AesDesc<16>("aes128-cbc", true, "AES-128 CBC");

const SshCipherDesc Des3CtrCipherDesc = {CreateContext<Des3Ctx>, DestroyContext<Des3Ctx>, Des3SetIv, Des3Keyed,
                                         Des3CtrCrypt, Des3CtrCrypt, "3des-ctr", SshCipherFamily3Des, 8, 168, 0,
                                         "triple-DES SDCTR"};
const SshCipherDesc Des3CbcCipherDesc = {CreateContext<Des3Ctx>, DestroyContext<Des3Ctx>, Des3SetIv, Des3Keyed,
                                         Des3CbcEnc, Des3CbcDec, "3des-cbc", SshCipherFamily3Des, 8, 168,
                                         SshCipherFlagCbc, "triple-DES CBC"};

const SshCipherDesc BlowfishCtrCipherDesc = {CreateContext<BlowfishCtx>, DestroyContext<BlowfishCtx>, BlowfishSetIv,
                                             BlowfishKeyed<32>, BlowfishCtrCrypt, BlowfishCtrCrypt, "blowfish-ctr",
                                             SshCipherFamilyBlowfish, 8, 256, 0, "Blowfish-256 SDCTR"};
const SshCipherDesc BlowfishCbcCipherDesc = {CreateContext<BlowfishCtx>, DestroyContext<BlowfishCtx>, BlowfishSetIv,
                                             BlowfishKeyed<16>, BlowfishCbcEnc, BlowfishCbcDec, "blowfish-cbc",
                                             SshCipherFamilyBlowfish, 8, 128, SshCipherFlagCbc, "Blowfish-128 CBC"};

const SshCipherDesc DesCbcCipherDesc = {CreateContext<DesCtx>, DestroyContext<DesCtx>, DesSetIv, DesKeyed,
                                        DesCbcEnc, DesCbcDec, "des-cbc", SshCipherFamilyDes, 8, 56,
                                        SshCipherFlagCbc, "single-DES CBC"};
const SshCipherDesc DesCbcAliasCipherDesc = {CreateContext<DesCtx>, DestroyContext<DesCtx>, DesSetIv, DesKeyed,
                                             DesCbcEnc, DesCbcDec, "des-cbc@corvanetics.com", SshCipherFamilyDes, 8,
                                             56, SshCipherFlagCbc, "single-DES CBC"};

const SshCipherDesc Arcfour256CipherDesc = {CreateContext<Rc4Ctx>, DestroyContext<Rc4Ctx>, Rc4SetIv, Rc4Keyed<32>,
                                            Rc4Crypt, Rc4Crypt, "arcfour256", SshCipherFamilyArcfour, 1, 256, 0,
                                            "Arcfour-256"};
const SshCipherDesc Arcfour128CipherDesc = {CreateContext<Rc4Ctx>, DestroyContext<Rc4Ctx>, Rc4SetIv, Rc4Keyed<16>,
                                            Rc4Crypt, Rc4Crypt, "arcfour128", SshCipherFamilyArcfour, 1, 128, 0,
                                            "Arcfour-128"};

namespace {
const SshCipherDesc* const k3Des[] = {&Des3CtrCipherDesc, &Des3CbcCipherDesc};
const SshCipherDesc* const kBlowfish[] = {&BlowfishCtrCipherDesc, &BlowfishCbcCipherDesc};
const SshCipherDesc* const kAes[] = {&Aes256CtrCipherDesc, &Aes256CbcCipherDesc, &Aes256CbcAliasCipherDesc,
                                     &Aes192CtrCipherDesc, &Aes192CbcCipherDesc, &Aes128CtrCipherDesc,
                                     &Aes128CbcCipherDesc};
const SshCipherDesc* const kDes[] = {&DesCbcCipherDesc, &DesCbcAliasCipherDesc};
const SshCipherDesc* const kArcfour[] = {&Arcfour256CipherDesc, &Arcfour128CipherDesc};
}  // namespace

const SshCipherList Ssh3DesCipherList = {2, k3Des};
const SshCipherList SshBlowfishCipherList = {2, kBlowfish};
const SshCipherList SshAesCipherList = {7, kAes};
const SshCipherList SshDesCipherList = {2, kDes};
const SshCipherList SshArcfourCipherList = {2, kArcfour};

const SshCipherList* SshCipherListForFamily(uint32_t family) {
  switch (family) {
    case SshCipherFamily3Des: return &Ssh3DesCipherList;
    case SshCipherFamilyBlowfish: return &SshBlowfishCipherList;
    case SshCipherFamilyAes: return &SshAesCipherList;
    case SshCipherFamilyDes: return &SshDesCipherList;
    case SshCipherFamilyArcfour: return &SshArcfourCipherList;
    default: return nullptr;
  }
}
