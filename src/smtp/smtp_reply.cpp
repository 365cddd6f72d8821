// Commands and replies: one command line out, one (possibly multi-line) reply back, and
// the table that turns refusals into error codes.
#include <strings.h>

#include <cstdio>
#include <cstring>

#include "smtp/smtp_internal.h"

namespace cvsmtp {

namespace {

struct ReplyError {
  uint32_t code;
  uint32_t error;
};

constexpr ReplyError kReplyTable[] = {
    {421, cvErrorServiceUnavailable},    {450, cvErrorMailboxUnavailable},
    {451, cvErrorCommandAborted},        {452, cvErrorInsufficientStorage},
    {500, cvErrorInvalidCommand},        {501, cvErrorInvalidCommand},
    {502, cvErrorInvalidCommand},        {503, cvErrorInvalidCommandSequence},
    {504, cvErrorInvalidCommand},        {505, cvErrorAuthenticationRequired},
    {530, cvErrorAuthenticationRequired}, {535, cvErrorAuthenticationFailed},
    {550, cvErrorInvalidSender},         {551, cvErrorRelayNotAuthorized},
    {552, cvErrorInsufficientStorage},   {553, cvErrorInvalidDomain},
    {554, cvErrorServerTransactionFailed}, {572, cvErrorRelayNotAuthorized},
};

// A reply longer than this is not an SMTP reply: the reader gives up instead of reading
// an endless stream.
constexpr uint32_t kMostReplyBytes = 65536;

bool IsDigit(char c) { return c >= '0' && c <= '9'; }

// The reply's lines joined: CR dropped, line ends and runs of white space one blank.
class ReplyText {
 public:
  explicit ReplyText(SmtpSession& s) : text_(s.replyText) { text_[0] = '\0'; }
  void Add(char c) {
    if (c == '\r') return;
    if (c == '\n' || c == '\t' || c == ' ') {
      if (length_ == 0 || text_[length_ - 1] == ' ') return;
      c = ' ';
    }
    if (length_ + 1 >= kSmtpReplyTextSize) return;
    text_[length_++] = c;
    text_[length_] = '\0';
  }
  void Finish() {
    while (length_ > 0 && text_[length_ - 1] == ' ') text_[--length_] = '\0';
  }

