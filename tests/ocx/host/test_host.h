#pragma once
// What the control tests play host with: a temporary registry root with an apartment, a
// container site (client site, in-place site, ambient properties), and calls by name.
#include <gtest/gtest.h>
#include <stdlib.h>

#include <filesystem>
#include <string>
#include <vector>

#include "platform/base/utf.h"
#include "platform/com/com.h"
#include "platform/com/unknown_impl.h"
#include "platform/msg/msg.h"

namespace testhost {

// CV_REGISTRY_ROOT in a fresh directory and an apartment on the test's thread.
class RegistryFixture : public ::testing::Test {
 protected:
  void SetUp() override {
    char templ[] = "/tmp/cvocxXXXXXX";
    ASSERT_NE(mkdtemp(templ), nullptr);
    dir_ = templ;
    setenv("CV_REGISTRY_ROOT", dir_.c_str(), 1);
    ASSERT_TRUE(SUCCEEDED(CoInitializeEx(nullptr, COINIT_APARTMENTTHREADED)));
  }
  void TearDown() override {
    CoUninitialize();
    std::filesystem::remove_all(dir_);
  }
  std::filesystem::path dir_;
};

// A container site. Ambient user mode: VT_BOOL userMode, or ambientType to answer another type.
class TestSite final : public IOleClientSite, public IOleInPlaceSite, public IDispatch, public plat::com::RefCount {
 public:
  bool userMode = true;
  VARTYPE ambientType = VT_BOOL;
  bool answerAmbient = true;
  HWND window = nullptr;
  int activations = 0;

