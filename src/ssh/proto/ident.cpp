// The server's identification line, the protocol version choice and the client's line.
#include <cstdio>
#include <cstring>

#include "core/errors/error_codes.h"
#include "ssh/proto/input.h"
#include "ssh/proto/lifecycle.h"
#include "ssh/proto/packet.h"
#include "ssh/proto/transport.h"
#include "ssh/util/alloc.h"
#include "ssh/util/strings.h"

namespace {

// Longer identification lines are cut here (the protocol allows 255 characters); the
// rest of the line is still read up to its LF.
constexpr int32_t kMaxIdentLine = 256;

constexpr int kClientMajor = 9;
constexpr int kClientMinor = 5;

void AppendLine(SshIdentParser& ip, char c) {
  if (ip.length >= kMaxIdentLine) return;
  if (ip.length + 1 >= ip.capacity) {
    int32_t capacity = ip.capacity + 16;
    auto* grown = static_cast<char*>(cvssh::AllocOrDie(size_t(capacity)));
    if (ip.length) std::memcpy(grown, ip.line, size_t(ip.length));
    CheckedFree(ip.line);
    ip.line = grown;
    ip.capacity = capacity;
  }
  ip.line[ip.length++] = c;
  ip.line[ip.length] = 0;
}

// Every "-" and blank after the second "-" becomes "_".
void Sanitise(char* line) {
  const char* second = SshSoftwareVersion(line);
  for (char* p = line + (second - line); *p && *p != '\r' && *p != '\n'; ++p)
    if (*p == '-' || *p == ' ') *p = '_';
}

void Finish(SshSession* s) {
  SshIdentParser& ip = s->ident;
  s->inSequence = 0;
  s->agentForwardingAvailable = 0;
  ip.line[std::strcspn(ip.line, "\r\n")] = 0;
  ip.version[ip.versionLength] = 0;
  s->bugs = SshComputeBugFlags(ip.line, &s->settings);
  const bool below20 = SshVersionCompare(ip.version, "2.0") < 0;
  const bool atLeast199 = SshVersionCompare(ip.version, "1.99") >= 0;
  const uint32_t preference = s->settings.ProtocolPreference;

  if ((preference == kSshOnly1 && !below20) || (preference == kSshOnly2 && !atLeast199)) {
    // No version in common: end the attempt now instead of waiting for the time limit.
    s->noProtocolChoice = 1;
    SshSetLastError(s, cvErrorProtocolNotSupported);
    SshDisconnect(s, nullptr, 0, 0);
    return;
  }
  char client[64];
  if ((preference != kSshOnly2 && !atLeast199) || (preference <= kSshPrefer1 && below20)) {
    const char* version = SshVersionCompare(ip.version, "1.5") <= 0 ? ip.version : "1.5";
    std::snprintf(client, sizeof client, "SSH-%s-Corvanetics_%d.%d\n", version, kClientMajor, kClientMinor);
    s->protocolVersion = 1;
    s->protocol = Ssh1Protocol;
    Ssh1DispatchInit(s);
    s->packetReader = Ssh1ReadPacket;
  } else {
    std::snprintf(client, sizeof client, "SSH-2.0-Corvanetics_%d.%d\r\n", kClientMajor, kClientMinor);
    s->protocolVersion = 2;
    s->protocol = Ssh2Protocol;
    Ssh2DispatchInit(s);
    s->packetReader = Ssh2ReadPacket;
  }
  Sanitise(client);
  if (s->protocolVersion == 2) {
    CheckedFree(s->clientIdent);
    CheckedFree(s->serverIdent);
    s->clientIdent = DupString(client);
    s->clientIdent[std::strcspn(s->clientIdent, "\r\n")] = 0;
    s->serverIdent = DupString(ip.line);
  }
  if (s->socket) s->socket->Write(client, uint32_t(std::strlen(client)));
  if (s->protocolVersion == 2) Ssh2Protocol(s, nullptr, 0, nullptr);
  if (s->connectionState != kSshStateClosed) s->connectionState = kSshStateIdentified;
  if (s->connectionState != kSshStateClosed && !s->pinger) s->pinger = SshPingerNew(&s->settings, s);
}

}  // namespace

bool SshIdentParseByte(SshSession* s, uint8_t byte) {
  SshIdentParser& ip = s->ident;
  const char c = char(byte);
  switch (ip.state) {
    case SshIdentState::LineStart:
      if (c == "SSH-"[ip.matched]) {
        if (++ip.matched == 4) {
          ip.state = SshIdentState::Collecting;
          ip.length = 0;
          for (char k : {'S', 'S', 'H', '-'}) AppendLine(ip, k);
          ip.inVersion = 1;
          ip.versionLength = 0;
        }
      } else {
        ip.matched = 0;
        ip.state = c == '\n' ? SshIdentState::LineStart : SshIdentState::Skipping;
      }
      return false;
    case SshIdentState::Skipping:
      if (c == '\n') ip.state = SshIdentState::LineStart;
      return false;
    case SshIdentState::Collecting:
      AppendLine(ip, c);
      if (ip.inVersion) {
        if (c == '-')
          ip.inVersion = 0;
        else if (ip.versionLength < 9)
          ip.version[ip.versionLength++] = c;
      }
      if (c != '\n') return false;
      ip.state = SshIdentState::Done;
      Finish(s);
      CheckedFree(ip.line);
      ip.line = nullptr;
      ip.length = ip.capacity = 0;
      return true;
    case SshIdentState::Done:
      break;
  }
  return true;
}
