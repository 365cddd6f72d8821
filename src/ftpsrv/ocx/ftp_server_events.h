#pragma once
// The events of _IFtpServerEvents by dispatch identifier; every argument is a VARIANT.
#include "platform/com/dispatch.h"

namespace ftpsrvctl {

namespace k = ::plat::com::p;  // the parameter kinds

// The events of _IFtpServerEvents: name, dispatch identifier, the arguments' names and kinds.
#define IFTPSERVER_EVENTS(X)                                                                  \
  X(OnAuthenticate, 1, "ClientId,HostName,UserName,Password", k::Var, k::Var, k::Var, k::Var) \
  X(OnCommand, 2, "ClientId,Command,Parameters", k::Var, k::Var, k::Var)                      \
  X(OnConnect, 3, "ClientId,ClientAddress", k::Var, k::Var)                                   \
  X(OnDisconnect, 4, "ClientId", k::Var)                                                      \
  X(OnDownload, 5, "ClientId,FileName,FileSize", k::Var, k::Var, k::Var)                      \
  X(OnError, 6, "ClientId,ErrorCode,Description", k::Var, k::Var, k::Var)                     \
  X(OnExecute, 7, "ClientId,Program,Output,ExitCode", k::Var, k::Var, k::Var, k::Var)         \
  X(OnIdle, 8, "")                                                                            \
  X(OnLogin, 9, "ClientId,UserName,Directory", k::Var, k::Var, k::Var)                        \
  X(OnLogout, 10, "ClientId,UserName", k::Var, k::Var)                                        \
  X(OnResult, 11, "ClientId,Command,ResultCode", k::Var, k::Var, k::Var)                      \
  X(OnStart, 12, "")                                                                          \
  X(OnStop, 13, "")                                                                           \
  X(OnTimeout, 14, "ClientId,Elapsed", k::Var, k::Var)                                        \
  X(OnUpload, 15, "ClientId,FileName,FileSize", k::Var, k::Var, k::Var)

enum FtpServerEventId : DISPID { IFTPSERVER_EVENTS(CV_EVENT_ID) };

CV_EVENT_INTERFACE(_IFtpServerEvents, IFTPSERVER_EVENTS)

}  // namespace ftpsrvctl
