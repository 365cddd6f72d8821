#include "ocx/server_notify.h"

#include <new>

#include "platform/msg/message.h"

namespace ocx {

int32_t NotificationQueue::Queue(UINT message, uint64_t wParam, uint64_t lParam) {
  std::lock_guard<std::mutex> hold(lock_);
  for (const QueuedNotification& e : entries_)
    if (e.message == message && e.wParam == wParam && e.lParam == lParam) return 1;
  try {
    entries_.push_back({message, wParam, lParam});
  } catch (const std::bad_alloc&) {
    return 0;
  }
  return 1;
}

bool NotificationQueue::TakeFirst(QueuedNotification* out) {
  std::lock_guard<std::mutex> hold(lock_);
  if (entries_.empty()) return false;
  *out = entries_.front();
  entries_.pop_front();
  return true;
}

void NotificationQueue::Clear() {
  std::lock_guard<std::mutex> hold(lock_);
  entries_.clear();
}

uint32_t NotificationQueue::Count() const {
  std::lock_guard<std::mutex> hold(lock_);
  return uint32_t(entries_.size());
}

void SendQueuedNotifications(NotificationQueue& queue, HWND window) {
  QueuedNotification e;
  while (queue.TakeFirst(&e)) plat::SendMessage(window, e.message, WPARAM(e.wParam), LPARAM(e.lParam));
}

LRESULT DeliverServerNotification(ServerNotifyTarget* target, UINT message, WPARAM wParam, LPARAM lParam) {
  if (!target) return 0;
  const HWND window = target->window.load();
  if (!window) return 0;
  if (target->freeze.load() > 0) {
    const int32_t queued = target->queue.Queue(message, uint64_t(wParam), uint64_t(lParam));
    // The control may have thawed and sent its queue between the look and the queueing:
    // then nobody else would send what is queued now.
    if (target->freeze.load() == 0) SendQueuedNotifications(target->queue, window);
    return queued;
  }
  SendQueuedNotifications(target->queue, window);
  return plat::SendMessage(window, message, wParam, lParam);
}

}  // namespace ocx
