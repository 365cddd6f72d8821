// The SSH-layer lock: one re-entrant lock for the library instance, live from the first
// initialisation to the last; taking it is a no-op while it does not exist. Sessions
// whose owner could not get the lock to close them wait here for the next holder.
#include <atomic>
#include <mutex>
#include <vector>

#include "core/sock/sock.h"
#include "platform/base/tick.h"
#include "ssh/net/ssh_net.h"
#include "ssh/proto/lifecycle.h"
#include "ssh/sftp/sftp.h"
#include "ssh/sftp/sftp_session.h"
#include "ssh/util/layer_lock.h"

namespace {

std::atomic<int32_t> g_count{-1};
// Never destroyed: a thread may still be leaving it when the count drops.
cvssh::LayerLock& Lock() {
  static auto* lock = new cvssh::LayerLock;
  return *lock;
}

constexpr int kTryLockAttempts = 10;
constexpr uint32_t kTryLockPauseMs = 100;

// Sessions handed over by SftpDeferDisconnect, freed by the next holder of the lock.
std::mutex g_deferredMutex;
std::vector<SshSession*> g_deferred;
std::atomic<bool> g_deferredPending{false};

// Runs with the lock held.
void FreeDeferred() {
  if (!g_deferredPending.load(std::memory_order_acquire)) return;
  std::vector<SshSession*> sessions;
  {
    std::lock_guard l(g_deferredMutex);
    sessions.swap(g_deferred);
    g_deferredPending.store(false);
  }
  for (SshSession* s : sessions) SshSessionFree(s);
}

}  // namespace

cvssh::LayerLock* cvssh::ActiveLayerLock() { return g_count.load() > 0 ? &Lock() : nullptr; }

int32_t SshInitialize() {
  int32_t previous = g_count.fetch_add(1);
  if (previous == -1) {
    g_count.fetch_add(1);
    // The layer's sockets need the socket layer whoever attached it.
    plat::WSADATA data;
    SockStartup(&data);
  }
  return 1;
}

int32_t SshUninitialize() {
  int32_t now = g_count.load();
  if (now == 1) {
    // The last one: whatever still waits for a close goes now, under the lock.
    Lock().Lock();
    FreeDeferred();
    Lock().Unlock();
  }
  now = g_count.fetch_sub(1) - 1;
  if (now == 0) {
    SshNetShutdown();
    SockCleanup();
  }
  if (now <= 0) g_count.store(-1);
  return 1;
}

void SshLock() {
  if (g_count.load() <= 0) return;
  Lock().Lock();
  FreeDeferred();
}

void SshUnlock() {
  if (g_count.load() > 0) Lock().Unlock();
}

int32_t SshTryLock() {
  if (g_count.load() <= 0) return 0;
  for (int i = 0; i < kTryLockAttempts; ++i) {
    if (Lock().TryLock()) {
      FreeDeferred();
      return 1;
    }
    plat::Sleep(kTryLockPauseMs);
  }
  return 0;
}

void SftpDeferDisconnect(SshSession* s) {
  if (!s) return;
  // The owner gives the session up: no event reaches it any more, and the server sees the
  // connection end now; the rest of the close waits for the lock.
  s->eventCallback = nullptr;
  const SOCKET socket = SshGetSocketHandle(s);
  if (socket != INVALID_SOCKET) SockShutdown(socket, plat::kSdBoth);
  {
    std::lock_guard l(g_deferredMutex);
    g_deferred.push_back(s);
    g_deferredPending.store(true, std::memory_order_release);
  }
  // Without a layer nobody would ever take the lock again: close it here.
  if (g_count.load() <= 0) FreeDeferred();
}