  HRESULT QueryInterface(REFIID riid, void** ppv) override {
    return plat::com::QueryFromTable(riid, ppv,
                                     {{&IID_IOleClientSite, static_cast<IOleClientSite*>(this)},
                                      {&IID_IOleInPlaceSite, static_cast<IOleInPlaceSite*>(this)},
                                      {&IID_IOleWindow, static_cast<IOleInPlaceSite*>(this)},
                                      {&IID_IDispatch, static_cast<IDispatch*>(this)}});
  }
  CV_COM_REFCOUNT
  // IOleClientSite
  HRESULT SaveObject() override { return E_NOTIMPL; }
  HRESULT GetMoniker(DWORD, DWORD, IMoniker**) override { return E_NOTIMPL; }
  HRESULT GetContainer(IOleContainer**) override { return E_NOINTERFACE; }
  HRESULT ShowObject() override { return S_OK; }
  HRESULT OnShowWindow(BOOL) override { return S_OK; }
  HRESULT RequestNewObjectLayout() override { return E_NOTIMPL; }
  // IOleInPlaceSite
  HRESULT GetWindow(HWND* h) override {
    *h = window;
    return S_OK;
  }
  HRESULT ContextSensitiveHelp(BOOL) override { return E_NOTIMPL; }
  HRESULT CanInPlaceActivate() override { return S_OK; }
  HRESULT OnInPlaceActivate() override {
    ++activations;
    return S_OK;
  }
  HRESULT OnUIActivate() override { return S_OK; }
  HRESULT GetWindowContext(IOleInPlaceFrame**, IOleInPlaceUIWindow**, RECT*, RECT*, OLEINPLACEFRAMEINFO*) override {
    return E_NOTIMPL;
  }
  HRESULT Scroll(SIZEL) override { return E_NOTIMPL; }
  HRESULT OnUIDeactivate(BOOL) override { return S_OK; }
  HRESULT OnInPlaceDeactivate() override { return S_OK; }
  HRESULT DiscardUndoState() override { return S_OK; }
  HRESULT DeactivateAndUndo() override { return S_OK; }
  HRESULT OnPosRectChange(LPCRECT) override { return S_OK; }
  // IDispatch: the ambient properties
  HRESULT GetTypeInfoCount(UINT* n) override {
    *n = 0;
    return S_OK;
  }
  HRESULT GetTypeInfo(UINT, LCID, ITypeInfo**) override { return E_NOTIMPL; }
  HRESULT GetIDsOfNames(REFIID, LPOLESTR*, UINT, LCID, DISPID*) override { return E_NOTIMPL; }
  HRESULT Invoke(DISPID id, REFIID, LCID, WORD flags, DISPPARAMS*, VARIANT* result, EXCEPINFO*, UINT*) override {
    if (id != DISPID_AMBIENT_USERMODE || !(flags & DISPATCH_PROPERTYGET) || !answerAmbient)
      return DISP_E_MEMBERNOTFOUND;
    result->vt = ambientType;
    result->lVal = 0;
    if (ambientType == VT_BOOL) result->boolVal = userMode ? VARIANT_TRUE : VARIANT_FALSE;
    return S_OK;
  }
};

// Invoke by name: arguments in declared order; a put passes its value last.
struct CallResult {
  HRESULT hr = E_FAIL;
  VARIANT value{};
  EXCEPINFO excep{};
  ~CallResult() {
    VariantClear(&value);
    SysFreeString(excep.bstrSource);
    SysFreeString(excep.bstrDescription);
    SysFreeString(excep.bstrHelpFile);
  }
};

inline DISPID IdOf(IDispatch* d, const char16_t* name) {
  LPOLESTR names[] = {const_cast<LPOLESTR>(name)};
  DISPID id = DISPID_UNKNOWN;
  d->GetIDsOfNames(IID_NULL, names, 1, LOCALE_USER_DEFAULT, &id);
  return id;
}

inline void Call(IDispatch* d, const char16_t* name, WORD flags, std::vector<VARIANT> args, CallResult* out) {
  std::vector<VARIANT> reversed(args.rbegin(), args.rend());
  DISPID put = DISPID_PROPERTYPUT;
  DISPPARAMS dp{reversed.empty() ? nullptr : reversed.data(), nullptr, UINT(reversed.size()), 0};
  if (flags == DISPATCH_PROPERTYPUT) {
    dp.rgdispidNamedArgs = &put;
    dp.cNamedArgs = 1;
  }
  out->hr = d->Invoke(IdOf(d, name), IID_NULL, LOCALE_USER_DEFAULT, flags, &dp,
                      flags == DISPATCH_PROPERTYPUT ? nullptr : &out->value, &out->excep, nullptr);
}

inline VARIANT I4(int32_t v) {
  VARIANT r{};
  r.vt = VT_I4;
  r.lVal = v;
  return r;
}
inline VARIANT Missing() {
  VARIANT r{};
  r.vt = VT_ERROR;
  r.scode = DISP_E_PARAMNOTFOUND;
  return r;
}
inline VARIANT Ref(VARIANT* target) {
  VARIANT r{};
  r.vt = VT_BYREF | VT_VARIANT;
  r.pvarVal = target;
  return r;
}
// A BSTR VARIANT the caller clears.
inline VARIANT Str(const char16_t* s) {
  VARIANT r{};
  r.vt = VT_BSTR;
  r.bstrVal = SysAllocString(s);
  return r;
}
inline std::u16string Text(const VARIANT& v) {
  return v.vt == VT_BSTR && v.bstrVal ? std::u16string(v.bstrVal, SysStringLen(v.bstrVal)) : u"<not a string>";
}

// A top-level window standing for the container's window.
inline HWND MakeContainerWindow() {
  static bool registered = [] {
    plat::WNDCLASS wc;
    wc.lpfnWndProc = plat::DefWindowProc;
    wc.lpszClassName = "CvTestContainer";
    return plat::RegisterClass(&wc) != 0;
  }();
  (void)registered;
  return plat::CreateWindowEx(0, "CvTestContainer", "", plat::WS_OVERLAPPED, 0, 0, 100, 100, nullptr, nullptr,
                              nullptr, nullptr);
}

}  // namespace testhost
