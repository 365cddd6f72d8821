#include "ocx/object.h"

#include <limits>

#include "ocx/module.h"

namespace ocx {

namespace {
// Held while FinalRelease runs so that calls the object makes on itself cannot bring the count
// to zero a second time.
constexpr ULONG kReleasing = std::numeric_limits<ULONG>::max() / 2;
}  // namespace

ObjectRoot::ObjectRoot(IUnknown* outer) : outer_(outer) {
  inner_.owner = this;
  Module::Instance().ObjectCreated();
}

ObjectRoot::~ObjectRoot() { Module::Instance().ObjectDestroyed(); }

HRESULT ObjectRoot::InnerQueryInterface(REFIID riid, void** ppv) {
  if (!ppv) return E_POINTER;
  *ppv = nullptr;
  IUnknown* itf = IsEqualIID(riid, IID_IUnknown) ? &inner_ : FindInterface(riid);
  if (!itf) return E_NOINTERFACE;
  itf->AddRef();
  *ppv = itf;
  return S_OK;
}

ULONG ObjectRoot::InnerAddRef() { return ++refs_; }

ULONG ObjectRoot::InnerRelease() {
  ULONG left = --refs_;
  if (left == 0) {
    refs_ = kReleasing;
    FinalRelease();
    delete this;
  }
  return left;
}

}  // namespace ocx
