// The connection's byte I/O: timed waits with cancel, sending whole blocks, the 64 KB
// receive buffer with the line and literal reader (reads of up to 8 KB), the literal
// writer, cancel and the progress record of a transfer.
#include <poll.h>
#include <sys/socket.h>

#include <algorithm>
#include <cstring>

#include "imap/imap_internal.h"
#include "mail/common/mail_transfer.h"
#include "mail/sock/mailsock.h"
#include "platform/base/last_error.h"
#include "platform/msg/message.h"
#include "platform/msg/wait.h"
#include "platform/net/wsa_errors.h"

namespace cvimap {

namespace {

bool ReadableNow(ImapSession& s) noexcept {
  if (Buffered(s)) return true;
  pollfd fd{int(s.header.controlSocket), POLLIN, 0};
  return poll(&fd, 1, 0) == 1 && (fd.revents & POLLIN);
}

}  // namespace

uint32_t TimeoutMs(const ImapSession& s) noexcept { return (s.timeout ? s.timeout : 20) * 1000u; }

Status WaitSocket(ImapSession& s, short events, uint32_t timeoutEvent) noexcept {
  // The IDLE thread does not answer a cancel meant for the owner's call.
  const bool watchCancel = !OnIdleThread(s);
  return SessionCalls::Wait(s, s.header.controlSocket, events, {TimeoutMs(s), timeoutEvent, watchCancel}, Fire,
                            [&] { GiveUp(s); });
}

void GiveUp(ImapSession& s) noexcept {
  // A server that stalls mid-response leaves the session where no command can follow (a
  // literal half read, a reply owed): nothing more goes over the connection, and every
  // later call ends at once instead of waiting out its own time-out.
  s.timedOut = 1;
  s.closed = 1;
  s.literalOpen = s.literalTail = s.literalExpected = 0;
  s.untaggedMode = s.responsePending = 0;
  if (s.header.controlSocket != INVALID_SOCKET) shutdown(int(s.header.controlSocket), SHUT_RDWR);
}

uint32_t ClosedError(const ImapSession& s) noexcept {
  return s.timedOut ? cvErrorOperationTimeout : cvErrorConnectionClosed;
}

bool NonBlockingReads(const ImapSession& s) noexcept { return s.notify.socketWindow && !s.windowSuspended; }

bool TlsTraits::WindowMode(ImapSession& s) { return NonBlockingReads(s); }

bool TlsTraits::Wait(ImapSession& s, short events) {
  const Status waited = WaitSocket(s, events, cvmail::kMailEventTimeout);
  if (!waited.ok()) SetError(s, waited.error());
  return waited.ok();
}

bool Buffered(ImapSession& s) noexcept { return !s.received.empty() || Tls::Stream(s).Buffered(); }

Status SendBytes(ImapSession& s, const char* data, uint32_t length) noexcept {
  if (s.header.controlSocket == INVALID_SOCKET) return Status(cvErrorConnectionClosed);
  if (!cvcore::SendAll(Tls::Stream(s), data, length, cvcore::StreamOrder::TryFirst)) return StreamFailure(s);
  return {};
}

Result<int32_t> FillReceiveBuffer(ImapSession& s) noexcept {
  if (!s.received.empty()) return int32_t(s.received.size());
  if (s.header.controlSocket == INVALID_SOCKET) return Status(cvErrorConnectionClosed);
  if (s.closed) return Status(ClosedError(s));
  SetState(s, cvmail::MailState::Reading);
  cvcore::ByteStream& in = Tls::Stream(s);
  // A protected read reports its time-out with the event, a plain one without.
  const uint32_t timeoutEvent = s.tls.active ? uint32_t(cvmail::kMailEventTimeout) : 0u;
  const auto idleAfter = [&](Status failure) {
    if (!Gone(s)) SetState(s, cvmail::MailState::Idle);
    return failure;
  };
  int32_t n = 0;
  for (;;) {
    // A read waits first, unless decrypted bytes are already there.
    if (!NonBlockingReads(s) && !in.Buffered())
      if (const Status waited = WaitSocket(s, POLLIN, timeoutEvent); !waited.ok()) return idleAfter(waited);
    n = s.received.Fill(in);
    if (n >= 0) break;
    // In window-message mode a read outside a literal waits for its line; inside a
    // literal the caller hears that nothing is there yet (the window is told later). A
    // blocking read waits again (a TLS record may have come only in part).
    if (n == -1) return idleAfter(StreamFailure(s));
    if (s.literalOpen && NonBlockingReads(s)) return idleAfter(Status(cvErrorOperationWouldBlock));
    if (const Status waited = WaitSocket(s, POLLIN, timeoutEvent); !waited.ok()) return waited;
  }
  if (Gone(s)) return Status(cvErrorInvalidHandle);
  SetState(s, cvmail::MailState::Idle);
  if (n > 0) return n;
  s.closed = 1;
  PostSocketEvent(s, plat::FD_CLOSE);
  return Status(cvErrorConnectionClosed);
}

Result<int32_t> ReadData(ImapSession& s, char* buffer, Status* note) noexcept {
  if (!buffer) return Status(cvErrorInvalidParameter);
  if (s.literalOpen && s.literalRead.load() >= s.literalSize.load()) {
    // The literal is done: what follows is the rest of its response and the completion.
    s.literalOpen = 0;
    s.literalTail = 1;
    const Result<int32_t> id = ReadResponse(s);
    if (!id.ok()) return id;
    // An unknown line here means the literal's length was wrong: the text is not whole.
    if (const uint32_t refused = ResponseError(id.value())) return Status(refused);
    if (note) *note = Status(cvErrorEndofMessageData);
    return 0;
  }
  if (!Buffered(s) && s.closed) return Status(ClosedError(s));
  const bool literal = s.literalOpen && !s.lineMode;
  uint32_t stored = 0;
  for (;;) {
    if (const Result<int32_t> filled = FillReceiveBuffer(s); !filled.ok()) {
      // What arrived is handed out; the error comes next time.
      if (stored > 0 && !Gone(s)) {
        if (note) *note = filled.status();
        break;
      }
      return filled.status();
    }
    const char* in = s.received.data();
    uint32_t take = std::min(s.received.size(), kImapReadSize - stored);
    bool done = false;
    if (literal) {
      const uint32_t left = s.literalSize.load() - s.literalRead.load();
      if (take >= left) {
        take = left;
        done = true;
      }
    } else if (const void* lf = std::memchr(in, '\n', take)) {
      take = uint32_t(static_cast<const char*>(lf) - in) + 1;
      done = true;
    }
    std::memcpy(buffer + stored, in, take);
    stored += take;
    s.received.Consume(take);
    if (s.literalOpen) s.literalRead.fetch_add(take);
    if (done || stored == kImapReadSize) break;
  }
  if (NonBlockingReads(s) && ReadableNow(s)) PostSocketEvent(s, plat::FD_READ);
  return int32_t(stored);
}

Result<int32_t> ReadLine(ImapSession& s, char* line, uint32_t size, const LineOverflow& overflow) noexcept {
  uint32_t stored = 0;
  for (;;) {
    if (const Result<int32_t> filled = FillReceiveBuffer(s); !filled.ok()) return filled;
    const std::string_view piece = s.received.PeekLine();
    const char* in = piece.data();
    const uint32_t take = uint32_t(piece.size());
    const bool lf = piece.back() == '\n';
    const uint32_t keep = std::min(take, size - 1 - stored);
    std::memcpy(line + stored, in, keep);
    stored += keep;
    if (keep < take && overflow) overflow(std::string_view(line, stored), piece.substr(keep));
    s.received.Consume(take);
    if (lf) break;
  }
  while (stored > 0 && (line[stored - 1] == '\n' || line[stored - 1] == '\r')) --stored;
  line[stored] = '\0';
  return int32_t(stored);
}

Status ReadRaw(ImapSession& s, char* out, uint64_t count) noexcept {
  while (count > 0) {
    if (const Result<int32_t> filled = FillReceiveBuffer(s); !filled.ok()) return filled.status();
    const uint32_t take = uint32_t(std::min<uint64_t>(count, s.received.size()));
    if (out) out += s.received.Take(out, take);
    else s.received.Consume(take);
    count -= take;
  }
  return {};
}

Result<int32_t> WriteData(ImapSession& s, const char* data, uint32_t length) noexcept {
  if (s.responsePending) return Status(cvErrorOperationInProgress);
  if (!data) return Status(cvErrorInvalidParameter);
  SetState(s, cvmail::MailState::Writing);
  if (!NonBlockingReads(s))
    if (const Status waited = WaitSocket(s, POLLOUT, cvmail::kMailEventTimeout); !waited.ok()) {
      if (!Gone(s)) SetState(s, cvmail::MailState::Idle);
      return waited;
    }
  s.busy.store(1);
  const Status sent = SendBytes(s, data, length);
  s.busy.store(0);
  if (!Gone(s)) SetState(s, cvmail::MailState::Idle);
  if (!sent.ok()) return sent;
  return int32_t(length);
}

}  // namespace cvimap

