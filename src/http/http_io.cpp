// The connection's byte I/O: timed waits with cancel, a small input buffer (response heads
// and chunk lines are read byte by byte from it, never with a system call per byte), the
// counting receive and send, body reading over chunked coding or an announced length, and
// the pacing of transfer loops.
#include <poll.h>

#include <algorithm>

#include "core/url/sock_address.h"
#include "http/http_internal.h"
#include "http/http_streams.h"
#include "platform/base/last_error.h"
#include "platform/base/tick.h"
#include "platform/msg/wait.h"
#include "platform/net/wsa_errors.h"

namespace cvhttp {

namespace {

constexpr uint32_t kProgressIntervalMs = 250;
constexpr uint32_t kChunkLineStored = 256;
constexpr uint32_t kChunkLineLimit = 65536;  // an endless chunk-size line is not a chunk size

bool WouldBlock() noexcept { return plat::GetLastError() == plat::WSAEWOULDBLOCK; }

}  // namespace

uint32_t TimeoutMs(const HttpClientSession& s) noexcept { return s.timeout ? s.timeout * 1000u : plat::INFINITE; }

uint32_t WaitMs(const HttpClientSession& s) noexcept {
  const uint32_t timeout = TimeoutMs(s);
  if (!s.headDeadlineSet) return timeout;
  const int32_t left = int32_t(s.headDeadline - plat::GetTickCount());
  return left <= 0 ? 0 : std::min(timeout, uint32_t(left));
}

HeadDeadline::HeadDeadline(HttpClientSession& s) noexcept : s_(s) {
  s.headDeadline = plat::GetTickCount() + TimeoutMs(s);
  s.headDeadlineSet = s.timeout != 0;
}

HeadDeadline::~HeadDeadline() { s_.headDeadlineSet = 0; }

void ClearStaleCancel(HttpClientSession& s) noexcept {
  if (s.cancel.exchange(0)) s.cancelSignal.Reset();
}

bool WaitSocket(HttpClientSession& s, short events, uint32_t timeoutMs) noexcept {
  const SOCKET sock = s.header.controlSocket;
  if (sock == INVALID_SOCKET) return Fail(cvErrorNotConnected), false;
  pollfd fds[2] = {{int(sock), events, 0}, {s.cancelSignal.fd(), POLLIN, 0}};
  if (s.cancel.load()) return FailWithEvent(s, cvErrorOperationCanceled, kEventCancel), false;
  const uint32_t wasBlocked = s.blocked.exchange(1);
  const plat::WaitResult r = plat::BlockingWait(fds, 2, timeoutMs);
  s.blocked.store(wasBlocked);
  if (Gone(s)) return Fail(cvErrorInvalidHandle), false;
  if (plat::WaitCanceled(r)) {
    // The host canceled the call from its loop: the rest of the call stops as with HttpCancel.
    s.cancel.store(1);
    s.cancelSignal.Set();
  }
  if (s.cancel.load()) return FailWithEvent(s, cvErrorOperationCanceled, kEventCancel), false;
  switch (r.status) {
    case plat::WaitStatus::Ready:
      return true;
    case plat::WaitStatus::Timeout:
      return FailWithEvent(s, cvErrorOperationTimeout, kEventTimeout), false;
    default:
      TakePlatformError();
      return false;
  }
}

int32_t RawRecv(HttpClientSession& s, char* buffer, uint32_t length) noexcept {
  if (length == 0) return 0;
  if (!s.input.empty()) return int32_t(s.input.Take(buffer, length));
  if (s.header.controlSocket == INVALID_SOCKET) return Fail(cvErrorNotConnected);
  // One receive, tried first and waited for only when nothing is there: a large read
  // straight into the caller's buffer, a small one through the input buffer.
  constexpr cvcore::StreamOrder kOrder = cvcore::StreamOrder::TryFirst;
  int32_t n;
  if (length >= kHttpInputBufferSize) {
    n = cvcore::ReceiveSome(ConnectionStream(s), buffer, length, kOrder);
  } else if ((n = s.input.FillWaiting(ConnectionStream(s), kOrder)) > 0) {
    n = int32_t(s.input.Take(buffer, length));
  }
  if (n == 0) s.serverClosed = 1;
  return n;
}

bool RawReadByte(HttpClientSession& s, char* c, bool* closed) noexcept {
  *closed = false;
  if (s.input.TakeByte(*c)) return true;
  const int32_t n = RawRecv(s, c, 1);
  if (n == 0) *closed = true;
  return n == 1;
}

bool RawSend(HttpClientSession& s, const char* data, uint32_t length) noexcept {
  if (s.header.controlSocket == INVALID_SOCKET) return Fail(cvErrorNotConnected), false;
  return cvcore::SendAll(ConnectionStream(s), data, length, cvcore::StreamOrder::WaitFirst);
}

int32_t Recv(HttpClientSession& s, char* buffer, uint32_t length) noexcept {
  if (s.serverClosed) return Fail(cvErrorConnectionClosed);
  const uint64_t expected = s.expectedLength.load();
  const uint64_t copied = s.bytesCopied.load();
  if (!s.responsePending && (expected != 0 || s.lengthKnown)) {
    if (copied >= expected) return 0;
    // Never past the announced body: what follows belongs to the next response.
    length = uint32_t(std::min<uint64_t>(length, expected - copied));
  }
  const int32_t n = RawRecv(s, buffer, length);
  if (n > 0 && !s.responsePending) s.bytesCopied.fetch_add(uint64_t(n));
  return n;
}

int32_t Send(HttpClientSession& s, const char* data, uint32_t length) noexcept {
  if (s.header.controlSocket == INVALID_SOCKET) return Fail(cvErrorNotConnected);
  if (!RawSend(s, data, length)) return -1;
  if (!s.responsePending) s.bytesCopied.fetch_add(length);
  return int32_t(length);
}

bool AfterBlock(HttpClientSession& s, BlockPacer& pacer) noexcept {
  pacer.turns.AfterBlock(s.priority);
  if (s.priority < 4) {
    const uint32_t now = plat::GetTickCount();
    if (now - pacer.lastProgress > kProgressIntervalMs) {
      pacer.lastProgress = now;
      Fire(s, kEventProgress, 0);
    }
  }
  if (Gone(s)) return Fail(cvErrorInvalidHandle), false;
  if (s.cancel.load()) return FailWithEvent(s, cvErrorOperationCanceled, kEventCancel), false;
  return true;
}

void CloseConnection(HttpClientSession& s) noexcept {
  const uint32_t kept = LastError();
  TlsShutdown(s);
  TlsRelease(s);
  if (s.header.controlSocket != INVALID_SOCKET) {
    DetachWindow(s);
    SockClose(s.header.controlSocket);
  }
  s.header.controlSocket = INVALID_SOCKET;
  s.connected = 0;
  s.input.Clear();
  Library().SetLastError(kept);
}

void DropConnection(HttpClientSession& s) noexcept {
  CloseConnection(s);
  s.serverClosed = 1;
  s.responsePending = 0;
  s.chunked = 0;
}

SOCKET OpenSocket(HttpClientSession& s, const SockAddress& address, uint32_t port) noexcept {
  alignas(sockaddr_in6) unsigned char sa[kSockAddressBufferSize];
  uint32_t length = 0;
  if (!SockMakeSockaddr(&address, uint16_t(port), sa, &length)) {
    TakePlatformError();
    return INVALID_SOCKET;
  }
  const SOCKET sock = SockCreate(int32_t(address.family), plat::kSockStream, plat::kIpProtoTcp);
  if (sock == INVALID_SOCKET) {
    TakePlatformError();
    return INVALID_SOCKET;
  }
  auto fail = [&](uint32_t error) {
    if (error) Fail(error);
    const uint32_t kept = LastError();
    if (s.header.controlSocket == sock) s.header.controlSocket = INVALID_SOCKET;
    SockClose(sock);
    Library().SetLastError(kept);
    return INVALID_SOCKET;
  };
  uint32_t on = 1;
  int32_t one = 1;
  if (SockIoctl(sock, plat::kFionBio, &on) != 0) return fail(TakePlatformError());
  SockSetOption(sock, plat::kIpProtoTcp, plat::kTcpNoDelay, &one);
  if (SockConnect(sock, reinterpret_cast<const sockaddr*>(sa), int32_t(length)) == 0) return sock;
  if (!WouldBlock()) return fail(TakePlatformError());
  // The wait runs on the new socket: put it in place for the wait's poll.
  const SOCKET previous = s.header.controlSocket;
  s.header.controlSocket = sock;
  const uint32_t timeoutMs = (s.timeout ? s.timeout : 20) * 1000u;
  pollfd fds[2] = {{int(sock), POLLOUT, 0}, {s.cancelSignal.fd(), POLLIN, 0}};
  const uint32_t wasBlocked = s.blocked.exchange(1);
  const plat::WaitResult r = plat::BlockingWait(fds, 2, timeoutMs);
  s.blocked.store(wasBlocked);
  s.header.controlSocket = previous;
  if (Gone(s)) return fail(cvErrorInvalidHandle);
  if (s.cancel.load() || plat::WaitCanceled(r)) return fail(cvErrorOperationCanceled);
  if (r.status == plat::WaitStatus::Timeout) return fail(cvErrorOperationTimeout);
  if (r.status != plat::WaitStatus::Ready) return fail(TakePlatformError());
  int32_t pending = 0, size = sizeof pending;
  if (SockGetPendingError(sock, &pending, &size) != 0) return fail(TakePlatformError());
  if (pending != 0) return fail(kCvErrorBase | uint32_t(pending));
  if (!(fds[0].revents & POLLOUT)) return fail(cvErrorConnectionRefused);
  return sock;
}

int64_t ReadChunkSize(HttpClientSession& s) noexcept {
  char line[kChunkLineStored + 1];
  for (;;) {
    uint32_t stored = 0, total = 0;
    bool sawCr = false;
    for (;;) {
      char c;
      bool closed;
      if (!RawReadByte(s, &c, &closed)) {
        if (!closed) return -1;
        if (total == 0) return -2;  // closed between lines
        return Fail(cvErrorConnectionClosed);
      }
      ++total;
      if (c == '\n') break;
      if (total > kChunkLineLimit) return Fail(cvErrorInvalidServerResponse);
      sawCr = c == '\r';
      if (!sawCr && stored < kChunkLineStored) line[stored++] = c;
    }
    (void)sawCr;
    line[stored] = '\0';
    if (stored == 0) continue;  // the CR LF that ends a chunk's data
    uint64_t value = 0;
    uint32_t digits = 0;
    for (const char* p = line; *p; ++p, ++digits) {
      const char c = *p;
      uint32_t d;
      if (c >= '0' && c <= '9')
        d = uint32_t(c - '0');
      else if (c >= 'a' && c <= 'f')
        d = uint32_t(c - 'a' + 10);
      else if (c >= 'A' && c <= 'F')
        d = uint32_t(c - 'A' + 10);
      else
        break;
      value = value * 16 + d;
      if (value > 0xFFFFFFFFu) return Fail(cvErrorInvalidServerResponse);
    }
    if (digits == 0) return Fail(cvErrorInvalidServerResponse);
    return int64_t(value);
  }
}

int32_t ReadBody(HttpClientSession& s, char* buffer, uint32_t length) noexcept {
  if (!s.chunked) {
    const int32_t n = Recv(s, buffer, length);
    if (n == 0 && s.serverClosed) {
      // A body cut short of its announced length is a broken transfer, not a complete one.
      const uint64_t expected = s.expectedLength.load();
      if (s.lengthKnown && s.bytesCopied.load() < expected) return Fail(cvErrorConnectionClosed);
    }
    return n;
  }
  if (s.chunkRemaining == 0) {
    const int64_t size = ReadChunkSize(s);
    if (size == -2) return Fail(cvErrorConnectionClosed);
    if (size < 0) return -1;
    if (size == 0) {
      // The last chunk: the trailer and the empty line that end the body.
      if (ReadResponse(s) == -1) return -1;
      s.chunked = 0;
      s.chunkRemaining = 0;
      return 0;
    }
    s.chunkRemaining = uint64_t(size);
  }
  const int32_t n = Recv(s, buffer, uint32_t(std::min<uint64_t>(length, s.chunkRemaining)));
  if (n < 0) return -1;
  if (n == 0) return Fail(cvErrorConnectionClosed);
  s.chunkRemaining -= uint64_t(n);
  return n;
}

}  // namespace cvhttp

