// The SSH-1 connection phase: X11, port forwarding, terminal and compression requests,
// the command, then the main phase with the user's data as STDIN_DATA.
#include <algorithm>
#include <cstdio>
#include <cstring>

#include "ssh/proto/channel.h"
#include "ssh/proto/compress.h"
#include "ssh/proto/packet.h"
#include "ssh/proto/ssh1.h"
#include "ssh/proto/ssh1_internal.h"
#include "ssh/util/alloc.h"
#include "ssh/x11/x11.h"

namespace {

using namespace cvssh::ssh1;

constexpr uint32_t kCompressionLevel = 6;
constexpr int32_t kStdinPiece = 512;
constexpr uint8_t kTtyInputSpeed = 192, kTtyOutputSpeed = 193, kTtyEnd = 0;

void RequestX11(SshSession* s, Ssh1State* st) {
  char protocol[20], cookie[64];
  X11FreeAuth(s->x11Auth);
  s->x11Auth = X11MakeAuth(protocol, cookie, s->settings.X11AuthType);
  X11InitLocalAuth(s->x11Auth);
  char* display = X11DisplayName(s->settings.X11Display);
  Ssh1SendPacket(s, kCmsgX11RequestForwarding,
                 {{.kind = Ssh1Field::Text, .data = protocol},
                  {.kind = Ssh1Field::Text, .data = cookie},
                  {.kind = Ssh1Field::Uint32, .value = uint32_t(X11ScreenNumber(display))}});
  CheckedFree(display);
  explicit_bzero(cookie, sizeof cookie);
  st->connection = kConnX11Reply;
}

void RequestPty(SshSession* s, Ssh1State* st) {
  int outputSpeed = 38400, inputSpeed = 38400;
  std::sscanf(s->settings.TerminalSpeeds, "%d,%d", &outputSpeed, &inputSpeed);
  char type[sizeof s->settings.TerminalType + 1] = {};
  std::memcpy(type, s->settings.TerminalType, strnlen(s->settings.TerminalType, sizeof s->settings.TerminalType));
  uint8_t modes[11] = {kTtyInputSpeed, 0, 0, 0, 0, kTtyOutputSpeed, 0, 0, 0, 0, kTtyEnd};
  for (int i = 0; i < 4; ++i) {
    modes[1 + i] = uint8_t(uint32_t(inputSpeed) >> (24 - 8 * i));
    modes[6 + i] = uint8_t(uint32_t(outputSpeed) >> (24 - 8 * i));
  }
  Ssh1SendPacket(s, kCmsgRequestPty,
                 {{.kind = Ssh1Field::Text, .data = type},
                  {.kind = Ssh1Field::Uint32, .value = s->settings.TerminalHeight},
                  {.kind = Ssh1Field::Uint32, .value = s->settings.TerminalWidth},
                  {.kind = Ssh1Field::Uint32, .value = 0},
                  {.kind = Ssh1Field::Uint32, .value = 0},
                  {.kind = Ssh1Field::Raw, .data = modes, .length = int32_t(sizeof modes)}});
  s->connectionState = kSshStateTerminalAsked;
  st->connection = kConnPtyReply;
}

void StartCompression(SshSession* s) {
  const SshCompressDesc* zlib = SshZlibCompressDesc();
  if (!zlib) return;
  if (!s->csCompress) {
    s->csCompress = zlib;
    s->csCompressContext = zlib->compress_init();
  }
  if (!s->scCompress) {
    s->scCompress = zlib;
    s->scCompressContext = zlib->decompress_init();
  }
}

// The command (SSH-1 has no subsystems: a subsystem gives way to the fallback command),
// then the main phase.
void StartCommand(SshSession* s, Ssh1State* st) {
  const SshSettings& set = s->settings;
  const char* command = set.RemoteCommandText ? set.RemoteCommandText : set.RemoteCommand;
  char stored[sizeof set.RemoteCommand + 1] = {};
  if (!set.RemoteCommandText) {
    std::memcpy(stored, set.RemoteCommand, strnlen(set.RemoteCommand, sizeof set.RemoteCommand));
    command = stored;
  }
  if (set.RemoteCommandIsSubsystem && set.FallbackCommand) {
    command = set.FallbackCommand;
    s->fallbackUsed = 1;
  }
  if (*command)
    Ssh1SendPacket(s, kCmsgExecCmd, {{.kind = Ssh1Field::Text, .data = command}});
  else
    Ssh1SendPacket(s, kCmsgExecShell, {});

  s->connectionState = kSshStateRunning;
  if (s->sizeChangePending) SshWindowChange(s, s->settings.TerminalWidth, s->settings.TerminalHeight);
  if (s->eofPending) SshSpecial(s, kSshSpecialEof);
  s->sizeChangePending = 0;
  s->eofPending = 0;
  s->ready = 1;
  st->connection = kConnMain;
}

void StepCompression(SshSession* s, Ssh1State* st) {
  if (s->settings.Compression) {
    Ssh1SendPacket(s, kCmsgRequestCompression, {{.kind = Ssh1Field::Uint32, .value = kCompressionLevel}});
    st->connection = kConnCompressionReply;
    return;
  }
  StartCommand(s, st);
}

void StepForwardsAndPty(SshSession* s, Ssh1State* st) {
  SshSetupForwards(s);
  InstallPortOpenHandler(s);
  if (!s->settings.NoPty) {
    RequestPty(s, st);
    return;
  }
  StepCompression(s, st);
}

void SendStdin(SshSession* s, const uint8_t* data, int32_t length) {
  while (length > 0 && s->connectionState != kSshStateClosed) {
    const int32_t piece = std::min(length, kStdinPiece);
    Ssh1SendPacket(s, kCmsgStdinData,
                   {{.kind = Ssh1Field::Uint32, .value = uint32_t(piece)},
                    {.kind = Ssh1Field::Raw, .data = data, .length = piece}});
    data += piece;
    length -= piece;
  }
}

}  // namespace

void Ssh1Connection(SshSession* s, const uint8_t* data, int32_t length, SshPacket* packet) {
  if (s->connectionState == kSshStateClosed) return;
  Ssh1State* st = cvssh::ssh1::StateOf(s);
  const bool success = packet && packet->type == kSmsgSuccess;
  const bool failure = packet && packet->type == kSmsgFailure;
  switch (st->connection) {
    case kConnStart:
      InstallConnectionHandlers(s);
      if (s->settings.X11Forward) {
        RequestX11(s, st);
        return;
      }
      StepForwardsAndPty(s, st);
      return;
    case kConnX11Reply:
      if (!packet) return;
      if (!success && !failure) break;
      if (success) {
        s->x11Accepted = 1;
        InstallX11OpenHandler(s);
      }
      StepForwardsAndPty(s, st);
      return;
    case kConnPtyReply:
      if (!packet) return;
      if (!success && !failure) break;
      StepCompression(s, st);
      return;
    case kConnCompressionReply:
      if (!packet) return;
      if (!success && !failure) break;
      // Both directions compress from the next packet on.
      if (success) StartCompression(s);
      StartCommand(s, st);
      return;
    case kConnMain:
      // A stray message is ignored: starting over would repeat the requests and the
      // command into a running session.
      if (!packet && data && length > 0) SendStdin(s, data, length);
      return;
    default:
      break;
  }
  st->connection = kConnStart;
}
