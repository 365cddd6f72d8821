// The FileTransfer control's type library as a host reads it through ITypeInfo: the members
// of its dual interface in slot order, its events and its enumerations, against the
// published tables.
#include <gtest/gtest.h>

#include "filexfer/ocx/file_transfer.h"
#include "ocx/object.h"
#include "support/type_dump.h"

namespace {

constexpr const char* kMembers = R"(
About -552 method
Enabled -514 put get
Account 1 get put
ActivePort 2 get put Index
AppendFile 3 get put
CertificateExpires 4 get
CertificateIssued 5 get
CertificateIssuer 6 get
CertificateName 7 get put
CertificatePassword 8 get put
CertificateStatus 9 get
CertificateStore 10 get put
CertificateSubject 11 get
CertificateUser 12 get put
ChannelMode 13 get put Index
CipherStrength 14 get
Compression 15 get put
DirectoryFormat 16 get put
Encoding 17 get put
Features 18 get put
FileType 19 get put
Fingerprint 20 get
HashStrength 21 get
IsBlocked 22 get
IsConnected 23 get
IsInitialized 24 get
KeepAlive 25 get put
LastError 26 get put
LastErrorString 27 get
LocalAddress 28 get
Localize 29 get put
LocalName 30 get
Options 31 get put
Passive 32 get put
Password 33 get put
Priority 34 get put
PrivateKey 35 get put
ProtocolVersion 36 get put
ProxyPassword 37 get put
ProxyPort 38 get put
ProxyServer 39 get put
ProxyType 40 get put
ProxyUser 41 get put
Resource 42 get put
ResultCode 43 get
ResultString 44 get
Secure 45 get put
SecureCipher 46 get
SecureHash 47 get
SecureKeyExchange 48 get
SecureProtocol 49 get put
ServerDirectory 50 get put
ServerName 51 get put
ServerPort 52 get put
ServerType 53 get put
System 54 get
TaskCount 55 get
TaskId 56 get
TaskList 57 get Index
ThrowError 58 get put
Timeout 59 get put
Trace 60 get put
TraceFile 61 get put
TraceFlags 62 get put
TransferBytes 63 get
TransferTime 64 get
URL 65 get put
UserName 66 get put
Version 67 get
AddFileType 68 method FileExtension FileType
AsyncGetFile 69 method LocalFile RemoteFile Offset Error
AsyncPutFile 70 method LocalFile RemoteFile Offset Error
Cancel 71 method Error
ChangeDirectory 72 method DirName Error
CloseDirectory 73 method Error
Command 74 method Command Error
Connect 75 method ServerName ServerPort UserName Password Timeout Options Error
DeleteFile 76 method FileName Error
Disconnect 77 method Error
GetData 78 method RemoteFile Buffer Length Reserved Error
GetDirectory 79 method RemotePath Error
GetFile 80 method LocalFile RemoteFile Offset Error
GetFileList 81 method RemotePath Buffer Length Options Error
GetFilePermissions 82 method FileName FilePerms Error
GetFileStatus 83 method FileName FileLength FileDate FileOwner FileGroup FilePerms IsDirectory Error
GetFileSize 84 method FileName FileSize Error
GetFileTime 85 method FileName FileDate Error
GetMultipleFiles 86 method LocalDir RemoteDir FileMask Error
Initialize 87 method Reserved Error
MakeDirectory 88 method DirName Error
OpenDirectory 89 method DirName ParseList Error
PostFile 90 method LocalFile RemoteFile FieldName Options Error
PutData 91 method RemoteFile Buffer Length Reserved Error
PutFile 92 method LocalFile RemoteFile Offset Error
PutMultipleFiles 93 method LocalDir RemoteDir FileMask Error
ReadDirectory 94 method FileName FileLength FileDate FileOwner FileGroup FilePerms IsDirectory Error
RemoveDirectory 95 method DirName Error
RenameFile 96 method OldFileName NewFileName Error
Reset 97 method
SetFilePermissions 98 method FileName FilePerms Error
SetFileTime 99 method FileName FileDate Error
TaskAbort 100 method TaskId Milliseconds Error
TaskDone 101 method TaskId Result
TaskResume 102 method TaskId Error
TaskSuspend 103 method TaskId Error
TaskWait 104 method TaskId Milliseconds TimeElapsed TaskError Error
Uninitialize 105 method
VerifyFile 106 method LocalFile RemoteFile Options Error
TransferBytesXL 107 get
TransferRate 108 get
)";

constexpr const char* kEvents = R"(
OnCancel 1
OnCommand 2 ResultCode ResultString
OnError 3 ErrorCode Description
OnProgress 4 FileName FileSize BytesCopied Percent
OnTaskBegin 5 TaskId
OnTaskEnd 6 TaskId TimeElapsed ErrorCode
OnTaskRun 7 TaskId TimeElapsed Completed
OnTimeout 8
)";

