#pragma once
// Firing of the events of _IPopClientEvents, one operation per event, each argument a
// VARIANT in declared order.
#include <initializer_list>

#include "platform/com/dispatch.h"

namespace popctl {

namespace k = ::plat::com::p;  // the parameter kinds

// The events of _IPopClientEvents: name, dispatch identifier, the arguments' names and kinds.
#define IPOPCLIENT_EVENTS(X)                                                                          \
  X(OnCancel, 1, "")                                                                                  \
  X(OnCommand, 2, "ResultCode,ResultString", k::Var, k::Var)                                          \
  X(OnConnect, 3, "")                                                                                 \
  X(OnDisconnect, 4, "")                                                                              \
  X(OnError, 5, "ErrorCode,Description", k::Var, k::Var)                                              \
  X(OnProgress, 6, "MessageNumber,MessageSize,MessageCopied,Percent", k::Var, k::Var, k::Var, k::Var) \
  X(OnRead, 7, "")                                                                                    \
  X(OnTimeout, 8, "")

enum PopClientEventId : DISPID { IPOPCLIENT_EVENTS(CV_EVENT_ID) };

CV_EVENT_INTERFACE(_IPopClientEvents, IPOPCLIENT_EVENTS)

// T provides FireEvent(DISPID, const VARIANT* args, UINT count).
template <class T>
class CProxy_IPopClientEvents {
 public:
  HRESULT Fire_OnCancel() { return Fire(kEventOnCancel, {}); }
  HRESULT Fire_OnCommand(VARIANT resultCode, VARIANT resultString) {
    return Fire(kEventOnCommand, {resultCode, resultString});
  }
  HRESULT Fire_OnConnect() { return Fire(kEventOnConnect, {}); }
  HRESULT Fire_OnDisconnect() { return Fire(kEventOnDisconnect, {}); }
  HRESULT Fire_OnError(VARIANT errorCode, VARIANT description) { return Fire(kEventOnError, {errorCode, description}); }
  HRESULT Fire_OnProgress(VARIANT message, VARIANT size, VARIANT copied, VARIANT percent) {
    return Fire(kEventOnProgress, {message, size, copied, percent});
  }
  HRESULT Fire_OnRead() { return Fire(kEventOnRead, {}); }
  HRESULT Fire_OnTimeout() { return Fire(kEventOnTimeout, {}); }

 private:
  HRESULT Fire(DISPID id, std::initializer_list<VARIANT> args) {
    static_cast<T*>(this)->FireEvent(id, args.size() ? args.begin() : nullptr, UINT(args.size()));
    return S_OK;
  }
};

}  // namespace popctl
