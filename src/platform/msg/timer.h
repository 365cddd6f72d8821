#pragma once
// Timers: WM_TIMER is produced when the owner looks for messages and a timer is due, at
// most one per timer and only when no posted message is waiting. Intervals below 10 ms
// are raised to 10 ms.
#include "platform/msg/msg_types.h"

namespace plat {

inline constexpr UINT USER_TIMER_MINIMUM = 10;
inline constexpr UINT USER_TIMER_MAXIMUM = 0x7FFFFFFF;

// hwnd must be a window of the calling thread, or null for a thread timer (whose id is
// chosen here unless id names an existing thread timer). Setting an existing timer
// again restarts it. proc, when given, is called by DispatchMessage instead of the
// window procedure. Returns the timer id (nonzero), 0 on failure.
UINT_PTR SetTimer(HWND hwnd, UINT_PTR id, UINT elapseMs, TIMERPROC proc);
BOOL KillTimer(HWND hwnd, UINT_PTR id);

}  // namespace plat
