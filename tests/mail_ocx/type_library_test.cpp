// The InternetMail control's type library as a host reads it through ITypeInfo: the members
// of its dual interface in slot order, its events and its enumerations, against the
// published tables.
#include <gtest/gtest.h>

#include "mail/ocx/internet_mail.h"
#include "ocx/object.h"
#include "support/type_dump.h"

namespace {

constexpr const char* kMembers = R"(
About -552 method
Enabled -514 put get
AllHeaders 1 get
AllRecipients 2 get
Attachment 3 get
Bcc 4 get put
Cc 5 get put
CertificateExpires 6 get
CertificateIssued 7 get
CertificateIssuer 8 get
CertificateName 9 get put
CertificatePassword 10 get put
CertificateStatus 11 get
CertificateStore 12 get put
CertificateSubject 13 get
CertificateUser 14 get put
CipherStrength 15 get
ContentID 16 get put
ContentLength 17 get
ContentType 18 get put
Date 19 get put
Domain 20 get put
Encoding 21 get put
Encrypted 22 get put
From 23 get put
HashStrength 24 get
IsBlocked 25 get
IsConnected 26 get
IsInitialized 27 get
LastError 28 get put
LastErrorString 29 get
LastMessage 30 get
LocalAddress 31 get put
Localize 32 get put
LocalName 33 get
Mailbox 34 get Index
Mailboxes 35 get
MailboxFlags 36 get
MailboxName 37 get put
MailboxSize 38 get
MailboxUID 39 get
Mailer 40 get put
Message 41 get put
MessageCount 42 get
MessageDigest 43 get
MessageFlags 44 get put
MessageID 45 get
MessageIndex 46 get put
MessagePart 47 get put
MessageParts 48 get
MessageSize 49 get
MessageText 50 get put
MessageUID 51 get
NameServer 52 get put Index
NewMessages 53 get
Options 54 get put
Organization 55 get put
Password 56 get put
Priority 57 get put
RecentMessages 58 get
Recipient 59 get Index
Recipients 60 get
RelayPort 61 get put
RelayServer 62 get put
ReplyTo 63 get put
ReturnReceipt 64 get put
Secure 65 get put
SecureCipher 66 get
SecureHash 67 get
SecureKeyExchange 68 get
SecureProtocol 69 get put
ServerName 70 get put
ServerPort 71 get put
ServerType 72 get put
Subject 73 get put
ThrowError 74 get put
Timeout 75 get put
TimeZone 76 get put
To 77 get put
Trace 78 get put
TraceFile 79 get put
TraceFlags 80 get put
UnreadMessages 81 get
UserName 82 get put
Version 83 get
AppendMessage 84 method MessageText Error
AttachData 85 method Buffer Length ContentName ContentType Options Error
AttachFile 86 method FileName Options Error
AttachImage 87 method FileName ContentID Error
Cancel 88 method Error
ChangePassword 89 method UserName OldPassword NewPassword Error
CheckMailbox 90 method Error
ComposeMessage 91 method From To Cc Bcc Subject MessageText MessageHTML CharacterSet EncodingType Error
CopyMessage 92 method MessageNumber MailboxName Options Error
Connect 93 method ServerName ServerPort UserName Password Timeout Options Error
ClearMessage 94 method
CreateMailbox 95 method MailboxName Error
CreateMessage 96 method MessageData MessageFlags MailboxName Error
CreatePart 97 method MessageText CharacterSet EncodingType Error
DeleteHeader 98 method HeaderField Error
DeleteMailbox 99 method MailboxName Error
DeleteMessage 100 method MessageNumber Error
DeletePart 101 method MessagePart Error
Disconnect 102 method Error
ExportMessage 103 method FileName Options Error
ExtractAllFiles 104 method Directory Result
ExtractFile 105 method FileName MessagePart Error
FindAttachment 106 method FileName Result
GetFirstHeader 107 method HeaderField HeaderValue Error
GetHeader 108 method HeaderField HeaderValue Error
GetNextHeader 109 method HeaderField HeaderValue Error
GetMessage 110 method MessageNumber Error
Idle 111 method Options Timeout Error
ImportMessage 112 method FileName Error
Initialize 113 method Reserved Error
ParseAddress 114 method Address Error
ParseMessage 115 method MessageText Error
RenameMailbox 116 method OldName NewName Error
Reset 117 method
SearchMailbox 118 method Criteria Messages CharSet Result
SelectMailbox 119 method MailboxName Error
SendMessage 120 method Sender Recipient Message Options Error
SetHeader 121 method HeaderField HeaderValue Error
StoreMessage 122 method MessageNumber FileName Error
UndeleteMessage 123 method MessageNumber Error
Uninitialize 124 method
UnselectMailbox 125 method Expunge Error
)";

