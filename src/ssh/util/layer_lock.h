#pragma once
// The lock that serialises the SSH layer: re-entrant for its owner, and fair between
// threads (first come, first served), so a thread that takes and leaves it in a tight
// loop cannot keep another out. A waiting thread can hand the lock over for the length
// of a wait and take it back at the same depth.
#include <condition_variable>
#include <cstdint>
#include <mutex>
#include <thread>

namespace cvssh {

class LayerLock {
 public:
  void Lock();
  void Unlock();
  // Takes the lock when this thread owns it or nobody holds or waits for it.
  bool TryLock();
  // Leaves the lock completely when this thread holds it; the depth it held (0: none).
  int32_t ReleaseAll();
  // Takes the lock back at the depth ReleaseAll returned (nothing for 0).
  void Restore(int32_t depth);
  bool HeldByThisThread() const;

 private:
  mutable std::mutex m_;
  std::condition_variable turn_;
  std::thread::id owner_{};
  int32_t depth_ = 0;
  uint64_t nextTicket_ = 0;  // handed to the next thread that waits
  uint64_t serving_ = 0;     // the ticket whose turn it is once the lock is free
};

}  // namespace cvssh

namespace cvssh {

// The lock that SshLock takes, or null while the SSH layer is not initialised (then
// SshLock is a no-op and nothing is held).
LayerLock* ActiveLayerLock();

// Leaves the SSH-layer lock for the length of a wait and takes it back at the same depth,
// so a thread waiting for its own session's network never holds the other sessions up.
class LayerLockPause {
 public:
  LayerLockPause() : lock_(ActiveLayerLock()), depth_(lock_ ? lock_->ReleaseAll() : 0) {}
  ~LayerLockPause() {
    if (lock_) lock_->Restore(depth_);
  }
  LayerLockPause(const LayerLockPause&) = delete;
  LayerLockPause& operator=(const LayerLockPause&) = delete;

 private:
  LayerLock* lock_;
  int32_t depth_;
};

}  // namespace cvssh
