// Sending one message: its text from memory, a file, the clipboard or a global block; the
// envelope (MAIL FROM with SIZE and RET, RCPT TO with NOTIFY and ORCPT); delivery-status
// options and the transfer status.
#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <cstdio>
#include <cstring>
#include <mutex>
#include <string>
#include <vector>

#include "core/errors/out_of_memory.h"
#include "mail/common/mail_transfer.h"
#include "mime/mime.h"
#include "platform/clipboard/clipboard.h"
#include "smtp/smtp_internal.h"

namespace cvsmtp {

namespace {

constexpr uint32_t kAddressField = 128;   // a bare address and its terminator
constexpr uint32_t kMostSenderLength = 120;
constexpr uint32_t kParseBuffer = 1024;   // room to parse before the length is judged

// The bare address of text (any length in). Its length, or the mail message library's
// error.
Result<int32_t> ParseBare(const char* text, char* buffer, int32_t size) {
  const int32_t n = MimeParseAddress(text, nullptr, buffer, size);
  if (n < 0) return Status(MimeGetLastError() ? MimeGetLastError() : cvErrorInvalidParameter);
  return n;
}

using Block = Result<plat::UniqueGlobal>;

// A new block holding length bytes of text plus a terminator.
Block CopyToBlock(const char* text, size_t length) {
  plat::UniqueGlobal block(plat::GlobalAlloc(plat::GMEM_MOVEABLE | plat::GMEM_ZEROINIT, length + 1));
  char* data = block ? static_cast<char*>(plat::GlobalLock(block.get())) : nullptr;
  if (!data) return Status(cvErrorOutOfMemory);
  if (length) std::memcpy(data, text, length);
  plat::GlobalUnlock(block.get());
  return block;
}

Block LoadFile(const char* name, uint32_t& length) {
  if (!name || !*name) return Status(cvErrorInvalidFileName);
  struct stat st{};
  if (stat(name, &st) != 0) return Status(cvErrorFileNotFound);
  if (!S_ISREG(st.st_mode)) return Status(cvErrorInvalidFileType);
  if (st.st_size == 0) return Status(cvErrorFileEmpty);
  if (uint64_t(st.st_size) >= 0xFFFFFFFFu) return Status(cvErrorOutOfMemory);
  const int fd = open(name, O_RDONLY | O_CLOEXEC);
  if (fd < 0) return Status(cvErrorAccessDenied);
  length = uint32_t(st.st_size);
  plat::UniqueGlobal block(plat::GlobalAlloc(plat::GMEM_MOVEABLE | plat::GMEM_ZEROINIT, size_t(length) + 1));
  char* data = block ? static_cast<char*>(plat::GlobalLock(block.get())) : nullptr;
  if (!data) {
    close(fd);
    return Status(cvErrorOutOfMemory);
  }
  uint32_t got = 0;
  while (got < length) {
    const ssize_t n = read(fd, data + got, length - got);
    if (n < 0 && errno == EINTR) continue;
    if (n <= 0) break;
    got += uint32_t(n);
  }
  close(fd);
  plat::GlobalUnlock(block.get());
  if (got != length) return Status(cvErrorFileReadFailed);
  return block;
}

Block LoadClipboard(uint32_t& length) {
  if (!plat::IsClipboardFormatAvailable(plat::CF_TEXT)) return Status(cvErrorClipboardEmpty);
  if (!plat::OpenClipboard(nullptr)) return Status(cvErrorClipboardUnavailable);
  struct Closer {
    ~Closer() { plat::CloseClipboard(); }
  } closer;
  plat::HGLOBAL data = plat::GetClipboardData(plat::CF_TEXT);
  const char* text = data ? static_cast<const char*>(plat::GlobalLock(data)) : nullptr;
  if (!text) return Status(cvErrorClipboardUnavailable);
  length = uint32_t(strnlen(text, plat::GlobalSize(data)));
  Block block = length ? CopyToBlock(text, length) : Block(Status(cvErrorClipboardEmpty));
  plat::GlobalUnlock(data);
  return block;
}

// The text of a caller's global block: length bytes, or its NUL-terminated text when 0.
Block LoadGlobal(plat::HGLOBAL source, uint32_t& length) {
  const char* text = source ? static_cast<const char*>(plat::GlobalLock(source)) : nullptr;
  if (!text) return Status(cvErrorInvalidParameter);
  const size_t size = plat::GlobalSize(source);
  Block block = Status(cvErrorInvalidParameter);
  if (length <= size) {
    if (!length) length = uint32_t(strnlen(text, size));
    block = CopyToBlock(text, length);
  }
  plat::GlobalUnlock(source);
  return block;
}

// The message as a new global block and its length.
Block LoadMessage(const void* message, uint32_t& length, uint16_t source) {
  switch (source) {
    case kSmtpSourceMemory:
    case kSmtpSourceText: {
      if (!message) return Status(cvErrorInvalidParameter);
      const char* text = static_cast<const char*>(message);
      if (!length) length = uint32_t(std::strlen(text));
      return CopyToBlock(text, length);
    }
    case kSmtpSourceFile:
      return LoadFile(static_cast<const char*>(message), length);
    case kSmtpSourceClipboard:
      return LoadClipboard(length);
    case kSmtpSourceGlobal:
      return LoadGlobal(static_cast<plat::HGLOBAL>(const_cast<void*>(message)), length);
    default:
      return Status(cvErrorInvalidParameter);
  }
}

// RFC 3461 xtext: '+', '=' and bytes outside '!'..'~' as "+XX".
std::string Xtext(const char* text) {
  std::string out;
  for (const unsigned char* p = reinterpret_cast<const unsigned char*>(text); *p; ++p) {
    if (*p < '!' || *p > '~' || *p == '+' || *p == '=') {
      char hex[4];
      std::snprintf(hex, sizeof hex, "+%02X", *p);
      out += hex;
    } else {
      out += char(*p);
    }
  }
  return out;
}

// The entries of a recipient list: cut at ',' and ';' outside double quotes.
std::vector<std::string> SplitRecipients(const char* list) {
  std::vector<std::string> entries(1);
  bool quoted = false;
  for (const char* p = list; *p; ++p) {
    if (*p == '"') quoted = !quoted;
    if (!quoted && (*p == ',' || *p == ';')) {
      entries.emplace_back();
      continue;
    }
    entries.back() += *p;
  }
  return entries;
}

Result<int32_t> MailFrom(SmtpSession& s, const char* sender, uint32_t size) {
  s.acceptedRecipients = 0;
  s.senderAccepted = 0;
  s.messageSize.store(0);
  s.bytesCopied.store(0);
  char address[kParseBuffer] = "";
  if (sender && *sender && std::strcmp(sender, "<>") != 0) {
    const Result<int32_t> n = ParseBare(sender, address, sizeof address);
    if (!n.ok()) return n;
    if (uint32_t(n.value()) > kMostSenderLength) return Status(cvErrorInvalidParameter);
  }
  // A new envelope whatever the last one left behind: MAIL answers for both.
  const Result<int32_t> reset = Command(s, "RSET", nullptr);
  if (Gone(s)) return reset.ok() ? Status(cvErrorInvalidHandle) : reset.status();
  std::string argument = std::string("FROM:<") + address + ">";
  if (s.extended) {
    if ((s.extensions & kSmtpExtensionSize) && size) argument += " SIZE=" + std::to_string(size);
    if (s.extensions & kSmtpExtensionDsn) {
      if (s.dsnOptions & kSmtpDsnReturnFull) argument += " RET=FULL";
      else if (s.dsnOptions & kSmtpDsnReturnHeaders) argument += " RET=HDRS";
    }
  }
  const Result<int32_t> r = Command(s, "MAIL", argument.c_str());
  if (!r.ok() || !Positive(r.value())) return r;
  s.senderAccepted = 1;
  s.endTick.store(0);
  s.startTick.store(TickNow());
  return r;
}

Result<int32_t> RcptTo(SmtpSession& s, const char* recipients) {
  if (!recipients || !*recipients) return Status(cvErrorInvalidParameter);
  if (!s.senderAccepted) return Status(cvErrorNoReturnAddress);
  std::string notify;
  if (s.extended && (s.extensions & kSmtpExtensionDsn)) {
    if (s.dsnOptions == kSmtpDsnNever) {
      notify = "NEVER";
    } else {
      static constexpr std::pair<uint32_t, const char*> kNotify[] = {
          {kSmtpDsnSuccess, "SUCCESS"}, {kSmtpDsnFailure, "FAILURE"}, {kSmtpDsnDelay, "DELAY"}};
      for (const auto& [bit, word] : kNotify) {
        if (!(s.dsnOptions & bit)) continue;
        if (!notify.empty()) notify += ',';
        notify += word;
      }
    }
  }
  int32_t accepted = -1;
  for (const std::string& entry : SplitRecipients(recipients)) {
    char address[kParseBuffer];
    // An entry without a usable address (or one too long for the envelope) is skipped; the
    // mail message library's error for it is that library's own.
    if (entry.find_first_not_of(" \t\r\n") == std::string::npos) continue;
    const int32_t n = MimeParseAddress(entry.c_str(), nullptr, address, sizeof address);
    if (n <= 0 || uint32_t(n) >= kAddressField) continue;
    std::string argument = std::string("TO:<") + address + ">";
    if (!notify.empty()) {
      argument += " NOTIFY=" + notify;
      if (notify != "NEVER") argument += " ORCPT=rfc822;" + Xtext(address);
    }
    const Result<int32_t> r = Command(s, "RCPT", argument.c_str());
    if (Gone(s)) return r.ok() ? Status(cvErrorInvalidHandle) : r.status();
    if (r.ok() && Positive(r.value())) {
      ++s.acceptedRecipients;
      accepted = r.value();
    } else if (s.replyCode == 0) {
      // No answer at all (closed, timed out, cancelled): the others cannot fare better.
      return r.ok() ? Status(cvErrorUnexpectedServerResponse) : r.status();
    }
  }
  if (accepted < 0) return Status(cvErrorNoValidRecipients);
  return accepted;
}

// A failure as the outcome of a body that ran out of memory.
Result<int32_t> Failed(uint32_t code) { return Status(code); }

}  // namespace

}  // namespace cvsmtp

