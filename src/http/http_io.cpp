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
constexpr uint32_t kUnsentLimit = 128 * 1024;

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

Status WaitSocket(HttpClientSession& s, short events, uint32_t timeoutMs) noexcept {
  const SOCKET sock = s.header.controlSocket;
  if (sock == INVALID_SOCKET) return Status(cvErrorNotConnected);
  pollfd fds[2] = {{int(sock), events, 0}, {s.cancelSignal.fd(), POLLIN, 0}};
  if (s.cancel.load()) return Raise(s, cvErrorOperationCanceled, kEventCancel);
  const uint32_t wasBlocked = s.blocked.exchange(1);
  const plat::WaitResult r = plat::BlockingWait(fds, 2, timeoutMs);
  s.blocked.store(wasBlocked);
  if (Gone(s)) return kSessionGone;
  if (plat::WaitCanceled(r)) {
    // The host canceled the call from its loop: the rest of the call stops as with HttpCancel.
    s.cancel.store(1);
    s.cancelSignal.Set();
  }
  if (s.cancel.load()) return Raise(s, cvErrorOperationCanceled, kEventCancel);
  switch (r.status) {
    case plat::WaitStatus::Ready:
      return {};
    case plat::WaitStatus::Timeout:
      return Raise(s, cvErrorOperationTimeout, kEventTimeout);
    default:
      return PlatformError();
  }
}

Result<uint32_t> RawRecv(HttpClientSession& s, char* buffer, uint32_t length) noexcept {
  if (length == 0) return 0u;
  if (!s.input.empty()) return s.input.Take(buffer, length);
  if (s.header.controlSocket == INVALID_SOCKET) return Status(cvErrorNotConnected);
  // One receive, tried first and waited for only when nothing is there: a large read
  // straight into the caller's buffer, a small one through the input buffer.
  constexpr cvcore::StreamOrder kOrder = cvcore::StreamOrder::TryFirst;
  int32_t n;
  if (length >= kHttpInputBufferSize) {
    n = cvcore::ReceiveSome(ConnectionStream(s), buffer, length, kOrder);
  } else if ((n = s.input.FillWaiting(ConnectionStream(s), kOrder)) > 0) {
    n = int32_t(s.input.Take(buffer, length));
  }
  if (n < 0) return StreamError(s);
  if (n == 0) s.serverClosed = 1;
  return uint32_t(n);
}

Result<bool> RawReadByte(HttpClientSession& s, char& c) noexcept {
  if (s.input.TakeByte(c)) return true;
  const Result<uint32_t> n = RawRecv(s, &c, 1);
  if (!n.ok()) return n.status();
  return n.value() == 1;
}

Status RawSend(HttpClientSession& s, const char* data, uint32_t length) noexcept {
  if (s.header.controlSocket == INVALID_SOCKET) return Status(cvErrorNotConnected);
  if (!cvcore::SendAll(ConnectionStream(s), data, length, cvcore::StreamOrder::WaitFirst)) return StreamError(s);
  return {};
}

Result<uint32_t> Recv(HttpClientSession& s, char* buffer, uint32_t length) noexcept {
  if (s.serverClosed) return Status(cvErrorConnectionClosed);
  const uint64_t expected = s.expectedLength.load();
  const uint64_t copied = s.bytesCopied.load();
  if (!s.responsePending && (expected != 0 || s.lengthKnown)) {
    if (copied >= expected) return 0u;
    // Never past the announced body: what follows belongs to the next response.
    length = uint32_t(std::min<uint64_t>(length, expected - copied));
  }
  const Result<uint32_t> n = RawRecv(s, buffer, length);
  if (n.ok() && n.value() > 0 && !s.responsePending) s.bytesCopied.fetch_add(n.value());
  return n;
}

