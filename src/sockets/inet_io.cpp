// Blocking reads and writes on handles, with the handle's time-out, the cancel and abort
// requests, the byte counters and the closed flag. Plain reads drain the line buffer
// first, so mixing line and plain reads never loses data.
#include <poll.h>
#include <sys/ioctl.h>
#include <sys/socket.h>

#include <algorithm>
#include <cerrno>
#include <cstring>
#include <new>
#include <string>

#include "core/trace/trace.h"
#include "platform/base/tick.h"
#include "platform/net/wsa_errors.h"
#include "sockets/inet_internal.h"
#include "sockets/sec_state.h"

namespace cvsock {

RecordPtr LookupOwned(SOCKET handle) noexcept {
  RecordPtr r = FindRecord(handle);
  if (!r) return Fail<RecordPtr>(cvErrorInvalidHandle, nullptr);
  if (!OwnedByCaller(*r)) return Fail<RecordPtr>(cvErrorNotHandleOwner, nullptr);
  return r;
}

// Copies up to size buffered bytes; their number.
int32_t TakeBuffered(InetSocketRecord& r, char* buffer, int32_t size) noexcept {
  InetLineBuffer* lb = r.lineBuffer;
  if (!lb || lb->count == 0) return 0;
  const uint32_t n = std::min<uint32_t>(lb->count, uint32_t(size));
  std::memcpy(buffer, lb->data + lb->position, n);
  lb->position += n;
  lb->count -= n;
  if (lb->count == 0) lb->position = 0;
  return int32_t(n);
}

}  // namespace cvsock

using namespace cvsock;

namespace {

bool IsTcp(const InetSocketRecord& r) { return r.protocol == uint32_t(plat::kIpProtoTcp) || r.type == 1; }

void NoteReceived(InetSocketRecord& r, int32_t n) {
  r.bytesReceived += uint32_t(n);
  r.lastReceiveTick = plat::GetTickCount();
}

}  // namespace

namespace {

// Plain TCP receive: what is there at once, else after waiting up to waitMs.
int32_t ReceivePlain(SOCKET handle, InetSocketRecord& r, char* buffer, int32_t size, uint32_t waitMs) {
  int32_t n = SockRecvNoWait(handle, buffer, size);
  if (n < 0 && plat::GetLastError() == plat::WSAEWOULDBLOCK) {
    if (WaitSocket(r, POLLIN, waitMs, kInetStateReading, nullptr) != WaitResult::Ready) return -1;
    n = SockRecv(handle, buffer, size, 0);
  }
  if (n == 0) r.closed.store(1);
  if (n > 0) NoteReceived(r, n);
  if (n < 0) {
    const uint32_t err = plat::GetLastError();
    if (err == plat::WSAECONNABORTED || err == plat::WSAECONNRESET) {
      TracePrintf(kTraceInformation, "connection on socket %d aborted and flagged as closed", int(handle));
      r.closed.store(1);
    }
    plat::SetLastError(err);
    return FailSocket();
  }
  return n;
}

// Plain TCP send: what fits at once, waiting up to waitMs only when nothing fits.
int32_t SendPlain(SOCKET handle, InetSocketRecord& r, const char* buffer, int32_t size, uint32_t waitMs) {
  int32_t n = SockSendNoWait(handle, buffer, size);
  if (n < 0 && plat::GetLastError() == plat::WSAEWOULDBLOCK) {
    if (WaitSocket(r, POLLOUT, waitMs, kInetStateWriting, nullptr) != WaitResult::Ready) return -1;
    n = SockSendNoWait(handle, buffer, size);
  }
  if (n < 0) return FailSocket();
  if (n > 0) {
    r.bytesSent += uint32_t(n);
    r.lastSendTick = plat::GetTickCount();
  }
  return n;
}

int32_t ReadWithWait(SOCKET handle, char* buffer, int32_t size, uint32_t waitMs) {
  RecordPtr r = LookupOwned(handle);
  if (!r) return -1;
  if (!buffer || size < 1) return Fail(cvErrorInvalidParameter);
  r->inputTaken.fetch_add(1, std::memory_order_relaxed);
  if (int32_t n = TakeBuffered(*r, buffer, size); n > 0) return n;
  if (IsTcp(*r) && TlsActive(*r)) {
    int32_t n = size <= int32_t(kInetLineBufferSize) ? SecRead(handle, buffer, size) : SecReadLarge(handle, buffer, size);
    if (n == 0) r->closed.store(1);
    return n;
  }
  if (waitMs == plat::INFINITE) waitMs = TimeoutMs(r->timeout.load());
  if (IsTcp(*r)) return ReceivePlain(handle, *r, buffer, size, waitMs);
  if (WaitSocket(*r, POLLIN, waitMs, kInetStateReading, nullptr) != WaitResult::Ready) return -1;
  sockaddr_storage from{};
  int32_t fromLength = sizeof from;
  const int32_t n = SockRecvFromNoFlags(handle, buffer, size, reinterpret_cast<sockaddr*>(&from), &fromLength);
  if (n < 0) return FailSocket();
  InetSplitSockaddr(reinterpret_cast<sockaddr*>(&from), &r->peerAddress, &r->peerPort);
  if (n > 0) NoteReceived(*r, n);
  return n;
}

int32_t WriteWithWait(SOCKET handle, const char* buffer, int32_t size, uint32_t waitMs) {
  RecordPtr r = LookupOwned(handle);
  if (!r) return -1;
  if (!buffer || size < 1) return Fail(cvErrorInvalidParameter);
  if (IsTcp(*r) && TlsActive(*r))
    return size <= int32_t(kInetLineBufferSize) ? SecWrite(handle, buffer, size) : SecWriteLarge(handle, buffer, size);
  if (waitMs == plat::INFINITE) waitMs = TimeoutMs(r->timeout.load());
  if (IsTcp(*r)) return SendPlain(handle, *r, buffer, size, waitMs);
  if (WaitSocket(*r, POLLOUT, waitMs, kInetStateWriting, nullptr) != WaitResult::Ready) return -1;
  sockaddr_storage to{};
  uint32_t toLength = 0;
  if (!InetMakeSockaddr(&r->peerAddress, r->peerPort, &to, &toLength)) return -1;
  const int32_t n = SockSendToNoFlags(handle, buffer, size, reinterpret_cast<sockaddr*>(&to), int32_t(toLength));
  if (n < 0) return FailSocket();
  if (n > 0) {
    r->bytesSent += uint32_t(n);
    r->lastSendTick = plat::GetTickCount();
  }
  return n;
}

}  // namespace

