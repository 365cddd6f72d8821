// The SSH-1 protocol entry: the dispatch table, the hand-over from the login to the
// connection phase, and the session's SSH-1 state.
#include "ssh/proto/input.h"
#include "ssh/proto/packet.h"
#include "ssh/proto/ssh1.h"
#include "ssh/proto/ssh1_internal.h"

namespace {

using namespace cvssh::ssh1;

void ReadTextAndIgnore(SshSession*, SshPacket* packet) {
  const uint8_t* text;
  int32_t length;
  SshPacketGetString(packet, &text, &length);
}

void Ignore(SshSession*, SshPacket*) {}

}  // namespace

namespace cvssh::ssh1 {

Ssh1State* StateOf(SshSession* s) {
  if (!s->ssh1) s->ssh1 = new Ssh1State{};
  return s->ssh1;
}

void SendWithId(SshSession* s, uint32_t type, uint32_t id) {
  Ssh1SendPacket(s, type, {{.kind = Ssh1Field::Uint32, .value = id}});
}

}  // namespace cvssh::ssh1

void Ssh1DispatchInit(SshSession* s) {
  for (SshDispatchHandler& h : s->dispatch) h = nullptr;
  s->dispatch[kMsgDisconnect] = ReadTextAndIgnore;
  s->dispatch[kMsgIgnore] = Ignore;
  s->dispatch[kMsgDebug] = ReadTextAndIgnore;
}

void Ssh1Protocol(SshSession* s, const uint8_t* data, int32_t length, SshPacket* packet) {
  if (s->connectionState == kSshStateClosed) return;
  if (packet) {
    if (SshDispatchHandler handler = s->dispatch[packet->type & 0xFF]) {
      handler(s, packet);
      return;
    }
  }
  Ssh1State* state = StateOf(s);
  if (!state->loginDone) {
    if (!Ssh1Login(s, packet)) return;
    state->loginDone = 1;
  }
  Ssh1Connection(s, data, length, packet);
}

void Ssh1Free(SshSession* s) {
  if (s->crcDetector) CrcAttackDetectorFree(static_cast<CrcAttackDetector*>(s->crcDetector));
  s->crcDetector = nullptr;
  s->crcDetect = nullptr;
  if (!s->ssh1) return;
  LoginRelease(&s->ssh1->login);
  delete s->ssh1;
  s->ssh1 = nullptr;
}
