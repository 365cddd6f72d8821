#pragma once
// The calling thread's last error: one slot for both system and socket errors, as the
// libraries expect (a socket failure and a system failure are read the same way).
#include <cstdint>

namespace plat {

void SetLastError(uint32_t code) noexcept;
uint32_t GetLastError() noexcept;

// Windows error numbers the platform layer itself reports.
inline constexpr uint32_t ERROR_SUCCESS = 0;
inline constexpr uint32_t ERROR_INVALID_HANDLE = 6;
inline constexpr uint32_t ERROR_NOT_ENOUGH_MEMORY = 8;
inline constexpr uint32_t ERROR_INVALID_PARAMETER = 87;
inline constexpr uint32_t ERROR_INSUFFICIENT_BUFFER = 122;
inline constexpr uint32_t ERROR_NO_UNICODE_TRANSLATION = 1113;
inline constexpr uint32_t WAIT_TIMEOUT = 258;

}  // namespace plat
