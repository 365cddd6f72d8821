#pragma once
// Session states as enum classes with a table of names, changed through one setter per
// library: every change can then be traced, and no state is written as a bare number.
#include <atomic>
#include <cstddef>
#include <cstdint>

namespace cvcore {

template <typename State>
struct StateName {
  State state;
  const char* name;
};

// The name of a state; "unnamed" for a value the table does not list (a caller may store
// values of its own where the library allows it).
template <typename State, size_t N>
constexpr const char* NameOf(const StateName<State> (&names)[N], State state) noexcept {
  for (const StateName<State>& n : names)
    if (n.state == state) return n.name;
  return "unnamed";
}

// True while a trace is started: only then are state changes formatted.
bool StateTraceOn() noexcept;
// "<what> <id>: state <from> (n) -> <to> (n)" as an information line of the trace.
void TraceStateChange(const char* what, uint64_t id, const char* from, uint32_t fromValue, const char* to,
                      uint32_t toValue) noexcept;

// Traces a change from previous to next (nothing when they are equal); returns previous.
template <typename State, size_t N>
State TraceChange(State previous, State next, const StateName<State> (&names)[N], const char* what,
                  uint64_t id) noexcept {
  if (previous != next && StateTraceOn())
    TraceStateChange(what, id, NameOf(names, previous), uint32_t(previous), NameOf(names, next), uint32_t(next));
  return previous;
}

// Stores next and returns the state it replaces, tracing the change.
template <typename State, size_t N>
State ChangeState(std::atomic<State>& field, State next, const StateName<State> (&names)[N], const char* what,
                  uint64_t id) noexcept {
  return TraceChange(field.exchange(next), next, names, what, id);
}

template <typename State, size_t N>
State ChangeState(State& field, State next, const StateName<State> (&names)[N], const char* what,
                  uint64_t id) noexcept {
  const State previous = field;
  field = next;
  return TraceChange(previous, next, names, what, id);
}

}  // namespace cvcore
