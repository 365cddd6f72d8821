// The connection's byte I/O: timed waits with cancel, sending whole blocks, the 64 KB
// receive buffer, and the reader of status lines and multi-line responses (end line,
// dot-unstuffing, line-break mode).
#include <poll.h>
#include <sys/socket.h>

#include <algorithm>
#include <cstring>

#include "mail/sock/mailsock.h"
#include "platform/base/last_error.h"
#include "platform/msg/message.h"
#include "platform/msg/wait.h"
#include "platform/net/wsa_errors.h"
#include "pop3/pop3_internal.h"

namespace cvpop3 {

namespace {

constexpr uint32_t kDefaultTimeoutSeconds = 20;

// Matched prefixes of the end marker "\r\n.\r\n".
enum Terminator : uint32_t { kNone = 0, kCr = 1, kLineStart = 2, kDot = 3, kDotCr = 4 };

bool ReadableNow(Pop3Session& s) noexcept {
  if (!s.received.empty() || Tls::Stream(s).Buffered()) return true;
  pollfd fd{int(s.header.controlSocket), POLLIN, 0};
  return poll(&fd, 1, 0) == 1 && (fd.revents & POLLIN);
}

}  // namespace

uint32_t TimeoutMs(const Pop3Session& s, bool unlimitedWhenZero) noexcept {
  if (s.timeout) return s.timeout * 1000u;
  return unlimitedWhenZero ? plat::INFINITE : kDefaultTimeoutSeconds * 1000u;
}

Status WaitSocket(Pop3Session& s, short events, uint32_t timeoutMs, uint32_t timeoutEvent) noexcept {
  const Status waited =
      SessionCalls::Wait(s, s.header.controlSocket, events, {timeoutMs, timeoutEvent, true}, Fire, [&] { GiveUp(s); });
  // A read canceled mid-reply leaves the session as a stall does: the rest of the reply is
  // still owed, so no command can follow (a QUIT would only wait for it).
  if ((events & POLLIN) && cvcore::IsCanceled(waited.error())) StopExchanges(s);
  return waited;
}

Status WaitOn(Pop3Session& s, SOCKET sock, short events, uint32_t timeoutMs, uint32_t timeoutEvent) noexcept {
  return SessionCalls::Wait(s, sock, events, {timeoutMs, timeoutEvent, true}, Fire, [] {});
}

void GiveUp(Pop3Session& s) noexcept {
  // A server that stalls mid-reply leaves the session where no command can follow (a
  // status line owed, a multi-line response half read): nothing more goes over the
  // connection, and every later call ends at once instead of waiting out its own time-out.
  s.timedOut = 1;
  StopExchanges(s);
}

void StopExchanges(Pop3Session& s) noexcept {
  s.closed = 1;
  s.replyPending = s.multiLine = 0;
  if (s.header.controlSocket != INVALID_SOCKET) shutdown(int(s.header.controlSocket), SHUT_RDWR);
}

uint32_t ClosedError(const Pop3Session& s) noexcept {
  return s.timedOut ? cvErrorOperationTimeout : cvErrorConnectionClosed;
}

bool NonBlockingReads(const Pop3Session& s) noexcept {
  return s.notify.socketWindow && s.multiLine && !s.windowSuspended;
}

bool TlsTraits::WindowMode(Pop3Session& s) { return NonBlockingReads(s); }

bool TlsTraits::Wait(Pop3Session& s, short events) {
  const Status waited = WaitSocket(s, events, TimeoutMs(s, s.multiLine && events == POLLIN), cvmail::kMailEventTimeout);
  if (!waited.ok()) SetError(s, waited.error());
  return waited.ok();
}

Status SendBytes(Pop3Session& s, const char* data, uint32_t length) noexcept {
  if (!cvcore::SendAll(Tls::Stream(s), data, length, cvcore::StreamOrder::TryFirst)) return StreamFailure(s);
  return {};
}

Result<int32_t> FillReceiveBuffer(Pop3Session& s) noexcept {
  if (!s.received.empty()) return int32_t(s.received.size());
  if (s.header.controlSocket == INVALID_SOCKET) return Status(cvErrorConnectionClosed);
  if (s.timedOut) return Status(cvErrorOperationTimeout);
  SetState(s, cvmail::MailState::Reading);
  const bool blocking = !NonBlockingReads(s);
  cvcore::ByteStream& in = Tls::Stream(s);
  // A protected read reports its time-out with the event, a plain one without.
  const uint32_t timeoutEvent = s.tls.active ? uint32_t(cvmail::kMailEventTimeout) : 0u;
  int32_t n;
  for (;;) {
    // A read waits first, unless decrypted bytes are already there.
    if (blocking && !in.Buffered()) {
      if (const Status waited = WaitSocket(s, POLLIN, TimeoutMs(s, s.multiLine), timeoutEvent); !waited.ok()) {
        if (!Gone(s)) SetState(s, cvmail::MailState::Idle);
        return waited;
      }
    }
    n = s.received.Fill(in);
    if (n != cvcore::kStreamWouldBlock) break;
    // In window-message mode the caller hears that nothing is there yet.
    if (!blocking) break;
  }
  if (Gone(s)) return Status(cvErrorInvalidHandle);
  SetState(s, cvmail::MailState::Idle);
  if (n > 0) return n;
  if (n == cvcore::kStreamWouldBlock) return Status(cvErrorOperationWouldBlock);
  if (n < 0) return StreamFailure(s);
  s.closed = 1;
  PostSocketEvent(s, plat::FD_CLOSE);
  return Status(cvErrorConnectionClosed);
}

Result<int32_t> ReadData(Pop3Session& s, char* buffer, int32_t size, Status* cut) noexcept {
  if (!buffer || size <= 0) return Status(cvErrorInvalidParameter);
  if (s.received.empty() && s.pendingCount == 0 && s.closed) return Status(ClosedError(s));
  if (s.responseEnded) return 0;
  const uint32_t room = uint32_t(size);
  uint32_t stored = 0;
  // A byte that no longer fits waits in the held-back bytes for the next call.
  auto put = [&](char c) {
    if (stored < room) buffer[stored++] = c;
    else if (s.pendingCount < sizeof s.pending) s.pending[s.pendingCount++] = c;
  };
  while (s.pendingCount && stored < room) {
    buffer[stored++] = s.pending[0];
    std::move(s.pending + 1, s.pending + s.pendingCount, s.pending);
    --s.pendingCount;
  }
  const bool lineBreaks = (s.options & kPop3OptionLineBreak) != 0;
  bool done = stored == room;
  bool skipping = false;  // dropping the rest of a status line too long for the buffer
  while (!done) {
    if (s.received.empty()) {
      const Result<int32_t> filled = FillReceiveBuffer(s);
      if (!filled.ok()) {
        if (Gone(s)) return filled.status();
        const uint32_t e = filled.error();
        // What was stored is handed out; so is it when a non-blocking read finds nothing
        // more yet (the window is told when more arrives).
        if (stored > 0 && (e == cvErrorConnectionClosed || e == cvErrorOperationTimeout ||
                           e == (kCvErrorBase | plat::WSAEWOULDBLOCK))) {
          if (cut) *cut = filled.status();
          break;
        }
        return filled.status();
      }
    }
    const char* in = s.received.data();
    const uint32_t count = s.received.size();
    uint32_t used = 0;
    if (!s.multiLine) {
      while (used < count) {
        const char c = in[used++];
        if (!skipping) {
          buffer[stored++] = c;
          if (c != '\n' && stored == room) skipping = true;
        }
        if (c == '\n') {
          done = true;
          break;
        }
      }
    } else {
      while (used < count && !done && stored < room) {
        if (s.terminatorState == kNone) {
          // Inside a line only a CR can start the end marker: the text up to it goes as it is.
          const uint32_t avail = std::min(count - used, room - stored);
          const void* cr = std::memchr(in + used, '\r', avail);
          const uint32_t run = cr ? uint32_t(static_cast<const char*>(cr) - (in + used)) : avail;
          std::memcpy(buffer + stored, in + used, run);
          stored += run;
          used += run;
          if (!cr) continue;
        }
        const char c = in[used++];
        switch (s.terminatorState) {
          case kLineStart:
            if (c == '.') {
              s.terminatorState = kDot;
              break;
            }
            [[fallthrough]];
          case kNone:
            put(c);
            s.terminatorState = c == '\r' ? kCr : kNone;
            break;
          case kDot:
            if (c == '\r') {
              s.terminatorState = kDotCr;
              break;
            }
            put(c);  // a stuffed line: the leading dot goes, the rest stays
            s.terminatorState = kNone;
            break;
          case kDotCr:
            if (c == '\n') {  // the end line: not stored
              s.multiLine = 0;
              s.responseEnded = 1;
              s.terminatorState = kNone;
              done = true;
              break;
            }
            put('\r');
            [[fallthrough]];
          case kCr:
            put(c);
            if (c == '\n') {
              s.terminatorState = kLineStart;
              if (lineBreaks) done = true;
            } else {
              s.terminatorState = c == '\r' ? kCr : kNone;
            }
            break;
        }
      }
      if (stored == room) done = true;
    }
    s.received.Consume(used);
  }
  if (s.multiLine && NonBlockingReads(s) && ReadableNow(s)) PostSocketEvent(s, plat::FD_READ);
  if (!s.replyPending) s.bytesCopied.fetch_add(stored);
  return int32_t(stored);
}

}  // namespace cvpop3

using namespace cvpop3;

int32_t Pop3FillReceiveBuffer(LibHandle handle) {
  Operation op(handle);
  if (!op) return -1;
  return Finish(FillReceiveBuffer(*op));
}

int32_t Pop3ReadData(LibHandle handle, char* buffer, int32_t size) {
  Operation op(handle);
  if (!op) return -1;
  Status cut;
  const Result<int32_t> read = ReadData(*op, buffer, size, &cut);
  return FinishRead(read, cut);
}

int32_t Pop3Cancel(LibHandle handle) {
  if (handle == kInvalidLibHandle) return Finish(Status(cvErrorOperationNotBlocking));
  // Any thread: no owner check, and no operation scope (its count is the owner's).
  Pop3Session* s = Library().FindSession(handle);
  if (!s) return -1;
  s->cancel.store(1);
  s->cancelSignal.Set();
  return 0;
}
