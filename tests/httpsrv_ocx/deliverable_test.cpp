// The HttpServer deliverable without clients: exports, settings and their rules, and the
// errors of members that need a server or a client.
#include <dlfcn.h>

#include "httpsrv_host.h"

namespace {

using namespace httpsrvhost;

class HttpDeliverable : public HttpHost {};

TEST(HttpServerExports, OnlyTheFourEntryPoints) {
  void* module = dlopen(CV_HTTPSRVCTL, RTLD_NOW | RTLD_LOCAL);
  ASSERT_NE(module, nullptr) << dlerror();
  for (const char* name : {"DllGetClassObject", "DllCanUnloadNow", "DllRegisterServer", "DllUnregisterServer"})
    EXPECT_NE(dlsym(module, name), nullptr) << name;
  for (const char* name : {"HttpServerStart", "InetAttach", "ServerGetClientCount"})
    EXPECT_EQ(dlsym(module, name), nullptr) << name;
  dlclose(module);
}

TEST_F(HttpDeliverable, Defaults) {
  const std::pair<const char16_t*, const char*> defaults[] = {
      {u"ExecTime", "5"},         {u"IdleTime", "60"},        {u"MaxClients", "100"},     {u"Options", "0"},
      {u"Priority", "2"},         {u"ServerPort", "80"},      {u"StackSize", "524288"},   {u"LogFormat", "0"},
      {u"LogLevel", "0"},         {u"LogFile", "\"\""},       {u"Directory", "\"\""},     {u"IsActive", "False"},
      {u"IsInitialized", "False"}, {u"IsListening", "False"}, {u"ServerHandle", "-1"},    {u"ClientId", "0"},
      {u"ClientCount", "0"},      {u"CommandLine", "\"\""},   {u"LocalPath", "\"\""},     {u"LastError", "0"},
      {u"ThrowError", "False"},   {u"Trace", "False"},        {u"Secure", "False"},       {u"Enabled", "True"},
      {u"NoIndex", "False"},      {u"ServerUuid", "\"\""},    {u"Version", "\"9.5.9530.0\""},
  };
  for (const auto& [name, value] : defaults) EXPECT_EQ(Get(name), value) << plat::ToUtf8(name);
}

TEST_F(HttpDeliverable, NumbersAreClampedOrRefused) {
  struct Case {
    const char16_t* name;
    int32_t value;
    const char* reads;  // "!800A017C" when refused
  } cases[] = {
      {u"ExecTime", 0, "1"},          {u"ExecTime", 31, "30"},         {u"IdleTime", 5, "10"},
      {u"IdleTime", 1000, "300"},     {u"StackSize", 100, "262144"},   {u"StackSize", 0, "524288"},
      {u"StackSize", 1 << 30, "8388608"}, {u"MaxClients", -1, "!800A017C"}, {u"Priority", 5, "!800A017C"},
      {u"ServerPort", 70000, "!800A017C"}, {u"ServerPort", 0, "0"},  {u"LogFormat", 4, "!800A017C"},
      {u"LogLevel", 42, "10"},
  };
  for (const Case& c : cases) {
    const HRESULT hr = Put(c.name, I4(c.value));
    if (c.reads[0] == '!') {
      EXPECT_EQ(hr, HRESULT(0x800A017C)) << plat::ToUtf8(c.name) << " " << c.value;
    } else {
      EXPECT_EQ(hr, S_OK) << plat::ToUtf8(c.name);
      EXPECT_EQ(Get(c.name), c.reads) << plat::ToUtf8(c.name) << " " << c.value;
    }
  }
}

TEST_F(HttpDeliverable, LogFormatAndLevelFollowEachOther) {
  ASSERT_EQ(Put(u"LogFormat", I4(1)), S_OK);
  EXPECT_EQ(Get(u"LogLevel"), "1");
  ASSERT_EQ(Put(u"LogFormat", I4(0)), S_OK);
  EXPECT_EQ(Get(u"LogLevel"), "0");
  ASSERT_EQ(Put(u"LogLevel", I4(4)), S_OK);
  EXPECT_EQ(Get(u"LogFormat"), "3");
  ASSERT_EQ(Put(u"LogLevel", I4(0)), S_OK);
  EXPECT_EQ(Get(u"LogFormat"), "0");
  ASSERT_EQ(Put(u"LogFormat", I4(3)), S_OK);
  EXPECT_EQ(Get(u"LogLevel"), "5");
  // The combined format is written by the library: the property takes it.
  ASSERT_EQ(Put(u"LogFormat", I4(0)), S_OK);
  ASSERT_EQ(Put(u"LogFormat", I4(2)), S_OK);
  EXPECT_EQ(Get(u"LogFormat"), "2");
  EXPECT_EQ(Get(u"LogLevel"), "1");
}

TEST_F(HttpDeliverable, SecureMovesOnlyTheStandardPorts) {
  ASSERT_EQ(Put(u"Secure", Bool(true)), S_OK);
  EXPECT_EQ(Get(u"ServerPort"), "443");
  EXPECT_EQ(Get(u"Options"), "4096");
  ASSERT_EQ(Put(u"Secure", Bool(false)), S_OK);
  EXPECT_EQ(Get(u"ServerPort"), "80");
  ASSERT_EQ(Put(u"ServerPort", I4(8080)), S_OK);
  ASSERT_EQ(Put(u"Secure", Bool(true)), S_OK);
  EXPECT_EQ(Get(u"ServerPort"), "8080");
}

TEST_F(HttpDeliverable, TextSettings) {
  // Only numeric addresses, stored re-printed.
  EXPECT_EQ(Put(u"ServerAddress", Str(u"::0001")), S_OK);
  EXPECT_EQ(Get(u"ServerAddress"), "\"::1\"");
  EXPECT_NE(Put(u"ServerAddress", Str(u"localhost")), S_OK);
  EXPECT_EQ(Get(u"ServerAddress"), "\"::1\"");
  EXPECT_EQ(Put(u"ServerUuid", Str(u"{0A1B2C3D-0000-4000-8000-00000000000F}")), S_OK);
  EXPECT_EQ(Get(u"ServerUuid"), "\"0a1b2c3d-0000-4000-8000-00000000000f\"");
  EXPECT_EQ(Put(u"ServerUuid", Str(u"not-a-uuid")), HRESULT(0x800A017C));
  const std::string name = Get(u"ServerName");  // the machine's full name when none was set
  EXPECT_GT(name.size(), 2u);
  EXPECT_NE(name[0], '!');
}

TEST_F(HttpDeliverable, MembersThatNeedAServerOrAClient) {
  EXPECT_EQ(Put(u"ClientIdle", I4(30)), HRESULT(0x800A017C));
  EXPECT_EQ(Put(u"LocalPath", Str(u"/tmp")), HRESULT(0x800A017C));
  EXPECT_EQ(Put(u"VirtualPath", Str(u"/x")), HRESULT(0x800A017C));
  VARIANT error{}, result{};
  // A missing required argument is refused before the library is asked.
  EXPECT_EQ(Method(u"AddHost", {Missing(), Missing(), Missing(), Ref(&result)}), E_INVALIDARG);
  // Without a server: "server inactive", reported through OnError, S_OK to the host.
  EXPECT_EQ(Method(u"AddPath", {I4(0), Str(u"/a"), Str(u"/tmp"), Missing(), Ref(&error)}), S_OK);
  EXPECT_EQ(Show(error), "12344");
  ASSERT_NE(First(kOnError), nullptr);
  EXPECT_EQ(First(kOnError)->args[1], "12344");
  EXPECT_EQ(Method(u"Restart", {Ref(&error)}), S_OK);
  EXPECT_EQ(Show(error), "12344");
  // With ThrowError the HRESULT comes back too.
  ASSERT_EQ(Put(u"ThrowError", Bool(true)), S_OK);
  EXPECT_EQ(Method(u"Resume", {Ref(&error)}), HRESULT(0x800A3038));
  VARIANT none{};
  EXPECT_EQ(Method(u"Stop", {Ref(&none)}), S_OK);  // nothing to stop
  EXPECT_EQ(Show(none), "0");
}

TEST_F(HttpDeliverable, ResetRestoresDefaultsButKeepsIdentity) {
  ASSERT_EQ(Put(u"Identity", Str(u"probe/1")), S_OK);
  ASSERT_EQ(Put(u"ServerPort", I4(8081)), S_OK);
  ASSERT_EQ(Put(u"NoIndex", Bool(true)), S_OK);
  ASSERT_EQ(Put(u"ThrowError", Bool(true)), S_OK);
  ASSERT_EQ(Method(u"Reset", {}), S_OK);
  EXPECT_EQ(Get(u"ServerPort"), "80");
  EXPECT_EQ(Get(u"NoIndex"), "False");
  EXPECT_EQ(Get(u"ThrowError"), "False");
  EXPECT_EQ(Get(u"Identity"), "\"probe/1\"");
}

}  // namespace
