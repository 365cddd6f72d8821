#pragma once
// The deliverable's binding of the trace library: its module (loaded on the first enable,
// kept loaded), its entries by number, and the count of tracing starts. The socket
// wrappers call the hooks through Hook<>().
#include <atomic>
#include <mutex>

#include "core/trace/trace_abi.h"

namespace cvcore {

class TraceBinding {
 public:
  // The entry of number e, or null while unbound.
  template <typename Fn>
  Fn Hook(cvtrace::Entry e) const noexcept {
    return reinterpret_cast<Fn>(entries_[e].load(std::memory_order_acquire));
  }

  int32_t Enable(const char* file, int32_t flags);
  int32_t Disable();
  void DumpData(const void* data, int32_t length);
  int32_t WriteLine(int32_t flags, const char* text);
  int32_t starts() const noexcept { return starts_.load(); }

 private:
  bool Load();

  std::mutex loadLock_;
  void* module_ = nullptr;
  std::atomic<void*> entries_[cvtrace::kLastEntry + 1] = {};
  std::atomic<int32_t> starts_{0};
};

TraceBinding& Trace();

}  // namespace cvcore
