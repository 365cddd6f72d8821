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

// The wait of a library's blocking call (a connect, a reply, a block of data). While the
// thread has an active window, its posted messages and timers are dispatched as well, so
// the host's own loop goes on meanwhile (a Cancel button, a scheduled step); a console
// thread gets a plain wait. A quit message is left for the host's loop and the wait goes
// on serving sent messages only. Whatever runs meanwhile may end the wait with
// CancelBlockingCall: Failed, with WSAEINTR (10004, "canceled") as the last error. The
// host may also have closed or freed what the caller waits for: the caller looks at its
// own state again after every wait.
WaitResult BlockingWait(pollfd* fds, size_t count, uint32_t timeoutMs);

// Whether a blocking wait ended by CancelBlockingCall (read right after the wait).
bool WaitCanceled(const WaitResult& r);

// Ends the innermost blocking wait of the calling thread, the one that dispatched the
// caller. False when the thread is in none.
bool CancelBlockingCall();

}  // namespace plat
