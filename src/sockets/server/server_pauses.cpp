#include "sockets/server/server_pauses.h"

#include <atomic>

#include "platform/base/tick.h"

namespace cvsock {
namespace {
std::atomic<bool> pausesOn{true};
}

void SetServerPausesForTesting(bool on) noexcept { pausesOn.store(on, std::memory_order_relaxed); }

void ServerPause(uint32_t ms) noexcept {
  if (pausesOn.load(std::memory_order_relaxed)) plat::Sleep(ms);
}

}  // namespace cvsock
