// Registers a deliverable into the registry's classes (or removes it again with -u) by
// loading it and calling its DllRegisterServer or DllUnregisterServer. The registry root is
// the platform's (CV_REGISTRY_ROOT, else the user's default).
#include <dlfcn.h>

#include <cstdio>
#include <cstring>
#include <filesystem>
#include <string>

#include "platform/types.h"

namespace {

using EntryPoint = HRESULT (*)();

int Usage() {
  std::fprintf(stderr, "usage: cvregsvr [-u] module.so\n");
  return 2;
}

}  // namespace

int main(int argc, char** argv) {
  bool unregister = false;
  const char* path = nullptr;
  for (int i = 1; i < argc; ++i) {
    if (std::strcmp(argv[i], "-u") == 0)
      unregister = true;
    else if (!path)
      path = argv[i];
    else
      return Usage();
  }
  if (!path) return Usage();

  // The module records the path it was loaded from: make it absolute first.
  std::error_code ec;
  std::filesystem::path full = std::filesystem::canonical(path, ec);
  if (ec) {
    std::fprintf(stderr, "cvregsvr: %s: %s\n", path, ec.message().c_str());
    return 1;
  }
  void* module = ::dlopen(full.c_str(), RTLD_NOW | RTLD_LOCAL);
  if (!module) {
    std::fprintf(stderr, "cvregsvr: cannot load %s: %s\n", full.c_str(), ::dlerror());
    return 1;
  }
  const char* name = unregister ? "DllUnregisterServer" : "DllRegisterServer";
  auto entry = reinterpret_cast<EntryPoint>(::dlsym(module, name));
  if (!entry) {
    std::fprintf(stderr, "cvregsvr: %s has no entry point %s\n", full.c_str(), name);
    return 1;
  }
  HRESULT hr = entry();
  if (hr < 0) {
    std::fprintf(stderr, "cvregsvr: %s of %s failed: 0x%08X\n", name, full.c_str(), uint32_t(hr));
    return 1;
  }
  std::printf("%s %s\n", unregister ? "unregistered" : "registered", full.c_str());
  return 0;
}
