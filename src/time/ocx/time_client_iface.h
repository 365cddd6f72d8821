#pragma once
// The dual interface ITimeClient: one member list gives the vtable (slots in this order after
// IDispatch's seven), the dispatch table and the type information (each entry names its
// arguments). Optional arguments are VARIANTs by value (Var); results and the Error argument
// are VARIANT pointers (VarRef).
#include "platform/com/dispatch.h"

namespace timectl {

namespace k = ::plat::com::p;  // the parameter kinds

#define CV_TIMECLIENT_STRING(X, name, id) X(GET, name, id, "", k::BstrOut) X(PUT, name, id, "", k::Bstr)
#define CV_TIMECLIENT_LONG(X, name, id) X(GET, name, id, "", k::I4Out) X(PUT, name, id, "", k::I4)
#define CV_TIMECLIENT_BOOL(X, name, id) X(GET, name, id, "", k::BoolOut) X(PUT, name, id, "", k::Bool)

#define ITIMECLIENT_MEMBERS(X)                                            \
  X(METHOD, About, -552, "")                                              \
  X(PUT, Enabled, -514, "", k::Bool)                                      \
  X(GET, Enabled, -514, "", k::BoolOut)                                   \
  CV_TIMECLIENT_BOOL(X, AutoResolve, 1)                                   \
  X(GET, Handle, 2, "", k::I4Out)                                         \
  CV_TIMECLIENT_STRING(X, HostAddress, 3)                                 \
  CV_TIMECLIENT_STRING(X, HostName, 4)                                    \
  CV_TIMECLIENT_LONG(X, Interval, 5)                                      \
  X(GET, IsBlocked, 6, "", k::BoolOut)                                    \
  X(GET, IsInitialized, 7, "", k::BoolOut)                                \
  CV_TIMECLIENT_LONG(X, LastError, 8)                                     \
  X(GET, LastErrorString, 9, "", k::BstrOut)                              \
  X(GET, LocalAddress, 10, "", k::BstrOut)                                \
  X(GET, LocalDate, 11, "", k::BstrOut)                                   \
  X(GET, LocalName, 12, "", k::BstrOut)                                   \
  X(GET, LocalPort, 13, "", k::I4Out)                                     \
  X(GET, LocalTime, 14, "", k::BstrOut)                                   \
  CV_TIMECLIENT_LONG(X, RemotePort, 15)                                   \
  CV_TIMECLIENT_STRING(X, RemoteService, 16)                              \
  X(GET, State, 17, "", k::I4Out)                                         \
  X(GET, SystemDate, 18, "", k::BstrOut)                                  \
  X(GET, SystemTime, 19, "", k::BstrOut)                                  \
  CV_TIMECLIENT_BOOL(X, ThrowError, 20)                                   \
  CV_TIMECLIENT_LONG(X, Timeout, 21)                                      \
  CV_TIMECLIENT_BOOL(X, Trace, 22)                                        \
  CV_TIMECLIENT_STRING(X, TraceFile, 23)                                  \
  CV_TIMECLIENT_LONG(X, TraceFlags, 24)                                   \
  X(GET, Version, 25, "", k::BstrOut)                                     \
  X(METHOD, Cancel, 26, "Error", k::VarRef)                               \
  X(METHOD, GetTime, 27, "RemoteHost,RemotePort,Timeout,Localize,Result", \
    k::Var, k::Var, k::Var, k::Var, k::VarRef)                            \
  X(METHOD, Initialize, 28, "Reserved,Error", k::Var, k::VarRef)          \
  X(METHOD, Reset, 29, "")                                                \
  X(METHOD, SetTime, 30, "NetworkTime,Result", k::Var, k::VarRef)         \
  X(METHOD, Uninitialize, 31, "")

CV_DISPATCH_INTERFACE(ITimeClient, ITIMECLIENT_MEMBERS)

}  // namespace timectl
