// Message operations on the selected mailbox: count, UID and flags (FETCH), flag changes
// (STORE), reading a message or its headers (FETCH with a literal) into memory, a file or
// the clipboard, adding one (APPEND) and copying one (COPY).
#include <fcntl.h>
#include <sys/socket.h>
#include <unistd.h>

#include <algorithm>
#include <cstdio>
#include <cstring>
#include <string>

#include "imap/imap_internal.h"
#include "mail/common/mail_store.h"
#include "mail/common/mail_text_target.h"
#include "mail/sock/mailsock.h"
#include "platform/base/tick.h"

namespace cvimap {

namespace {

constexpr uint32_t kStep = kImapReadSize;
// A block sized from the announced length is taken at most this large up front; a bigger
// message grows it as its bytes really arrive (a lying length costs nothing).
constexpr uint64_t kFirstBlockMax = 16u << 20;

uint32_t Now() noexcept {
  const uint32_t t = plat::GetTickCount();
  return t ? t : 1;  // 0 means "not started"
}

bool ValidName(const char* name) {
  if (!name) return false;
  const size_t n = std::strlen(name);
  return n >= 1 && n <= kImapMailboxNameSize - 1;
}

// Restores what a retrieval or an APPEND changes for its own duration.
class TransferScope {
 public:
  explicit TransferScope(ImapSession& s) noexcept : s_(s), suspended_(s.windowSuspended), lineMode_(s.lineMode) {
    s.windowSuspended = 1;
    s.lineMode = 0;
  }
  ~TransferScope() {
    s_.windowSuspended = suspended_;
    s_.lineMode = lineMode_;
  }

