#pragma once
#include <cstdint>

namespace plat {

// Name of the platform layer, for banners and diagnostics.
const char* PlatformName() noexcept;

// The operating-system version the libraries see. The default is NT 10.0; tests inject
// another (an old major version, or a failing query) to reach the version checks.
struct OsVersion {
  uint32_t major = 10;
  uint32_t minor = 0;
  uint32_t build = 0;
  uint32_t platformId = 2;  // 2: the NT family
};

// False when the version cannot be read.
bool GetOsVersion(OsVersion* out) noexcept;

// nullptr restores the default.
using OsVersionSource = bool (*)(OsVersion* out);
void SetOsVersionSourceForTesting(OsVersionSource source) noexcept;

}  // namespace plat
