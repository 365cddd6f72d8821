#include "platform/version.h"

#include <atomic>

namespace plat {

namespace {
std::atomic<OsVersionSource> g_versionSource{nullptr};
}

const char* PlatformName() noexcept { return "cvplat"; }

bool GetOsVersion(OsVersion* out) noexcept {
  if (!out) return false;
  if (OsVersionSource s = g_versionSource.load()) return s(out);
  *out = OsVersion{};
  return true;
}

void SetOsVersionSourceForTesting(OsVersionSource source) noexcept { g_versionSource.store(source); }

}  // namespace plat
