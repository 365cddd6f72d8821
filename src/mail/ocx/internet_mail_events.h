#pragma once
// Firing of the events of _IInternetMailEvents, one operation per event, each argument a
// VARIANT in declared order. Every operation returns S_OK.
#include <initializer_list>

#include "platform/com/dispatch.h"

namespace mailctl {

namespace k = ::plat::com::p;  // the parameter kinds

// The events of _IInternetMailEvents: name, dispatch identifier, the arguments' names and kinds.
#define IINTERNETMAIL_EVENTS(X)                                                 \
  X(OnCancel, 1, "")                                                            \
  X(OnDelivered, 2, "Address,MessageSize", k::Var, k::Var)                      \
  X(OnError, 3, "ErrorCode,Description", k::Var, k::Var)                        \
  X(OnProgress, 4, "MessageSize,MessageCopied,Percent", k::Var, k::Var, k::Var) \
  X(OnRecipient, 5, "Address,Cancel", k::Var, k::VarRef)                        \
  X(OnTimeout, 6, "")                                                           \
  X(OnUpdate, 7, "UpdateType,MessageNumber", k::Var, k::Var)

enum InternetMailEventId : DISPID { IINTERNETMAIL_EVENTS(CV_EVENT_ID) };

CV_EVENT_INTERFACE(_IInternetMailEvents, IINTERNETMAIL_EVENTS)

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
