#pragma once
// The library's one keep-alive thread: it wakes every pass interval and sends NOOP on the
// command channel of every session with keep-alive on that has been idle long enough.
#include <atomic>
#include <cstdint>
#include <memory>

#include "platform/base/sync.h"
#include "platform/base/thread.h"

namespace cvftp {

// The thread's rhythm; tests shorten it.
struct KeepAliveTiming {
  std::atomic<uint32_t> passIntervalMs{15000};  // sleep between passes
  std::atomic<uint32_t> idleMs{55000};          // a session idle this long gets a NOOP
  std::atomic<uint32_t> answerWaitMs{5000};     // first wait for the NOOP's answer
  std::atomic<uint32_t> answerRestMs{1000};     // each further wait for more of it
};
KeepAliveTiming& KeepAliveTimes() noexcept;

// Library-wide keep-alive state, guarded by the library lock.
struct KeepAliveState {
  int32_t count = 0;     // sessions with keep-alive counted
  bool running = false;  // a thread is in its loop
  bool stopping = false; // the library is ending: the thread leaves at once
  std::shared_ptr<plat::Thread> thread;
  plat::Event wake{plat::Event::Reset::Manual};  // cuts the thread's sleep short
};

// The last detach (under the library lock, which is let go meanwhile): the thread ends
// and is joined.
void StopKeepAlive() noexcept;

}  // namespace cvftp
