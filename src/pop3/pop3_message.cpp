// Reading messages: opening a message (RETR, or TOP for the headers), draining it, reading
// it whole into a global memory block handed to the caller, a file or the clipboard, and
// the progress record of the read.
#include <fcntl.h>
#include <unistd.h>

#include <algorithm>
#include <cstdio>
#include <cstring>
#include <string>

#include "mailtls/mail_store.h"
#include "mailtls/mail_transfer.h"
#include "platform/base/tick.h"
#include "platform/base/utf.h"
#include "pop3/pop3_internal.h"

namespace cvpop3 {

namespace {

constexpr uint32_t kStep = 4096;
// Bytes a message may run over its LIST size (servers count sizes in slightly different
// ways) before the read is given up.
constexpr uint64_t kRetrievalMargin = 64 * 1024;

// Restores what a retrieval changes for its own duration.
class RetrievalScope {
 public:
  explicit RetrievalScope(Pop3Session& s) noexcept
      : s_(s), suspended_(s.windowSuspended), options_(s.options), retrieving_(s.retrieving) {
    s.windowSuspended = 1;
    s.options &= ~kPop3OptionLineBreak;
    s.retrieving = 1;
  }
  ~RetrievalScope() {
    s_.windowSuspended = suspended_;
    s_.options = (s_.options & ~kPop3OptionLineBreak) | (options_ & kPop3OptionLineBreak);
    s_.retrieving = retrieving_;
  }

 private:
  Pop3Session& s_;
  uint32_t suspended_, options_, retrieving_;
};

uint32_t StartTickNow() noexcept {
  const uint32_t t = plat::GetTickCount();
  return t ? t : 1;  // 0 means "not started"
}

// Hands the text over as the caller asked. Frees or hands on the block.
int32_t HandOver(plat::HGLOBAL block, uint32_t textLength, void* buffer, uint32_t* length, uint32_t flags) noexcept {
  plat::UniqueGlobal owned(block);
  const char* text = static_cast<const char*>(plat::GlobalLock(block));
  const bool unicode = flags & kPop3ReadUnicode;
  std::u16string wide;
  if (unicode) wide = plat::ToUtf16(std::string_view(text, textLength));
  plat::GlobalUnlock(block);
  if (*length > 0) {
    if (unicode) {
      const uint32_t n = std::min<uint32_t>(*length, uint32_t(wide.size()));
      std::memcpy(buffer, wide.data(), n * sizeof(char16_t));
      *length = n;
    } else {
      const uint32_t n = std::min(*length, textLength);
      text = static_cast<const char*>(plat::GlobalLock(block));
      std::memcpy(buffer, text, n);
      plat::GlobalUnlock(block);
      *length = n;
    }
    return 0;
  }
  if (!unicode) {
    *static_cast<plat::HGLOBAL*>(buffer) = owned.release();
    *length = textLength;
    return 0;
  }
  plat::HGLOBAL out = plat::GlobalAlloc(plat::GMEM_FIXED | plat::GMEM_ZEROINIT, wide.size() * 2 + 2);
  if (!out) return Fail(cvErrorOutOfMemory);
  std::memcpy(plat::GlobalLock(out), wide.data(), wide.size() * sizeof(char16_t));
  plat::GlobalUnlock(out);
  *static_cast<plat::HGLOBAL*>(buffer) = out;
  *length = uint32_t(wide.size());
  return 0;
}

}  // namespace

int32_t OpenMessage(Pop3Session& s, uint32_t message, uint32_t flags) noexcept {
  if (message == 0) return Fail(cvErrorInvalidMessageNumber);
  if (!s.loggedIn) return Fail(cvErrorAuthenticationRequired);
  if (s.replyPending || s.multiLine) return Fail(cvErrorOperationInProgress);
  const int32_t size = GetMessageSize(s, message);
  if (size < 0) return -1;
  char uid[kPop3UidSize] = "";
  if (GetMessageUid(s, message, uid, sizeof uid) < 0) {
    // A server without UIDL still serves the message.
    if (Gone(s) || s.header.controlSocket == INVALID_SOCKET || s.closed) return -1;
    uid[0] = '\0';
  }
  char argument[32];
  const bool headers = flags & kPop3ReadHeadersOnly;
  std::snprintf(argument, sizeof argument, headers ? "%u 0" : "%u", message);
  if (SendCommand(s, headers ? "TOP" : "RETR", argument) != 1)
    return Fail(LastError() ? LastError() : cvErrorInvalidMessageNumber);
  s.bytesCopied.store(0);
  s.currentMessage.store(message);
  s.currentSize.store(uint32_t(size));
  std::memcpy(s.currentUid, uid, sizeof uid);
  s.multiLine = 1;
  s.responseEnded = 0;
  s.terminatorState = 2;  // the status line's line end counts
  s.endTick.store(0);
  s.startTick.store(StartTickNow());
  if (s.notify.socketWindow && !s.windowSuspended) PostSocketEvent(s, plat::FD_READ);
  ClearError();
  return 0;
}

namespace {
uint64_t RetrievalLimit(uint64_t announced) noexcept { return announced + announced / 4 + kRetrievalMargin; }
}  // namespace

int32_t CloseMessage(Pop3Session& s) noexcept {
  int32_t result = 0;
  if (s.multiLine && !s.responseEnded) {
    const uint32_t suspended = s.windowSuspended;
    s.windowSuspended = 1;
    char block[kStep];
    int32_t n = 0;
    do {
      n = ReadData(s, block, int32_t(sizeof block));
    } while (n > 0 && !Gone(s));
    s.windowSuspended = suspended;
    if (n < 0) result = -1;
  }
  s.endTick.store(StartTickNow());
  if (result == 0) ClearError();
  return result;
}

int32_t RetrieveMessage(Pop3Session& s, uint32_t message, void* buffer, uint32_t* length, uint32_t flags) noexcept {
  if (message == 0) return Fail(cvErrorInvalidMessageNumber);
  if (s.retrievalBlock) return Fail(cvErrorOperationInProgress);
  if (!buffer || !length) return Fail(cvErrorInvalidParameter);
  // A failed read leaves no stale handle behind.
  if (*length == 0) *static_cast<plat::HGLOBAL*>(buffer) = nullptr;
  RetrievalScope scope(s);
  if (OpenMessage(s, message, flags) != 0) return -1;
  const bool headers = flags & kPop3ReadHeadersOnly;
  const uint64_t expected = headers ? kStep : s.currentSize.load();
  // What the server announced bounds what is kept: a server that sends far more than its
  // LIST size does not get to fill the memory.
  const uint64_t limit = RetrievalLimit(s.currentSize.load());
  uint64_t capacity = (std::min(expected, limit) / kStep + 2) * kStep;
  s.retrievalBlock = plat::GlobalAlloc(plat::GHND, size_t(capacity));
  if (!s.retrievalBlock) return Fail(cvErrorOutOfMemory);
  uint64_t used = 0;
  uint32_t error = 0;
  for (;;) {
    if (used > limit) {
      // The rest cannot be read away in reasonable time or memory: the session is given up.
      GiveUp(s);
      error = cvErrorInvalidmessageSize;
      break;
    }
    if (capacity - used < kStep) {
      const uint64_t bigger = std::min(std::max(capacity * 2, capacity + kStep), limit + 2 * kStep);
      if (bigger > 0xFFFFFFFFu || !plat::GlobalReAlloc(s.retrievalBlock, size_t(bigger), plat::GHND)) {
        error = cvErrorOutOfMemory;
        break;
      }
      capacity = bigger;
    }
    char* data = static_cast<char*>(plat::GlobalLock(s.retrievalBlock));
    const int32_t n = ReadData(s, data + used, int32_t(kStep));
    plat::GlobalUnlock(s.retrievalBlock);
    if (n < 0) {
      error = LastError();
      break;
    }
    if (n == 0) break;
    used += uint32_t(n);
    if (!headers) Fire(s, cvmail::kMailEventProgress, 0);
    if (Gone(s)) {
      error = cvErrorInvalidHandle;
      break;
    }
  }
  if (!error && CloseMessage(s) != 0) error = LastError();
  if (error) s.endTick.store(StartTickNow());
  plat::HGLOBAL block = s.retrievalBlock;
  s.retrievalBlock = nullptr;
  if (error || used == 0) {
    plat::GlobalFree(block);
    if (*length == 0) *static_cast<plat::HGLOBAL*>(buffer) = nullptr;
    *length = 0;
    return error ? Fail(error) : 0;
  }
  // The text ends with a NUL: the block keeps one zero byte behind it.
  plat::GlobalReAlloc(block, size_t(used + 1), plat::GHND);
  return HandOver(block, uint32_t(used), buffer, length, flags);
}

}  // namespace cvpop3

