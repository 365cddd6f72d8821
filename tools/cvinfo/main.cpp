// The main job until the first control stands: attach each library built so far, print
// its banner and version, and detach it again.
#include <cstdio>

#include "ftp/ftp.h"
#include "http/http.h"
#include "platform/version.h"

namespace {

struct Library {
  const char* name;
  int32_t (*attach)(LibVersionInfo*);
  void (*detach)();
  uint32_t (*lastError)();
  uint32_t (*errorText)(uint32_t, char*);
};

bool Show(const Library& lib) {
  LibVersionInfo info{};
  info.size = sizeof info;
  info.options = kLibAttachFull;
  if (lib.attach(&info) != 1) {
    char text[128];
    uint32_t code = lib.lastError();
    lib.errorText(code, text);
    std::printf("%s: attach failed: 0x%08X %s\n", lib.name, code, text);
    return false;
  }
  std::printf("%s: %s %u.%u (build %u)\n", lib.name, info.banner, info.majorVersion, info.minorVersion, info.build);
  lib.detach();
  return true;
}

}  // namespace

int main() {
  std::printf("platform: %s\n", plat::PlatformName());
  const Library libraries[] = {
      {"ftp", FtpAttach, FtpDetach, FtpGetLastError, FtpGetErrorText},
      {"http", HttpAttach, HttpDetach, HttpGetLastError, HttpGetErrorText},
  };
  bool ok = true;
  for (const Library& lib : libraries) ok = Show(lib) && ok;
  return ok ? 0 : 1;
}
