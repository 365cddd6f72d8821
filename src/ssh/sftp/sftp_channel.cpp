// The channel plumbing of SFTP, and starting and ending SFTP on a ready session.
#include "ssh/sftp/sftp_channel.h"

#include <algorithm>
#include <cstring>

#include "core/errors/error_codes.h"
#include "platform/base/tick.h"
#include "ssh/proto/channel.h"
#include "ssh/proto/input.h"
#include "ssh/proto/lifecycle.h"
#include "ssh/sftp/sftp.h"
#include "ssh/sftp/sftp_client.h"
#include "ssh/sftp/sftp_session.h"
#include "ssh/util/alloc.h"

int32_t SftpChannelDeliver(SshSession* s, int32_t extended, const uint8_t* bytes, uint32_t length) {
  if (extended) return 0;
  SftpChannelInput in = *SftpGetChannelInput(s);
  if (in.destination && in.wanted) {
    uint32_t n = std::min(in.wanted, length);
    std::memcpy(in.destination, bytes, n);
    in.destination += n;
    in.wanted -= n;
    bytes += n;
    length -= n;
  }
  if (length) {
    if (in.pendingStart + in.pendingLength + length > in.pendingCapacity) {
      if (in.pendingLength + length <= in.pendingCapacity) {
        // The room taken by bytes already read is enough.
        std::memmove(in.pending, in.pending + in.pendingStart, in.pendingLength);
      } else {
        // Grown by half again at least, so a long burst does not copy quadratically.
        uint32_t capacity = std::max(in.pendingLength + length + 4096, in.pendingCapacity + in.pendingCapacity / 2);
        auto* grown = static_cast<uint8_t*>(cvssh::AllocOrDie(capacity));
        if (in.pendingLength) std::memcpy(grown, in.pending + in.pendingStart, in.pendingLength);
        CheckedFree(in.pending);
        in.pending = grown;
        in.pendingCapacity = capacity;
      }
      in.pendingStart = 0;
    }
    std::memcpy(in.pending + in.pendingStart + in.pendingLength, bytes, length);
    in.pendingLength += length;
  }
  SftpSetChannelInput(s, &in);
  return 0;
}

namespace {

// The read is over: the destination must not outlive the caller's buffer.
int32_t EndRead(SshSession* s, int32_t result) {
  SftpChannelInput* in = SftpGetChannelInput(s);
  in->destination = nullptr;
  in->wanted = 0;
  return result;
}

// A session that ended under a read reports why: its own error, or that the server
// closed the connection.
int32_t EndWithConnectionError(SshSession* s) {
  const uint32_t error = SshGetLastError(s);
  SshSetLastError(s, error ? error : cvErrorConnectionClosed);
  return EndRead(s, 0);
}

// A pending buffer this large is not kept once emptied.
constexpr uint32_t kKeptPendingCapacity = 1 << 20;

}  // namespace

uint32_t SftpChannelAvailable(SshSession* s) {
  const SftpChannelInput* in = SftpGetChannelInput(s);
  return in ? in->pendingLength : 0;
}

const uint8_t* SftpChannelPeek(SshSession* s) {
  const SftpChannelInput* in = SftpGetChannelInput(s);
  return in && in->pendingLength ? in->pending + in->pendingStart : nullptr;
}

namespace {

// Waits in the event pump until n bytes are in buffer or limitMs have passed.
int32_t ReadWithin(SshSession* s, void* buffer, uint32_t n, uint32_t limitMs) {
  SftpChannelInput* in = SftpGetChannelInput(s);
  in->destination = static_cast<uint8_t*>(buffer);
  in->wanted = n;
  if (in->pendingLength) {
    uint32_t take = std::min(in->pendingLength, n);
    std::memcpy(in->destination, in->pending + in->pendingStart, take);
    in->destination += take;
    in->wanted -= take;
    in->pendingLength -= take;
    in->pendingStart += take;
    if (!in->pendingLength) {
      in->pendingStart = 0;
      if (in->pendingCapacity > kKeptPendingCapacity) {
        CheckedFree(in->pending);
        in->pending = nullptr;
        in->pendingCapacity = 0;
      }
    }
  }
  const uint32_t start = plat::GetTickCount();
  for (;;) {
    if (!in->wanted) return EndRead(s, 1);
    if (SshGetExitCode(s) >= 0) return EndWithConnectionError(s);
    const uint32_t elapsed = plat::GetTickCount() - start;
    if (elapsed >= limitMs) {
      SshSetLastError(s, cvErrorOperationTimeout);
      return EndRead(s, 0);
    }
    // What the caller holds back (requests) may be what the server waits for.
    SshFlushOutput(s);
    // The wait ends at this read's own deadline, not a whole timeout later.
    if (SshPumpEventsWithin(s, limitMs - elapsed) < 0) return EndWithConnectionError(s);
  }
}

// How long a close waits for the server to end the session after our EOF. Servers close
// at once; one that never does must not hold the caller for a whole timeout.
constexpr uint32_t kCloseWaitMs = 1000;

}  // namespace

int32_t SftpChannelRead(SshSession* s, void* buffer, uint32_t n) {
  if (ReadWithin(s, buffer, n, SshGetTimeout(s) * 1000u)) return 1;
  // A reply that is late rather than lost would arrive in the middle of whatever comes
  // next: after a time-out the stream cannot be followed, so the connection ends here
  // (keeping the time-out as the error) and nothing later waits for it again.
  if (SftpGetLastError(s) == cvErrorOperationTimeout && SshIsConnected(s)) SshDisconnect(s, nullptr, 0, 0);
  return 0;
}

int32_t SftpChannelWrite(SshSession* s, const void* bytes, uint32_t n) {
  SshSend(s, static_cast<const uint8_t*>(bytes), n);
  return 1;
}

int32_t SftpStart(SshSession* s) {
  if (!SftpInit(s)) return 0;
  SftpRequest* request = SftpRealPathSend(s, ".");
  bool matched;
  SftpPacket* reply = SftpAwaitReply(s, request, &matched);
  char* home = matched ? SftpRealPathReply(s, reply, request) : nullptr;
  SftpSetHomeDirectory(s, home ? home : ".");
  SftpSetCurrentDirectory(s, nullptr);
  CheckedFree(home);
  return 1;
}

void SftpCloseSession(SshSession* s) {
  if (!s) return;
  if (SshIsConnected(s)) {
    SshSpecial(s, kSshSpecialEof);
    uint8_t byte;
    ReadWithin(s, &byte, 1, std::min(SshGetTimeout(s) * 1000u, kCloseWaitMs));
  }
  SshSessionFree(s);
}

void SftpDropSession(SshSession* s) { SshSessionFree(s); }
