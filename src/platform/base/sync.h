#pragma once
// Synchronisation primitives of the platform layer: a recursive lock (the libraries'
// critical sections), events that a poll() can wait on, and per-instance thread slots.
#include <pthread.h>

#include <atomic>
#include <cstdint>
#include <mutex>

namespace plat {

inline constexpr uint32_t INFINITE = 0xFFFFFFFFu;

// A recursive mutex usable with std::lock_guard / std::unique_lock.
//
// A library's lock is held for a table look-up at a time, and the server libraries take it
// dozens of times per request from as many threads as they have clients: when it is taken,
// its holder lets go within a microsecond or so. Trying again for about that long before
// waiting in the kernel spares the sleep, and the wake-up by the holder, that the wait
// costs each time (two system calls and a switch each way).
class RecursiveLock {
 public:
  void lock() {
    for (int i = 0; i < kSpins; ++i) {
      if (m_.try_lock()) return;
      Relax();
    }
    m_.lock();
  }
  bool try_lock() { return m_.try_lock(); }
  void unlock() { m_.unlock(); }

 private:
  static constexpr int kSpins = 100;
  static void Relax() noexcept {
#if defined(__x86_64__) || defined(__i386__)
    __builtin_ia32_pause();
#elif defined(__aarch64__)
    asm volatile("yield");
#endif
  }
  std::recursive_mutex m_;
};

// An event backed by an eventfd, so every wait can poll() it beside sockets and the
// message queue. A manual-reset event stays set until Reset; an auto-reset event is
// cleared by the one wait that sees it.
class Event {
 public:
  enum class Reset { Manual, Auto };
  explicit Event(Reset mode = Reset::Manual, bool initiallySet = false);
  ~Event();
  Event(const Event&) = delete;
  Event& operator=(const Event&) = delete;

  void Set() noexcept;
  void Reset() noexcept;
  // True when the event was (and, for auto-reset, now consumed) set within timeoutMs
  // (INFINITE waits without limit, 0 only tests).
  bool Wait(uint32_t timeoutMs = INFINITE) noexcept;
  // For manual-reset events: set or not, without waiting or consuming (and without a
  // system call: threads ask this on every pass of their loops).
  bool IsSet() const noexcept;
  // Readable (POLLIN) while the event is set.
  int fd() const noexcept { return fd_; }
  bool valid() const noexcept { return fd_ >= 0; }

 private:
  bool TryConsume() noexcept;
  int fd_;
  enum Reset mode_;
  std::atomic<bool> set_{false};  // manual-reset: what the descriptor says, kept beside it
};

// A thread-specific slot owned by one object: every instance has its own key, so two
// libraries (or two frames of one library type) never see each other's values.
class ThreadSlot {
 public:
  ThreadSlot() noexcept;
  ~ThreadSlot();
  ThreadSlot(const ThreadSlot&) = delete;
  ThreadSlot& operator=(const ThreadSlot&) = delete;

  bool valid() const noexcept { return valid_; }
  void* Get() const noexcept;
  bool Set(void* value) noexcept;
  // Integer convenience (e.g. a per-thread error code).
  uintptr_t GetValue() const noexcept { return reinterpret_cast<uintptr_t>(Get()); }
  bool SetValue(uintptr_t v) noexcept { return Set(reinterpret_cast<void*>(v)); }

 private:
  pthread_key_t key_{};
  bool valid_ = false;
};

}  // namespace plat
