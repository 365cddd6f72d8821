#pragma once
// Who a socket or handle connection of the SSH layer belongs to: the session being served
// (connected or pumped) on the thread that made it, or that thread when no session was.
// A session's pump watches only what belongs to it, so no thread ever takes another
// session's events.
#include <thread>

namespace cvssh::net {

struct NetOwner {
  const void* session = nullptr;
  std::thread::id thread{};

  bool operator==(const NetOwner&) const = default;
  // Whether the pump of `session` running on this thread serves it: its own session's,
  // and what this thread made outside any session.
  bool ServedBy(const void* session) const;
};

// The owner of what the calling thread makes now.
NetOwner CurrentOwner();

// Makes `session` current on this thread for a scope (restoring the previous one after).
class OwnerScope {
 public:
  explicit OwnerScope(const void* session);
  ~OwnerScope();
  OwnerScope(const OwnerScope&) = delete;
  OwnerScope& operator=(const OwnerScope&) = delete;

 private:
  const void* previous_;
};

}  // namespace cvssh::net
