#pragma once
// The key-exchange record of a session (zeroed at first use) and the steps the
// transport's state machine is built from.
#include <cstdint>

#include "ssh/crypto/cipher.h"
#include "ssh/crypto/dh.h"
#include "ssh/crypto/mac.h"
#include "ssh/crypto/rsa.h"
#include "ssh/proto/compress.h"
#include "ssh/proto/packet.h"
#include "ssh/proto/session.h"

struct SshKexState {
  const SshKexDesc* kex;
  const SshHostKeyDesc* hostKey;
  const SshCipherDesc* csCipher;
  const SshCipherDesc* scCipher;
  const SshMacDesc* csMac;
  const SshMacDesc* scMac;
  const SshCompressDesc* csCompress;  // null for "none"
  const SshCompressDesc* scCompress;
  const SshKexList* kexFamilies[4];
  int32_t kexFamilyCount;
  const SshCipherList* cipherFamilies[6];
  int32_t cipherFamilyCount;
  const SshMacDesc* const* macs;
  uint32_t macCount;
  const SshCompressDesc* preferredCompress;  // null for "none"
  uint8_t* clientKexinit;
  int32_t clientKexinitLength;
  uint32_t pbits;
  uint32_t nbits;
  uint32_t initType;
  uint32_t replyType;
  MpInt f;
  MpInt K;
  MpInt p;
  MpInt g;
  uint8_t H[64];
  uint32_t sessionIdSet;
  uint32_t reportedIdle;
  uint32_t guessOk;
  uint32_t ignoreNext;
};

namespace cvssh::proto {

SshKexState* KexState(SshSession* s);
// Builds and sends the client's KEXINIT (sets the queueing and in-progress flags).
void SendKexinit(SshSession* s);
// Negotiates from the server's KEXINIT and starts the exchange hash; false when nothing
// in common was found or the packet is malformed.
bool ProcessKexinit(SshSession* s, SshPacket* packet);
// Sends the group request or the DH init; false on failure (error and reason set).
bool BeginDh(SshSession* s);
bool HandleGroup(SshSession* s, SshPacket* packet);
bool HandleReply(SshSession* s, SshPacket* packet);
void HandleNewkeys(SshSession* s);
// Ends the exchange: the error is stored and the connection closed with the reason.
void KexFail(SshSession* s, uint32_t error, uint32_t reason, const char* text);
// Releases the values of one exchange (f, K, p, g, DH state, exchange hash, KEXINIT copy).
void KexReleaseValues(SshSession* s);

}  // namespace cvssh::proto
