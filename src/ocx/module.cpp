#include "ocx/module.h"

#include <dlfcn.h>

#include <new>

#include "ocx/registration.h"
#include "platform/com/unknown_impl.h"

namespace ocx {
namespace {

class ClassFactory final : public IClassFactory, public plat::com::RefCount {
 public:
  explicit ClassFactory(CreateFunction create) : create_(create) {}
  HRESULT QueryInterface(REFIID riid, void** ppv) override {
    return plat::com::QueryFromTable(riid, ppv, {{&IID_IClassFactory, this}});
  }
  CV_COM_REFCOUNT
  HRESULT CreateInstance(IUnknown* outer, REFIID riid, void** ppv) override { return create_(outer, riid, ppv); }
  HRESULT LockServer(BOOL lock) override {
    if (lock)
      Module::Instance().Lock();
    else
      Module::Instance().Unlock();
    return S_OK;
  }

 private:
  CreateFunction create_;
};

}  // namespace

Module& Module::Instance() {
  static Module module;
  return module;
}

const ClassEntry* Module::FindClass(REFCLSID clsid) const {
  for (const ClassEntry& c : classes_)
    if (IsEqualCLSID(c.descriptor->clsid, clsid)) return &c;
  return nullptr;
}

HRESULT Module::GetClassObject(REFCLSID clsid, REFIID riid, void** ppv) {
  if (!ppv) return E_POINTER;
  *ppv = nullptr;
  const ClassEntry* entry = FindClass(clsid);
  if (!entry) return CLASS_E_CLASSNOTAVAILABLE;
  auto* factory = new (std::nothrow) ClassFactory(entry->create);
  if (!factory) return E_OUTOFMEMORY;
  HRESULT hr = factory->QueryInterface(riid, ppv);
  factory->Release();
  return hr;
}

HRESULT Module::RegisterServer() {
  std::string path = ModulePath();
  if (path.empty()) return E_UNEXPECTED;
  for (const ClassEntry& c : classes_)
    if (HRESULT hr = RegisterControl(*c.descriptor, path); FAILED(hr)) return hr;
  return S_OK;
}

HRESULT Module::UnregisterServer() {
  HRESULT result = S_OK;
  for (const ClassEntry& c : classes_)
    if (HRESULT hr = UnregisterControl(*c.descriptor); FAILED(hr)) result = hr;
  return result;
}

std::string Module::ModulePath() {
  Dl_info info{};
  if (!::dladdr(reinterpret_cast<void*>(&Module::Instance), &info) || !info.dli_fname) return {};
  return info.dli_fname;
}

void* Module::ModuleHandle() {
  Dl_info info{};
  if (!::dladdr(reinterpret_cast<void*>(&Module::Instance), &info)) return nullptr;
  return info.dli_fbase;
}

}  // namespace ocx
