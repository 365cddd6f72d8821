#include "sockets/server/server_pauses.h"

#include <sys/prctl.h>
#include <time.h>

#include <atomic>
#include <cerrno>
#include <cstdint>

#include "platform/base/tick.h"

namespace cvsock {
namespace {
std::atomic<bool> pausesOn{true};
thread_local uint32_t tSlept = 0;
}

void SetServerPausesForTesting(bool on) noexcept { pausesOn.store(on, std::memory_order_relaxed); }

void ServerPause(uint32_t ms) noexcept {
  if (!pausesOn.load(std::memory_order_relaxed)) return;
  // Until a deadline rather than for a span: a signal that interrupts the sleep does not
  // make it longer.
  timespec until{};
  if (ms == 0 || ::clock_gettime(CLOCK_MONOTONIC, &until) != 0) {
    plat::Sleep(ms);
  } else {
    const int64_t ns = int64_t(until.tv_nsec) + int64_t(ms % 1000) * 1000000;
    until.tv_sec += time_t(ms / 1000 + ns / 1000000000);
    until.tv_nsec = long(ns % 1000000000);
    while (::clock_nanosleep(CLOCK_MONOTONIC, TIMER_ABSTIME, &until, nullptr) == EINTR) {
    }
  }
  ++tSlept;
}

uint32_t ServerPausesSlept() noexcept { return tSlept; }

void ServerSleepOnTime() noexcept { ::prctl(PR_SET_TIMERSLACK, 1UL, 0UL, 0UL, 0UL); }

}  // namespace cvsock
