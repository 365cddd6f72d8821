#pragma once
// Firing of the events of _IPopClientEvents, one operation per event, each argument a
// VARIANT in declared order.
#include <initializer_list>

#include "platform/com/com.h"

namespace popctl {

enum PopClientEventId : DISPID {
  kEventOnCancel = 1,
  kEventOnCommand = 2,
  kEventOnConnect = 3,
  kEventOnDisconnect = 4,
  kEventOnError = 5,
  kEventOnProgress = 6,
  kEventOnRead = 7,
  kEventOnTimeout = 8,
};

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
