#pragma once
// Creation and release of the session record.
#include <cstdint>

#include "ssh/proto/session.h"

// Allocates the record (stored in *out even when the connect fails), copies the
// settings, sets the starting values and connects. 0 or the connect error.
uint32_t SshSessionCreate(SshSession** out, const SshSettings* settings, const char* hostName, int32_t port,
                          char** canonicalName, int32_t keepAlive);
void SshSessionFree(SshSession* session);
