#pragma once
// Helpers shared by the packet layer's files.
#include <cstdint>

#include "ssh/proto/packet.h"

namespace cvssh::proto {

SshPacket* PacketAlloc(int32_t capacity);
// Grows data to at least needed bytes (plus slack); body moves with it.
void PacketEnsure(SshPacket* p, int32_t needed);

inline uint32_t Load32(const uint8_t* b) {
  return uint32_t(b[0]) << 24 | uint32_t(b[1]) << 16 | uint32_t(b[2]) << 8 | b[3];
}
inline void Store32(uint8_t* b, uint32_t v) {
  b[0] = uint8_t(v >> 24);
  b[1] = uint8_t(v >> 16);
  b[2] = uint8_t(v >> 8);
  b[3] = uint8_t(v);
}

// Appends bytes to the session's deferred output buffer.
void DeferBytes(SshSession* session, const uint8_t* bytes, int32_t length);
// Writes to the socket and throttles every channel when the backlog grows too large.
void WriteToSocket(SshSession* session, const uint8_t* bytes, int32_t length);

}  // namespace cvssh::proto
