#pragma once
// The dual interface IHttpServer: one member list gives the vtable (slots in this order after
// IDispatch's seven), the dispatch table and the type information (each entry names its
// arguments). Arguments are VARIANTs by value (Var) so that the members judge missing ones
// themselves; results and the Error argument are VARIANT pointers (VarRef).
#include "platform/com/dispatch.h"

namespace httpsrvctl {

namespace k = ::plat::com::p;  // the parameter kinds

#define CV_HTTPSRV_STRING(X, name, id) X(GET, name, id, "", k::BstrOut) X(PUT, name, id, "", k::Bstr)
#define CV_HTTPSRV_LONG(X, name, id) X(GET, name, id, "", k::I4Out) X(PUT, name, id, "", k::I4)
#define CV_HTTPSRV_BOOL(X, name, id) X(GET, name, id, "", k::BoolOut) X(PUT, name, id, "", k::Bool)

#define IHTTPSERVER_MEMBERS(X)                                                                                \
  X(METHOD, About, -552, "")                                                                                  \
  X(PUT, Enabled, -514, "", k::Bool)                                                                          \
  X(GET, Enabled, -514, "", k::BoolOut)                                                                       \
  X(GET, AdapterAddress, 1, "Index", k::Var, k::BstrOut)                                                      \
  X(GET, AdapterCount, 2, "", k::I4Out)                                                                       \
  CV_HTTPSRV_STRING(X, CertificateName, 3)                                                                    \
  CV_HTTPSRV_STRING(X, CertificatePassword, 4)                                                                \
  CV_HTTPSRV_STRING(X, CertificateStore, 5)                                                                   \
  CV_HTTPSRV_STRING(X, CertificateUser, 6)                                                                    \
  CV_HTTPSRV_LONG(X, ClientAccess, 7)                                                                         \
  X(GET, ClientAddress, 8, "", k::BstrOut)                                                                    \
  X(GET, ClientCount, 9, "", k::I4Out)                                                                        \
  X(GET, ClientHost, 10, "", k::BstrOut)                                                                      \
  X(GET, ClientId, 11, "", k::I4Out)                                                                          \
  CV_HTTPSRV_LONG(X, ClientIdle, 12)                                                                          \
  X(GET, ClientPort, 13, "", k::I4Out)                                                                        \
  X(GET, ClientThread, 14, "", k::I4Out)                                                                      \
  X(GET, ClientUser, 15, "", k::BstrOut)                                                                      \
  X(GET, CommandLine, 16, "", k::BstrOut)                                                                     \
  CV_HTTPSRV_STRING(X, Directory, 17)                                                                         \
  CV_HTTPSRV_LONG(X, ExecTime, 18)                                                                            \
  X(GET, ExternalAddress, 19, "", k::BstrOut)                                                                 \
  CV_HTTPSRV_BOOL(X, HiddenFiles, 20)                                                                         \
  CV_HTTPSRV_STRING(X, Identity, 21)                                                                          \
  CV_HTTPSRV_LONG(X, IdleTime, 22)                                                                            \
  X(GET, IsActive, 23, "", k::BoolOut)                                                                        \
  X(GET, IsAuthenticated, 24, "", k::BoolOut)                                                                 \
  X(GET, IsInitialized, 25, "", k::BoolOut)                                                                   \
  X(GET, IsListening, 26, "", k::BoolOut)                                                                     \
  CV_HTTPSRV_LONG(X, LastError, 27)                                                                           \
  X(GET, LastErrorString, 28, "", k::BstrOut)                                                                 \
  CV_HTTPSRV_STRING(X, LocalPath, 29)                                                                         \
  CV_HTTPSRV_BOOL(X, LocalUser, 30)                                                                           \
  CV_HTTPSRV_BOOL(X, LockFiles, 31)                                                                           \
  CV_HTTPSRV_STRING(X, LogFile, 32)                                                                           \
  CV_HTTPSRV_LONG(X, LogFormat, 33)                                                                           \
  CV_HTTPSRV_LONG(X, LogLevel, 34)                                                                            \
  CV_HTTPSRV_LONG(X, MaxClients, 35)                                                                          \
  CV_HTTPSRV_BOOL(X, MultiUser, 36)                                                                           \
  CV_HTTPSRV_BOOL(X, NoIndex, 37)                                                                             \
  CV_HTTPSRV_LONG(X, Options, 38)                                                                             \
  CV_HTTPSRV_LONG(X, Priority, 39)                                                                            \
  CV_HTTPSRV_BOOL(X, ReadOnly, 40)                                                                            \
  CV_HTTPSRV_BOOL(X, Restricted, 41)                                                                          \
  CV_HTTPSRV_BOOL(X, Secure, 42)                                                                              \
  CV_HTTPSRV_STRING(X, ServerAddress, 43)                                                                     \
  X(GET, ServerHandle, 44, "", k::I4Out)                                                                      \
  CV_HTTPSRV_STRING(X, ServerName, 45)                                                                        \
  CV_HTTPSRV_LONG(X, ServerPort, 46)                                                                          \
  X(GET, ServerThread, 47, "", k::I4Out)                                                                      \
  CV_HTTPSRV_STRING(X, ServerUuid, 48)                                                                        \
  CV_HTTPSRV_LONG(X, StackSize, 49)                                                                           \
  CV_HTTPSRV_BOOL(X, ThrowError, 50)                                                                          \
  CV_HTTPSRV_BOOL(X, Trace, 51)                                                                               \
  CV_HTTPSRV_STRING(X, TraceFile, 52)                                                                         \
  CV_HTTPSRV_LONG(X, TraceFlags, 53)                                                                          \
  X(GET, Version, 54, "", k::BstrOut)                                                                         \
  CV_HTTPSRV_STRING(X, VirtualPath, 55)                                                                       \
  X(METHOD, AddHost, 56, "VirtualHost,VirtualPort,Directory,Result", k::Var, k::Var, k::Var, k::VarRef)       \
  X(METHOD, AddPath, 57, "HostId,VirtualPath,LocalPath,AccessFlags,Error",                                    \
    k::Var, k::Var, k::Var, k::Var, k::VarRef)                                                                \
  X(METHOD, AddUser, 58, "HostId,UserName,Password,AccessFlags,Directory,Error",                              \
    k::Var, k::Var, k::Var, k::Var, k::Var, k::VarRef)                                                        \
  X(METHOD, Authenticate, 59, "ClientId,AccessFlags,Error", k::Var, k::Var, k::VarRef)                        \
  X(METHOD, CheckPath, 60, "ClientId,VirtualPath,AccessFlags,Result", k::Var, k::Var, k::Var, k::VarRef)      \
  X(METHOD, ClearHeaders, 61, "ClientId,Error", k::Var, k::VarRef)                                            \
  X(METHOD, DeleteHost, 62, "HostId,Error", k::Var, k::VarRef)                                                \
  X(METHOD, DeletePath, 63, "HostId,VirtualPath,Error", k::Var, k::Var, k::VarRef)                            \
  X(METHOD, DeleteUser, 64, "HostId,UserName,Error", k::Var, k::Var, k::VarRef)                               \
  X(METHOD, Disconnect, 65, "ClientId,Error", k::Var, k::VarRef)                                              \
  X(METHOD, GetAllHeaders, 66, "ClientId,Headers,Result", k::Var, k::VarRef, k::VarRef)                       \
  X(METHOD, GetHeader, 67, "ClientId,HeaderName,HeaderValue,Result", k::Var, k::Var, k::VarRef, k::VarRef)    \
  X(METHOD, GetVariable, 68, "ClientId,VariableName,VariableValue,Result",                                    \
    k::Var, k::Var, k::VarRef, k::VarRef)                                                                     \
  X(METHOD, Initialize, 69, "Reserved,Error", k::Var, k::VarRef)                                              \
  X(METHOD, ReceiveRequest, 70, "ClientId,Buffer,Length,Error", k::Var, k::VarRef, k::Var, k::VarRef)         \
  X(METHOD, RedirectRequest, 71, "ClientId,Location,Method,Error", k::Var, k::Var, k::Var, k::VarRef)         \
  X(METHOD, RegisterHandler, 72, "HostId,FileExtension,ProgramFile,Parameters,Directory,Error",               \
    k::Var, k::Var, k::Var, k::Var, k::Var, k::VarRef)                                                        \
  X(METHOD, RegisterProgram, 73, "HostId,CommandName,ProgramFile,Parameters,Directory,Error",                 \
    k::Var, k::Var, k::Var, k::Var, k::Var, k::VarRef)                                                        \
  X(METHOD, RequireAuthentication, 74, "ClientId,AuthType,Realm,Error", k::Var, k::Var, k::Var, k::VarRef)    \
  X(METHOD, Reset, 75, "")                                                                                    \
  X(METHOD, ResolvePath, 76, "ClientId,SourcePath,ResolvedPath,IsVirtual,Error",                              \
    k::Var, k::Var, k::VarRef, k::Var, k::VarRef)                                                             \
  X(METHOD, Restart, 77, "Error", k::VarRef)                                                                  \
  X(METHOD, Resume, 78, "Error", k::VarRef)                                                                   \
  X(METHOD, SendError, 79, "ClientId,ErrorCode,Message,Error", k::Var, k::Var, k::Var, k::VarRef)             \
  X(METHOD, SendResponse, 80, "ClientId,ResultCode,Buffer,Length,Error",                                      \
    k::Var, k::Var, k::Var, k::Var, k::VarRef)                                                                \
  X(METHOD, SetHeader, 81, "ClientId,HeaderName,HeaderValue,Result", k::Var, k::Var, k::Var, k::VarRef)       \
  X(METHOD, SetVariable, 82, "ClientId,VariableName,VariableValue,Result", k::Var, k::Var, k::Var, k::VarRef) \
  X(METHOD, Start, 83, "ServerAddress,ServerPort,Directory,MaxClients,IdleTime,Options,Error",                \
    k::Var, k::Var, k::Var, k::Var, k::Var, k::Var, k::VarRef)                                                \
  X(METHOD, Stop, 84, "Error", k::VarRef)                                                                     \
  X(METHOD, Suspend, 85, "Error", k::VarRef)                                                                  \
  X(METHOD, Throttle, 86, "MaxClients,MaxClientsPerAddress,ConnectionRate,Error",                             \
    k::Var, k::Var, k::Var, k::VarRef)                                                                        \
  X(METHOD, Uninitialize, 87, "")

CV_DISPATCH_INTERFACE(IHttpServer, IHTTPSERVER_MEMBERS)

}  // namespace httpsrvctl
