#pragma once
// SSH-2 user authentication ("none", "password", "keyboard-interactive") and the
// start-up of the main channel, one resumable machine per session.
#include <cstdint>

#include "ssh/proto/packet.h"
#include "ssh/proto/session.h"

enum : uint32_t {
  kAuthStart = 0,
  kAuthWaitUserauthAccept,
  kAuthWaitConnectionAccept,
  kAuthWaitReply,
  kAuthWaitAfterPassword,
  kAuthWaitKbd,
  kAuthWaitAfterInfo,
  kAuthWaitMainOpen,
  kAuthWaitX11,
  kAuthWaitPty,
  kAuthWaitEnv,
  kAuthWaitCommand,
  kAuthMain,
};

enum : uint32_t { kAuthMethodNone = 0, kAuthMethodPassword, kAuthMethodKbd, kAuthMethodKbdRefused };

struct SshAuthState {
  uint32_t userauthAccepted;
  uint32_t authenticated;
  char user[100];
  uint32_t userSet;
  uint32_t method;
  uint32_t canPassword;
  uint32_t canKbd;
  uint32_t kbdRefused;
  uint32_t passwordCount;  // never reset during a connection
  uint32_t envSent;
  uint32_t envOutstanding;
  uint32_t envAccepted;
  uint32_t commandIsFallback;
};

// Called once with nothing after the first key exchange, then with every undispatched
// packet and with user data for the main channel.
void Ssh2AuthConn(SshSession* session, const uint8_t* data, int32_t length, SshPacket* packet);
// The start-up after authentication (channel open, terminal, environment, command).
void Ssh2StartupBegin(SshSession* session);
void Ssh2StartupStep(SshSession* session, const uint8_t* data, int32_t length, SshPacket* packet);
// Releases the authentication state of a session.
void Ssh2AuthFree(SshSession* session);
