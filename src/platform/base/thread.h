#pragma once
// Threads of the platform layer. There is no forced termination or suspension: a thread
// is suspended cooperatively at its next checkpoint (ThreadCheckpoint, called at every
// wait step, transfer block and before callbacks), and stopped through its cancel token,
// which every library wait polls beside its other descriptors.
#include <sys/types.h>

#include <atomic>
#include <condition_variable>
#include <cstddef>
#include <cstdint>
#include <functional>
#include <memory>

#include "platform/base/sync.h"

namespace plat {

// Id of the calling thread (the kernel thread id: unique among live threads).
uint32_t GetCurrentThreadId() noexcept;

// A cancel request that a wait can poll: fd() becomes readable once Cancel ran.
class CancelToken {
 public:
  void Cancel() noexcept { event_.Set(); }
  bool IsCanceled() const noexcept { return event_.IsSet(); }
  int fd() const noexcept { return event_.fd(); }

 private:
  Event event_{Event::Reset::Manual};
};

class Thread {
 public:
  struct Options {
    size_t stackSize = 0;    // 0: the system default
    bool suspended = false;  // start only after Resume
  };
  using Body = std::function<uint32_t()>;

  // Starts a thread running body; null when the thread cannot be created.
  static std::shared_ptr<Thread> Create(Body body, Options options);
  static std::shared_ptr<Thread> Create(Body body) { return Create(std::move(body), Options{}); }
  // A live thread created by Create, by id; null when there is none.
  static std::shared_ptr<Thread> FindById(uint32_t id);
  // The Thread object of the calling thread, null for threads not created by Create.
  static std::shared_ptr<Thread> Current();

  ~Thread();
  Thread(const Thread&) = delete;
  Thread& operator=(const Thread&) = delete;

  // Thread id, known once the thread runs (Create waits for it).
  uint32_t id() const noexcept { return id_; }
  // Decrements the suspend count; the thread runs on when it reaches 0. Returns the
  // previous count.
  uint32_t Resume();
  // Increments the suspend count; the thread stops at its next checkpoint. Returns the
  // previous count.
  uint32_t Suspend();
  uint32_t SuspendCount() const;
  // Sets the thread's cancel token; also releases it from a suspension so that it can
  // see the request and end.
  void Cancel();
  const CancelToken& cancel() const noexcept { return cancel_; }
  // Waits up to timeoutMs for the thread to end; true when it has ended.
  bool Join(uint32_t timeoutMs = INFINITE);
  bool Finished() const noexcept { return finished_.IsSet(); }
  // Readable (POLLIN) once the thread has ended: a wait can watch it beside other descriptors.
  int finishedFd() const noexcept { return finished_.fd(); }
  // The body's result once finished.
  uint32_t ExitCode() const noexcept { return exitCode_.load(); }

 private:
  Thread() = default;
  static void* Start(void* arg);
  friend void ThreadCheckpoint();

  Body body_;
  pthread_t handle_{};
  uint32_t id_ = 0;
  mutable std::mutex m_;
  std::condition_variable cv_;
  uint32_t suspendCount_ = 0;
  bool joined_ = false;
  std::atomic<uint32_t> exitCode_{0};
  CancelToken cancel_;
  Event finished_{Event::Reset::Manual};
  std::shared_ptr<Thread> self_;  // keeps the object alive while the thread runs
};

// Blocks the calling thread while a suspension is requested for it (and its cancel token
// is not set). A no-op on threads not created by Thread::Create.
void ThreadCheckpoint();

// The calling thread's cancel token, or null when it has none.
const CancelToken* CurrentCancelToken() noexcept;

}  // namespace plat
