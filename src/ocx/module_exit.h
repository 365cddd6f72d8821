#pragma once
// An exit handler of the module being built: run when the module is unloaded, or at the
// process's exit while it stays loaded. A plain atexit() handler may be kept by the
// process (some runtimes' interceptors drop the module it belongs to) and then run after
// the module is gone.

extern "C" {
extern void* __dso_handle;
int __cxa_atexit(void (*function)(void*), void* argument, void* module);
}

namespace ocx {
namespace {  // each module's own copy, so that __dso_handle names that module

inline void AtModuleExit(void (*handler)()) {
  __cxa_atexit([](void* h) { reinterpret_cast<void (*)()>(h)(); }, reinterpret_cast<void*>(handler), &__dso_handle);
}

}  // namespace
}  // namespace ocx