 private:
  ImapSession& s_;
  uint32_t suspended_, lineMode_;
};

// The flag list after "FLAGS" in a FETCH response's text.
bool FlagsOf(const char* text, uint32_t* flags) {
  for (const char* p = text; (p = strcasestr(p, "FLAGS")) != nullptr; p += 5) {
    const char* q = p + 5;
    while (*q == ' ') ++q;
    if (*q == '(') {
      *flags = ImapParseFlagList(q);
      return true;
    }
  }
  return false;
}

// A FETCH of one message's data items in the return-after-untagged mode; fn sees each
// FETCH response of that message, up to the server's OK (a NO means there is no such
// message).
template <typename Fn>
Status FetchItems(ImapSession& s, uint32_t message, const char* items, Fn&& fn) {
  char argument[64];
  std::snprintf(argument, sizeof argument, "%u (%s)", message, items);
  if (const Status sent = SendUntagged(s, "FETCH", argument); !sent.ok()) return sent;
  for (;;) {
    const Result<int32_t> id = ReadResponse(s);
    if (!id.ok()) return id.status();
    if (s.lastTagged) {
      if (id.value() == int32_t(kImapResponseOk)) return {};
      if (id.value() == int32_t(kImapResponseNo)) return Status(cvErrorInvalidMessageNumber);
      const uint32_t refused = ResponseError(id.value());
      return Status(refused ? refused : cvErrorUnexpectedServerResponse);
    }
    if (id.value() == int32_t(kImapResponseFetch) && s.responseNumber == message) fn();
  }
}

Result<int32_t> StoreFlags(ImapSession& s, uint32_t message, uint32_t mode, uint32_t flags) {
  static const char* const kFormats[] = {"%u FLAGS.SILENT %s", "%u +FLAGS.SILENT %s", "%u -FLAGS.SILENT %s"};
  if (flags >= 0x10000 || mode > kImapStoreRemove) return Status(cvErrorInvalidParameter);
  if (message == 0) return Status(cvErrorInvalidMessageNumber);
  if (const Status selected = NeedMailbox(s); !selected.ok()) return selected;
  char list[128];
  ImapFormatFlagList(flags, list, sizeof list);
  char argument[192];
  std::snprintf(argument, sizeof argument, kFormats[mode], message, list);
  return SendCommand(s, "STORE", argument);
}

// The reads of a retrieval: the message opened, its text read in kStep pieces into the
// target with a progress event after each, the message closed; the bytes read in used.
Status ReadText(ImapSession& s, uint32_t message, uint32_t flags, cvmail::TextTarget& target, uint64_t& used) noexcept {
  used = 0;
  if (const Status selected = NeedMailbox(s); !selected.ok()) return selected;
  if (message == 0) return Status(cvErrorInvalidMessageNumber);
  if (s.retrieving) return Status(cvErrorOperationInProgress);
  TransferScope scope(s);
  s.retrieving = 1;
  struct Done {
    ImapSession& s;
    ~Done() { s.retrieving = 0; }
  } done{s};
  if (const Status opened = OpenMessage(s, message, flags); !opened.ok()) return opened;
  // A block is sized from the announced length up to a bound: a bigger message grows it as
  // its bytes really arrive (a lying length costs nothing).
  const uint64_t expected = (flags & kImapReadHeadersOnly) ? kStep : s.literalSize.load();
  target.Start((std::min(expected, kFirstBlockMax) / kStep + 2) * kStep, 0xFFFFFFFFu);
  uint32_t error = 0;
  for (;;) {
    char* room = target.Room(error);
    if (!room) break;
    const Result<int32_t> n = ReadData(s, room);
    target.Took(n.ok() ? uint32_t(n.value()) : 0);
    if (!n.ok()) {
      error = n.error();
      break;
    }
    if (n.value() == 0) break;
    used += uint32_t(n.value());
    Fire(s, cvmail::kMailEventProgress, 0);
    if (Gone(s)) {
      error = cvErrorInvalidHandle;
      break;
    }
  }
  if (error) {
    // The read failed first: closing after it is clean-up.
    static_cast<void>(CloseMessage(s));
    s.endTick.store(Now());
    return Status(error);
  }
  return CloseMessage(s);
}

// ReadText as the mail group's retrieval helpers run it (0, or -1 with the failure kept
// in outcome).
auto ReaderFor(ImapSession& s, uint32_t message, uint32_t flags, Status& outcome) {
  return [&s, message, flags, &outcome](cvmail::TextTarget& target, uint64_t& used) {
    outcome = ReadText(s, message, flags, target, used);
    return outcome.ok() ? 0 : -1;
  };
}

Status Retrieve(ImapSession& s, uint32_t message, void* buffer, uint32_t* length, uint32_t flags) noexcept {
  if (!buffer || !length) return Status(cvErrorInvalidParameter);
  Status outcome;
  cvmail::RetrieveText(s.retrievalBlock, kStep, buffer, length, flags & kImapReadUnicode,
                       ReaderFor(s, message, flags, outcome), [&](uint32_t error) {
                         outcome = Status(error);
                         return -1;
                       });
  return outcome;
}

Status Append(ImapSession& s, const char* mailbox, const char* data, uint32_t length, uint16_t flags) {
  if (const Status login = NeedLogin(s); !login.ok()) return login;
  std::string name = mailbox ? mailbox : "";
  if (name.empty()) {
    if (!s.mailboxSelected) return Status(cvErrorInvalidMailbox);
    name = s.mailboxName;
  }
  if (!data) return Status(cvErrorInvalidParameter);
  if (length == 0) length = uint32_t(std::strlen(data));
  const std::string wire = WireMailboxName(name.c_str());
  if (wire.empty()) return Status(cvErrorInvalidMailbox);
  char list[128];
  ImapFormatFlagList(flags & ~(kImapFlagRecent | kImapFlagDeleted), list, sizeof list);
  char tail[160];
  std::snprintf(tail, sizeof tail, " %s {%u}", list, length);
  const Result<int32_t> answer = SendCommand(s, "APPEND", (wire + tail).c_str());
  if (!answer.ok()) return answer.status();
  if (answer.value() != int32_t(kImapResponseContinue)) return Status(cvErrorUnexpectedServerResponse);

  uint32_t error = 0;
  {
    TransferScope scope(s);
    s.appendRunning.store(1);
    s.literalSize.store(length);
    s.literalRead.store(0);
    s.endTick.store(0);
    s.startTick.store(Now());
    for (uint32_t sent = 0; sent < length && !error;) {
      const uint32_t piece = std::min(length - sent, kStep);
      if (const Result<int32_t> written = WriteData(s, data + sent, piece); !written.ok()) {
        error = written.error();
        break;
      }
      SockYieldNoDelay();
      if (s.cancel.exchange(0)) {
        s.cancelSignal.Reset();
        error = cvErrorOperationCanceled;
        Fire(s, cvmail::kMailEventCancel, error);
        break;
      }
      sent += piece;
      s.literalRead.store(sent);
      Fire(s, cvmail::kMailEventProgress, 0);
      if (Gone(s)) error = cvErrorInvalidHandle;
    }
    if (!error)
      if (const Result<int32_t> written = WriteData(s, "\r\n", 2); !written.ok()) error = written.error();
    s.endTick.store(Now());
    s.appendRunning.store(0);
  }
  if (error) {
    // A literal cannot be cut short: only dropping the connection keeps the server from
    // storing a message made of what was sent.
    if (!Gone(s) && s.header.controlSocket != INVALID_SOCKET) {
      shutdown(int(s.header.controlSocket), SHUT_RDWR);
      s.closed = 1;
    }
    return Status(error);
  }
  s.responsePending = 1;
  const Result<int32_t> id = ReadResponse(s);
  if (!id.ok()) return id.status();
  if (id.value() == int32_t(kImapResponseNo) || id.value() == int32_t(kImapResponseBad))
    return Status(cvErrorMessageNotCreated);
  if (id.value() != int32_t(kImapResponseOk)) return Status(cvErrorUnexpectedServerResponse);
  // The new EXISTS count arrives with it.
  return SendCommand(s, "NOOP", nullptr).status();
}

}  // namespace

Status OpenMessage(ImapSession& s, uint32_t message, uint32_t flags) noexcept {
  if (message == 0) return Status(cvErrorInvalidMessageNumber);
  if (const Status selected = NeedMailbox(s); !selected.ok()) return selected;
  if (s.literalOpen || s.responsePending) return Status(cvErrorOperationInProgress);
  if (flags & kImapReadHeadersOnly) flags |= kImapReadHeader;
  if (flags & kImapReadHeader) flags &= ~kImapReadMime;
  if (flags & kImapReadMime) flags |= kImapReadHeader;
  const bool peek = flags & kImapReadPeek;
  char section[32];
  if ((flags & kImapReadHeader) && !(flags & kImapReadWhole))
    std::snprintf(section, sizeof section, peek ? "BODY.PEEK[%s]" : "BODY[%s]",
                  (flags & kImapReadMime) ? "MIME" : "HEADER");
  else
    std::snprintf(section, sizeof section, "%s", peek ? "BODY.PEEK[]" : "BODY[]");
  s.messageSize = s.messageFlags = s.messageUid = 0;
  s.literalSize.store(0);
  char argument[96];
  std::snprintf(argument, sizeof argument, "%u (FLAGS UID RFC822.SIZE %s)", message, section);
  if (const Status sent = SendUntagged(s, "FETCH", argument); !sent.ok()) return sent;
  s.literalExpected = 1;
  bool fetched = false;
  Status failure;
  for (;;) {
    const Result<int32_t> read = ReadResponse(s);
    if (!read.ok()) {
      failure = read.status();
      break;
    }
    const int32_t id = read.value();
    if (s.lastTagged) {
      if (id == int32_t(kImapResponseOk))
        failure = Status(fetched ? cvErrorInvalidMessagePart : cvErrorInvalidMessageNumber);
      else if (id == int32_t(kImapResponseNo)) failure = Status(cvErrorInvalidMessageNumber);
      else failure = Status(ResponseError(id) ? ResponseError(id) : cvErrorUnexpectedServerResponse);
      break;
    }
    if (id != int32_t(kImapResponseFetch)) continue;
    const int64_t literal = TrailingLiteral(s.responseText);
    if (s.responseNumber != message) {
      // An unsolicited FETCH of another message (a server reports flag changes this way):
      // passed over, its literal (if any) read away with the rest of its response.
      if (literal >= 0) {
        if (const Status skipped = ReadRaw(s, nullptr, uint64_t(literal)); !skipped.ok()) {
          failure = skipped;
          break;
        }
        s.literalTail = 1;
      }
      continue;
    }
    fetched = true;
    uint32_t value = 0;
    if (FlagsOf(s.responseText, &value)) s.messageFlags = value;
    if (NumberAfter(s.responseText, "RFC822.SIZE", &value)) s.messageSize = value;
    if (NumberAfter(s.responseText, "UID", &value)) s.messageUid = value;
    if (literal < 0) continue;
    if (literal == 0 || literal > 0xFFFFFFFFll) {
      // An empty section carries no text; a length past 4 GB cannot be read as one.
      if (literal > 0) {
        // Its bytes cannot be skipped in any reasonable time: the connection is given up.
        s.literalExpected = 0;
        s.untaggedMode = s.responsePending = 0;
        shutdown(int(s.header.controlSocket), SHUT_RDWR);
        s.closed = 1;
        return Status(cvErrorInvalidmessageSize);
      }
      s.literalTail = 1;
      continue;
    }
    s.literalExpected = 0;
    s.currentMessage.store(message);
    s.literalSize.store(uint32_t(literal));
    s.literalRead.store(0);
    s.literalOpen = 1;
    s.endTick.store(0);
    s.startTick.store(Now());
    return {};
  }
  s.literalExpected = 0;
  return failure;
}

Status CloseMessage(ImapSession& s) noexcept {
  Status drained;
  if (s.literalOpen) {
    auto* block = static_cast<char*>(Library().MemSessionAlloc(s.header.handle, kStep));
    if (!block) return Status(cvErrorOutOfMemory);
    const uint32_t suspended = s.windowSuspended;
    s.windowSuspended = 1;
    Result<int32_t> n = 0;
    do {
      n = ReadData(s, block);
    } while (n.ok() && n.value() > 0 && !Gone(s));
    s.windowSuspended = suspended;
    Library().MemSessionFree(s.header.handle, block);
    drained = n.status();
  }
  s.endTick.store(Now());
  if (!drained.ok()) {
    s.literalOpen = 0;
    FinishUntagged(s);
    return drained;
  }
  while (s.untaggedMode && s.responsePending && !Gone(s))
    if (const Result<int32_t> id = ReadResponse(s); !id.ok()) return id.status();
  if (s.responsePending) return Status(cvErrorInvalidServerResponse);
  return {};
}

}  // namespace cvimap