using namespace cvimap;

int32_t ImapReadData(LibHandle handle, char* buffer) {
  Operation op(handle);
  if (!op) return -1;
  Status note;
  const Result<int32_t> read = ReadData(*op, buffer, &note);
  return FinishRead(read, note);
}

int32_t ImapWriteData(LibHandle handle, const char* data, int32_t length) {
  Operation op(handle);
  if (!op) return -1;
  if (length < 0) return Finish(Status(cvErrorInvalidParameter));
  return Finish(WriteData(*op, data, uint32_t(length)));
}

int32_t ImapCancel(LibHandle handle) {
  if (handle == kInvalidLibHandle) return Finish(Status(cvErrorOperationNotBlocking));
  // Any thread: no owner check, and no operation scope (its count is the owner's).
  ImapSession* s = Library().FindSession(handle);
  if (!s) return -1;
  if (s->idleThread.load()) {
    // A waiting IDLE call ends with the cancel; the IDLE of a call that returned at once
    // goes on (the owner's next command ends it).
    if (s->idleOptions & mailIdleWait) {
      s->cancel.store(1);
      s->idleState.store(kImapIdleStopRequested);
      s->idleStop.Set();
      s->idleChanged.Set();
    }
    return 0;
  }
  s->cancel.store(1);
  s->cancelSignal.Set();
  return 0;
}

int32_t ImapGetTransferStatus(LibHandle handle, MessageTransferStatus* status) {
  // Any thread: the transfer runs on the owner's.
  ImapSession* s = Library().FindSession(handle);
  if (!s) return -1;
  if (!status) return Finish(Status(cvErrorInvalidParameter));
  *status = MessageTransferStatus{};
  status->message = s->appendRunning.load() ? 0 : s->currentMessage.load();
  status->copied = s->literalRead.load();
  status->size = std::max(s->literalSize.load(), status->copied);
  const uint32_t start = s->startTick.load();
  if (!start) return 1;
  cvmail::TransferTiming(start, s->endTick.load(), status->copied, status->size, status->elapsed, status->rate,
                         status->left);
  return 0;
}
