#include <cstdlib>

#include "platform/registry/registry.h"

namespace plat {

std::filesystem::path RegistryRoot() {
  if (const char* env = std::getenv("CV_REGISTRY_ROOT"); env && *env) return env;
  std::filesystem::path config;
  if (const char* xdg = std::getenv("XDG_CONFIG_HOME"); xdg && *xdg) {
    config = xdg;
  } else {
    const char* home = std::getenv("HOME");
    config = std::filesystem::path(home && *home ? home : "/tmp") / ".config";
  }
  return config / "corvanetics" / "registry";
}

}  // namespace plat
