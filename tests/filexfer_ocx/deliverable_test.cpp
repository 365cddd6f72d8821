// The deliverable as a host meets it: loaded by ProgID from a temporary registry, driven
// through IDispatch by name.
#include <dlfcn.h>
#include <gtest/gtest.h>

#include "filexfer/ocx/guids.h"
#include "host/test_host.h"
#include "platform/com/event_sink.h"

namespace {

using namespace testhost;

class DeliverableTest : public RegistryFixture {
 protected:
  void SetUp() override {
    RegistryFixture::SetUp();
    module_ = dlopen(CV_XFERCTL, RTLD_NOW | RTLD_LOCAL);
    ASSERT_NE(module_, nullptr) << dlerror();
    ASSERT_EQ(reinterpret_cast<HRESULT (*)()>(dlsym(module_, "DllRegisterServer"))(), S_OK);
    CLSID clsid;
    ASSERT_EQ(CLSIDFromProgID(u"Corvanetics.FileTransfer", &clsid), S_OK);
    ASSERT_EQ(CoCreateInstance(clsid, nullptr, CLSCTX_INPROC_SERVER, IID_IDispatch,
                               reinterpret_cast<void**>(&control_)),
              S_OK);
  }
  void TearDown() override {
    if (control_) control_->Release();
    if (module_) dlclose(module_);
    RegistryFixture::TearDown();
  }
  // Reads a property; a failure gives its exception code as a VT_ERROR.
  void Get(const char16_t* name, std::vector<VARIANT> args, CallResult* r) {
    Call(control_, name, DISPATCH_PROPERTYGET, std::move(args), r);
  }
  HRESULT Put(const char16_t* name, VARIANT value) {
    CallResult r;
    Call(control_, name, DISPATCH_PROPERTYPUT, {value}, &r);
    return r.hr == DISP_E_EXCEPTION ? r.excep.scode : r.hr;
  }
  std::string Show(const char16_t* name, std::vector<VARIANT> args = {}) {
    CallResult r;
    Get(name, std::move(args), &r);
    if (FAILED(r.hr)) {
      char buf[16];
      std::snprintf(buf, sizeof buf, "!%08X", uint32_t(r.hr == DISP_E_EXCEPTION ? r.excep.scode : r.hr));
      return buf;
    }
    VARIANT text{};
    if (r.value.vt == VT_BSTR) return "\"" + plat::ToUtf8(Text(r.value)) + "\"";
    if (r.value.vt == VT_BOOL) return r.value.boolVal ? "True" : "False";
    VariantChangeType(&text, &r.value, 0, VT_BSTR);
    std::string s = plat::ToUtf8(Text(text));
    VariantClear(&text);
    return s;
  }
  void* module_ = nullptr;
  IDispatch* control_ = nullptr;
};

TEST_F(DeliverableTest, ExportsOnlyItsFourEntryPoints) {
  for (const char* name : {"DllGetClassObject", "DllCanUnloadNow", "DllRegisterServer", "DllUnregisterServer"})
    EXPECT_NE(dlsym(module_, name), nullptr) << name;
  // The libraries and the framework stay private to the deliverable.
  for (const char* name : {"FtpAttach", "HttpAttach", "TraceEnable", "_ZN3ocx6Module8InstanceEv"})
    EXPECT_EQ(dlsym(module_, name), nullptr) << name;
}

TEST_F(DeliverableTest, PropertyDefaults) {
  const std::pair<const char16_t*, const char*> defaults[] = {
      {u"Enabled", "True"},          {u"Account", "\"\""},         {u"AppendFile", "False"},
      {u"Compression", "False"},     {u"DirectoryFormat", "0"},    {u"Encoding", "1"},
      {u"Features", "0"},            {u"FileType", "0"},           {u"IsConnected", "False"},
      {u"IsInitialized", "False"},   {u"KeepAlive", "False"},      {u"LastError", "0"},
      {u"Options", "0"},             {u"Passive", "True"},         {u"Priority", "2"},
      {u"ProtocolVersion", "\"1.0\""}, {u"ProxyPort", "0"},        {u"ProxyType", "0"},
      {u"ResultCode", "0"},          {u"Secure", "False"},         {u"SecureProtocol", "0"},
      {u"ServerName", "\"\""},       {u"ServerPort", "0"},         {u"ServerType", "0"},
      {u"TaskCount", "0"},           {u"TaskId", "0"},             {u"ThrowError", "False"},
      {u"Timeout", "20"},            {u"Trace", "False"},          {u"TraceFlags", "0"},
      {u"TransferBytes", "0"},       {u"TransferBytesXL", "0"},    {u"TransferRate", "0"},
      {u"Version", "\"9.5.9530.0\""}, {u"CertificateStatus", "0"}, {u"System", "\"\""},
  };
  for (auto [name, expect] : defaults) EXPECT_EQ(Show(name), expect) << plat::ToUtf8(name);
  EXPECT_EQ(Show(u"ActivePort", {I4(0)}), "1025");
  EXPECT_EQ(Show(u"ActivePort", {I4(1)}), "4099");
  EXPECT_EQ(Show(u"ActivePort", {I4(2)}), "!800A017D");
}

TEST_F(DeliverableTest, PropertyRules) {
  struct Step {
    const char16_t* put;
    int32_t value;
    HRESULT hr;
    const char16_t* read;
    const char* expect;
  } steps[] = {
      {u"Options", 0x2000, S_OK, u"Options", "12288"},  // 0x3000
      {nullptr, 0, S_OK, u"Secure", "True"},
      {nullptr, 0, S_OK, u"SecureProtocol", "16"},
      {u"Options", 0, S_OK, u"Secure", "True"},  // nothing clears Secure here
      {u"Secure", 0, S_OK, u"SecureProtocol", "0"},
      {u"SecureProtocol", 28, S_OK, u"Secure", "True"},
      {u"Options", 0x4000, S_OK, u"Options", "20480"},  // 0x5000
      {u"Priority", 9, S_OK, u"Priority", "2"},
      {u"ProxyType", 3, S_OK, u"ProxyType", "3"},
      {u"ProxyPort", 0, S_OK, u"ProxyType", "0"},
      {u"ProxyPort", 70000, HRESULT(0x800A2EE6), u"LastError", "12006"},
      {u"ProxyPort", 8080, S_OK, u"ProxyPort", "8080"},
      {u"DirectoryFormat", 7, HRESULT(0x800A017C), u"DirectoryFormat", "0"},
      {u"Encoding", -1, HRESULT(0x800A017C), u"Encoding", "1"},
      {u"ServerType", 3, HRESULT(0x800A017C), u"ServerType", "0"},
      {u"ServerPort", 443, S_OK, u"ServerType", "2"},
      {u"ServerType", 1, S_OK, u"ServerType", "1"},
      {u"ServerPort", 443, S_OK, u"ServerType", "1"},  // an FTP control stays FTP
      {u"ProxyType", 255, S_OK, u"ProxyType", "255"},
      {u"ProxyType", 5, HRESULT(0x800A017C), u"ProxyType", "255"},
      {u"LastError", 12201, S_OK, u"LastErrorString", "\"The specified operation is not supported\""},
      {nullptr, 0, S_OK, u"LastError", "12201"},
      {u"LastError", 0, S_OK, u"LastError", "0"},
      {u"ThrowError", -1, S_OK, u"ThrowError", "True"},
  };
  for (const Step& s : steps) {
    SCOPED_TRACE(s.put ? plat::ToUtf8(s.put) : "read");
    if (s.put) {
      EXPECT_EQ(Put(s.put, I4(s.value)), s.hr);
    }
    EXPECT_EQ(Show(s.read), s.expect);
  }
  const std::pair<const char16_t*, const char*> versions[] = {
      {u"1.1", "\"1.1\""}, {u"2", "\"2.0\""}, {u"0.5", "\"0.9\""}, {u"", "\"0.9\""}, {u"0", "\"0.9\""}};
  for (auto [text, expect] : versions) {
    VARIANT v = Str(text);
    EXPECT_EQ(Put(u"ProtocolVersion", v), S_OK);
    VariantClear(&v);
    EXPECT_EQ(Show(u"ProtocolVersion"), expect);
  }
  EXPECT_EQ(Show(u"TaskList", {I4(0)}), "!800A017D");  // an index equal to TaskCount
}

TEST_F(DeliverableTest, DesignModeRefusesReadsButNotWrites) {
  IOleObject* ole = nullptr;
  ASSERT_EQ(control_->QueryInterface(IID_IOleObject, reinterpret_cast<void**>(&ole)), S_OK);
  auto* site = new TestSite;
  site->userMode = false;
  ole->SetClientSite(site);
  EXPECT_EQ(Show(u"ServerName"), "!800A018A");
  EXPECT_EQ(Show(u"Version"), "!800A018A");
  EXPECT_EQ(Show(u"ThrowError"), "False");
  EXPECT_EQ(Show(u"Enabled"), "True");
  VARIANT host = Str(u"example.com");
  EXPECT_EQ(Put(u"ServerName", host), S_OK);
  VariantClear(&host);
  // Initialize reports the design mode in Error, and to the host only with ThrowError.
  VARIANT error{};
  CallResult r;
  Call(control_, u"Initialize", DISPATCH_METHOD, {Missing(), Ref(&error)}, &r);
  EXPECT_EQ(r.hr, S_OK);
  EXPECT_EQ(error.lVal, 5);
  Put(u"ThrowError", I4(1));
  CallResult thrown;
  Call(control_, u"Initialize", DISPATCH_METHOD, {}, &thrown);
  EXPECT_EQ(thrown.excep.scode, HRESULT(0x800A0005));
  site->userMode = true;
  EXPECT_EQ(Show(u"ServerName"), "\"example.com\"");
  EXPECT_EQ(Show(u"IsInitialized"), "False");
  ole->SetClientSite(nullptr);
  ole->Release();
  site->Release();
}

TEST_F(DeliverableTest, CommandGatesRaiseThroughOnErrorAndErrorInformation) {
  plat::com::EventSink* sink = plat::com::EventSink::Create(filexfer::DIID__IFileTransferEvents);
  std::vector<std::pair<int32_t, std::u16string>> errors;
  sink->On(3, [&](const std::vector<const VARIANT*>& a) {
    ASSERT_EQ(a.size(), 2u);
    ASSERT_EQ(a[0]->vt, VT_I4);
    errors.emplace_back(a[0]->lVal, Text(*a[1]));
  });
  ASSERT_EQ(sink->Connect(control_), S_OK);

  struct {
    int32_t serverType;
    bool throwError;
    int32_t number;
    const char16_t* text;
  } cases[] = {
      {0, false, 12201, u"The specified operation is not supported"},
      {2, false, 12201, u"The specified operation is not supported"},
      {1, false, 10057, u"No connection established with remote host"},
      {1, true, 10057, u"No connection established with remote host"},
  };
  for (auto& c : cases) {
    errors.clear();
    Put(u"ServerType", I4(c.serverType));
    Put(u"ThrowError", I4(c.throwError));
    VARIANT error{};
    VARIANT command = Str(u"NOOP");
    CallResult r;
    Call(control_, u"command", DISPATCH_METHOD, {command, Ref(&error)}, &r);
    VariantClear(&command);
    EXPECT_EQ(error.vt, VT_I4);
    EXPECT_EQ(error.lVal, c.number);
    ASSERT_EQ(errors.size(), 1u);  // OnError fires whatever ThrowError says
    EXPECT_EQ(errors[0].first, c.number);
    EXPECT_EQ(errors[0].second, c.text);
    // The error object is there, also when the host is not told.
    IErrorInfo* info = nullptr;
    EXPECT_EQ(GetErrorInfo(0, &info), S_OK);
    if (info) {
      GUID g;
      info->GetGUID(&g);
      EXPECT_TRUE(g == filexfer::IID_IFileTransfer);
      info->Release();
    }
    EXPECT_EQ(Show(u"LastError"), std::to_string(c.number));
    if (!c.throwError) {
      EXPECT_EQ(r.hr, S_OK);
      continue;
    }
    EXPECT_EQ(r.hr, DISP_E_EXCEPTION);
    EXPECT_EQ(uint32_t(r.excep.scode), 0x800A0000u | uint32_t(c.number));
    EXPECT_EQ(std::u16string(r.excep.bstrSource), u"Corvanetics.FileTransfer.9");
  }
  sink->Disconnect();
  sink->Release();
}

TEST_F(DeliverableTest, InitializeAttachesTheLibrariesAndUninitializeDetachesThem) {
  CallResult a, b, c;
  Call(control_, u"Initialize", DISPATCH_METHOD, {I4(7)}, &a);
  EXPECT_EQ(a.hr, S_OK);
  EXPECT_EQ(Show(u"IsInitialized"), "True");
  Put(u"Timeout", I4(45));
  Call(control_, u"Reset", DISPATCH_METHOD, {}, &b);
  EXPECT_EQ(Show(u"IsInitialized"), "True");  // Reset keeps the libraries
  EXPECT_EQ(Show(u"Timeout"), "20");
  Call(control_, u"Uninitialize", DISPATCH_METHOD, {}, &b);
  Call(control_, u"Uninitialize", DISPATCH_METHOD, {}, &c);
  EXPECT_EQ(c.hr, S_OK);
  EXPECT_EQ(Show(u"IsInitialized"), "False");
}

TEST_F(DeliverableTest, SafetyOptionsAndUnloading) {
  IObjectSafety* safety = nullptr;
  ASSERT_EQ(control_->QueryInterface(IID_IObjectSafety, reinterpret_cast<void**>(&safety)), S_OK);
  EXPECT_EQ(safety->SetInterfaceSafetyOptions(filexfer::IID_IFileTransfer, 3, 3), S_OK);
  EXPECT_EQ(safety->SetInterfaceSafetyOptions(filexfer::IID_IFileTransfer, 1, 1), E_FAIL);
  safety->Release();
  auto canUnload = reinterpret_cast<HRESULT (*)()>(dlsym(module_, "DllCanUnloadNow"));
  EXPECT_EQ(canUnload(), S_FALSE);
  control_->Release();
  control_ = nullptr;
  EXPECT_EQ(canUnload(), S_OK);
}

}  // namespace
