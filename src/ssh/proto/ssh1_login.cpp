// The SSH-1 login: the server's keys, the session identifier, the session key under both
// RSA keys, the cipher choice and switch, then the user name and its authentication.
#include <algorithm>
#include <cstring>

#include "core/digest/md5.h"
#include "ssh/crypto/cipher.h"
#include "ssh/crypto/random_pool.h"
#include "ssh/proto/packet.h"
#include "ssh/proto/ssh1.h"
#include "ssh/proto/ssh1_internal.h"
#include "ssh/util/alloc.h"

namespace {

using namespace cvssh::ssh1;

void ClearKey(SshRsaKey* key) {
  for (MpInt v : {key->modulus, key->exponent, key->private_exponent, key->p, key->q, key->iqmp}) MpFree(v);
  CheckedFree(key->comment);
  explicit_bzero(key, sizeof *key);
}

void ClearServerKey(ServerKey* k) {
  ClearKey(&k->key);
  CheckedFree(k->modulus);
  k->modulus = nullptr;
  k->modulusLength = 0;
}

void ReleaseKeyBuffers(LoginState* l) {
  ClearServerKey(&l->serverKey);
  ClearServerKey(&l->hostKey);
  if (l->encrypted) explicit_bzero(l->encrypted, size_t(l->encryptedLength));
  CheckedFree(l->encrypted);
  l->encrypted = nullptr;
  l->encryptedLength = 0;
}

// The machine goes back to waiting for the server's keys; nothing is sent.
int32_t End(LoginState* l) {
  ReleaseKeyBuffers(l);
  explicit_bzero(l->sessionKey, sizeof l->sessionKey);
  l->resume = kWaitPublicKey;
  return 0;
}

// A public key (bits, exponent, modulus) with a copy of the modulus bytes as sent.
bool ReadServerKey(SshPacket* p, ServerKey* out) {
  const uint8_t* modulus = nullptr;
  int32_t n = Ssh1ReadRsaPublic(p->body + p->position, p->length - p->position, &out->key, &modulus, 0);
  if (n < 0) return false;
  p->position += n;
  const int32_t bits = modulus[-2] << 8 | modulus[-1];
  out->modulusLength = (bits + 7) / 8;
  out->modulus = static_cast<uint8_t*>(cvssh::AllocOrDie(size_t(out->modulusLength) + 1));
  std::memcpy(out->modulus, modulus, size_t(out->modulusLength));
  // A declared size the modulus cannot hold marks a malformed key.
  return out->key.bits <= 8 * out->key.bytes;
}

uint32_t Ssh1CipherNumber(uint32_t orderEntry) {
  switch (orderEntry) {
    case SshCipherFamily3Des: return 3;
    case SshCipherFamilyBlowfish: return 6;
    case SshCipherFamilyDes: return 2;
    default: return 0;
  }
}

const Ssh1CipherDesc* CipherFor(uint32_t number) {
  if (number == 6) return &Ssh1BlowfishCipherDesc;
  if (number == 2) return &Ssh1DesCipherDesc;
  return &Ssh1Des3CipherDesc;
}

int32_t DetectAttack(void* detector, const uint8_t* bytes, uint32_t length) {
  return CrcAttackDetect(static_cast<CrcAttackDetector*>(detector), bytes, length);
}

// Encrypts the session key (first half XORed with the session identifier) under the
// shorter key, then that block under the longer one.
bool EncryptSessionKey(LoginState* l) {
  SshRsaKey* inner = &l->hostKey.key;
  SshRsaKey* outer = &l->serverKey.key;
  if (l->serverKey.key.bytes < l->hostKey.key.bytes) std::swap(inner, outer);
  const int32_t length = int32_t(std::max(inner->bytes, outer->bytes));
  l->encrypted = static_cast<uint8_t*>(cvssh::AllocOrDie(size_t(length)));
  std::memset(l->encrypted, 0, size_t(length));
  std::memcpy(l->encrypted, l->sessionKey, sizeof l->sessionKey);
  for (int i = 0; i < 16; ++i) l->encrypted[i] ^= l->sessionId[i];
  l->encryptedLength = length;
  if (!RsaPublicEncrypt(l->encrypted, int32_t(sizeof l->sessionKey), inner)) return false;
  if (!RsaPublicEncrypt(l->encrypted, int32_t(inner->bytes), outer)) return false;
  l->encryptedLength = int32_t(outer->bytes);
  return true;
}

void InstallCipher(SshSession* s, LoginState* l) {
  if (s->ssh1Cipher) s->ssh1Cipher->destroy(s->ssh1CipherContext);
  s->ssh1Cipher = CipherFor(l->cipher);
  s->ssh1CipherContext = s->ssh1Cipher->create();
  s->ssh1Cipher->set_session_key(s->ssh1CipherContext, l->sessionKey);
  if (!s->crcDetector) s->crcDetector = CrcAttackDetectorNew();
  s->crcDetect = DetectAttack;
}

int32_t OnPublicKey(SshSession* s, LoginState* l, SshPacket* p) {
  if (p->type != kSmsgPublicKey) return End(l);
  ReleaseKeyBuffers(l);
  const uint8_t* cookie = SshPacketGetCookie8(p);
  if (!cookie) return End(l);
  std::memcpy(l->cookie, cookie, sizeof l->cookie);
  if (!ReadServerKey(p, &l->serverKey) || !ReadServerKey(p, &l->hostKey)) return End(l);
  if (p->length - p->position < 12) return End(l);
  l->serverFlags = SshPacketGetUint32(p);
  l->supportedCiphers = SshPacketGetUint32(p);
  l->supportedAuths = SshPacketGetUint32(p);

  Md5Context md5;
  Md5Begin(&md5);
  Md5Append(&md5, l->hostKey.modulus, size_t(l->hostKey.modulusLength));
  Md5Append(&md5, l->serverKey.modulus, size_t(l->serverKey.modulusLength));
  Md5Append(&md5, l->cookie, sizeof l->cookie);
  Md5End(l->sessionId, &md5);
  for (uint8_t& b : l->sessionKey) b = RandomByte();

  if (!EncryptSessionKey(l)) return End(l);
  l->cipher = 0;
  for (uint32_t entry : s->settings.CipherOrder) {
    uint32_t number = Ssh1CipherNumber(entry);
    if (number && (l->supportedCiphers & (1u << number))) {
      l->cipher = number;
      break;
    }
  }
  if (!l->cipher) return End(l);

  const uint32_t bits = uint32_t(l->encryptedLength) * 8;
  const uint8_t bitCount[2] = {uint8_t(bits >> 8), uint8_t(bits)};
  l->clientFlags = 1;  // the screen number goes with an X11 request
  Ssh1SendPacket(s, kCmsgSessionKey,
                 {{.kind = Ssh1Field::Byte, .value = l->cipher},
                  {.kind = Ssh1Field::Raw, .data = l->cookie, .length = 8},
                  {.kind = Ssh1Field::Raw, .data = bitCount, .length = 2},
                  {.kind = Ssh1Field::Raw, .data = l->encrypted, .length = l->encryptedLength},
                  {.kind = Ssh1Field::Uint32, .value = l->clientFlags}});
  InstallCipher(s, l);
  ReleaseKeyBuffers(l);
  explicit_bzero(l->sessionKey, sizeof l->sessionKey);
  l->resume = kWaitSessionKeyReply;
  return 0;
}

void SendUser(SshSession* s, LoginState* l) {
  char user[sizeof s->settings.UserName + 1] = {};
  std::memcpy(user, s->settings.UserName, strnlen(s->settings.UserName, sizeof s->settings.UserName));
  Ssh1SendPacket(s, kCmsgUser, {{.kind = Ssh1Field::Text, .data = user}});
  l->resume = kWaitUserReply;
}

}  // namespace

namespace cvssh::ssh1 {

void LoginRelease(LoginState* l) {
  ReleaseKeyBuffers(l);
  ClearKey(&l->userKey);
  CheckedFree(l->publicBlob);
  CheckedFree(l->comment);
  explicit_bzero(l, sizeof *l);
}

int32_t EndLogin(LoginState* l) { return End(l); }

}  // namespace cvssh::ssh1

int32_t Ssh1Login(SshSession* s, SshPacket* p) {
  if (!p) return 0;
  LoginState* l = &cvssh::ssh1::StateOf(s)->login;
  switch (l->resume) {
    case kWaitPublicKey:
      return OnPublicKey(s, l, p);
    case kWaitSessionKeyReply:
      if (p->type != kSmsgSuccess) return End(l);
      SendUser(s, l);
      return 0;
    case kWaitUserReply:
      if (p->type == kSmsgSuccess) return 1;
      if (p->type != kSmsgFailure) return End(l);
      return AuthBegin(s, l);
    default:
      return AuthStep(s, l, p);
  }
}
