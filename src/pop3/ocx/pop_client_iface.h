#pragma once
// The dual interface IPopClient: one member list gives the vtable (slots in this order after
// IDispatch's seven), the dispatch table and the type information (each entry names its
// arguments). Optional arguments are VARIANTs by value (Var); results, buffers and the Error
// argument are VARIANT pointers (VarRef).
#include "platform/com/dispatch.h"

namespace popctl {

namespace k = ::plat::com::p;  // the parameter kinds

#define CV_POPCLIENT_STRING(X, name, id) X(GET, name, id, "", k::BstrOut) X(PUT, name, id, "", k::Bstr)
#define CV_POPCLIENT_LONG(X, name, id) X(GET, name, id, "", k::I4Out) X(PUT, name, id, "", k::I4)
#define CV_POPCLIENT_BOOL(X, name, id) X(GET, name, id, "", k::BoolOut) X(PUT, name, id, "", k::Bool)

#define IPOPCLIENT_MEMBERS(X)                                                                                \
  X(METHOD, About, -552, "")                                                                                 \
  X(PUT, Enabled, -514, "", k::Bool)                                                                         \
  X(GET, Enabled, -514, "", k::BoolOut)                                                                      \
  CV_POPCLIENT_LONG(X, AuthType, 1)                                                                          \
  CV_POPCLIENT_BOOL(X, AutoResolve, 2)                                                                       \
  CV_POPCLIENT_BOOL(X, Blocking, 3)                                                                          \
  X(GET, CertificateExpires, 4, "", k::BstrOut)                                                              \
  X(GET, CertificateIssued, 5, "", k::BstrOut)                                                               \
  X(GET, CertificateIssuer, 6, "", k::BstrOut)                                                               \
  CV_POPCLIENT_STRING(X, CertificateName, 7)                                                                 \
  CV_POPCLIENT_STRING(X, CertificatePassword, 8)                                                             \
  X(GET, CertificateStatus, 9, "", k::I4Out)                                                                 \
  CV_POPCLIENT_STRING(X, CertificateStore, 10)                                                               \
  X(GET, CertificateSubject, 11, "", k::BstrOut)                                                             \
  CV_POPCLIENT_STRING(X, CertificateUser, 12)                                                                \
  X(GET, CipherStrength, 13, "", k::I4Out)                                                                   \
  X(GET, Connected, 14, "", k::BoolOut)                                                                      \
  X(GET, Handle, 15, "", k::I4Out)                                                                           \
  X(GET, HashStrength, 16, "", k::I4Out)                                                                     \
  CV_POPCLIENT_STRING(X, HeaderField, 17)                                                                    \
  X(GET, HeaderValue, 18, "", k::BstrOut)                                                                    \
  CV_POPCLIENT_STRING(X, HostAddress, 19)                                                                    \
  CV_POPCLIENT_STRING(X, HostName, 20)                                                                       \
  X(GET, IsBlocked, 21, "", k::BoolOut)                                                                      \
  X(GET, IsConnected, 22, "", k::BoolOut)                                                                    \
  X(GET, IsInitialized, 23, "", k::BoolOut)                                                                  \
  X(GET, IsReadable, 24, "", k::BoolOut)                                                                     \
  X(GET, IsWritable, 25, "", k::BoolOut)                                                                     \
  CV_POPCLIENT_LONG(X, LastError, 26)                                                                        \
  X(GET, LastErrorString, 27, "", k::BstrOut)                                                                \
  X(GET, LastMessage, 28, "", k::I4Out)                                                                      \
  X(GET, LocalAddress, 29, "", k::BstrOut)                                                                   \
  X(GET, LocalName, 30, "", k::BstrOut)                                                                      \
  X(GET, LocalPort, 31, "", k::I4Out)                                                                        \
  X(GET, MailboxSize, 32, "", k::I4Out)                                                                      \
  CV_POPCLIENT_LONG(X, Message, 33)                                                                          \
  X(GET, MessageCount, 34, "", k::I4Out)                                                                     \
  X(GET, MessageFrom, 35, "", k::BstrOut)                                                                    \
  X(GET, MessageSize, 36, "", k::I4Out)                                                                      \
  X(GET, MessageUID, 37, "", k::BstrOut)                                                                     \
  X(GET, NewMessages, 38, "", k::I4Out)                                                                      \
  CV_POPCLIENT_LONG(X, Options, 39)                                                                          \
  CV_POPCLIENT_STRING(X, Password, 40)                                                                       \
  CV_POPCLIENT_LONG(X, RemotePort, 41)                                                                       \
  CV_POPCLIENT_STRING(X, RemoteService, 42)                                                                  \
  X(GET, ResultCode, 43, "", k::BoolOut)                                                                     \
  X(GET, ResultString, 44, "", k::BstrOut)                                                                   \
  CV_POPCLIENT_BOOL(X, Secure, 45)                                                                           \
  X(GET, SecureCipher, 46, "", k::I4Out)                                                                     \
  X(GET, SecureHash, 47, "", k::I4Out)                                                                       \
  X(GET, SecureKeyExchange, 48, "", k::I4Out)                                                                \
  CV_POPCLIENT_LONG(X, SecureProtocol, 49)                                                                   \
  X(GET, State, 50, "", k::I4Out)                                                                            \
  CV_POPCLIENT_BOOL(X, ThrowError, 51)                                                                       \
  CV_POPCLIENT_LONG(X, Timeout, 52)                                                                          \
  CV_POPCLIENT_BOOL(X, Trace, 53)                                                                            \
  CV_POPCLIENT_STRING(X, TraceFile, 54)                                                                      \
  CV_POPCLIENT_LONG(X, TraceFlags, 55)                                                                       \
  X(GET, UnreadMessages, 56, "", k::I4Out)                                                                   \
  CV_POPCLIENT_STRING(X, UserName, 57)                                                                       \
  X(GET, Version, 58, "", k::BstrOut)                                                                        \
  X(METHOD, Cancel, 59, "Error", k::VarRef)                                                                  \
  X(METHOD, ChangePassword, 60, "OldPassword,NewPassword,Error", k::Var, k::Var, k::VarRef)                  \
  X(METHOD, CloseMessage, 61, "Error", k::VarRef)                                                            \
  X(METHOD, Command, 62, "Command,Parameters,Options,Error", k::Var, k::Var, k::Var, k::VarRef)              \
  X(METHOD, Connect, 63, "RemoteHost,RemotePort,UserName,Password,Timeout,Options,Error",                    \
    k::Var, k::Var, k::Var, k::Var, k::Var, k::Var, k::VarRef)                                               \
  X(METHOD, DeleteMessage, 64, "MessageId,Error", k::Var, k::VarRef)                                         \
  X(METHOD, Disconnect, 65, "Error", k::VarRef)                                                              \
  X(METHOD, GetHeader, 66, "MessageId,HeaderField,HeaderValue,Result", k::Var, k::Var, k::VarRef, k::VarRef) \
  X(METHOD, GetHeaders, 67, "MessageId,Headers,Error", k::Var, k::VarRef, k::VarRef)                         \
  X(METHOD, GetMessage, 68, "MessageId,Message,Error", k::Var, k::VarRef, k::VarRef)                         \
  X(METHOD, Initialize, 69, "Reserved,Error", k::Var, k::VarRef)                                             \
  X(METHOD, OpenMessage, 70, "MessageId,Options,Error", k::Var, k::Var, k::VarRef)                           \
  X(METHOD, Read, 71, "Buffer,Length,Result", k::VarRef, k::Var, k::VarRef)                                  \
  X(METHOD, Reset, 72, "")                                                                                   \
  X(METHOD, SendMessage, 73, "Message,Options,Error", k::Var, k::Var, k::VarRef)                             \
  X(METHOD, StoreMessage, 74, "MessageId,FileName,Error", k::Var, k::Var, k::VarRef)                         \
  X(METHOD, Uninitialize, 75, "")                                                                            \
  X(METHOD, Write, 76, "Buffer,Length,Result", k::Var, k::Var, k::VarRef)

CV_DISPATCH_INTERFACE(IPopClient, IPOPCLIENT_MEMBERS)

}  // namespace popctl
