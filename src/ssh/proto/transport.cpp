// The SSH-2 transport's state machine and the protocol entry that routes every packet
// to a dispatch handler, the transport or the authentication and connection layer.
#include "ssh/proto/transport.h"

#include "core/errors/error_codes.h"
#include "ssh/proto/auth.h"
#include "ssh/proto/constants.h"
#include "ssh/proto/kex_state.h"
#include "ssh/util/alloc.h"
#include "ssh/util/timer_list.h"

using namespace cvssh::proto;

namespace {

using namespace cvssh::ssh2;

void Unexpected(SshSession* s) {
  KexFail(s, cvErrorSecurityContext, kSshDisconnectProtocolError, "Unexpected key exchange message");
}

// Negotiation from the server's KEXINIT, then the DH step (or the guessed packet first).
int32_t OnServerKexinit(SshSession* s, SshPacket* packet) {
  if (packet->type != kMsgKexinit) {
    Unexpected(s);
    return 0;
  }
  if (!ProcessKexinit(s, packet)) return 0;
  if (s->kex->ignoreNext) {
    s->transportState = kKexIgnoreOne;
    return 0;
  }
  BeginDh(s);
  return 0;
}

void StartExchange(SshSession* s) {
  SendKexinit(s);
  s->transportState = kKexWaitKexinit;
}

}  // namespace

int32_t Ssh2Transport(SshSession* s, const char*, int32_t length, SshPacket* packet) {
  if (s->connectionState == kSshStateClosed) return 0;
  switch (s->transportState) {
    case kKexStart:
      StartExchange(s);
      return packet ? OnServerKexinit(s, packet) : 0;
    case kKexWaitKexinit:
      return packet ? OnServerKexinit(s, packet) : 0;
    case kKexIgnoreOne:
      if (!packet) return 0;
      BeginDh(s);
      return 0;
    case kKexWaitGroup:
      if (!packet) return 0;
      if (packet->type != kMsgKexDhGexGroup) {
        Unexpected(s);
        return 0;
      }
      HandleGroup(s, packet);
      return 0;
    case kKexWaitReply:
      if (!packet) return 0;
      if (packet->type != s->kex->replyType) {
        Unexpected(s);
        return 0;
      }
      HandleReply(s, packet);
      return 0;
    case kKexWaitNewkeys:
      if (!packet) return 0;
      if (packet->type != kMsgNewkeys) {
        Unexpected(s);
        return 0;
      }
      HandleNewkeys(s);
      return 1;
    case kKexIdle:
    default:
      if (packet && packet->type == kMsgKexinit) {
        StartExchange(s);
        return OnServerKexinit(s, packet);
      }
      if (!packet && length == -1) {
        if (s->bugs & REKEY_BUG) {
          // This server cannot take a key exchange started by the client.
          s->bytesSent = s->bytesReceived = 0;
          if (s->settings.RekeyMinutes)
            s->rekeyDue = TimerSchedule(s->settings.RekeyMinutes * 60000u, SshRekeyTimer, s);
          return 1;
        }
        StartExchange(s);
        return 0;
      }
      return 1;
  }
}

void Ssh2Protocol(SshSession* s, const uint8_t* text, int32_t length, SshPacket* packet) {
  if (s->connectionState == kSshStateClosed) return;
  if (packet) {
    s->bytesReceived += packet->wireLength;
    Ssh2CheckDataLimit(s, s->bytesReceived, "too much data received");
    if (s->connectionState == kSshStateClosed) return;
    if (SshDispatchHandler handler = s->dispatch[packet->type & 0xFF]) {
      handler(s, packet);
      return;
    }
  }
  if (!s->authStarted || (packet && packet->type >= kMsgTransportFirst && packet->type <= kMsgTransportLast)) {
    if (Ssh2Transport(s, reinterpret_cast<const char*>(text), length, packet) == 1 && !s->authStarted &&
        s->connectionState != kSshStateClosed) {
      s->authStarted = 1;
      Ssh2AuthConn(s, nullptr, 0, nullptr);
    }
  } else {
    Ssh2AuthConn(s, text, length, packet);
  }
}

void Ssh2CheckDataLimit(SshSession* s, uint32_t counter, const char* reason) {
  if (s->protocolVersion != 2 || s->kexInProgress || s->dataLimit == 0 || counter <= s->dataLimit) return;
  Ssh2Transport(s, reason, -1, nullptr);
}

void SshRekeyTimer(void* context, uint32_t now) {
  auto* s = static_cast<SshSession*>(context);
  if (s->connectionState == kSshStateClosed || s->kexInProgress || s->settings.RekeyMinutes == 0) return;
  if (int32_t(now - s->rekeyDue) < 0) return;
  Ssh2Transport(s, "timeout", -1, nullptr);
}

void Ssh2TransportFree(SshSession* s) {
  KexReleaseValues(s);
  CheckedFree(s->kex);
  s->kex = nullptr;
  CheckedFree(s->hostKeyFingerprint);
  s->hostKeyFingerprint = nullptr;
}
