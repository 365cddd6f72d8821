// SSH-2 user authentication: service requests, "none", "password" and
// "keyboard-interactive" (RFC 4252, RFC 4256).
#include <strings.h>

#include <cstring>

#include "core/errors/error_codes.h"
#include "ssh/proto/auth.h"
#include "ssh/proto/constants.h"
#include "ssh/proto/input.h"
#include "ssh/proto/transport.h"
#include "ssh/util/alloc.h"

namespace {

using namespace cvssh::ssh2;

SshAuthState* State(SshSession* s) {
  if (!s->auth) {
    s->auth = static_cast<SshAuthState*>(cvssh::AllocOrDie(sizeof(SshAuthState)));
    std::memset(s->auth, 0, sizeof(SshAuthState));
  }
  return s->auth;
}

void SendService(SshSession* s, const char* name, uint32_t resume) {
  SshPacket* p = Ssh2PacketNew(kMsgServiceRequest);
  SshPacketAddString(p, name);
  Ssh2SendQueued(s, p);
  s->authResume = resume;
}

void Fail(SshSession* s, uint32_t reason, const char* text, uint32_t error) {
  s->authResume = kAuthStart;
  SshSetLastError(s, error);
  SshDisconnect(s, text, reason, 0);
}

void BannerHandler(SshSession*, SshPacket*) {}

SshPacket* Request(SshAuthState* a, const char* method) {
  SshPacket* p = Ssh2PacketNew(kMsgUserauthRequest);
  SshPacketAddString(p, a->user);
  SshPacketAddString(p, "ssh-connection");
  SshPacketAddString(p, method);
  return p;
}

void SendNone(SshSession* s) {
  SshAuthState* a = State(s);
  if (!a->userSet || s->settings.ChangeUserName) {
    std::strncpy(a->user, s->settings.UserName, sizeof a->user - 1);
    a->user[sizeof a->user - 1] = 0;
    a->userSet = 1;
  }
  Ssh2SendQueued(s, Request(a, "none"));
  a->method = kAuthMethodNone;
  a->kbdRefused = 0;
  a->authenticated = 0;
  s->authResume = kAuthWaitReply;
}

void StartAuthentication(SshSession* s) {
  State(s)->userauthAccepted = 1;
  s->dispatch[kMsgUserauthBanner] = BannerHandler;
  SendNone(s);
}

void SendPassword(SshSession* s) {
  SshAuthState* a = State(s);
  if (++a->passwordCount > 1) {
    Fail(s, kSshDisconnectAuthCancelled, "User authentication failed", cvErrorAuthenticationFailed);
    return;
  }
  SshPacket* p = Request(a, "password");
  SshPacketAddBool(p, false);
  SshPacketAddString(p, s->settings.Password);
  Ssh2SendPaddedPacket(s, p);
  a->method = kAuthMethodPassword;
  s->authResume = kAuthWaitAfterPassword;
}

void SendKbdRequest(SshSession* s) {
  SshAuthState* a = State(s);
  SshPacket* p = Request(a, "keyboard-interactive");
  SshPacketAddString(p, "");
  SshPacketAddString(p, "");
  Ssh2SendQueued(s, p);
  a->method = kAuthMethodKbd;
  s->authResume = kAuthWaitKbd;
}

bool PromptStarts(const uint8_t* prompt, int32_t length, const char* word) {
  size_t n = std::strlen(word);
  return prompt && size_t(length) >= n && strncasecmp(reinterpret_cast<const char*>(prompt), word, n) == 0;
}

void AnswerInfoRequest(SshSession* s, SshPacket* packet) {
  SshAuthState* a = State(s);
  const uint8_t* text;
  int32_t length;
  for (int i = 0; i < 3; ++i) SshPacketGetString(packet, &text, &length);  // name, instruction, language
  uint32_t count = SshPacketGetUint32(packet);
  // Each prompt takes at least five bytes, so a larger count is a malformed request.
  if (count > uint32_t(packet->length - packet->position) / 5) {
    Fail(s, kSshDisconnectAuthCancelled, "User authentication failed", cvErrorInvalidAuthenticationType);
    return;
  }
  SshPacket* reply = Ssh2PacketNew(kMsgUserauthInfoResponse);
  SshPacketAddUint32(reply, count);
  for (uint32_t i = 0; i < count; ++i) {
    SshPacketGetString(packet, &text, &length);
    SshPacketGetBool(packet);
    const char* answer;
    if (length == 0 && count != 1) {
      answer = "";
    } else if (count == 1 || PromptStarts(text, length, "password:")) {
      answer = s->settings.Password;
      ++a->passwordCount;
    } else if (PromptStarts(text, length, "username:") || PromptStarts(text, length, "login:")) {
      answer = a->user;
    } else {
      SshPacketFree(reply);
      Fail(s, kSshDisconnectAuthCancelled, "User authentication failed", cvErrorInvalidAuthenticationType);
      return;
    }
    SshPacketAddString(reply, answer);
  }
  Ssh2SendPaddedPacket(s, reply);
  s->authResume = kAuthWaitAfterInfo;
}

// The server's answer to an authentication request.
void OnReply(SshSession* s, SshPacket* packet) {
  SshAuthState* a = State(s);
  if (packet->type == kMsgUserauthSuccess) {
    a->authenticated = 1;
    Ssh2StartupBegin(s);
    return;
  }
  if (packet->type != kMsgUserauthFailure) {
    Fail(s, kSshDisconnectProtocolError, "Unexpected authentication reply", cvErrorAuthenticationFailed);
    return;
  }
  const uint8_t* list;
  int32_t length;
  SshPacketGetString(packet, &list, &length);
  const bool partial = SshPacketGetBool(packet);
  if (!list) length = 0;
  const char* names = reinterpret_cast<const char*>(list);
  if (!partial && a->method == kAuthMethodPassword && s->settings.ChangeUserName) {
    SendNone(s);
    return;
  }
  a->canPassword = SshNameInList("password", names, length);
  a->canKbd = SshNameInList("keyboard-interactive", names, length);
  if (a->canPassword) {
    SendPassword(s);
  } else if (s->settings.TryKeyboardInteractive && a->canKbd && !a->kbdRefused) {
    SendKbdRequest(s);
  } else {
    Fail(s, kSshDisconnectNoMoreAuthMethods, "No supported authentication methods available",
         cvErrorInvalidAuthenticationType);
  }
}

}  // namespace

