#pragma once
// Millisecond tick count: monotonic, cut to 32 bits so it wraps after about 49.7 days like
// the original. Compare ticks with unsigned differences (now - start), never with "<".
#include <cstdint>

namespace plat {

uint32_t GetTickCount() noexcept;
uint64_t GetTickCount64() noexcept;

// Tests replace the clock with their own source; nullptr restores the monotonic clock.
using TickSource = uint64_t (*)();
void SetTickSourceForTesting(TickSource source) noexcept;

// Sleeps the calling thread for ms milliseconds (0 yields the processor).
void Sleep(uint32_t ms) noexcept;

}  // namespace plat
