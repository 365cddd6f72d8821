// The SSH-layer lock: one re-entrant lock for the library instance, live from the first
// initialisation to the last; taking it is a no-op while it does not exist.
#include <atomic>

#include "platform/base/sync.h"
#include "platform/base/tick.h"
#include "ssh/net/ssh_net.h"
#include "ssh/sftp/sftp.h"

namespace {

std::atomic<int32_t> g_count{-1};
// Never destroyed: a thread may still be leaving it when the count drops.
plat::RecursiveLock g_lock;

constexpr int kTryLockAttempts = 10;
constexpr uint32_t kTryLockPauseMs = 100;

}  // namespace

int32_t SshInitialize() {
  int32_t previous = g_count.fetch_add(1);
  if (previous == -1) g_count.fetch_add(1);
  return 1;
}

int32_t SshUninitialize() {
  int32_t now = g_count.fetch_sub(1) - 1;
  if (now == 0) SshNetShutdown();
  if (now <= 0) g_count.store(-1);
  return 1;
}

void SshLock() {
  if (g_count.load() > 0) g_lock.lock();
}

void SshUnlock() {
  if (g_count.load() > 0) g_lock.unlock();
}

int32_t SshTryLock() {
  if (g_count.load() <= 0) return 0;
  for (int i = 0; i < kTryLockAttempts; ++i) {
    if (g_lock.try_lock()) return 1;
    plat::Sleep(kTryLockPauseMs);
  }
  return 0;
}
