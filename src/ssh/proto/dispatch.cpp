// The SSH-2 base dispatch table: messages the transport answers or ignores itself.
#include "ssh/proto/constants.h"
#include "ssh/proto/packet.h"
#include "ssh/proto/transport.h"

namespace {

using namespace cvssh::ssh2;

void Unimplemented(SshSession* s, SshPacket* packet) {
  SshPacket* reply = Ssh2PacketNew(kMsgUnimplemented);
  SshPacketAddUint32(reply, packet->sequence);
  Ssh2SendPacket(s, reply);
}

// The server's DISCONNECT is read; the session ends when the server closes.
void Disconnect(SshSession*, SshPacket* packet) {
  SshPacketGetUint32(packet);
  const uint8_t* text;
  int32_t length;
  SshPacketGetString(packet, &text, &length);
}

void Ignore(SshSession*, SshPacket*) {}

void Debug(SshSession*, SshPacket* packet) {
  SshPacketGetBool(packet);
  const uint8_t* text;
  int32_t length;
  SshPacketGetString(packet, &text, &length);
}

}  // namespace

void Ssh2DispatchInit(SshSession* s) {
  for (SshDispatchHandler& h : s->dispatch) h = Unimplemented;
  s->dispatch[kMsgDisconnect] = Disconnect;
  s->dispatch[kMsgIgnore] = Ignore;
  s->dispatch[kMsgDebug] = Debug;
  // These reach the transport or the authentication and connection layer.
  for (uint32_t n : {kMsgUnimplemented, kMsgServiceRequest, kMsgServiceAccept, kMsgKexinit, kMsgNewkeys, kMsgKexdhInit,
                     kMsgKexdhReply, kMsgKexDhGexInit, kMsgKexDhGexReply, kMsgUserauthRequest, kMsgUserauthFailure,
                     kMsgUserauthSuccess, kMsgUserauthBanner, kMsgUserauthInfoRequest, kMsgUserauthInfoResponse,
                     kMsgGlobalRequest, kMsgRequestSuccess, kMsgRequestFailure})
    s->dispatch[n] = nullptr;
  for (uint32_t n = kMsgChannelOpen; n <= kMsgChannelFailure; ++n) s->dispatch[n] = nullptr;
}
