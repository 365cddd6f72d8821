#include "platform/base/sync.h"

#include <poll.h>
#include <sys/eventfd.h>
#include <unistd.h>

#include <cerrno>
#include <mutex>
#include <vector>

#include "platform/base/tick.h"

namespace plat {

namespace {

// Descriptors of destroyed events, cleared, for the next events to take: servers make
// several events per connection, and an eventfd made and closed costs more than one
// taken from here (the close also defers work to the kernel's task work). Bounded, so a
// burst leaves few descriptors open.
class SpareEventFds {
 public:
  int Take() noexcept {
    {
      std::lock_guard lk(lock_);
      if (!fds_.empty()) {
        const int fd = fds_.back();
        fds_.pop_back();
        return fd;
      }
    }
    return eventfd(0, EFD_NONBLOCK | EFD_CLOEXEC);
  }
  // Takes over fd, already cleared.
  void Give(int fd) noexcept {
    {
      std::lock_guard lk(lock_);
      if (fds_.size() < kMax) {
        try {
          fds_.push_back(fd);
          return;
        } catch (...) {
        }
      }
    }
    close(fd);
  }

 private:
  static constexpr size_t kMax = 256;
  std::mutex lock_;
  std::vector<int> fds_;
};

// Never destroyed: events may outlive static destruction.
SpareEventFds& Spares() {
  static SpareEventFds* spares = new SpareEventFds;
  return *spares;
}

}  // namespace

Event::Event(enum Reset mode, bool initiallySet) : fd_(Spares().Take()), mode_(mode) {
  if (initiallySet) Set();
}

Event::~Event() {
  if (fd_ < 0) return;
  // Cleared for its next owner; a descriptor never set (as most events of a connection
  // are not) is clear already.
  if (set_.load(std::memory_order_acquire)) TryConsume();
  Spares().Give(fd_);
}

void Event::Set() noexcept {
  uint64_t one = 1;
  // Writing can only fail when the counter is near overflow, i.e. already set.
  while (write(fd_, &one, sizeof one) < 0 && errno == EINTR) {
  }
  set_.store(true, std::memory_order_release);
}

void Event::Reset() noexcept {
  set_.store(false, std::memory_order_release);
  TryConsume();
}

bool Event::TryConsume() noexcept {
  uint64_t v;
  ssize_t r;
  while ((r = read(fd_, &v, sizeof v)) < 0 && errno == EINTR) {
  }
  return r == sizeof v;
}

bool Event::IsSet() const noexcept {
  if (mode_ == Reset::Manual) return set_.load(std::memory_order_acquire);
  pollfd p{fd_, POLLIN, 0};
  return poll(&p, 1, 0) == 1 && (p.revents & POLLIN);
}

bool Event::Wait(uint32_t timeoutMs) noexcept {
  if (fd_ < 0) return false;
  const uint64_t start = GetTickCount64();
  for (;;) {
    int waitMs = -1;
    if (timeoutMs != INFINITE) {
      uint64_t spent = GetTickCount64() - start;
      waitMs = spent >= timeoutMs ? 0 : int(timeoutMs - spent);
    }
    pollfd p{fd_, POLLIN, 0};
    int r = poll(&p, 1, waitMs);
    if (r > 0) {
      if (mode_ == Reset::Manual) return true;
      if (TryConsume()) return true;  // else another waiter took it: wait on
    } else if (r == 0) {
      if (waitMs == 0) return false;
    } else if (errno != EINTR) {
      return false;
    }
  }
}

ThreadSlot::ThreadSlot() noexcept { valid_ = pthread_key_create(&key_, nullptr) == 0; }

ThreadSlot::~ThreadSlot() {
  if (valid_) pthread_key_delete(key_);
}

void* ThreadSlot::Get() const noexcept { return valid_ ? pthread_getspecific(key_) : nullptr; }

bool ThreadSlot::Set(void* value) noexcept { return valid_ && pthread_setspecific(key_, value) == 0; }

}  // namespace plat
