#pragma once
// A small dual-interface object with one event interface, used by the dispatcher tests and
// served by the test module.
#include <atomic>
#include <string>

#include "platform/com/com.h"
#include "platform/com/connection_point.h"
#include "platform/com/dispatch.h"

namespace testcom {
namespace p = plat::com::p;

#define ITESTOBJECT_MEMBERS(X)                                            \
  X(METHOD, About, -552, "")                                              \
  X(GET, Name, 1, "", p::BstrOut)                                         \
  X(PUT, Name, 1, "", p::Bstr)                                            \
  X(GET, Item, 2, "Index", p::I4, p::I4Out)                               \
  X(PUT, Item, 2, "Index", p::I4, p::I4)                                  \
  X(GET, Ratio, 3, "", p::R8Out)                                          \
  X(METHOD, Add, 4, "A,B,Sum", p::I4, p::I4, p::VarRef)                   \
  X(METHOD, Describe, 5, "Text,Extra,Result", p::Bstr, p::Var, p::VarRef) \
  X(METHOD, Fail, 6, "Code", p::I4)                                       \
  X(GET, Flag, 7, "", p::BoolOut)                                         \
  X(PUT, Flag, 7, "", p::Bool)
CV_DISPATCH_INTERFACE(ITestObject, ITESTOBJECT_MEMBERS)

// {6C1B7E52-3D0A-4F51-9B0E-7A1D2C3B4A01} and neighbours.
inline constexpr IID IID_ITestObject = {0x6C1B7E52, 0x3D0A, 0x4F51, {0x9B, 0x0E, 0x7A, 0x1D, 0x2C, 0x3B, 0x4A, 0x01}};
inline constexpr IID DIID_ITestEvents = {0x6C1B7E52, 0x3D0A, 0x4F51, {0x9B, 0x0E, 0x7A, 0x1D, 0x2C, 0x3B, 0x4A, 0x02}};
inline constexpr CLSID CLSID_TestObject = {0x6C1B7E52, 0x3D0A, 0x4F51, {0x9B, 0x0E, 0x7A, 0x1D, 0x2C, 0x3B, 0x4A, 0x03}};
inline constexpr DISPID DISPID_OnResult = 1;  // (Code: I4, Text: BSTR)

inline std::atomic<int> g_objects{0};

class TestObject final : public plat::com::DispatchImpl<ITestObject>,
                         public IConnectionPointContainer,
                         public ISupportErrorInfo {
 public:
  TestObject() { ++g_objects; }
  ~TestObject() {
    SysFreeString(name_);
    --g_objects;
  }

  HRESULT QueryInterface(REFIID riid, void** ppv) override {
    if (!ppv) return E_POINTER;
    *ppv = nullptr;
    if (riid == IID_IUnknown || riid == IID_IDispatch || riid == IID_ITestObject) *ppv = static_cast<ITestObject*>(this);
    else if (riid == IID_IConnectionPointContainer) *ppv = static_cast<IConnectionPointContainer*>(this);
    else if (riid == IID_ISupportErrorInfo) *ppv = static_cast<ISupportErrorInfo*>(this);
    else return E_NOINTERFACE;
    AddRef();
    return S_OK;
  }
  ULONG AddRef() override { return ++refs_; }
  ULONG Release() override {
    ULONG left = --refs_;
    if (!left) delete this;
    return left;
  }

  HRESULT EnumConnectionPoints(IEnumConnectionPoints** ppEnum) override {
    return plat::com::CreateConnectionPointEnumerator({&events_}, ppEnum);
  }
  HRESULT FindConnectionPoint(REFIID riid, IConnectionPoint** ppCP) override {
    if (!ppCP) return E_POINTER;
    *ppCP = nullptr;
    if (riid != DIID_ITestEvents) return CONNECT_E_NOCONNECTION;
    events_.AddRef();
    *ppCP = &events_;
    return S_OK;
  }
  HRESULT InterfaceSupportsErrorInfo(REFIID riid) override { return riid == IID_ITestObject ? S_OK : S_FALSE; }

  HRESULT About() override { return S_OK; }
  HRESULT get_Name(BSTR* out) override {
    *out = SysAllocStringLen(name_, SysStringLen(name_));
    return S_OK;
  }
  HRESULT put_Name(BSTR value) override {
    SysReAllocStringLen(&name_, value, SysStringLen(value));
    return S_OK;
  }
  HRESULT get_Item(int32_t index, int32_t* out) override {
    if (index < 0 || index > 3) return Raise(HRESULT(0x800A017D), u"Invalid property array index");
    *out = items_[index];
    return S_OK;
  }
  HRESULT put_Item(int32_t index, int32_t value) override {
    if (index < 0 || index > 3) return Raise(HRESULT(0x800A017D), u"Invalid property array index");
    items_[index] = value;
    return S_OK;
  }
  HRESULT get_Ratio(double* out) override {
    *out = 0.5;
    return S_OK;
  }
  HRESULT Add(int32_t a, int32_t b, VARIANT* result) override {
    if (result) {
      VariantClear(result);
      result->vt = VT_I4;
      result->lVal = a + b;
    }
    VARIANT args[2];
    VariantInit(&args[0]);
    VariantInit(&args[1]);
    args[0].vt = VT_I4;
    args[0].lVal = a + b;
    args[1].vt = VT_BSTR;
    args[1].bstrVal = SysAllocString(u"sum");
    AddRef();  // a sink may release the host's last reference
    events_.FireDispatch(DISPID_OnResult, args, 2);
    VariantClear(&args[1]);
    Release();
    return S_OK;
  }
  HRESULT Describe(BSTR text, VARIANT option, VARIANT* out) override {
    std::u16string s(text ? text : u"");
    s += u":";
    if (option.vt == VT_ERROR && option.scode == DISP_E_PARAMNOTFOUND) s += u"missing";
    else s += std::u16string(1, char16_t(u'0' + option.vt % 10));
    if (!out) return E_INVALIDARG;
    VariantClear(out);
    out->vt = VT_BSTR;
    out->bstrVal = SysAllocStringLen(s.data(), UINT(s.size()));
    return S_OK;
  }
  HRESULT Fail(int32_t code) override { return Raise(HRESULT(code), u"failed on purpose"); }
  HRESULT get_Flag(VARIANT_BOOL* out) override {
    *out = flag_;
    return S_OK;
  }
  HRESULT put_Flag(VARIANT_BOOL value) override {
    flag_ = value;
    return S_OK;
  }

 private:
  HRESULT Raise(HRESULT hr, const char16_t* text) {
    ICreateErrorInfo* create = nullptr;
    if (SUCCEEDED(CreateErrorInfo(&create))) {
      create->SetGUID(IID_ITestObject);
      create->SetSource(const_cast<LPOLESTR>(u"Test.Object"));
      create->SetDescription(const_cast<LPOLESTR>(text));
      IErrorInfo* info = nullptr;
      create->QueryInterface(IID_IErrorInfo, reinterpret_cast<void**>(&info));
      SetErrorInfo(0, info);
      info->Release();
      create->Release();
    }
    return hr;
  }

  std::atomic<ULONG> refs_{1};
  BSTR name_ = nullptr;
  int32_t items_[4] = {};
  VARIANT_BOOL flag_ = VARIANT_FALSE;
  plat::com::ConnectionPoint events_{this, DIID_ITestEvents};
};

}  // namespace testcom
