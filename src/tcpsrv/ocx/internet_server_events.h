#pragma once
// Firing of the events of _IInternetServerEvents, one operation per event, each argument a
// VARIANT in declared order.
#include <initializer_list>

#include "platform/com/dispatch.h"

namespace tcpsrvctl {

namespace k = ::plat::com::p;  // the parameter kinds

// The events of _IInternetServerEvents: name, dispatch identifier, the arguments' names and kinds.
#define IINTERNETSERVER_EVENTS(X)                                       \
  X(OnAccept, 1, "Handle", k::Var)                                      \
  X(OnCancel, 2, "Handle", k::Var)                                      \
  X(OnConnect, 3, "Handle", k::Var)                                     \
  X(OnDisconnect, 4, "Handle", k::Var)                                  \
  X(OnError, 5, "Handle,ErrorCode,Description", k::Var, k::Var, k::Var) \
  X(OnIdle, 6, "")                                                      \
  X(OnRead, 7, "Handle", k::Var)                                        \
  X(OnStart, 8, "")                                                     \
  X(OnStop, 9, "")                                                      \
  X(OnTimeout, 10, "Handle", k::Var)                                    \
  X(OnWrite, 11, "Handle", k::Var)

enum InternetServerEventId : DISPID { IINTERNETSERVER_EVENTS(CV_EVENT_ID) };

CV_EVENT_INTERFACE(_IInternetServerEvents, IINTERNETSERVER_EVENTS)

// T provides FireEvent(DISPID, const VARIANT* args, UINT count).
template <class T>
class CProxy_IInternetServerEvents {
 public:
  HRESULT Fire_OnAccept(int32_t handle) { return FireHandle(kEventOnAccept, handle); }
  HRESULT Fire_OnConnect(int32_t handle) { return FireHandle(kEventOnConnect, handle); }
  HRESULT Fire_OnDisconnect(int32_t handle) { return FireHandle(kEventOnDisconnect, handle); }
  HRESULT Fire_OnError(int32_t handle, int32_t code, BSTR description) {
    VARIANT text{};
    text.vt = VT_BSTR;
    text.bstrVal = description;  // borrowed: the firing copies it for each sink
    return Fire(kEventOnError, {I4(handle), I4(code), text});
  }
  HRESULT Fire_OnIdle() { return Fire(kEventOnIdle, {}); }
  HRESULT Fire_OnRead(int32_t handle) { return FireHandle(kEventOnRead, handle); }
  HRESULT Fire_OnStart() { return Fire(kEventOnStart, {}); }
  HRESULT Fire_OnStop() { return Fire(kEventOnStop, {}); }
  HRESULT Fire_OnWrite(int32_t handle) { return FireHandle(kEventOnWrite, handle); }

 private:
  static VARIANT I4(int32_t value) {
    VARIANT v{};
    v.vt = VT_I4;
    v.lVal = value;
    return v;
  }
  HRESULT FireHandle(DISPID id, int32_t handle) { return Fire(id, {I4(handle)}); }
  HRESULT Fire(DISPID id, std::initializer_list<VARIANT> args) {
    static_cast<T*>(this)->FireEvent(id, args.size() ? args.begin() : nullptr, UINT(args.size()));
    return S_OK;
  }
};

}  // namespace tcpsrvctl
