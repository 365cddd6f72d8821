// Submitting a message through the POP3 server with XTND XMIT: the text goes out unchanged
// in pieces, with a progress event after each and a cancel check, then the end line.
#include <cstring>
#include <memory>

#include "mailsock/mailsock.h"
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
  for (uint32_t sent = 0; sent < length;) {
    const int32_t piece = int32_t(std::min(kPiece, length - sent));
    if (Pop3Write(h, text + sent, piece) != piece) return -1;
    sent += uint32_t(piece);
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
  static constexpr char kEnd[] = "\r\n.\r\n";
  if (Pop3Write(h, kEnd, int32_t(sizeof kEnd - 1)) < 0) return -1;
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
