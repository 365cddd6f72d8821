#include "ssh/crypto/cpu_features.h"

#include <atomic>
#include <cpuid.h>

namespace cvssh::crypto {
namespace {

struct Features {
  bool aes = false;
  bool sha = false;
};

Features Detect() noexcept {
  Features f;
  unsigned a = 0, b = 0, c = 0, d = 0;
  if (!__get_cpuid(1, &a, &b, &c, &d)) return f;
  const bool sse41 = (c & bit_SSE4_1) != 0;
  const bool ssse3 = (c & bit_SSSE3) != 0;
  f.aes = sse41 && ssse3 && (c & bit_AES) != 0;
  if (__get_cpuid_count(7, 0, &a, &b, &c, &d)) f.sha = sse41 && ssse3 && (b & bit_SHA) != 0;
  return f;
}

// Detected once at load time: a constant afterwards, so threads never race on it.
const Features kFeatures = Detect();
std::atomic<bool> g_forcePortable{false};

}  // namespace

bool CpuHasAesNi() noexcept { return kFeatures.aes; }
bool CpuHasShaNi() noexcept { return kFeatures.sha; }
void ForcePortableCrypto(bool force) noexcept { g_forcePortable.store(force, std::memory_order_relaxed); }
bool PortableCryptoForced() noexcept { return g_forcePortable.load(std::memory_order_relaxed); }

}  // namespace cvssh::crypto