using namespace cvhttp;

namespace {

// Runs fn on the session of handle without an owner check, under the library lock so that
// the owner cannot release the record meanwhile.
template <typename Fn>
int32_t WithAnySession(LibHandle handle, int32_t failure, Fn fn) {
  Library().Lock();
  HttpClientSession* s = HttpFindSession(handle);
  const int32_t r = s ? fn(*s) : failure;
  Library().Unlock();
  return r;
}

}  // namespace

int32_t HttpRecv(LibHandle handle, char* buffer, int32_t length) {
  Operation op(handle);
  if (!op) return -1;
  if (!buffer || length < 0) return Fail(cvErrorInvalidParameter);
  return Recv(*op.session(), buffer, uint32_t(length));
}

int32_t HttpSend(LibHandle handle, const char* buffer, int32_t length) {
  Operation op(handle);
  if (!op) return -1;
  if (!buffer || length < 0) return Fail(cvErrorInvalidParameter);
  return Send(*op.session(), buffer, uint32_t(length));
}

int32_t HttpCancel(LibHandle handle) {
  if (handle == kInvalidLibHandle) return Fail(cvErrorOperationNotBlocking);
  return WithAnySession(handle, -1, [](HttpClientSession& s) {
    s.cancel.store(1);
    s.cancelSignal.Set();
    return 0;
  });
}

