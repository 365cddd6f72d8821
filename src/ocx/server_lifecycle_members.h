#pragma once
// Reset, Initialize and the state properties the server controls share. C is the control
// class (which befriends this template); Lib names the library calls that differ:
//   static constexpr uint64_t kNoServer;  // the handle of no server
//   static void Stop(uint64_t server);
//   static void StopTrace();
//   static bool IsListening(uint64_t server);
//   static uint32_t ThreadId(uint64_t server);
// The callers keep their own entry guards, so these bodies run already inside one.
#include <cstdint>
#include <string>

#include "ocx/server_control_helpers.h"

namespace ocx {

template <class C, class Lib>
struct ServerLifecycleMembers {
  // Everything back to its default but the identity, with any server stopped.
  static HRESULT Reset(C& c) {
    if (c.Running()) Lib::Stop(c.server_.load());
    if (c.s_.trace) Lib::StopTrace();
    c.server_ = Lib::kNoServer;
    c.clientId_ = 0;
    c.adaptersListed_ = false;
    c.adapterCount_ = 0;
    const std::u16string identity = c.s_.identity;
    c.s_ = decltype(c.s_){};
    c.s_.identity = identity;
    c.SetLastErrorCode(0);
    return S_OK;
  }

  static HRESULT Initialize(C& c, VARIANT* error) {
    SetLongArgument(error, 0);
    const HRESULT hr = c.Init();
    if (FAILED(hr)) {
      SetLongArgument(error, int32_t(uint32_t(hr) & 0xFFFFu));
      return c.s_.throwError ? hr : S_OK;
    }
    return S_OK;
  }

  static HRESULT GetIsListening(C& c, VARIANT_BOOL* value) {
    return OutBool(c.Running() && Lib::IsListening(c.server_.load()), value);
  }

  static HRESULT GetServerThread(C& c, int32_t* value) {
    return OutLong(c.Running() ? int32_t(Lib::ThreadId(c.server_.load())) : 0, value);
  }
};

}  // namespace ocx
