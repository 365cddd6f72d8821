// Reading messages: opening a message (RETR, or TOP for the headers), draining it, reading
// it whole into a global memory block handed to the caller, a file or the clipboard, and
// the progress record of the read.
#include <fcntl.h>
#include <unistd.h>

#include <algorithm>
#include <cstdio>
#include <cstring>
#include <string>

#include "mail/common/mail_store.h"
#include "mail/common/mail_text_target.h"
#include "mail/common/mail_transfer.h"
#include "platform/base/tick.h"
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
    s.retrievalRunning = 1;
  }
  ~RetrievalScope() {
    s_.windowSuspended = suspended_;
    s_.options = (s_.options & ~kPop3OptionLineBreak) | (options_ & kPop3OptionLineBreak);
    s_.retrieving = retrieving_;
    s_.retrievalRunning = 0;
  }

 private:
  Pop3Session& s_;
  uint32_t suspended_, options_, retrieving_;
};

uint32_t StartTickNow() noexcept {
  const uint32_t t = plat::GetTickCount();
  return t ? t : 1;  // 0 means "not started"
}

}  // namespace

Status OpenMessage(Pop3Session& s, uint32_t message, uint32_t flags) noexcept {
  if (message == 0) return Status(cvErrorInvalidMessageNumber);
  if (!s.loggedIn) return Status(cvErrorAuthenticationRequired);
  if (s.replyPending || s.multiLine) return Status(cvErrorOperationInProgress);
  const Result<int32_t> size = GetMessageSize(s, message);
  if (!size.ok()) return size.status();
  char uid[kPop3UidSize] = "";
  if (const Result<int32_t> known = GetMessageUid(s, message, uid, sizeof uid); !known.ok()) {
    // A server without UIDL still serves the message.
    if (Gone(s) || s.header.controlSocket == INVALID_SOCKET || s.closed) return known.status();
    uid[0] = '\0';
  }
  char argument[32];
  const bool headers = flags & kPop3ReadHeadersOnly;
  std::snprintf(argument, sizeof argument, headers ? "%u 0" : "%u", message);
  if (const Status opened = Accepted(SendCommand(s, headers ? "TOP" : "RETR", argument), cvErrorInvalidMessageNumber);
      !opened.ok())
    return opened;
  s.bytesCopied.store(0);
  s.currentMessage.store(message);
  s.currentSize.store(uint32_t(size.value()));
  std::memcpy(s.currentUid, uid, sizeof uid);
  s.multiLine = 1;
  s.responseEnded = 0;
  s.terminatorState = 2;  // the status line's line end counts
  s.endTick.store(0);
  s.startTick.store(StartTickNow());
  if (s.notify.socketWindow && !s.windowSuspended) PostSocketEvent(s, plat::FD_READ);
  return {};
}

namespace {
uint64_t RetrievalLimit(uint64_t announced) noexcept { return announced + announced / 4 + kRetrievalMargin; }
}  // namespace

Status CloseMessage(Pop3Session& s) noexcept {
  Status result;
  if (s.multiLine && !s.responseEnded) {
    const uint32_t suspended = s.windowSuspended;
    s.windowSuspended = 1;
    char block[kStep];
    Result<int32_t> n = 0;
    do {
      n = ReadData(s, block, int32_t(sizeof block));
    } while (n.ok() && n.value() > 0 && !Gone(s));
    s.windowSuspended = suspended;
    result = n.status();
  }
  s.endTick.store(StartTickNow());
  return result;
}

