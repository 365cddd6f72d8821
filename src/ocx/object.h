#pragma once
// The root of every COM object of a deliverable: one reference count, an optional outer
// object (aggregation) and an interface lookup the concrete class answers. The object count
// of the module rises for every live object, so DllCanUnloadNow can answer.
#include <atomic>

#include "platform/com/com.h"

namespace ocx {

class ObjectRoot {
 public:
  ObjectRoot(const ObjectRoot&) = delete;
  ObjectRoot& operator=(const ObjectRoot&) = delete;

  // The non-delegating side: what an aggregating outer object holds.
  HRESULT InnerQueryInterface(REFIID riid, void** ppv);
  ULONG InnerAddRef();
  ULONG InnerRelease();
  IUnknown* InnerUnknown() { return &inner_; }

  // The controlling unknown: the outer object when aggregated, else the inner one. Every
  // interface's IUnknown slots go through these.
  IUnknown* Controlling() { return outer_ ? outer_ : &inner_; }
  HRESULT OuterQueryInterface(REFIID riid, void** ppv) {
    return outer_ ? outer_->QueryInterface(riid, ppv) : InnerQueryInterface(riid, ppv);
  }
  ULONG OuterAddRef() { return outer_ ? outer_->AddRef() : InnerAddRef(); }
  ULONG OuterRelease() { return outer_ ? outer_->Release() : InnerRelease(); }

  // Runs after construction; a failure makes the creation fail and destroys the object.
  virtual HRESULT FinalConstruct() { return S_OK; }
  bool Aggregated() const { return outer_ != nullptr; }

 protected:
  explicit ObjectRoot(IUnknown* outer);
  virtual ~ObjectRoot();
  // The interface for riid, without a reference, or null. IID_IUnknown is answered here.
  virtual IUnknown* FindInterface(REFIID riid) = 0;
  // Runs once when the last reference goes, before the destructor; the object may still
  // call itself (the count is held up meanwhile).
  virtual void FinalRelease() {}

 private:
  struct Inner final : IUnknown {
    ObjectRoot* owner;
    HRESULT QueryInterface(REFIID riid, void** ppv) override { return owner->InnerQueryInterface(riid, ppv); }
    ULONG AddRef() override { return owner->InnerAddRef(); }
    ULONG Release() override { return owner->InnerRelease(); }
  };
  Inner inner_;
  IUnknown* outer_;
  std::atomic<ULONG> refs_{0};
};

// Keeps an object alive for the length of one interface entry: a host may drop its last
// reference from inside an event the entry fires. The object is released normally when the
// outermost guard ends. The guard holds the object's own count, never an outer object's: an
// outer object that is going away must not be revived by its inner object's calls.
class CallGuard {
 public:
  explicit CallGuard(ObjectRoot* object) : object_(object) { object_->InnerAddRef(); }
  ~CallGuard() { object_->InnerRelease(); }
  CallGuard(const CallGuard&) = delete;
  CallGuard& operator=(const CallGuard&) = delete;

 private:
  ObjectRoot* object_;
};

// Creates T (constructor taking the outer unknown), runs FinalConstruct and hands out riid.
// An outer object may only ask for IUnknown, and then receives the inner unknown.
template <class T>
HRESULT CreateObject(IUnknown* outer, REFIID riid, void** ppv) {
  if (!ppv) return E_POINTER;
  *ppv = nullptr;
  if (outer && !IsEqualIID(riid, IID_IUnknown)) return CLASS_E_NOAGGREGATION;
  T* object = nullptr;
  try {
    object = new T(outer);
  } catch (...) {
    return E_OUTOFMEMORY;
  }
  object->InnerAddRef();  // held while constructing
  HRESULT hr = object->FinalConstruct();
  if (SUCCEEDED(hr)) hr = object->InnerQueryInterface(riid, ppv);
  object->InnerRelease();
  return hr;
}

}  // namespace ocx

// Defines the IUnknown slots of a class whose interfaces all route through ObjectRoot.
#define CV_OCX_IUNKNOWN                                                                                  \
  HRESULT QueryInterface(REFIID riid, void** ppv) override { return OuterQueryInterface(riid, ppv); }    \
  ULONG AddRef() override { return OuterAddRef(); }                                                      \
  ULONG Release() override { return OuterRelease(); }
