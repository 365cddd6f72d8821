#pragma once
// The one wait every library wait goes through: poll() over the caller's descriptors
// plus the calling thread's message-queue wake-up. Messages sent by other threads to
// the caller's windows are always served while waiting, so engine threads sending
// synchronously never deadlock against a waiting owner. Posted messages are dispatched
// only when asked for and the thread has an active window (a console host gets plain
// waits). Nothing here spins: an idle wait sleeps in poll().
#include <poll.h>

#include <cstddef>
#include <cstdint>

namespace plat {

enum WaitFlags : uint32_t {
  kWaitServeSent = 0,           // serve sent messages only
  kWaitDispatchPosted = 1u << 0,  // also dispatch posted messages and timers when active
  kWaitReturnOnQuit = 1u << 1,    // return Quit as soon as a quit message is pending
};

enum class WaitStatus { Ready, Timeout, Quit, Failed };

struct WaitResult {
  WaitStatus status;
  int ready;  // descriptors with revents set (Ready only)
};

// timeoutMs: plat::INFINITE (0xFFFFFFFF) waits without limit, 0 only looks. revents of
// fds is filled. A pending WM_QUIT is never removed here: the caller's own loop gets it.
// Failed: poll() failed (last error set from errno).
WaitResult WaitForEventsOrMessages(pollfd* fds, size_t count, uint32_t timeoutMs,
                                   uint32_t flags = kWaitServeSent);

}  // namespace plat
