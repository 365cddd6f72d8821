#pragma once
// The notifications a server control holds back while its events are frozen: a first-in,
// first-out list of window messages appended by engine threads and drained on the
// control's thread. An entry equal in all three values to one already queued is kept once.
#include <cstddef>
#include <deque>
#include <mutex>
#include <optional>

#include "platform/types.h"

namespace tcpsrvctl {

struct Notification {
  UINT message;
  WPARAM wParam;
  LPARAM lParam;
  bool operator==(const Notification&) const = default;
};

class NotificationQueue {
 public:
  // Appends the entry unless an equal one is queued already; true when it was appended.
  bool Queue(const Notification& n);
  // The oldest entry, removed; none when the queue is empty.
  std::optional<Notification> Pop();
  void Clear();
  size_t Count() const;

 private:
  mutable std::mutex lock_;
  std::deque<Notification> items_;
};

}  // namespace tcpsrvctl
