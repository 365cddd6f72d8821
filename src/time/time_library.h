#pragma once
// The time library's instance of the library frame. It never allocates a session: the
// record type exists only because the frame keeps a (forever empty) session table.
#include <atomic>

#include "core/frame/frame.h"
#include "core/sock/sock.h"
#include "time/time.h"

namespace cvtime {

struct TimeSession {
  LibSessionHeader header;
  uint32_t options;
  plat::HeapHandle heap;
};

struct FrameTraits;
using Frame = cvcore::LibraryFrame<FrameTraits>;

struct LibraryState {
  plat::WSADATA startup;  // filled by the socket start-up of the first full attach
  std::atomic<const TimeClockOps*> clock{nullptr};  // null: the system's operations
};

struct FrameTraits {
  using Session = TimeSession;
  using LibraryState = cvtime::LibraryState;
  static constexpr const char* kBanner = "Corvanetics Time Protocol Library";
  static uint32_t SockStartup(Frame& f) { return uint32_t(::SockStartup(&f.state().startup)); }
  static void SockCleanup(Frame&) { ::SockCleanup(); }
  static plat::WSADATA* StartupData(Frame& f) { return &f.state().startup; }
  static bool InitSession(Frame&, TimeSession&) { return true; }
  static void AfterFreeAll(Frame& frame);
};

Frame& Library() noexcept;

// Sets the last error and returns the "no time" result.
inline uint32_t Fail(uint32_t code) noexcept {
  Library().SetLastError(code);
  return 0;
}

const TimeClockOps& ClockOps() noexcept;

}  // namespace cvtime
