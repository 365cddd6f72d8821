// The packet record and its field writers and readers.
//
// Layouts inside data:
//   outgoing SSH-2: length (4), padding length (1), message number, payload; a new packet
//     has length 5 plus the message number, so length covers header and payload.
//   received SSH-2: the decrypted packet as it came; body = data, position 6 (behind the
//     message number), length = payload length + 5.
//   outgoing SSH-1: message number at byte 12; bytes 0-11 stay free for the length field
//     and up to 8 padding bytes, placed in front of the message number when finished.
//   received SSH-1: body = the first payload byte, position 0, length = payload length.
#include <cstring>

#include "ssh/crypto/rsa.h"
#include "ssh/proto/packet.h"
#include "ssh/proto/packet_internal.h"
#include "ssh/util/alloc.h"

namespace cvssh::proto {

SshPacket* PacketAlloc(int32_t capacity) {
  auto* p = static_cast<SshPacket*>(cvssh::AllocOrDie(sizeof(SshPacket)));
  std::memset(p, 0, sizeof *p);
  p->data = static_cast<uint8_t*>(cvssh::AllocOrDie(size_t(capacity)));
  p->capacity = capacity;
  p->body = p->data;
  return p;
}

void PacketEnsure(SshPacket* p, int32_t needed) {
  if (needed <= p->capacity) return;
  ptrdiff_t bodyOffset = p->body - p->data;
  int32_t capacity = needed + 256;
  auto* data = static_cast<uint8_t*>(cvssh::AllocOrDie(size_t(capacity)));
  std::memcpy(data, p->data, size_t(p->capacity));
  explicit_bzero(p->data, size_t(p->capacity));
  CheckedFree(p->data);
  p->data = data;
  p->capacity = capacity;
  p->body = data + bodyOffset;
}

}  // namespace cvssh::proto

namespace {

using cvssh::proto::Load32;
using cvssh::proto::PacketAlloc;
using cvssh::proto::PacketEnsure;

void Append(SshPacket* p, const void* bytes, int32_t n) {
  if (n <= 0) return;
  PacketEnsure(p, p->length + n);
  std::memcpy(p->data + p->length, bytes, size_t(n));
  p->length += n;
}

int32_t Remaining(const SshPacket* p) {
  return p->length - p->position;
}

const uint8_t* Cursor(const SshPacket* p) { return p->body + p->position; }

}  // namespace

SshPacket* Ssh2PacketNew(uint32_t type) {
  SshPacket* p = PacketAlloc(256);
  p->length = 5;
  p->type = type;
  SshPacketAddByte(p, uint8_t(type));
  return p;
}

SshPacket* Ssh1PacketNew(uint32_t type) {
  SshPacket* p = PacketAlloc(256);
  p->length = 12;
  p->type = type;
  SshPacketAddByte(p, uint8_t(type));
  p->body = p->data + 13;
  return p;
}

void SshPacketFree(SshPacket* p) {
  if (!p) return;
  if (p->data) {
    explicit_bzero(p->data, size_t(p->capacity));
    CheckedFree(p->data);
  }
  CheckedFree(p);
}

SshPacket* Ssh1BuildPacket(uint32_t type, std::initializer_list<Ssh1Field> fields) {
  SshPacket* p = Ssh1PacketNew(type);
  for (const Ssh1Field& f : fields) {
    if (f.kind == Ssh1Field::End) break;
    switch (f.kind) {
      case Ssh1Field::Uint32: SshPacketAddUint32(p, f.value); break;
      case Ssh1Field::Byte: SshPacketAddByte(p, uint8_t(f.value)); break;
      case Ssh1Field::Raw: Append(p, f.data, f.length); break;
      case Ssh1Field::Text: SshPacketAddString(p, static_cast<const char*>(f.data)); break;
      case Ssh1Field::Mpint: SshPacketAddMpint1(p, f.number); break;
      default: break;
    }
  }
  return p;
}

