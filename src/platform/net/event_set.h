#pragma once
// An event-selection target: sockets selected on a set (WSAEventSelect) record their
// network events under the re-enabling rules of async selection, and the set becomes
// signalled. The owner waits on the set while its thread's messages are served, then
// collects each socket's events with their errors (WSAEnumNetworkEvents).
#include <poll.h>

#include <cstddef>
#include <cstdint>

#include "platform/base/sync.h"
#include "platform/msg/wait.h"
#include "platform/net/wsa_types.h"

namespace plat {

class NetEventSet {
 public:
  NetEventSet() = default;
  // Ends the selection of every socket still selected on this set.
  ~NetEventSet();
  NetEventSet(const NetEventSet&) = delete;
  NetEventSet& operator=(const NetEventSet&) = delete;

  // Selects `events` (FD_* bits) of socket s on this set; 0 ends its selection. The
  // socket becomes non-blocking. 0, or -1 with the error in the last error.
  int Select(SOCKET s, int32_t events);
  // The events recorded for s since the last call, with their errors; clears them.
  // 0, or -1 with WSAENOTSOCK for an invalid socket.
  int Collect(SOCKET s, WsaNetworkEvents* out);

  struct WaitOutcome {
    WaitStatus status;  // Ready when the set or one of the extra descriptors fired
    bool network;       // the set was signalled (its signal is consumed)
  };
  // Waits up to timeoutMs for a network event or one of the extra descriptors (their
  // revents are filled), serving the thread's sent messages meanwhile (flags as for
  // WaitForEventsOrMessages).
  WaitOutcome Wait(uint32_t timeoutMs, pollfd* extra = nullptr, size_t extraCount = 0,
                   uint32_t flags = kWaitServeSent);

  // Readable while signalled; for callers that poll it themselves.
  int fd() const noexcept { return signal_.fd(); }
  void Signal() noexcept { signal_.Set(); }
  void Reset() noexcept { signal_.Reset(); }

 private:
  Event signal_{Event::Reset::Auto};
};

}  // namespace plat
