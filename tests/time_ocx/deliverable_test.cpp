// The deliverable as a host meets it: loaded by ProgID from a temporary registry, driven
// through IDispatch by name. SetTime is left to the in-process tests, which replace the
// clock operations: here it would set the machine's clock.
#include <dlfcn.h>
#include <gtest/gtest.h>

#include "platform/com/event_sink.h"
#include "time/ocx/guids.h"
#include "time_host.h"
#include "time_test_support.h"

namespace {

using namespace timehost;
using timetest::ScriptedServer;
using timetest::Wire;

constexpr uint32_t kSomeTime = 3870411456u;  // 2022-08-25 10:17:36 UTC

class TimeDeliverable : public RegistryFixture, public Driver {
 protected:
  void SetUp() override {
    RegistryFixture::SetUp();
    module_ = dlopen(CV_TIMECTL, RTLD_NOW | RTLD_LOCAL);
    ASSERT_NE(module_, nullptr) << dlerror();
    ASSERT_EQ(reinterpret_cast<HRESULT (*)()>(dlsym(module_, "DllRegisterServer"))(), S_OK);
    CLSID clsid;
    ASSERT_EQ(CLSIDFromProgID(u"Corvanetics.TimeClient", &clsid), S_OK);
    ASSERT_EQ(CoCreateInstance(clsid, nullptr, CLSCTX_INPROC_SERVER, IID_IDispatch, reinterpret_cast<void**>(&control)),
              S_OK);
    sink_ = plat::com::EventSink::Create(timectl::DIID__ITimeClientEvents);
    for (DISPID id : {1, 2, 3, 4})
      sink_->On(id, [this, id](const std::vector<const VARIANT*>&) { events_.push_back(int(id)); });
    ASSERT_EQ(sink_->Connect(control), S_OK);
  }
  void TearDown() override {
    if (sink_) {
      sink_->Disconnect();
      sink_->Release();
    }
    if (control) control->Release();
    if (module_) dlclose(module_);
    RegistryFixture::TearDown();
  }
  // GetTime(host, port, timeout, localize, Result): the Result text.
  std::string GetTime(const char16_t* host, int32_t port, int32_t timeout, VARIANT localize) {
    VARIANT result{};
    EXPECT_EQ(Method(u"GetTime", {Str(host), I4(port), I4(timeout), localize, Ref(&result)}), S_OK);
    std::string text = Value(result);
    VariantClear(&result);
    return text;
  }
  void* module_ = nullptr;
  plat::com::EventSink* sink_ = nullptr;
  std::vector<int> events_;  // DISPIDs fired: 1 OnCancel, 2 OnError, 3 OnTimer, 4 OnTimeout
};

VARIANT Bool(bool b) {
  VARIANT v{};
  v.vt = VT_BOOL;
  v.boolVal = b ? VARIANT_TRUE : VARIANT_FALSE;
  return v;
}

TEST_F(TimeDeliverable, ExportsOnlyItsFourEntryPoints) {
  for (const char* name : {"DllGetClassObject", "DllCanUnloadNow", "DllRegisterServer", "DllUnregisterServer"})
    EXPECT_NE(dlsym(module_, name), nullptr) << name;
  for (const char* name : {"TimeAttach", "TimeGetNetworkTime", "SockGetServicePort", "TraceEnable"})
    EXPECT_EQ(dlsym(module_, name), nullptr) << name;
}

TEST_F(TimeDeliverable, PropertyDefaults) {
  const std::pair<const char16_t*, const char*> defaults[] = {
      {u"Enabled", "True"},        {u"AutoResolve", "False"},   {u"Handle", "-1"},
      {u"HostAddress", "\"\""},    {u"HostName", "\"\""},       {u"Interval", "0"},
      {u"IsBlocked", "False"},     {u"IsInitialized", "False"}, {u"LastError", "0"},
      {u"LocalDate", "\"\""},      {u"LocalPort", "0"},         {u"LocalTime", "\"\""},
      {u"RemotePort", "0"},        {u"State", "0"},             {u"SystemDate", "\"\""},
      {u"SystemTime", "\"\""},     {u"ThrowError", "False"},    {u"Timeout", "10"},
      {u"Trace", "False"},         {u"TraceFile", "\"\""},      {u"TraceFlags", "0"},
      {u"Version", "\"9.5.9530.0\""},
  };
  for (auto [name, expect] : defaults) EXPECT_EQ(Show(name), expect) << plat::ToUtf8(name);
  EXPECT_EQ(Show(u"RemoteService"), "\"\"");  // port 0 has no name; the read initialises
  EXPECT_EQ(Show(u"IsInitialized"), "True");
}

TEST_F(TimeDeliverable, PropertyRules) {
  struct Step {
    const char16_t* put;
    int32_t value;
    HRESULT hr;
    const char16_t* read;
    const char* expect;
  } steps[] = {
      {u"Interval", 65534, S_OK, u"Interval", "65534"},
      {u"Interval", 65535, HRESULT(0x800A017C), u"Interval", "65534"},
      {u"Interval", -1, HRESULT(0x800A017C), u"Interval", "65534"},
      {u"Interval", 0, S_OK, u"Interval", "0"},
      {u"RemotePort", 65536, HRESULT(0x800A017C), u"RemotePort", "0"},
      {u"RemotePort", -5, HRESULT(0x800A017C), u"RemotePort", "0"},
      {u"RemotePort", 37, S_OK, u"RemoteService", "\"time\""},
      {u"RemotePort", 65003, S_OK, u"RemoteService", "\"\""},  // a port without a name
      {u"Timeout", -3, S_OK, u"Timeout", "-3"},                // stored unchecked
      {u"LastError", 10060, S_OK, u"LastErrorString", "\"The specified operation has timed out\""},
      {nullptr, 0, S_OK, u"LastError", "10060"},
      {u"LastError", 0, S_OK, u"LastErrorString", "\"Undefined control error (0x00000000)\""},
  };
  for (const Step& s : steps) {
    SCOPED_TRACE(s.put ? plat::ToUtf8(s.put) : "read");
    if (s.put) {
      EXPECT_EQ(Put(s.put, I4(s.value)), s.hr);
    }
    EXPECT_EQ(Show(s.read), s.expect);
  }
  EXPECT_EQ(PutText(u"RemoteService", u"time"), S_OK);
  EXPECT_EQ(Show(u"RemotePort"), "37");
  EXPECT_EQ(PutText(u"RemoteService", u"110"), S_OK);
  EXPECT_EQ(Show(u"RemotePort"), "110");
  EXPECT_EQ(PutText(u"RemoteService", u"no-such-service"), HRESULT(0x800A2EE7));
  EXPECT_EQ(Show(u"LastError"), "12007");
  EXPECT_EQ(Show(u"RemotePort"), "110");
  EXPECT_TRUE(events_.empty());  // property errors fire no OnError
}

TEST_F(TimeDeliverable, HostProperties) {
  // A numeric address written as a name is moved to HostAddress.
  EXPECT_EQ(PutText(u"HostName", u"192.0.2.7"), S_OK);
  EXPECT_EQ(Show(u"HostAddress"), "\"192.0.2.7\"");
  EXPECT_EQ(Show(u"HostName"), "\"\"");
  // An empty address changes nothing; a name is no address.
  EXPECT_EQ(PutText(u"HostAddress", u""), S_OK);
  EXPECT_EQ(Show(u"HostAddress"), "\"192.0.2.7\"");
  EXPECT_EQ(PutText(u"HostName", u"time.example"), S_OK);
  EXPECT_EQ(Show(u"HostAddress"), "\"\"");
  EXPECT_EQ(PutText(u"HostAddress", u"::1"), S_OK);
  EXPECT_EQ(Show(u"HostName"), "\"\"");
  EXPECT_EQ(PutText(u"HostAddress", u"time.example"), HRESULT(0x800A2737));
  EXPECT_EQ(Show(u"LastError"), "10039");
  EXPECT_EQ(Show(u"HostAddress"), "\"::1\"");
  EXPECT_EQ(Show(u"HostName"), "\"\"");
  // With AutoResolve the other one is looked up (the hosts file knows the loopback).
  EXPECT_EQ(Put(u"AutoResolve", I4(1)), S_OK);
  EXPECT_EQ(PutText(u"HostName", u"127.0.0.1"), S_OK);
  EXPECT_EQ(Show(u"HostAddress"), "\"127.0.0.1\"");
  EXPECT_EQ(Show(u"HostName"), "\"localhost\"");
}

TEST_F(TimeDeliverable, GetTimeReadsTheServerInUtcOrLocalTime) {
  Zone zone(kEastern);
  for (const char16_t* host : {u"127.0.0.1", u"::1"}) {
    if (!timetest::LoopbackUsable(host[0] == u':' ? AF_INET6 : AF_INET)) continue;
    ScriptedServer utc({{Wire(kSomeTime)}}, host[0] == u':' ? AF_INET6 : AF_INET);
    EXPECT_EQ(GetTime(host, utc.port(), 5, Missing()), "\"8/25/2022 10:17:36 AM\"");
    ScriptedServer local({{Wire(kSomeTime)}}, host[0] == u':' ? AF_INET6 : AF_INET);
    EXPECT_EQ(GetTime(host, local.port(), 5, Bool(true)), "\"8/25/2022 6:17:36 AM\"");  // UTC-4 in August
  }
  EXPECT_EQ(Show(u"SystemDate"), "\"8/25/2022\"");
  EXPECT_EQ(Show(u"SystemTime"), "\"10:17:36 AM\"");
  EXPECT_EQ(Show(u"LocalDate"), "\"8/25/2022\"");
  EXPECT_EQ(Show(u"LocalTime"), "\"6:17:36 AM\"");
  EXPECT_EQ(Show(u"LastError"), "0");
  // Missing arguments take the properties.
  ScriptedServer server({{Wire(kSomeTime + 86400u * 200u)}});
  EXPECT_EQ(PutText(u"HostAddress", u"127.0.0.1"), S_OK);
  EXPECT_EQ(Put(u"RemotePort", I4(server.port())), S_OK);
  VARIANT result{};
  EXPECT_EQ(Method(u"GetTime", {Missing(), Missing(), Missing(), Missing(), Ref(&result)}), S_OK);
  EXPECT_EQ(Value(result), "\"3/13/2023 10:17:36 AM\"");
  VariantClear(&result);
  EXPECT_EQ(Show(u"LocalTime"), "\"6:17:36 AM\"");  // daylight saving began the day before
  EXPECT_TRUE(events_.empty());
}

TEST_F(TimeDeliverable, GetTimeWithoutAnAnswerTimesOut) {
  ScriptedServer first({{Wire(kSomeTime)}});
  EXPECT_EQ(GetTime(u"127.0.0.1", first.port(), 5, Missing()), "\"8/25/2022 10:17:36 AM\"");
  ScriptedServer silent({});
  EXPECT_EQ(GetTime(u"127.0.0.1", silent.port(), 1, Missing()), "\"\"");
  EXPECT_EQ(events_, std::vector<int>{4});  // OnTimeout, and no OnError
  EXPECT_EQ(Show(u"LastError"), "10060");
  EXPECT_EQ(Show(u"LastErrorString"), "\"The specified operation has timed out\"");
  for (const char16_t* name : {u"LocalDate", u"LocalTime", u"SystemDate", u"SystemTime"})
    EXPECT_EQ(Show(name), "\"\"") << plat::ToUtf8(name);
  // Bad arguments are the host's errors, before anything is sent.
  VARIANT badPort = Str(u"port");
  EXPECT_EQ(Method(u"GetTime", {Str(u"127.0.0.1"), badPort, Missing(), Missing(), Missing()}), DISP_E_TYPEMISMATCH);
  ScriptedServer oversize({{Wire(kSomeTime) + "!"}});
  events_.clear();
  EXPECT_EQ(GetTime(u"127.0.0.1", oversize.port(), 5, Missing()), "\"\"");
  EXPECT_EQ(Show(u"LastError"), "10040");
  EXPECT_TRUE(events_.empty());
}

TEST_F(TimeDeliverable, DesignModeRefusesReadsAndInitialisation) {
  IOleObject* ole = nullptr;
  ASSERT_EQ(control->QueryInterface(IID_IOleObject, reinterpret_cast<void**>(&ole)), S_OK);
  auto* site = new TestSite;
  site->userMode = false;
  ole->SetClientSite(site);
  EXPECT_EQ(Show(u"Timeout"), "!800A018A");
  EXPECT_EQ(Show(u"ThrowError"), "!800A018A");
  EXPECT_EQ(Show(u"Enabled"), "True");
  EXPECT_EQ(PutText(u"HostAddress", u"192.0.2.1"), S_OK);  // not stored outside run mode
  VARIANT error{};
  EXPECT_EQ(Method(u"Initialize", {Missing(), Ref(&error)}), S_OK);
  EXPECT_EQ(error.lVal, 5);
  EXPECT_EQ(Method(u"GetTime", {Str(u"127.0.0.1"), Missing(), Missing(), Missing(), Missing()}), HRESULT(0x800A0005));
  site->userMode = true;
  EXPECT_EQ(Show(u"HostAddress"), "\"\"");
  EXPECT_EQ(Show(u"IsInitialized"), "False");
  ole->SetClientSite(nullptr);
  ole->Release();
  site->Release();
}

}  // namespace
