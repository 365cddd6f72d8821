#include "core/state/named_state.h"

#include "core/trace/trace.h"
#include "core/trace/trace_binding.h"

namespace cvcore {

bool StateTraceOn() noexcept { return Trace().starts() > 0; }

void TraceStateChange(const char* what, uint64_t id, const char* from, uint32_t fromValue, const char* to,
                      uint32_t toValue) noexcept {
  TracePrintf(kTraceInformation, "%s %llu: state %s (%u) -> %s (%u)", what, static_cast<unsigned long long>(id), from,
              unsigned(fromValue), to, unsigned(toValue));
}

}  // namespace cvcore
