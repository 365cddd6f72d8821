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

}  // namespace cvsock
