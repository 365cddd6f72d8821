// The session's send, window-change and special-command entries, forwarded-port channel
// opens and the queue of handlers waiting for a global reply.
#include "ssh/proto/channel.h"
#include "ssh/proto/constants.h"
#include "ssh/proto/packet.h"
#include "ssh/util/alloc.h"

namespace {

// Takes the head entry off and hands it the reply.
void QueueDispatcher(SshSession* s, SshPacket* packet) {
  SshReplyHandler* head = s->replyHead;
  if (!head) {
    s->dispatch[packet->type & 0xFF] = nullptr;
    return;
  }
  s->dispatch[head->success & 0xFF] = nullptr;
  s->dispatch[head->failure & 0xFF] = nullptr;
  s->replyHead = head->next;
  if (!s->replyHead) s->replyTail = nullptr;
  if (SshReplyHandler* next = s->replyHead) {
    s->dispatch[next->success & 0xFF] = QueueDispatcher;
    s->dispatch[next->failure & 0xFF] = QueueDispatcher;
  } else {
    s->dispatch[packet->type & 0xFF] = nullptr;
  }
  head->handler(s, packet, head->context);
  CheckedFree(head);
}

}  // namespace

uint32_t SshSend(SshSession* s, const uint8_t* bytes, uint32_t length) {
  if (!s || !s->socket || !s->protocol) return 0;
  s->protocol(s, bytes, int32_t(length), nullptr);
  return SshSendBacklog(s);
}

uint32_t SshSendBacklog(SshSession* s) {
  uint32_t backlog = s->allThrottled ? s->overallBacklog : 0;
  if (s->protocolVersion == 2 && s->mainChannel && !s->mainChannel->closing)
    backlog += uint32_t(s->mainChannel->output.size());
  return backlog;
}

void SshWindowChange(SshSession* s, uint32_t width, uint32_t height) {
  s->settings.TerminalWidth = width;
  s->settings.TerminalHeight = height;
  if (s->connectionState == kSshStateTerminalAsked) s->sizeChangePending = 1;
  if (s->connectionState != kSshStateRunning || s->settings.NoPty) return;
  if (s->protocolVersion == 2) {
    if (!s->mainChannel) return;
    SshPacket* p = Ssh2PacketNew(cvssh::ssh2::kMsgChannelRequest);
    SshPacketAddUint32(p, s->mainChannel->remoteId);
    SshPacketAddString(p, "window-change");
    SshPacketAddBool(p, false);
    SshPacketAddUint32(p, width);
    SshPacketAddUint32(p, height);
    SshPacketAddUint32(p, 0);
    SshPacketAddUint32(p, 0);
    Ssh2SendQueued(s, p);
  } else if (s->protocolVersion == 1) {
    Ssh1SendPacket(s, cvssh::ssh1::kCmsgWindowSize,
                   {{.kind = Ssh1Field::Uint32, .value = height},
                    {.kind = Ssh1Field::Uint32, .value = width},
                    {.kind = Ssh1Field::Uint32, .value = 0},
                    {.kind = Ssh1Field::Uint32, .value = 0}});
  }
}

void SshSpecial(SshSession* s, uint32_t code) {
  if (code == kSshSpecialEof) {
    if (s->connectionState != kSshStateRunning) {
      s->eofPending = 1;
      return;
    }
    if (s->protocolVersion == 2) {
      if (s->mainChannel) {
        SshPacket* p = Ssh2PacketNew(cvssh::ssh2::kMsgChannelEof);
        SshPacketAddUint32(p, s->mainChannel->remoteId);
        Ssh2SendQueued(s, p);
      }
      s->ready = 0;
    } else if (s->protocolVersion == 1) {
      Ssh1SendPacket(s, cvssh::ssh1::kCmsgEof, {});
    }
    return;
  }
  if (code != kSshSpecialPing) return;
  if (s->connectionState == kSshStateNew || s->connectionState == kSshStateClosed) return;
  if (s->protocolVersion == 2) {
    SshPacket* p = Ssh2PacketNew(cvssh::ssh2::kMsgIgnore);
    SshPacketAddString(p, "");
    Ssh2SendQueued(s, p);
  } else if (s->protocolVersion == 1 && !(s->bugs & SSH1_IGNORE_BUG)) {
    Ssh1SendPacket(s, cvssh::ssh1::kMsgIgnore, {{.kind = Ssh1Field::Text, .data = ""}});
  }
}

SshChannel* SshOpenForwardChannel(SshSession* s, SshSocket* socket) {
  SshChannel* c = SshChannelNew(s, SshChannelAllocId(s));
  c->halfOpen = 1;
  c->type = ChannelForwardPending;
  c->socket = socket;
  SshChannelsAdd(s, c);
  return c;
}

void SshSendPortOpen(SshChannel* c, const char* host, uint32_t port) {
  SshSession* s = c->session;
  if (s->protocolVersion == 1) {
    Ssh1SendPacket(s, cvssh::ssh1::kMsgPortOpen,
                   {{.kind = Ssh1Field::Uint32, .value = c->localId},
                    {.kind = Ssh1Field::Text, .data = host},
                    {.kind = Ssh1Field::Uint32, .value = port}});
    return;
  }
  SshPacket* p = Ssh2PacketNew(cvssh::ssh2::kMsgChannelOpen);
  SshPacketAddString(p, "direct-tcpip");
  SshPacketAddUint32(p, c->localId);
  c->localWindow = kSshChannelWindow;
  SshPacketAddUint32(p, kSshChannelWindow);
  SshPacketAddUint32(p, kSshChannelMaxPacket);
  SshPacketAddString(p, host);
  SshPacketAddUint32(p, port);
  SshPacketAddString(p, "0.0.0.0");
  SshPacketAddUint32(p, 0);
  Ssh2SendQueued(s, p);
}

void SshQueueReplyHandler(SshSession* s, uint32_t success, uint32_t failure, SshReplyCallback handler,
                          void* context) {
  auto* entry = static_cast<SshReplyHandler*>(cvssh::AllocOrDie(sizeof(SshReplyHandler)));
  *entry = {success, failure, handler, context, nullptr};
  if (!s->replyHead) {
    s->replyHead = entry;
    s->dispatch[success & 0xFF] = QueueDispatcher;
    s->dispatch[failure & 0xFF] = QueueDispatcher;
  } else {
    s->replyTail->next = entry;
  }
  s->replyTail = entry;
}

void SshReplyQueueFree(SshSession* s) {
  while (SshReplyHandler* head = s->replyHead) {
    s->replyHead = head->next;
    CheckedFree(head);
  }
  s->replyTail = nullptr;
}
