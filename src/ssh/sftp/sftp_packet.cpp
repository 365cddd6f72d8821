// SFTP packet building and reading.
#include "ssh/sftp/sftp_packet.h"

#include <cstring>

#include "ssh/util/alloc.h"

namespace {

bool Ensure(SftpPacket* p, uint32_t needed) {
  if (needed <= p->capacity) return true;
  auto* data = static_cast<uint8_t*>(cvssh::AllocOrDie(size_t(needed) + 256));
  if (p->length) std::memcpy(data, p->data, p->length);
  CheckedFree(p->data);
  p->data = data;
  p->capacity = needed + 256;
  return true;
}

uint32_t Left(const SftpPacket* p) { return p->length - p->mark; }

}  // namespace

SftpPacket* SftpPacketNew(uint32_t type) {
  auto* p = static_cast<SftpPacket*>(cvssh::AllocOrDie(sizeof(SftpPacket)));
  *p = {};
  SftpPutByte(p, uint8_t(type));
  p->type = type;
  return p;
}

SftpPacket* SftpPacketAlloc(uint32_t length) {
  auto* p = static_cast<SftpPacket*>(CheckedAlloc(1, sizeof(SftpPacket)));
  if (!p) return nullptr;
  *p = {};
  p->data = static_cast<uint8_t*>(CheckedAlloc(length ? length : 1, 1));
  if (!p->data) {
    CheckedFree(p);
    return nullptr;
  }
  p->length = p->capacity = length;
  return p;
}

void SftpPacketFree(SftpPacket* p) {
  if (!p) return;
  CheckedFree(p->data);
  CheckedFree(p);
}

void SftpPutData(SftpPacket* p, const void* bytes, uint32_t length) {
  if (!length) return;
  Ensure(p, p->length + length);
  std::memcpy(p->data + p->length, bytes, length);
  p->length += length;
}

void SftpPutByte(SftpPacket* p, uint8_t value) { SftpPutData(p, &value, 1); }

void SftpPutUint32(SftpPacket* p, uint32_t v) {
  uint8_t b[4] = {uint8_t(v >> 24), uint8_t(v >> 16), uint8_t(v >> 8), uint8_t(v)};
  SftpPutData(p, b, 4);
}

void SftpPutUint64(SftpPacket* p, uint64_t v) {
  SftpPutUint32(p, uint32_t(v >> 32));
  SftpPutUint32(p, uint32_t(v));
}

void SftpPutStringStart(SftpPacket* p) {
  SftpPutUint32(p, 0);
  p->mark = p->length;
}

void SftpPutStringData(SftpPacket* p, const void* bytes, uint32_t length) {
  SftpPutData(p, bytes, length);
  uint32_t n = p->length - p->mark;
  uint8_t* at = p->data + p->mark - 4;
  at[0] = uint8_t(n >> 24);
  at[1] = uint8_t(n >> 16);
  at[2] = uint8_t(n >> 8);
  at[3] = uint8_t(n);
}

void SftpPutStringText(SftpPacket* p, const char* text) {
  SftpPutStringData(p, text, text ? uint32_t(std::strlen(text)) : 0);
}

void SftpPutString(SftpPacket* p, const char* text) {
  SftpPutStringStart(p);
  SftpPutStringText(p, text);
}

void SftpPutAttributes(SftpPacket* p, const SftpAttributes* a) {
  // Extended pairs are never sent.
  uint32_t flags = a->flags & ~kSftpAttrExtended;
  SftpPutUint32(p, flags);
  if (flags & kSftpAttrSize) SftpPutUint64(p, a->size);
  if (flags & kSftpAttrUidGid) {
    SftpPutUint32(p, a->uid);
    SftpPutUint32(p, a->gid);
  }
  if (flags & kSftpAttrPermissions) SftpPutUint32(p, a->permissions);
  if (flags & kSftpAttrTimes) {
    SftpPutUint32(p, a->accessTime);
    SftpPutUint32(p, a->modificationTime);
  }
}

int32_t SftpGetByte(SftpPacket* p, uint8_t* value) {
  if (Left(p) < 1) return 0;
  *value = p->data[p->mark++];
  return 1;
}

int32_t SftpGetUint32(SftpPacket* p, uint32_t* value) {
  if (Left(p) < 4) return 0;
  const uint8_t* b = p->data + p->mark;
  *value = uint32_t(b[0]) << 24 | uint32_t(b[1]) << 16 | uint32_t(b[2]) << 8 | b[3];
  p->mark += 4;
  return 1;
}

int32_t SftpGetString(SftpPacket* p, const char** string, uint32_t* length) {
  uint32_t mark = p->mark, n;
  if (!SftpGetUint32(p, &n)) return 0;
  if (n > Left(p) || n > 0x7FFFFFFF) {
    p->mark = mark;
    return 0;
  }
  *string = reinterpret_cast<const char*>(p->data + p->mark);
  *length = n;
  p->mark += n;
  return 1;
}

int32_t SftpGetAttributes(SftpPacket* p, SftpAttributes* a) {
  *a = {};
  if (!SftpGetUint32(p, &a->flags)) return 0;
  if (a->flags & kSftpAttrSize) {
    uint32_t high, low;
    if (!SftpGetUint32(p, &high) || !SftpGetUint32(p, &low)) return 0;
    a->size = uint64_t(high) << 32 | low;
  }
  if ((a->flags & kSftpAttrUidGid) && (!SftpGetUint32(p, &a->uid) || !SftpGetUint32(p, &a->gid))) return 0;
  if ((a->flags & kSftpAttrPermissions) && !SftpGetUint32(p, &a->permissions)) return 0;
  if ((a->flags & kSftpAttrTimes) && (!SftpGetUint32(p, &a->accessTime) || !SftpGetUint32(p, &a->modificationTime)))
    return 0;
  if (a->flags & kSftpAttrExtended) {
    uint32_t count;
    if (!SftpGetUint32(p, &count)) return 0;
    // Each pair takes at least 8 bytes, so a count beyond that fails at once.
    if (count > Left(p) / 8) return 0;
    for (uint32_t i = 0; i < count; ++i) {
      const char* text;
      uint32_t n;
      if (!SftpGetString(p, &text, &n) || !SftpGetString(p, &text, &n)) return 0;
    }
  }
  return 1;
}
