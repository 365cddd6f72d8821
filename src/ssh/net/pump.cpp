// The event pump: every blocking wait of the SSH layer runs one bounded wait here and
// dispatches the network events of all registered sockets.
#include <vector>

#include "core/sock/sock.h"
#include "platform/base/tick.h"
#include "ssh/crypto/random_pool.h"
#include "ssh/handle/handle.h"
#include "ssh/net/ssh_net.h"
#include "ssh/proto/session.h"

int32_t SshPumpEvents(SshSession* session) {
  if (!session) return 0;
  const uint32_t limit = SshGetTimeout(session) * 1000u;
  const uint32_t start = plat::GetTickCount();
  plat::NetEventSet* events = SockNetworkEvents();
  // A real wait instead of polling: the thread's sent messages are served inside it and
  // posted ones dispatched when the thread has an active window. A wake-up that finds no
  // socket with events (a stale signal) goes back to waiting.
  static constexpr int32_t kOrder[] = {plat::FD_CONNECT, plat::FD_READ, plat::FD_CLOSE,
                                       plat::FD_OOB,     plat::FD_WRITE, plat::FD_ACCEPT};
  static constexpr int kBits[] = {plat::FD_CONNECT_BIT, plat::FD_READ_BIT, plat::FD_CLOSE_BIT,
                                  plat::FD_OOB_BIT,     plat::FD_WRITE_BIT, plat::FD_ACCEPT_BIT};
  for (;;) {
    uint32_t elapsed = plat::GetTickCount() - start;
    if (elapsed >= limit) return 0;
    // The worker threads of handle connections (a local proxy command) signal their
    // to-main events beside the network.
    std::vector<pollfd> handleEvents = HandleCollectEvents();
    auto outcome = events->Wait(limit - elapsed, handleEvents.data(), handleEvents.size(), plat::kWaitDispatchPosted);
    if (outcome.status == plat::WaitStatus::Failed || outcome.status == plat::WaitStatus::Quit) return 0;
    bool handled = false;
    for (const pollfd& p : handleEvents) {
      if (!p.revents) continue;
      HandleEvent(p.fd);
      handled = true;
    }
    if (!outcome.network) {
      if (handled) return 0;
      continue;
    }

    std::vector<SOCKET> handles;
    int32_t cursor;
    for (SOCKET s = SshFirstSocket(&cursor); s != INVALID_SOCKET; s = SshNextSocket(&cursor)) handles.push_back(s);
    bool dispatched = false;
    for (SOCKET s : handles) {
      plat::WsaNetworkEvents fired{};
      if (SockEnumNetworkEvents(s, &fired) != 0 || fired.lNetworkEvents == 0) continue;
      dispatched = true;
      uint32_t noise[2] = {uint32_t(s), uint32_t(fired.lNetworkEvents)};
      RandomAddNoise(noise, sizeof noise);
      for (int i = 0; i < 6; ++i) {
        if (!(fired.lNetworkEvents & kOrder[i])) continue;
        uint32_t word = (uint32_t(fired.iErrorCode[kBits[i]]) << 16) | uint32_t(kOrder[i]);
        if (SshSocketEvent(s, word) < 0) return -1;
      }
    }
    if (dispatched || handled) return 0;
  }
}
