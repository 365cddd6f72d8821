#pragma once
// How a transfer loop gives the thread's message loop its turn. At the slow priorities a
// user chose (0 background, 1 low) every block is followed by a pause, which sets the rate,
// and blocks stay the session's buffer size; at the normal priority (2) the message loop
// gets one wait step per turn interval however many blocks went, so large blocks on a fast
// connection do not each pay a poll; the high priorities (3, 4) never yield.
#include <cstdint>

namespace cvcore {

// A block of a transfer at priority, for a session whose buffer is bufferSize bytes.
uint32_t TransferBlockSize(uint32_t priority, uint32_t bufferSize) noexcept;

class TransferTurns {
 public:
  TransferTurns() noexcept;
  // After a block: the pause or the wait step due at priority.
  void AfterBlock(uint32_t priority) noexcept;

 private:
  uint32_t lastTurn_;
};

}  // namespace cvcore
