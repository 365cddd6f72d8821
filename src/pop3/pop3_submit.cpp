// Submitting a message through the POP3 server with XTND XMIT: the text goes out in pieces
// with its line ends made CR LF and leading dots doubled (a "." line in the text must not
// end the submission and turn the lines after it into commands), with a progress event
// after each piece and a cancel check, then the end line.
#include <cstring>
#include <memory>
#include <vector>

#include "mail/common/mail_dot_stuff.h"

#include "mail/sock/mailsock.h"
#include "pop3/pop3_control.h"
#include "pop3/pop3_internal.h"

namespace cvpop3 {
namespace {

constexpr uint32_t kPiece = 4096;

// Suspends window-message mode for the submission and restores it afterwards.
class WindowModePause {
 public:
  Status Pause(Pop3Session& s) {
    window_ = s.notify.socketWindow;
    message_ = s.notify.socketMessage;
    return window_ ? SelectSocket(s, nullptr, 0) : Status();
  }
  Status Restore(Pop3Session& s) { return window_ ? SelectSocket(s, window_, message_) : Status(); }

 private:
  HWND window_ = nullptr;
  UINT message_ = 0;
};

Status Submit(Pop3Session& s, const char* text, uint32_t length) {
  // A server without the extension answers "-ERR": the text must not follow, or the
  // server would take its lines for commands.
  if (const Status taken = Accepted(SendCommand(s, "XTND XMIT", nullptr), cvErrorOperationNotSupported); !taken.ok())
    return GoneOr(s, taken);
  s.bytesCopied.store(0);
  cvmail::DotStuffer writer;
  writer.Begin();
  std::vector<char> out(kPiece * cvmail::DotStuffer::kMaxExpansion);
  for (uint32_t sent = 0; sent < length;) {
    const uint32_t piece = std::min(kPiece, length - sent);
    uint32_t consumed = 0;
    const int32_t used = int32_t(writer.Convert(text + sent, piece, out.data(), uint32_t(out.size()), consumed));
    if (const Result<int32_t> written = Write(s, out.data(), used); !written.ok()) return written.status();
    sent += consumed;
    SockYieldNoDelay();
    if (Gone(s)) return Status(cvErrorInvalidHandle);
    if (s.cancel.load()) {
      s.cancel.store(0);
      s.cancelSignal.Reset();
      // The cancel is the outcome, whatever the reset after it answers.
      static_cast<void>(ResetMailbox(s));
      Fire(s, cvmail::kMailEventCancel, cvErrorOperationCanceled);
      return Status(cvErrorOperationCanceled);
    }
    Fire(s, cvmail::kMailEventProgress, 0);
    if (Gone(s)) return Status(cvErrorInvalidHandle);
  }
  const char* end = writer.EndMarker();
  if (const Result<int32_t> written = Write(s, end, int32_t(std::strlen(end))); !written.ok()) return written.status();
  s.replyPending = 1;
  const Result<int32_t> answer = ReadReply(s);
  if (Gone(s)) return Status(cvErrorInvalidHandle);
  // "+OK" and "-ERR" both end the submission; the status stays for the host to read.
  return answer.status();
}

}  // namespace
}  // namespace cvpop3

using namespace cvpop3;

int32_t Pop3SendMessage(LibHandle handle, const char* text, uint32_t length) {
  Operation op(handle);
  if (!op) return -1;
  Pop3Session& s = *op;
  WindowModePause pause;
  if (const Status paused = pause.Pause(s); !paused.ok()) return Finish(paused);
  Status outcome(cvErrorInvalidParameter);
  if (text) {
    if (length == 0) length = uint32_t(std::strlen(text));
    // The submission works on its own copy of the text.
    plat::UniqueGlobal copy(plat::GlobalAlloc(plat::GMEM_FIXED | plat::GMEM_ZEROINIT, size_t(length) + 1));
    if (!copy) {
      outcome = Status(cvErrorOutOfMemory);
    } else {
      char* data = static_cast<char*>(plat::GlobalLock(copy.get()));
      std::memcpy(data, text, length);
      outcome = Submit(s, data, length);
      plat::GlobalUnlock(copy.get());
    }
  }
  if (!Gone(s))
    if (const Status restored = pause.Restore(s); !restored.ok()) return Finish(restored);
  return FinishExchange(outcome.ok() ? Result<int32_t>(0) : Result<int32_t>(outcome));
}
