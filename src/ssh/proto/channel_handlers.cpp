// The SSH-2 channel message handlers: window adjust, data, EOF, close, open confirmation
// and failure, channel requests, incoming channel opens and global requests.
#include <algorithm>
#include <cstdio>
#include <cstring>
#include <string_view>

#include "core/errors/error_codes.h"
#include "ssh/proto/channel.h"
#include "ssh/proto/channel_internal.h"
#include "ssh/proto/constants.h"
#include "ssh/proto/forward_hooks.h"
#include "ssh/proto/input.h"
#include "ssh/proto/packet.h"
#include "ssh/proto/packet_internal.h"
#include "ssh/proto/transport.h"
#include "ssh/sftp/sftp_channel.h"
#include "ssh/util/alloc.h"
#include "ssh/util/tree234.h"

namespace {

using namespace cvssh::ssh2;

constexpr uint32_t kOpenConnectFailed = 2;

std::string_view GetText(SshPacket* p) {
  const uint8_t* text;
  int32_t length;
  SshPacketGetString(p, &text, &length);
  return text ? std::string_view(reinterpret_cast<const char*>(text), size_t(length)) : std::string_view();
}

SshChannel* ChannelOf(SshSession* s, SshPacket* packet) { return SshChannelFind(s, SshPacketGetUint32(packet)); }

void SendWithId(SshSession* s, uint32_t type, uint32_t id) {
  SshPacket* p = Ssh2PacketNew(type);
  SshPacketAddUint32(p, id);
  Ssh2SendQueued(s, p);
}

}  // namespace

namespace cvssh::proto {

bool ClosesConnection(const SshChannel* c) { return c->type == ChannelX11 || c->type == ChannelForward; }

void CloseConnection(SshChannel* c) {
  if (!c->socket) return;
  if (c->type == ChannelX11) X11Close(c->socket);
  if (c->type == ChannelForward) PortForwardClose(c->socket);
  c->socket = nullptr;
}

}  // namespace cvssh::proto

