// Provider loading: once per process (per deliverable), safe from any thread.
#include <atomic>
#include <mutex>

#include "core/errors/error_codes.h"
#include "core/tls/sec_tls.h"
#include "platform/base/last_error.h"

namespace {

std::mutex g_lock;
std::atomic<bool> g_attempted{false};
std::atomic<bool> g_loaded{false};

}  // namespace

int32_t SecLoadProvider() {
  std::lock_guard<std::mutex> hold(g_lock);
  if (!g_attempted) {
    g_attempted = true;
    g_loaded = plat::TlsInitialize();
  }
  if (g_loaded) return 1;
  plat::SetLastError(cvErrorSecurityNotInitialized);
  return 0;
}

void SecUnloadProvider() {
  std::lock_guard<std::mutex> hold(g_lock);
  g_attempted = false;
  g_loaded = false;
}

bool SecProviderAttempted() { return g_attempted; }
bool SecProviderLoaded() { return g_loaded; }