int32_t InetRead(SOCKET handle, char* buffer, int32_t size) { return ReadWithWait(handle, buffer, size, plat::INFINITE); }

int32_t InetWrite(SOCKET handle, const char* buffer, int32_t size) {
  return WriteWithWait(handle, buffer, size, plat::INFINITE);
}

int32_t InetReadWait(SOCKET handle, char* buffer, int32_t size, uint32_t waitMs) {
  return ReadWithWait(handle, buffer, size, waitMs);
}

int32_t InetWriteWait(SOCKET handle, const char* buffer, int32_t size, uint32_t waitMs) {
  return WriteWithWait(handle, buffer, size, waitMs);
}

int64_t InetSendFile(SOCKET handle, int file, uint64_t* offset, uint64_t count, uint32_t waitMs) {
  RecordPtr r = LookupOwned(handle);
  if (!r) return -1;
  if (!offset || count == 0) return Fail(cvErrorInvalidParameter);
  if (!IsTcp(*r) || TlsActive(*r)) return Fail(cvErrorProtocolNotSupported);
  if (waitMs == plat::INFINITE) waitMs = TimeoutMs(r->timeout.load());
  int64_t n = SockSendFileNoWait(handle, file, offset, count);
  if (n < 0 && plat::GetLastError() == plat::WSAEWOULDBLOCK) {
    if (WaitSocket(*r, POLLOUT, waitMs, kInetStateWriting, nullptr) != WaitResult::Ready) return -1;
    n = SockSendFileNoWait(handle, file, offset, count);
  }
  if (n < 0) return FailSocket();
  if (n > 0) {
    r->bytesSent += uint32_t(n);
    r->lastSendTick = plat::GetTickCount();
  }
  return n;
}

int32_t InetIsSecure(SOCKET handle) {
  RecordPtr r = FindRecord(handle);
  if (!r) return Fail(cvErrorInvalidHandle, 0);
  return TlsActive(*r) ? 1 : 0;
}

