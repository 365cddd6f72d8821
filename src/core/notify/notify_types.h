#pragma once
// The notification fields a client library keeps in each session record, and the types
// its callers see: the per-event callback and the message numbers.
#include <atomic>
#include <cstdint>

#include "core/frame/lib_types.h"
#include "platform/types.h"

namespace cvcore {

// Called for an event bit the caller registered: (handle, event, error, parameter). Its
// result is ignored by the library (a task callback reports what it posted).
using NotifyCallback = int32_t (*)(LibHandle handle, uint32_t event, uint32_t error, uintptr_t parameter);

// Registered messages must not collide with the system's own (WM_USER and up).
inline constexpr UINT kNotifyFirstMessage = 0x0400;
// The message of a socket's network events when the library picks it itself.
inline constexpr UINT kNotifySocketMessage = 9215;
// The network events a socket routed to a window is selected for: READ, WRITE, CONNECT, CLOSE.
inline constexpr int32_t kNotifySocketEvents = 0x33;
// Network events are recorded per FD_* bit (READ .. CLOSE) while a session's events are held.
inline constexpr int kNotifyNetworkEventBits = 6;

// One session's registration. Bit n of the library's event codes selects callbacks[n]
// and parameters[n]. The socket window is the window the session is attached to (the
// one subclassed for its socket's network events); the notification window is the one
// that receives the library's own events.
// Callback may be any function type taking (handle, event, error, parameter).
template <int EventCount, typename Callback = NotifyCallback>
struct NotifyRegistration {
  static_assert(EventCount > 0 && EventCount <= 16, "events travel in the low word of lParam");
  static constexpr int kEventCount = EventCount;
  using CallbackType = Callback;

  HWND socketWindow = nullptr;
  UINT socketMessage = 0;
  HWND notifyWindow = nullptr;
  UINT notifyMessage = 0;
  std::atomic<uint32_t> eventMask{0};
  Callback callbacks[EventCount] = {};
  uintptr_t parameters[EventCount] = {};

  // Holding and delivery may involve two threads (a free-threaded session fires from a
  // worker while the window's thread records network events), hence atomics.
  std::atomic<bool> held{false};
  std::atomic<uint32_t> heldNetworkEvents{0};  // FD_* bits recorded while held
  std::atomic<uint16_t> heldErrors[kNotifyNetworkEventBits] = {};  // their errors, by FD_* bit number
  std::atomic<uint32_t> dispatchDepth{0};  // events of this session being delivered right now
  uint32_t holdCount = 0;  // nested holds of the owner thread's other sessions

  bool Dispatching() const noexcept { return dispatchDepth.load() != 0; }
};

}  // namespace cvcore
