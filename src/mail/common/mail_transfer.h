#pragma once
// The timing figures of a transfer's progress record.
#include <cstdint>

#include "platform/base/tick.h"

namespace cvmail {

// Whole seconds since start (up to end; end 0: still running), the rate in bytes per
// second and the seconds left (3600 when unknown). Before the first second only elapsed
// is set: rate and left stay as they are.
inline void TransferTiming(uint32_t start, uint32_t end, uint32_t copied, uint32_t size, uint32_t& elapsed,
                           uint32_t& rate, uint32_t& left) noexcept {
  const uint32_t ms = (end ? end : plat::GetTickCount()) - start;
  elapsed = ms / 1000;
  if (ms < 1000) return;
  rate = copied / elapsed;
  left = (copied == 0 || rate == 0) ? 3600 : (size - copied) / rate;
}

}  // namespace cvmail
