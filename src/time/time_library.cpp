#include "time/time_library.h"

#include "core/trace/trace.h"

namespace cvtime {

Frame& Library() noexcept {
  static Frame frame;
  return frame;
}

void FrameTraits::AfterFreeAll(Frame&) { TraceDisable(); }

const TimeClockOps& ClockOps() noexcept {
  const TimeClockOps* ops = Library().state().clock.load();
  return ops ? *ops : TimeSystemClockOperations();
}

}  // namespace cvtime

void TimeProcessAttach(void* module) { cvtime::Library().ProcessAttach(module); }
void TimeProcessDetach() { cvtime::Library().ProcessDetach(); }
int32_t TimeAttach(const char*, LibVersionInfo* info) { return cvtime::Library().Attach(info); }
void TimeDetach() { cvtime::Library().Detach(); }
uint32_t TimeIsInitialized() { return cvtime::Library().IsInitialized(); }
void TimeSetLastError(uint32_t code) { cvtime::Library().SetLastError(code); }
uint32_t TimeGetLastError() { return cvtime::Library().GetLastError(); }
uint32_t TimeGetErrorText(uint32_t code, char* buffer) { return cvtime::Library().GetErrorText(code, buffer); }

int32_t TimeEnableTrace(const char* file, int32_t flags) { return TraceEnable(file, flags); }
int32_t TimeDisableTrace() { return TraceDisable(); }

void TimeSetClockOperations(const TimeClockOps* ops) { cvtime::Library().state().clock.store(ops); }
