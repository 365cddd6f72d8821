// The control base through the small test control, created directly in this process.
#include <gtest/gtest.h>

#include "control/test_control.h"
#include "host/test_host.h"
#include "ocx/module.h"
#include "ocx/registration.h"
#include "ocx/variant_args.h"
#include "platform/com/event_sink.h"

namespace {

using namespace testhost;
using testocx::TestCtl;

class ControlTest : public RegistryFixture {
 protected:
  void SetUp() override {
    RegistryFixture::SetUp();
    testocx::ResetFakes();
    // Registered, so the control finds its ProgID for error information.
    ASSERT_EQ(ocx::RegisterControl(testocx::kTestCtlDescriptor, "/nonexistent/test.so"), S_OK);
    baseObjects_ = ocx::Module::Instance().ObjectCount();
    ASSERT_EQ(ocx::CreateObject<TestCtl>(nullptr, testocx::IID_ITestCtl, reinterpret_cast<void**>(&itf_)), S_OK);
    ctl_ = static_cast<TestCtl*>(itf_);
  }
  void TearDown() override {
    if (itf_) itf_->Release();
    EXPECT_EQ(ocx::Module::Instance().ObjectCount(), baseObjects_);
    RegistryFixture::TearDown();
  }
  template <class I>
  I* As(REFIID iid) {
    I* p = nullptr;
    EXPECT_EQ(itf_->QueryInterface(iid, reinterpret_cast<void**>(&p)), S_OK);
    if (p) p->Release();  // the test holds itf_
    return p;
  }
  testocx::ITestCtl* itf_ = nullptr;
  TestCtl* ctl_ = nullptr;
  long baseObjects_ = 0;
};

TEST_F(ControlTest, RaiseErrorCases) {
  struct Case {
    const char* what;
    int32_t serverType;
    uint32_t libraryError;  // last error of the fake library of that type
    bool session;
    uint32_t code;
    bool throwError, fire;
    HRESULT hr;
    uint32_t lastError;
    const char16_t* text;  // null: no error information, no event
  } cases[] = {
      {"undefined type, no code", 0, 0, false, 0, false, true, S_OK, 0x80042739,
       u"Invalid server type or server type is undefined"},
      {"undefined type, thrown", 0, 0, false, 0, true, false, HRESULT(0x800A2739), 0x80042739,
       u"Invalid server type or server type is undefined"},
      {"undefined type keeps a code", 0, 0, false, 0x80042749, true, false, HRESULT(0x800A2749), 0x80042749,
       u"No connection established with remote host"},
      {"library without error", 1, 0, false, 0, true, true, S_OK, 0, nullptr},
      {"invalid handle without session", 1, 0, false, 0x80042736, true, true, HRESULT(0x800A2749), 0x80042749,
       u"No connection established with remote host"},
      {"invalid handle with session", 1, 0, true, 0x80042736, true, false, HRESULT(0x800A2736), 0x80042736,
       u"Undefined control error (0x80042736)"},
      {"library error, not thrown", 2, 0x8004274C, false, 0, false, true, S_OK, 0x8004274C,
       u"Connection timed out"},
      {"other facility unchanged", 1, 0, false, 0x80070057, true, false, HRESULT(0x80070057), 0x80070057,
       u"Undefined control error (0x80070057)"},
  };
  plat::com::EventSink* sink = plat::com::EventSink::Create(testocx::DIID_ITestCtlEvents);
  std::vector<std::pair<int32_t, std::u16string>> fired;
  sink->On(testocx::kEventError, [&](const std::vector<const VARIANT*>& a) {
    ASSERT_EQ(a.size(), 2u);
    fired.emplace_back(a[1]->lVal, Text(*a[0]));
  });
  ASSERT_EQ(sink->Connect(itf_), S_OK);
  for (const Case& c : cases) {
    SCOPED_TRACE(c.what);
    fired.clear();
    ctl_->put_ServerType(c.serverType);
    ctl_->put_ThrowError(c.throwError ? VARIANT_TRUE : VARIANT_FALSE);
    testocx::Fake(1).lastError = testocx::Fake(2).lastError = 0;
    if (c.serverType) testocx::Fake(c.serverType).lastError = c.libraryError;
    ctl_->hasSession = c.session;
    ctl_->RaiseError(0x8004274C, false, false);  // a previous error, to see it replaced
    SetErrorInfo(0, nullptr);
    VARIANT error{};
    HRESULT hr = itf_->Raise(I4(int32_t(c.code)), I4(c.fire), &error);
    EXPECT_EQ(hr, c.hr);
    EXPECT_EQ(ctl_->LastErrorCode(), c.lastError);
    IErrorInfo* info = nullptr;
    if (!c.text) {
      EXPECT_EQ(GetErrorInfo(0, &info), S_FALSE);
      EXPECT_TRUE(fired.empty());
      continue;
    }
    ASSERT_EQ(GetErrorInfo(0, &info), S_OK);
    GUID g;
    BSTR source = nullptr, description = nullptr;
    info->GetGUID(&g);
    info->GetSource(&source);
    info->GetDescription(&description);
    EXPECT_TRUE(g == testocx::IID_ITestCtl);
    EXPECT_EQ(std::u16string(source), u"Cv.TestCtl.1");
    EXPECT_EQ(std::u16string(description), c.text);
    SysFreeString(source);
    SysFreeString(description);
    info->Release();
    if (c.fire) {
      ASSERT_EQ(fired.size(), 1u);
      EXPECT_EQ(uint32_t(fired[0].first), c.lastError & 0xFFFF);
      EXPECT_EQ(fired[0].second, c.text);
    } else {
      EXPECT_TRUE(fired.empty());
    }
  }
  sink->Disconnect();
  sink->Release();
}

TEST_F(ControlTest, AutoInitializeAttachesEachLibraryOnceAndUndoesAHalfAttach) {
  EXPECT_EQ(ctl_->Window(), nullptr);
  // The second library fails: the first one is detached again.
  testocx::Fake(2).failAttach = true;
  EXPECT_EQ(itf_->Initialize(nullptr), S_OK);  // ThrowError off: success to the host
  EXPECT_EQ(ctl_->LastErrorCode(), 0x8004276Du);
  EXPECT_EQ(testocx::Fake(1).attached, 0);
  EXPECT_FALSE(ctl_->IsInitialized());
  ctl_->put_ThrowError(VARIANT_TRUE);
  EXPECT_EQ(itf_->Initialize(nullptr), HRESULT(0x800A276D));
  EXPECT_EQ(testocx::Fake(1).attached, 0);

  testocx::Fake(2).failAttach = false;
  EXPECT_EQ(itf_->Initialize(nullptr), S_OK);
  EXPECT_EQ(itf_->Initialize(nullptr), S_OK);
  EXPECT_TRUE(ctl_->IsInitialized());
  EXPECT_EQ(testocx::Fake(1).attached, 1);
  EXPECT_EQ(testocx::Fake(2).attached, 1);
  // Used without a site: the first use made the window.
  EXPECT_TRUE(plat::IsWindow(ctl_->Window()));
  ctl_->DetachLibraries();
  EXPECT_EQ(testocx::Fake(1).attached, 0);
  EXPECT_EQ(testocx::Fake(2).attached, 0);
}

TEST_F(ControlTest, RunModeComesFromTheAmbientProperty) {
  struct {
    const char* what;
    bool site, answer;
    VARTYPE type;
    bool userMode, run;
  } cases[] = {
      {"no container", false, true, VT_BOOL, false, true},
      {"user mode", true, true, VT_BOOL, true, true},
      {"design mode", true, true, VT_BOOL, false, false},
      {"not a boolean", true, true, VT_I4, true, false},
      {"ambient call fails", true, false, VT_BOOL, true, false},
  };
  auto* site = new TestSite;
  IOleObject* ole = As<IOleObject>(IID_IOleObject);
  for (auto& c : cases) {
    SCOPED_TRACE(c.what);
    site->answerAmbient = c.answer;
    site->ambientType = c.type;
    site->userMode = c.userMode;
    ole->SetClientSite(c.site ? site : nullptr);
    EXPECT_EQ(ctl_->IsRunMode(), c.run);
    BSTR name = nullptr;
    EXPECT_EQ(itf_->get_Name(&name), c.run ? S_OK : ocx::kCtlErrorGetNotSupported);
    SysFreeString(name);
    VARIANT_BOOL enabled = 0;
    EXPECT_EQ(itf_->get_Enabled(&enabled), S_OK);  // the stock property has no check
    EXPECT_EQ(itf_->put_Name(nullptr), S_OK);       // nor do writes
  }
  // Lazy initialise refuses in design mode and leaves the error state alone.
  ctl_->SetLastErrorCode(0x8004274C);
  ole->SetClientSite(site);
  EXPECT_EQ(itf_->Initialize(nullptr), ocx::kCtlErrorInvalidProcedureCall);
  EXPECT_EQ(ctl_->LastErrorCode(), 0x8004274Cu);
  EXPECT_EQ(testocx::Fake(1).attached, 0);
  ole->SetClientSite(nullptr);
  site->Release();
}

TEST_F(ControlTest, WindowOnSitingAndReparentingOnFirstActivation) {
  auto* site = new TestSite;
  site->window = MakeContainerWindow();
  IOleObject* ole = As<IOleObject>(IID_IOleObject);
  // Activation without a site does nothing.
  EXPECT_EQ(ole->DoVerb(OLEIVERB_INPLACEACTIVATE, nullptr, nullptr, 0, nullptr, nullptr), S_OK);
  EXPECT_EQ(ctl_->Window(), nullptr);

  ASSERT_EQ(ole->SetClientSite(site), S_OK);
  HWND w = ctl_->Window();
  ASSERT_TRUE(plat::IsWindow(w));
  EXPECT_EQ(uint32_t(plat::GetWindowLongPtr(w, plat::GWL_STYLE)), plat::WS_CHILD);
  EXPECT_FALSE(plat::IsWindowVisible(w));
  EXPECT_EQ(plat::GetParent(w), nullptr);  // a child of the desktop

  ASSERT_EQ(ole->DoVerb(OLEIVERB_INPLACEACTIVATE, nullptr, site, 0, nullptr, nullptr), S_OK);
  EXPECT_EQ(plat::GetParent(w), site->window);
  EXPECT_EQ(site->activations, 1);
  // A second activation neither re-parents nor activates again.
  plat::SetParent(w, plat::GetDesktopWindow());
  EXPECT_EQ(ole->DoVerb(OLEIVERB_INPLACEACTIVATE, nullptr, site, 0, nullptr, nullptr), S_OK);
  EXPECT_EQ(plat::GetParent(w), nullptr);
  EXPECT_EQ(site->activations, 1);
  EXPECT_TRUE(ctl_->InPlaceActive());

  ole->Close(0);
  ole->SetClientSite(nullptr);
  HWND container = site->window;
  site->Release();
  itf_->Release();
  itf_ = nullptr;
  EXPECT_FALSE(plat::IsWindow(w));  // the last release destroys the window
  plat::DestroyWindow(container);
}

TEST_F(ControlTest, SafetyErrorInfoClassInfoFreezeAndExtent) {
  IObjectSafety* safety = As<IObjectSafety>(IID_IObjectSafety);
  DWORD supported = 0, enabled = 0;
  EXPECT_EQ(safety->GetInterfaceSafetyOptions(IID_IDispatch, &supported, &enabled), S_OK);
  EXPECT_EQ(supported, 3u);
  EXPECT_EQ(enabled, 2u);
  EXPECT_EQ(safety->SetInterfaceSafetyOptions(IID_IDispatch, 3, 3), S_OK);
  EXPECT_EQ(safety->SetInterfaceSafetyOptions(IID_IDispatch, 1, 1), E_FAIL);
  EXPECT_EQ(safety->SetInterfaceSafetyOptions(IID_IDispatch, 1, 3), E_FAIL);
  EXPECT_EQ(safety->SetInterfaceSafetyOptions(IID_IDispatch, 2, 2), S_OK);

  ISupportErrorInfo* sei = As<ISupportErrorInfo>(IID_ISupportErrorInfo);
  EXPECT_EQ(sei->InterfaceSupportsErrorInfo(testocx::IID_ITestCtl), S_OK);
  EXPECT_EQ(sei->InterfaceSupportsErrorInfo(IID_IDispatch), S_FALSE);

  IProvideClassInfo2* pci = As<IProvideClassInfo2>(IID_IProvideClassInfo2);
  GUID g;
  ASSERT_EQ(pci->GetGUID(GUIDKIND_DEFAULT_SOURCE_DISP_IID, &g), S_OK);
  EXPECT_TRUE(g == testocx::DIID_ITestCtlEvents);
  // The class information and the dual interface's type information come from one library.
  ITypeInfo* coclass = nullptr;
  ASSERT_EQ(pci->GetClassInfo(&coclass), S_OK);
  TYPEATTR* attr = nullptr;
  ASSERT_EQ(coclass->GetTypeAttr(&attr), S_OK);
  EXPECT_EQ(attr->typekind, TKIND_COCLASS);
  EXPECT_TRUE(attr->guid == testocx::CLSID_TestCtl);
  coclass->ReleaseTypeAttr(attr);
  HREFTYPE ref = 0;
  ITypeInfo* viaClass = nullptr;
  ASSERT_EQ(coclass->GetRefTypeOfImplType(0, &ref), S_OK);
  ASSERT_EQ(coclass->GetRefTypeInfo(ref, &viaClass), S_OK);
  UINT count = 0;
  ASSERT_EQ(itf_->GetTypeInfoCount(&count), S_OK);
  EXPECT_EQ(count, 1u);
  ITypeInfo* dual = nullptr;
  ASSERT_EQ(itf_->GetTypeInfo(0, 0, &dual), S_OK);
  EXPECT_EQ(dual, viaClass);
  ITypeInfo* none = nullptr;
  EXPECT_EQ(itf_->GetTypeInfo(1, 0, &none), DISP_E_BADINDEX);
  viaClass->Release();
  dual->Release();
  coclass->Release();

  IOleControl* oc = As<IOleControl>(IID_IOleControl);
  oc->FreezeEvents(TRUE_);
  oc->FreezeEvents(TRUE_);
  oc->FreezeEvents(FALSE_);
  EXPECT_EQ(ctl_->FreezeCount(), 1);
  oc->FreezeEvents(FALSE_);
  oc->FreezeEvents(FALSE_);
  EXPECT_EQ(ctl_->FreezeCount(), 0);

  IOleObject* ole = As<IOleObject>(IID_IOleObject);
  SIZEL size{};
  ASSERT_EQ(ole->GetExtent(DVASPECT_CONTENT, &size), S_OK);
  EXPECT_EQ(size.cx, 741);
  EXPECT_EQ(size.cy, 741);
  SIZEL other{100, 100};
  EXPECT_EQ(ole->SetExtent(DVASPECT_CONTENT, &other), E_FAIL);
  DWORD misc = 0;
  EXPECT_EQ(ole->GetMiscStatus(DVASPECT_CONTENT, &misc), S_OK);
  EXPECT_EQ(misc, 132497u);

  // Only the extent is persisted; a short stream is refused.
  IPersistStreamInit* persist = As<IPersistStreamInit>(IID_IPersistStreamInit);
  IStream* stream = SHCreateMemStream(nullptr, 0);
  ASSERT_EQ(persist->Save(stream, TRUE_), S_OK);
  LARGE_INTEGER zero{};
  stream->Seek(zero, STREAM_SEEK_SET, nullptr);
  EXPECT_EQ(persist->Load(stream), S_OK);
  stream->Release();
  const BYTE shortData[3] = {1, 2, 3};
  IStream* bad = SHCreateMemStream(shortData, 3);
  EXPECT_EQ(persist->Load(bad), E_FAIL);
  bad->Release();
}

// Property notifications: the stock Enabled asks first (unless events are frozen).
class NotifySink final : public IPropertyNotifySink, public plat::com::RefCount {
 public:
  HRESULT answer = S_OK;
  int requests = 0, changes = 0;
  HRESULT QueryInterface(REFIID riid, void** ppv) override {
    return plat::com::QueryFromTable(riid, ppv, {{&IID_IPropertyNotifySink, this}});
  }
  CV_COM_REFCOUNT
  HRESULT OnChanged(DISPID id) override {
    changes += id == DISPID_ENABLED;
    return S_OK;
  }
  HRESULT OnRequestEdit(DISPID id) override {
    requests += id == DISPID_ENABLED;
    return answer;
  }
};

TEST_F(ControlTest, StockEnabledAsksTheContainer) {
  auto* sink = new NotifySink;
  IConnectionPointContainer* cpc = As<IConnectionPointContainer>(IID_IConnectionPointContainer);
  IConnectionPoint* cp = nullptr;
  ASSERT_EQ(cpc->FindConnectionPoint(IID_IPropertyNotifySink, &cp), S_OK);
  DWORD cookie = 0;
  ASSERT_EQ(cp->Advise(static_cast<IPropertyNotifySink*>(sink), &cookie), S_OK);

  sink->answer = S_FALSE;
  EXPECT_EQ(itf_->put_Enabled(VARIANT_FALSE), S_FALSE);
  VARIANT_BOOL v = 0;
  itf_->get_Enabled(&v);
  EXPECT_EQ(v, VARIANT_TRUE);
  EXPECT_EQ(sink->changes, 0);
  As<IOleControl>(IID_IOleControl)->FreezeEvents(TRUE_);  // frozen: no asking
  EXPECT_EQ(itf_->put_Enabled(VARIANT_FALSE), S_OK);
  itf_->get_Enabled(&v);
  EXPECT_EQ(v, VARIANT_FALSE);
  EXPECT_EQ(sink->requests, 1);
  EXPECT_EQ(sink->changes, 1);
  EXPECT_EQ(itf_->get_Enabled(nullptr), E_POINTER);

  cp->Unadvise(cookie);
  cp->Release();
  sink->Release();
  IConnectionPoint* none = nullptr;
  EXPECT_EQ(cpc->FindConnectionPoint(IID_IDispatch, &none), CONNECT_E_NOCONNECTION);
}

TEST_F(ControlTest, HostReleasingInsideAnEventDoesNotDestroyTheControlDuringTheCall) {
  plat::com::EventSink* first = plat::com::EventSink::Create(testocx::DIID_ITestCtlEvents);
  plat::com::EventSink* second = plat::com::EventSink::Create(testocx::DIID_ITestCtlEvents);
  int secondCalls = 0;
  testocx::ITestCtl* host = itf_;
  itf_ = nullptr;  // the host's only reference goes in the handler
  first->On(testocx::kEventNotify, [&](const std::vector<const VARIANT*>&) {
    first->Disconnect();
    host->Release();
  });
  // The sinks hold the connection point, so each lets go of it in its handler.
  second->On(testocx::kEventNotify, [&](const std::vector<const VARIANT*>&) {
    ++secondCalls;
    second->Disconnect();
  });
  ASSERT_EQ(first->Connect(host), S_OK);
  ASSERT_EQ(second->Connect(host), S_OK);
  EXPECT_EQ(host->Notify(I4(1), I4(2)), S_OK);
  EXPECT_EQ(secondCalls, 1);  // the control lived on for the rest of the firing
  // ... and went away when the call returned (the fixture checks the object count).
  EXPECT_EQ(ocx::Module::Instance().ObjectCount(), baseObjects_);
  first->Release();
  second->Release();
}

// An outer object that aggregates the control.
class Outer final : public IUnknown {
 public:
  IUnknown* inner = nullptr;
  ULONG refs = 1;
  HRESULT QueryInterface(REFIID riid, void** ppv) override {
    if (IsEqualIID(riid, IID_IUnknown)) {
      *ppv = this;
      AddRef();
      return S_OK;
    }
    return inner->QueryInterface(riid, ppv);
  }
  ULONG AddRef() override { return ++refs; }
  ULONG Release() override { return --refs; }
};

TEST_F(ControlTest, AggregationRoutesIdentityToTheOuterObject) {
  Outer outer;
  void* p = nullptr;
  EXPECT_EQ(ocx::CreateObject<TestCtl>(&outer, testocx::IID_ITestCtl, &p), CLASS_E_NOAGGREGATION);
  ASSERT_EQ(ocx::CreateObject<TestCtl>(&outer, IID_IUnknown, reinterpret_cast<void**>(&outer.inner)), S_OK);
  IOleObject* ole = nullptr;
  ASSERT_EQ(outer.QueryInterface(IID_IOleObject, reinterpret_cast<void**>(&ole)), S_OK);
  EXPECT_EQ(outer.refs, 2u);  // references on an inner interface count on the outer object
  IUnknown* identity = nullptr;
  ole->QueryInterface(IID_IUnknown, reinterpret_cast<void**>(&identity));
  EXPECT_EQ(identity, &outer);
  identity->Release();
  ole->Release();
  EXPECT_EQ(outer.refs, 1u);
  outer.inner->Release();
}

}  // namespace