using namespace cvimap;

namespace {

// A finished step as an entry point's outcome (value after success).
Result<int32_t> Done(Status outcome, int32_t value = 0) {
  return outcome.ok() ? Result<int32_t>(value) : Result<int32_t>(outcome);
}

}  // namespace

int32_t ImapGetMessageCount(LibHandle handle) {
  Operation op(handle);
  if (!op) return -1;
  if (const Status selected = NeedMailbox(*op); !selected.ok()) return Finish(selected);
  return FinishExchange(int32_t(op->exists));
}

int32_t ImapCountMessages(LibHandle handle) { return ImapGetMessageCount(handle); }

int32_t ImapGetMessageUid(LibHandle handle, uint32_t message) {
  Operation op(handle);
  if (!op) return -1;
  ImapSession& s = *op;
  if (message == 0) return Finish(Status(cvErrorInvalidMessageNumber));
  if (const Status selected = NeedMailbox(s); !selected.ok()) return Finish(selected);
  if (s.literalOpen && s.currentMessage.load() == message) return int32_t(s.messageUid);
  bool found = false;
  uint32_t uid = 0;
  if (const Status fetched =
          FetchItems(s, message, "UID", [&] { found = NumberAfter(s.responseText, "UID", &uid) || found; });
      !fetched.ok())
    return Finish(fetched);
  if (!found) return Finish(Status(cvErrorInvalidMessageNumber));
  return FinishExchange(int32_t(uid));
}

