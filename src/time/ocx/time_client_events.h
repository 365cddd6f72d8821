#pragma once
// Firing of the events of _ITimeClientEvents, one operation per event, each argument a
// VARIANT in declared order.
#include <initializer_list>

#include "platform/com/dispatch.h"

namespace timectl {

namespace k = ::plat::com::p;  // the parameter kinds

// The events of _ITimeClientEvents: name, dispatch identifier, the arguments' names and kinds.
#define ITIMECLIENT_EVENTS(X)                            \
  X(OnCancel, 1, "")                                     \
  X(OnError, 2, "ErrorCode,Description", k::Var, k::Var) \
  X(OnTimer, 3, "")                                      \
  X(OnTimeout, 4, "")

enum TimeClientEventId : DISPID { ITIMECLIENT_EVENTS(CV_EVENT_ID) };

CV_EVENT_INTERFACE(_ITimeClientEvents, ITIMECLIENT_EVENTS)

// T provides FireEvent(DISPID, const VARIANT* args, UINT count).
template <class T>
class CProxy_ITimeClientEvents {
 public:
  HRESULT Fire_OnCancel() { return Fire(kEventOnCancel, {}); }
  HRESULT Fire_OnError(VARIANT errorCode, VARIANT description) { return Fire(kEventOnError, {errorCode, description}); }
  HRESULT Fire_OnTimer() { return Fire(kEventOnTimer, {}); }
  HRESULT Fire_OnTimeout() { return Fire(kEventOnTimeout, {}); }

 private:
  HRESULT Fire(DISPID id, std::initializer_list<VARIANT> args) {
    static_cast<T*>(this)->FireEvent(id, args.size() ? args.begin() : nullptr, UINT(args.size()));
    return S_OK;
  }
};

}  // namespace timectl
