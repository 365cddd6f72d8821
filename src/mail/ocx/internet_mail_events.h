#pragma once
// Firing of the events of _IInternetMailEvents, one operation per event, each argument a
// VARIANT in declared order. Every operation returns S_OK.
#include <initializer_list>

#include "platform/com/com.h"

namespace mailctl {

enum InternetMailEventId : DISPID {
  kEventOnCancel = 1,
  kEventOnDelivered = 2,
  kEventOnError = 3,
  kEventOnProgress = 4,
  kEventOnRecipient = 5,
  kEventOnTimeout = 6,
  kEventOnUpdate = 7,
};

// T provides FireEvent(DISPID, const VARIANT* args, UINT count).
template <class T>
class CProxy_IInternetMailEvents {
 public:
  HRESULT Fire_OnCancel() { return Fire(kEventOnCancel, {}); }
  HRESULT Fire_OnDelivered(VARIANT address, VARIANT messageSize) {
    return Fire(kEventOnDelivered, {address, messageSize});
  }
  HRESULT Fire_OnError(VARIANT errorCode, VARIANT description) { return Fire(kEventOnError, {errorCode, description}); }
  HRESULT Fire_OnProgress(VARIANT messageSize, VARIANT messageCopied, VARIANT percent) {
    return Fire(kEventOnProgress, {messageSize, messageCopied, percent});
  }
  // cancel is a by-reference VARIANT: the sinks' answer stays in the caller's VARIANT.
  HRESULT Fire_OnRecipient(VARIANT address, VARIANT cancel) { return Fire(kEventOnRecipient, {address, cancel}); }
  HRESULT Fire_OnTimeout() { return Fire(kEventOnTimeout, {}); }
  HRESULT Fire_OnUpdate(VARIANT updateType, VARIANT messageNumber) {
    return Fire(kEventOnUpdate, {updateType, messageNumber});
  }

 private:
  HRESULT Fire(DISPID id, std::initializer_list<VARIANT> args) {
    static_cast<T*>(this)->FireEvent(id, args.size() ? args.begin() : nullptr, UINT(args.size()));
    return S_OK;
  }
};

}  // namespace mailctl
