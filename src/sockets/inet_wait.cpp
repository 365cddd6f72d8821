// The blocking wait of every handle operation: the socket plus the handle's wake-up
// descriptor, so that a cancel, an abort or the engine's close request from another thread
// ends the wait at once instead of when its time-out runs out. Messages sent to the
// waiting thread's windows are served meanwhile.
#include <poll.h>

#include "platform/base/tick.h"
#include "platform/msg/wait.h"
#include "platform/net/wsa_errors.h"
#include "sockets/inet_internal.h"

namespace cvsock {

uint32_t TimeoutMs(uint32_t seconds) noexcept {
  return seconds == 0 ? plat::INFINITE : seconds * 1000u;
}

int PollNow(SOCKET s, short events, short* revents) noexcept {
  pollfd p{int(s), events, 0};
  int n;
  do n = ::poll(&p, 1, 0);
  while (n < 0 && errno == EINTR);
  if (revents) *revents = n > 0 ? p.revents : 0;
  if (n < 0) plat::SetLastError(plat::WSAENOTSOCK);
  return n;
}

int32_t PendingError(SOCKET s) noexcept {
  int32_t err = 0, length = sizeof err;
  if (SockGetPendingError(s, &err, &length) != 0) return -1;
  return err;
}

void RequestClose(InetSocketRecord& r) noexcept {
  r.closeRequested.store(1);
  r.wake.Set();
}

WaitResult WaitSocket(InetSocketRecord& r, short events, uint32_t timeoutMs, uint32_t state, WaitReady* ready) {
  if (const uint32_t deadline = r.deadlineTick.load()) {
    const int32_t left = int32_t(deadline - plat::GetTickCount());
    if (left <= 0) return Fail(cvErrorOperationTimeout, WaitResult::Timeout);
    if (timeoutMs > uint32_t(left)) timeoutMs = uint32_t(left);
  }
  pollfd fds[2] = {{int(r.handle), short(events | POLLPRI), 0}, {r.wake.fd(), POLLIN, 0}};
  r.busy.store(1);
  r.state.store(state);
  plat::WaitResult w = plat::WaitForEventsOrMessages(fds, 2, timeoutMs);
  const uint32_t waitError = plat::GetLastError();
  r.busy.store(0);
  r.state.store(kInetStateIdle);

  if (r.abortFlag.load()) {
    r.abortFlag.store(0);
    r.cancel.store(0);
    if (!r.closeRequested.load()) r.wake.Reset();
    AbortRecord(r);
    return Fail(cvErrorConnectionAborted, WaitResult::Aborted);
  }
  if (r.cancel.exchange(0)) {
    if (!r.closeRequested.load()) r.wake.Reset();
    return Fail(cvErrorOperationCanceled, WaitResult::Canceled);
  }
  if (w.status == plat::WaitStatus::Failed) {
    plat::SetLastError(waitError == plat::ERROR_INVALID_PARAMETER ? plat::WSAEINVAL : plat::WSAENOBUFS);
    FailSocket();
    return WaitResult::Error;
  }
  const short re = fds[0].revents;
  if (re & POLLNVAL) {
    plat::SetLastError(plat::WSAENOTSOCK);
    FailSocket();
    return WaitResult::Error;
  }
  WaitReady got;
  got.read = (events & POLLIN) && (re & (POLLIN | POLLHUP | POLLERR));
  got.write = (events & POLLOUT) && (re & POLLOUT) && !(re & POLLERR);
  got.except = (re & (POLLPRI | POLLERR)) != 0;
  if (ready) *ready = got;
  if (got.read || got.write || got.except) return WaitResult::Ready;
  if (r.closeRequested.load()) return Fail(cvErrorOperationCanceled, WaitResult::Canceled);
  if (w.status == plat::WaitStatus::Quit) return Fail(cvErrorOperationCanceled, WaitResult::Canceled);
  return Fail(cvErrorOperationTimeout, WaitResult::Timeout);
}

}  // namespace cvsock
