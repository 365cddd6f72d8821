// Looking at a handle without consuming anything: peeking at waiting data, the busy,
// readable and writable tests, and its time-out (which the engine shares for its sockets).
#include <poll.h>

#include <algorithm>
#include <cstring>

#include "platform/net/wsa_errors.h"
#include "sockets/server/server_internal.h"
#include "tcpsrv/extras/server_extras.h"

using namespace cvsock;

namespace {

constexpr uint32_t kReadableWaitMs = 250;
constexpr int32_t kPeekScratchSize = 8192;

bool IsPlainTcp(const InetSocketRecord& r) {
  return (r.protocol == uint32_t(plat::kIpProtoTcp) || r.type == 1) && !TlsActive(r);
}

// A 0 answer after looking at the socket pauses briefly, so that a host polling in a
// loop does not spin.
int32_t NotNow() {
  plat::Sleep(1);
  return 0;
}

}  // namespace

int32_t InetPeek(SOCKET handle, char* buffer, int32_t size) {
  RecordPtr r = LookupOwned(handle);
  if (!r) return -1;
  if (!IsPlainTcp(*r)) return Fail(cvErrorOperationNotSupported);
  if (buffer && size < 1) return Fail(cvErrorBufferTooSmall);
  char scratch[kPeekScratchSize];
  if (!buffer) {
    buffer = scratch;
    size = kPeekScratchSize;
  }
  if (const InetLineBuffer* lb = r->lineBuffer; lb && lb->count > 0) {
    const uint32_t n = std::min<uint32_t>(lb->count, uint32_t(size));
    std::memcpy(buffer, lb->data + lb->position, n);
    return int32_t(n);
  }
  switch (WaitSocket(*r, POLLIN, TimeoutMs(r->timeout.load()), kInetStateReading, nullptr)) {
    case WaitResult::Ready: break;
    case WaitResult::Timeout: return 0;
    default: return -1;
  }
  const int32_t n = SockRecv(handle, buffer, size, MSG_PEEK);
  if (n < 0) return FailSocket();
  return n;
}

int32_t InetIsBlocked(SOCKET handle) {
  RecordPtr r = FindRecord(handle);
  if (!r) return Fail(cvErrorInvalidHandle, 0);
  InetSetLastError(0);
  return r->busy.load() ? 1 : 0;
}

int32_t InetIsReadable(SOCKET handle) {
  RecordPtr r = LookupOwned(handle);
  if (!r) return 0;
  if (r->abortFlag.load()) return Fail(cvErrorConnectionAborted, 0);
  if (r->lineBuffer && r->lineBuffer->count > 0) return 1;
  if (r->busy.load()) return Fail(cvErrorOperationInProgress, 0);
  if (TlsHasHeldInput(*r)) return 1;
  pollfd p{int(handle), POLLIN | POLLPRI, 0};
  int n;
  do n = ::poll(&p, 1, int(kReadableWaitMs));
  while (n < 0 && errno == EINTR);
  if (n < 0) {
    plat::SetLastError(plat::WSAENOTSOCK);
    FailSocket();
    return NotNow();
  }
  if (p.revents & (POLLERR | POLLNVAL)) {
    int32_t err = PendingError(handle);
    Fail(kCvErrorBase | uint32_t(err > 0 ? err : int32_t(plat::WSAENETDOWN)), 0);
    return NotNow();
  }
  if (p.revents & (POLLIN | POLLHUP)) return 1;
  return NotNow();
}

int32_t InetIsWritable(SOCKET handle) {
  RecordPtr r = LookupOwned(handle);
  if (!r) return 0;
  if (r->abortFlag.load()) return Fail(cvErrorConnectionAborted, 0);
  if (r->busy.load()) return Fail(cvErrorOperationInProgress, 0);
  short revents = 0;
  const int n = PollNow(handle, POLLOUT, &revents);
  if (n < 0) {
    FailSocket();
    return NotNow();
  }
  if (n > 0 && (revents & POLLOUT) && !(revents & POLLERR)) return 1;
  return NotNow();
}

int32_t InetGetTimeout(SOCKET handle) {
  RecordPtr r = LookupOwned(handle);
  if (!r) return -1;
  return int32_t(r->timeout.load());
}

int32_t InetSetTimeout(SOCKET handle, uint32_t seconds) {
  RecordPtr r = LookupOwned(handle);
  if (!r) return -1;
  if (seconds > 1000) seconds /= 1000;
  r->timeout.store(seconds);
  if (r->serverOwned.load()) {
    if (r->listening) {
      if (ServerPtr s = FindServer(handle)) s->clientTimeout.store(seconds);
    } else if (ClientPtr c = FindClient(handle)) {
      c->timeout.store(seconds);
    }
  }
  return 0;
}