int32_t ImapGetMessageFlags(LibHandle handle, uint32_t message, uint32_t* flags) {
  Operation op(handle);
  if (!op) return -1;
  ImapSession& s = *op;
  if (!flags) return Finish(Status(cvErrorInvalidParameter));
  if (message == 0) return Finish(Status(cvErrorInvalidMessageNumber));
  if (const Status selected = NeedMailbox(s); !selected.ok()) return Finish(selected);
  if (s.literalOpen && s.currentMessage.load() == message) {
    *flags = s.messageFlags;
    return 1;
  }
  bool found = false;
  uint32_t bits = 0;
  if (const Status fetched = FetchItems(s, message, "FLAGS", [&] { found = FlagsOf(s.responseText, &bits) || found; });
      !fetched.ok()) {
    if (found) *flags = bits;
    return Finish(fetched);
  }
  if (!found) return Finish(Status(cvErrorInvalidMessageNumber));
  *flags = bits;
  return FinishExchange(1);
}

int32_t ImapStoreMessageFlags(LibHandle handle, uint32_t message, uint32_t mode, uint32_t flags) {
  Operation op(handle);
  if (!op) return -1;
  return FinishResponse(StoreFlags(*op, message, mode, flags));
}

int32_t ImapDeleteMessage(LibHandle handle, uint32_t message) {
  return ImapStoreMessageFlags(handle, message, kImapStoreAdd, kImapFlagDeleted);
}

