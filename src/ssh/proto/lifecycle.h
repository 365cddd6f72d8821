#pragma once
// Creation and release of the session record, and the keepalive pinger.
#include <cstdint>

#include "ssh/proto/session.h"

// Allocates the record (stored in *out even when the connect fails), copies the
// settings, sets the starting values and connects. 0 or the connect error.
uint32_t SshSessionCreate(SshSession** out, const SshSettings* settings, const char* hostName, int32_t port,
                          char** canonicalName, int32_t keepAlive);
// Releases everything the protocol layers attached to the record, then the record.
void SshSessionFree(SshSession* session);

// Sends an IGNORE message every PingIntervalSeconds once its timer runs (0: never).
struct SshPinger {
  uint32_t interval;  // seconds
  uint32_t pending;
  uint32_t due;       // tick count
  SshSession* session;
};
SshPinger* SshPingerNew(const SshSettings* settings, SshSession* session);
void SshPingerFree(SshPinger* pinger);
// The timer callback (the timer list calls it with the pinger).
void SshPingerTimer(void* pinger, uint32_t now);