void Ssh2AuthConn(SshSession* s, const uint8_t* data, int32_t length, SshPacket* packet) {
  if (s->connectionState == kSshStateClosed) return;
  switch (s->authResume) {
    case kAuthStart:
      if (s->settings.NoUserAuth)
        SendService(s, "ssh-connection", kAuthWaitConnectionAccept);
      else
        SendService(s, "ssh-userauth", kAuthWaitUserauthAccept);
      return;
    case kAuthWaitUserauthAccept:
      if (!packet) return;
      if (packet->type == kMsgServiceAccept) {
        StartAuthentication(s);
      } else {
        SendService(s, "ssh-connection", kAuthWaitConnectionAccept);
      }
      return;
    case kAuthWaitConnectionAccept:
      if (!packet) return;
      if (packet->type == kMsgServiceAccept) {
        State(s)->authenticated = 1;
        Ssh2StartupBegin(s);
      } else {
        Fail(s, kSshDisconnectProtocolError, "Service request refused", cvErrorAuthenticationFailed);
      }
      return;
    case kAuthWaitReply:
    case kAuthWaitAfterPassword:
      if (packet) OnReply(s, packet);
      return;
    case kAuthWaitKbd:
      if (!packet) return;
      if (packet->type == kMsgUserauthInfoRequest) {
        AnswerInfoRequest(s, packet);
      } else {
        State(s)->kbdRefused = 1;
        State(s)->method = kAuthMethodKbdRefused;
        OnReply(s, packet);
      }
      return;
    case kAuthWaitAfterInfo:
      if (!packet) return;
      if (packet->type == kMsgUserauthInfoRequest) {
        AnswerInfoRequest(s, packet);
      } else if (State(s)->passwordCount > 1) {
        Fail(s, kSshDisconnectAuthCancelled, "User authentication failed", cvErrorAuthenticationFailed);
      } else {
        OnReply(s, packet);
      }
      return;
    default:
      Ssh2StartupStep(s, data, length, packet);
      return;
  }
}

void Ssh2AuthFree(SshSession* s) {
  if (s->auth) explicit_bzero(s->auth, sizeof(SshAuthState));
  CheckedFree(s->auth);
  s->auth = nullptr;
}
