// The PopClient control's type library as a host reads it through ITypeInfo: the members
// of its dual interface in slot order, its events and its enumerations, against the
// published tables.
#include <gtest/gtest.h>

#include "pop3/ocx/pop_client.h"
#include "ocx/object.h"
#include "support/type_dump.h"

namespace {

constexpr const char* kMembers = R"(
About -552 method
Enabled -514 put get
AuthType 1 get put
AutoResolve 2 get put
Blocking 3 get put
CertificateExpires 4 get
CertificateIssued 5 get
CertificateIssuer 6 get
CertificateName 7 get put
CertificatePassword 8 get put
CertificateStatus 9 get
CertificateStore 10 get put
CertificateSubject 11 get
CertificateUser 12 get put
CipherStrength 13 get
Connected 14 get
Handle 15 get
HashStrength 16 get
HeaderField 17 get put
HeaderValue 18 get
HostAddress 19 get put
HostName 20 get put
IsBlocked 21 get
IsConnected 22 get
IsInitialized 23 get
IsReadable 24 get
IsWritable 25 get
LastError 26 get put
LastErrorString 27 get
LastMessage 28 get
LocalAddress 29 get
LocalName 30 get
LocalPort 31 get
MailboxSize 32 get
Message 33 get put
MessageCount 34 get
MessageFrom 35 get
MessageSize 36 get
MessageUID 37 get
NewMessages 38 get
Options 39 get put
Password 40 get put
RemotePort 41 get put
RemoteService 42 get put
ResultCode 43 get
ResultString 44 get
Secure 45 get put
SecureCipher 46 get
SecureHash 47 get
SecureKeyExchange 48 get
SecureProtocol 49 get put
State 50 get
ThrowError 51 get put
Timeout 52 get put
Trace 53 get put
TraceFile 54 get put
TraceFlags 55 get put
UnreadMessages 56 get
UserName 57 get put
Version 58 get
Cancel 59 method Error
ChangePassword 60 method OldPassword NewPassword Error
CloseMessage 61 method Error
Command 62 method Command Parameters Options Error
Connect 63 method RemoteHost RemotePort UserName Password Timeout Options Error
DeleteMessage 64 method MessageId Error
Disconnect 65 method Error
GetHeader 66 method MessageId HeaderField HeaderValue Result
GetHeaders 67 method MessageId Headers Error
GetMessage 68 method MessageId Message Error
Initialize 69 method Reserved Error
OpenMessage 70 method MessageId Options Error
Read 71 method Buffer Length Result
Reset 72 method
SendMessage 73 method Message Options Error
StoreMessage 74 method MessageId FileName Error
Uninitialize 75 method
Write 76 method Buffer Length Result
)";

constexpr const char* kEvents = R"(
OnCancel 1
OnCommand 2 ResultCode ResultString
OnConnect 3
OnDisconnect 4
OnError 5 ErrorCode Description
OnProgress 6 MessageNumber MessageSize MessageCopied Percent
OnRead 7
OnTimeout 8
)";

constexpr const char* kEnumerations = R"(
enum __popConnectionConstants
popPortDefault 110
popPortSecure 995
popTimeout 20
enum __popOptionConstants
popOptionNone 0
popOptionLineBreak 1
popOptionTunnel 1024
popOptionTrustedSite 2048
popOptionSecure 4096
popOptionSecureExplicit 4096
popOptionSecureImplicit 8192
popOptionSecureFallback 16384
popOptionIpv6Only 262144
enum __popTraceConstants
popTraceDefault 0
popTraceInfo 0
popTraceError 1
popTraceWarning 2
popTraceHexDump 4
popTraceProcess 4096
enum __popAuthenticationConstants
popAuthDefault 0
popAuthPass 0
popAuthApop 1
enum __popCommandConstants
popCommandMultiLine 1
enum __popSecurityConstants
(shared security constants)
)";

TEST(PopClientTypeLibrary, MatchesThePublishedTables) {
  ASSERT_TRUE(SUCCEEDED(CoInitializeEx(nullptr, COINIT_APARTMENTTHREADED)));
  IUnknown* control = nullptr;
  ASSERT_EQ(ocx::CreateObject<popctl::CPopClient>(nullptr, IID_IUnknown, reinterpret_cast<void**>(&control)), S_OK);
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
