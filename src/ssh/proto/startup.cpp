// The start-up after authentication: the main channel ("session" or "direct-tcpip"),
// terminal, environment and command or subsystem requests, then the main phase.
#include <cstdio>
#include <cstring>

#include "core/errors/error_codes.h"
#include "ssh/proto/auth.h"
#include "ssh/proto/channel.h"
#include "ssh/proto/constants.h"
#include "ssh/proto/input.h"
#include "ssh/proto/transport.h"
#include "ssh/util/alloc.h"
#include "ssh/x11/x11.h"

namespace {

using namespace cvssh::ssh2;

// The start-up cannot go on: reported at once rather than left to the caller's time limit.
void StartupFail(SshSession* s, const char* text) {
  s->authResume = kAuthStart;
  SshSetLastError(s, cvErrorConnectionFailed);
  SshDisconnect(s, text, kSshDisconnectByApplication, 0);
}

bool SessionMain(const SshSession* s) { return s->mainChannel && !s->mainIsDirectTcpip; }

SshPacket* ChannelRequest(SshSession* s, const char* type) {
  SshPacket* p = Ssh2PacketNew(kMsgChannelRequest);
  SshPacketAddUint32(p, s->mainChannel->remoteId);
  SshPacketAddString(p, type);
  SshPacketAddBool(p, true);
  return p;
}

void Running(SshSession* s) {
  s->connectionState = kSshStateRunning;
  s->sizeChangePending = 0;
  s->eofPending = 0;
  if (s->mainChannel) s->ready = 1;
  s->authResume = kAuthMain;
}

void SendCommand(SshSession* s) {
  const SshSettings& set = s->settings;
  const char* command = set.RemoteCommandText ? set.RemoteCommandText : set.RemoteCommand;
  uint32_t subsystem = set.RemoteCommandIsSubsystem;
  if (s->fallbackUsed) {
    command = set.FallbackCommand;
    subsystem = set.FallbackIsSubsystem;
  }
  const char* type = subsystem ? "subsystem" : *command ? "exec" : "shell";
  SshPacket* p = ChannelRequest(s, type);
  if (std::strcmp(type, "shell") != 0) SshPacketAddString(p, command);
  Ssh2SendQueued(s, p);
  s->authResume = kAuthWaitCommand;
}

void StartCommand(SshSession* s) {
  if (SessionMain(s))
    SendCommand(s);
  else
    Running(s);
}

void StartEnvironment(SshSession* s) {
  SshAuthState* a = s->auth;
  a->envSent = a->envOutstanding = a->envAccepted = 0;
  if (SessionMain(s)) {
    const char* env = s->settings.Environment;
    const char* end = env + sizeof s->settings.Environment;
    while (env < end && *env) {
      size_t entry = strnlen(env, size_t(end - env));
      const char* tab = static_cast<const char*>(std::memchr(env, '\t', entry));
      SshPacket* p = ChannelRequest(s, "env");
      SshPacketAddStringStart(p);
      SshPacketAddStringData(p, env, int32_t(tab ? tab - env : int32_t(entry)));
      SshPacketAddStringStart(p);
      if (tab) SshPacketAddStringData(p, tab + 1, int32_t(env + entry - tab - 1));
      Ssh2SendQueued(s, p);
      ++a->envSent;
      ++a->envOutstanding;
      env += entry + 1;
    }
  }
  if (a->envOutstanding) {
    s->authResume = kAuthWaitEnv;
    return;
  }
  StartCommand(s);
}

void StartTerminal(SshSession* s) {
  SshSetupForwards(s);
  if (!SessionMain(s) || s->settings.NoPty) {
    StartEnvironment(s);
    return;
  }
  int outputSpeed = 38400, inputSpeed = 38400;
  std::sscanf(s->settings.TerminalSpeeds, "%d,%d", &outputSpeed, &inputSpeed);
  SshPacket* p = ChannelRequest(s, "pty-req");
  SshPacketAddString(p, s->settings.TerminalType);
  SshPacketAddUint32(p, s->settings.TerminalWidth);
  SshPacketAddUint32(p, s->settings.TerminalHeight);
  SshPacketAddUint32(p, 0);
  SshPacketAddUint32(p, 0);
  SshPacketAddStringStart(p);
  uint8_t modes[11] = {128, 0, 0, 0, 0, 129, 0, 0, 0, 0, 0};
  for (int i = 0; i < 4; ++i) {
    modes[1 + i] = uint8_t(uint32_t(inputSpeed) >> (24 - 8 * i));
    modes[6 + i] = uint8_t(uint32_t(outputSpeed) >> (24 - 8 * i));
  }
  SshPacketAddStringData(p, modes, sizeof modes);
  Ssh2SendQueued(s, p);
  s->connectionState = kSshStateTerminalAsked;
  s->authResume = kAuthWaitPty;
}

// Offers a made-up cookie; the real display's authorisation never leaves this host.
void RequestX11(SshSession* s) {
  char protocol[20], cookie[64];
  X11FreeAuth(s->x11Auth);
  s->x11Auth = X11MakeAuth(protocol, cookie, s->settings.X11AuthType);
  X11InitLocalAuth(s->x11Auth);
  char* display = X11DisplayName(s->settings.X11Display);
  SshPacket* p = ChannelRequest(s, "x11-req");
  SshPacketAddBool(p, false);
  SshPacketAddString(p, protocol);
  SshPacketAddString(p, cookie);
  SshPacketAddUint32(p, uint32_t(X11ScreenNumber(display)));
  CheckedFree(display);
  explicit_bzero(cookie, sizeof cookie);
  Ssh2SendQueued(s, p);
  s->authResume = kAuthWaitX11;
}

void OnMainOpen(SshSession* s, SshPacket* packet) {
  SshChannel* c = s->mainChannel;
  if (packet->type != kMsgChannelOpenConfirmation || SshPacketGetUint32(packet) != c->localId) {
    StartupFail(s, "Main channel was refused");
    return;
  }
  c->remoteId = SshPacketGetUint32(packet);
  c->halfOpen = 0;
  c->closing = 0;
  c->type = ChannelMain;
  c->remoteWindow = SshPacketGetUint32(packet);
  c->remoteMaxPacket = SshPacketGetUint32(packet);
  Ssh2InstallChannelHandlers(s);
  if (SessionMain(s) && s->settings.X11Forward) {
    RequestX11(s);
    return;
  }
  StartTerminal(s);
}

}  // namespace

