#pragma once
// Process-wide list of pending timed actions, ordered by due tick (wrap-safe), then by
// callback and context. Scheduling and cancelling only keep the list; nothing in the SSH
// layer runs it, so callers rely only on the returned due tick.
#include <cstdint>

using TimerCallback = void (*)(void* context, uint32_t now);

// due = now + delay (moved to base + 1 when not later than the list's base tick); an
// identical timer is listed once. Returns the due tick.
uint32_t TimerSchedule(uint32_t delay_ms, TimerCallback callback, void* context);
// The context's timers count as cancelled from now on.
void TimerCancelContext(void* context);

// Runs, in due order, every listed timer due at now whose context is not cancelled, and
// removes it from the list. Returns how many ran. For tests and for a future driver.
int32_t TimerRunDue(uint32_t now);
// Number of listed timers (cancelled ones included until they are run or dropped).
int32_t TimerPendingCount();
// Forgets every timer and the base tick (tests start from a fresh list).
void TimerListReset();
