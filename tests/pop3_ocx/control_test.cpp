// The control's settings, argument rules and error reporting without a real server, and
// its raw Read and Write buffer forms against a scripted one.
#include <cstring>
#include <string>

#include "pop3/pop3_bits.h"
#include "pop_host.h"
#include "support/script_server.h"
#include "support/silent_peer.h"

namespace pophost {
namespace {

using namespace std::chrono_literals;

class PopControl : public PopDeliverable {};

TEST_F(PopControl, ExportsOnlyItsFourEntryPoints) {
  void* module = dlopen(CV_POPCTL, RTLD_NOW | RTLD_NOLOAD);
  ASSERT_NE(module, nullptr);
  for (const char* name : {"DllGetClassObject", "DllCanUnloadNow", "DllRegisterServer", "DllUnregisterServer"})
    EXPECT_NE(dlsym(module, name), nullptr) << name;
  for (const char* name : {"Pop3Attach", "Pop3Connect", "SockGetServicePort", "TraceEnable"})
    EXPECT_EQ(dlsym(module, name), nullptr) << name;
  dlclose(module);
}

TEST_F(PopControl, PropertyDefaults) {
  const std::pair<const char16_t*, const char*> defaults[] = {
      {u"Enabled", "True"},       {u"AuthType", "0"},          {u"AutoResolve", "False"},
      {u"Blocking", "True"},      {u"CertificateExpires", "\"\""}, {u"CertificateStatus", "0"},
      {u"CipherStrength", "0"},   {u"Connected", "False"},     {u"Handle", "-1"},
      {u"HeaderValue", "\"\""},   {u"HostAddress", "\"\""},    {u"IsConnected", "False"},
      {u"IsInitialized", "False"}, {u"IsReadable", "False"},   {u"LastError", "0"},
      {u"LastMessage", "0"},      {u"MailboxSize", "0"},       {u"Message", "0"},
      {u"MessageCount", "0"},     {u"MessageFrom", "\"\""},    {u"MessageSize", "0"},
      {u"NewMessages", "0"},      {u"UnreadMessages", "0"},    {u"Options", "0"},
      {u"RemotePort", "0"},       {u"ResultCode", "False"},    {u"Secure", "False"},
      {u"SecureProtocol", "0"},   {u"State", "0"},             {u"ThrowError", "False"},
      {u"Timeout", "60"},         {u"Trace", "False"},         {u"Version", "\"9.5.9530.0\""},
  };
  for (const auto& [name, value] : defaults) EXPECT_EQ(Get(name), value) << plat::ToUtf8(name);
}

TEST_F(PopControl, SettingRules) {
  struct Case {
    const char16_t* name;
    int32_t value;
    HRESULT hr;
  } cases[] = {
      {u"AuthType", 2, HRESULT(0x800A017C)},   {u"AuthType", -1, HRESULT(0x800A017C)},
      {u"AuthType", 1, S_OK},                  {u"RemotePort", 65536, HRESULT(0x800A017C)},
      {u"RemotePort", -1, HRESULT(0x800A017C)}, {u"RemotePort", 995, S_OK},
  };
  for (const Case& c : cases) EXPECT_EQ(Put(c.name, I4(c.value)), c.hr) << plat::ToUtf8(c.name) << c.value;
  EXPECT_EQ(Get(u"RemoteService"), "\"pop3s\"");
  EXPECT_EQ(PutText(u"RemoteService", u"pop3"), S_OK);
  EXPECT_EQ(Get(u"RemotePort"), "110");
  EXPECT_EQ(PutText(u"RemoteService", u"no-such-service"), HRESULT(0x800A2EE7));

  // Secure and the protocol go together; Options with the secure bit sets Secure too.
  EXPECT_EQ(Put(u"Secure", Bool(true)), S_OK);
  EXPECT_EQ(Get(u"Options"), std::to_string(kPop3OptionSecure));
  EXPECT_EQ(Get(u"SecureProtocol"), "16");
  EXPECT_EQ(Put(u"SecureProtocol", I4(0)), S_OK);
  EXPECT_EQ(Get(u"Options"), "0");
  EXPECT_EQ(Get(u"Secure"), "False");
  EXPECT_EQ(Put(u"Options", I4(kPop3OptionSecure | kPop3OptionLineBreak)), S_OK);
  EXPECT_EQ(Get(u"Secure"), "True");

  EXPECT_EQ(Put(u"LastError", I4(10060)), S_OK);
  EXPECT_EQ(Get(u"LastError"), "10060");
  EXPECT_EQ(Get(u"LastErrorString").find("timed out") != std::string::npos ||
                Get(u"LastErrorString").find("imeout") != std::string::npos,
            true)
      << Get(u"LastErrorString");

  // Reset brings every default back.
  EXPECT_EQ(Put(u"Timeout", I4(5)), S_OK);
  EXPECT_EQ(Method(u"Reset", {}), S_OK);
  for (const char16_t* name : {u"Timeout", u"Options", u"AuthType", u"RemotePort", u"LastError"})
    EXPECT_EQ(Get(name), name == std::u16string(u"Timeout") ? "60" : "0") << plat::ToUtf8(name);
}

TEST_F(PopControl, HostNameAndAddress) {
  EXPECT_EQ(PutText(u"HostName", u"127.0.0.1"), S_OK);
  EXPECT_EQ(Get(u"HostAddress"), "\"127.0.0.1\"");
  EXPECT_EQ(Get(u"HostName"), "\"\"");
  EXPECT_EQ(PutText(u"HostName", u"mail.example.invalid"), S_OK);  // never fails
  EXPECT_EQ(Get(u"HostName"), "\"mail.example.invalid\"");
  EXPECT_EQ(Get(u"HostAddress"), "\"\"");
  EXPECT_EQ(PutText(u"HostAddress", u"not an address"), HRESULT(0x800A2737));
  EXPECT_EQ(PutText(u"HostAddress", u"::1"), S_OK);
  EXPECT_EQ(Get(u"HostAddress"), "\"::1\"");
  EXPECT_EQ(Get(u"HostName"), "\"\"");
  EXPECT_EQ(PutText(u"HostAddress", u""), S_OK);  // changes nothing
  EXPECT_EQ(Get(u"HostAddress"), "\"::1\"");
  EXPECT_EQ(Count(kOnError), 0u);
}

TEST_F(PopControl, MethodsWithoutAConnectionReportNoConnection) {
  VARIANT error = I4(-5);
  EXPECT_EQ(Method(u"Cancel", {Ref(&error)}), S_OK);  // not initialised: nothing
  EXPECT_EQ(Show(error), "0");
  EXPECT_EQ(Method(u"DeleteMessage", {I4(1), Ref(&error)}), S_OK);
  EXPECT_EQ(Show(error), "10057");
  EXPECT_EQ(Get(u"LastError"), "10057");  // not 10038: there is no session at all
  ASSERT_EQ(Count(kOnError), 1u);
  EXPECT_EQ(Last(kOnError)->args[0], "10057");
  EXPECT_EQ(Last(kOnError)->args[1], "\"No connection established with remote host\"");

  EXPECT_EQ(Put(u"ThrowError", Bool(true)), S_OK);
  EXPECT_EQ(Method(u"GetMessage", {I4(1), Ref(&error), Missing()}), HRESULT(0x800A2749));
  EXPECT_EQ(Count(kOnError), 2u);
  // GetHeader reports without OnError.
  VARIANT value{}, result = Bool(true);
  EXPECT_EQ(Method(u"GetHeader", {I4(1), Str(u"Subject"), Ref(&value), Ref(&result)}), HRESULT(0x800A2749));
  EXPECT_EQ(Show(result), "False");
  EXPECT_EQ(Count(kOnError), 2u);

  // Properties raise without OnError.
  // GetMessage made message 1 current; writes out of range leave it.
  EXPECT_EQ(Put(u"Message", I4(0)), HRESULT(0x800A3006));
  EXPECT_EQ(Put(u"Message", I4(2)), HRESULT(0x800A3006));
  EXPECT_EQ(Get(u"Message"), "1");
  EXPECT_EQ(Count(kOnError), 2u);

  EXPECT_EQ(Method(u"Initialize", {Missing(), Missing()}), S_OK);
  EXPECT_EQ(Get(u"IsInitialized"), "True");
  // Nothing runs without a session: Cancel reports nothing and leaves LastError.
  const std::string before = Get(u"LastError");
  EXPECT_EQ(Method(u"Cancel", {Ref(&error)}), S_OK);
  EXPECT_EQ(Show(error), "0");
  EXPECT_EQ(Get(u"LastError"), before);
  EXPECT_EQ(Count(kOnError), 2u);
  VariantClear(&value);
}

TEST_F(PopControl, ArgumentErrorsComeBackWithoutTheErrorReporter) {
  VARIANT text = Str(u"abc"), result{};
  const HRESULT invalid = E_INVALIDARG;
  EXPECT_EQ(Method(u"SendMessage", {Str(u""), Missing(), Missing()}), invalid);
  EXPECT_EQ(Method(u"SendMessage", {Missing(), Missing(), Missing()}), invalid);
  EXPECT_EQ(Method(u"Read", {Ref(&text), Missing(), Ref(&result)}), invalid);  // a string needs a Length
  EXPECT_EQ(Method(u"Read", {Ref(&text), I4(-1), Ref(&result)}), invalid);
  EXPECT_EQ(Method(u"Read", {Ref(&text), I4(0), Ref(&result)}), invalid);
  VARIANT number = I4(7);
  EXPECT_EQ(Method(u"Read", {Ref(&number), Missing(), Ref(&result)}), invalid);
  VARIANT date{};
  date.vt = VT_DATE;
  EXPECT_EQ(Method(u"Read", {Ref(&date), I4(4), Ref(&result)}), invalid);
  EXPECT_EQ(Method(u"Write", {Missing(), Missing(), Ref(&result)}), invalid);
  EXPECT_EQ(Method(u"Write", {Str(u"x"), I4(-1), Ref(&result)}), invalid);
  VARIANT strings{};
  strings.vt = VT_ARRAY | VT_BSTR;
  strings.parray = SafeArrayCreateVector(VT_BSTR, 0, 2);
  EXPECT_EQ(Method(u"Write", {strings, Missing(), Ref(&result)}), invalid);
  SAFEARRAYBOUND bounds[2] = {{2, 0}, {2, 0}};
  VARIANT square{};
  square.vt = VT_ARRAY | VT_UI1;
  square.parray = SafeArrayCreate(VT_UI1, 2, bounds);
  EXPECT_EQ(Method(u"Write", {square, Missing(), Ref(&result)}), HRESULT(0x800A0005));
  EXPECT_EQ(Count(kOnError), 0u);
  EXPECT_EQ(Get(u"LastError"), "0");
  VariantClear(&text);
}

TEST_F(PopControl, DesignModeRefusesReads) {
  auto* site = new TestSite();
  site->userMode = false;
  IOleObject* object = nullptr;
  ASSERT_EQ(control->QueryInterface(IID_IOleObject, reinterpret_cast<void**>(&object)), S_OK);
  ASSERT_EQ(object->SetClientSite(site), S_OK);
  EXPECT_EQ(Get(u"Timeout"), "!800A018A");
  EXPECT_EQ(Get(u"Enabled"), "True");
  EXPECT_EQ(Method(u"Initialize", {Missing(), Missing()}), S_OK);
  EXPECT_EQ(PutText(u"HostName", u"127.0.0.1"), S_OK);  // stored as given outside run mode
  site->userMode = true;
  EXPECT_EQ(Get(u"HostName"), "\"127.0.0.1\"");
  EXPECT_EQ(Get(u"IsInitialized"), "False");
  object->SetClientSite(nullptr);
  object->Release();
  site->Release();
}

// A server that says nothing once the TLS handshake is due: the connect ends after its
// Timeout with 10060, blocking (the Error argument) or not (OnError).
TEST_F(PopControl, SilentTlsServerEndsTheConnectAfterItsTimeout) {
  for (const bool blocking : {true, false}) {
    cvtest::SilentPeer peer;
    ASSERT_EQ(Put(u"Blocking", Bool(blocking)), S_OK);
    events.clear();
    VARIANT error{};
    ASSERT_EQ(Method(u"Connect", {Str(u"127.0.0.1"), I4(peer.port()), Missing(), Missing(), I4(2),
                                  I4(kPop3OptionSecure | kPop3OptionSecureImplicit), Ref(&error)}),
              S_OK);
    if (!blocking) {
      EXPECT_TRUE(PumpUntil([&] { return Count(kOnError) > 0; }));
    }
    const auto end = cvtest::Clock::now();
    ASSERT_TRUE(peer.heard()) << blocking;
    EXPECT_LE(end - peer.heardAt(), 3s) << blocking;
    EXPECT_GE(end - peer.heardAt(), 1900ms) << blocking;
    if (blocking) {
      EXPECT_EQ(Show(error), "10060");
    } else if (Count(kOnError)) {
      EXPECT_EQ(Last(kOnError)->args[0], "10060");
    }
    EXPECT_EQ(Get(u"IsConnected"), "False") << blocking;
  }
}

// Raw data over a connection without login: the buffer forms of Write and Read.
TEST_F(PopControl, WriteAndReadBufferForms) {
  cvtest::ScriptServer server;
  server.Reply("+OK hi")
      .Expect("\xC3\xA4\xC3\xB6\xC3\xBC\xC3\xA4\xC3\xB6\x01\x02")
      .Send("+OK raw\r\n")
      .Expect("LIST")
      .Send("+OK\r\nAB 12345678\r\n.\r\n")
      .Expect("QUIT")
      .Reply("+OK");
  server.Start();
  VARIANT error{};
  ASSERT_EQ(Method(u"Connect", {Str(u"127.0.0.1"), I4(server.port()), Missing(), Missing(), I4(5), Missing(),
                                Ref(&error)}),
            S_OK);
  ASSERT_EQ(Get(u"IsConnected"), "True") << Show(error);
  EXPECT_EQ(Count(kOnConnect), 0u);  // a blocking connect fires none

  VARIANT result{};
  // Three characters that take six bytes in UTF-8; a Length cuts the bytes.
  EXPECT_EQ(Method(u"Write", {Str(u"äöü"), Missing(), Ref(&result)}), S_OK);
  EXPECT_EQ(Show(result), "6");
  EXPECT_EQ(Method(u"Write", {Str(u"äöü"), I4(4), Ref(&result)}), S_OK);
  EXPECT_EQ(Show(result), "4");
  VARIANT bytes{};
  bytes.vt = VT_ARRAY | VT_UI1;
  bytes.parray = SafeArrayCreateVector(VT_UI1, 0, 4);
  const uint8_t raw[4] = {1, 2, '\r', '\n'};
  void* data = nullptr;
  SafeArrayAccessData(bytes.parray, &data);
  std::memcpy(data, raw, 4);
  SafeArrayUnaccessData(bytes.parray);
  EXPECT_EQ(Method(u"Write", {bytes, Missing(), Ref(&result)}), S_OK);
  EXPECT_EQ(Show(result), "4");

  // Outside a multi-line response a read takes one status line.
  VARIANT text{};
  EXPECT_EQ(Method(u"Read", {Ref(&text), I4(512), Ref(&result)}), S_OK);
  EXPECT_EQ(Show(text), "\"+OK raw\r\n\"");
  // A multi-line answer: two bytes into a 4-byte integer, three into a new byte array, the
  // rest as text, then the end.
  VariantClear(&error);
  ASSERT_EQ(Method(u"Command", {Str(u"LIST"), Missing(), I4(1), Ref(&error)}), S_OK);
  VARIANT number = I4(0);
  EXPECT_EQ(Method(u"Read", {Ref(&number), I4(2), Ref(&result)}), S_OK);
  EXPECT_EQ(Show(result), "2");
  EXPECT_EQ(number.lVal, int32_t('A' | ('B' << 8)));
  VARIANT array{};
  array.vt = VT_ARRAY | VT_UI1;
  array.parray = nullptr;
  VARIANT arrayRef{};
  arrayRef.vt = VT_BYREF | VT_ARRAY | VT_UI1;
  arrayRef.pparray = &array.parray;
  EXPECT_EQ(Method(u"Read", {arrayRef, I4(3), Ref(&result)}), S_OK);
  EXPECT_EQ(Show(result), "3");
  ASSERT_NE(array.parray, nullptr);
  EXPECT_EQ(array.parray->rgsabound[0].cElements, 3u);
  EXPECT_EQ(std::memcmp(array.parray->pvData, " 12", 3), 0);
  EXPECT_EQ(Method(u"Read", {Ref(&text), I4(512), Ref(&result)}), S_OK);
  EXPECT_EQ(Show(text), "\"345678\r\n\"");
  EXPECT_EQ(Show(result), "8");
  EXPECT_EQ(Method(u"Read", {Ref(&text), I4(512), Ref(&result)}), S_OK);
  EXPECT_EQ(Show(result), "0");
  EXPECT_EQ(Show(text), "\"\"");

  EXPECT_EQ(Method(u"Disconnect", {Missing()}), S_OK);
  EXPECT_EQ(Get(u"Handle"), "-1");
  EXPECT_TRUE(server.Finish()) << server.failure();
  VariantClear(&array);
  VariantClear(&text);
}

}  // namespace
}  // namespace pophost
