#pragma once
// The plumbing between the SFTP client and the session channel.
#include <cstdint>

#include "ssh/proto/session.h"

// The sink of the main channel's data: fills the waiting read, keeps the rest. 0.
int32_t SftpChannelDeliver(SshSession* session, int32_t extended, const uint8_t* bytes, uint32_t length);
// Waits in the event pump until n bytes are in buffer; 1, or 0 (cvErrorOperationTimeout,
// or the connection's error when the session ended: its own, else
// cvErrorConnectionClosed).
int32_t SftpChannelRead(SshSession* session, void* buffer, uint32_t n);
// The bytes that arrived and wait for a read, and where they start (null when none).
uint32_t SftpChannelAvailable(SshSession* session);
const uint8_t* SftpChannelPeek(SshSession* session);
int32_t SftpChannelWrite(SshSession* session, const void* bytes, uint32_t n);
