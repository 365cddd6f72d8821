// The SSH layer's fair re-entrant lock: tickets in arrival order.
#include "ssh/util/layer_lock.h"

namespace cvssh {

void LayerLock::Lock() {
  const std::thread::id me = std::this_thread::get_id();
  std::unique_lock l(m_);
  if (owner_ == me) {
    ++depth_;
    return;
  }
  const uint64_t ticket = nextTicket_++;
  turn_.wait(l, [&] { return owner_ == std::thread::id() && serving_ == ticket; });
  ++serving_;
  owner_ = me;
  depth_ = 1;
}

void LayerLock::Unlock() {
  std::unique_lock l(m_);
  if (owner_ != std::this_thread::get_id() || --depth_ > 0) return;
  owner_ = std::thread::id();
  const bool waiting = serving_ != nextTicket_;
  l.unlock();
  if (waiting) turn_.notify_all();
}

bool LayerLock::TryLock() {
  const std::thread::id me = std::this_thread::get_id();
  std::lock_guard l(m_);
  if (owner_ == me) {
    ++depth_;
    return true;
  }
  // Free and nobody in the queue: taking it jumps no one.
  if (owner_ != std::thread::id() || serving_ != nextTicket_) return false;
  ++nextTicket_;
  ++serving_;
  owner_ = me;
  depth_ = 1;
  return true;
}

int32_t LayerLock::ReleaseAll() {
  std::unique_lock l(m_);
  if (owner_ != std::this_thread::get_id()) return 0;
  const int32_t depth = depth_;
  depth_ = 0;
  owner_ = std::thread::id();
  const bool waiting = serving_ != nextTicket_;
  l.unlock();
  if (waiting) turn_.notify_all();
  return depth;
}

void LayerLock::Restore(int32_t depth) {
  if (depth <= 0) return;
  Lock();
  std::lock_guard l(m_);
  depth_ = depth;
}

bool LayerLock::HeldByThisThread() const {
  std::lock_guard l(m_);
  return owner_ == std::this_thread::get_id();
}

}  // namespace cvssh
