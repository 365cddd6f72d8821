// The SSH-1 message handlers of the connection phase: the main stream's output, the exit
// status, and the X11 and forwarded-port channels.
#include <algorithm>
#include <cstring>

#include "ssh/proto/channel.h"
#include "ssh/proto/channel_internal.h"
#include "ssh/proto/forward_hooks.h"
#include "ssh/proto/input.h"
#include "ssh/proto/packet.h"
#include "ssh/proto/ssh1_internal.h"
#include "ssh/sftp/sftp_channel.h"
#include "ssh/util/alloc.h"
#include "ssh/util/tree234.h"

namespace {

using namespace cvssh::ssh1;

// A consumer holding this many bytes or more stops the reading.
constexpr uint32_t kThrottleBacklog = 32769;
constexpr size_t kMaxHostName = 255;

using cvssh::proto::CloseConnection;
using cvssh::proto::ClosesConnection;

// Answers a channel the server opened: confirmed with a local id when its connection was
// made, else refused and the record freed.
void AnswerOpen(SshSession* s, SshChannel* c, uint32_t remoteId, uint32_t type, bool connected) {
  if (!connected) {
    if (c) SshChannelDiscard(c);
    SendWithId(s, kMsgChannelOpenFailure, remoteId);
    return;
  }
  c->remoteId = remoteId;
  c->localId = SshChannelAllocId(s);
  c->type = type;
  c->throttling = 0;
  SshChannelsAdd(s, c);
  Ssh1SendPacket(s, kMsgChannelOpenConfirmation,
                 {{.kind = Ssh1Field::Uint32, .value = remoteId}, {.kind = Ssh1Field::Uint32, .value = c->localId}});
}

void OnOutput(SshSession* s, SshPacket* packet) {
  const uint8_t* data;
  int32_t length;
  SshPacketGetString(packet, &data, &length);
  if (!data) return;
  const bool extended = packet->type == kSmsgStderrData;
  if (s->mainChannelData) {
    if (!extended) s->mainChannelData(s, data, uint32_t(length));
    return;
  }
  const uint32_t backlog = uint32_t(SftpChannelDeliver(s, extended ? 1 : 0, data, uint32_t(length)));
  Ssh1State* st = StateOf(s);
  if (backlog >= kThrottleBacklog && !st->mainThrottled && s->connectionState != kSshStateClosed) {
    st->mainThrottled = 1;
    SshThrottleCount(s, 1);
  }
}

void OnExitStatus(SshSession* s, SshPacket* packet) {
  s->exitCode = int32_t(SshPacketGetUint32(packet));
  Ssh1SendPacket(s, kCmsgExitConfirmation, {});
  SshDisconnect(s, nullptr, 0, 1);
}

void OnX11Open(SshSession* s, SshPacket* packet) {
  const uint32_t remoteId = SshPacketGetUint32(packet);
  SshChannel* c = SshChannelNew(s, 0);
  const bool connected =
      s->x11Accepted && X11Open(&c->socket, s->settings.X11Display, s->x11Auth, nullptr, -1, c, &s->settings) == nullptr;
  AnswerOpen(s, c, remoteId, ChannelX11, connected);
}

// Remote forwardings are kept in host-then-port order for SSH-1.
int CompareHostPort(void* key, void* element) {
  auto* a = static_cast<SshRemoteForward*>(key);
  auto* b = static_cast<SshRemoteForward*>(element);
  if (int c = std::strcmp(a->destinationHost, b->destinationHost)) return c < 0 ? -1 : 1;
  return a->destinationPort < b->destinationPort ? -1 : a->destinationPort > b->destinationPort ? 1 : 0;
}

void OnPortOpen(SshSession* s, SshPacket* packet) {
  const uint32_t remoteId = SshPacketGetUint32(packet);
  const uint8_t* host;
  int32_t hostLength;
  SshPacketGetString(packet, &host, &hostLength);
  const uint32_t port = SshPacketGetUint32(packet);
  SshRemoteForward key{};
  if (host) std::memcpy(key.destinationHost, host, std::min(size_t(hostLength), kMaxHostName));
  key.destinationPort = port;
  auto* forward = s->remoteForwards && host
                      ? static_cast<SshRemoteForward*>(TreeFind(s->remoteForwards, &key, CompareHostPort))
                      : nullptr;
  SshChannel* c = forward ? SshChannelNew(s, 0) : nullptr;
  const bool connected = c && PortForwardConnect(&c->socket, forward->destinationHost, int32_t(forward->destinationPort),
                                                 c, &s->settings, cvssh::proto::RemoteForwardFamily(forward)) == nullptr;
  AnswerOpen(s, c, remoteId, ChannelForward, connected);
}

void OnOpenConfirmation(SshSession* s, SshPacket* packet) {
  SshChannel* c = SshChannelFind(s, SshPacketGetUint32(packet));
  const uint32_t remoteId = SshPacketGetUint32(packet);
  if (!c || c->type != ChannelForwardPending) return;
  c->remoteId = remoteId;
  c->type = ChannelForward;
  c->halfOpen = 0;
  c->throttling = 0;
  if (c->socket) PortForwardConfirm(c->socket);
  // Closed while the open was unconfirmed: the CLOSE held back goes out now.
  if (c->closing) SendWithId(s, kMsgChannelClose, c->remoteId);
}

void OnOpenFailure(SshSession* s, SshPacket* packet) {
  SshChannel* c = SshChannelFind(s, SshPacketGetUint32(packet));
  if (!c || c->type != ChannelForwardPending) return;
  if (c->socket) PortForwardClose(c->socket);
  c->socket = nullptr;
  SshChannelRemove(s, c);
}

void OnChannelData(SshSession* s, SshPacket* packet) {
  SshChannel* c = SshChannelFind(s, SshPacketGetUint32(packet));
  const uint8_t* data;
  int32_t length;
  SshPacketGetString(packet, &data, &length);
  if (!c || !data || !c->socket) return;
  uint32_t backlog = 0;
  if (c->type == ChannelX11)
    backlog = X11Send(c->socket, data, uint32_t(length));
  else if (c->type == ChannelForward)
    backlog = PortForwardSend(c->socket, data, uint32_t(length));
  else
    return;
  if (s->connectionState == kSshStateClosed || SshChannelFind(s, c->localId) != c) return;
  if (backlog >= kThrottleBacklog && !c->throttling) {
    c->throttling = 1;
    SshThrottleCount(s, 1);
  }
}

// Each side sends CLOSE and CLOSE_CONFIRMATION once and receives each once; the channel
// goes when all four have happened.
void OnChannelClose(SshSession* s, SshPacket* packet) {
  SshChannel* c = SshChannelFind(s, SshPacketGetUint32(packet));
  if (!c || c->halfOpen) return;
  const uint32_t bit = packet->type == kMsgChannelClose ? kSsh1CloseSent : kSsh1CloseConfirmSent;
  if (!c->closing && ClosesConnection(c)) CloseConnection(c);
  c->closing |= bit * 4;
  if (!(c->closing & bit)) {
    SendWithId(s, packet->type, c->remoteId);
    c->closing |= bit;
  }
  if (c->closing == (kSsh1CloseSent | kSsh1CloseConfirmSent | kSsh1CloseReceived | kSsh1CloseConfirmReceived)) {
    if (c->throttling) SshThrottleCount(s, -1);
    SshChannelRemove(s, c);
  }
}

}  // namespace

namespace cvssh::ssh1 {

void InstallConnectionHandlers(SshSession* s) {
  s->dispatch[kSmsgStdoutData] = OnOutput;
  s->dispatch[kSmsgStderrData] = OnOutput;
  s->dispatch[kSmsgExitStatus] = OnExitStatus;
  s->dispatch[kMsgChannelOpenConfirmation] = OnOpenConfirmation;
  s->dispatch[kMsgChannelOpenFailure] = OnOpenFailure;
  s->dispatch[kMsgChannelData] = OnChannelData;
  s->dispatch[kMsgChannelClose] = OnChannelClose;
  s->dispatch[kMsgChannelCloseConfirmation] = OnChannelClose;
}

void InstallX11OpenHandler(SshSession* s) { s->dispatch[kSmsgX11Open] = OnX11Open; }

void InstallPortOpenHandler(SshSession* s) { s->dispatch[kMsgPortOpen] = OnPortOpen; }

}  // namespace cvssh::ssh1
