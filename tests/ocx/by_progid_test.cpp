// The test control as a separate in-process server: registered by its own DllRegisterServer
// into a temporary registry, created by ProgID, driven through IDispatch as a script host
// would.
#include <dlfcn.h>
#include <gtest/gtest.h>

#include "control/test_control.h"
#include "host/test_host.h"
#include "platform/com/event_sink.h"
#include "platform/registry/registry.h"

namespace {

using namespace testhost;

class ByProgIdTest : public RegistryFixture {
 protected:
  void SetUp() override {
    RegistryFixture::SetUp();
    module_ = dlopen(CV_TEST_OCX_CONTROL, RTLD_NOW | RTLD_LOCAL);
    ASSERT_NE(module_, nullptr) << dlerror();
    auto reg = reinterpret_cast<HRESULT (*)()>(dlsym(module_, "DllRegisterServer"));
    ASSERT_NE(reg, nullptr);
    ASSERT_EQ(reg(), S_OK);
  }
  void TearDown() override {
    if (control_) control_->Release();
    if (module_) dlclose(module_);
    RegistryFixture::TearDown();
  }
  void Create() {
    CLSID clsid;
    ASSERT_EQ(CLSIDFromProgID(u"cv.testctl", &clsid), S_OK);  // the version-independent name, any case
    ASSERT_EQ(CoCreateInstance(clsid, nullptr, CLSCTX_INPROC_SERVER, IID_IDispatch,
                               reinterpret_cast<void**>(&control_)),
              S_OK);
  }
  HRESULT CanUnloadNow() { return reinterpret_cast<HRESULT (*)()>(dlsym(module_, "DllCanUnloadNow"))(); }
  void* module_ = nullptr;
  IDispatch* control_ = nullptr;
};

TEST_F(ByProgIdTest, RegistrationWritesTheClassAndUnregisterRemovesIt) {
  using namespace plat;
  const std::string clsid = "CLSID\\{EA7CAF60-6C4C-44F4-AA47-E0F214FCAE75}";
  EXPECT_EQ(RegGetString(HKEY_CLASSES_ROOT, "Cv.TestCtl\\CurVer", ""), "Cv.TestCtl.1");
  EXPECT_EQ(RegGetString(HKEY_CLASSES_ROOT, "Cv.TestCtl.1\\CLSID", ""), clsid.substr(6));
  EXPECT_EQ(RegGetString(HKEY_CLASSES_ROOT, (clsid + "\\ProgID").c_str(), ""), "Cv.TestCtl.1");
  EXPECT_EQ(RegGetString(HKEY_CLASSES_ROOT, (clsid + "\\InprocServer32").c_str(), ""), CV_TEST_OCX_CONTROL);
  EXPECT_EQ(RegGetString(HKEY_CLASSES_ROOT, (clsid + "\\InprocServer32").c_str(), "ThreadingModel"), "Apartment");
  EXPECT_EQ(RegGetString(HKEY_CLASSES_ROOT, (clsid + "\\MiscStatus\\1").c_str(), ""), "132497");
  EXPECT_EQ(RegGetString(HKEY_CLASSES_ROOT, (clsid + "\\Version").c_str(), ""), "1.2");

  auto unreg = reinterpret_cast<HRESULT (*)()>(dlsym(module_, "DllUnregisterServer"));
  ASSERT_EQ(unreg(), S_OK);
  EXPECT_EQ(unreg(), S_OK);  // twice is fine
  CLSID c;
  EXPECT_EQ(CLSIDFromProgID(u"Cv.TestCtl", &c), CO_E_CLASSSTRING);
  EXPECT_FALSE(RegGetString(HKEY_CLASSES_ROOT, (clsid + "\\InprocServer32").c_str(), ""));
}

TEST_F(ByProgIdTest, CallsByNameWithOptionalAndByReferenceArguments) {
  Create();
  {
    CallResult r;
    VARIANT name = Str(u"widget");
    Call(control_, u"nAmE", DISPATCH_PROPERTYPUT, {name}, &r);
    VariantClear(&name);
    EXPECT_EQ(r.hr, S_OK);
  }
  {
    CallResult r;
    Call(control_, u"NAME", DISPATCH_PROPERTYGET | DISPATCH_METHOD, {}, &r);
    EXPECT_EQ(r.hr, S_OK);
    EXPECT_EQ(Text(r.value), u"widget");
  }
  {
    CallResult put, get, bad;
    Call(control_, u"Item", DISPATCH_PROPERTYPUT, {I4(3), I4(77)}, &put);
    Call(control_, u"item", DISPATCH_PROPERTYGET, {I4(3)}, &get);
    Call(control_, u"Item", DISPATCH_PROPERTYGET, {I4(4)}, &bad);
    EXPECT_EQ(put.hr, S_OK);
    EXPECT_EQ(get.value.lVal, 77);
    EXPECT_EQ(bad.hr, DISP_E_EXCEPTION);
    EXPECT_EQ(bad.excep.scode, HRESULT(0x800A017D));
  }
  {
    // Store(value, result): the result reaches the caller's VARIANT through VT_BYREF|VT_VARIANT,
    // and a typed by-reference target keeps its type.
    VARIANT out{};
    CallResult r;
    Call(control_, u"Store", DISPATCH_METHOD, {I4(12), Ref(&out)}, &r);
    EXPECT_EQ(r.hr, S_OK);
    EXPECT_EQ(out.vt, VT_I4);
    EXPECT_EQ(out.lVal, 12);
    double d = 0;
    VARIANT typed{};
    typed.vt = VT_BYREF | VT_R8;
    typed.pdblVal = &d;
    CallResult r2;
    VARIANT digits = Str(u"34");
    Call(control_, u"Store", DISPATCH_METHOD, {digits, typed}, &r2);
    VariantClear(&digits);
    EXPECT_EQ(d, 34.0);
    // The value left out counts as 0; the result left out is refused.
    CallResult r3, r4;
    Call(control_, u"Store", DISPATCH_METHOD, {Missing(), Ref(&out)}, &r3);
    EXPECT_EQ(out.lVal, 0);
    Call(control_, u"Store", DISPATCH_METHOD, {I4(1)}, &r4);
    EXPECT_EQ(r4.hr, DISP_E_EXCEPTION);
    EXPECT_EQ(r4.excep.scode, E_INVALIDARG);
  }
}

TEST_F(ByProgIdTest, EventsReachTwoSinksInSubscriptionOrderWithArgumentsInOrder) {
  Create();
  std::vector<std::string> seen;
  plat::com::EventSink* sinks[2];
  for (int i = 0; i < 2; ++i) {
    sinks[i] = plat::com::EventSink::Create(testocx::DIID_ITestCtlEvents);
    sinks[i]->On(testocx::kEventNotify, [&seen, i](const std::vector<const VARIANT*>& a) {
      ASSERT_EQ(a.size(), 2u);
      seen.push_back(std::to_string(i) + ":" + std::to_string(a[0]->lVal) + ":" + plat::ToUtf8(Text(*a[1])));
    });
    ASSERT_EQ(sinks[i]->Connect(control_), S_OK);
  }
  // A raw sink sees the argument array reversed: the first declared argument is element 1.
  VARIANT text = Str(u"hello");
  CallResult r;
  Call(control_, u"Notify", DISPATCH_METHOD, {I4(250), text}, &r);
  VariantClear(&text);
  EXPECT_EQ(r.hr, S_OK);
  EXPECT_EQ(seen, (std::vector<std::string>{"0:250:hello", "1:250:hello"}));
  for (auto* s : sinks) {
    s->Disconnect();
    s->Release();
  }
}

TEST_F(ByProgIdTest, FailingCallGivesExceptionAndErrorObjectAndTheModuleUnloadsAfterwards) {
  Create();
  CallResult t;
  Call(control_, u"ThrowError", DISPATCH_PROPERTYPUT, {I4(1)}, &t);
  CallResult r;
  Call(control_, u"Raise", DISPATCH_METHOD, {Missing()}, &r);  // undefined server type, no code
  EXPECT_EQ(r.hr, DISP_E_EXCEPTION);
  EXPECT_EQ(r.excep.scode, HRESULT(0x800A2739));
  EXPECT_EQ(std::u16string(r.excep.bstrSource), u"Cv.TestCtl.1");
  EXPECT_EQ(std::u16string(r.excep.bstrDescription), u"Invalid server type or server type is undefined");
  IErrorInfo* info = nullptr;
  ASSERT_EQ(GetErrorInfo(0, &info), S_OK);
  GUID g;
  info->GetGUID(&g);
  EXPECT_TRUE(g == testocx::IID_ITestCtl);
  info->Release();

  EXPECT_EQ(CanUnloadNow(), S_FALSE);
  control_->Release();
  control_ = nullptr;
  EXPECT_EQ(CanUnloadNow(), S_OK);
  // A server lock holds the module too.
  IClassFactory* factory = nullptr;
  ASSERT_EQ(CoGetClassObject(testocx::CLSID_TestCtl, CLSCTX_INPROC_SERVER, nullptr, IID_IClassFactory,
                             reinterpret_cast<void**>(&factory)),
            S_OK);
  factory->LockServer(TRUE_);
  EXPECT_EQ(CanUnloadNow(), S_FALSE);
  factory->LockServer(FALSE_);
  factory->Release();
  EXPECT_EQ(CanUnloadNow(), S_OK);
}

TEST_F(ByProgIdTest, BadInputsGiveClearErrors) {
  Create();
  DISPID store = IdOf(control_, u"Store");
  VARIANT result{};
  auto invoke = [&](DISPID id, VARIANT* args, UINT count) {
    DISPPARAMS dp{args, nullptr, count, 0};
    VariantClear(&result);
    return control_->Invoke(id, IID_NULL, 0, DISPATCH_METHOD, &dp, &result, nullptr, nullptr);
  };
  VARIANT three[3] = {I4(1), I4(2), I4(3)};
  VARIANT strange{};
  strange.vt = 0x0FF0;  // no such type
  VARIANT nullRef{};
  nullRef.vt = VT_BYREF | VT_I4;
  EXPECT_EQ(invoke(store, nullptr, 1), E_INVALIDARG);
  EXPECT_EQ(invoke(store, three, 3), DISP_E_BADPARAMCOUNT);
  EXPECT_EQ(invoke(IdOf(control_, u"NoSuchMember"), nullptr, 0), DISP_E_MEMBERNOTFOUND);
  EXPECT_EQ(IdOf(control_, u"NoSuchMember"), DISPID_UNKNOWN);
  EXPECT_EQ(invoke(store, &nullRef, 1), E_INVALIDARG);
  DISPPARAMS idx{&strange, nullptr, 1, 0};
  HRESULT hr = control_->Invoke(IdOf(control_, u"Item"), IID_NULL, 0, DISPATCH_PROPERTYGET, &idx, &result, nullptr,
                                nullptr);
  EXPECT_EQ(hr, DISP_E_BADVARTYPE);

  // Class lookup: an unknown ProgID, a class without a module, a module without the entry point.
  CLSID c;
  EXPECT_EQ(CLSIDFromProgID(u"Cv.NoSuchControl", &c), CO_E_CLASSSTRING);
  const CLSID other = {0x11111111, 0x2222, 0x3333, {4, 4, 4, 4, 4, 4, 4, 4}};
  IUnknown* unk = nullptr;
  EXPECT_EQ(CoCreateInstance(other, nullptr, CLSCTX_INPROC_SERVER, IID_IUnknown, reinterpret_cast<void**>(&unk)),
            REGDB_E_CLASSNOTREG);
  plat::RegSetString(plat::HKEY_CLASSES_ROOT, "CLSID\\{11111111-2222-3333-0404-040404040404}\\InprocServer32", "",
                     CV_TEST_PLAT_MODULE);
  EXPECT_EQ(CoCreateInstance(other, nullptr, CLSCTX_INPROC_SERVER, IID_IUnknown, reinterpret_cast<void**>(&unk)),
            CO_E_ERRORINDLL);
}

}  // namespace
