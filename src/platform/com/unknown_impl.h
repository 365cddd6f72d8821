#pragma once
// A reference count and QueryInterface over a list of (IID, interface) pairs for the runtime's
// own small objects.
#include <atomic>
#include <initializer_list>
#include <utility>

#include "platform/com/interfaces.h"

namespace plat::com {

class RefCount {
 public:
  virtual ~RefCount() = default;
  ULONG AddRefImpl() { return ++refs_; }
  ULONG ReleaseImpl() {
    ULONG left = --refs_;
    if (left == 0) delete this;
    return left;
  }

 private:
  std::atomic<ULONG> refs_{1};
};

// Answers from the table; IID_IUnknown maps to the first entry.
inline HRESULT QueryFromTable(REFIID riid, void** ppv, std::initializer_list<std::pair<const IID*, IUnknown*>> table) {
  if (!ppv) return E_POINTER;
  *ppv = nullptr;
  for (const auto& [iid, itf] : table) {
    if (IsEqualIID(riid, *iid) || IsEqualIID(riid, IID_IUnknown)) {
      itf->AddRef();
      *ppv = itf;
      return S_OK;
    }
  }
  return E_NOINTERFACE;
}

}  // namespace plat::com

// Defines AddRef/Release of a class deriving from plat::com::RefCount.
#define CV_COM_REFCOUNT                                 \
  ULONG AddRef() override { return AddRefImpl(); }      \
  ULONG Release() override { return ReleaseImpl(); }
