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
int32_t DataFailed(SmtpSession& s) {
  const uint32_t error = LastError();
  if (error == cvErrorOperationCanceled) {
    Reset(s);
    return Fail(cvErrorOperationCanceled);
  }
  s.dataOpen = 0;
  return Fail(error ? error : cvErrorConnectionClosed);
}

}  // namespace

int32_t WriteData(SmtpSession& s, const char* data, uint32_t length) noexcept {
  if (!data && length) return Fail(cvErrorInvalidParameter);
  if (s.header.controlSocket == INVALID_SOCKET) return Fail(cvErrorConnectionClosed);
  if (!s.senderAccepted) return Fail(cvErrorNoReturnAddress);
  if (!s.acceptedRecipients) return Fail(cvErrorNoValidRecipients);
  if (!s.dataOpen) {
    const int32_t r = Command(s, "DATA", nullptr);
    if (r < 0) return -1;
    if (!Intermediate(r)) return Fail(cvErrorUnexpectedServerResponse);
    s.dataOpen = 1;
    s.dataWriter.Begin();
  }
  if (length == 0) return 0;

  uint32_t consumed = 0;
  const uint32_t used = s.dataWriter.Convert(data, length, s.commandBuffer, kSmtpCommandSize, consumed);
  SetState(s, cvmail::MailState::Writing);
  const bool sent = WaitSocket(s, POLLOUT) && SendBytes(s, s.commandBuffer, used);
  if (Gone(s)) return Fail(cvErrorInvalidHandle);
  SetState(s, cvmail::MailState::Idle);
  if (!sent) return DataFailed(s);
  return int32_t(consumed);
}

int32_t SendData(SmtpSession& s, plat::HGLOBAL block, uint32_t length) noexcept {
  const char* text = block ? static_cast<const char*>(plat::GlobalLock(block)) : nullptr;
  if (!text) return Fail(cvErrorInvalidParameter);
  struct Unlock {
    plat::HGLOBAL b;
    ~Unlock() { plat::GlobalUnlock(b); }
  } unlock{block};
  const size_t size = plat::GlobalSize(block);
  if (length > size) return Fail(cvErrorInvalidParameter);
  if (!length) length = uint32_t(strnlen(text, size));

  // The data goes out with blocking waits: the window's socket events are off meanwhile.
  const HWND window = s.notify.socketWindow;
  const UINT message = s.notify.socketMessage;
  if (window && SelectSocket(s, nullptr, 0) != 0) return -1;
  s.messageSize.fetch_add(length);
  int32_t result = 0;
  if (length == 0) result = WriteData(s, text, 0);
  for (uint32_t offset = 0; result == 0 && offset < length;) {
    const uint32_t piece = std::min(kPieceSize, length - offset);
    for (uint32_t done = 0; done < piece;) {
      const int32_t n = WriteData(s, text + offset + done, piece - done);
      if (n <= 0) {
        result = n < 0 ? -1 : FailUnlessSet(cvErrorConnectionClosed);
        break;
      }
      done += uint32_t(n);
    }
    if (result != 0 || Gone(s)) break;
    offset += piece;
    SockYieldNoDelay();
    if (s.cancel.load()) {
      Reset(s);
      Fail(cvErrorOperationCanceled);
      Fire(s, cvmail::kMailEventCancel, cvErrorOperationCanceled);
      result = Fail(cvErrorOperationCanceled);
      break;
    }
    s.bytesCopied.fetch_add(piece);
    Fire(s, cvmail::kMailEventProgress, 0);
  }
  if (Gone(s)) return Fail(cvErrorInvalidHandle);
  if (window && s.header.controlSocket != INVALID_SOCKET) {
    const uint32_t kept = LastError();
    if (SelectSocket(s, window, message) != 0) return -1;
    Library().SetLastError(kept);
  }
  return result;
}

int32_t EndData(SmtpSession& s) noexcept {
  if (!s.dataOpen) return Fail(cvErrorInvalidCommandSequence);
  // The end line follows the data's last line end: no empty line is added to the message.
  const char* marker = s.dataWriter.EndMarker();
  const bool sent = SendBytes(s, marker, uint32_t(std::strlen(marker)));
  s.dataOpen = 0;
  if (!sent) return -1;
  s.replyPending = 1;
  s.endTick.store(TickNow());
  return ReadReply(s);
}

int32_t Reset(SmtpSession& s) noexcept {
  if (s.timedOut) return Fail(cvErrorOperationTimeout);
  s.cancel.store(0);
  s.cancelSignal.Reset();
  if (s.dataOpen && Reconnect(s) != 0) return -1;
  return Command(s, "RSET", nullptr);
}

}  // namespace cvsmtp

using namespace cvsmtp;

int32_t SmtpSendData(LibHandle handle, plat::HGLOBAL block, uint32_t length) {
  Operation op(handle);
  if (!op) return -1;
  return SendData(*op, block, length);
}

int32_t SmtpWriteData(LibHandle handle, const char* data, uint32_t length) {
  Operation op(handle);
  if (!op) return -1;
  return WriteData(*op, data, length);
}

int32_t SmtpEndData(LibHandle handle) {
  Operation op(handle);
  if (!op) return -1;
  return EndData(*op);
}

int32_t SmtpReset(LibHandle handle) {
  Operation op(handle);
  if (!op) return -1;
  return Reset(*op);
}

int32_t SmtpCancel(LibHandle handle) {
  if (handle == kInvalidLibHandle) return Fail(cvErrorInvalidHandle);
  // Any thread: no owner check, and no operation scope (its count is the owner's). The
  // lock keeps the record in place while the flag is set.
  std::lock_guard lock(Library().lock());
  SmtpSession* s = Library().FindSession(handle);
  if (!s) return -1;
  s->cancel.store(1);
  s->cancelSignal.Set();
  return 0;
}