 private:
  char* text_;
  uint32_t length_ = 0;
};

// The next received byte. False with the error.
bool NextByte(SmtpSession& s, char& c, uint32_t& taken) {
  if (++taken > kMostReplyBytes) return Fail(cvErrorInvalidServerResponse), false;
  if (!s.receiveCount && FillReceiveBuffer(s) < 0) return false;
  c = s.receiveBuffer[s.receivePosition++];
  --s.receiveCount;
  return true;
}

// Reads one reply into the session's code and text. False with the error.
bool ReadReplyLines(SmtpSession& s) {
  uint32_t taken = 0;
  char head[4];
  for (char& c : head)
    if (!NextByte(s, c, taken)) return false;
  if (!IsDigit(head[0]) || !IsDigit(head[1]) || !IsDigit(head[2])) {
    Fail(cvErrorInvalidServerResponse);
    return false;
  }
  const uint32_t code = uint32_t((head[0] - '0') * 100 + (head[1] - '0') * 10 + (head[2] - '0'));
  const bool multiLine = head[3] == '-';
  ReplyText text(s);
  bool lastLine = !multiLine;
  bool lineStart = false;
  char c = head[3];
  if (c == '\n') {
    text.Finish();
    s.replyCode = code;
    return true;
  }
  if (c != '-') text.Add(c);
  for (;;) {
    if (!NextByte(s, c, taken)) return false;
    if (lineStart) {
      lineStart = false;
      // A continuation line starts with the code: followed by a blank it is the last line,
      // followed by '-' another one follows. Anything else is text.
      char digits[3];
      int n = 0;
      while (n < 3 && IsDigit(c)) {
        digits[n++] = c;
        if (!NextByte(s, c, taken)) return false;
      }
      const uint32_t lineCode = n == 3 ? uint32_t((digits[0] - '0') * 100 + (digits[1] - '0') * 10 + (digits[2] - '0')) : 0;
      if (n == 3 && c == ' ' && lineCode == code) {
        lastLine = true;
        text.Add(' ');
        continue;
      }
      if (n == 3 && c == '-') {
        text.Add(' ');
        continue;
      }
      for (int i = 0; i < n; ++i) text.Add(digits[i]);
    }
    if (c == '\n') {
      text.Add(' ');
      if (lastLine) break;
      lineStart = true;
      continue;
    }
    text.Add(c);
  }
  text.Finish();
  s.replyCode = code;
  return true;
}

uint32_t TableError(uint32_t code) {
  for (const ReplyError& e : kReplyTable)
    if (e.code == code) return e.error;
  return 0;
}

}  // namespace

int32_t ReadReply(SmtpSession& s) noexcept {
  if (!s.replyPending) return s.replyCode ? int32_t(s.replyCode) : -1;
  s.replyPending = 0;
  s.replyCode = 0;
  s.state = kSmtpStateReading;
  const bool read = ReadReplyLines(s);
  if (Gone(s)) return Fail(cvErrorInvalidHandle);
  s.state = kSmtpStateIdle;
  if (!read) {
    const uint32_t error = LastError();
    if (error == cvErrorInvalidServerResponse) Fire(s, cvmail::kMailEventCommand, error);
    return Fail(error ? error : cvErrorConnectionClosed);
  }
  uint32_t error = TableError(s.replyCode);
  if (!error && (s.replyCode < 100 || s.replyCode > 399)) error = cvErrorUnexpectedServerResponse;
  if (error) {
    Fail(error);
    Fire(s, cvmail::kMailEventCommand, error);
    return Fail(error);
  }
  ClearError();
  Fire(s, cvmail::kMailEventCommand, 0);
  if (Gone(s)) return Fail(cvErrorInvalidHandle);
  ClearError();
  return int32_t(s.replyCode);
}

int32_t Command(SmtpSession& s, const char* command, const char* argument) noexcept {
  if (s.replyPending) return Fail(cvErrorInvalidParameter);
  if (s.dataOpen) return Fail(cvErrorAlreadyInProgress);
  if (!command || !*command) return Fail(cvErrorInvalidParameter);
  // A line break inside would smuggle a second command onto the wire.
  if (std::strpbrk(command, "\r\n") || (argument && std::strpbrk(argument, "\r\n")))
    return Fail(cvErrorInvalidParameter);
  if (s.header.controlSocket == INVALID_SOCKET) return Fail(cvErrorConnectionClosed);
  const int n = argument ? std::snprintf(s.commandBuffer, sizeof s.commandBuffer, "%s %s\r\n", command, argument)
                         : std::snprintf(s.commandBuffer, sizeof s.commandBuffer, "%s\r\n", command);
  if (n < 0 || size_t(n) >= sizeof s.commandBuffer) {
    explicit_bzero(s.commandBuffer, sizeof s.commandBuffer);
    return Fail(cvErrorInvalidParameter);
  }
  const bool sent = SendBytes(s, s.commandBuffer, uint32_t(n));
  // The line may hold a credential: it does not stay in the record.
  explicit_bzero(s.commandBuffer, size_t(n));
  if (!sent) return -1;
  s.replyPending = 1;
  return ReadReply(s);
}

}  // namespace cvsmtp

using namespace cvsmtp;

int32_t SmtpCommand(LibHandle handle, const char* command, const char* argument) {
  Operation op(handle);
  if (!op) return -1;
  return Command(*op, command, argument);
}

int32_t SmtpReadReply(LibHandle handle) {
  Operation op(handle);
  if (!op) return -1;
  return ReadReply(*op);
}

const char* SmtpGetReplyText(LibHandle handle) {
  SmtpSession* s = Library().GetSession(handle);
  return s ? s->replyText : nullptr;
}
