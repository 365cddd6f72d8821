#pragma once
// Firing of the events of _ITimeClientEvents, one operation per event, each argument a
// VARIANT in declared order.
#include <initializer_list>

#include "platform/com/com.h"

namespace timectl {

enum TimeClientEventId : DISPID {
  kEventOnCancel = 1,
  kEventOnError = 2,
  kEventOnTimer = 3,
  kEventOnTimeout = 4,
};

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
