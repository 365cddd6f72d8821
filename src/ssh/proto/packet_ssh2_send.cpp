// The SSH-2 senders: finish (compress, pad, MAC, encrypt, number), write now, defer into
// one burst, or hold back in the key-exchange queue.
#include <cstring>

#include "ssh/crypto/cipher.h"
#include "ssh/crypto/mac.h"
#include "ssh/crypto/random_pool.h"
#include "ssh/proto/compress.h"
#include "ssh/proto/constants.h"
#include "ssh/proto/input.h"
#include "ssh/proto/packet_internal.h"
#include "ssh/proto/session.h"
#include "ssh/proto/transport.h"
#include "ssh/util/alloc.h"

namespace cvssh::proto {

void DeferBytes(SshSession* s, const uint8_t* bytes, int32_t length) {
  if (s->deferredLength + length > s->deferredCapacity) {
    int32_t capacity = s->deferredLength + length + 128;
    auto* grown = static_cast<uint8_t*>(cvssh::AllocOrDie(size_t(capacity)));
    if (s->deferredLength) std::memcpy(grown, s->deferred, size_t(s->deferredLength));
    if (s->deferred) {
      explicit_bzero(s->deferred, size_t(s->deferredCapacity));
      CheckedFree(s->deferred);
    }
    s->deferred = grown;
    s->deferredCapacity = capacity;
  }
  std::memcpy(s->deferred + s->deferredLength, bytes, size_t(length));
  s->deferredLength += length;
}

void WriteToSocket(SshSession* s, const uint8_t* bytes, int32_t length) {
  if (!s->socket || length <= 0) return;
  uint32_t backlog = s->socket->Write(bytes, uint32_t(length));
  if (backlog > kSshBacklogLimit) SshThrottleAll(s, 1, backlog);
}

}  // namespace cvssh::proto

namespace {

using cvssh::proto::Store32;

bool CbcOut(const SshSession* s) { return s->csCipher && (s->csCipher->flags & SshCipherFlagCbc); }

void Enqueue(SshSession* s, SshPacket* p) {
  if (s->queueLength == s->queueCapacity) {
    int32_t capacity = s->queueCapacity + 32;
    auto* grown = static_cast<SshPacket**>(cvssh::AllocOrDie(sizeof(SshPacket*) * size_t(capacity)));
    if (s->queueLength) std::memcpy(grown, s->queue, sizeof(SshPacket*) * size_t(s->queueLength));
    CheckedFree(s->queue);
    s->queue = grown;
    s->queueCapacity = capacity;
  }
  s->queue[s->queueLength++] = p;
}

void DeferFinished(SshSession* s, SshPacket* p) {
  int32_t n = Ssh2FinishPacket(s, p);
  cvssh::proto::DeferBytes(s, p->data, n);
  s->deferredBytes += p->wireLength;
  SshPacketFree(p);
}

}  // namespace

int32_t Ssh2FinishPacket(SshSession* s, SshPacket* p) {
  if (s->csCompress) {
    uint8_t* out = nullptr;
    int32_t outLength = 0;
    if (s->csCompress->compress(s->csCompressContext, p->data + 5, p->length - 5, &out, &outLength)) {
      cvssh::proto::PacketEnsure(p, outLength + 5);
      std::memcpy(p->data + 5, out, size_t(outLength));
      p->length = outLength + 5;
      explicit_bzero(out, size_t(outLength));
      CheckedFree(out);
    }
  }
  int32_t block = s->csCipher ? int32_t(s->csCipher->block_size) : 8;
  if (block < 8) block = 8;
  int32_t padding = 4 + (block - (p->length + 4) % block) % block;
  int32_t macLength = s->csMac ? int32_t(s->csMac->mac_length) : 0;
  cvssh::proto::PacketEnsure(p, p->length + padding + macLength);
  p->data[4] = uint8_t(padding);
  for (int32_t i = 0; i < padding; ++i) p->data[p->length + i] = RandomByte();
  int32_t total = p->length + padding;
  Store32(p->data, uint32_t(total - 4));
  if (s->csMac) s->csMac->sign(s->csMacContext, p->data, uint32_t(total), s->outSequence);
  s->outSequence++;
  if (s->csCipher) s->csCipher->encrypt(s->csCipherContext, p->data, uint32_t(total));
  p->wireLength = uint32_t(total);
  return total + macLength;
}

