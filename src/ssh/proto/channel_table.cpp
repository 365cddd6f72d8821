// The channel table and channel output with SSH-2 flow control.
#include <algorithm>
#include <cstring>

#include "ssh/proto/channel.h"
#include "ssh/proto/constants.h"
#include "ssh/proto/forward_hooks.h"
#include "ssh/proto/input.h"
#include "ssh/proto/packet.h"
#include "ssh/util/alloc.h"
#include "ssh/util/tree234.h"

namespace {

constexpr uint32_t kSsh1UnthrottleBacklog = 32768;
// Every SSH-2 peer takes packets with 32,768 bytes of payload.
constexpr uint32_t kMaxDataPiece = 32768;

int CompareChannels(void* a, void* b) {
  uint32_t x = static_cast<SshChannel*>(a)->localId, y = static_cast<SshChannel*>(b)->localId;
  return x < y ? -1 : x > y ? 1 : 0;
}

int CompareId(void* key, void* element) {
  uint32_t x = *static_cast<uint32_t*>(key), y = static_cast<SshChannel*>(element)->localId;
  return x < y ? -1 : x > y ? 1 : 0;
}

void CloseConnection(SshChannel* c) {
  if (!c->socket) return;
  if (c->type == ChannelX11)
    X11Close(c->socket);
  else if (c->type == ChannelForward || c->type == ChannelForwardPending)
    PortForwardClose(c->socket);
  c->socket = nullptr;
}

void FreeChannel(SshChannel* c) { delete c; }

}  // namespace

uint32_t SshChannelAllocId(SshSession* s) {
  if (!s->channels) return 256;
  // The first position whose id is not 256 + position: ids below it are all in use.
  int32_t low = -1, high = TreeCount(s->channels);
  while (high - low > 1) {
    int32_t mid = (low + high) / 2;
    auto* c = static_cast<SshChannel*>(TreeIndex(s->channels, mid));
    if (c->localId == 256u + uint32_t(mid))
      low = mid;
    else
      high = mid;
  }
  return 257u + uint32_t(low);
}

SshChannel* SshChannelNew(SshSession* s, uint32_t localId) {
  auto* c = new SshChannel();
  c->session = s;
  c->localId = localId;
  c->localWindow = kSshChannelWindow;
  return c;
}

void SshChannelDiscard(SshChannel* c) { FreeChannel(c); }

void SshChannelsAdd(SshSession* s, SshChannel* c) {
  if (!s->channels) s->channels = TreeNew(CompareChannels);
  TreeAdd(s->channels, c);
}

SshChannel* SshChannelFind(SshSession* s, uint32_t localId) {
  return s->channels ? static_cast<SshChannel*>(TreeFind(s->channels, &localId, CompareId)) : nullptr;
}

void SshChannelRemove(SshSession* s, SshChannel* c) {
  if (s->channels) TreeDelete(s->channels, c);
  if (s->mainChannel == c) s->mainChannel = nullptr;
  FreeChannel(c);
}

void SshChannelsCloseAll(SshSession* s) {
  if (s->channels) {
    while (auto* c = static_cast<SshChannel*>(TreeDeleteAt(s->channels, 0))) {
      CloseConnection(c);
      FreeChannel(c);
    }
    TreeFree(s->channels);
    s->channels = nullptr;
  }
  s->mainChannel = nullptr;
}

void SshChannelsOverrideThrottle(SshSession* s, int32_t on) {
  if (!s->channels) return;
  for (int32_t i = 0; auto* c = static_cast<SshChannel*>(TreeIndex(s->channels, i)); ++i) {
    if (!c->socket) continue;
    if (c->type == ChannelX11) X11OverrideThrottle(c->socket, on);
    if (c->type == ChannelForward) PortForwardOverrideThrottle(c->socket, on);
  }
}

uint32_t SshChannelWrite(SshChannel* c, const uint8_t* bytes, uint32_t length) {
  SshSession* s = c->session;
  if (s->connectionState == kSshStateClosed) return 0;
  if (s->protocolVersion == 1) {
    Ssh1SendPacket(s, cvssh::ssh1::kMsgChannelData,
                   {{.kind = Ssh1Field::Uint32, .value = c->remoteId},
                    {.kind = Ssh1Field::Uint32, .value = length},
                    {.kind = Ssh1Field::Raw, .data = bytes, .length = int32_t(length)}});
    return 0;
  }
  c->output.Append(bytes, length);
  return Ssh2ChannelTrySend(c);
}