using namespace cvpop3;

int32_t Pop3OpenMessage(LibHandle handle, uint32_t message, uint32_t flags) {
  Operation op(handle);
  if (!op) return -1;
  return OpenMessage(*op, message, flags);
}

int32_t Pop3CloseMessage(LibHandle handle) {
  Operation op(handle);
  if (!op) return -1;
  return CloseMessage(*op);
}

int32_t Pop3RetrieveMessage(LibHandle handle, uint32_t message, void* buffer, uint32_t* length, uint32_t flags) {
  Operation op(handle);
  if (!op) return -1;
  return RetrieveMessage(*op, message, buffer, length, flags);
}

int32_t Pop3StoreMessage(LibHandle handle, uint32_t message, const char* fileName) {
  Operation op(handle);
  if (!op) return -1;
  if (message == 0) return Fail(cvErrorInvalidMessageNumber);
  plat::HGLOBAL block = nullptr;
  uint32_t length = 0;
  if (RetrieveMessage(*op, message, &block, &length, 0) != 0) return -1;
  plat::UniqueGlobal owned(block);
  if (const uint32_t error = cvmail::StoreRetrieved(owned, length, fileName, O_WRONLY)) return Fail(error);
  ClearError();
  return 0;
}

int32_t Pop3GetTransferStatus(LibHandle handle, MessageTransferStatus* status) {
  // Any thread: the read runs on the owner's.
  Pop3Session* s = Library().FindSession(handle);
  if (!s) return -1;
  if (!status) return Fail(cvErrorInvalidParameter);
  *status = MessageTransferStatus{};
  status->message = s->currentMessage.load();
  status->copied = s->bytesCopied.load();
  status->size = std::max(s->currentSize.load(), status->copied);
  const uint32_t start = s->startTick.load();
  if (!start) return 0;
  cvmail::TransferTiming(start, s->endTick.load(), status->copied, status->size, status->elapsed, status->rate,
                         status->left);
  return 0;
}
