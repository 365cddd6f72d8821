#pragma once
// The dual interface IFtpServer: one member list gives the vtable (slots in this order after
// IDispatch's seven), the dispatch table and the type information (each entry names its
// arguments). Optional and required arguments alike are VARIANTs by value (Var) so that the
// members themselves judge missing ones; the Error argument and ResolvedPath are VARIANT
// pointers (VarRef).
#include "platform/com/dispatch.h"

namespace ftpsrvctl {

namespace k = ::plat::com::p;  // the parameter kinds

#define CV_FTPSRV_STRING(X, name, id) X(GET, name, id, "", k::BstrOut) X(PUT, name, id, "", k::Bstr)
#define CV_FTPSRV_LONG(X, name, id) X(GET, name, id, "", k::I4Out) X(PUT, name, id, "", k::I4)
#define CV_FTPSRV_BOOL(X, name, id) X(GET, name, id, "", k::BoolOut) X(PUT, name, id, "", k::Bool)

#define IFTPSERVER_MEMBERS(X)                                                                            \
  X(METHOD, About, -552, "")                                                                             \
  X(PUT, Enabled, -514, "", k::Bool)                                                                     \
  X(GET, Enabled, -514, "", k::BoolOut)                                                                  \
  X(GET, AdapterAddress, 1, "Index", k::Var, k::BstrOut)                                                 \
  X(GET, AdapterCount, 2, "", k::I4Out)                                                                  \
  CV_FTPSRV_LONG(X, AuthFail, 3)                                                                         \
  CV_FTPSRV_LONG(X, AuthTime, 4)                                                                         \
  CV_FTPSRV_STRING(X, CertificateName, 5)                                                                \
  CV_FTPSRV_STRING(X, CertificatePassword, 6)                                                            \
  CV_FTPSRV_STRING(X, CertificateStore, 7)                                                               \
  CV_FTPSRV_STRING(X, CertificateUser, 8)                                                                \
  CV_FTPSRV_LONG(X, ClientAccess, 9)                                                                     \
  X(GET, ClientAddress, 10, "", k::BstrOut)                                                              \
  X(GET, ClientCount, 11, "", k::I4Out)                                                                  \
  X(GET, ClientDirectory, 12, "", k::BstrOut)                                                            \
  X(GET, ClientHome, 13, "", k::BstrOut)                                                                 \
  X(GET, ClientHost, 14, "", k::BstrOut)                                                                 \
  X(GET, ClientId, 15, "", k::I4Out)                                                                     \
  CV_FTPSRV_LONG(X, ClientIdle, 16)                                                                      \
  X(GET, ClientPort, 17, "", k::I4Out)                                                                   \
  X(GET, ClientThread, 18, "", k::I4Out)                                                                 \
  X(GET, ClientUser, 19, "", k::BstrOut)                                                                 \
  X(GET, CommandLine, 20, "", k::BstrOut)                                                                \
  CV_FTPSRV_STRING(X, Directory, 21)                                                                     \
  CV_FTPSRV_LONG(X, ExecTime, 22)                                                                        \
  CV_FTPSRV_STRING(X, ExternalAddress, 23)                                                               \
  CV_FTPSRV_BOOL(X, HiddenFiles, 24)                                                                     \
  CV_FTPSRV_STRING(X, Identity, 25)                                                                      \
  CV_FTPSRV_LONG(X, IdleTime, 26)                                                                        \
  X(GET, IsActive, 27, "", k::BoolOut)                                                                   \
  X(GET, IsAnonymous, 28, "", k::BoolOut)                                                                \
  X(GET, IsAuthenticated, 29, "", k::BoolOut)                                                            \
  X(GET, IsInitialized, 30, "", k::BoolOut)                                                              \
  X(GET, IsListening, 31, "", k::BoolOut)                                                                \
  CV_FTPSRV_LONG(X, LastError, 32)                                                                       \
  X(GET, LastErrorString, 33, "", k::BstrOut)                                                            \
  CV_FTPSRV_STRING(X, LocalPath, 34)                                                                     \
  CV_FTPSRV_BOOL(X, LocalTime, 35)                                                                       \
  CV_FTPSRV_BOOL(X, LocalUser, 36)                                                                       \
  CV_FTPSRV_BOOL(X, LockFiles, 37)                                                                       \
  CV_FTPSRV_STRING(X, LogFile, 38)                                                                       \
  CV_FTPSRV_LONG(X, LogFormat, 39)                                                                       \
  CV_FTPSRV_LONG(X, LogLevel, 40)                                                                        \
  CV_FTPSRV_LONG(X, MaxClients, 41)                                                                      \
  CV_FTPSRV_LONG(X, MaxGuests, 42)                                                                       \
  CV_FTPSRV_LONG(X, MaxPort, 43)                                                                         \
  CV_FTPSRV_LONG(X, MinPort, 44)                                                                         \
  CV_FTPSRV_BOOL(X, MultiUser, 45)                                                                       \
  CV_FTPSRV_LONG(X, Options, 46)                                                                         \
  CV_FTPSRV_LONG(X, Priority, 47)                                                                        \
  CV_FTPSRV_BOOL(X, ReadOnly, 48)                                                                        \
  CV_FTPSRV_BOOL(X, Restricted, 49)                                                                      \
  CV_FTPSRV_BOOL(X, Secure, 50)                                                                          \
  CV_FTPSRV_STRING(X, ServerAddress, 51)                                                                 \
  X(GET, ServerHandle, 52, "", k::I4Out)                                                                 \
  CV_FTPSRV_STRING(X, ServerName, 53)                                                                    \
  CV_FTPSRV_LONG(X, ServerPort, 54)                                                                      \
  X(GET, ServerThread, 55, "", k::I4Out)                                                                 \
  CV_FTPSRV_STRING(X, ServerUuid, 56)                                                                    \
  CV_FTPSRV_LONG(X, StackSize, 57)                                                                       \
  CV_FTPSRV_BOOL(X, ThrowError, 58)                                                                      \
  CV_FTPSRV_BOOL(X, Trace, 59)                                                                           \
  CV_FTPSRV_STRING(X, TraceFile, 60)                                                                     \
  CV_FTPSRV_LONG(X, TraceFlags, 61)                                                                      \
  CV_FTPSRV_BOOL(X, UnixMode, 62)                                                                        \
  X(GET, Version, 63, "", k::BstrOut)                                                                    \
  CV_FTPSRV_STRING(X, VirtualPath, 64)                                                                   \
  X(METHOD, AddUser, 65, "UserName,Password,AccessFlags,Directory,Error",                                \
    k::Var, k::Var, k::Var, k::Var, k::VarRef)                                                           \
  X(METHOD, Authenticate, 66, "ClientId,AccessFlags,Directory,Error", k::Var, k::Var, k::Var, k::VarRef) \
  X(METHOD, DeleteUser, 67, "UserName,Error", k::Var, k::VarRef)                                         \
  X(METHOD, Disconnect, 68, "ClientId,Error", k::Var, k::VarRef)                                         \
  X(METHOD, Initialize, 69, "Reserved,Error", k::Var, k::VarRef)                                         \
  X(METHOD, RegisterProgram, 70, "CommandName,ProgramFile,Parameters,Directory,Error",                   \
    k::Var, k::Var, k::Var, k::Var, k::VarRef)                                                           \
  X(METHOD, Reset, 71, "")                                                                               \
  X(METHOD, ResolvePath, 72, "ClientId,SourcePath,ResolvedPath,IsVirtual,Error",                         \
    k::Var, k::Var, k::VarRef, k::Var, k::VarRef)                                                        \
  X(METHOD, Restart, 73, "Error", k::VarRef)                                                             \
  X(METHOD, Resume, 74, "Error", k::VarRef)                                                              \
  X(METHOD, SendResponse, 75, "ClientId,ResultCode,Message,Error", k::Var, k::Var, k::Var, k::VarRef)    \
  X(METHOD, Start, 76, "ServerAddress,ServerPort,Directory,MaxClients,IdleTime,Options,Error",           \
    k::Var, k::Var, k::Var, k::Var, k::Var, k::Var, k::VarRef)                                           \
  X(METHOD, Stop, 77, "Error", k::VarRef)                                                                \
  X(METHOD, Suspend, 78, "Error", k::VarRef)                                                             \
  X(METHOD, Throttle, 79, "MaxClients,MaxClientsPerAddress,MaxGuests,ConnectionRate,Error",              \
    k::Var, k::Var, k::Var, k::Var, k::VarRef)                                                           \
  X(METHOD, Uninitialize, 80, "")

CV_DISPATCH_INTERFACE(IFtpServer, IFTPSERVER_MEMBERS)

}  // namespace ftpsrvctl