Status Send(HttpClientSession& s, const char* data, uint32_t length) noexcept {
  if (s.header.controlSocket == INVALID_SOCKET) return Status(cvErrorNotConnected);
  if (const Status sent = RawSend(s, data, length); !sent.ok()) return sent;
  if (!s.responsePending) s.bytesCopied.fetch_add(length);
  return {};
}

Status AfterBlock(HttpClientSession& s, BlockPacer& pacer) noexcept {
  pacer.turns.AfterBlock(s.priority);
  if (s.priority < 4) {
    const uint32_t now = plat::GetTickCount();
    if (now - pacer.lastProgress > kProgressIntervalMs) {
      pacer.lastProgress = now;
      Fire(s, kEventProgress, 0);
    }
  }
  if (Gone(s)) return kSessionGone;
  if (s.cancel.load()) return Raise(s, cvErrorOperationCanceled, kEventCancel);
  return {};
}

void CloseConnection(HttpClientSession& s) noexcept {
  TlsShutdown(s);
  TlsRelease(s);
  if (s.header.controlSocket != INVALID_SOCKET) {
    DetachWindow(s);
    SockClose(s.header.controlSocket);
  }
  s.header.controlSocket = INVALID_SOCKET;
  s.connected = 0;
  s.responsesOnConnection = 0;
  s.input.Clear();
}

void DropConnection(HttpClientSession& s) noexcept {
  CloseConnection(s);
  s.serverClosed = 1;
  s.responsePending = 0;
  s.chunked = 0;
}

Result<SOCKET> OpenSocket(HttpClientSession& s, const SockAddress& address, uint32_t port) noexcept {
  alignas(sockaddr_in6) unsigned char sa[kSockAddressBufferSize];
  uint32_t length = 0;
  if (!SockMakeSockaddr(&address, uint16_t(port), sa, &length)) return PlatformError();
  const SOCKET sock = SockCreate(int32_t(address.family), plat::kSockStream, plat::kIpProtoTcp);
  if (sock == INVALID_SOCKET) return PlatformError();
  auto fail = [&](Status failure) -> Result<SOCKET> {
    if (s.header.controlSocket == sock) s.header.controlSocket = INVALID_SOCKET;
    SockClose(sock);
    return failure;
  };
  uint32_t on = 1;
  int32_t one = 1;
  if (SockIoctl(sock, plat::kFionBio, &on) != 0) return fail(PlatformError());
  SockSetOption(sock, plat::kIpProtoTcp, plat::kTcpNoDelay, &one);
  // An upload keeps little of its body queued unsent, not the megabytes the send buffer
  // grows to: a server on the same host would otherwise send that queue on its own time
  // as it acknowledges what it read, and that server's time sets the upload's pace.
  SockLimitUnsent(sock, kUnsentLimit);
  if (SockConnect(sock, reinterpret_cast<const sockaddr*>(sa), int32_t(length)) == 0) return sock;
  if (!WouldBlock()) return fail(PlatformError());
  // The wait runs on the new socket: put it in place for the wait's poll.
  const SOCKET previous = s.header.controlSocket;
  s.header.controlSocket = sock;
  const uint32_t timeoutMs = (s.timeout ? s.timeout : 20) * 1000u;
  pollfd fds[2] = {{int(sock), POLLOUT, 0}, {s.cancelSignal.fd(), POLLIN, 0}};
  const uint32_t wasBlocked = s.blocked.exchange(1);
  const plat::WaitResult r = plat::BlockingWait(fds, 2, timeoutMs);
  s.blocked.store(wasBlocked);
  s.header.controlSocket = previous;
  if (Gone(s)) return fail(kSessionGone);
  if (s.cancel.load() || plat::WaitCanceled(r)) return fail(Status(cvErrorOperationCanceled));
  if (r.status == plat::WaitStatus::Timeout) return fail(Status(cvErrorOperationTimeout));
  if (r.status != plat::WaitStatus::Ready) return fail(PlatformError());
  int32_t pending = 0, size = sizeof pending;
  if (SockGetPendingError(sock, &pending, &size) != 0) return fail(PlatformError());
  if (pending != 0) return fail(Status(kCvErrorBase | uint32_t(pending)));
  if (!(fds[0].revents & POLLOUT)) return fail(Status(cvErrorConnectionRefused));
  return sock;
}

