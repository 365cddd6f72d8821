// The FtpServer deliverable without clients: exports, settings and their rules, errors
// before a server runs, and the notification queue the server controls share.
#include <arpa/inet.h>
#include <dlfcn.h>
#include <netinet/in.h>
#include <sys/socket.h>
#include <unistd.h>

#include "ftpsrv_host.h"
#include "ocx/server_notify.h"
#include "peers/peer.h"

namespace {

using namespace ftpsrvhost;

class FtpDeliverable : public FtpHost {};

TEST(FtpServerExports, OnlyTheFourEntryPoints) {
  void* module = dlopen(CV_FTPSRVCTL, RTLD_NOW | RTLD_LOCAL);
  ASSERT_NE(module, nullptr) << dlerror();
  for (const char* name : {"DllGetClassObject", "DllCanUnloadNow", "DllRegisterServer", "DllUnregisterServer"})
    EXPECT_NE(dlsym(module, name), nullptr) << name;
  for (const char* name : {"FtpServerStart", "InetAttach", "ServerGetClientCount"})
    EXPECT_EQ(dlsym(module, name), nullptr) << name;
  dlclose(module);
}

TEST_F(FtpDeliverable, Defaults) {
  const std::pair<const char16_t*, const char*> defaults[] = {
      {u"AuthFail", "3"},       {u"AuthTime", "60"},        {u"ExecTime", "5"},       {u"IdleTime", "300"},
      {u"MaxClients", "100"},   {u"MaxGuests", "0"},        {u"MaxPort", "65535"},    {u"MinPort", "32768"},
      {u"Options", "0"},        {u"Priority", "2"},         {u"ServerPort", "21"},    {u"StackSize", "524288"},
      {u"LogFormat", "0"},      {u"LogLevel", "0"},         {u"LogFile", "\"\""},     {u"Directory", "\"\""},
      {u"IsActive", "False"},   {u"IsInitialized", "False"}, {u"IsListening", "False"}, {u"ServerHandle", "-1"},
      {u"ClientId", "0"},       {u"ClientUser", "\"\""},    {u"ClientCount", "0"},    {u"LastError", "0"},
      {u"ThrowError", "False"}, {u"Trace", "False"},        {u"Secure", "False"},     {u"Enabled", "True"},
  };
  for (const auto& [name, value] : defaults) EXPECT_EQ(Get(name), value) << plat::ToUtf8(name);
}

TEST_F(FtpDeliverable, NumbersAreClampedOrRefused) {
  struct Case {
    const char16_t* name;
    int32_t value;
    const char* reads;  // "!800A017C" when refused
  } cases[] = {
      {u"AuthFail", 0, "1"},         {u"AuthFail", 11, "10"},         {u"AuthTime", 5, "20"},
      {u"IdleTime", 100000, "7200"}, {u"ExecTime", 0, "1"},           {u"StackSize", 100, "262144"},
      {u"StackSize", 0, "524288"},   {u"MaxPort", 0, "65535"},        {u"MaxClients", -1, "!800A017C"},
      {u"Priority", 5, "!800A017C"}, {u"Priority", -1, "!800A017C"},  {u"ServerPort", 70000, "!800A017C"},
      {u"ServerPort", 0, "21"},      {u"LogFormat", 268435456, "!800A017C"},
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
  // The passive range must stay a range.
  EXPECT_EQ(Put(u"MinPort", I4(40000)), S_OK);
  EXPECT_EQ(Put(u"MaxPort", I4(35000)), HRESULT(0x800A017C));
  EXPECT_EQ(Put(u"MaxPort", I4(40000)), HRESULT(0x800A017C));
  EXPECT_EQ(Get(u"MaxPort"), "65535");
}

// A refused value tells the host why in the exception's description, not by its number alone.
TEST_F(FtpDeliverable, RefusedValuesAreDescribed) {
  for (const auto& [name, value] :
       {std::pair{u"MaxClients", -1}, std::pair{u"Priority", 9}, std::pair{u"MaxPort", 1}}) {
    CallResult r;
    Call(control, name, DISPATCH_PROPERTYPUT, {I4(value)}, &r);
    EXPECT_EQ(Outcome(r), HRESULT(0x800A017C)) << plat::ToUtf8(name);
    EXPECT_EQ(r.hr, DISP_E_EXCEPTION) << plat::ToUtf8(name);
    ASSERT_NE(r.excep.bstrDescription, nullptr) << plat::ToUtf8(name);
    EXPECT_EQ(plat::ToUtf8(r.excep.bstrDescription), "Invalid property value") << plat::ToUtf8(name);
  }
}

TEST_F(FtpDeliverable, SecureFollowsThePort) {
  ASSERT_EQ(Put(u"ServerPort", I4(990)), S_OK);
  ASSERT_EQ(Put(u"Secure", Bool(true)), S_OK);
  EXPECT_EQ(Get(u"Options"), std::to_string(0x5000));
  ASSERT_EQ(Put(u"ServerPort", I4(2121)), S_OK);
  EXPECT_EQ(Get(u"Options"), std::to_string(0x3000));
  ASSERT_EQ(Put(u"ServerPort", I4(990)), S_OK);
  ASSERT_EQ(Put(u"Secure", Bool(false)), S_OK);
  EXPECT_EQ(Get(u"Options"), "0");
  EXPECT_EQ(Get(u"ServerPort"), "21");
}

TEST_F(FtpDeliverable, LogFormatAndLevelFollowEachOther) {
  ASSERT_EQ(Put(u"LogLevel", I4(3)), S_OK);
  EXPECT_EQ(Get(u"LogFormat"), "2");
  ASSERT_EQ(Put(u"LogLevel", I4(0)), S_OK);
  EXPECT_EQ(Get(u"LogFormat"), "0");
  ASSERT_EQ(Put(u"LogFormat", I4(1)), S_OK);
  EXPECT_EQ(Get(u"LogLevel"), "1");
  ASSERT_EQ(Put(u"LogLevel", I4(42)), S_OK);
  EXPECT_EQ(Get(u"LogLevel"), "10");
}

TEST_F(FtpDeliverable, UuidAndAddressTexts) {
  EXPECT_EQ(Put(u"ServerUuid", Str(u"{0A1B2C3D-4E5F-6071-8293-A4B5C6D7E8F9}")), S_OK);
  EXPECT_EQ(Get(u"ServerUuid"), "\"0a1b2c3d-4e5f-6071-8293-a4b5c6d7e8f9\"");
  for (const char16_t* bad : {u"", u"not a uuid", u"{0A1B2C3D-4E5F-6071-8293-A4B5C6D7E8F}"})
    EXPECT_EQ(Put(u"ServerUuid", Str(bad)), HRESULT(0x800A017C)) << plat::ToUtf8(bad);
  EXPECT_EQ(Put(u"ServerAddress", Str(u"0:0:0:0:0:0:0:1")), S_OK);
  EXPECT_EQ(Get(u"ServerAddress"), "\"::1\"");
  EXPECT_EQ(Put(u"ServerAddress", Str(u"")), S_OK);  // keeps the old value
  EXPECT_EQ(Get(u"ServerAddress"), "\"::1\"");
  EXPECT_TRUE(FAILED(Put(u"ServerAddress", Str(u"no.such.address"))));
}

TEST_F(FtpDeliverable, MethodsWithoutAServer) {
  handlers.clear();
  VARIANT error{};
  // AddUser: the library's invalid handle in Error, "server inactive" through LastError and OnError.
  EXPECT_EQ(Method(u"AddUser", {Str(u"alice"), Str(u"secret"), Missing(), Missing(), Ref(&error)}), S_OK);
  EXPECT_EQ(Show(error), "10038");
  EXPECT_EQ(Get(u"LastError"), "12344");
  ASSERT_EQ(Count(kOnError), 1);
  EXPECT_EQ(First(kOnError)->args[1], "12344");
  // Restart and Resume report 12344 in Error too.
  for (const char16_t* name : {u"Restart", u"Resume"}) {
    VariantClear(&error);
    EXPECT_EQ(Method(name, {Ref(&error)}), S_OK);
    EXPECT_EQ(Show(error), "12344") << plat::ToUtf8(name);
  }
  // With ThrowError the failure comes back as an HRESULT.
  ASSERT_EQ(Put(u"ThrowError", Bool(true)), S_OK);
  EXPECT_EQ(Method(u"Suspend", {Ref(&error)}), HRESULT(0x800A0000 | 12344));
  // Stop without a server does nothing; a missing required argument is E_INVALIDARG.
  EXPECT_EQ(Method(u"Stop", {Ref(&error)}), S_OK);
  EXPECT_EQ(Method(u"DeleteUser", {Missing(), Ref(&error)}), E_INVALIDARG);
  // Disconnect from the host's own code finds no client.
  ASSERT_EQ(Put(u"ThrowError", Bool(false)), S_OK);
  EXPECT_EQ(Method(u"Disconnect", {Missing(), Ref(&error)}), S_OK);
  EXPECT_EQ(Show(error), "12382");
}

TEST_F(FtpDeliverable, ErrorNumbersAndTexts) {
  ASSERT_EQ(Put(u"LastError", I4(12344)), S_OK);
  EXPECT_EQ(Get(u"LastError"), "12344");
  const std::string text = Get(u"LastErrorString");
  EXPECT_GT(text.size(), 4u);
  EXPECT_EQ(text.find("Undefined"), std::string::npos);
  ASSERT_EQ(Put(u"LastError", I4(int32_t(0x80043038))), S_OK);
  EXPECT_EQ(Get(u"LastError"), "12344");
  ASSERT_EQ(Put(u"LastError", I4(int32_t(0x8004FFF0))), S_OK);
  EXPECT_EQ(Get(u"LastErrorString"), "\"Undefined control error (0x8004FFF0)\"");
}

TEST_F(FtpDeliverable, StartOnABoundPortFails) {
  cvpeers::TempDir root;
  const int32_t port = cvpeers::FreePort();
  const int blocker = ::socket(AF_INET, SOCK_STREAM, 0);
  sockaddr_in a{};
  a.sin_family = AF_INET;
  a.sin_port = htons(uint16_t(port));
  a.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
  ASSERT_EQ(::bind(blocker, reinterpret_cast<sockaddr*>(&a), sizeof a), 0);
  ASSERT_EQ(::listen(blocker, 1), 0);
  VARIANT error{};
  EXPECT_EQ(Method(u"Start", {Str(u"127.0.0.1"), I4(port), Str(root.path().u16string().c_str()), Missing(), Missing(),
                              Missing(), Ref(&error)}),
            S_OK);
  ::close(blocker);
  EXPECT_NE(Show(error), "0");
  EXPECT_EQ(Get(u"LastError"), Show(error));
  EXPECT_EQ(Get(u"IsActive"), "False");
  EXPECT_EQ(Count(kOnStart), 0);
  ASSERT_EQ(Count(kOnError), 1);
  EXPECT_EQ(First(kOnError)->args[1], Show(error));
}

TEST_F(FtpDeliverable, ResetKeepsOnlyIdentity) {
  ASSERT_EQ(Put(u"Identity", Str(u"Test FTP")), S_OK);
  ASSERT_EQ(Put(u"AuthFail", I4(7)), S_OK);
  ASSERT_EQ(Put(u"LogLevel", I4(4)), S_OK);
  ASSERT_EQ(Method(u"Reset", {}), S_OK);
  EXPECT_EQ(Get(u"Identity"), "\"Test FTP\"");
  EXPECT_EQ(Get(u"AuthFail"), "3");
  EXPECT_EQ(Get(u"LogLevel"), "0");
  VARIANT error{};
  ASSERT_EQ(Method(u"Initialize", {Missing(), Ref(&error)}), S_OK);
  EXPECT_EQ(Get(u"IsInitialized"), "True");
  ASSERT_EQ(Method(u"Uninitialize", {}), S_OK);
  EXPECT_EQ(Get(u"IsInitialized"), "False");
  EXPECT_NE(Get(u"AdapterCount"), "!800A0005");  // attaches the library again
  EXPECT_EQ(Get(u"IsInitialized"), "True");
  const std::string count = Get(u"AdapterCount");
  EXPECT_EQ(Get(u"AdapterAddress", {I4(std::stoi(count))}), "!80070057");
}

TEST_F(FtpDeliverable, TraceStartsWithTheLazyInitialisation) {
  setenv("CV_TRACE_LIBRARY", CVTRACE_PATH, 1);
  cvpeers::TempDir dir;
  const std::u16string file = (dir.path() / "trace.log").u16string();
  ASSERT_EQ(Put(u"TraceFile", Str(file.c_str())), S_OK);
  ASSERT_EQ(Put(u"Trace", Bool(true)), S_OK);
  EXPECT_EQ(Get(u"IsInitialized"), "False");
  VARIANT error{};
  ASSERT_EQ(Method(u"Initialize", {Missing(), Ref(&error)}), S_OK);
  EXPECT_EQ(Get(u"Trace"), "True");
  ASSERT_EQ(Put(u"Trace", Bool(false)), S_OK);
  EXPECT_NE(Get(u"ServerName"), "\"\"");  // the local host's name
}

TEST(NotificationQueue, KeepsOrderAndDropsRepeats) {
  ocx::NotificationQueue q;
  EXPECT_EQ(ocx::QueueNotification(&q, 2025, 1, 4), 1);
  EXPECT_EQ(ocx::QueueNotification(&q, 2025, 2, 4), 1);
  EXPECT_EQ(ocx::QueueNotification(&q, 2025, 1, 4), 1);  // already there
  EXPECT_EQ(ocx::QueueNotification(&q, 2025, 1, 5), 1);
  EXPECT_EQ(q.Count(), 3u);
  ocx::QueuedNotification e{};
  ASSERT_TRUE(q.TakeFirst(&e));
  EXPECT_EQ(e.wParam, 1u);
  EXPECT_EQ(e.lParam, 4u);
  ASSERT_TRUE(q.TakeFirst(&e));
  EXPECT_EQ(e.wParam, 2u);
  ocx::ClearNotificationQueue(&q);
  EXPECT_EQ(q.Count(), 0u);
  EXPECT_FALSE(q.TakeFirst(&e));
  // The error word is the high word; a full word stays negative as a sign-extended LPARAM.
  EXPECT_EQ(ocx::MakeEventParam(4, 0x8000), LPARAM(int32_t(0x80000004)));
}

}  // namespace
