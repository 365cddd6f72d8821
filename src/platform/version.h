#pragma once

namespace plat {

// Name of the platform layer, for banners and diagnostics.
const char* PlatformName() noexcept;

}  // namespace plat
