// The TimeClient control's type library as a host reads it through ITypeInfo: the members
// of its dual interface in slot order, its events and its enumerations, against the
// published tables.
#include <gtest/gtest.h>

#include "time/ocx/time_client.h"
#include "ocx/object.h"
#include "support/type_dump.h"

namespace {

constexpr const char* kMembers = R"(
About -552 method
Enabled -514 put get
AutoResolve 1 get put
Handle 2 get
HostAddress 3 get put
HostName 4 get put
Interval 5 get put
IsBlocked 6 get
IsInitialized 7 get
LastError 8 get put
LastErrorString 9 get
LocalAddress 10 get
LocalDate 11 get
LocalName 12 get
LocalPort 13 get
LocalTime 14 get
RemotePort 15 get put
RemoteService 16 get put
State 17 get
SystemDate 18 get
SystemTime 19 get
ThrowError 20 get put
Timeout 21 get put
Trace 22 get put
TraceFile 23 get put
TraceFlags 24 get put
Version 25 get
Cancel 26 method Error
GetTime 27 method RemoteHost RemotePort Timeout Localize Result
Initialize 28 method Reserved Error
Reset 29 method
SetTime 30 method NetworkTime Result
Uninitialize 31 method
)";

constexpr const char* kEvents = R"(
OnCancel 1
OnError 2 ErrorCode Description
OnTimer 3
OnTimeout 4
)";

constexpr const char* kEnumerations = R"(
enum __timeConnectionConstants
timePortDefault 37
timeTimeout 10
enum __timeTraceConstants
timeTraceDefault 0
timeTraceInfo 0
timeTraceError 1
timeTraceWarning 2
timeTraceHexDump 4
timeTraceProcess 4096
)";

TEST(TimeClientTypeLibrary, MatchesThePublishedTables) {
  ASSERT_TRUE(SUCCEEDED(CoInitializeEx(nullptr, COINIT_APARTMENTTHREADED)));
  IUnknown* control = nullptr;
  ASSERT_EQ(ocx::CreateObject<timectl::CTimeClient>(nullptr, IID_IUnknown, reinterpret_cast<void**>(&control)), S_OK);
  const cvtest::TypeLibText text = cvtest::DumpTypeLibrary(control);
  control->Release();
  CoUninitialize();
  EXPECT_EQ(text.members, cvtest::Normalize(kMembers));
  EXPECT_EQ(text.events, cvtest::Normalize(kEvents));
  EXPECT_EQ(text.enums, cvtest::Normalize(kEnumerations));
  EXPECT_EQ(text.errorsName, "__ERRORCODES");
  EXPECT_EQ(text.errors, cvtest::PublishedErrorConstants());
}

}  // namespace
