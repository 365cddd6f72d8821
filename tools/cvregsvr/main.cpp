// Registers deliverables into the registry's classes (or removes them again with -u) by
// loading each and calling its DllRegisterServer or DllUnregisterServer. The registry root
// is the platform's (CV_REGISTRY_ROOT, else the user's default).
#include <dlfcn.h>

#include <algorithm>
#include <cstdio>
#include <cstring>
#include <filesystem>
#include <string>
#include <vector>

#include "platform/types.h"

namespace {

using EntryPoint = HRESULT (*)();

constexpr const char* kUsage =
    "usage: cvregsvr [-u] MODULE...\n"
    "       cvregsvr [-u] --all DIR\n"
    "       cvregsvr --help\n"
    "\n"
    "Registers each control module (a .so) so that hosts create its controls by ProgID,\n"
    "or with -u removes its registration. --all takes every module in DIR that has the\n"
    "registration entry points (cvregsvr --all build/lib registers all seven controls).\n"
    "The registry is $CV_REGISTRY_ROOT when set, else ~/.config/corvanetics/registry.\n"
    "Exit status: 0 when every module was done, 1 when one failed, 2 for bad usage.\n";

int Usage() {
  std::fputs(kUsage, stderr);
  return 2;
}

// The loaded module, unloaded again at the end of the scope.
struct Module {
  void* handle = nullptr;
  explicit Module(const char* path) : handle(::dlopen(path, RTLD_NOW | RTLD_LOCAL)) {}
  ~Module() {
    if (handle) ::dlclose(handle);
  }
};

const char* EntryName(bool unregister) { return unregister ? "DllUnregisterServer" : "DllRegisterServer"; }

bool Register(const std::string& path, bool unregister) {
  // The module records the path it was loaded from: make it absolute first.
  std::error_code ec;
  const std::filesystem::path full = std::filesystem::canonical(path, ec);
  if (ec) {
    std::fprintf(stderr, "cvregsvr: %s: %s\n", path.c_str(), ec.message().c_str());
    return false;
  }
  Module module(full.c_str());
  if (!module.handle) {
    std::fprintf(stderr, "cvregsvr: cannot load %s: %s\n", full.c_str(), ::dlerror());
    return false;
  }
  const char* name = EntryName(unregister);
  auto entry = reinterpret_cast<EntryPoint>(::dlsym(module.handle, name));
  if (!entry) {
    std::fprintf(stderr, "cvregsvr: %s has no entry point %s\n", full.c_str(), name);
    return false;
  }
  if (HRESULT hr = entry(); hr < 0) {
    std::fprintf(stderr, "cvregsvr: %s of %s failed: 0x%08X\n", name, full.c_str(), uint32_t(hr));
    return false;
  }
  std::printf("%s %s\n", unregister ? "unregistered" : "registered", full.c_str());
  return true;
}

// The modules of a folder that have the entry point, in name order; other libraries there
// (the platform's) are passed over.
bool ModulesIn(const std::string& dir, bool unregister, std::vector<std::string>* modules) {
  std::error_code ec;
  std::vector<std::string> found;
  for (const auto& entry : std::filesystem::directory_iterator(dir, ec)) {
    if (entry.path().extension() != ".so") continue;
    Module module(entry.path().c_str());
    if (module.handle && ::dlsym(module.handle, EntryName(unregister))) found.push_back(entry.path().string());
  }
  if (ec) {
    std::fprintf(stderr, "cvregsvr: %s: %s\n", dir.c_str(), ec.message().c_str());
    return false;
  }
  if (found.empty()) {
    std::fprintf(stderr, "cvregsvr: %s holds no control module\n", dir.c_str());
    return false;
  }
  std::sort(found.begin(), found.end());
  modules->insert(modules->end(), found.begin(), found.end());
  return true;
}

}  // namespace

int main(int argc, char** argv) {
  bool unregister = false;
  const char* all = nullptr;
  std::vector<std::string> modules;
  for (int i = 1; i < argc; ++i) {
    if (!std::strcmp(argv[i], "--help") || !std::strcmp(argv[i], "-h")) {
      std::fputs(kUsage, stdout);
      return 0;
    }
    if (!std::strcmp(argv[i], "-u")) {
      unregister = true;
    } else if (!std::strcmp(argv[i], "--all")) {
      if (all || i + 1 >= argc) return Usage();
      all = argv[++i];
    } else if (argv[i][0] == '-') {
      return Usage();
    } else {
      modules.push_back(argv[i]);
    }
  }
  if (all && !modules.empty()) return Usage();
  if (all && !ModulesIn(all, unregister, &modules)) return 1;
  if (modules.empty()) return Usage();
  bool ok = true;
  for (const std::string& module : modules) ok = Register(module, unregister) && ok;
  return ok ? 0 : 1;
}
