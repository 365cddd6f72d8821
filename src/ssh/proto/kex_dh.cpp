// The Diffie-Hellman part of an exchange: group request, init and reply, exchange hash,
// host-key check and the switch to new keys.
#include <cstring>

#include "core/errors/error_codes.h"
#include "platform/base/tick.h"
#include "ssh/crypto/hash.h"
#include "ssh/proto/constants.h"
#include "ssh/proto/input.h"
#include "ssh/proto/kex_state.h"
#include "ssh/proto/transport.h"
#include "ssh/util/alloc.h"
#include "ssh/util/timer_list.h"

namespace cvssh::proto {

namespace {

constexpr uint32_t kGexMinBits = 1024;
constexpr uint32_t kGexMaxBits = 8192;

bool IsGroupExchange(const SshKexState* k) { return k->kex->prime == nullptr; }

bool SendInit(SshSession* s, SshKexState* k) {
  MpConstInt e = DhMakeE(s->dh, int(2 * k->nbits));
  if (!e) {
    KexFail(s, cvErrorSecurityContext, kSshDisconnectKexFailed, "Key exchange failed");
    return false;
  }
  SshPacket* p = Ssh2PacketNew(k->initType);
  SshPacketAddMpint2(p, e);
  Ssh2SendPacket(s, p);
  s->transportState = kKexWaitReply;
  return true;
}

// Key material of one letter; the buffer is wiped by the caller.
void Derive(SshSession* s, const SshKexState* k, char letter, uint8_t* out) {
  Ssh2DeriveKey(s, k->K, k->H, letter, out);
}

}  // namespace

void KexFail(SshSession* s, uint32_t error, uint32_t reason, const char* text) {
  s->transportState = kKexStart;
  SshSetLastError(s, error);
  SshDisconnect(s, text, reason, 0);
}

void KexReleaseValues(SshSession* s) {
  if (SshKexState* k = s->kex) {
    MpFree(k->f);
    MpFree(k->K);
    MpFree(k->p);
    MpFree(k->g);
    k->f = k->K = k->p = k->g = nullptr;
    CheckedFree(k->clientKexinit);
    k->clientKexinit = nullptr;
    explicit_bzero(k->H, sizeof k->H);
  }
  if (s->dh) {
    DhFree(s->dh);
    s->dh = nullptr;
  }
  if (s->exchangeHash) {
    uint8_t discard[64];
    s->exchangeHashDesc->finish(s->exchangeHash, discard);
    s->exchangeHash = nullptr;
  }
}

bool BeginDh(SshSession* s) {
  SshKexState* k = KexState(s);
  const SshHashDesc* hash = k->kex->hash;
  k->nbits = k->csCipher->key_bits > k->scCipher->key_bits ? k->csCipher->key_bits : k->scCipher->key_bits;
  if (k->nbits > 8 * hash->digest_length) k->nbits = 8 * hash->digest_length;
  if (s->dh) DhFree(s->dh);
  s->dh = nullptr;
  if (!IsGroupExchange(k)) {
    s->dh = DhNewFixedGroup(k->kex);
    k->initType = ssh2::kMsgKexdhInit;
    k->replyType = ssh2::kMsgKexdhReply;
    if (!s->dh) {
      KexFail(s, cvErrorSecurityContext, kSshDisconnectKexFailed, "Key exchange failed");
      return false;
    }
    return SendInit(s, k);
  }
  k->pbits = 512u << ((k->nbits - 1) / 64);
  SshPacket* p;
  if (s->bugs & OLD_GEX_BUG) {
    p = Ssh2PacketNew(ssh2::kMsgKexDhGexRequestOld);
    SshPacketAddUint32(p, k->pbits);
  } else {
    p = Ssh2PacketNew(ssh2::kMsgKexDhGexRequest);
    SshPacketAddUint32(p, kGexMinBits);
    SshPacketAddUint32(p, k->pbits);
    SshPacketAddUint32(p, kGexMaxBits);
  }
  Ssh2SendPacket(s, p);
  s->transportState = kKexWaitGroup;
  return true;
}

bool HandleGroup(SshSession* s, SshPacket* packet) {
  SshKexState* k = KexState(s);
  MpFree(k->p);
  MpFree(k->g);
  k->p = SshPacketGetMpint2(packet);
  k->g = SshPacketGetMpint2(packet);
  // Groups outside the accepted sizes or with a degenerate generator are refused here.
  if (k->p && k->g) s->dh = DhNewGroup(k->p, k->g);
  if (!s->dh) {
    KexFail(s, cvErrorSecurityContext, kSshDisconnectKexFailed, "Unacceptable Diffie-Hellman group");
    return false;
  }
  k->initType = ssh2::kMsgKexDhGexInit;
  k->replyType = ssh2::kMsgKexDhGexReply;
  return SendInit(s, k);
}

bool HandleReply(SshSession* s, SshPacket* packet) {
  SshKexState* k = KexState(s);
  const uint8_t* hostKeyBlob;
  int32_t hostKeyLength;
  SshPacketGetString(packet, &hostKeyBlob, &hostKeyLength);
  MpFree(k->f);
  k->f = SshPacketGetMpint2(packet);
  const uint8_t* signature;
  int32_t signatureLength;
  SshPacketGetString(packet, &signature, &signatureLength);
  if (!hostKeyBlob || !k->f || !signature) {
    KexFail(s, cvErrorSecurityContext, kSshDisconnectKexFailed, "Malformed key exchange reply");
    return false;
  }
  MpFree(k->K);
  k->K = DhComputeK(s->dh, k->f);
  if (!k->K) {
    KexFail(s, cvErrorSecurityContext, kSshDisconnectKexFailed, "Diffie-Hellman value out of range");
    return false;
  }
  const SshHashDesc* hash = s->exchangeHashDesc;
  void* h = s->exchangeHash;
  SshHashString(hash, h, hostKeyBlob, uint32_t(hostKeyLength));
  if (IsGroupExchange(k)) {
    const bool old = (s->bugs & OLD_GEX_BUG) != 0;
    if (!old) SshHashUint32(hash, h, kGexMinBits);
    SshHashUint32(hash, h, k->pbits);
    if (!old) SshHashUint32(hash, h, kGexMaxBits);
    SshHashMpint(hash, h, k->p);
    SshHashMpint(hash, h, k->g);
  }
  SshHashMpint(hash, h, s->dh->e);
  SshHashMpint(hash, h, k->f);
  SshHashMpint(hash, h, k->K);
  hash->finish(h, k->H);
  s->exchangeHash = nullptr;
  DhFree(s->dh);
  s->dh = nullptr;

  void* key = k->hostKey->new_public(hostKeyBlob, hostKeyLength);
  if (!key || !k->hostKey->verify(key, signature, signatureLength, k->H, int32_t(hash->digest_length))) {
    if (key) k->hostKey->free_key(key);
    KexFail(s, cvErrorSecurityCertificate, kSshDisconnectHostKeyNotVerifiable,
            "Host key signature does not verify");
    return false;
  }
  CheckedFree(s->hostKeyFingerprint);
  s->hostKeyFingerprint = k->hostKey->fingerprint(key);
  k->hostKey->free_key(key);
  if (s->hostKeyCheck && !s->hostKeyCheck(s, s->hostKeyFingerprint, s->hostKeyCheckContext)) {
    KexFail(s, cvErrorSecurityCertificate, kSshDisconnectHostKeyNotVerifiable, "Host key not accepted");
    return false;
  }
  s->kexInForce = k->kex;
  s->hostKeyInForce = k->hostKey;
  if (!k->sessionIdSet) {
    std::memcpy(s->sessionId, k->H, hash->digest_length);
    s->sessionIdLength = hash->digest_length;
    k->sessionIdSet = 1;
  }

  Ssh2SendPacket(s, Ssh2PacketNew(ssh2::kMsgNewkeys));
  s->bytesSent = 0;
  uint8_t keys[128];
  if (s->csCipher) s->csCipher->destroy(s->csCipherContext);
  s->csCipher = k->csCipher;
  s->csCipherContext = k->csCipher->create();
  Derive(s, k, 'C', keys);
  s->csCipher->set_key(s->csCipherContext, keys);
  Derive(s, k, 'A', keys);
  s->csCipher->set_iv(s->csCipherContext, keys);
  if (s->csMac) s->csMac->destroy(s->csMacContext);
  s->csMac = k->csMac;
  s->csMacContext = k->csMac->create();
  Derive(s, k, 'E', keys);
  s->csMac->set_key(s->csMacContext, keys);
  if (s->csCompress) s->csCompress->compress_cleanup(s->csCompressContext);
  s->csCompress = k->csCompress;
  s->csCompressContext = s->csCompress ? s->csCompress->compress_init() : nullptr;
  explicit_bzero(keys, sizeof keys);
  s->queueing = 0;
  Ssh2SendQueue(s);
  s->transportState = kKexWaitNewkeys;
  return true;
}

void HandleNewkeys(SshSession* s) {
  SshKexState* k = KexState(s);
  s->bytesReceived = 0;
  uint8_t keys[128];
  if (s->scCipher) s->scCipher->destroy(s->scCipherContext);
  s->scCipher = k->scCipher;
  s->scCipherContext = k->scCipher->create();
  Derive(s, k, 'D', keys);
  s->scCipher->set_key(s->scCipherContext, keys);
  Derive(s, k, 'B', keys);
  s->scCipher->set_iv(s->scCipherContext, keys);
  if (s->scMac) s->scMac->destroy(s->scMacContext);
  s->scMac = k->scMac;
  s->scMacContext = k->scMac->create();
  Derive(s, k, 'F', keys);
  s->scMac->set_key(s->scMacContext, keys);
  if (s->scCompress) s->scCompress->decompress_cleanup(s->scCompressContext);
  s->scCompress = k->scCompress;
  s->scCompressContext = s->scCompress ? s->scCompress->decompress_init() : nullptr;
  explicit_bzero(keys, sizeof keys);
  KexReleaseValues(s);
  s->kexInProgress = 0;
  s->lastKexTick = plat::GetTickCount();
  if (s->settings.RekeyMinutes)
    s->rekeyDue = TimerSchedule(s->settings.RekeyMinutes * 60000u, SshRekeyTimer, s);
  s->transportState = kKexIdle;
}

}  // namespace cvssh::proto