int32_t HttpIsBlocked(LibHandle handle) {
  return WithAnySession(handle, 0, [](HttpClientSession& s) { return int32_t(s.blocked.load()); });
}

int32_t HttpGetTimeout(LibHandle handle) {
  HttpClientSession* s = HttpGetSession(handle);
  return s ? int32_t(s->timeout) : -1;
}

int32_t HttpSetTimeout(LibHandle handle, uint32_t seconds) {
  HttpClientSession* s = HttpGetSession(handle);
  if (!s) return -1;
  s->timeout = std::min<uint32_t>(seconds, 3600);
  return 0;
}

int32_t HttpGetPriority(LibHandle handle) {
  HttpClientSession* s = HttpGetSession(handle);
  return s ? int32_t(s->priority) : -1;
}

int32_t HttpSetPriority(LibHandle handle, uint32_t priority) {
  HttpClientSession* s = HttpGetSession(handle);
  if (!s) return -1;
  if (priority > 4) return Fail(cvErrorInvalidParameter);
  const uint32_t previous = s->priority;
  s->priority = priority;
  return int32_t(previous);
}

int32_t HttpSetCompression(LibHandle handle, uint32_t enable) {
  HttpClientSession* s = HttpGetSession(handle);
  if (!s) return -1;
  s->compression = enable ? 1 : 0;
  return 0;
}