int32_t ImapUndeleteMessage(LibHandle handle, uint32_t message) {
  return ImapStoreMessageFlags(handle, message, kImapStoreRemove, kImapFlagDeleted);
}

int32_t ImapOpenMessage(LibHandle handle, uint32_t message, uint32_t flags) {
  Operation op(handle);
  if (!op) return -1;
  return FinishExchange(Done(OpenMessage(*op, message, flags), int32_t(kImapResponseFetch)));
}

int32_t ImapCloseMessage(LibHandle handle) {
  Operation op(handle);
  if (!op) return -1;
  return FinishExchange(Done(CloseMessage(*op)));
}

int32_t ImapRetrieveMessage(LibHandle handle, uint32_t message, void* buffer, uint32_t* length, uint32_t flags) {
  Operation op(handle);
  if (!op) return -1;
  return FinishExchange(Done(Retrieve(*op, message, buffer, length, flags)));
}

int32_t ImapRetrieveMessageTo(LibHandle handle, uint32_t message, uint32_t flags, MailTextSink sink, void* context,
                              uint32_t* size) {
  Operation op(handle);
  if (!op) return -1;
  if (!sink) return Finish(Status(cvErrorInvalidParameter));
  Status outcome;
  cvmail::RetrieveToSink<kStep>(sink, context, size, ReaderFor(*op, message, flags, outcome));
  return FinishExchange(Done(outcome));
}

int32_t ImapStoreMessage(LibHandle handle, uint32_t message, const char* fileName) {
  Operation op(handle);
  if (!op) return -1;
  plat::HGLOBAL block = nullptr;
  uint32_t length = 0;
  if (const Status retrieved = Retrieve(*op, message, &block, &length, 0); !retrieved.ok()) return Finish(retrieved);
  plat::UniqueGlobal owned(block);
  if (const uint32_t error = cvmail::StoreRetrieved(owned, length, fileName, O_RDWR)) return Finish(Status(error));
  return FinishExchange(0);
}

int32_t ImapAppendMessage(LibHandle handle, const char* mailbox, const char* data, uint32_t length, uint16_t flags) {
  Operation op(handle);
  if (!op) return -1;
  return FinishExchange(Done(Append(*op, mailbox, data, length, flags)));
}

int32_t ImapCopyMessage(LibHandle handle, uint32_t message, const char* mailbox) {
  Operation op(handle);
  if (!op) return -1;
  ImapSession& s = *op;
  if (message == 0) return Finish(Status(cvErrorInvalidMessageNumber));
  if (!ValidName(mailbox)) return Finish(Status(cvErrorInvalidMailbox));
  if (const Status selected = NeedMailbox(s); !selected.ok()) return Finish(selected);
  const std::string wire = WireMailboxName(mailbox);
  if (wire.empty()) return Finish(Status(cvErrorInvalidMailbox));
  return FinishResponse(SendCommand(s, "COPY", (std::to_string(message) + ' ' + wire).c_str()));
}
