#include "sockets/server/server_pauses.h"

#include <atomic>

#include "platform/base/tick.h"

namespace cvsock {
namespace {
std::atomic<bool> pausesOn{true};
thread_local uint32_t tSlept = 0;
}

void SetServerPausesForTesting(bool on) noexcept { pausesOn.store(on, std::memory_order_relaxed); }

void ServerPause(uint32_t ms) noexcept {
  if (!pausesOn.load(std::memory_order_relaxed)) return;
  plat::Sleep(ms);
  ++tSlept;
}

uint32_t ServerPausesSlept() noexcept { return tSlept; }

}  // namespace cvsock
