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
  explicit WindowModePause(LibHandle handle) : handle_(handle) {}
  int32_t Pause(Pop3Session& s) {
    window_ = s.notify.socketWindow;
    message_ = s.notify.socketMessage;
    return window_ ? SelectSocket(s, nullptr, 0) : 0;
  }
  // 0, or -1 with the error.
  int32_t Restore() {
    if (!window_) return 0;
    Operation op(handle_);
    if (!op) return -1;
    return SelectSocket(*op, window_, message_);
  }

 private:
  LibHandle handle_;
  HWND window_ = nullptr;
  UINT message_ = 0;
};

int32_t Submit(Pop3Session& s, const char* text, uint32_t length) {
  const LibHandle h = s.header.handle;
  if (SendCommand(s, "XTND XMIT", nullptr) != 1) {
    if (Gone(s)) return Fail(cvErrorInvalidHandle);
    // A server without the extension answers "-ERR": the text must not follow, or the
    // server would take its lines for commands.
    return Fail(LastError() ? LastError() : cvErrorOperationNotSupported);
  }
  s.bytesCopied.store(0);
  cvmail::DotStuffer writer;
  writer.Begin();
  std::vector<char> out(kPiece * cvmail::DotStuffer::kMaxExpansion);
  for (uint32_t sent = 0; sent < length;) {
    const uint32_t piece = std::min(kPiece, length - sent);
    uint32_t consumed = 0;
    const int32_t used = int32_t(writer.Convert(text + sent, piece, out.data(), uint32_t(out.size()), consumed));
    if (Pop3Write(h, out.data(), used) != used) return -1;
    sent += consumed;
    SockYieldNoDelay();
    if (Gone(s)) return Fail(cvErrorInvalidHandle);
    if (s.cancel.load()) {
      s.cancel.store(0);
      s.cancelSignal.Reset();
      Pop3Reset(h);
      Fail(cvErrorOperationCanceled);
      Fire(s, cvmail::kMailEventCancel, cvErrorOperationCanceled);
      return Fail(cvErrorOperationCanceled);
    }
    Fire(s, cvmail::kMailEventProgress, 0);
    if (Gone(s)) return Fail(cvErrorInvalidHandle);
  }
  const char* end = writer.EndMarker();
  if (Pop3Write(h, end, int32_t(std::strlen(end))) < 0) return -1;
  s.replyPending = 1;
  ReadReply(s);
  if (Gone(s)) return Fail(cvErrorInvalidHandle);
  // "+OK" and "-ERR" both end the submission; the status stays for the host to read.
  return LastError() ? -1 : 0;
}

}  // namespace
}  // namespace cvpop3

using namespace cvpop3;

int32_t Pop3SendMessage(LibHandle handle, const char* text, uint32_t length) {
  Operation op(handle);
  if (!op) return -1;
  Pop3Session& s = *op;
  WindowModePause pause(handle);
  if (pause.Pause(s) != 0) return -1;
  int32_t result = -1;
  if (!text) {
    Fail(cvErrorInvalidParameter);
  } else {
    if (length == 0) length = uint32_t(std::strlen(text));
    // The submission works on its own copy of the text.
    plat::UniqueGlobal copy(plat::GlobalAlloc(plat::GMEM_FIXED | plat::GMEM_ZEROINIT, size_t(length) + 1));
    if (!copy) {
      Fail(cvErrorOutOfMemory);
    } else {
      char* data = static_cast<char*>(plat::GlobalLock(copy.get()));
      std::memcpy(data, text, length);
      result = Submit(s, data, length);
      plat::GlobalUnlock(copy.get());
    }
  }
  const uint32_t error = LastError();
  if (!Gone(s) && pause.Restore() != 0) return -1;
  Library().SetLastError(error);
  return result;
}
