// The connection layer without a network: channel ids, the flow-control window and the
// exit codes of "exit-signal".
#include <gtest/gtest.h>

#include "core/errors/error_codes.h"
#include "scripted_server.h"
#include "ssh/proto/channel.h"
#include "ssh/proto/packet.h"
#include "ssh/util/tree234.h"

namespace {

using sftptest::Str;
using sftptest::U32;

TEST(Channels, LowestFreeIdFromTwoHundredFiftySix) {
  sftptest::ScriptedSession session;
  SshSession* s = session.s;
  EXPECT_EQ(SshChannelAllocId(s), 256u);
  for (uint32_t id : {256u, 257u, 259u}) SshChannelsAdd(s, SshChannelNew(s, id));
  EXPECT_EQ(SshChannelAllocId(s), 258u);
}

// A received packet whose read position is at its first field.
SshPacket* Incoming(const std::string& fields) {
  SshPacket* p = Ssh2PacketNew(98);
  const int32_t start = p->length;
  for (char c : fields) SshPacketAddByte(p, uint8_t(c));
  p->position = start;
  return p;
}

TEST(Channels, ExitSignalForms) {
  struct Case {
    std::string fields;
    int32_t code;
  } cases[] = {
      {Str("TERM") + '\0' + Str("bye") + Str("en"), 143},
      {U32(9) + '\0' + Str("killed") + Str("en"), 137},
      {Str("USR9") + '\0' + Str("") + Str(""), 128},
      {Str("TERM") + '\0' + Str("x"), 128},  // neither form fits the packet
  };
  for (const Case& c : cases) {
    SshPacket* p = Incoming(c.fields);
    EXPECT_EQ(SshExitSignalCode(p), c.code);
    SshPacketFree(p);
  }
}

TEST(Channels, WindowReopensOnlyBelowHalf) {
  sftptest::ScriptedSession session;
  SshSession* s = session.s;
  s->protocolVersion = 2;
  SshChannel* c = SshChannelNew(s, 256);
  SshChannelsAdd(s, c);
  c->localWindow = 16384 - 8000;
  Ssh2ChannelSetWindow(c, 16384);
  EXPECT_EQ(c->localWindow, 8384u) << "no adjustment yet";
  c->localWindow = 16384 - 8193;
  Ssh2ChannelSetWindow(c, 16384);
  EXPECT_EQ(c->localWindow, 16384u);
}

// A received message of `type` whose read position is at its first field.
SshPacket* Message(uint32_t type, const std::string& fields) {
  SshPacket* p = Incoming(fields);
  p->type = type;
  p->data[5] = uint8_t(type);
  return p;
}

TEST(Channels, WindowAdjustSaturatesAndDataBeyondTheWindowEndsTheSession) {
  sftptest::ScriptedSession session;
  SshSession* s = session.s;
  s->protocolVersion = 2;
  Ssh2InstallConnectionHandlers(s);
  Ssh2InstallChannelHandlers(s);
  SshChannel* c = SshChannelNew(s, 256);
  c->remoteWindow = 0xFFFF0000u;
  SshChannelsAdd(s, c);
  SshPacket* adjust = Message(93, U32(256) + U32(0x20000));
  s->dispatch[93](s, adjust);
  SshPacketFree(adjust);
  EXPECT_EQ(c->remoteWindow, 0xFFFFFFFFu) << "a window never wraps";

  // The granted 16,384 bytes are taken; one byte more is a protocol error.
  SshPacket* within = Message(94, U32(256) + Str(std::string(16384, 'a')));
  s->dispatch[94](s, within);
  SshPacketFree(within);
  ASSERT_NE(s->connectionState, kSshStateClosed);
  c->localWindow = 100;
  SshPacket* beyond = Message(94, U32(256) + Str(std::string(101, 'b')));
  s->dispatch[94](s, beyond);
  SshPacketFree(beyond);
  EXPECT_EQ(s->connectionState, kSshStateClosed);
  EXPECT_EQ(SshGetLastError(s), cvErrorInvalidPacketData);
}

}  // namespace
