#pragma once
// SFTP packets (version 3): the packet record, its writers and readers, and the file
// attributes record. Big-endian throughout; strings are a u32 count and the bytes.
#include <cstdint>

// Largest packet length accepted from the server.
inline constexpr uint32_t kSftpMaxPacketLength = 512000;

struct SftpPacket {
  uint8_t* data;
  uint32_t length;    // bytes in use
  uint32_t capacity;  // grows to needed + 256
  uint32_t mark;      // building: start of the open string; reading: the read position
  uint32_t type;      // type byte of a received packet
};

// Attribute flag bits.
inline constexpr uint32_t kSftpAttrSize = 0x1;
inline constexpr uint32_t kSftpAttrUidGid = 0x2;
inline constexpr uint32_t kSftpAttrPermissions = 0x4;
inline constexpr uint32_t kSftpAttrTimes = 0x8;
inline constexpr uint32_t kSftpAttrExtended = 0x80000000;

struct SftpAttributes {
  uint32_t flags;
  uint64_t size;
  uint32_t uid;
  uint32_t gid;
  uint32_t permissions;
  uint32_t accessTime;        // Unix seconds
  uint32_t modificationTime;  // Unix seconds
};

// A packet under construction: the type byte is its first content byte.
SftpPacket* SftpPacketNew(uint32_t type);
// A received packet of exactly length bytes (content filled by the caller); null when
// memory is short.
SftpPacket* SftpPacketAlloc(uint32_t length);
void SftpPacketFree(SftpPacket* packet);  // null is ignored

void SftpPutByte(SftpPacket* p, uint8_t value);
void SftpPutUint32(SftpPacket* p, uint32_t value);
void SftpPutUint64(SftpPacket* p, uint64_t value);
void SftpPutData(SftpPacket* p, const void* bytes, uint32_t length);
void SftpPutStringStart(SftpPacket* p);
void SftpPutStringData(SftpPacket* p, const void* bytes, uint32_t length);
void SftpPutStringText(SftpPacket* p, const char* text);
void SftpPutString(SftpPacket* p, const char* text);
void SftpPutAttributes(SftpPacket* p, const SftpAttributes* attributes);

// Readers: 0 when too few bytes are left (nothing is consumed then).
int32_t SftpGetByte(SftpPacket* p, uint8_t* value);
int32_t SftpGetUint32(SftpPacket* p, uint32_t* value);
// A pointer into the packet and its length.
int32_t SftpGetString(SftpPacket* p, const char** string, uint32_t* length);
int32_t SftpGetAttributes(SftpPacket* p, SftpAttributes* attributes);
