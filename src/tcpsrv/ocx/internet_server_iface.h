#pragma once
// The dual interface IInternetServer: one member list gives the vtable (slots in this order
// after IDispatch's seven), the dispatch table and the type information (each entry names its
// arguments). Optional and handle arguments are VARIANTs by value (Var); results, Error
// arguments and receive buffers are VARIANT pointers (VarRef).
#include "platform/com/dispatch.h"

namespace tcpsrvctl {

namespace k = ::plat::com::p;

#define CV_INETSERVER_STRING(X, name, id) X(GET, name, id, "", k::BstrOut) X(PUT, name, id, "", k::Bstr)
#define CV_INETSERVER_LONG(X, name, id) X(GET, name, id, "", k::I4Out) X(PUT, name, id, "", k::I4)
#define CV_INETSERVER_BOOL(X, name, id) X(GET, name, id, "", k::BoolOut) X(PUT, name, id, "", k::Bool)

#define IINTERNETSERVER_MEMBERS(X)                                                                    \
  X(METHOD, About, -552, "")                                                                          \
  X(PUT, Enabled, -514, "", k::Bool)                                                                  \
  X(GET, Enabled, -514, "", k::BoolOut)                                                               \
  X(GET, AdapterAddress, 1, "Index", k::I4, k::BstrOut)                                               \
  X(GET, AdapterCount, 2, "", k::I4Out)                                                               \
  CV_INETSERVER_LONG(X, Backlog, 3)                                                                   \
  CV_INETSERVER_LONG(X, ByteOrder, 4)                                                                 \
  CV_INETSERVER_STRING(X, CertificateName, 5)                                                         \
  CV_INETSERVER_STRING(X, CertificatePassword, 6)                                                     \
  CV_INETSERVER_STRING(X, CertificateStore, 7)                                                        \
  CV_INETSERVER_STRING(X, CertificateUser, 8)                                                         \
  X(GET, ClientAddress, 9, "", k::BstrOut)                                                            \
  X(GET, ClientCount, 10, "", k::I4Out)                                                               \
  X(GET, ClientHandle, 11, "Index", k::I4, k::I4Out)                                                  \
  X(GET, ClientHost, 12, "", k::BstrOut)                                                              \
  X(GET, ClientId, 13, "", k::I4Out)                                                                  \
  CV_INETSERVER_STRING(X, ClientName, 14)                                                             \
  X(GET, ClientPort, 15, "", k::I4Out)                                                                \
  X(GET, ClientThread, 16, "", k::I4Out)                                                              \
  X(GET, ExternalAddress, 17, "", k::BstrOut)                                                         \
  X(GET, IsActive, 18, "", k::BoolOut)                                                                \
  X(GET, IsBlocked, 19, "", k::BoolOut)                                                               \
  X(GET, IsClosed, 20, "", k::BoolOut)                                                                \
  X(GET, IsInitialized, 21, "", k::BoolOut)                                                           \
  X(GET, IsListening, 22, "", k::BoolOut)                                                             \
  X(GET, IsLocked, 23, "", k::BoolOut)                                                                \
  X(GET, IsReadable, 24, "", k::BoolOut)                                                              \
  X(GET, IsWritable, 25, "", k::BoolOut)                                                              \
  CV_INETSERVER_BOOL(X, KeepAlive, 26)                                                                \
  CV_INETSERVER_LONG(X, LastError, 27)                                                                \
  X(GET, LastErrorString, 28, "", k::BstrOut)                                                         \
  CV_INETSERVER_LONG(X, MaxClients, 29)                                                               \
  CV_INETSERVER_BOOL(X, NoDelay, 30)                                                                  \
  CV_INETSERVER_LONG(X, Priority, 31)                                                                 \
  X(GET, QueueCount, 32, "", k::I4Out)                                                                \
  CV_INETSERVER_BOOL(X, ReuseAddress, 33)                                                             \
  CV_INETSERVER_BOOL(X, Secure, 34)                                                                   \
  CV_INETSERVER_LONG(X, SecureProtocol, 35)                                                           \
  CV_INETSERVER_STRING(X, ServerAddress, 36)                                                          \
  X(GET, ServerHandle, 37, "", k::I4Out)                                                              \
  X(GET, ServerName, 38, "", k::BstrOut)                                                              \
  CV_INETSERVER_LONG(X, ServerPort, 39)                                                               \
  X(GET, ServerThread, 40, "", k::I4Out)                                                              \
  CV_INETSERVER_LONG(X, StackSize, 41)                                                                \
  X(GET, State, 42, "", k::I4Out)                                                                     \
  CV_INETSERVER_BOOL(X, ThrowError, 43)                                                               \
  CV_INETSERVER_LONG(X, Timeout, 44)                                                                  \
  CV_INETSERVER_BOOL(X, Trace, 45)                                                                    \
  CV_INETSERVER_STRING(X, TraceFile, 46)                                                              \
  CV_INETSERVER_LONG(X, TraceFlags, 47)                                                               \
  X(GET, Version, 48, "", k::BstrOut)                                                                 \
  X(METHOD, Abort, 49, "Handle,Error", k::Var, k::VarRef)                                             \
  X(METHOD, Broadcast, 50, "Buffer,Length,Result", k::Var, k::Var, k::VarRef)                         \
  X(METHOD, Cancel, 51, "Handle,Error", k::Var, k::VarRef)                                            \
  X(METHOD, ClearQueue, 52, "Result", k::VarRef)                                                      \
  X(METHOD, Dequeue, 53, "ItemData,Remove,Result", k::VarRef, k::Var, k::VarRef)                      \
  X(METHOD, Disconnect, 54, "Handle,Error", k::Var, k::VarRef)                                        \
  X(METHOD, Enqueue, 55, "ItemData,Result", k::Var, k::VarRef)                                        \
  X(METHOD, FindClient, 56, "Client,Result", k::Var, k::VarRef)                                       \
  X(METHOD, Initialize, 57, "Reserved,Error", k::Var, k::VarRef)                                      \
  X(METHOD, Peek, 58, "Handle,Buffer,Length,Result", k::Var, k::VarRef, k::Var, k::VarRef)            \
  X(METHOD, Read, 59, "Handle,Buffer,Length,Result", k::Var, k::VarRef, k::Var, k::VarRef)            \
  X(METHOD, ReadByte, 60, "Handle,Result", k::Var, k::VarRef)                                         \
  X(METHOD, ReadLine, 61, "Handle,Buffer,Length,Result", k::Var, k::VarRef, k::Var, k::VarRef)        \
  X(METHOD, Reject, 62, "Error", k::VarRef)                                                           \
  X(METHOD, Reset, 63, "")                                                                            \
  X(METHOD, Resolve, 64, "HostName,HostAddress,Reserved,Error", k::Var, k::VarRef, k::Var, k::VarRef) \
  X(METHOD, Restart, 65, "Error", k::VarRef)                                                          \
  X(METHOD, Resume, 66, "Error", k::VarRef)                                                           \
  X(METHOD, Start, 67, "LocalAddress,LocalPort,Backlog,MaxClients,Timeout,Options,Error",             \
    k::Var, k::Var, k::Var, k::Var, k::Var, k::Var, k::VarRef)                                        \
  X(METHOD, Stop, 68, "Error", k::VarRef)                                                             \
  X(METHOD, Suspend, 69, "Options,Error", k::Var, k::VarRef)                                          \
  X(METHOD, SyncLock, 70, "Enable,Error", k::Var, k::VarRef)                                          \
  X(METHOD, Throttle, 71, "MaxClients,MaxClientsPerAddress,ConnectionRate,Error",                     \
    k::Var, k::Var, k::Var, k::VarRef)                                                                \
  X(METHOD, Uninitialize, 72, "")                                                                     \
  X(METHOD, Write, 73, "Handle,Buffer,Length,Result", k::Var, k::Var, k::Var, k::VarRef)              \
  X(METHOD, WriteByte, 74, "Handle,Value,Result", k::Var, k::Var, k::VarRef)                          \
  X(METHOD, WriteLine, 75, "Handle,Buffer,Result", k::Var, k::Var, k::VarRef)

CV_DISPATCH_INTERFACE(IInternetServer, IINTERNETSERVER_MEMBERS)

}  // namespace tcpsrvctl
