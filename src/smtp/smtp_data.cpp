// The message data: DATA, line ends made CR LF and lines starting with '.' doubled, sent in
// blocks with progress and cancel; the end of data; and the reset after a cancel.
#include <poll.h>

#include <algorithm>
#include <cstring>
#include <mutex>

#include "mail/sock/mailsock.h"
#include "smtp/smtp_internal.h"

namespace cvsmtp {

namespace {

constexpr uint32_t kPieceSize = 4096;  // input bytes between progress events

// A failed block ends the DATA section: the server cannot tell where the message stopped.
Status DataFailed(SmtpSession& s, Status failure) {
  if (failure.error() == cvErrorOperationCanceled) {
    // A cancelled section is ended by a new connection and a reset; the cancel is the
    // outcome whatever they answer.
    static_cast<void>(Reset(s));
    return failure;
  }
  s.dataOpen = 0;
  return failure;
}

// Where a data entry point ends: a success that sent DATA has read its reply, and leaves
// the last error 0 as every exchange does; one that only sent data leaves it as it was.
int32_t FinishData(const Result<int32_t>& outcome, bool opened) noexcept {
  if (opened && outcome.ok()) return FinishExchange(outcome);
  return Library().Finish(outcome, -1);
}

}  // namespace

Result<int32_t> WriteData(SmtpSession& s, const char* data, uint32_t length) noexcept {
  if (!data && length) return Status(cvErrorInvalidParameter);
  if (s.header.controlSocket == INVALID_SOCKET) return Status(cvErrorConnectionClosed);
  if (!s.senderAccepted) return Status(cvErrorNoReturnAddress);
  if (!s.acceptedRecipients) return Status(cvErrorNoValidRecipients);
  if (!s.dataOpen) {
    const Result<int32_t> r = Command(s, "DATA", nullptr);
    if (!r.ok()) return r;
    if (!Intermediate(r.value())) return Status(cvErrorUnexpectedServerResponse);
    s.dataOpen = 1;
    s.dataWriter.Begin();
  }
  if (length == 0) return 0;

  uint32_t consumed = 0;
  const uint32_t used = s.dataWriter.Convert(data, length, s.commandBuffer, kSmtpCommandSize, consumed);
  SetState(s, cvmail::MailState::Writing);
  Status sent = WaitSocket(s, POLLOUT);
  if (sent.ok()) sent = SendBytes(s, s.commandBuffer, used);
  if (Gone(s)) return Status(cvErrorInvalidHandle);
  SetState(s, cvmail::MailState::Idle);
  if (!sent.ok()) return DataFailed(s, sent);
  return int32_t(consumed);
}

Status SendData(SmtpSession& s, plat::HGLOBAL block, uint32_t length) noexcept {
  const char* text = block ? static_cast<const char*>(plat::GlobalLock(block)) : nullptr;
  if (!text) return Status(cvErrorInvalidParameter);
  struct Unlock {
    plat::HGLOBAL b;
    ~Unlock() { plat::GlobalUnlock(b); }
  } unlock{block};
  const size_t size = plat::GlobalSize(block);
  if (length > size) return Status(cvErrorInvalidParameter);
  if (!length) length = uint32_t(strnlen(text, size));

  // The data goes out with blocking waits: the window's socket events are off meanwhile.
  const HWND window = s.notify.socketWindow;
  const UINT message = s.notify.socketMessage;
  if (window)
    if (const Status unrouted = SelectSocket(s, nullptr, 0); !unrouted.ok()) return unrouted;
  s.messageSize.fetch_add(length);
  Status result;
  if (length == 0) result = WriteData(s, text, 0).status();
  for (uint32_t offset = 0; result.ok() && offset < length;) {
    const uint32_t piece = std::min(kPieceSize, length - offset);
    for (uint32_t done = 0; done < piece;) {
      const Result<int32_t> n = WriteData(s, text + offset + done, piece - done);
      if (!n.ok() || n.value() == 0) {
        result = n.ok() ? Status(cvErrorConnectionClosed) : n.status();
        break;
      }
      done += uint32_t(n.value());
    }
    if (!result.ok() || Gone(s)) break;
    offset += piece;
    SockYieldNoDelay();
    if (s.cancel.load()) {
      // The cancel is the outcome, whatever the reset after it answers.
      static_cast<void>(Reset(s));
      Fire(s, cvmail::kMailEventCancel, cvErrorOperationCanceled);
      result = Status(cvErrorOperationCanceled);
      break;
    }
    s.bytesCopied.fetch_add(piece);
    Fire(s, cvmail::kMailEventProgress, 0);
  }
  if (Gone(s)) return Status(cvErrorInvalidHandle);
  if (window && s.header.controlSocket != INVALID_SOCKET)
    if (const Status routed = SelectSocket(s, window, message); !routed.ok()) return routed;
  return result;
}

Result<int32_t> EndData(SmtpSession& s) noexcept {
  if (!s.dataOpen) return Status(cvErrorInvalidCommandSequence);
  // The end line follows the data's last line end: no empty line is added to the message.
  const char* marker = s.dataWriter.EndMarker();
  const Status sent = SendBytes(s, marker, uint32_t(std::strlen(marker)));
  s.dataOpen = 0;
  if (!sent.ok()) return sent;
  s.replyPending = 1;
  s.endTick.store(TickNow());
  return ReadReply(s);
}

Result<int32_t> Reset(SmtpSession& s) noexcept {
  if (s.timedOut) return Status(cvErrorOperationTimeout);
  s.cancel.store(0);
  s.cancelSignal.Reset();
  if (s.dataOpen)
    if (const Status reconnected = Reconnect(s); !reconnected.ok()) return reconnected;
  return Command(s, "RSET", nullptr);
}

}  // namespace cvsmtp

using namespace cvsmtp;

int32_t SmtpSendData(LibHandle handle, plat::HGLOBAL block, uint32_t length) {
  Operation op(handle);
  if (!op) return -1;
  const bool opening = !op->dataOpen;
  const Status sent = SendData(*op, block, length);
  return FinishData(sent.ok() ? Result<int32_t>(0) : Result<int32_t>(sent), opening);
}

int32_t SmtpWriteData(LibHandle handle, const char* data, uint32_t length) {
  Operation op(handle);
  if (!op) return -1;
  const bool opening = !op->dataOpen;
  return FinishData(WriteData(*op, data, length), opening);
}

int32_t SmtpEndData(LibHandle handle) {
  Operation op(handle);
  if (!op) return -1;
  return FinishExchange(EndData(*op));
}

int32_t SmtpReset(LibHandle handle) {
  Operation op(handle);
  if (!op) return -1;
  return FinishExchange(Reset(*op));
}

int32_t SmtpCancel(LibHandle handle) {
  if (handle == kInvalidLibHandle) return Library().Finish(Status(cvErrorInvalidHandle), 0, -1);
  // Any thread: no owner check, and no operation scope (its count is the owner's). The
  // lock keeps the record in place while the flag is set.
  std::lock_guard lock(Library().lock());
  SmtpSession* s = Library().FindSession(handle);
  if (!s) return -1;
  s->cancel.store(1);
  s->cancelSignal.Set();
  return 0;
}
