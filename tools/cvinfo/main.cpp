// The main job until the first control stands: attach each library built so far and
// print its banner and version.
#include <cstdio>

#include "platform/version.h"

int main() {
  std::printf("platform: %s\n", plat::PlatformName());
  return 0;
}
