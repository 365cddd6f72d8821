#pragma once
// The events of _IHttpServerEvents by dispatch identifier; every argument is a VARIANT.
#include "platform/com/dispatch.h"

namespace httpsrvctl {

namespace k = ::plat::com::p;  // the parameter kinds

// The events of _IHttpServerEvents: name, dispatch identifier, the arguments' names and kinds.
#define IHTTPSERVER_EVENTS(X)                                                                             \
  X(OnAuthenticate, 1, "ClientId,HostName,UserName,Password", k::Var, k::Var, k::Var, k::Var)             \
  X(OnCommand, 2, "ClientId,Command,Resource,Parameters", k::Var, k::Var, k::Var, k::Var)                 \
  X(OnConnect, 3, "ClientId,ClientAddress", k::Var, k::Var)                                               \
  X(OnDisconnect, 4, "ClientId", k::Var)                                                                  \
  X(OnDownload, 5, "ClientId,FileName,FileSize", k::Var, k::Var, k::Var)                                  \
  X(OnError, 6, "ClientId,ErrorCode,Description", k::Var, k::Var, k::Var)                                 \
  X(OnExecute, 7, "ClientId,Resource,Parameters,Output,ExitCode", k::Var, k::Var, k::Var, k::Var, k::Var) \
  X(OnIdle, 8, "")                                                                                        \
  X(OnResult, 9, "ClientId,Command,Resource,ResultCode", k::Var, k::Var, k::Var, k::Var)                  \
  X(OnStart, 10, "")                                                                                      \
  X(OnStop, 11, "")                                                                                       \
  X(OnTimeout, 12, "ClientId,Elapsed", k::Var, k::Var)                                                    \
  X(OnUpload, 13, "ClientId,FileName,FileSize", k::Var, k::Var, k::Var)

enum HttpServerEventId : DISPID { IHTTPSERVER_EVENTS(CV_EVENT_ID) };

CV_EVENT_INTERFACE(_IHttpServerEvents, IHTTPSERVER_EVENTS)

}  // namespace httpsrvctl
