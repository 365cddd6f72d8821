// Pauses and wait steps of the transfer loops.
#include "core/stream/transfer_pacing.h"

#include <algorithm>

#include "core/sock/sock.h"
#include "platform/base/tick.h"

namespace cvcore {

namespace {

constexpr uint32_t kLargeBlock = 256 * 1024;
constexpr uint32_t kTurnIntervalMs = 10;
constexpr uint32_t kPauseMs[] = {100, 20};  // after each block at priorities 0 and 1

}  // namespace

uint32_t TransferBlockSize(uint32_t priority, uint32_t bufferSize) noexcept {
  return priority < 2 ? bufferSize : std::max(bufferSize, kLargeBlock);
}

TransferTurns::TransferTurns() noexcept : lastTurn_(plat::GetTickCount()) {}

void TransferTurns::AfterBlock(uint32_t priority) noexcept {
  if (priority < 2) {
    SockYield(kPauseMs[priority]);
    return;
  }
  if (priority > 2) return;
  const uint32_t now = plat::GetTickCount();
  if (now - lastTurn_ < kTurnIntervalMs) return;
  lastTurn_ = now;
  SockYield(0);
}

}  // namespace cvcore
