#pragma once
// The SSH-2 transport: algorithm negotiation, Diffie-Hellman key exchange with fixed
// groups or group exchange, the exchange hash, host-key check, key derivation, repeated
// exchanges, the base dispatch table and the protocol entry.
#include <cstdint>

#include "ssh/crypto/mpint.h"
#include "ssh/proto/session.h"

struct SshHashDesc;

void Ssh2Protocol(SshSession* session, const uint8_t* text, int32_t length, SshPacket* packet);
// 1 when idle after a completed exchange. length -1 without a packet asks for a rekey.
int32_t Ssh2Transport(SshSession* session, const char* reason, int32_t length, SshPacket* packet);
void Ssh2DispatchInit(SshSession* session);
// Two hash lengths of key material for the letter ("A" to "F").
void Ssh2DeriveKey(SshSession* session, MpConstInt K, const uint8_t* H, char letter, uint8_t* out);
void SshRekeyTimer(void* session, uint32_t now);
// Requests a rekey when the byte counters passed the data limit.
void Ssh2CheckDataLimit(SshSession* session, uint32_t counter, const char* reason);

void SshHashString(const SshHashDesc* hash, void* context, const void* bytes, uint32_t length);
void SshHashUint32(const SshHashDesc* hash, void* context, uint32_t value);
void SshHashMpint(const SshHashDesc* hash, void* context, MpConstInt n);

bool SshNameInList(const char* name, const char* list, int32_t listLength);
bool SshNameFirstInList(const char* name, const char* list, int32_t listLength);

// Releases the transport's state of a session.
void Ssh2TransportFree(SshSession* session);
