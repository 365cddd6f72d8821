// The HttpServer control's type library as a host reads it through ITypeInfo: the members
// of its dual interface in slot order, its events and its enumerations, against the
// published tables.
#include <gtest/gtest.h>

#include "httpsrv/ocx/http_server.h"
#include "ocx/object.h"
#include "support/type_dump.h"

namespace {

constexpr const char* kMembers = R"(
About -552 method
Enabled -514 put get
AdapterAddress 1 get Index
AdapterCount 2 get
CertificateName 3 get put
CertificatePassword 4 get put
CertificateStore 5 get put
CertificateUser 6 get put
ClientAccess 7 get put
ClientAddress 8 get
ClientCount 9 get
ClientHost 10 get
ClientId 11 get
ClientIdle 12 get put
ClientPort 13 get
ClientThread 14 get
ClientUser 15 get
CommandLine 16 get
Directory 17 get put
ExecTime 18 get put
ExternalAddress 19 get
HiddenFiles 20 get put
Identity 21 get put
IdleTime 22 get put
IsActive 23 get
IsAuthenticated 24 get
IsInitialized 25 get
IsListening 26 get
LastError 27 get put
LastErrorString 28 get
LocalPath 29 get put
LocalUser 30 get put
LockFiles 31 get put
LogFile 32 get put
LogFormat 33 get put
LogLevel 34 get put
MaxClients 35 get put
MultiUser 36 get put
NoIndex 37 get put
Options 38 get put
Priority 39 get put
ReadOnly 40 get put
Restricted 41 get put
Secure 42 get put
ServerAddress 43 get put
ServerHandle 44 get
ServerName 45 get put
ServerPort 46 get put
ServerThread 47 get
ServerUuid 48 get put
StackSize 49 get put
ThrowError 50 get put
Trace 51 get put
TraceFile 52 get put
TraceFlags 53 get put
Version 54 get
VirtualPath 55 get put
AddHost 56 method VirtualHost VirtualPort Directory Result
AddPath 57 method HostId VirtualPath LocalPath AccessFlags Error
AddUser 58 method HostId UserName Password AccessFlags Directory Error
Authenticate 59 method ClientId AccessFlags Error
CheckPath 60 method ClientId VirtualPath AccessFlags Result
ClearHeaders 61 method ClientId Error
DeleteHost 62 method HostId Error
DeletePath 63 method HostId VirtualPath Error
DeleteUser 64 method HostId UserName Error
Disconnect 65 method ClientId Error
GetAllHeaders 66 method ClientId Headers Result
GetHeader 67 method ClientId HeaderName HeaderValue Result
GetVariable 68 method ClientId VariableName VariableValue Result
Initialize 69 method Reserved Error
ReceiveRequest 70 method ClientId Buffer Length Error
RedirectRequest 71 method ClientId Location Method Error
RegisterHandler 72 method HostId FileExtension ProgramFile Parameters Directory Error
RegisterProgram 73 method HostId CommandName ProgramFile Parameters Directory Error
RequireAuthentication 74 method ClientId AuthType Realm Error
Reset 75 method
ResolvePath 76 method ClientId SourcePath ResolvedPath IsVirtual Error
Restart 77 method Error
Resume 78 method Error
SendError 79 method ClientId ErrorCode Message Error
SendResponse 80 method ClientId ResultCode Buffer Length Error
SetHeader 81 method ClientId HeaderName HeaderValue Result
SetVariable 82 method ClientId VariableName VariableValue Result
Start 83 method ServerAddress ServerPort Directory MaxClients IdleTime Options Error
Stop 84 method Error
Suspend 85 method Error
Throttle 86 method MaxClients MaxClientsPerAddress ConnectionRate Error
Uninitialize 87 method
)";

constexpr const char* kEvents = R"(
OnAuthenticate 1 ClientId HostName UserName Password
OnCommand 2 ClientId Command Resource Parameters
OnConnect 3 ClientId ClientAddress
OnDisconnect 4 ClientId
OnDownload 5 ClientId FileName FileSize
OnError 6 ClientId ErrorCode Description
OnExecute 7 ClientId Resource Parameters Output ExitCode
OnIdle 8
OnResult 9 ClientId Command Resource ResultCode
OnStart 10
OnStop 11
OnTimeout 12 ClientId Elapsed
OnUpload 13 ClientId FileName FileSize
)";

constexpr const char* kEnumerations = R"(
enum __httpsrvOptionConstants
httpServerDefault 0
httpServerMultiUser 1
httpServerRestricted 2
httpServerLocalUser 4
httpServerNoIndex 8
httpServerReadOnly 16
httpServerLockFiles 64
httpServerHiddenFiles 128
httpServerExternal 512
httpServerSecure 4096
enum __httpsrvHostConstants
httpHostDefault 0
httpHostUnknown -1
httpHostInvalid -1
enum __httpsrvRedirectConstants
httpRedirectPermanent 1
httpRedirectTemporary 2
httpRedirectOther 3
enum __httpsrvLogFormatContstants
httpLogNone 0
httpLogCommon 1
httpLogCombined 2
httpLogExtended 3
httpLogDelete 268435456
enum __httpsrvAccessConstants
httpAccessNone 0
httpAccessRead 1
httpAccessWrite 2
httpAccessExecute 4
httpAccessList 8
httpAccessAll 65535
httpAccessRestricted 1048576
httpAccessProtected 2097152
httpAccessDefault 8388608
enum __httpsrvPriorityConstants
httpPriorityBackground 0
httpPriorityLow 1
httpPriorityNormal 2
httpPriorityHigh 3
httpPriorityCritical 4
httpPriorityInvalid -1
httpPriorityDefault 2
httpPriorityLowest 0
httpPriorityHighest 4
enum __httpsrvSecurityConstants
(shared security constants)
enum __httpsrvTraceConstants
cvTraceDefault 0
cvTraceInfo 0
cvTraceError 1
cvTraceWarning 2
cvTraceHexDump 4
cvTraceProcess 4096
)";

TEST(HttpServerTypeLibrary, MatchesThePublishedTables) {
  ASSERT_TRUE(SUCCEEDED(CoInitializeEx(nullptr, COINIT_APARTMENTTHREADED)));
  IUnknown* control = nullptr;
  ASSERT_EQ(ocx::CreateObject<httpsrvctl::CHttpServer>(nullptr, IID_IUnknown, reinterpret_cast<void**>(&control)), S_OK);
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
