#include "control/test_control.h"

#include "ocx/variant_args.h"

namespace testocx {
namespace {

FakeLibrary g_fakes[2];

template <int N>
struct FakeOps {
  static int32_t Attach(LibVersionInfo* info) {
    FakeLibrary& f = g_fakes[N - 1];
    if (!info || info->size != sizeof(LibVersionInfo) || info->options != kLibAttachFull || f.failAttach) {
      f.lastError = 0x8004276Du;  // 10093: not initialised
      return 0;
    }
    ++f.attached;
    return 1;
  }
  static void Detach() { --g_fakes[N - 1].attached; }
  static uint32_t GetLastError() { return g_fakes[N - 1].lastError; }
  static void SetLastError(uint32_t code) { g_fakes[N - 1].lastError = code; }
  static uint32_t GetErrorText(uint32_t code, char* buffer) {
    static constexpr std::pair<uint32_t, const char*> kTexts[] = {
        {0x80042749u, "No connection established with remote host"},
        {0x8004274Cu, "Connection timed out"},
        {0x8004276Du, "Network not initialized"},
    };
    buffer[0] = '\0';
    for (auto [c, t] : kTexts)
      if (c == code) {
        std::snprintf(buffer, 128, "%s", t);
        return 1;
      }
    return 0;
  }
  static constexpr ocx::LibraryOps kOps{N == 1 ? "fake1" : "fake2", Attach, Detach, GetLastError, SetLastError,
                                        GetErrorText};
};

const ocx::LibraryOps* const kLibraries[] = {&FakeOps<1>::kOps, &FakeOps<2>::kOps};

}  // namespace

FakeLibrary& Fake(int which) { return g_fakes[which - 1]; }
void ResetFakes() { g_fakes[0] = g_fakes[1] = FakeLibrary{}; }

const ocx::ControlDescriptor kTestCtlDescriptor{
    CLSID_TestCtl, IID_ITestCtl, DIID_ITestCtlEvents, LIBID_TestCtl, "Cv.TestCtl.1", "Cv.TestCtl",
    "Test Control", 132497, {1, 2, 3, 4}, &TestCtlTypeLibrary,
};

#define TESTCTL_EVENTS(X)                      \
  X(Notify, 1, "Code,Text", k::Var, k::Var)   \
  X(Error, 9, "Description,Number", k::Var, k::Var)
CV_EVENT_INTERFACE(ITestCtlEvents, TESTCTL_EVENTS)

const plat::com::TypeLibDesc& TestCtlTypeLibrary() {
  static constexpr plat::com::TypeConstant kKinds[] = {{"testFirst", 1}, {"testSecond", 2}};
  static const plat::com::TypeLibDesc library{
      LIBID_TestCtl, "TestCtlLib", 1, 0, CLSID_TestCtl, "TestCtl", "Test Control",
      {IID_ITestCtl, "ITestCtl", &ITestCtl::DispatchTable()},
      {DIID_ITestCtlEvents, "_ITestCtlEvents", &ITestCtlEvents::DispatchTable()},
      {{"KindConstants", kKinds, "Kinds"}},
  };
  return library;
}

TestCtl::TestCtl(IUnknown* outer)
    : Control(outer, kTestCtlDescriptor, kLibraries, {0x80042739u, "Invalid server type or server type is undefined"}) {}

const ocx::LibraryOps* TestCtl::ErrorLibrary() {
  if (serverType_ == 1 || serverType_ == 2) return kLibraries[serverType_ - 1];
  return nullptr;
}

void TestCtl::FireError(uint32_t code, BSTR text) {
  VARIANT args[2] = {};
  args[0].vt = VT_BSTR;
  args[0].bstrVal = text;
  args[1].vt = VT_I4;
  args[1].lVal = int32_t(code & 0xFFFF);
  FireEvent(kEventError, args, 2);
}

HRESULT TestCtl::About() { return S_OK; }
HRESULT TestCtl::put_Enabled(VARIANT_BOOL v) { return PutEnabled(v); }
HRESULT TestCtl::get_Enabled(VARIANT_BOOL* v) { return GetEnabled(v); }

HRESULT TestCtl::get_Name(BSTR* value) {
  CV_OCX_ENTRY;
  if (!IsRunMode()) return ocx::kCtlErrorGetNotSupported;
  if (!value) return E_POINTER;
  *value = SysAllocStringLen(name_.data(), UINT(name_.size()));
  return S_OK;
}

HRESULT TestCtl::put_Name(BSTR value) {
  CV_OCX_ENTRY;
  name_ = value ? std::u16string(value, SysStringLen(value)) : std::u16string();
  return S_OK;
}

HRESULT TestCtl::get_Item(int32_t index, int32_t* value) {
  CV_OCX_ENTRY;
  if (index < 0 || index >= int32_t(items_.size())) return ocx::kCtlErrorInvalidPropertyIndex;
  *value = items_[size_t(index)];
  return S_OK;
}

HRESULT TestCtl::put_Item(int32_t index, int32_t value) {
  CV_OCX_ENTRY;
  if (index < 0 || index >= int32_t(items_.size())) return ocx::kCtlErrorInvalidPropertyIndex;
  items_[size_t(index)] = value;
  return S_OK;
}

HRESULT TestCtl::get_ThrowError(VARIANT_BOOL* v) {
  *v = throwError_ ? VARIANT_TRUE : VARIANT_FALSE;
  return S_OK;
}

HRESULT TestCtl::put_ThrowError(VARIANT_BOOL v) {
  throwError_ = v != VARIANT_FALSE;
  return S_OK;
}

HRESULT TestCtl::get_LastError(int32_t* v) {
  *v = int32_t(LastErrorCode());
  return S_OK;
}

HRESULT TestCtl::get_ServerType(int32_t* v) {
  *v = serverType_;
  return S_OK;
}

HRESULT TestCtl::put_ServerType(int32_t v) {
  serverType_ = v;
  return S_OK;
}

HRESULT TestCtl::Raise(VARIANT code, VARIANT fire, VARIANT* error) {
  CV_OCX_ENTRY;
  uint32_t c = 0;
  if (HRESULT hr = ocx::VariantToUInt32(&code, &c); FAILED(hr)) return hr;
  int32_t f = 0;
  if (HRESULT hr = ocx::VariantToInt32(&fire, &f); FAILED(hr)) return hr;
  if (error) ocx::SetVariantLong(error, int32_t(c & 0xFFFF));
  return RaiseError(c, throwError_, f != 0);
}

HRESULT TestCtl::Initialize(VARIANT*) {
  CV_OCX_ENTRY;
  return AutoInitialize();
}

HRESULT TestCtl::Notify(VARIANT code, VARIANT text) {
  CV_OCX_ENTRY;
  VARIANT args[2] = {code, text};
  FireEvent(kEventNotify, args, 2);
  return S_OK;
}

HRESULT TestCtl::Store(VARIANT value, VARIANT* result) {
  CV_OCX_ENTRY;
  int32_t v = 0;
  if (HRESULT hr = ocx::VariantToInt32(&value, &v); FAILED(hr)) return hr;
  return ocx::SetVariantLong(result, v);
}

}  // namespace testocx
