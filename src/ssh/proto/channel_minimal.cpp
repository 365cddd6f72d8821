// A minimal connection layer: the channel table, flow-controlled output and the channel
// message handlers the main channel needs (data, window, EOF, close, requests).
#include <algorithm>
#include <cstring>

#include "ssh/proto/channel.h"
#include "ssh/proto/input.h"
#include "ssh/proto/packet.h"
#include "ssh/proto/transport.h"
#include "ssh/util/alloc.h"
#include "ssh/util/tree234.h"

namespace {

int CompareChannels(void* a, void* b) {
  uint32_t x = static_cast<SshChannel*>(a)->localId, y = static_cast<SshChannel*>(b)->localId;
  return x < y ? -1 : x > y ? 1 : 0;
}

int CompareId(void* key, void* element) {
  uint32_t x = *static_cast<uint32_t*>(key), y = static_cast<SshChannel*>(element)->localId;
  return x < y ? -1 : x > y ? 1 : 0;
}

void FreeChannel(SshChannel* c) {
  BufferChainClear(&c->output);
  CheckedFree(c);
}

void RemoveChannel(SshSession* s, SshChannel* c) {
  if (s->channels) TreeDelete(s->channels, c);
  if (s->mainChannel == c) s->mainChannel = nullptr;
  FreeChannel(c);
}

SshChannel* ChannelOf(SshSession* s, SshPacket* packet) {
  uint32_t id = SshPacketGetUint32(packet);
  return SshChannelFind(s, id);
}

uint32_t TrySend(SshChannel* c) {
  SshSession* s = c->session;
  while (c->remoteWindow > 0 && BufferChainSize(&c->output)) {
    const void* data;
    uint32_t length;
    BufferChainPrefix(&c->output, &data, &length);
    length = std::min({length, c->remoteWindow, c->remoteMaxPacket ? c->remoteMaxPacket : length});
    SshPacket* p = Ssh2PacketNew(94);
    SshPacketAddUint32(p, c->remoteId);
    SshPacketAddStringStart(p);
    SshPacketAddStringData(p, data, int32_t(length));
    Ssh2SendQueued(s, p);
    BufferChainConsume(&c->output, length);
    c->remoteWindow -= length;
  }
  return BufferChainSize(&c->output);
}

// Re-opens the local window once half of it is used.
void Consumed(SshChannel* c, uint32_t length) {
  c->localWindow = length > c->localWindow ? 0 : c->localWindow - length;
  if (c->localWindow < kSshChannelWindow / 2 && !c->closing) {
    SshPacket* p = Ssh2PacketNew(93);
    SshPacketAddUint32(p, c->remoteId);
    SshPacketAddUint32(p, kSshChannelWindow - c->localWindow);
    Ssh2SendQueued(c->session, p);
    c->localWindow = kSshChannelWindow;
  }
}

void OnWindowAdjust(SshSession* s, SshPacket* packet) {
  SshChannel* c = ChannelOf(s, packet);
  if (!c) return;
  uint32_t add = SshPacketGetUint32(packet);
  c->remoteWindow = add > UINT32_MAX - c->remoteWindow ? UINT32_MAX : c->remoteWindow + add;
  TrySend(c);
}

void OnData(SshSession* s, SshPacket* packet) {
  SshChannel* c = ChannelOf(s, packet);
  if (!c) return;
  if (packet->type == 95) SshPacketGetUint32(packet);
  const uint8_t* data;
  int32_t length;
  SshPacketGetString(packet, &data, &length);
  if (!data) return;
  if (packet->type == 94 && c == s->mainChannel && s->mainChannelData) s->mainChannelData(s, data, uint32_t(length));
  if (s->connectionState != kSshStateClosed && SshChannelFind(s, c->localId) == c) Consumed(c, uint32_t(length));
}

void OnEof(SshSession* s, SshPacket* packet) {
  if (SshChannel* c = ChannelOf(s, packet)) SshChannelClose(c);
}

void OnClose(SshSession* s, SshPacket* packet) {
  SshChannel* c = ChannelOf(s, packet);
  if (!c) return;
  SshChannelClose(c);
  bool wasMain = c == s->mainChannel;
  RemoveChannel(s, c);
  if (wasMain || (s->channels && TreeCount(s->channels) == 0))
    SshDisconnect(s, "All open channels closed", kSshDisconnectByApplication, 1);
}

void OnChannelRequest(SshSession* s, SshPacket* packet) {
  SshChannel* c = ChannelOf(s, packet);
  const uint8_t* type;
  int32_t length;
  SshPacketGetString(packet, &type, &length);
  bool wantReply = SshPacketGetBool(packet);
  if (c && type && length == 11 && std::memcmp(type, "exit-status", 11) == 0)
    s->exitCode = int32_t(SshPacketGetUint32(packet));
  if (c && wantReply) {
    SshPacket* p = Ssh2PacketNew(100);
    SshPacketAddUint32(p, c->remoteId);
    Ssh2SendQueued(s, p);
  }
}

void OnGlobalRequest(SshSession* s, SshPacket* packet) {
  const uint8_t* name;
  int32_t length;
  SshPacketGetString(packet, &name, &length);
  if (SshPacketGetBool(packet)) Ssh2SendQueued(s, Ssh2PacketNew(82));
}

void OnChannelOpen(SshSession* s, SshPacket* packet) {
  const uint8_t* type;
  int32_t length;
  SshPacketGetString(packet, &type, &length);
  uint32_t remote = SshPacketGetUint32(packet);
  SshPacket* p = Ssh2PacketNew(92);
  SshPacketAddUint32(p, remote);
  SshPacketAddUint32(p, 1);
  SshPacketAddString(p, "Channel type not supported");
  SshPacketAddString(p, "en");
  Ssh2SendQueued(s, p);
}

void OnOpenReply(SshSession*, SshPacket*) {}

}  // namespace

