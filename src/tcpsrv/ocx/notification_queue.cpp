#include "tcpsrv/ocx/notification_queue.h"

#include <algorithm>

namespace tcpsrvctl {

bool NotificationQueue::Queue(const Notification& n) {
  std::lock_guard lk(lock_);
  if (std::find(items_.begin(), items_.end(), n) != items_.end()) return false;
  items_.push_back(n);
  return true;
}

std::optional<Notification> NotificationQueue::Pop() {
  std::lock_guard lk(lock_);
  if (items_.empty()) return std::nullopt;
  Notification n = items_.front();
  items_.pop_front();
  return n;
}

void NotificationQueue::Clear() {
  std::lock_guard lk(lock_);
  items_.clear();
}

size_t NotificationQueue::Count() const {
  std::lock_guard lk(lock_);
  return items_.size();
}

}  // namespace tcpsrvctl
