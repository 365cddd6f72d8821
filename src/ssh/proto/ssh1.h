#pragma once
// SSH protocol 1.5, client side: the login (server keys, session key, cipher, user
// authentication), the connection phase, the message handlers and the detector of
// CRC-compensation attacks on encrypted packets.
#include <cstdint>

#include "ssh/proto/session.h"

struct SshPacket;

// 1 once the user is authenticated, else 0.
int32_t Ssh1Login(SshSession* session, SshPacket* packet);
// The resumable connection phase: requests, then user data out and messages in.
void Ssh1Connection(SshSession* session, const uint8_t* data, int32_t length, SshPacket* packet);
// Releases the SSH-1 state of a session (login record, connection state, detector).
void Ssh1Free(SshSession* session);

struct CrcAttackDetector;
CrcAttackDetector* CrcAttackDetectorNew();
void CrcAttackDetectorFree(CrcAttackDetector* context);  // null is ignored
// 1 when the buffer shows a CRC-compensation attack, else 0; n is a multiple of 8. A
// buffer of more blocks than the table can index counts as an attack.
int32_t CrcAttackDetect(CrcAttackDetector* context, const uint8_t* bytes, uint32_t n);