using namespace cvsmtp;

int32_t SmtpParseAddress(const char* text, char* buffer) {
  if (!text || !buffer) return Library().Finish(Status(cvErrorInvalidParameter), 0, -1);
  const Result<int32_t> n = ParseBare(text, buffer, int32_t(kAddressField));
  return Library().Finish(n, -1);
}

// The envelope's texts are built with C++ strings: memory running out ends the call with
// the out-of-memory error before the command goes out, and the next message's RSET starts
// afresh.
int32_t SmtpMailFrom(LibHandle handle, const char* sender, uint32_t size) {
  Operation op(handle);
  if (!op) return -1;
  return FinishExchange(cvcore::OrOutOfMemory([&] { return MailFrom(*op, sender, size); }, Failed));
}

int32_t SmtpRcptTo(LibHandle handle, const char* recipients) {
  Operation op(handle);
  if (!op) return -1;
  return FinishExchange(cvcore::OrOutOfMemory([&] { return RcptTo(*op, recipients); }, Failed));
}

int32_t SmtpSendMessage(LibHandle handle, const char* sender, const char* recipients, const void* message,
                        uint32_t length, uint16_t source) {
  Operation op(handle);
  if (!op) return -1;
  SmtpSession& s = *op;
  Block block = LoadMessage(message, length, source);
  if (!block.ok()) return FinishExchange(block.status());
  const auto send = [&]() -> Result<int32_t> {
    const Result<int32_t> from = MailFrom(s, sender, length);
    if (!from.ok()) return from;
    if (!Positive(from.value())) return Status(cvErrorUnexpectedServerResponse);
    if (const Result<int32_t> to = RcptTo(s, recipients); !to.ok()) return to;
    if (const Status sent = SendData(s, block.value().get(), length); !sent.ok()) return sent;
    const Result<int32_t> end = EndData(s);
    if (!end.ok()) return end;
    if (!Positive(end.value())) return Status(cvErrorUnexpectedServerResponse);
    return 0;
  };
  return FinishExchange(cvcore::OrOutOfMemory(send, Failed));
}

int32_t SmtpSetDsnOptions(LibHandle handle, uint32_t options) {
  Operation op(handle);
  if (!op) return 0;
  if (!op->extended || !(op->extensions & kSmtpExtensionDsn))
    return Library().Finish(Status(cvErrorOptionNotSupported), 1, 0);
  if ((options & kSmtpDsnNever) && options != kSmtpDsnNever)
    return Library().Finish(Status(cvErrorInvalidOption), 1, 0);
  op->dsnOptions = options;
  return 1;
}

int32_t SmtpGetTransferStatus(LibHandle handle, SmtpTransferStatus* status) {
  if (!status) return Library().Finish(Status(cvErrorInvalidParameter), 0, -1);
  // Another thread may be releasing the session: it stays in place while the lock is held.
  std::lock_guard lock(Library().lock());
  const SmtpSession* s = Library().FindSession(handle);
  if (!s) return -1;
  *status = SmtpTransferStatus{};
  status->copied = s->bytesCopied.load();
  status->total = std::max(s->messageSize.load(), status->copied);
  const uint32_t start = s->startTick.load();
  if (!start) return 0;
  cvmail::TransferTiming(start, s->endTick.load(), status->copied, status->total, status->elapsed, status->rate,
                         status->left);
  return 0;
}