Result<int64_t> ReadChunkSize(HttpClientSession& s) noexcept {
  char line[kChunkLineStored + 1];
  for (;;) {
    uint32_t stored = 0, total = 0;
    for (;;) {
      char c;
      const Result<bool> got = RawReadByte(s, c);
      if (!got.ok()) return got.status();
      if (!got.value()) {
        if (total == 0) return kChunkLinesEnded;
        return Status(cvErrorConnectionClosed);
      }
      ++total;
      if (c == '\n') break;
      if (total > kChunkLineLimit) return Status(cvErrorInvalidServerResponse);
      if (c != '\r' && stored < kChunkLineStored) line[stored++] = c;
    }
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
      if (value > 0xFFFFFFFFu) return Status(cvErrorInvalidServerResponse);
    }
    if (digits == 0) return Status(cvErrorInvalidServerResponse);
    return int64_t(value);
  }
}

Result<uint32_t> ReadBody(HttpClientSession& s, char* buffer, uint32_t length) noexcept {
  if (!s.chunked) {
    const Result<uint32_t> n = Recv(s, buffer, length);
    if (n.ok() && n.value() == 0 && s.serverClosed) {
      // A body cut short of its announced length is a broken transfer, not a complete one.
      const uint64_t expected = s.expectedLength.load();
      if (s.lengthKnown && s.bytesCopied.load() < expected) return Status(cvErrorConnectionClosed);
    }
    return n;
  }
  if (s.chunkRemaining == 0) {
    const Result<int64_t> size = ReadChunkSize(s);
    if (!size.ok()) return size.status();
    if (size.value() == kChunkLinesEnded) return Status(cvErrorConnectionClosed);
    if (size.value() == 0) {
      // The last chunk: the trailer and the empty line that end the body.
      if (const Status trailer = ReadResponse(s); !trailer.ok()) return trailer;
      s.chunked = 0;
      s.chunkRemaining = 0;
      return 0u;
    }
    s.chunkRemaining = uint64_t(size.value());
  }
  const Result<uint32_t> n = Recv(s, buffer, uint32_t(std::min<uint64_t>(length, s.chunkRemaining)));
  if (!n.ok()) return n;
  if (n.value() == 0) return Status(cvErrorConnectionClosed);
  s.chunkRemaining -= n.value();
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
  if (!buffer || length < 0) return Finish(Status(cvErrorInvalidParameter), 0, -1);
  const Result<uint32_t> n = Recv(*op.session(), buffer, uint32_t(length));
  return Finish(n.status(), int32_t(n.value()), -1);
}

int32_t HttpSend(LibHandle handle, const char* buffer, int32_t length) {
  Operation op(handle);
  if (!op) return -1;
  if (!buffer || length < 0) return Finish(Status(cvErrorInvalidParameter), 0, -1);
  return Finish(Send(*op.session(), buffer, uint32_t(length)), length, -1);
}

int32_t HttpCancel(LibHandle handle) {
  if (handle == kInvalidLibHandle) return Finish(Status(cvErrorOperationNotBlocking), 0, -1);
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
  if (priority > 4) return Finish(Status(cvErrorInvalidParameter), 0, -1);
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
    if (!status) return Finish(Status(cvErrorInvalidParameter), 0, -1);
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
  if (!status) return Finish(Status(cvErrorInvalidParameter), 0, -1);
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
  const Result<int64_t> size = ReadChunkSize(*op.session());
  // A connection that ended between chunks has no size left to give.
  return Finish(size.status(), size.value() == kChunkLinesEnded ? int64_t(0) : size.value(), int64_t(-1));
}
