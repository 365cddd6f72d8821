// The event pump: every blocking wait of the SSH layer runs one bounded wait here for the
// sockets and handle connections of its own session, and dispatches what became ready.
// The wait itself runs without the SSH-layer lock, so sessions of other threads go on
// meanwhile; everything it dispatches runs with the lock held again.
#include <vector>

#include "core/errors/error_codes.h"
#include "core/sock/sock.h"
#include "platform/base/tick.h"
#include "platform/msg/wait.h"
#include "ssh/crypto/random_pool.h"
#include "ssh/handle/handle.h"
#include "ssh/net/ssh_net.h"
#include "ssh/net/tcp_socket.h"
#include "ssh/proto/session.h"
#include "ssh/util/layer_lock.h"

namespace {

using cvssh::net::TcpSocket;

// One blocking wait over fds (the thread's messages served, the host's loop run), first a
// look without giving up the lock: what is already there is handled without two trips
// through it.
plat::WaitResult Wait(std::vector<pollfd>& fds, uint32_t timeoutMs) {
  plat::WaitResult r = plat::BlockingWait(fds.data(), fds.size(), 0);
  if (r.status != plat::WaitStatus::Timeout || timeoutMs == 0) return r;
  cvssh::LayerLockPause pause;
  return plat::BlockingWait(fds.data(), fds.size(), timeoutMs);
}

}  // namespace

int32_t SshPumpEventsWithin(SshSession* session, uint32_t limitMs) {
  if (!session) return 0;
  cvssh::net::OwnerScope scope(session);
  const uint32_t start = plat::GetTickCount();
  std::vector<pollfd> fds;
  for (;;) {
    const uint32_t elapsed = plat::GetTickCount() - start;
    if (elapsed >= limitMs && limitMs != 0) return 0;
    // The worker threads of handle connections (a local proxy command) signal their
    // to-main events beside the sockets.
    fds.clear();
    HandleCollectEvents(session, fds);
    const size_t handleCount = fds.size();
    cvssh::net::RegistryCollect(session, fds);
    plat::WaitResult r = Wait(fds, limitMs - (limitMs ? elapsed : 0));
    if (r.status == plat::WaitStatus::Timeout) return 0;
    if (plat::WaitCanceled(r)) {
      // The host canceled the call from its loop: the wait of the caller ends with it.
      SshSetLastError(session, cvErrorOperationCanceled);
      return -1;
    }
    if (r.status != plat::WaitStatus::Ready) return 0;  // a failed wait
    bool handled = false;
    for (size_t i = 0; i < handleCount; ++i) {
      if (!fds[i].revents) continue;
      HandleEvent(session, fds[i].fd);
      handled = true;
    }
    for (size_t i = handleCount; i < fds.size(); ++i) {
      if (!fds[i].revents) continue;
      // The socket may have gone (or its descriptor been reused by another owner) while
      // an earlier one was handled.
      TcpSocket* s = cvssh::net::RegistryFind(SOCKET(fds[i].fd));
      if (!s || !s->owner.ServedBy(session)) continue;
      handled = true;
      uint32_t noise[2] = {uint32_t(fds[i].fd), uint32_t(uint16_t(fds[i].revents))};
      RandomAddNoise(noise, sizeof noise);
      if (s->OnReady(fds[i].revents) < 0) return -1;
    }
    // Only the thread's messages were served: the wait goes on.
    if (handled) return 0;
    if (limitMs == 0) return 0;
  }
}

int32_t SshPumpEvents(SshSession* session) {
  if (!session) return 0;
  return SshPumpEventsWithin(session, SshGetTimeout(session) * 1000u);
}
