#include "platform/base/last_error.h"

namespace plat {

namespace {
thread_local uint32_t t_lastError = 0;
}

void SetLastError(uint32_t code) noexcept { t_lastError = code; }
uint32_t GetLastError() noexcept { return t_lastError; }

}  // namespace plat
