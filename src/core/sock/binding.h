#pragma once
// The deliverable's socket binding: a copy of the platform's socket table (all null until
// the first start-up), the start-up count and the cached answers. Each deliverable links
// its own copy of the core, hence its own binding. A test may null an entry to make the
// wrappers behave as on a system without it.
#include <atomic>
#include <memory>
#include <mutex>

#include "platform/base/last_error.h"
#include "platform/net/event_set.h"
#include "platform/net/socket_api.h"
#include "platform/version.h"

namespace cvcore {

struct SockBinding {
  plat::WsaTable ws{};
  std::atomic<bool> bound{false};
  std::atomic<int32_t> useCount{0};
  std::atomic<int32_t> ipv6Providers{-1};  // -1 until asked successfully
  plat::OsVersion version{};

  std::mutex eventsLock;
  std::unique_ptr<plat::NetEventSet> networkEvents;

  // Windows 5.0 lacks IPv6 sockets.
  bool IsVersion50() const noexcept { return version.major == 5 && version.minor == 0; }
};

SockBinding& Binding();

// Sets the thread's last error and hands back the failure value.
template <typename T>
T SockFail(uint32_t error, T value) {
  plat::SetLastError(error);
  return value;
}

}  // namespace cvcore
