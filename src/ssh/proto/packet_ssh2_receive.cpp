// The SSH-2 receiver: cuts the decrypted byte stream into checked packets, resumable
// after any byte.
#include <algorithm>
#include <cstring>

#include "core/errors/error_codes.h"
#include "ssh/crypto/cipher.h"
#include "ssh/crypto/mac.h"
#include "ssh/proto/compress.h"
#include "ssh/proto/packet_internal.h"
#include "ssh/proto/session.h"
#include "ssh/util/alloc.h"

using cvssh::proto::Load32;

namespace {

// Length, padding length, message number, recipient channel and the data's length.
constexpr int32_t kChannelHeaderBytes = 14;

void Reject(SshSession* s) {
  SshSetLastError(s, cvErrorInvalidPacketData);
  s->integrityFailed = 1;
  SshPacketFree(s->rx2.packet);
  s->rx2 = Ssh2ReceiveState{};
}

// Copies up to want - have bytes; true when the packet now holds want bytes.
bool Collect(Ssh2ReceiveState& rx, int32_t want, const uint8_t** bytes, int32_t* count) {
  int32_t take = std::min(want - rx.have, *count);
  if (take > 0) {
    std::memcpy(rx.packet->data + rx.have, *bytes, size_t(take));
    rx.have += take;
    *bytes += take;
    *count -= take;
  }
  return rx.have >= want;
}

}  // namespace

SshPacket* Ssh2ReadPacket(SshSession* s, const uint8_t** bytes, int32_t* count) {
  Ssh2ReceiveState& rx = s->rx2;
  if (!rx.packet) {
    rx.block = s->scCipher ? int32_t(s->scCipher->block_size) : 8;
    if (rx.block < 8) rx.block = 8;
    rx.packet = cvssh::proto::PacketAlloc(std::max(rx.block, 256));
    rx.have = 0;
    rx.total = 0;
  }
  SshPacket* p = rx.packet;
  if (rx.total == 0) {
    if (!Collect(rx, rx.block, bytes, count)) return nullptr;
    if (s->scCipher) s->scCipher->decrypt(s->scCipherContext, p->data, uint32_t(rx.block));
    int32_t length = int32_t(Load32(p->data));
    int32_t padding = p->data[4];
    // The size limit comes first, so any oversized length is refused whatever the block.
    if (length < 0 || length > kSsh2MaxPacketLength || padding < 4 || length - padding < 1 ||
        (length + 4) % rx.block != 0) {
      Reject(s);
      return nullptr;
    }
    int32_t macLength = s->scMac ? int32_t(s->scMac->mac_length) : 0;
    rx.total = length + 4 + macLength;
    cvssh::proto::PacketEnsure(p, rx.total);
    // A channel message's header (type, recipient, data length) is in a first block of 16
    // bytes; a compressed payload cannot be read before it is inflated.
    if (s->packetStarted && rx.block >= kChannelHeaderBytes && !s->scCompress)
      s->packetStarted(s, p->data, length - padding + 4);
  }
  if (!Collect(rx, rx.total, bytes, count)) return nullptr;

  int32_t length = int32_t(Load32(p->data));
  int32_t padding = p->data[4];
  if (s->scCipher && length + 4 > rx.block)
    s->scCipher->decrypt(s->scCipherContext, p->data + rx.block, uint32_t(length + 4 - rx.block));
  if (s->scMac && !s->scMac->verify(s->scMacContext, p->data, uint32_t(length + 4), s->inSequence)) {
    Reject(s);
    return nullptr;
  }
  p->sequence = s->inSequence++;
  p->length = length - padding + 4;
  p->wireLength = uint32_t(length + 4);
  if (s->scCompress) {
    uint8_t* out = nullptr;
    int32_t outLength = 0;
    // A payload that does not inflate is as corrupt as one that fails its MAC (and the
    // stream's window is out of step from here on).
    if (!s->scCompress->decompress(s->scCompressContext, p->data + 5, p->length - 5, &out, &outLength) ||
        outLength < 1) {
      CheckedFree(out);
      Reject(s);
      return nullptr;
    }
    cvssh::proto::PacketEnsure(p, outLength + 5);
    std::memcpy(p->data + 5, out, size_t(outLength));
    p->length = outLength + 5;
    explicit_bzero(out, size_t(outLength));
    CheckedFree(out);
  }
  p->type = p->data[5];
  p->body = p->data;
  p->position = 6;
  rx = Ssh2ReceiveState{};
  return p;
}
