// The SSH-1 cipher records (separate IVs per direction) and the two DES routines for
// SSH-1 key files and XDM authorisation.
#include "ssh/crypto/block64_modes.h"
#include "ssh/crypto/blowfish_core.h"
#include "ssh/crypto/cipher.h"
#include "ssh/crypto/cipher_context.h"
#include "ssh/crypto/des_core.h"

namespace cvssh::crypto {
namespace {

auto Enc(const DesKey& k) {
  return [&k](uint32_t& l, uint32_t& r) { DesEncrypt(k, l, r); };
}
auto Dec(const DesKey& k) {
  return [&k](uint32_t& l, uint32_t& r) { DesDecrypt(k, l, r); };
}

// Three whole CBC passes, each with its own IV.
void InnerCbcEncrypt(const DesKey key[3], uint32_t iv[3][2], uint8_t* b, size_t n) {
  Cbc64Encrypt(Enc(key[0]), iv[0], b, n);
  Cbc64Decrypt(Dec(key[1]), iv[1], b, n);
  Cbc64Encrypt(Enc(key[2]), iv[2], b, n);
}
void InnerCbcDecrypt(const DesKey key[3], uint32_t iv[3][2], uint8_t* b, size_t n) {
  Cbc64Decrypt(Dec(key[2]), iv[2], b, n);
  Cbc64Encrypt(Enc(key[1]), iv[1], b, n);
  Cbc64Decrypt(Dec(key[0]), iv[0], b, n);
}

struct Des3Ctx {
  DesKey key[3];
  uint32_t encIv[3][2];
  uint32_t decIv[3][2];
};
void Des3Keyed(void* c, const uint8_t* sk) {
  auto* x = static_cast<Des3Ctx*>(c);
  for (int i = 0; i < 3; ++i) DesSetKey(&x->key[i], sk + 8 * i);
  for (int i = 0; i < 3; ++i) x->encIv[i][0] = x->encIv[i][1] = x->decIv[i][0] = x->decIv[i][1] = 0;
}
void Des3Encrypt(void* c, uint8_t* b, uint32_t n) {
  auto* x = static_cast<Des3Ctx*>(c);
  InnerCbcEncrypt(x->key, x->encIv, b, WholeBlocks(n, 8));
}
void Des3Decrypt(void* c, uint8_t* b, uint32_t n) {
  auto* x = static_cast<Des3Ctx*>(c);
  InnerCbcDecrypt(x->key, x->decIv, b, WholeBlocks(n, 8));
}

struct DesCtx {
  DesKey key;
  uint32_t encIv[2];
  uint32_t decIv[2];
};
void DesKeyed(void* c, const uint8_t* sk) {
  auto* x = static_cast<DesCtx*>(c);
  DesSetKey(&x->key, sk);
  x->encIv[0] = x->encIv[1] = x->decIv[0] = x->decIv[1] = 0;
}
void DesEncryptBuf(void* c, uint8_t* b, uint32_t n) {
  auto* x = static_cast<DesCtx*>(c);
  Cbc64Encrypt(Enc(x->key), x->encIv, b, WholeBlocks(n, 8));
}
void DesDecryptBuf(void* c, uint8_t* b, uint32_t n) {
  auto* x = static_cast<DesCtx*>(c);
  Cbc64Decrypt(Dec(x->key), x->decIv, b, WholeBlocks(n, 8));
}

struct BlowfishCtx {
  BlowfishKey key;
  uint32_t encIv[2];
  uint32_t decIv[2];
};
void BlowfishKeyed(void* c, const uint8_t* sk) {
  auto* x = static_cast<BlowfishCtx*>(c);
  BlowfishSetKey(&x->key, sk, 32);
  x->encIv[0] = x->encIv[1] = x->decIv[0] = x->decIv[1] = 0;
}
void BlowfishEncryptBuf(void* c, uint8_t* b, uint32_t n) {
  auto* x = static_cast<BlowfishCtx*>(c);
  Cbc64Encrypt<WordOrder::Little>([x](uint32_t& l, uint32_t& r) { BlowfishEncrypt(x->key, l, r); }, x->encIv, b,
                                  WholeBlocks(n, 8));
}
void BlowfishDecryptBuf(void* c, uint8_t* b, uint32_t n) {
  auto* x = static_cast<BlowfishCtx*>(c);
  Cbc64Decrypt<WordOrder::Little>([x](uint32_t& l, uint32_t& r) { BlowfishDecrypt(x->key, l, r); }, x->decIv, b,
                                  WholeBlocks(n, 8));
}

}  // namespace
}  // namespace cvssh::crypto

using namespace cvssh::crypto;

const Ssh1CipherDesc Ssh1Des3CipherDesc = {CreateContext<Des3Ctx>, DestroyContext<Des3Ctx>, Des3Keyed, Des3Encrypt,
                                           Des3Decrypt, SshCipherFamily3Des, 8, "triple-DES inner-CBC"};
const Ssh1CipherDesc Ssh1DesCipherDesc = {CreateContext<DesCtx>, DestroyContext<DesCtx>, DesKeyed, DesEncryptBuf,
                                          DesDecryptBuf, SshCipherFamilyDes, 8, "single-DES CBC"};
const Ssh1CipherDesc Ssh1BlowfishCipherDesc = {CreateContext<BlowfishCtx>, DestroyContext<BlowfishCtx>, BlowfishKeyed,
                                               BlowfishEncryptBuf, BlowfishDecryptBuf, SshCipherFamilyBlowfish, 8,
                                               "Blowfish-128 CBC"};

void Des3KeyFileDecrypt(const uint8_t key[16], uint8_t* buf, uint32_t len) {
  DesKey keys[3];
  DesSetKey(&keys[0], key);
  DesSetKey(&keys[1], key + 8);
  keys[2] = keys[0];
  uint32_t iv[3][2] = {};
  InnerCbcDecrypt(keys, iv, buf, WholeBlocks(len, 8));
  explicit_bzero(keys, sizeof keys);
  explicit_bzero(iv, sizeof iv);
}

void DesXdmDecrypt(const uint8_t key[7], uint8_t buf[24]) {
  // Byte i of the DES key takes key bits 7i .. 7i+6 (most significant first) in its top
  // seven bits; the parity bit stays zero.
  uint64_t bits = 0;
  for (int i = 0; i < 7; ++i) bits = (bits << 8) | key[i];
  uint8_t desKey[8];
  for (int i = 0; i < 8; ++i) desKey[i] = uint8_t(((bits >> (49 - 7 * i)) & 0x7F) << 1);
  DesKey k;
  DesSetKey(&k, desKey);
  uint32_t iv[2] = {0, 0};
  Cbc64Decrypt(Dec(k), iv, buf, 3);
  explicit_bzero(&k, sizeof k);
  explicit_bzero(desKey, sizeof desKey);
}
