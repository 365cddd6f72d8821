// The session's connection: connect, the socket callbacks, the input pump, throttling,
// disconnect and closing.
#include <cstring>

#include "ssh/net/ssh_net.h"
#include "ssh/proto/channel.h"
#include "ssh/proto/constants.h"
#include "ssh/proto/input.h"
#include "ssh/proto/packet.h"
#include "ssh/proto/packet_internal.h"
#include "ssh/proto/transport.h"
#include "ssh/proxy/proxy.h"
#include "ssh/util/alloc.h"
#include "ssh/util/strings.h"
#include "ssh/util/timer_list.h"

namespace {

// Reads one packet and hands it on. A stream that fails its integrity checks has lost
// its framing for good, so the session ends with the error the receiver stored.
void ReadOne(SshSession* s, const uint8_t** bytes, int32_t* count) {
  SshPacket* packet = s->packetReader(s, bytes, count);
  if (packet) {
    s->protocol(s, nullptr, 0, packet);
    SshPacketFree(packet);
  }
  if (s->integrityFailed && s->connectionState != kSshStateClosed) {
    s->integrityFailed = 0;
    SshDisconnect(s, "Packet integrity error", kSshDisconnectMacError, 0);
  }
}

}  // namespace

void SshSession::Log(int32_t, const SshAddress*, int32_t, const char*, int32_t) {}
int32_t SshSession::Closing(uint32_t error, int32_t) { return SshOnClosing(this, error); }
int32_t SshSession::Receive(int32_t urgent, const uint8_t* data, int32_t length) {
  return SshOnReceive(this, urgent, data, length);
}
void SshSession::Sent(uint32_t backlog) { SshOnSent(this, backlog); }
int32_t SshSession::Accepting(SOCKET) { return 1; }

uint32_t SshConnect(SshSession* s, const char* hostName, int32_t port, char** canonicalName, int32_t keepAlive) {
  CheckedFree(s->hostName);
  s->hostName = DupString(hostName);
  if (port < 0) port = 22;
  // Through the proxy layer: it decides whether the proxy resolves the name and whether
  // the connection goes through it.
  SshAddress* address = ProxyLookupName(hostName, canonicalName, &s->settings, int32_t(s->settings.AddressFamily));
  if (!address) return 8;
  if (uint32_t error = SshAddressError(address)) {
    SshFreeAddress(address);
    return error;
  }
  SshSocket* socket = ProxyNewConnection(address, hostName, port, keepAlive, s, &s->settings);
  if (uint32_t error = socket->Error()) {
    socket->Close();
    return error;
  }
  s->socket = socket;
  return 0;
}

int32_t SshOnReceive(SshSession* s, int32_t, const uint8_t* bytes, int32_t count) {
  if (s->connectionState == kSshStateClosed) return 0;
  if (!s->protocol) {
    while (count > 0) {
      bool done = SshIdentParseByte(s, *bytes);
      ++bytes;
      --count;
      if (done) break;
    }
    if (s->connectionState == kSshStateClosed) return 0;
    // Still reading the line, or no protocol in common: nothing to hand on.
    if (!s->protocol) return 1;
  }
  while (s->connectionState != kSshStateClosed) {
    if (BufferChainSize(&s->heldInput) && !s->frozen) {
      const void* data;
      uint32_t length;
      BufferChainPrefix(&s->heldInput, &data, &length);
      auto* p = static_cast<const uint8_t*>(data);
      int32_t left = int32_t(length);
      while (left > 0 && !s->frozen && s->connectionState != kSshStateClosed) ReadOne(s, &p, &left);
      BufferChainConsume(&s->heldInput, length - uint32_t(left));
    } else if (count > 0 && !s->frozen) {
      ReadOne(s, &bytes, &count);
    } else {
      if (count > 0) BufferChainAdd(&s->heldInput, bytes, uint32_t(count));
      break;
    }
  }
  return s->connectionState == kSshStateClosed ? 0 : 1;
}

int32_t SshOnClosing(SshSession* s, uint32_t error) {
  SshCloseAll(s);
  SshFireEvent(s, 2, nullptr);
  if (s->closeRequested && s->cleanClose) {
    if (s->exitCode < 0) s->exitCode = 0;
    return 0;
  }
  if (error) SshSetLastError(s, error);
  return -1;
}

void SshOnSent(SshSession* s, uint32_t backlog) {
  if (backlog < kSshBacklogLimit) SshThrottleAll(s, 0, backlog);
}

void SshDisconnect(SshSession* s, const char* wireText, uint32_t reason, int32_t clean) {
  if (wireText && s->socket) {
    if (s->protocolVersion == 1) {
      Ssh1SendPacket(s, cvssh::ssh1::kMsgDisconnect, {{.kind = Ssh1Field::Text, .data = wireText}});
    } else if (s->protocolVersion == 2) {
      SshPacket* p = Ssh2PacketNew(cvssh::ssh2::kMsgDisconnect);
      SshPacketAddUint32(p, reason);
      SshPacketAddString(p, wireText);
      SshPacketAddString(p, "en");
      Ssh2SendPacket(s, p);
    }
  }
  s->closeRequested = 1;
  s->cleanClose = clean ? 1 : 0;
  SshOnClosing(s, 0);
}

int32_t SshCloseAll(SshSession* s) {
  s->connectionState = kSshStateClosed;
  TimerCancelContext(s);
  int32_t hadSocket = s->socket ? 1 : 0;
  if (s->socket) {
    s->socket->Close();
    s->socket = nullptr;
  }
  SshChannelsCloseAll(s);
  SshForwardsFree(s);
  return hadSocket;
}

void SshThrottleAll(SshSession* s, int32_t on, uint32_t backlog) {
  uint32_t flag = on ? 1 : 0;
  if (flag == s->allThrottled) return;
  s->allThrottled = flag;
  s->overallBacklog = backlog;
  SshChannelsOverrideThrottle(s, on);
}

void SshThrottleCount(SshSession* s, int32_t delta) {
  int32_t before = s->throttleCount;
  s->throttleCount += delta;
  if ((before == 0) == (s->throttleCount == 0)) return;
  s->frozen = s->throttleCount != 0;
  if (s->socket) s->socket->SetFrozen(int32_t(s->frozen));
  // Input held back while frozen is processed now, not only when more data arrives.
  if (!s->frozen && BufferChainSize(&s->heldInput)) SshOnReceive(s, 0, nullptr, 0);
}