void Ssh2SendPacket(SshSession* s, SshPacket* p) {
  if (CbcOut(s) || s->deferredLength) {
    // Under CBC every burst starts with an IGNORE, so it goes through the deferred path;
    // packets deferred already leave first, in the order of their sequence numbers.
    Ssh2DeferPacket(s, p);
    Ssh2FlushDeferred(s);
    return;
  }
  int32_t n = Ssh2FinishPacket(s, p);
  cvssh::proto::WriteToSocket(s, p->data, n);
  s->bytesSent += p->wireLength;
  SshPacketFree(p);
  Ssh2CheckDataLimit(s, s->bytesSent, "too much data sent");
}

void Ssh2DeferPacket(SshSession* s, SshPacket* p) {
  if (CbcOut(s) && s->deferredLength == 0) {
    SshPacket* ignore = Ssh2PacketNew(cvssh::ssh2::kMsgIgnore);
    SshPacketAddStringStart(ignore);
    DeferFinished(s, ignore);
  }
  DeferFinished(s, p);
}

void Ssh2SendQueued(SshSession* s, SshPacket* p) {
  if (s->queueing)
    Enqueue(s, p);
  else
    Ssh2SendPacket(s, p);
}

void Ssh2DeferQueued(SshSession* s, SshPacket* p) {
  if (s->queueing)
    Enqueue(s, p);
  else
    Ssh2DeferPacket(s, p);
}

void Ssh2FlushDeferred(SshSession* s) {
  if (s->deferredLength == 0) return;
  cvssh::proto::WriteToSocket(s, s->deferred, s->deferredLength);
  explicit_bzero(s->deferred, size_t(s->deferredCapacity));
  CheckedFree(s->deferred);
  s->deferred = nullptr;
  s->deferredLength = s->deferredCapacity = 0;
  s->bytesSent += s->deferredBytes;
  s->deferredBytes = 0;
  Ssh2CheckDataLimit(s, s->bytesSent, "too much data sent");
}

void Ssh2SendQueue(SshSession* s) {
  for (int32_t i = 0; i < s->queueLength; ++i) Ssh2DeferPacket(s, s->queue[i]);
  s->queueLength = 0;
  Ssh2FlushDeferred(s);
}

void Ssh2SendPaddedPacket(SshSession* s, SshPacket* p) {
  bool queued = s->queueing != 0;
  Ssh2DeferQueued(s, p);
  if (s->csCipher && !queued) {
    int32_t block = int32_t(s->csCipher->block_size);
    int32_t n = block - int32_t(s->deferredBytes) + 255;
    n -= n % block;
    if (s->csCompress && s->csCompress->disable_compression)
      n -= s->csCompress->disable_compression(s->csCompressContext);
    if (n > 0) {
      SshPacket* ignore = Ssh2PacketNew(cvssh::ssh2::kMsgIgnore);
      SshPacketAddStringStart(ignore);
      for (int32_t i = 0; i < n; ++i) {
        uint8_t c = RandomByte();
        SshPacketAddStringData(ignore, &c, 1);
      }
      Ssh2DeferPacket(s, ignore);
    }
  }
  Ssh2FlushDeferred(s);
}

void SshPacketLayerFree(SshSession* s) {
  SshPacketFree(s->rx2.packet);
  s->rx2 = Ssh2ReceiveState{};
  SshPacketFree(s->rx1.packet);
  s->rx1 = Ssh1ReceiveState{};
  for (int32_t i = 0; i < s->queueLength; ++i) SshPacketFree(s->queue[i]);
  CheckedFree(s->queue);
  s->queue = nullptr;
  s->queueLength = s->queueCapacity = 0;
  if (s->deferred) {
    explicit_bzero(s->deferred, size_t(s->deferredCapacity));
    CheckedFree(s->deferred);
  }
  s->deferred = nullptr;
  s->deferredLength = s->deferredCapacity = 0;
}
