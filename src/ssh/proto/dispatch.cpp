// The SSH-2 base dispatch table: messages the transport answers or ignores itself.
#include "ssh/proto/packet.h"
#include "ssh/proto/transport.h"

namespace {

void Unimplemented(SshSession* s, SshPacket* packet) {
  SshPacket* reply = Ssh2PacketNew(3);
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
  s->dispatch[1] = Disconnect;
  s->dispatch[2] = Ignore;
  s->dispatch[4] = Debug;
  // These reach the transport or the authentication and connection layer.
  for (int n : {3, 5, 6, 20, 21, 30, 31, 32, 33, 50, 51, 52, 53, 60, 61, 80, 81, 82}) s->dispatch[n] = nullptr;
  for (int n = 90; n <= 100; ++n) s->dispatch[n] = nullptr;
}