constexpr const char* kEnumerations = R"(
enum PortConstants
filePortUndefined 0
filePortFTP 21
filePortFTPS 990
filePortHTTP 80
filePortHTTPS 443
filePortSSH 22
filePortSFTP 22
enum OptionsConstants
fileOptionNone 0
fileOptionNoCache 1
fileOptionSecure 4096
fileOptionSecureImplicit 4096
fileOptionSecureExplicit 8192
fileOptionSecureShell 16384
fileOptionSecureFallback 32768
fileOptionIpv6Only 262144
enum ServerTypeConstants
fileServerUndefined 0
fileServerUnknown 0
fileServerFTP 1
fileServerHTTP 2
enum DirectoryFormatConstants
fileDirectoryAutoDetect 0
fileDirectoryUnix 1
fileDirectoryMsdos 2
fileDirectoryVms 3
fileDirectorySterling1 4
fileDirectorySterling2 5
fileDirectoryNetWare 6
enum FileTypeConstants
fileTypeDefault 0
fileTypeText 1
fileTypeBinary 3
fileTypeAuto 0
fileTypeASCII 1
fileTypeEBCDIC 2
fileTypeImage 3
enum EncodingConstants
fileEncodingNone 0
fileEncodingANSI 1
fileEncodingUTF8 2
fileEncodingDefault 1
enum VerifyConstants
fileVerifyDefault 0
fileVerifySize 1
fileVerifyCRC32 2
fileVerifyMD5 4
enum FileListConstants
fileListDefault 0
fileListNameOnly 1
enum PermissionsConstants
filePermWorldExecute 1
filePermWorldWrite 2
filePermWorldRead 4
filePermGroupExecute 16
filePermGroupWrite 32
filePermGroupRead 64
filePermOwnerExecute 256
filePermOwnerWrite 512
filePermOwnerRead 1024
filePermSymbolicLink 4096
enum SterlingStatusConstants
fileSterlingStatusTcp 67108864
fileSterlingStatusFtp 134217728
fileSterlingStatusBsc 268435456
fileSterlingStatusAsc 536870912
fileSterlingStatusFts 1073741824
fileSterlingStatusOther -2147483648
enum ProxyTypeConstants
fileProxyNone 0
fileProxyFtpUser 1
fileProxyLogin 2
fileProxyOpen 3
fileProxySite 4
fileProxyOther 255
fileProxyCern 1
fileProxyTunnel 2
fileProxyWindows 3
enum StateConstants
fileStateUnused 0
fileStateIdle 1
fileStateConnecting 2
fileStateLogin 3
fileStateTransfer 4
fileStateFileList 5
enum PriorityConstants
filePriorityBackground 0
filePriorityLow 1
filePriorityNormal 2
filePriorityHigh 3
filePriorityCritical 4
filePriorityInvalid -1
filePriorityDefault 2
filePriorityLowest 0
filePriorityHighest 4
enum FeatureConstants
fileFeatureNone 0
fileFeatureAll -1
fileFeatureSIZE 1
fileFeatureSTAT 2
fileFeatureMDTM 4
fileFeatureREST 8
fileFeatureSITE 16
fileFeatureIDLE 32
fileFeatureCHMOD 64
fileFeatureAUTH 128
fileFeaturePBSZ 256
fileFeaturePROT 512
fileFeatureCCC 1024
fileFeatureHOST 2048
fileFeatureMLST 4096
fileFeatureMFMT 8192
fileFeatureXCRC 16384
fileFeatureXMD5 32768
fileFeatureLANG 65536
fileFeatureUTF8 131072
fileFeatureXQUOTA 262144
fileFeatureUTIME 524288
enum ActivePortConstants
fileActivePortLow 0
fileActivePortHigh 1
enum ChannelConstants
ftpChannelCommand 0
ftpChannelData 1
ftpChannelClear 0
ftpChannelSecure 1
enum SecureProtocolConstants
fileProtocolNone 0
fileProtocolDefault 28
fileProtocolSSL2 1
fileProtocolSSL3 2
fileProtocolSSL 2
fileProtocolTLS10 4
fileProtocolTLS11 8
fileProtocolTLS12 16
fileProtocolTLS1 28
fileProtocolTLS 28
fileProtocolSSH1 256
fileProtocolSSH2 512
fileProtocolSSH 768
enum CipherConstants
fileCipherNone 0
fileCipherRC2 1
fileCipherRC4 2
fileCipherRC5 4
fileCipherDES 8
fileCipherDES3 16
fileCipherDESX 32
fileCipherAES 64
fileCipherSkipjack 128
fileCipherBlowfish 256
enum HashConstants
fileHashNone 0
fileHashMD5 1
fileHashSHA 2
fileHashSHA1 2
fileHashSHA2 4
fileHashSHA256 4
fileHashSHA384 8
fileHashSHA512 16
enum KeyExchangeConstants
fileKeyExchangeNone 0
fileKeyExchangeRSA 1
fileKeyExchangeKEA 2
fileKeyExchangeDH 4
fileKeyExchangeECDH 8
enum CertificateConstants
fileCertificateNone 0
fileCertificateValid 1
fileCertificateNoMatch 2
fileCertificateExpired 3
fileCertificateRevoked 4
fileCertificateUntrusted 5
fileCertificateInvalid 6
enum TraceConstants
fileTraceDefault 0
fileTraceInfo 0
fileTraceError 1
fileTraceWarning 2
fileTraceHexDump 4
fileTraceProcess 4096
enum SecurityConstants
(shared security constants)
)";

TEST(FileTransferTypeLibrary, MatchesThePublishedTables) {
  ASSERT_TRUE(SUCCEEDED(CoInitializeEx(nullptr, COINIT_APARTMENTTHREADED)));
  IUnknown* control = nullptr;
  ASSERT_EQ(ocx::CreateObject<filexfer::CFileTransfer>(nullptr, IID_IUnknown, reinterpret_cast<void**>(&control)), S_OK);
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