constexpr const char* kEvents = R"(
OnCancel 1
OnDelivered 2 Address MessageSize
OnError 3 ErrorCode Description
OnProgress 4 MessageSize MessageCopied Percent
OnRecipient 5 Address Cancel
OnTimeout 6
OnUpdate 7 UpdateType MessageNumber
)";

constexpr const char* kEnumerations = R"(
enum __mailUpdateConstants
mailUpdateUnknown 0
mailUpdateMessage 1
mailUpdateExpunge 2
mailUpdateMailbox 3
enum __mailServerConstants
mailServerDefault 0
mailServerPop3 1
mailServerImap4 2
enum __mailPortConstants
mailPortDefault 0
mailPortPop 110
mailPortPop3 110
mailPortImap 143
mailPortImap4 143
enum __mailSecurityConstants
(shared security constants)
enum __mailOptionConstants
mailOptionImplicitSSL 1
mailOptionAPOP 2
mailOptionAuthLogin 4
mailOptionAllHeaders 256
mailOptionKeepOrder 512
mailOptionNotify 983040
mailNotifySuccess 65536
mailNotifyFailure 131072
mailNotifyDelay 262144
mailReturnHeaders 524288
mailReturnMessage 1048576
enum __mailAttachConstants
mailAttachDefault 0
mailAttachBase64 1
mailAttachUucode 2
mailAttachQuoted 3
mailAttachAlternative 65536
mailAttachInline 131072
enum __mailCharacterSetConstants
mailCharsetUnknown 0
mailCharsetDefault 1
mailCharsetUSASCII 1
mailCharsetISO8859 2
mailCharsetISO8859_1 2
mailCharsetISOLatin1 2
mailCharsetISO8859_2 3
mailCharsetISOLatin2 3
mailCharsetISO8859_5 4
mailCharsetISO8859_6 5
mailCharsetISO8859_7 6
mailCharsetISO8859_8 7
mailCharsetISO8859_9 8
enum __mailEncodingConstants
mailEncodingUnknown 0
mailEncodingDefault 1
mailEncoding7Bit 1
mailEncoding8Bit 2
mailEncodingBinary 3
mailEncodingQuoted 4
mailEncodingBase64 5
mailEncodingUucode 6
enum __mailFlagConstants
mailFlagNone 0
mailFlagAnswered 1
mailFlagDraft 2
mailFlagUrgent 4
mailFlagFlagged 4
mailFlagSeen 8
mailFlagRecent 256
mailFlagDeleted 512
mailFlagNoInferiors 65536
mailFlagNoSelect 131072
mailFlagMarked 262144
mailFlagUnmarked 524288
enum __mailIdleConstants
mailIdleNoWait 0
mailIdleWait 1
enum __mailTraceConstants
mailTraceDefault 0
mailTraceInfo 0
mailTraceError 1
mailTraceWarning 2
mailTraceHexDump 4
mailTraceProcess 4096
)";

TEST(InternetMailTypeLibrary, MatchesThePublishedTables) {
  ASSERT_TRUE(SUCCEEDED(CoInitializeEx(nullptr, COINIT_APARTMENTTHREADED)));
  IUnknown* control = nullptr;
  ASSERT_EQ(ocx::CreateObject<mailctl::CInternetMail>(nullptr, IID_IUnknown, reinterpret_cast<void**>(&control)), S_OK);
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
