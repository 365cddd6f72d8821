#pragma once
// What the SSH-1 files share: the login record and the state of the connection phase
// (the message numbers are in messages.h).
#include <cstdint>

#include "ssh/crypto/rsa.h"
#include "ssh/proto/constants.h"
#include "ssh/proto/session.h"

struct SshPacket;

namespace cvssh::ssh1 {

enum LoginResume : uint32_t {
  kWaitPublicKey = 0,
  kWaitSessionKeyReply,
  kWaitUserReply,
  kWaitRsaChallenge,
  kWaitRsaReply,
  kWaitPasswordReply,
};

enum ConnectionResume : uint32_t {
  kConnStart = 0,
  kConnX11Reply,
  kConnPtyReply,
  kConnCompressionReply,
  kConnMain,
};

// The public key of SMSG_PUBLIC_KEY and its modulus as it came on the wire.
struct ServerKey {
  SshRsaKey key;
  uint8_t* modulus;  // owned copy
  int32_t modulusLength;
};

struct LoginState {
  uint32_t resume;
  ServerKey serverKey;
  ServerKey hostKey;
  uint8_t cookie[8];
  uint32_t serverFlags;
  uint32_t supportedCiphers;
  uint32_t supportedAuths;
  uint32_t cipher;
  uint8_t sessionKey[32];
  uint8_t sessionId[16];
  uint8_t* encrypted;  // the double-encrypted session key
  int32_t encryptedLength;
  uint32_t clientFlags;
  uint32_t rsaTried;
  uint8_t* publicBlob;
  int32_t publicBlobLength;
  char* comment;
  SshRsaKey userKey;  // the private key answering the RSA challenge
};

}  // namespace cvssh::ssh1

struct Ssh1State {
  cvssh::ssh1::LoginState login;
  uint32_t loginDone;
  uint32_t connection;     // cvssh::ssh1::ConnectionResume
  uint32_t mainThrottled;  // the main data stream asked the session to stop reading
};

namespace cvssh::ssh1 {

// The session's SSH-1 state, created zeroed at the first use.
Ssh1State* StateOf(SshSession* session);
// Releases the keys, blobs and buffers of the login record (the record stays).
void LoginRelease(LoginState* login);

// Back to waiting for the server's keys, silently; 0.
int32_t EndLogin(LoginState* login);
// The authentication after the server refused the user without one: RSA key once, then
// password. 1 when authenticated.
int32_t AuthBegin(SshSession* session, LoginState* login);
int32_t AuthStep(SshSession* session, LoginState* login, SshPacket* packet);

// Sends a message whose only field is a channel id.
void SendWithId(SshSession* session, uint32_t type, uint32_t id);

// The connection-phase handlers (installed by the connection phase).
void InstallConnectionHandlers(SshSession* session);
void InstallX11OpenHandler(SshSession* session);
void InstallPortOpenHandler(SshSession* session);

}  // namespace cvssh::ssh1