void SshChannelClose(SshChannel* c) {
  SshSession* s = c->session;
  if (s->connectionState == kSshStateClosed || c->closing) return;
  if (!c->halfOpen) {
    if (s->protocolVersion == 1) {
      Ssh1SendPacket(s, cvssh::ssh1::kMsgChannelClose, {{.kind = Ssh1Field::Uint32, .value = c->remoteId}});
    } else {
      SshPacket* p = Ssh2PacketNew(cvssh::ssh2::kMsgChannelClose);
      SshPacketAddUint32(p, c->remoteId);
      Ssh2SendQueued(s, p);
    }
  }
  c->closing = s->protocolVersion == 1 ? kSsh1CloseSent : 1;
  // The connection behind the channel is its owner's to close; the channel forgets it.
  if (c->type == ChannelX11 || c->type == ChannelForward || c->type == ChannelForwardPending) c->socket = nullptr;
}

void SshChannelUnthrottle(SshChannel* c, uint32_t backlog) {
  SshSession* s = c->session;
  if (s->protocolVersion == 1) {
    if (c->throttling && backlog < kSsh1UnthrottleBacklog) {
      c->throttling = 0;
      SshThrottleCount(s, -1);
    }
    return;
  }
  Ssh2ChannelSetWindow(c, backlog < kSshChannelWindow ? kSshChannelWindow - backlog : 0);
}

// Takes as much of the output as the window and the server's packet size allow per
// packet, and hands every packet of the round to the socket in one write. While the
// session holds its output back, a last piece smaller than a full packet waits for more.
uint32_t Ssh2ChannelTrySend(SshChannel* c) {
  SshSession* s = c->session;
  bool sent = false;
  // A server that announces a maximum packet of 0 can take no data: it stays buffered.
  while (c->remoteWindow > 0 && c->remoteMaxPacket > 0 && !c->output.empty() && s->connectionState != kSshStateClosed) {
    const uint32_t full = std::min(c->remoteMaxPacket, kMaxDataPiece);
    const uint32_t length = uint32_t(std::min<size_t>({c->output.size(), c->remoteWindow, full}));
    if (s->outputHeld && length == c->output.size() && length < full && length < c->remoteWindow) break;
    SshPacket* p = Ssh2PacketNew(cvssh::ssh2::kMsgChannelData);
    SshPacketAddUint32(p, c->remoteId);
    SshPacketAddStringStart(p);
    SshPacketAddStringData(p, c->output.data(), int32_t(length));
    Ssh2DeferQueued(s, p);
    c->output.Consume(length);
    c->remoteWindow -= length;
    sent = true;
  }
  if (sent) Ssh2FlushDeferred(s);
  return uint32_t(c->output.size());
}

void SshHoldOutput(SshSession* s) { ++s->outputHeld; }

void SshReleaseOutput(SshSession* s) {
  if (s->outputHeld == 0 || --s->outputHeld > 0) return;
  if (s->protocolVersion == 2 && s->mainChannel && !s->mainChannel->closing) Ssh2ChannelTrySend(s->mainChannel);
  if (s->protocolVersion == 2) Ssh2FlushDeferred(s);
}

void SshFlushOutput(SshSession* s) {
  if (!s->outputHeld || s->protocolVersion != 2) return;
  const uint32_t held = s->outputHeld;
  s->outputHeld = 0;
  if (s->mainChannel && !s->mainChannel->closing) Ssh2ChannelTrySend(s->mainChannel);
  Ssh2FlushDeferred(s);
  s->outputHeld = held;
}

void Ssh2ChannelTrySendAndUnthrottle(SshChannel* c) {
  if (c->closing) return;
  if (Ssh2ChannelTrySend(c) != 0 || !c->socket) return;
  if (c->type == ChannelX11) X11Unthrottle(c->socket);
  if (c->type == ChannelForward) PortForwardUnthrottle(c->socket);
}

void Ssh2ChannelSetWindow(SshChannel* c, uint32_t newWindow) {
  if (c->closing) return;
  // Only a window that has fallen below half is reopened, so adjustments stay rare.
  if (newWindow <= 2u * c->localWindow) return;
  SshPacket* p = Ssh2PacketNew(cvssh::ssh2::kMsgChannelWindowAdjust);
  SshPacketAddUint32(p, c->remoteId);
  SshPacketAddUint32(p, newWindow - c->localWindow);
  // The adjustment leaves at once, even while the session holds its output: with a
  // window of one packet the server sends nothing more until it arrives, and holding it
  // for the requests that follow made every packet's round trip longer.
  Ssh2SendQueued(c->session, p);
  c->localWindow = newWindow;
}
