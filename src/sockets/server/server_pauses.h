#pragma once
// The servers slow down on purpose: a little after every command, longer after repeated bad
// commands and after a failed logon, so that a client cannot hammer them. Tests and fuzzing
// drive thousands of commands in one process and switch the pauses off; they are on unless
// a test says otherwise.
#include <cstdint>

namespace cvsock {

void SetServerPausesForTesting(bool on) noexcept;
// Sleeps `ms` milliseconds unless the pauses are switched off.
void ServerPause(uint32_t ms) noexcept;
// How many pauses the calling thread has slept so far (wraps): the engine's own pause
// against spinning is not needed in a pass that slept one already.
uint32_t ServerPausesSlept() noexcept;
// For the engine's threads: their sleeps and waits end when they are due, not up to the
// system's default slack (50 us) later. A request's pause is paced by the clock, and 50 us
// per 10 ms pause was half a per cent of every kept-alive connection's rate.
void ServerSleepOnTime() noexcept;

}  // namespace cvsock
