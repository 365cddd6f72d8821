// The connection layer without a network: channel ids, the flow-control window and the
// exit codes of "exit-signal".
#include <gtest/gtest.h>

#include "ssh/proto/channel.h"
#include "ssh/proto/packet.h"
#include "ssh/util/tree234.h"
#include "scripted_server.h"

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

}  // namespace
