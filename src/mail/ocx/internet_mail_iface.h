#pragma once
// The dual interface IInternetMail: one member list gives the vtable (slots in this order after
// IDispatch's seven), the dispatch table and the type information (each entry names its
// arguments). Optional arguments are VARIANTs by value (Var); results, by-reference arguments
// and the Error argument are VARIANT pointers (VarRef).
#include "platform/com/dispatch.h"

namespace mailctl {

namespace k = ::plat::com::p;  // the parameter kinds

#define CV_MAIL_STRING(X, name, id) X(GET, name, id, "", k::BstrOut) X(PUT, name, id, "", k::Bstr)
#define CV_MAIL_LONG(X, name, id) X(GET, name, id, "", k::I4Out) X(PUT, name, id, "", k::I4)
#define CV_MAIL_BOOL(X, name, id) X(GET, name, id, "", k::BoolOut) X(PUT, name, id, "", k::Bool)

#define IINTERNETMAIL_MEMBERS(X)                                                                                   \
  X(METHOD, About, -552, "")                                                                                       \
  X(PUT, Enabled, -514, "", k::Bool)                                                                               \
  X(GET, Enabled, -514, "", k::BoolOut)                                                                            \
  X(GET, AllHeaders, 1, "", k::BstrOut)                                                                            \
  X(GET, AllRecipients, 2, "", k::BstrOut)                                                                         \
  X(GET, Attachment, 3, "", k::BstrOut)                                                                            \
  CV_MAIL_STRING(X, Bcc, 4)                                                                                        \
  CV_MAIL_STRING(X, Cc, 5)                                                                                         \
  X(GET, CertificateExpires, 6, "", k::BstrOut)                                                                    \
  X(GET, CertificateIssued, 7, "", k::BstrOut)                                                                     \
  X(GET, CertificateIssuer, 8, "", k::BstrOut)                                                                     \
  CV_MAIL_STRING(X, CertificateName, 9)                                                                            \
  CV_MAIL_STRING(X, CertificatePassword, 10)                                                                       \
  X(GET, CertificateStatus, 11, "", k::I4Out)                                                                      \
  CV_MAIL_STRING(X, CertificateStore, 12)                                                                          \
  X(GET, CertificateSubject, 13, "", k::BstrOut)                                                                   \
  CV_MAIL_STRING(X, CertificateUser, 14)                                                                           \
  X(GET, CipherStrength, 15, "", k::I4Out)                                                                         \
  CV_MAIL_STRING(X, ContentID, 16)                                                                                 \
  X(GET, ContentLength, 17, "", k::I4Out)                                                                          \
  CV_MAIL_STRING(X, ContentType, 18)                                                                               \
  CV_MAIL_STRING(X, Date, 19)                                                                                      \
  CV_MAIL_STRING(X, Domain, 20)                                                                                    \
  CV_MAIL_STRING(X, Encoding, 21)                                                                                  \
  CV_MAIL_LONG(X, Encrypted, 22)                                                                                   \
  CV_MAIL_STRING(X, From, 23)                                                                                      \
  X(GET, HashStrength, 24, "", k::I4Out)                                                                           \
  X(GET, IsBlocked, 25, "", k::BoolOut)                                                                            \
  X(GET, IsConnected, 26, "", k::BoolOut)                                                                          \
  X(GET, IsInitialized, 27, "", k::BoolOut)                                                                        \
  CV_MAIL_LONG(X, LastError, 28)                                                                                   \
  X(GET, LastErrorString, 29, "", k::BstrOut)                                                                      \
  X(GET, LastMessage, 30, "", k::I4Out)                                                                            \
  CV_MAIL_STRING(X, LocalAddress, 31)                                                                              \
  CV_MAIL_BOOL(X, Localize, 32)                                                                                    \
  X(GET, LocalName, 33, "", k::BstrOut)                                                                            \
  X(GET, Mailbox, 34, "Index", k::I4, k::BstrOut)                                                                  \
  X(GET, Mailboxes, 35, "", k::I4Out)                                                                              \
  X(GET, MailboxFlags, 36, "", k::I4Out)                                                                           \
  CV_MAIL_STRING(X, MailboxName, 37)                                                                               \
  X(GET, MailboxSize, 38, "", k::I4Out)                                                                            \
  X(GET, MailboxUID, 39, "", k::I4Out)                                                                             \
  CV_MAIL_STRING(X, Mailer, 40)                                                                                    \
  CV_MAIL_STRING(X, Message, 41)                                                                                   \
  X(GET, MessageCount, 42, "", k::I4Out)                                                                           \
  X(GET, MessageDigest, 43, "", k::BstrOut)                                                                        \
  CV_MAIL_LONG(X, MessageFlags, 44)                                                                                \
  X(GET, MessageID, 45, "", k::BstrOut)                                                                            \
  CV_MAIL_LONG(X, MessageIndex, 46)                                                                                \
  CV_MAIL_LONG(X, MessagePart, 47)                                                                                 \
  X(GET, MessageParts, 48, "", k::I4Out)                                                                           \
  X(GET, MessageSize, 49, "", k::I4Out)                                                                            \
  CV_MAIL_STRING(X, MessageText, 50)                                                                               \
  X(GET, MessageUID, 51, "", k::BstrOut)                                                                           \
  X(GET, NameServer, 52, "Index", k::Var, k::BstrOut)                                                              \
  X(PUT, NameServer, 52, "Index", k::Var, k::Bstr)                                                                 \
  X(GET, NewMessages, 53, "", k::I4Out)                                                                            \
  CV_MAIL_LONG(X, Options, 54)                                                                                     \
  CV_MAIL_STRING(X, Organization, 55)                                                                              \
  CV_MAIL_STRING(X, Password, 56)                                                                                  \
  CV_MAIL_STRING(X, Priority, 57)                                                                                  \
  X(GET, RecentMessages, 58, "", k::I4Out)                                                                         \
  X(GET, Recipient, 59, "Index", k::Var, k::BstrOut)                                                               \
  X(GET, Recipients, 60, "", k::I4Out)                                                                             \
  CV_MAIL_LONG(X, RelayPort, 61)                                                                                   \
  CV_MAIL_STRING(X, RelayServer, 62)                                                                               \
  CV_MAIL_STRING(X, ReplyTo, 63)                                                                                   \
  CV_MAIL_STRING(X, ReturnReceipt, 64)                                                                             \
  CV_MAIL_BOOL(X, Secure, 65)                                                                                      \
  X(GET, SecureCipher, 66, "", k::I4Out)                                                                           \
  X(GET, SecureHash, 67, "", k::I4Out)                                                                             \
  X(GET, SecureKeyExchange, 68, "", k::I4Out)                                                                      \
  CV_MAIL_LONG(X, SecureProtocol, 69)                                                                              \
  CV_MAIL_STRING(X, ServerName, 70)                                                                                \
  CV_MAIL_LONG(X, ServerPort, 71)                                                                                  \
  CV_MAIL_LONG(X, ServerType, 72)                                                                                  \
  CV_MAIL_STRING(X, Subject, 73)                                                                                   \
  CV_MAIL_BOOL(X, ThrowError, 74)                                                                                  \
  CV_MAIL_LONG(X, Timeout, 75)                                                                                     \
  CV_MAIL_LONG(X, TimeZone, 76)                                                                                    \
  CV_MAIL_STRING(X, To, 77)                                                                                        \
  CV_MAIL_BOOL(X, Trace, 78)                                                                                       \
  CV_MAIL_STRING(X, TraceFile, 79)                                                                                 \
  CV_MAIL_LONG(X, TraceFlags, 80)                                                                                  \
  X(GET, UnreadMessages, 81, "", k::I4Out)                                                                         \
  CV_MAIL_STRING(X, UserName, 82)                                                                                  \
  X(GET, Version, 83, "", k::BstrOut)                                                                              \
  X(METHOD, AppendMessage, 84, "MessageText,Error", k::Var, k::VarRef)                                             \
  X(METHOD, AttachData, 85, "Buffer,Length,ContentName,ContentType,Options,Error", k::Var, k::Var, k::Var, k::Var, \
    k::Var, k::VarRef)                                                                                             \
  X(METHOD, AttachFile, 86, "FileName,Options,Error", k::Var, k::Var, k::VarRef)                                   \
  X(METHOD, AttachImage, 87, "FileName,ContentID,Error", k::Var, k::Var, k::VarRef)                                \
  X(METHOD, Cancel, 88, "Error", k::VarRef)                                                                        \
  X(METHOD, ChangePassword, 89, "UserName,OldPassword,NewPassword,Error", k::Var, k::Var, k::Var, k::VarRef)       \
  X(METHOD, CheckMailbox, 90, "Error", k::VarRef)                                                                  \
  X(METHOD, ComposeMessage, 91, "From,To,Cc,Bcc,Subject,MessageText,MessageHTML,CharacterSet,EncodingType,Error",  \
    k::Var, k::Var, k::Var, k::Var, k::Var, k::Var, k::Var, k::Var, k::Var, k::VarRef)                             \
  X(METHOD, CopyMessage, 92, "MessageNumber,MailboxName,Options,Error", k::Var, k::Var, k::Var, k::VarRef)         \
  X(METHOD, Connect, 93, "ServerName,ServerPort,UserName,Password,Timeout,Options,Error", k::Var, k::Var, k::Var,  \
    k::Var, k::Var, k::Var, k::VarRef)                                                                             \
  X(METHOD, ClearMessage, 94, "")                                                                                  \
  X(METHOD, CreateMailbox, 95, "MailboxName,Error", k::Var, k::VarRef)                                             \
  X(METHOD, CreateMessage, 96, "MessageData,MessageFlags,MailboxName,Error", k::Var, k::Var, k::Var, k::VarRef)    \
  X(METHOD, CreatePart, 97, "MessageText,CharacterSet,EncodingType,Error", k::Var, k::Var, k::Var, k::VarRef)      \
  X(METHOD, DeleteHeader, 98, "HeaderField,Error", k::Var, k::VarRef)                                              \
  X(METHOD, DeleteMailbox, 99, "MailboxName,Error", k::Var, k::VarRef)                                             \
  X(METHOD, DeleteMessage, 100, "MessageNumber,Error", k::Var, k::VarRef)                                          \
  X(METHOD, DeletePart, 101, "MessagePart,Error", k::Var, k::VarRef)                                               \
  X(METHOD, Disconnect, 102, "Error", k::VarRef)                                                                   \
  X(METHOD, ExportMessage, 103, "FileName,Options,Error", k::Var, k::Var, k::VarRef)                               \
  X(METHOD, ExtractAllFiles, 104, "Directory,Result", k::Var, k::VarRef)                                           \
  X(METHOD, ExtractFile, 105, "FileName,MessagePart,Error", k::Var, k::Var, k::VarRef)                             \
  X(METHOD, FindAttachment, 106, "FileName,Result", k::Var, k::VarRef)                                             \
  X(METHOD, GetFirstHeader, 107, "HeaderField,HeaderValue,Error", k::VarRef, k::VarRef, k::VarRef)                 \
  X(METHOD, GetHeader, 108, "HeaderField,HeaderValue,Error", k::Var, k::VarRef, k::VarRef)                         \
  X(METHOD, GetNextHeader, 109, "HeaderField,HeaderValue,Error", k::VarRef, k::VarRef, k::VarRef)                  \
  X(METHOD, GetMessage, 110, "MessageNumber,Error", k::Var, k::VarRef)                                             \
  X(METHOD, Idle, 111, "Options,Timeout,Error", k::Var, k::Var, k::VarRef)                                         \
  X(METHOD, ImportMessage, 112, "FileName,Error", k::Var, k::VarRef)                                               \
  X(METHOD, Initialize, 113, "Reserved,Error", k::Var, k::VarRef)                                                  \
  X(METHOD, ParseAddress, 114, "Address,Error", k::Var, k::VarRef)                                                 \
  X(METHOD, ParseMessage, 115, "MessageText,Error", k::Var, k::VarRef)                                             \
  X(METHOD, RenameMailbox, 116, "OldName,NewName,Error", k::Var, k::Var, k::VarRef)                                \
  X(METHOD, Reset, 117, "")                                                                                        \
  X(METHOD, SearchMailbox, 118, "Criteria,Messages,CharSet,Result", k::Var, k::VarRef, k::Var, k::VarRef)          \
  X(METHOD, SelectMailbox, 119, "MailboxName,Error", k::Var, k::VarRef)                                            \
  X(METHOD, SendMessage, 120, "Sender,Recipient,Message,Options,Error", k::Var, k::Var, k::Var, k::Var, k::VarRef) \
  X(METHOD, SetHeader, 121, "HeaderField,HeaderValue,Error", k::Var, k::Var, k::VarRef)                            \
  X(METHOD, StoreMessage, 122, "MessageNumber,FileName,Error", k::Var, k::Var, k::VarRef)                          \
  X(METHOD, UndeleteMessage, 123, "MessageNumber,Error", k::Var, k::VarRef)                                        \
  X(METHOD, Uninitialize, 124, "")                                                                                 \
  X(METHOD, UnselectMailbox, 125, "Expunge,Error", k::Var, k::VarRef)

CV_DISPATCH_INTERFACE(IInternetMail, IINTERNETMAIL_MEMBERS)

}  // namespace mailctl