namespace {

using cvssh::proto::CloseConnection;
using cvssh::proto::ClosesConnection;

void OnWindowAdjust(SshSession* s, SshPacket* packet) {
  SshChannel* c = ChannelOf(s, packet);
  if (!c || c->closing) return;
  // A window never wraps: adjustments beyond 2^32 - 1 saturate there.
  const uint64_t window = uint64_t(c->remoteWindow) + SshPacketGetUint32(packet);
  c->remoteWindow = uint32_t(std::min<uint64_t>(window, UINT32_MAX));
  Ssh2ChannelTrySendAndUnthrottle(c);
}

void OnData(SshSession* s, SshPacket* packet) {
  SshChannel* c = ChannelOf(s, packet);
  if (!c) return;
  const bool extended = packet->type == kMsgChannelExtendedData;
  if (extended && SshPacketGetUint32(packet) != 1) return;
  const uint8_t* data;
  int32_t length;
  SshPacketGetString(packet, &data, &length);
  if (!data) return;
  // A packet whose header was seen early has been charged to the window already.
  const bool charged = c->chargedAhead != 0 && packet->sequence == c->chargedSequence;
  c->chargedAhead = 0;
  if (!charged) {
    if (uint32_t(length) > c->localWindow) {
      // More than was granted: a peer that ignores flow control is not followed.
      SshSetLastError(s, cvErrorInvalidPacketData);
      SshDisconnect(s, "Channel data beyond the window", kSshDisconnectProtocolError, 0);
      return;
    }
    c->localWindow -= uint32_t(length);
  }
  uint32_t backlog = 0;
  switch (c->type) {
    case ChannelMain:
      if (s->mainChannelData) {
        if (!extended) s->mainChannelData(s, data, uint32_t(length));
      } else {
        backlog = uint32_t(SftpChannelDeliver(s, extended ? 1 : 0, data, uint32_t(length)));
      }
      break;
    case ChannelX11:
      backlog = c->socket ? X11Send(c->socket, data, uint32_t(length)) : 0;
      break;
    case ChannelForward:
      backlog = c->socket ? PortForwardSend(c->socket, data, uint32_t(length)) : 0;
      break;
    default:
      Ssh2ChannelSetWindow(c, kSshChannelWindow);
      return;
  }
  // The consumer may have ended the session meanwhile.
  if (s->connectionState == kSshStateClosed || SshChannelFind(s, c->localId) != c) return;
  if (backlog < kSshChannelWindow) Ssh2ChannelSetWindow(c, kSshChannelWindow - backlog);
}

// The first block of a received packet, before the rest is decrypted, authenticated and
// delivered. Data for the main channel is charged to the local window here and the window
// reopened at once: with a window of one packet the server would otherwise wait for this
// packet's checks and delivery before reading and encrypting the next, and the two sides
// would take turns instead of working at the same time. The main channel's consumer never
// reports a backlog, so the adjustment is the one OnData would send afterwards; a packet
// that then fails its MAC ends the session as before. What OnData would not accept as it
// stands is left to it.
void OnPacketStarted(SshSession* s, const uint8_t* header, int32_t payloadEnd) {
  constexpr int32_t kDataAt = 14;  // behind length, padding, type, recipient and data length
  using cvssh::proto::Load32;
  SshChannel* c = s->mainChannel;
  if (header[5] != kMsgChannelData || !c || c->closing || s->dispatch[kMsgChannelData] != OnData) return;
  if (payloadEnd < kDataAt || Load32(header + 6) != c->localId) return;
  const uint32_t length = Load32(header + 10);
  if (length == 0 || length > uint32_t(payloadEnd - kDataAt) || length > c->localWindow) return;
  c->localWindow -= length;
  c->chargedAhead = length;
  c->chargedSequence = s->inSequence;
  Ssh2ChannelSetWindow(c, kSshChannelWindow);
}

void OnEof(SshSession* s, SshPacket* packet) {
  SshChannel* c = ChannelOf(s, packet);
  if (!c) return;
  if (ClosesConnection(c)) CloseConnection(c);
  if (ClosesConnection(c) || c->type == ChannelAgent) SshChannelClose(c);
}

void OnClose(SshSession* s, SshPacket* packet) {
  SshChannel* c = ChannelOf(s, packet);
  if (!c || c->halfOpen) return;
  if (c == s->mainChannel) s->mainChannel = nullptr;
  if (ClosesConnection(c)) CloseConnection(c);
  if (ClosesConnection(c) || c->type == ChannelAgent) SshChannelClose(c);
  if (!c->closing) SshChannelClose(c);
  SshChannelRemove(s, c);
  if (!s->settings.NoSessionChannel && s->channels && TreeCount(s->channels) == 0)
    SshDisconnect(s, nullptr, 0, 1);
}

void OnOpenConfirmation(SshSession* s, SshPacket* packet) {
  SshChannel* c = ChannelOf(s, packet);
  if (!c || c->type != ChannelForwardPending) return;
  c->remoteId = SshPacketGetUint32(packet);
  c->halfOpen = 0;
  c->type = ChannelForward;
  c->remoteWindow = SshPacketGetUint32(packet);
  c->remoteMaxPacket = SshPacketGetUint32(packet);
  if (c->socket) PortForwardConfirm(c->socket);
  // Closed while the open was unconfirmed: the CLOSE held back goes out now.
  if (c->closing) SendWithId(s, kMsgChannelClose, c->remoteId);
}

void OnOpenFailure(SshSession* s, SshPacket* packet) {
  SshChannel* c = ChannelOf(s, packet);
  if (!c || c->type != ChannelForwardPending) return;
  SshPacketGetUint32(packet);
  GetText(packet);
  PortForwardClose(c->socket);
  c->socket = nullptr;
  SshChannelRemove(s, c);
}

void OnChannelRequest(SshSession* s, SshPacket* packet) {
  uint32_t id = SshPacketGetUint32(packet);
  SshChannel* c = SshChannelFind(s, id);
  std::string_view name = GetText(packet);
  bool wantReply = SshPacketGetBool(packet);
  if (!c) {
    char text[80];
    std::snprintf(text, sizeof text, "Received channel request for invalid channel %d", int32_t(id));
    SshDisconnect(s, text, kSshDisconnectProtocolError, 0);
    return;
  }
  uint32_t answer = kMsgChannelFailure;
  if (c == s->mainChannel && name == "exit-status") {
    s->exitCode = int32_t(SshPacketGetUint32(packet));
    answer = kMsgChannelSuccess;
  } else if (c == s->mainChannel && name == "exit-signal") {
    s->exitCode = SshExitSignalCode(packet);
    answer = kMsgChannelSuccess;
  }
  if (wantReply) SendWithId(s, answer, c->remoteId);
}

void OnGlobalRequest(SshSession* s, SshPacket* packet) {
  GetText(packet);
  if (SshPacketGetBool(packet)) Ssh2SendQueued(s, Ssh2PacketNew(kMsgRequestFailure));
}

// Opens the connection a server-initiated channel asks for; null or the refusal text.
const char* AcceptOpen(SshSession* s, std::string_view type, SshPacket* packet, SshChannel* c) {
  if (type == "x11") {
    std::string address(GetText(packet));
    int32_t port = int32_t(SshPacketGetUint32(packet));
    if (!s->x11Accepted) return "X11 forwarding is not enabled";
    if (X11Open(&c->socket, s->settings.X11Display, s->x11Auth, address.c_str(), port, c, &s->settings))
      return "Unable to open an X11 connection";
    c->type = ChannelX11;
    return nullptr;
  }
  if (type == "forwarded-tcpip") {
    GetText(packet);
    uint32_t port = SshPacketGetUint32(packet);
    GetText(packet);
    SshPacketGetUint32(packet);
    SshRemoteForward* forward = cvssh::proto::FindRemoteForward(s, port);
    if (!forward) return "Remote port is not recognised";
    int32_t family = cvssh::proto::RemoteForwardFamily(forward);
    if (const char* error = PortForwardConnect(&c->socket, forward->destinationHost,
                                               int32_t(forward->destinationPort), c, &s->settings, family))
      return error;
    c->type = ChannelForward;
    return nullptr;
  }
  if (type == "auth-agent@openssh.com") {
    if (!s->agentForwardingAvailable) return "Agent forwarding is not enabled";
    c->type = ChannelAgent;
    return nullptr;
  }
  return "Unsupported channel type requested";
}

void OnChannelOpen(SshSession* s, SshPacket* packet) {
  std::string type(GetText(packet));
  SshChannel* c = SshChannelNew(s, 0);
  uint32_t sender = SshPacketGetUint32(packet);
  uint32_t window = SshPacketGetUint32(packet);
  uint32_t maxPacket = SshPacketGetUint32(packet);
  if (const char* error = AcceptOpen(s, type, packet, c)) {
    SshPacket* p = Ssh2PacketNew(kMsgChannelOpenFailure);
    SshPacketAddUint32(p, sender);
    SshPacketAddUint32(p, kOpenConnectFailed);
    SshPacketAddString(p, error);
    SshPacketAddString(p, "en");
    Ssh2SendQueued(s, p);
    SshChannelDiscard(c);
    return;
  }
  c->localId = SshChannelAllocId(s);
  c->remoteId = sender;
  c->remoteWindow = window;
  c->remoteMaxPacket = maxPacket;
  c->localWindow = kSshChannelWindow;
  SshChannelsAdd(s, c);
  SshPacket* p = Ssh2PacketNew(kMsgChannelOpenConfirmation);
  SshPacketAddUint32(p, sender);
  SshPacketAddUint32(p, c->localId);
  SshPacketAddUint32(p, kSshChannelWindow);
  SshPacketAddUint32(p, kSshChannelMaxPacket);
  Ssh2SendQueued(s, p);
}

// ---- "exit-signal" look-ahead ----

bool ReadU32At(const SshPacket* p, int32_t at, uint32_t* value) {
  if (at < 0 || p->length - at < 4) return false;
  const uint8_t* b = p->body + at;
  *value = uint32_t(b[0]) << 24 | uint32_t(b[1]) << 16 | uint32_t(b[2]) << 8 | b[3];
  return true;
}

// Skips a string at *at; false when it does not fit.
bool SkipString(const SshPacket* p, int32_t* at) {
  uint32_t n;
  if (!ReadU32At(p, *at, &n) || n > uint32_t(p->length - *at - 4)) return false;
  *at += 4 + int32_t(n);
  return true;
}

int32_t SignalNumber(std::string_view name) {
  static constexpr struct {
    const char* name;
    int32_t number;
  } kSignals[] = {{"INT", 2}, {"ILL", 4}, {"FPE", 8}, {"SEGV", 11}, {"TERM", 15}, {"ABRT", 22}};
  for (const auto& s : kSignals)
    if (name == s.name) return s.number;
  return 0;
}

}  // namespace

