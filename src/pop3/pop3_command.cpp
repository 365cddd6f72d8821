// Commands and status lines: one command line out, one "+OK" or "-ERR" line back; the
// greeting's APOP time stamp.
#include <strings.h>

#include <cstdio>
#include <cstring>

#include "pop3/pop3_internal.h"

namespace cvpop3 {

namespace {

bool IsSpace(char c) { return c == ' ' || c == '\t' || c == '\r' || c == '\n' || c == '\v' || c == '\f'; }

void KeepText(Pop3Session& s, const char* text) {
  std::snprintf(s.replyText, sizeof s.replyText, "%s", text);
}

// "<...@...>" from the greeting's text, or nothing.
void KeepTimeStamp(Pop3Session& s, const char* text) {
  s.timeStamp[0] = '\0';
  const char* open = std::strchr(text, '<');
  if (!open) return;
  char stamp[kPop3TimeStampSize];
  std::snprintf(stamp, sizeof stamp, "%s", open);
  char* close = std::strchr(stamp, '>');
  if (!close) return;
  close[1] = '\0';
  if (std::strchr(stamp, '@')) std::memcpy(s.timeStamp, stamp, std::strlen(stamp) + 1);
}

}  // namespace

Result<int32_t> SendCommand(Pop3Session& s, const char* command, const char* argument) noexcept {
  if (s.replyPending || s.multiLine) return Status(cvErrorOperationInProgress);
  if (!command || !*command) return Status(cvErrorInvalidParameter);
  // A line break inside would smuggle a second command (or a password) onto the wire.
  if (std::strpbrk(command, "\r\n") || (argument && std::strpbrk(argument, "\r\n")))
    return Status(cvErrorInvalidParameter);
  if (s.header.controlSocket == INVALID_SOCKET) return Status(cvErrorConnectionClosed);
  if (s.closed) return Status(ClosedError(s));
  const int n = argument ? std::snprintf(s.commandLine, sizeof s.commandLine, "%s %s\r\n", command, argument)
                         : std::snprintf(s.commandLine, sizeof s.commandLine, "%s\r\n", command);
  if (n < 0 || size_t(n) >= sizeof s.commandLine) {
    s.commandLine[0] = '\0';
    return Status(cvErrorInvalidParameter);
  }
  s.responseEnded = 0;
  const Status sent = SendBytes(s, s.commandLine, uint32_t(n));
  // The line may hold a password: it does not stay in the record.
  explicit_bzero(s.commandLine, sizeof s.commandLine);
  if (!sent.ok()) return sent;
  s.replyPending = 1;
  return ReadReply(s);
}

Result<int32_t> ReadReply(Pop3Session& s) noexcept {
  if (!s.replyPending) return int32_t(s.lastStatus);
  s.replyPending = 0;
  // A status line is never part of a multi-line response still open.
  char line[kPop3ReplyTextSize];
  const Result<int32_t> n = ReadData(s, line, int32_t(sizeof line - 1));
  if (!n.ok()) return n;
  uint32_t length = uint32_t(n.value());
  line[length] = '\0';
  while (length > 0 && IsSpace(line[length - 1])) line[--length] = '\0';
  uint32_t status = 0;
  if (strncasecmp(line, "+OK", 3) == 0) {
    status = 1;
    KeepText(s, length > 4 ? line + 4 : "");
  } else if (strncasecmp(line, "-ERR", 4) == 0) {
    status = 0;
    KeepText(s, length > 5 ? line + 5 : "");
  } else {
    KeepText(s, line);
    s.greetingExpected = 0;
    Fire(s, cvmail::kMailEventCommand, cvErrorUnexpectedServerResponse);
    return Status(cvErrorUnexpectedServerResponse);
  }
  s.lastStatus = status;
  if (s.greetingExpected) {
    s.greetingExpected = 0;
    if (status == 1 && !s.timeStamp[0]) KeepTimeStamp(s, s.replyText);
  }
  Fire(s, cvmail::kMailEventCommand, 0);
  if (Gone(s)) return Status(cvErrorInvalidHandle);
  return int32_t(status);
}

Status Accepted(const Result<int32_t>& answer, uint32_t refusal) noexcept {
  if (!answer.ok()) return answer.status();
  return answer.value() == 1 ? Status() : Status(refusal);
}

}  // namespace cvpop3

using namespace cvpop3;

int32_t Pop3SendCommand(LibHandle handle, const char* command, const char* argument) {
  Operation op(handle);
  if (!op) return 0;
  return FinishExchange(SendCommand(*op, command, argument), 0);
}

int32_t Pop3ReadReply(LibHandle handle) {
  Operation op(handle);
  if (!op) return 0;
  // Nothing owed: the last status again, and the last error as it was.
  if (!op->replyPending) return int32_t(op->lastStatus);
  return FinishExchange(ReadReply(*op), 0);
}

const char* Pop3GetReplyText(LibHandle handle) {
  Pop3Session* s = Library().GetSession(handle);
  return s ? s->replyText : nullptr;
}