void Ssh2StartupBegin(SshSession* s) {
  s->dispatch[kMsgUserauthBanner] = nullptr;
  Ssh2InstallConnectionHandlers(s);
  if (s->settings.NoSessionChannel) {
    SshSetupForwards(s);
    Running(s);
    return;
  }
  SshChannel* c = SshChannelNew(s, SshChannelAllocId(s));
  c->halfOpen = 1;
  SshChannelsAdd(s, c);
  s->mainChannel = c;
  SshPacket* p = Ssh2PacketNew(kMsgChannelOpen);
  s->mainIsDirectTcpip = s->settings.DirectTcpipHost[0] != 0;
  SshPacketAddString(p, s->mainIsDirectTcpip ? "direct-tcpip" : "session");
  SshPacketAddUint32(p, c->localId);
  SshPacketAddUint32(p, kSshChannelWindow);
  SshPacketAddUint32(p, kSshChannelMaxPacket);
  if (s->mainIsDirectTcpip) {
    SshPacketAddString(p, s->settings.DirectTcpipHost);
    SshPacketAddUint32(p, s->settings.DirectTcpipPort);
    SshPacketAddString(p, "0.0.0.0");
    SshPacketAddUint32(p, 0);
  }
  Ssh2SendQueued(s, p);
  s->authResume = kAuthWaitMainOpen;
}

void Ssh2StartupStep(SshSession* s, const uint8_t* data, int32_t length, SshPacket* packet) {
  if (s->authResume == kAuthMain) {
    // A stray packet here is ignored: starting over would send a service request into
    // a running connection.
    if (!packet && data && length > 0 && s->mainChannel) SshChannelWrite(s->mainChannel, data, uint32_t(length));
    return;
  }
  if (!packet) return;
  const bool success = packet->type == kMsgChannelSuccess, failure = packet->type == kMsgChannelFailure;
  switch (s->authResume) {
    case kAuthWaitMainOpen:
      OnMainOpen(s, packet);
      return;
    case kAuthWaitX11:
      if (!success && !failure) return StartupFail(s, "Unexpected reply to the X11 request");
      s->x11Accepted = success ? 1 : 0;
      StartTerminal(s);
      return;
    case kAuthWaitPty:
      if (!success && !failure) return StartupFail(s, "Unexpected reply to the terminal request");
      StartEnvironment(s);
      return;
    case kAuthWaitEnv:
      if (!success && !failure) return StartupFail(s, "Unexpected reply to an environment request");
      if (success) ++s->auth->envAccepted;
      if (--s->auth->envOutstanding == 0) StartCommand(s);
      return;
    case kAuthWaitCommand:
      if (success) return Running(s);
      if (failure && s->settings.FallbackCommand && !s->fallbackUsed) {
        s->fallbackUsed = 1;
        SendCommand(s);
        return;
      }
      StartupFail(s, "The server refused to start the command");
      return;
    default:
      return;
  }
}
