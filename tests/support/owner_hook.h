#pragma once
// A hook a server test sets on its owner callback while the server's threads may be calling
// it: a server thread calls a copy taken under the lock.
#include <cstdint>
#include <functional>
#include <mutex>

namespace cvtest {

class OwnerHook {
 public:
  using Fn = std::function<void(uint64_t server, uint32_t clientId, uint32_t event)>;
  OwnerHook& operator=(Fn fn) {
    std::lock_guard lk(lock_);
    fn_ = std::move(fn);
    return *this;
  }
  Fn Get() const {
    std::lock_guard lk(lock_);
    return fn_;
  }

 private:
  mutable std::mutex lock_;
  Fn fn_;
};

}  // namespace cvtest
