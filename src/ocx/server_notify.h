#pragma once
// How a server control hears of its library's events: the library calls back on its
// engine threads, and the control fires events only on its own thread. The callback sends
// the notification to the control's window (the engine thread waits until the host has
// handled it) or, while the control holds its events back, queues it; queued ones go out
// first, oldest first, when the events flow again.
#include <atomic>
#include <cstdint>
#include <deque>
#include <mutex>

#include "platform/msg/msg_types.h"

namespace ocx {

struct QueuedNotification {
  UINT message;
  uint64_t wParam;
  uint64_t lParam;
};

// First in, first out; appended to by engine threads and drained on the host's thread, so
// every access takes the queue's own lock. An entry equal to one already queued is kept once.
class NotificationQueue {
 public:
  // 1 when queued or already present, 0 when no memory could be had.
  int32_t Queue(UINT message, uint64_t wParam, uint64_t lParam);
  // Removes the oldest entry into *out; false when empty.
  bool TakeFirst(QueuedNotification* out);
  void Clear();
  uint32_t Count() const;

 private:
  mutable std::mutex lock_;
  std::deque<QueuedNotification> entries_;
};

inline int32_t QueueNotification(NotificationQueue* queue, UINT message, uint64_t wParam, uint64_t lParam) {
  return queue ? queue->Queue(message, wParam, lParam) : 0;
}
inline void ClearNotificationQueue(NotificationQueue* queue) {
  if (queue) queue->Clear();
}

// What the engine threads see of a server control: its window, its freeze count (mirrored
// from the control, read without the control's cooperation) and its queue.
struct ServerNotifyTarget {
  std::atomic<HWND> window{nullptr};
  std::atomic<long> freeze{0};
  NotificationQueue queue;
};

// Sends every queued notification to window, oldest first, each taken off the queue
// before it is sent.
void SendQueuedNotifications(NotificationQueue& queue, HWND window);

// The engine-thread side of a server control's callback: queue while frozen, else first
// the queued ones and then this one, sent synchronously. The sent message's result, 1 for
// a queued one, 0 when it was dropped.
LRESULT DeliverServerNotification(ServerNotifyTarget* target, UINT message, WPARAM wParam, LPARAM lParam);

// lParam of a library event: MAKELONG(event, error), sign-extended to 64 bits.
inline LPARAM MakeEventParam(uint16_t event, uint16_t error) {
  return LPARAM(int32_t(uint32_t(event) | (uint32_t(error) << 16)));
}

// lParam of an event without an error that another event of the same client follows at
// once (MAKELONG(event, error) of the second in the upper half): one trip to the control's
// thread fires both, in that order, while the client's thread waits for both as before.
inline LPARAM MakeEventPairParam(uint16_t event, uint32_t following) {
  return LPARAM((uint64_t(following) << 32) | event);
}
// The second event of such a pair, 0 when there is none.
inline uint32_t PairedEvent(LPARAM lParam) {
  return uint32_t(lParam) >> 16 == 0 ? uint32_t(uint64_t(lParam) >> 32) : 0;
}

}  // namespace ocx
