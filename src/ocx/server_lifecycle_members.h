#pragma once
// Reset, Initialize and the state properties the server controls share. C is the
// control's ServerControl base (which befriends this template); Lib names the library
// calls that differ:
//   static constexpr uint64_t kNoServer;  // the handle of no server
//   static constexpr DISPID kEventOnStop;
//   static bool Stop(uint64_t server);
//   static uint64_t Restart(uint64_t server);  // the new handle, or kNoServer
//   static bool Suspend(uint64_t server);
//   static bool Resume(uint64_t server);
//   static uint32_t GetLastError(uint64_t server);
//   static void StopTrace();
//   static bool IsListening(uint64_t server);
//   static uint32_t ThreadId(uint64_t server);
// The callers keep their own entry guards, so these bodies run already inside one.
#include <cstdint>
#include <string>

#include "core/errors/error_codes.h"
#include "ocx/server_control_helpers.h"
#include "ocx/server_settings.h"

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

  static HRESULT StopServer(C& c, VARIANT* error, bool fireStop) {
    if (!Lib::Stop(c.server_.load())) return c.MethodFailure(error);
    c.server_ = Lib::kNoServer;
    c.clientId_ = 0;
    if (fireStop) c.Fire(Lib::kEventOnStop, {});
    return S_OK;
  }

  static HRESULT Stop(C& c, VARIANT* error) {
    SetLongArgument(error, 0);
    if (!c.Running()) return S_OK;
    return c.StopServer(error, true);
  }

  // A new handle for the same server; the events of the old one are dropped.
  static HRESULT Restart(C& c, VARIANT* error) {
    SetLongArgument(error, 0);
    if (!c.Running()) return c.MethodFailure(error, cvErrorServerInactive);
    const uint64_t handle = Lib::Restart(c.server_.load());
    c.clientId_ = 0;
    c.notify_.queue.Clear();
    if (handle == Lib::kNoServer) {
      const uint32_t code = Lib::GetLastError(c.server_.load());
      c.server_ = Lib::kNoServer;
      return c.MethodFailure(error, code);
    }
    c.server_ = handle;
    return S_OK;
  }

  static HRESULT Suspend(C& c, VARIANT* error) {
    SetLongArgument(error, 0);
    return Lib::Suspend(c.server_.load()) ? S_OK : c.MethodFailure(error);
  }

  static HRESULT Resume(C& c, VARIANT* error) {
    SetLongArgument(error, 0);
    if (!c.Running()) return c.MethodFailure(error, cvErrorServerInactive);
    return Lib::Resume(c.server_.load()) ? S_OK : c.MethodFailure(error);
  }
};

}  // namespace ocx

// The members above and Start as the interface entries of the control class Class (a
// ServerControl), written once for every server control; Members is its Lifecycle.
#define CV_SERVER_LIFECYCLE_ENTRIES(Class, Members)                                                            \
  HRESULT Class::Start(VARIANT address, VARIANT port, VARIANT directory, VARIANT maxClients, VARIANT idleTime, \
                       VARIANT options, VARIANT* error) {                                                      \
    CV_OCX_ENTRY;                                                                                              \
    return StartServer(address, port, directory, maxClients, idleTime, options, error);                        \
  }                                                                                                            \
  HRESULT Class::Stop(VARIANT* error) {                                                                        \
    CV_OCX_ENTRY;                                                                                              \
    return Members::Stop(*this, error);                                                                        \
  }                                                                                                            \
  HRESULT Class::Restart(VARIANT* error) {                                                                     \
    CV_OCX_ENTRY;                                                                                              \
    return Members::Restart(*this, error);                                                                     \
  }                                                                                                            \
  HRESULT Class::Suspend(VARIANT* error) {                                                                     \
    CV_OCX_ENTRY;                                                                                              \
    return Members::Suspend(*this, error);                                                                     \
  }                                                                                                            \
  HRESULT Class::Resume(VARIANT* error) {                                                                      \
    CV_OCX_ENTRY;                                                                                              \
    return Members::Resume(*this, error);                                                                      \
  }                                                                                                            \
  HRESULT Class::Reset() {                                                                                     \
    CV_OCX_ENTRY;                                                                                              \
    return Members::Reset(*this);                                                                              \
  }                                                                                                            \
  HRESULT Class::Initialize(VARIANT, VARIANT* error) {                                                         \
    CV_OCX_ENTRY;                                                                                              \
    return Members::Initialize(*this, error);                                                                  \
  }                                                                                                            \
  HRESULT Class::Uninitialize() {                                                                              \
    CV_OCX_ENTRY;                                                                                              \
    Reset();                                                                                                   \
    DetachLibraries();                                                                                         \
    return S_OK;                                                                                               \
  }                                                                                                            \
  HRESULT Class::get_IsActive(VARIANT_BOOL* value) {                                                           \
    CV_SERVER_RUN_MODE_ONLY;                                                                                   \
    return ::ocx::OutBool(Running(), value);                                                                   \
  }                                                                                                            \
  HRESULT Class::get_IsInitialized(VARIANT_BOOL* value) {                                                      \
    CV_SERVER_RUN_MODE_ONLY;                                                                                   \
    return ::ocx::OutBool(IsInitialized(), value);                                                             \
  }                                                                                                            \
  HRESULT Class::get_IsListening(VARIANT_BOOL* value) {                                                        \
    CV_SERVER_RUN_MODE_ONLY;                                                                                   \
    return Members::GetIsListening(*this, value);                                                              \
  }                                                                                                            \
  HRESULT Class::get_ServerHandle(int32_t* value) {                                                            \
    CV_SERVER_RUN_MODE_ONLY;                                                                                   \
    return ::ocx::OutLong(int32_t(uint32_t(server_.load())), value);                                           \
  }                                                                                                            \
  HRESULT Class::get_ServerThread(int32_t* value) {                                                            \
    CV_SERVER_RUN_MODE_ONLY;                                                                                   \
    return Members::GetServerThread(*this, value);                                                             \
  }
