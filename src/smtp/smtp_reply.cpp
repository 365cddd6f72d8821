// Commands and replies: one command line out, one (possibly multi-line) reply back, and
// the table that turns refusals into error codes.
#include <strings.h>

#include <cstdio>
#include <cstring>

#include "platform/base/tick.h"
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
// an endless stream. The lines of a reply are joined with blanks.
constexpr cvcore::ReplyLimits kReplyLimits = {kSmtpReplyTextSize, 65536, false};

// Reads one reply into the session's code and text, within one timeout for the whole
// reply.
Status ReadReplyLines(SmtpSession& s) {
  cvcore::ReplyReader& reader = s.reader;
  reader.Start(kReplyLimits, s.replyText);
  reader.Arm(plat::GetTickCount(), TimeoutMs(s));
  struct Disarm {
    cvcore::ReplyReader& r;
    ~Disarm() { r.Disarm(); }
  } disarm{reader};
  for (;;) {
    char c;
    if (!s.received.TakeByte(c)) {
      if (const Status filled = FillReceiveBuffer(s); !filled.ok()) return filled;
      if (!s.received.TakeByte(c)) return Status(cvErrorConnectionClosed);
    }
    switch (reader.Feed(c)) {
      case cvcore::ReplyReader::Status::More:
        continue;
      case cvcore::ReplyReader::Status::Done:
        reader.Finish();
        s.replyCode = reader.code();
        return {};
      case cvcore::ReplyReader::Status::BadCode:
      case cvcore::ReplyReader::Status::TooLong:
        reader.Finish();
        return Status(cvErrorInvalidServerResponse);
    }
  }
}

uint32_t TableError(uint32_t code) {
  for (const ReplyError& e : kReplyTable)
    if (e.code == code) return e.error;
  return 0;
}

}  // namespace

Result<int32_t> ReadReply(SmtpSession& s) noexcept {
  s.replyPending = 0;
  s.replyCode = 0;
  SetState(s, cvmail::MailState::Reading);
  const Status read = ReadReplyLines(s);
  if (Gone(s)) return Status(cvErrorInvalidHandle);
  SetState(s, cvmail::MailState::Idle);
  if (!read.ok()) {
    if (read.error() == cvErrorInvalidServerResponse) Fire(s, cvmail::kMailEventCommand, read.error());
    return read;
  }
  uint32_t error = TableError(s.replyCode);
  if (!error && (s.replyCode < 100 || s.replyCode > 399)) error = cvErrorUnexpectedServerResponse;
  Fire(s, cvmail::kMailEventCommand, error);
  if (error) return Status(error);
  if (Gone(s)) return Status(cvErrorInvalidHandle);
  return int32_t(s.replyCode);
}

Result<int32_t> Command(SmtpSession& s, const char* command, const char* argument) noexcept {
  if (s.replyPending) return Status(cvErrorInvalidParameter);
  if (s.dataOpen) return Status(cvErrorAlreadyInProgress);
  if (!command || !*command) return Status(cvErrorInvalidParameter);
  // A line break inside would smuggle a second command onto the wire.
  if (std::strpbrk(command, "\r\n") || (argument && std::strpbrk(argument, "\r\n")))
    return Status(cvErrorInvalidParameter);
  if (s.header.controlSocket == INVALID_SOCKET) return Status(cvErrorConnectionClosed);
  const int n = argument ? std::snprintf(s.commandBuffer, sizeof s.commandBuffer, "%s %s\r\n", command, argument)
                         : std::snprintf(s.commandBuffer, sizeof s.commandBuffer, "%s\r\n", command);
  if (n < 0 || size_t(n) >= sizeof s.commandBuffer) {
    explicit_bzero(s.commandBuffer, sizeof s.commandBuffer);
    return Status(cvErrorInvalidParameter);
  }
  const Status sent = SendBytes(s, s.commandBuffer, uint32_t(n));
  // The line may hold a credential: it does not stay in the record.
  explicit_bzero(s.commandBuffer, size_t(n));
  if (!sent.ok()) return sent;
  s.replyPending = 1;
  return ReadReply(s);
}

}  // namespace cvsmtp

using namespace cvsmtp;

int32_t SmtpCommand(LibHandle handle, const char* command, const char* argument) {
  Operation op(handle);
  if (!op) return -1;
  return FinishExchange(Command(*op, command, argument));
}

int32_t SmtpReadReply(LibHandle handle) {
  Operation op(handle);
  if (!op) return -1;
  // Nothing owed: the last reply's code again (none: -1), and the last error as it was.
  if (!op->replyPending) return op->replyCode ? int32_t(op->replyCode) : -1;
  return FinishExchange(ReadReply(*op));
}

const char* SmtpGetReplyText(LibHandle handle) {
  SmtpSession* s = Library().GetSession(handle);
  return s ? s->replyText : nullptr;
}