uint32_t SshChannelAllocId(SshSession* s) {
  if (!s->channels) return 256;
  int32_t low = 0, high = TreeCount(s->channels);
  // Binary search for the first position whose id is not 256 + position.
  while (low < high) {
    int32_t mid = (low + high) / 2;
    auto* c = static_cast<SshChannel*>(TreeIndex(s->channels, mid));
    if (c->localId == 256u + uint32_t(mid))
      low = mid + 1;
    else
      high = mid;
  }
  return 256u + uint32_t(low);
}

SshChannel* SshChannelNew(SshSession* s, uint32_t localId) {
  auto* c = static_cast<SshChannel*>(cvssh::AllocOrDie(sizeof(SshChannel)));
  std::memset(c, 0, sizeof *c);
  c->session = s;
  c->localId = localId;
  c->localWindow = kSshChannelWindow;
  BufferChainInit(&c->output);
  return c;
}

void SshChannelsAdd(SshSession* s, SshChannel* c) {
  if (!s->channels) s->channels = TreeNew(CompareChannels);
  TreeAdd(s->channels, c);
}

SshChannel* SshChannelFind(SshSession* s, uint32_t localId) {
  return s->channels ? static_cast<SshChannel*>(TreeFind(s->channels, &localId, CompareId)) : nullptr;
}

uint32_t SshChannelWrite(SshChannel* c, const uint8_t* bytes, uint32_t length) {
  if (c->session->connectionState == kSshStateClosed) return 0;
  BufferChainAdd(&c->output, bytes, length);
  return TrySend(c);
}

void SshChannelClose(SshChannel* c) {
  SshSession* s = c->session;
  if (s->connectionState == kSshStateClosed || c->closing) return;
  if (!c->halfOpen) {
    SshPacket* p = Ssh2PacketNew(97);
    SshPacketAddUint32(p, c->remoteId);
    Ssh2SendQueued(s, p);
  }
  c->closing = 1;
}

void Ssh2InstallConnectionHandlers(SshSession* s) {
  s->dispatch[93] = OnWindowAdjust;
  s->dispatch[80] = OnGlobalRequest;
}

void Ssh2InstallChannelHandlers(SshSession* s) {
  s->dispatch[94] = OnData;
  s->dispatch[95] = OnData;
  s->dispatch[96] = OnEof;
  s->dispatch[97] = OnClose;
  s->dispatch[91] = OnOpenReply;
  s->dispatch[92] = OnOpenReply;
  s->dispatch[98] = OnChannelRequest;
  s->dispatch[90] = OnChannelOpen;
}

void SshSetupForwards(SshSession*) {}

void SshChannelsCloseAll(SshSession* s) {
  if (!s->channels) return;
  while (auto* c = static_cast<SshChannel*>(TreeDeleteAt(s->channels, 0))) FreeChannel(c);
  TreeFree(s->channels);
  s->channels = nullptr;
  s->mainChannel = nullptr;
}

void SshChannelsOverrideThrottle(SshSession*, int32_t) {}
