// Binding of the external trace library: loaded on the first enable and kept loaded,
// accepted only when it reports the expected version.
#include "core/trace/trace_binding.h"

#include <dlfcn.h>

#include <cstdarg>
#include <cstdio>
#include <cstdlib>
#include <string>

#include "core/sock/binding.h"
#include "core/trace/trace.h"

namespace cvcore {

TraceBinding& Trace() {
  static TraceBinding binding;
  return binding;
}

namespace {

// The trace library installed beside the module that carries this binding (a deliverable,
// or a program linking the core), or empty when that module's path is unknown.
std::string BesideThisModule() {
  Dl_info info{};
  if (!::dladdr(reinterpret_cast<void*>(&Trace), &info) || !info.dli_fname) return {};
  const std::string self = info.dli_fname;
  const size_t slash = self.rfind('/');
  return slash == std::string::npos ? std::string() : self.substr(0, slash + 1) + kTraceLibraryName;
}

void* OpenTraceLibrary() {
  constexpr int kFlags = RTLD_NOW | RTLD_LOCAL;
  // A path given by the environment is the only one tried.
  if (const char* path = std::getenv(kTraceLibraryVariable); path && *path) return ::dlopen(path, kFlags);
  if (const std::string beside = BesideThisModule(); !beside.empty())
    if (void* module = ::dlopen(beside.c_str(), kFlags)) return module;
  return ::dlopen(kTraceLibraryName, kFlags);
}

}  // namespace

bool TraceBinding::Load() {
  std::lock_guard lock(loadLock_);
  if (module_) return true;
  void* module = OpenTraceLibrary();
  if (!module) return false;
  auto getVersion = reinterpret_cast<cvtrace::GetVersionFn>(::dlsym(module, cvtrace::kVersionEntry));
  cvtrace::DllVersionInfo info{sizeof(cvtrace::DllVersionInfo), 0, 0, 0, 0};
  if (!getVersion || getVersion(&info) != 0 || info.dwMajorVersion != cvtrace::kRequiredMajor ||
      info.dwMinorVersion != cvtrace::kRequiredMinor || info.dwBuildNumber < cvtrace::kMinimumBuild) {
    ::dlclose(module);
    return false;
  }
  for (const auto& e : cvtrace::kEntryNames) entries_[e.entry].store(::dlsym(module, e.name), std::memory_order_release);
  if (auto init = Hook<cvtrace::InitializeFn>(cvtrace::kInitialize)) {
    auto& ws = Binding().ws;
    init(ws.WSAGetLastError, ws.WSASetLastError);
  }
  module_ = module;
  return true;
}

int32_t TraceBinding::Enable(const char* file, int32_t flags) {
  if (!Binding().bound.load() || !Load()) return 0;
  while (starts_.fetch_add(1) + 1 < 1) {
  }
  auto start = Hook<cvtrace::StartFn>(cvtrace::kStart);
  return start ? start(file, flags) : 0;
}

int32_t TraceBinding::Disable() {
  int32_t n = starts_.load();
  do {
    if (n < 1) return 0;
  } while (!starts_.compare_exchange_weak(n, n - 1));
  auto stop = Hook<cvtrace::StopFn>(cvtrace::kStop);
  return stop ? stop(0) : 0;
}

void TraceBinding::DumpData(const void* data, int32_t length) {
  if (auto write = Hook<cvtrace::WriteFn>(cvtrace::kWrite)) write(cvtrace::kFlagHexDump, data, length);
}

int32_t TraceBinding::WriteLine(int32_t flags, const char* text) {
  auto write = Hook<cvtrace::WriteFn>(cvtrace::kWrite);
  return write ? write(flags & ~cvtrace::kFlagHexDump, text, 0) : 0;
}

}  // namespace cvcore

int32_t TraceEnable(const char* file, int32_t flags) { return cvcore::Trace().Enable(file, flags); }

int32_t TraceDisable() { return cvcore::Trace().Disable(); }

void TraceDumpData(const void* data, int32_t length) { cvcore::Trace().DumpData(data, length); }

int32_t TracePrintf(int32_t flags, const char* format, ...) {
  if (!format || !*format || !cvcore::Trace().Hook<cvtrace::WriteFn>(cvtrace::kWrite)) return 0;
  char line[1024];  // longer lines are cut at 1,023 characters
  va_list args;
  va_start(args, format);
  std::vsnprintf(line, sizeof line, format, args);
  va_end(args);
  return cvcore::Trace().WriteLine(flags, line);
}
