// The InternetServer control's type library as a host reads it through ITypeInfo: the members
// of its dual interface in slot order, its events and its enumerations, against the
// published tables.
#include <gtest/gtest.h>

#include "tcpsrv/ocx/internet_server.h"
#include "ocx/object.h"
#include "support/type_dump.h"

namespace {

constexpr const char* kMembers = R"(
About -552 method
Enabled -514 put get
AdapterAddress 1 get Index
AdapterCount 2 get
Backlog 3 get put
ByteOrder 4 get put
CertificateName 5 get put
CertificatePassword 6 get put
CertificateStore 7 get put
CertificateUser 8 get put
ClientAddress 9 get
ClientCount 10 get
ClientHandle 11 get Index
ClientHost 12 get
ClientId 13 get
ClientName 14 get put
ClientPort 15 get
ClientThread 16 get
ExternalAddress 17 get
IsActive 18 get
IsBlocked 19 get
IsClosed 20 get
IsInitialized 21 get
IsListening 22 get
IsLocked 23 get
IsReadable 24 get
IsWritable 25 get
KeepAlive 26 get put
LastError 27 get put
LastErrorString 28 get
MaxClients 29 get put
NoDelay 30 get put
Priority 31 get put
QueueCount 32 get
ReuseAddress 33 get put
Secure 34 get put
SecureProtocol 35 get put
ServerAddress 36 get put
ServerHandle 37 get
ServerName 38 get
ServerPort 39 get put
ServerThread 40 get
StackSize 41 get put
State 42 get
ThrowError 43 get put
Timeout 44 get put
Trace 45 get put
TraceFile 46 get put
TraceFlags 47 get put
Version 48 get
Abort 49 method Handle Error
Broadcast 50 method Buffer Length Result
Cancel 51 method Handle Error
ClearQueue 52 method Result
Dequeue 53 method ItemData Remove Result
Disconnect 54 method Handle Error
Enqueue 55 method ItemData Result
FindClient 56 method Client Result
Initialize 57 method Reserved Error
Peek 58 method Handle Buffer Length Result
Read 59 method Handle Buffer Length Result
ReadByte 60 method Handle Result
ReadLine 61 method Handle Buffer Length Result
Reject 62 method Error
Reset 63 method
Resolve 64 method HostName HostAddress Reserved Error
Restart 65 method Error
Resume 66 method Error
Start 67 method LocalAddress LocalPort Backlog MaxClients Timeout Options Error
Stop 68 method Error
Suspend 69 method Options Error
SyncLock 70 method Enable Error
Throttle 71 method MaxClients MaxClientsPerAddress ConnectionRate Error
Uninitialize 72 method
Write 73 method Handle Buffer Length Result
WriteByte 74 method Handle Value Result
WriteLine 75 method Handle Buffer Result
)";

constexpr const char* kEvents = R"(
OnAccept 1 Handle
OnCancel 2 Handle
OnConnect 3 Handle
OnDisconnect 4 Handle
OnError 5 Handle ErrorCode Description
OnIdle 6
OnRead 7 Handle
OnStart 8
OnStop 9
OnTimeout 10 Handle
OnWrite 11 Handle
)";

constexpr const char* kEnumerations = R"(
enum HandleConstants
twInvalidSocket -1
twInvalidHandle -1
enum OptionConstants
twOptionNone 0
twOptionDontRoute 2
twOptionKeepAlive 4
twOptionReuseAddress 8
twOptionNoDelay 16
twOptionSecure 4096
enum StatusConstants
twServerInactive 0
twServerStarted 1
twServerListening 2
twServerSuspended 3
twServerShutdown 4
enum SuspendConstants
twSuspendDefault 0
twSuspendReject 1
twSuspendDisconnect 2
twSuspendWait 4
enum ByteOrderConstants
twLocalByteOrder 0
twNetworkByteOrder 1
enum PriorityConstants
twPriorityBackground 0
twPriorityLow 1
twPriorityNormal 2
twPriorityHigh 3
twPriorityCritical 4
twPriorityInvalid -1
twPriorityDefault 2
twPriorityLowest 0
twPriorityHighest 4
enum SecureProtocolConstants
twSecureProtocolNone 0
twSecureProtocolSSL2 1
twSecureProtocolSSL3 2
twSecureProtocolTLS1 8
twSecureProtocolSSL 3
twSecureProtocolTLS 8
twSecureProtocolDefault 8
twSecureProtocolUnknown 4096
enum TraceConstants
twTraceDefault 0
twTraceInfo 0
twTraceError 1
twTraceWarning 2
twTraceHexDump 4
twTraceProcess 4096
enum SecurityConstants
(shared security constants)
)";

TEST(InternetServerTypeLibrary, MatchesThePublishedTables) {
  ASSERT_TRUE(SUCCEEDED(CoInitializeEx(nullptr, COINIT_APARTMENTTHREADED)));
  IUnknown* control = nullptr;
  ASSERT_EQ(ocx::CreateObject<tcpsrvctl::CInternetServer>(nullptr, IID_IUnknown, reinterpret_cast<void**>(&control)), S_OK);
  const cvtest::TypeLibText text = cvtest::DumpTypeLibrary(control);
  control->Release();
  CoUninitialize();
  EXPECT_EQ(text.members, cvtest::Normalize(kMembers));
  EXPECT_EQ(text.events, cvtest::Normalize(kEvents));
  EXPECT_EQ(text.enums, cvtest::Normalize(kEnumerations));
  EXPECT_EQ(text.errorsName, "ErrorConstants");
  EXPECT_EQ(text.errors, "twError -1\n" + cvtest::PublishedErrorConstants("tw"));
}

}  // namespace
