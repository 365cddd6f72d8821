#pragma once
// The module object of a deliverable: its classes, the counts of live objects and of server
// locks, and the four exported entry points built on them.
#include <atomic>
#include <span>
#include <string>

#include "ocx/descriptor.h"
#include "platform/com/com.h"

namespace ocx {

using CreateFunction = HRESULT (*)(IUnknown* outer, REFIID riid, void** ppv);

struct ClassEntry {
  const ControlDescriptor* descriptor;
  CreateFunction create;
};

class Module {
 public:
  // One per deliverable: each shared library links its own copy of this framework.
  static Module& Instance();

  // The deliverable's classes; called from its load routine before any other entry point.
  void Init(std::span<const ClassEntry> classes) { classes_ = classes; }
  // Forgets the classes (the class factories are static and need no release).
  void Term() { classes_ = {}; }

  void ObjectCreated() { ++objects_; }
  void ObjectDestroyed() { --objects_; }
  void Lock() { ++locks_; }
  void Unlock() { --locks_; }
  long ObjectCount() const { return objects_.load(); }
  long LockCount() const { return locks_.load(); }

  HRESULT GetClassObject(REFCLSID clsid, REFIID riid, void** ppv);
  HRESULT CanUnloadNow() const { return objects_ == 0 && locks_ == 0 ? S_OK : S_FALSE; }
  HRESULT RegisterServer();
  HRESULT UnregisterServer();

  // Path of the shared library (or program) this copy of the framework lives in.
  static std::string ModulePath();
  // A handle that stands for this module (window classes, library process attach).
  static void* ModuleHandle();

  const ClassEntry* FindClass(REFCLSID clsid) const;

 private:
  std::span<const ClassEntry> classes_;
  std::atomic<long> objects_{0};
  std::atomic<long> locks_{0};
};

}  // namespace ocx

// Defines the four entry points a deliverable exports; its version script keeps every other
// symbol local.
#define CV_OCX_EXPORT_ENTRY_POINTS                                                                      \
  extern "C" __attribute__((visibility("default"))) HRESULT DllGetClassObject(REFCLSID c, REFIID i,      \
                                                                              void** p) {                \
    return ::ocx::Module::Instance().GetClassObject(c, i, p);                                            \
  }                                                                                                      \
  extern "C" __attribute__((visibility("default"))) HRESULT DllCanUnloadNow() {                          \
    return ::ocx::Module::Instance().CanUnloadNow();                                                     \
  }                                                                                                      \
  extern "C" __attribute__((visibility("default"))) HRESULT DllRegisterServer() {                        \
    return ::ocx::Module::Instance().RegisterServer();                                                   \
  }                                                                                                      \
  extern "C" __attribute__((visibility("default"))) HRESULT DllUnregisterServer() {                      \
    return ::ocx::Module::Instance().UnregisterServer();                                                 \
  }
