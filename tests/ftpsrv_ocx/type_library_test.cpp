// The FtpServer control's type library as a host reads it through ITypeInfo: the members
// of its dual interface in slot order, its events and its enumerations, against the
// published tables.
#include <gtest/gtest.h>

#include "ftpsrv/ocx/ftp_server.h"
#include "ocx/object.h"
#include "support/type_dump.h"

namespace {

constexpr const char* kMembers = R"(
About -552 method
Enabled -514 put get
AdapterAddress 1 get Index
AdapterCount 2 get
AuthFail 3 get put
AuthTime 4 get put
CertificateName 5 get put
CertificatePassword 6 get put
CertificateStore 7 get put
CertificateUser 8 get put
ClientAccess 9 get put
ClientAddress 10 get
ClientCount 11 get
ClientDirectory 12 get
ClientHome 13 get
ClientHost 14 get
ClientId 15 get
ClientIdle 16 get put
ClientPort 17 get
ClientThread 18 get
ClientUser 19 get
CommandLine 20 get
Directory 21 get put
ExecTime 22 get put
ExternalAddress 23 get put
HiddenFiles 24 get put
Identity 25 get put
IdleTime 26 get put
IsActive 27 get
IsAnonymous 28 get
IsAuthenticated 29 get
IsInitialized 30 get
IsListening 31 get
LastError 32 get put
LastErrorString 33 get
LocalPath 34 get put
LocalTime 35 get put
LocalUser 36 get put
LockFiles 37 get put
LogFile 38 get put
LogFormat 39 get put
LogLevel 40 get put
MaxClients 41 get put
MaxGuests 42 get put
MaxPort 43 get put
MinPort 44 get put
MultiUser 45 get put
Options 46 get put
Priority 47 get put
ReadOnly 48 get put
Restricted 49 get put
Secure 50 get put
ServerAddress 51 get put
ServerHandle 52 get
ServerName 53 get put
ServerPort 54 get put
ServerThread 55 get
ServerUuid 56 get put
StackSize 57 get put
ThrowError 58 get put
Trace 59 get put
TraceFile 60 get put
TraceFlags 61 get put
UnixMode 62 get put
Version 63 get
VirtualPath 64 get put
AddUser 65 method UserName Password AccessFlags Directory Error
Authenticate 66 method ClientId AccessFlags Directory Error
DeleteUser 67 method UserName Error
Disconnect 68 method ClientId Error
Initialize 69 method Reserved Error
RegisterProgram 70 method CommandName ProgramFile Parameters Directory Error
Reset 71 method
ResolvePath 72 method ClientId SourcePath ResolvedPath IsVirtual Error
Restart 73 method Error
Resume 74 method Error
SendResponse 75 method ClientId ResultCode Message Error
Start 76 method ServerAddress ServerPort Directory MaxClients IdleTime Options Error
Stop 77 method Error
Suspend 78 method Error
Throttle 79 method MaxClients MaxClientsPerAddress MaxGuests ConnectionRate Error
Uninitialize 80 method
)";

constexpr const char* kEvents = R"(
OnAuthenticate 1 ClientId HostName UserName Password
OnCommand 2 ClientId Command Parameters
OnConnect 3 ClientId ClientAddress
OnDisconnect 4 ClientId
OnDownload 5 ClientId FileName FileSize
OnError 6 ClientId ErrorCode Description
OnExecute 7 ClientId Program Output ExitCode
OnIdle 8
OnLogin 9 ClientId UserName Directory
OnLogout 10 ClientId UserName
OnResult 11 ClientId Command ResultCode
OnStart 12
OnStop 13
OnTimeout 14 ClientId Elapsed
OnUpload 15 ClientId FileName FileSize
)";

constexpr const char* kEnumerations = R"(
enum __ftpsrvOptionConstants = OptionConstants
ftpServerDefault 0
ftpServerMultiUser 1
ftpServerRestricted 2
ftpServerLocalUser 4
ftpServerAnonymous 8
ftpServerReadOnly 16
ftpServerLocalTime 32
ftpServerLockFiles 64
ftpServerHiddenFiles 128
ftpServerUnixMode 256
ftpServerExternal 512
ftpServerSecure 4096
ftpServerExplicitSSL 8192
ftpServerImplicitSSL 16384
enum __ftpsrvLogFormatContstants = LogFormatConstants
ftpLogNone 0
ftpLogCommon 1
ftpLogExtended 2
ftpLogDelete 268435456
enum __ftpsrvAccessConstants = AccessConstants
ftpAccessNone 0
ftpAccessAll 65535
ftpAccessRead 1
ftpAccessWrite 2
ftpAccessAppend 4
ftpAccessList 8
ftpAccessModify 16
ftpAccessRename 32
ftpAccessDelete 64
ftpAccessChdir 128
ftpAccessMkdir 256
ftpAccessRmdir 512
ftpAccessIdle 1024
ftpAccessExecute 2048
ftpAccessRestricted 1048576
ftpAccessAnonymous 2097152
ftpAccessDefault 8388608
enum __ftpsrvPriorityConstants = PriorityConstants
ftpPriorityBackground 0
ftpPriorityLow 1
ftpPriorityNormal 2
ftpPriorityHigh 3
ftpPriorityCritical 4
ftpPriorityInvalid -1
ftpPriorityDefault 2
ftpPriorityLowest 0
ftpPriorityHighest 4
enum __ftpsrvSecurityConstants = SecurityConstants
(shared security constants)
enum __ftpsrvTraceConstants = TraceConstants
cvTraceDefault 0
cvTraceInfo 0
cvTraceError 1
cvTraceWarning 2
cvTraceHexDump 4
cvTraceProcess 4096
)";

TEST(FtpServerTypeLibrary, MatchesThePublishedTables) {
  ASSERT_TRUE(SUCCEEDED(CoInitializeEx(nullptr, COINIT_APARTMENTTHREADED)));
  IUnknown* control = nullptr;
  ASSERT_EQ(ocx::CreateObject<ftpsrvctl::CFtpServer>(nullptr, IID_IUnknown, reinterpret_cast<void**>(&control)), S_OK);
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
