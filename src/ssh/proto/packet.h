#pragma once
// SSH packets of both protocol versions: the packet record, field writers and readers,
// the incremental receivers that cut the server's byte stream into packets, and the
// senders that compress, pad, authenticate, encrypt and number outgoing packets.
#include <cstdint>
#include <initializer_list>

#include "ssh/crypto/mpint.h"

struct SshSession;
struct SshRsaKey;

struct SshPacket {
  int32_t length;       // bytes used in data (see the layouts in packet_fields.cpp)
  uint32_t type;        // message number
  uint32_t sequence;    // sequence number of a received SSH-2 packet
  uint8_t* data;
  uint8_t* body;        // read positions count from here
  int32_t position;     // read position; while writing a string, just behind its length
  int32_t capacity;
  uint32_t wireLength;  // bytes on the wire without the MAC
};

// Largest SSH-2 packet length accepted from the network.
inline constexpr int32_t kSsh2MaxPacketLength = 35000;
// Socket backlog above which every channel is throttled.
inline constexpr uint32_t kSshBacklogLimit = 32768;

// ---- construction ----
SshPacket* Ssh2PacketNew(uint32_t type);
SshPacket* Ssh1PacketNew(uint32_t type);
void SshPacketFree(SshPacket* packet);  // wipes the bytes; null is ignored

// One typed field of an SSH-1 packet built in one call.
struct Ssh1Field {
  enum Kind : int32_t { End = 0, Uint32 = 1, Byte = 2, Raw = 3, Text = 4, Mpint = 5 };
  int32_t kind;
  uint32_t value = 0;
  const void* data = nullptr;
  int32_t length = 0;
  MpConstInt number = nullptr;
};
SshPacket* Ssh1BuildPacket(uint32_t type, std::initializer_list<Ssh1Field> fields);

// ---- writers (big-endian) ----
void SshPacketAddByte(SshPacket* p, uint8_t value);
void SshPacketAddBool(SshPacket* p, bool value);
void SshPacketAddUint32(SshPacket* p, uint32_t value);
void SshPacketAddStringStart(SshPacket* p);
void SshPacketAddStringText(SshPacket* p, const char* text);
void SshPacketAddStringData(SshPacket* p, const void* bytes, int32_t length);
void SshPacketAddString(SshPacket* p, const char* text);
void SshPacketAddMpint2(SshPacket* p, MpConstInt n);
void SshPacketAddMpint1(SshPacket* p, MpConstInt n);

// ---- readers (never past length) ----
uint32_t SshPacketGetUint32(SshPacket* p);
bool SshPacketGetBool(SshPacket* p);
// Null and 0 when no length field is left or its top bit is set; a length whose bytes do
// not fit comes back with a null pointer (only the length field is consumed).
void SshPacketGetString(SshPacket* p, const uint8_t** string, int32_t* length);
MpInt SshPacketGetMpint2(SshPacket* p);  // null for a missing or negative value
MpInt SshPacketGetMpint1(SshPacket* p);
bool SshPacketGetRsaKey1(SshPacket* p, SshRsaKey* key);
const uint8_t* SshPacketGetCookie8(SshPacket* p);

// ---- receivers ----
SshPacket* Ssh2ReadPacket(SshSession* session, const uint8_t** bytes, int32_t* count);
SshPacket* Ssh1ReadPacket(SshSession* session, const uint8_t** bytes, int32_t* count);

// ---- SSH-2 senders (the packet is freed by the send) ----
void Ssh2SendPacket(SshSession* session, SshPacket* p);
void Ssh2DeferPacket(SshSession* session, SshPacket* p);
void Ssh2SendQueued(SshSession* session, SshPacket* p);
void Ssh2DeferQueued(SshSession* session, SshPacket* p);
void Ssh2FlushDeferred(SshSession* session);
void Ssh2SendQueue(SshSession* session);
// For secrets: the packet leaves together with an IGNORE that hides its length.
void Ssh2SendPaddedPacket(SshSession* session, SshPacket* p);
// Finishes the packet in place and returns the bytes to write (MAC included).
int32_t Ssh2FinishPacket(SshSession* session, SshPacket* p);

// ---- SSH-1 senders ----
void Ssh1SendPacket(SshSession* session, uint32_t type, std::initializer_list<Ssh1Field> fields);
void Ssh1DeferPacket(SshSession* session, uint32_t type, std::initializer_list<Ssh1Field> fields);
// Finishes in place; the wire bytes start at *offset.
int32_t Ssh1FinishPacket(SshSession* session, SshPacket* p, int32_t* offset);

// ---- SSH-1 checksum: CRC-32, initial value 0, no final inversion ----
uint32_t SshCrc32(const void* bytes, uint32_t length);
uint32_t SshCrc32Update(uint32_t crc, const void* bytes, uint32_t length);

// Releases the packet layer's state of a session (partial packets, queue, deferred bytes).
void SshPacketLayerFree(SshSession* session);
