#include "platform/version.h"

namespace plat {

const char* PlatformName() noexcept { return "cvplat"; }

}  // namespace plat
