#pragma once
// The plumbing between the SFTP client and the session channel.
#include <cstdint>

#include "ssh/proto/session.h"

// The sink of the main channel's data: fills the waiting read, keeps the rest. 0.
int32_t SftpChannelDeliver(SshSession* session, int32_t extended, const uint8_t* bytes, uint32_t length);
// Waits in the event pump until n bytes are in buffer; 1, or 0 (timeout 10060, the
// pump's error, or 0 when the session ended).
int32_t SftpChannelRead(SshSession* session, void* buffer, uint32_t n);
int32_t SftpChannelWrite(SshSession* session, const void* bytes, uint32_t n);