int32_t InetPeekWaiting(SOCKET handle, char* buffer, int32_t size) {
  RecordPtr r = LookupOwned(handle);
  if (!r) return -1;
  if (!buffer || size < 1) return Fail(cvErrorInvalidParameter);
  int32_t n = 0;
  if (const InetLineBuffer* lb = r->lineBuffer) {
    n = int32_t(std::min<uint32_t>(lb->count, uint32_t(size)));
    std::memcpy(buffer, lb->data + lb->position, size_t(n));
  }
  if (n == size) return n;
  if (TlsActive(*r)) return n + int32_t(r->tls->stage->PeekPlain(buffer + n, uint32_t(size - n)));
  char* at = buffer + n;
  ssize_t got;
  do got = ::recv(int(handle), at, size_t(size - n), MSG_PEEK | MSG_DONTWAIT);
  while (got < 0 && errno == EINTR);
  return n + (got > 0 ? int32_t(got) : 0);
}

int32_t InetUrgentWaiting(SOCKET handle) {
  RecordPtr r = LookupOwned(handle);
  if (!r || !IsTcp(*r)) return 0;
  short revents = 0;
  return PollNow(handle, POLLPRI, &revents) > 0 && (revents & POLLPRI) ? 1 : 0;
}

int32_t InetDiscardInput(SOCKET handle) {
  RecordPtr r = LookupOwned(handle);
  if (!r) return -1;
  if (!IsTcp(*r)) return Fail(cvErrorProtocolNotSupported);
  r->inputTaken.fetch_add(1, std::memory_order_relaxed);
  if (r->lineBuffer) r->lineBuffer->count = r->lineBuffer->position = 0;
  char scratch[1024];
  for (;;) {
    WaitResult w = WaitSocket(*r, POLLIN, 500, kInetStateDiscarding, nullptr);
    if (w == WaitResult::Aborted) return -1;
    if (w != WaitResult::Ready) break;
    int32_t n;
    if (TlsActive(*r)) {
      n = SecRead(handle, scratch, sizeof scratch);
    } else {
      n = SockRecv(handle, scratch, sizeof scratch, 0);
      if (n > 0) NoteReceived(*r, n);
    }
    if (n <= 0) break;
  }
  r->cancel.store(0);
  InetSetLastError(0);
  return 0;
}

int32_t InetIsClosed(SOCKET handle) {
  RecordPtr r = FindRecord(handle);
  if (!r) return Fail(cvErrorInvalidHandle, 0);
  InetSetLastError(0);
  return r->closed.load() ? 1 : 0;
}

int32_t InetCreateLineBuffer(SOCKET handle) {
  RecordPtr r = LookupOwned(handle);
  if (!r) return 0;
  if (r->lineBuffer && r->lineBuffer->count > 0) return 0;
  if (!r->lineBuffer) {
    r->lineBuffer = new (std::nothrow) InetLineBuffer;
    if (!r->lineBuffer) return Fail(cvErrorOutOfMemory, 0);
  }
  r->lineBuffer->capacity = kInetLineBufferSize;
  r->lineBuffer->count = 0;
  r->lineBuffer->position = 0;
  r->lineBuffer->urgent = kInetNoUrgent;
  return 1;
}

