// SSH-1 packets (protocol 1.5 wire form: length, 1-8 padding bytes, message number,
// payload, CRC): the receiver and the senders.
#include <algorithm>
#include <cstring>

#include "core/errors/error_codes.h"
#include "ssh/crypto/cipher.h"
#include "ssh/crypto/random_pool.h"
#include "ssh/proto/compress.h"
#include "ssh/proto/packet_internal.h"
#include "ssh/proto/session.h"
#include "ssh/util/alloc.h"

using cvssh::proto::Load32;
using cvssh::proto::Store32;

namespace {

// The largest SSH-1 packet: anything longer is dropped before memory is taken for it.
constexpr int32_t kSsh1MaxPacketLength = 262144;

void Drop(SshSession* s) {
  SshPacketFree(s->rx1.packet);
  s->rx1 = Ssh1ReceiveState{};
}

// A packet that fails its checks leaves the stream out of step for good (the next bytes
// would be read as a length): the session ends.
void Reject(SshSession* s) {
  SshSetLastError(s, cvErrorInvalidPacketData);
  s->integrityFailed = 1;
  Drop(s);
}

}  // namespace

SshPacket* Ssh1ReadPacket(SshSession* s, const uint8_t** bytes, int32_t* count) {
  Ssh1ReceiveState& rx = s->rx1;
  if (rx.length < 0) {
    while (rx.have < 4 && *count > 0) {
      rx.lengthBytes[rx.have++] = **bytes;
      ++*bytes;
      --*count;
    }
    if (rx.have < 4) return nullptr;
    int32_t length = int32_t(Load32(rx.lengthBytes));
    if (length < 5 || length > kSsh1MaxPacketLength) {
      Reject(s);
      return nullptr;
    }
    rx.length = length;
    rx.total = length + (8 - length % 8);
    rx.have = 0;
    rx.packet = cvssh::proto::PacketAlloc(rx.total + 256);
  }
  SshPacket* p = rx.packet;
  int32_t take = std::min(rx.total - rx.have, *count);
  std::memcpy(p->data + rx.have, *bytes, size_t(take));
  rx.have += take;
  *bytes += take;
  *count -= take;
  if (rx.have < rx.total) return nullptr;

  const int32_t length = rx.length, total = rx.total, padding = total - length;
  if (s->ssh1Cipher) {
    if (s->crcDetect && s->crcDetect(s->crcDetector, p->data, uint32_t(total))) {
      Reject(s);
      return nullptr;
    }
    s->ssh1Cipher->decrypt(s->ssh1CipherContext, p->data, uint32_t(total));
  }
  if (SshCrc32(p->data, uint32_t(total - 4)) != Load32(p->data + total - 4)) {
    Reject(s);
    return nullptr;
  }
  p->type = p->data[padding];
  p->body = p->data + padding + 1;
  p->length = length - 5;
  p->position = 0;
  p->wireLength = uint32_t(total + 4);
  if (s->scCompress) {
    uint8_t* out = nullptr;
    int32_t outLength = 0;
    if (!s->scCompress->decompress(s->scCompressContext, p->data + padding, length - 4, &out, &outLength) ||
        outLength < 1) {
      CheckedFree(out);
      Reject(s);
      return nullptr;
    }
    cvssh::proto::PacketEnsure(p, padding + outLength);
    std::memcpy(p->data + padding, out, size_t(outLength));
    explicit_bzero(out, size_t(outLength));
    CheckedFree(out);
    p->type = p->data[padding];
    p->body = p->data + padding + 1;
    p->length = outLength - 1;
  }
  rx.packet = nullptr;
  Drop(s);
  return p;
}

int32_t Ssh1FinishPacket(SshSession* s, SshPacket* p, int32_t* offset) {
  if (s->csCompress) {
    uint8_t* out = nullptr;
    int32_t outLength = 0;
    if (s->csCompress->compress(s->csCompressContext, p->data + 12, p->length - 12, &out, &outLength)) {
      cvssh::proto::PacketEnsure(p, outLength + 12);
      std::memcpy(p->data + 12, out, size_t(outLength));
      p->length = outLength + 12;
      explicit_bzero(out, size_t(outLength));
      CheckedFree(out);
    }
  }
  int32_t length = (p->length - 12) + 4;
  int32_t padding = 8 - length % 8;
  cvssh::proto::PacketEnsure(p, p->length + 4);
  uint8_t* start = p->data + 12 - padding;
  for (int32_t i = 0; i < padding; ++i) start[i] = RandomByte();
  Store32(p->data + p->length, SshCrc32(start, uint32_t(padding + length - 4)));
  Store32(start - 4, uint32_t(length));
  if (s->ssh1Cipher) s->ssh1Cipher->encrypt(s->ssh1CipherContext, start, uint32_t(padding + length));
  *offset = 12 - padding - 4;
  p->wireLength = uint32_t(4 + padding + length);
  return 4 + padding + length;
}

void Ssh1SendPacket(SshSession* s, uint32_t type, std::initializer_list<Ssh1Field> fields) {
  SshPacket* p = Ssh1BuildPacket(type, fields);
  int32_t offset = 0;
  int32_t n = Ssh1FinishPacket(s, p, &offset);
  cvssh::proto::WriteToSocket(s, p->data + offset, n);
  SshPacketFree(p);
}

void Ssh1DeferPacket(SshSession* s, uint32_t type, std::initializer_list<Ssh1Field> fields) {
  SshPacket* p = Ssh1BuildPacket(type, fields);
  int32_t offset = 0;
  int32_t n = Ssh1FinishPacket(s, p, &offset);
  cvssh::proto::DeferBytes(s, p->data + offset, n);
  SshPacketFree(p);
}
