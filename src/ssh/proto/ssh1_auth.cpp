// SSH-1 user authentication: an RSA key from the key file once, then the password, sent
// in the form the server's known faults allow.
#include <cstring>

#include "core/digest/md5.h"
#include "ssh/crypto/keyfile.h"
#include "ssh/crypto/random_pool.h"
#include "ssh/proto/packet.h"
#include "ssh/proto/ssh1_internal.h"
#include "ssh/util/alloc.h"

namespace {

using namespace cvssh::ssh1;

void ForgetUserKey(LoginState* l) {
  for (MpInt v : {l->userKey.modulus, l->userKey.exponent, l->userKey.private_exponent, l->userKey.p,
                  l->userKey.q, l->userKey.iqmp})
    MpFree(v);
  CheckedFree(l->userKey.comment);
  explicit_bzero(&l->userKey, sizeof l->userKey);
  CheckedFree(l->publicBlob);
  CheckedFree(l->comment);
  l->publicBlob = nullptr;
  l->comment = nullptr;
  l->publicBlobLength = 0;
}

// Sends AUTH_RSA when an SSH-1 key can be loaded from the key file.
bool TryRsa(SshSession* s, LoginState* l) {
  if (l->rsaTried || (s->bugs & SSH1_RSA_AUTH_BUG)) return false;
  l->rsaTried = 1;
  char file[sizeof s->settings.KeyFile + 1] = {};
  std::memcpy(file, s->settings.KeyFile, strnlen(s->settings.KeyFile, sizeof s->settings.KeyFile));
  if (!file[0] || KeyFileDetect(file) != KeyFileSsh1) return false;
  const char* error = nullptr;
  if (!Ssh1KeyPublicBlob(file, &l->publicBlob, &l->publicBlobLength, &l->comment, &error)) return false;
  // No passphrase can be asked for: a key that does not load leaves the password.
  if (Ssh1KeyLoad(file, &l->userKey, &error) != 1) {
    ForgetUserKey(l);
    return false;
  }
  Ssh1SendPacket(s, kCmsgAuthRsa, {{.kind = Ssh1Field::Mpint, .number = l->userKey.modulus}});
  l->resume = kWaitRsaChallenge;
  return true;
}

// The answer to the challenge: MD5 of the decrypted 32 bytes and the session identifier.
bool AnswerChallenge(SshSession* s, LoginState* l, SshPacket* p) {
  MpInt challenge = SshPacketGetMpint1(p);
  MpInt plain = challenge ? RsaPrivate(challenge, &l->userKey) : nullptr;
  MpFree(challenge);
  if (!plain) return false;
  uint8_t buffer[32];
  MpWriteFixed(buffer, sizeof buffer, plain);
  MpFree(plain);
  Md5Context md5;
  uint8_t response[16];
  Md5Begin(&md5);
  Md5Append(&md5, buffer, sizeof buffer);
  Md5Append(&md5, l->sessionId, sizeof l->sessionId);
  Md5End(response, &md5);
  explicit_bzero(buffer, sizeof buffer);
  Ssh1SendPacket(s, kCmsgAuthRsaResponse, {{.kind = Ssh1Field::Raw, .data = response, .length = 16}});
  explicit_bzero(response, sizeof response);
  return true;
}

void RandomBytes(uint8_t* out, int32_t n, bool nonZero) {
  for (int32_t i = 0; i < n; ++i) {
    do out[i] = RandomByte();
    while (nonZero && out[i] == 0);
  }
}

void SendPassword(SshSession* s, LoginState* l) {
  char password[sizeof s->settings.Password + 1] = {};
  const int32_t length = int32_t(strnlen(s->settings.Password, sizeof s->settings.Password));
  std::memcpy(password, s->settings.Password, size_t(length));
  if (s->bugs & SSH1_PLAIN_PASSWORD_BUG) {
    Ssh1SendPacket(s, kCmsgAuthPassword, {{.kind = Ssh1Field::Text, .data = password}});
  } else if (s->bugs & SSH1_IGNORE_BUG) {
    // The server cannot take IGNORE messages: the length is hidden inside the string.
    if (length < 64) {
      uint8_t padded[64];
      std::memcpy(padded, password, size_t(length));
      padded[length] = 0;
      RandomBytes(padded + length + 1, 63 - length, false);
      Ssh1SendPacket(s, kCmsgAuthPassword,
                     {{.kind = Ssh1Field::Uint32, .value = 64}, {.kind = Ssh1Field::Raw, .data = padded, .length = 64}});
      explicit_bzero(padded, sizeof padded);
    } else {
      Ssh1SendPacket(s, kCmsgAuthPassword, {{.kind = Ssh1Field::Text, .data = password}});
    }
  } else {
    // The password leaves among IGNORE messages of every neighbouring length, all in one
    // write, so the packet lengths do not give its length away.
    const int32_t from = length < 16 ? 0 : length & ~7, to = length < 16 ? 15 : (length & ~7) + 7;
    uint8_t noise[sizeof password];
    for (int32_t i = from; i <= to; ++i) {
      if (i == length) {
        Ssh1DeferPacket(s, kCmsgAuthPassword, {{.kind = Ssh1Field::Text, .data = password}});
        continue;
      }
      RandomBytes(noise, i, true);
      Ssh1DeferPacket(s, kMsgIgnore,
                      {{.kind = Ssh1Field::Uint32, .value = uint32_t(i)},
                       {.kind = Ssh1Field::Raw, .data = noise, .length = i}});
    }
    Ssh2FlushDeferred(s);
  }
  explicit_bzero(password, sizeof password);
  l->resume = kWaitPasswordReply;
}

}  // namespace

namespace cvssh::ssh1 {

int32_t AuthBegin(SshSession* s, LoginState* l) {
  if (!TryRsa(s, l)) SendPassword(s, l);
  return 0;
}

int32_t AuthStep(SshSession* s, LoginState* l, SshPacket* p) {
  switch (l->resume) {
    case kWaitRsaChallenge:
      if (p->type == kSmsgFailure) {
        ForgetUserKey(l);
        SendPassword(s, l);
        return 0;
      }
      if (p->type != kSmsgAuthRsaChallenge || !AnswerChallenge(s, l, p)) {
        ForgetUserKey(l);
        return EndLogin(l);
      }
      l->resume = kWaitRsaReply;
      return 0;
    case kWaitRsaReply:
      ForgetUserKey(l);
      if (p->type == kSmsgSuccess) return 1;
      if (p->type != kSmsgFailure) return EndLogin(l);
      SendPassword(s, l);
      return 0;
    case kWaitPasswordReply:
      if (p->type == kSmsgSuccess) return 1;
      if (p->type != kSmsgFailure) return EndLogin(l);
      SendPassword(s, l);
      return 0;
    default:
      return EndLogin(l);
  }
}

}  // namespace cvssh::ssh1