void SshPacketAddByte(SshPacket* p, uint8_t value) { Append(p, &value, 1); }

void SshPacketAddBool(SshPacket* p, bool value) { SshPacketAddByte(p, value ? 1 : 0); }

void SshPacketAddUint32(SshPacket* p, uint32_t v) {
  uint8_t b[4] = {uint8_t(v >> 24), uint8_t(v >> 16), uint8_t(v >> 8), uint8_t(v)};
  Append(p, b, 4);
}

void SshPacketAddStringStart(SshPacket* p) {
  SshPacketAddUint32(p, 0);
  p->position = p->length;
}

void SshPacketAddStringData(SshPacket* p, const void* bytes, int32_t length) {
  Append(p, bytes, length);
  uint32_t n = uint32_t(p->length - p->position);
  uint8_t* at = p->data + p->position - 4;
  at[0] = uint8_t(n >> 24);
  at[1] = uint8_t(n >> 16);
  at[2] = uint8_t(n >> 8);
  at[3] = uint8_t(n);
}

void SshPacketAddStringText(SshPacket* p, const char* text) {
  SshPacketAddStringData(p, text, text ? int32_t(std::strlen(text)) : 0);
}

void SshPacketAddString(SshPacket* p, const char* text) {
  SshPacketAddStringStart(p);
  SshPacketAddStringText(p, text);
}

void SshPacketAddMpint2(SshPacket* p, MpConstInt n) {
  int32_t size = MpSsh2Length(n);
  PacketEnsure(p, p->length + size);
  MpWriteSsh2(p->data + p->length, n);
  p->length += size;
}

void SshPacketAddMpint1(SshPacket* p, MpConstInt n) {
  int32_t size = MpSsh1Length(n);
  PacketEnsure(p, p->length + size);
  MpWriteSsh1(p->data + p->length, n);
  p->length += size;
}

uint32_t SshPacketGetUint32(SshPacket* p) {
  if (Remaining(p) < 4) return 0;
  uint32_t v = Load32(Cursor(p));
  p->position += 4;
  return v;
}

bool SshPacketGetBool(SshPacket* p) {
  if (Remaining(p) < 1) return false;
  bool value = Cursor(p)[0] != 0;
  p->position += 1;
  return value;
}

void SshPacketGetString(SshPacket* p, const uint8_t** string, int32_t* length) {
  *string = nullptr;
  *length = 0;
  if (Remaining(p) < 4) return;
  uint32_t n = Load32(Cursor(p));
  if (n & 0x80000000u) return;
  *length = int32_t(n);
  p->position += 4;
  if (Remaining(p) < int32_t(n)) return;
  *string = Cursor(p);
  p->position += int32_t(n);
}

MpInt SshPacketGetMpint2(SshPacket* p) {
  const uint8_t* bytes;
  int32_t n;
  SshPacketGetString(p, &bytes, &n);
  if (!bytes) return nullptr;
  static const uint8_t kNothing = 0;
  if (n == 0) return MpFromBytes(&kNothing, 0);
  if (bytes[0] > 127) return nullptr;
  return MpFromBytes(bytes, size_t(n));
}

MpInt SshPacketGetMpint1(SshPacket* p) {
  MpInt result = nullptr;
  int32_t n = MpReadSsh1(Cursor(p), Remaining(p), &result);
  if (n < 0) return nullptr;
  p->position += n;
  return result;
}

bool SshPacketGetRsaKey1(SshPacket* p, SshRsaKey* key) {
  int32_t n = Ssh1ReadRsaPublic(Cursor(p), Remaining(p), key, nullptr, 0);
  if (n < 0) return false;
  p->position += n;
  return true;
}

const uint8_t* SshPacketGetCookie8(SshPacket* p) {
  if (Remaining(p) < 8) return nullptr;
  const uint8_t* at = Cursor(p);
  p->position += 8;
  return at;
}