int32_t SshExitSignalCode(SshPacket* p) {
  const int32_t start = p->position;
  uint32_t v;
  if (!ReadU32At(p, start, &v)) return 128;
  int32_t at = start + 5;
  bool numeric = v != 0 && p->length - start >= 9 && SkipString(p, &at) && SkipString(p, &at) && at == p->length;
  at = start;
  bool named = SkipString(p, &at) && at + 1 <= p->length && (++at, SkipString(p, &at)) && SkipString(p, &at) &&
               at == p->length;
  if (numeric == named) return 128;
  int32_t code = 128;
  if (numeric)
    code += int32_t(SshPacketGetUint32(p));
  else
    code += SignalNumber(GetText(p));
  SshPacketGetBool(p);
  GetText(p);
  return code;
}

void Ssh2InstallConnectionHandlers(SshSession* s) {
  s->dispatch[kMsgChannelWindowAdjust] = OnWindowAdjust;
  s->dispatch[kMsgGlobalRequest] = OnGlobalRequest;
}

void Ssh2InstallChannelHandlers(SshSession* s) {
  s->dispatch[kMsgChannelData] = OnData;
  s->dispatch[kMsgChannelExtendedData] = OnData;
  s->dispatch[kMsgChannelEof] = OnEof;
  s->dispatch[kMsgChannelClose] = OnClose;
  s->dispatch[kMsgChannelOpenConfirmation] = OnOpenConfirmation;
  s->dispatch[kMsgChannelOpenFailure] = OnOpenFailure;
  s->dispatch[kMsgChannelRequest] = OnChannelRequest;
  s->dispatch[kMsgChannelOpen] = OnChannelOpen;
  s->packetStarted = OnPacketStarted;
}
