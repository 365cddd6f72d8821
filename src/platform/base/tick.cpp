#include "platform/base/tick.h"

#include <sched.h>
#include <time.h>

#include <atomic>
#include <cerrno>

namespace plat {

namespace {
std::atomic<TickSource> g_source{nullptr};

uint64_t MonotonicMs() {
  timespec ts{};
  clock_gettime(CLOCK_MONOTONIC, &ts);
  return uint64_t(ts.tv_sec) * 1000u + uint64_t(ts.tv_nsec) / 1000000u;
}
}  // namespace

uint64_t GetTickCount64() noexcept {
  TickSource s = g_source.load(std::memory_order_acquire);
  return s ? s() : MonotonicMs();
}

uint32_t GetTickCount() noexcept { return uint32_t(GetTickCount64()); }

void SetTickSourceForTesting(TickSource source) noexcept { g_source.store(source, std::memory_order_release); }

void Sleep(uint32_t ms) noexcept {
  if (ms == 0) {
    sched_yield();
    return;
  }
  timespec req{time_t(ms / 1000), long(ms % 1000) * 1000000L};
  while (nanosleep(&req, &req) != 0 && errno == EINTR) {
  }
}

}  // namespace plat