namespace {

// The reads of a retrieval: the message opened, its text read in kStep pieces into the
// target (with a progress event after each, headers only excepted) up to what its LIST size
// allows, the message closed; the bytes read in used.
Status ReadText(Pop3Session& s, uint32_t message, uint32_t flags, cvmail::TextTarget& target, uint64_t& used) noexcept {
  used = 0;
  if (message == 0) return Status(cvErrorInvalidMessageNumber);
  if (s.retrievalRunning) return Status(cvErrorOperationInProgress);
  RetrievalScope scope(s);
  if (const Status opened = OpenMessage(s, message, flags); !opened.ok()) return opened;
  const bool headers = flags & kPop3ReadHeadersOnly;
  const uint64_t expected = headers ? kStep : s.currentSize.load();
  // What the server announced bounds what is kept: a server that sends far more than its
  // LIST size does not get to fill the memory.
  const uint64_t limit = RetrievalLimit(s.currentSize.load());
  target.Start((std::min(expected, limit) / kStep + 2) * kStep, limit + 2 * kStep);
  uint32_t error = 0;
  for (;;) {
    if (used > limit) {
      // The rest cannot be read away in reasonable time or memory: the session is given up.
      GiveUp(s);
      error = cvErrorInvalidmessageSize;
      break;
    }
    char* room = target.Room(error);
    if (!room) break;
    const Result<int32_t> n = ReadData(s, room, int32_t(kStep));
    target.Took(n.ok() ? uint32_t(n.value()) : 0);
    if (!n.ok()) {
      error = n.error();
      break;
    }
    if (n.value() == 0) break;
    used += uint32_t(n.value());
    if (!headers) Fire(s, cvmail::kMailEventProgress, 0);
    if (Gone(s)) {
      error = cvErrorInvalidHandle;
      break;
    }
  }
  if (!error)
    if (const Status closed = CloseMessage(s); !closed.ok()) error = closed.error();
  if (error) {
    s.endTick.store(StartTickNow());
    return Status(error);
  }
  return {};
}

// ReadText as the mail group's retrieval helpers run it (0, or -1 with the failure kept
// in outcome).
auto ReaderFor(Pop3Session& s, uint32_t message, uint32_t flags, Status& outcome) {
  return [&s, message, flags, &outcome](cvmail::TextTarget& target, uint64_t& used) {
    outcome = ReadText(s, message, flags, target, used);
    return outcome.ok() ? 0 : -1;
  };
}

}  // namespace

Status RetrieveMessage(Pop3Session& s, uint32_t message, void* buffer, uint32_t* length, uint32_t flags) noexcept {
  if (message == 0) return Status(cvErrorInvalidMessageNumber);
  if (!buffer || !length) return Status(cvErrorInvalidParameter);
  Status outcome;
  cvmail::RetrieveText(s.retrievalBlock, kStep, buffer, length, flags & kPop3ReadUnicode,
                       ReaderFor(s, message, flags, outcome), [&](uint32_t error) {
                         outcome = Status(error);
                         return -1;
                       });
  return outcome;
}

}  // namespace cvpop3

using namespace cvpop3;

namespace {

// A finished read as an entry point's outcome (0 after success).
Result<int32_t> Done(Status outcome) { return outcome.ok() ? Result<int32_t>(0) : Result<int32_t>(outcome); }

}  // namespace

int32_t Pop3OpenMessage(LibHandle handle, uint32_t message, uint32_t flags) {
  Operation op(handle);
  if (!op) return -1;
  return FinishExchange(Done(OpenMessage(*op, message, flags)));
}

int32_t Pop3CloseMessage(LibHandle handle) {
  Operation op(handle);
  if (!op) return -1;
  return FinishExchange(Done(CloseMessage(*op)));
}

int32_t Pop3RetrieveMessage(LibHandle handle, uint32_t message, void* buffer, uint32_t* length, uint32_t flags) {
  Operation op(handle);
  if (!op) return -1;
  return FinishExchange(Done(RetrieveMessage(*op, message, buffer, length, flags)));
}

int32_t Pop3RetrieveMessageTo(LibHandle handle, uint32_t message, uint32_t flags, MailTextSink sink, void* context,
                              uint32_t* size) {
  Operation op(handle);
  if (!op) return -1;
  if (!sink) return Finish(Status(cvErrorInvalidParameter));
  Status outcome;
  cvmail::RetrieveToSink<kStep>(sink, context, size, ReaderFor(*op, message, flags, outcome));
  return FinishExchange(Done(outcome));
}

int32_t Pop3StoreMessage(LibHandle handle, uint32_t message, const char* fileName) {
  Operation op(handle);
  if (!op) return -1;
  if (message == 0) return Finish(Status(cvErrorInvalidMessageNumber));
  plat::HGLOBAL block = nullptr;
  uint32_t length = 0;
  if (const Status retrieved = RetrieveMessage(*op, message, &block, &length, 0); !retrieved.ok())
    return Finish(retrieved);
  plat::UniqueGlobal owned(block);
  if (const uint32_t error = cvmail::StoreRetrieved(owned, length, fileName, O_WRONLY)) return Finish(Status(error));
  return FinishExchange(0);
}

int32_t Pop3GetTransferStatus(LibHandle handle, MessageTransferStatus* status) {
  // Any thread: the read runs on the owner's.
  Pop3Session* s = Library().FindSession(handle);
  if (!s) return -1;
  if (!status) return Finish(Status(cvErrorInvalidParameter));
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
