// The per-thread error object and the object CreateErrorInfo makes.
#include <string>

#include "platform/base/utf.h"
#include "platform/com/com.h"
#include "platform/com/unknown_impl.h"

namespace {

class ErrorInfo final : public IErrorInfo, public ICreateErrorInfo, public plat::com::RefCount {
 public:
  HRESULT QueryInterface(REFIID riid, void** ppv) override {
    return plat::com::QueryFromTable(riid, ppv, {{&IID_IErrorInfo, static_cast<IErrorInfo*>(this)},
                                                 {&IID_ICreateErrorInfo, static_cast<ICreateErrorInfo*>(this)}});
  }
  CV_COM_REFCOUNT

  HRESULT GetGUID(GUID* p) override {
    if (!p) return E_INVALIDARG;
    *p = guid_;
    return S_OK;
  }
  HRESULT GetSource(BSTR* p) override { return Out(source_, p); }
  HRESULT GetDescription(BSTR* p) override { return Out(description_, p); }
  HRESULT GetHelpFile(BSTR* p) override { return Out(helpFile_, p); }
  HRESULT GetHelpContext(DWORD* p) override {
    if (!p) return E_INVALIDARG;
    *p = helpContext_;
    return S_OK;
  }

  HRESULT SetGUID(REFGUID g) override {
    guid_ = g;
    return S_OK;
  }
  HRESULT SetSource(LPOLESTR s) override { return In(source_, s); }
  HRESULT SetDescription(LPOLESTR s) override { return In(description_, s); }
  HRESULT SetHelpFile(LPOLESTR s) override { return In(helpFile_, s); }
  HRESULT SetHelpContext(DWORD c) override {
    helpContext_ = c;
    return S_OK;
  }

 private:
  static HRESULT Out(const std::u16string& s, BSTR* p) {
    if (!p) return E_INVALIDARG;
    *p = SysAllocStringLen(s.data(), UINT(s.size()));
    return *p ? S_OK : E_OUTOFMEMORY;
  }
  static HRESULT In(std::u16string& field, LPOLESTR s) {
    field = s ? s : u"";
    return S_OK;
  }

  GUID guid_ = GUID_NULL;
  std::u16string source_, description_, helpFile_;
  DWORD helpContext_ = 0;
};

// Releases the thread's error object when the thread ends.
struct Slot {
  IErrorInfo* info = nullptr;
  ~Slot() {
    if (info) info->Release();
  }
};
thread_local Slot t_slot;

}  // namespace

HRESULT SetErrorInfo(ULONG, IErrorInfo* perrinfo) {
  if (perrinfo) perrinfo->AddRef();
  IErrorInfo* old = t_slot.info;
  t_slot.info = perrinfo;
  if (old) old->Release();
  return S_OK;
}

HRESULT GetErrorInfo(ULONG, IErrorInfo** pperrinfo) {
  if (!pperrinfo) return E_INVALIDARG;
  *pperrinfo = t_slot.info;
  t_slot.info = nullptr;
  return *pperrinfo ? S_OK : S_FALSE;
}

HRESULT CreateErrorInfo(ICreateErrorInfo** pperrinfo) {
  if (!pperrinfo) return E_INVALIDARG;
  *pperrinfo = new (std::nothrow) ErrorInfo;
  return *pperrinfo ? S_OK : E_OUTOFMEMORY;
}