int32_t HttpGetTransferStatus(LibHandle handle, HttpTransferStatus* status) {
  return WithAnySession(handle, -1, [status](HttpClientSession& s) {
    if (!status) return Fail(cvErrorInvalidParameter);
    *status = HttpTransferStatus{};
    const uint64_t offset = s.startOffset.load();
    status->total = s.expectedLength.load() + offset;
    status->copied = s.bytesCopied.load() + offset;
    if (status->copied > status->total) status->total = status->copied;
    const uint32_t start = s.startTick.load();
    if (start == 0) return 0;
    const uint32_t end = s.endTick.load();
    const uint32_t elapsed = (end ? end : plat::GetTickCount()) - start;
    // The rate counts what this transfer moved, not what a resumed one found in place.
    const uint64_t moved = s.bytesCopied.load();
    uint64_t remaining = 10000;
    uint64_t rate = 0;
    if (elapsed > 1000) {
      rate = moved / (elapsed / 1000);
      if (rate != 0 && status->copied != 0) remaining = (status->total - status->copied) * 1000 / rate;
    }
    if (end) remaining = elapsed;
    if (rate == 0) rate = uint32_t(moved);
    status->rate = uint32_t(std::min<uint64_t>(rate, 0xFFFFFFFFu));
    status->elapsed = elapsed;
    status->remaining = uint32_t(std::min<uint64_t>(remaining, 0xFFFFFFFFu));
    if (!(s.options & kOptMilliseconds)) {
      status->elapsed /= 1000;
      status->remaining /= 1000;
    }
    return 0;
  });
}

int32_t HttpGetTransferStatus32(LibHandle handle, uint32_t* status) {
  if (!status) return Fail(cvErrorInvalidParameter);
  HttpTransferStatus full;
  if (HttpGetTransferStatus(handle, &full) != 0) return -1;
  status[0] = (full.total >> 32) ? 0xFFFFFFFFu : uint32_t(full.total);
  status[1] = (full.copied >> 32) ? 0xFFFFFFFFu : uint32_t(full.copied);
  status[2] = full.rate;
  status[3] = full.elapsed;
  status[4] = full.remaining;
  return 0;
}

int64_t HttpReadChunkSize(LibHandle handle) {
  Operation op(handle);
  if (!op) return -1;
  const int64_t r = ReadChunkSize(*op.session());
  return r == -2 ? 0 : r;
}