namespace {

// One line into buffer. exact keeps every byte but the line's LF and a CR right before
// it; otherwise CR and NUL are dropped wherever they are.
int32_t ReadLine(SOCKET handle, char* buffer, uint32_t* size, bool exact, uint32_t* urgent) {
  if (urgent) *urgent = kInetNoUrgent;
  if (!buffer || !size || *size < 1) return Fail(cvErrorInvalidParameter, 0);
  const uint32_t room = *size;
  buffer[0] = '\0';
  *size = 0;
  RecordPtr r = LookupOwned(handle);
  if (!r) return 0;
  if (!IsTcp(*r)) return Fail(cvErrorProtocolNotSupported, 0);
  if (!r->lineBuffer && !InetCreateLineBuffer(handle)) return 0;
  r->inputTaken.fetch_add(1, std::memory_order_relaxed);

  uint32_t stored = 0;
  bool peerClosed = false;
  uint32_t error = 0;
  while (stored < room - 1) {
    InetLineBuffer* lb = r->lineBuffer;
    if (!lb) break;  // the handle was aborted under us
    if (lb->count == 0) {
      // A receive stops short of the urgent mark: at the mark, the refill starts with it.
      // The mark is asked only once bytes are there: asked before a blocking receive, it
      // misses an urgent byte that arrives with the bytes the receive then returns.
      int atMark = 0;
      if (urgent && !TlsActive(*r)) {
        short revents = 0;
        if (PollNow(handle, POLLIN, &revents) != 1 &&
            WaitSocket(*r, POLLIN, TimeoutMs(r->timeout.load()), kInetStateReading, nullptr) != WaitResult::Ready) {
          error = InetGetLastError();
          break;
        }
        if (::ioctl(int(handle), SIOCATMARK, &atMark) != 0) atMark = 0;
      }
      lb->urgent = atMark == 1 ? 0 : kInetNoUrgent;
      int32_t n = InetRead(handle, lb->data, int32_t(lb->capacity));
      if (n == 0) {
        peerClosed = true;
        break;
      }
      if (n < 0) {
        error = InetGetLastError();
        break;
      }
      lb->position = 0;
      lb->count = uint32_t(n);
    }
    // Take a run up to the line end at once; CR and NUL are dropped.
    const char* start = lb->data + lb->position;
    const char* lf = static_cast<const char*>(std::memchr(start, '\n', lb->count));
    const uint32_t span = lf ? uint32_t(lf - start) : lb->count;
    uint32_t used = 0;
    if (urgent && lb->urgent >= lb->position && lb->urgent < lb->position + span) {
      // Where the urgent byte lands in the line: the bytes stored before it.
      uint32_t before = stored;
      for (uint32_t k = lb->position; k < lb->urgent; ++k)
        if (exact || (lb->data[k] != '\r' && lb->data[k] != '\0')) ++before;
      if (before < room - 1) *urgent = before;
    }
    if (exact) {
      used = std::min(span, room - 1 - stored);
      std::memcpy(buffer + stored, start, used);
      stored += used;
    } else {
      for (; used < span && stored < room - 1; ++used)
        if (start[used] != '\r' && start[used] != '\0') buffer[stored++] = start[used];
    }
    bool ended = false;
    if (used == span && lf) {
      ++used;  // the LF
      ended = true;
      if (exact && stored > 0 && buffer[stored - 1] == '\r') --stored;
    }
    lb->position += used;
    lb->count -= used;
    if (ended) break;
  }
  if (peerClosed && stored == 0) error = cvErrorConnectionClosed;
  buffer[stored] = '\0';
  *size = stored;
  InetSetLastError(error);
  return error == 0 ? 1 : 0;
}

}  // namespace

int32_t InetReadLine(SOCKET handle, char* buffer, uint32_t* size) {
  return ReadLine(handle, buffer, size, false, nullptr);
}

int32_t InetReadLineExact(SOCKET handle, char* buffer, uint32_t* size) {
  return ReadLine(handle, buffer, size, true, nullptr);
}

int32_t InetReadLineMarked(SOCKET handle, char* buffer, uint32_t* size, uint32_t* urgent) {
  return ReadLine(handle, buffer, size, false, urgent);
}

int32_t InetWriteLine(SOCKET handle, const char* text, uint32_t* sent) {
  if (sent) *sent = 0;
  RecordPtr r = LookupOwned(handle);
  if (!r) return 0;
  if (!IsTcp(*r)) return Fail(cvErrorProtocolNotSupported, 0);
  size_t length = text ? std::strlen(text) : 0;
  if (length > 0 && text[length - 1] == '\n') --length;
  if (length > 0 && text[length - 1] == '\r') --length;
  // The line and its end go out together: one send for a short line, so the peer never
  // waits on a lone CR LF held back by the delayed-acknowledgement timer.
  std::string line;
  line.reserve(length + 2);
  line.append(text ? text : "", length);
  line.append("\r\n");
  uint32_t total = 0;
  uint32_t error = 0;
  while (total < line.size()) {
    const int32_t piece = int32_t(std::min<size_t>(line.size() - total, kInetLineBufferSize));
    int32_t n = InetWrite(handle, line.data() + total, piece);
    if (n < 0) {
      error = InetGetLastError();
      break;
    }
    total += uint32_t(n);
  }
  if (sent) *sent = total;
  InetSetLastError(error);
  return error == 0 ? 1 : 0;
}

int32_t InetSetDeadline(SOCKET handle, uint32_t milliseconds) {
  RecordPtr r = FindRecord(handle);
  if (!r) return Fail(cvErrorInvalidHandle, 0);
  uint32_t tick = milliseconds ? plat::GetTickCount() + milliseconds : 0;
  if (milliseconds && tick == 0) tick = 1;
  r->deadlineTick.store(tick);
  return 1;
}
