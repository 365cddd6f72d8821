// The command and reply engine: one command line out, one complete reply in, the reply
// mapped to the library's errors and announced with event 256.
#include <strings.h>

#include <cstdio>
#include <cstring>

#include "ftp/ftp_hooks.h"
#include "ftp/ftp_internal.h"
#include "platform/base/tick.h"

namespace cvftp {

namespace {

struct ReplyError {
  uint32_t reply;
  uint32_t error;
};

// Searched in order; the last row ends the table.
constexpr ReplyError kReplyErrors[] = {
    {120, cvErrorServiceNotReady},        {421, cvErrorServiceUnavailable},
    {425, cvErrorConnectionFailed},       {426, cvErrorOperationCanceled},
    {450, cvErrorRemoteFileUnavailable},  {451, cvErrorOperationCanceled},
    {452, cvErrorInsufficientStorage},    {500, cvErrorInvalidCommand},
    {501, cvErrorInvalidCommandParameter}, {502, cvErrorCommandNotImplemented},
    {503, cvErrorInvalidCommandSequence}, {504, cvErrorCommandNotImplemented},
    {521, cvErrorInvalidSecurityLevel},   {522, cvErrorCachedTlsRequired},
    {530, cvErrorAuthenticationFailed},   {532, cvErrorAccountRequired},
    {550, cvErrorAccessDenied},           {552, cvErrorStorageallocation},
    {553, cvErrorInvalidFileName},        {0xFFFFFFFFu, 0},
};

bool HasLineBreak(const char* text) noexcept { return text && std::strpbrk(text, "\r\n") != nullptr; }

bool IsSftp(const FtpSession& s) noexcept { return (s.options & kOptSftp) != 0; }

// The result of a completely read reply.
int32_t Deliver(FtpSession& s) noexcept {
  const uint32_t code = s.replyCode;
  for (const ReplyError& row : kReplyErrors) {
    if (row.reply == 0xFFFFFFFFu) break;
    if (row.reply == code) return FailWithEvent(s, row.error, kEventCommandReply);
  }
  if (code < 100 || code > 399) return FailWithEvent(s, cvErrorInvalidServerResponse, kEventCommandReply);
  FireEvent(s, kEventCommandReply, 0);
  return Gone(s) ? FailGone() : int32_t(code);
}

// Reads on with the reply in progress until it is complete. deliver: map and announce it
// (a late reply drained before the next command is neither).
int32_t ContinueReply(FtpSession& s, bool deliver) noexcept {
  // One timeout for the whole reply: a server that keeps a reply going cannot hold the call.
  WaitDeadline bound(s, SessionTimeoutMs(s));
  for (;;) {
    char c;
    if (!ChannelReadByte(s, &c)) return Gone(s) ? FailGone() : -1;
    const cvcore::ReplyReader::Status status = s.reader.Feed(c);
    if (s.reader.HasCode()) s.replyCode = s.reader.code();
    if (status == cvcore::ReplyReader::Status::More) continue;
    s.reader.Finish();
    s.replyRawLength = s.reader.rawLength();
    if (status == cvcore::ReplyReader::Status::Done) {
      s.channelDebt = FtpChannelDebt::None;
      return deliver ? Deliver(s) : int32_t(s.replyCode);
    }
    // Not a reply, or one without end: what follows cannot be trusted.
    if (!s.reader.HasCode()) s.replyCode = 0;
    s.channelDebt = FtpChannelDebt::Unknown;
    return deliver ? FailWithEvent(s, cvErrorInvalidServerResponse, kEventCommandReply)
                   : Fail(cvErrorInvalidServerResponse);
  }
}

// Brings the channel back into step before a command: finishes a reply whose wait failed,
// or drains bytes that were no reply.
bool SettleDebt(FtpSession& s) noexcept {
  switch (s.channelDebt) {
    case FtpChannelDebt::None:
      return true;
    case FtpChannelDebt::Reply:
      if (ContinueReply(s, false) != -1) return true;
      if (s.channelDebt != FtpChannelDebt::Unknown) return false;
      [[fallthrough]];  // the late bytes were no reply: drain them
    case FtpChannelDebt::Unknown:
      ChannelDrainQuiet(s);
      if (Gone(s)) return FailGone(), false;
      s.channelDebt = FtpChannelDebt::None;
      return true;
  }
  return true;
}

// What the library learns with the first command after the login.
void FirstCommandQueries(FtpSession& s, const char* command) noexcept {
  s.firstQueriesDone = 1;
  // A server that refuses these queries refuses nothing the caller asked for.
  WithheldEvents quiet(s, kEventCommandReply);
  s.options |= kOptInternalQuery;
  if (s.systemType == 0 && s.proxyType != kProxyOther) GetSystemType(s);
  if (!Gone(s) && strcasecmp(command, "PWD") != 0 && s.currentDirectory[0] == '\0' && s.proxyType != kProxyOther)
    QueryWorkingDirectory(s);
  s.options &= ~kOptInternalQuery;
}

}  // namespace

int32_t SendCommand(FtpSession& s, const char* command, const char* argument, uint32_t badArgument) noexcept {
  if (IsSftp(s)) return Fail(cvErrorOperationNotSupported);
  if (!command || HasLineBreak(command)) return Fail(cvErrorInvalidParameter);
  // A line break in an argument would smuggle a second command to the server.
  if (HasLineBreak(argument)) return Fail(badArgument);
  const size_t argLength = argument ? std::strlen(argument) : 0;
  if (std::strlen(command) + argLength + 3 >= kFtpCommandLineSize) return Fail(cvErrorInvalidParameter);
  if (s.replyPending || s.listingTypeOverride) return Fail(cvErrorOperationInProgress);
  if (s.header.controlSocket == INVALID_SOCKET && !s.commandProtected) return Fail(cvErrorNotConnected);
  if (!SettleDebt(s)) return -1;
  if (s.typeRestoreOwed && strcasecmp(command, "QUIT") != 0) {
    s.typeRestoreOwed = 0;
    const int32_t r = SendSessionType(s);
    if (Gone(s)) return FailGone();
    if (r != 200) {
      // Nothing goes out in a type the session does not know the server to have.
      if (s.channelDebt != FtpChannelDebt::None) s.typeRestoreOwed = 1;
      return r == -1 ? -1 : Fail(cvErrorInvalidServerResponse);
    }
  }
  if (s.loggedIn && !s.firstQueriesDone) {
    FirstCommandQueries(s, command);
    if (Gone(s)) return FailGone();
  }
  int n = argLength ? std::snprintf(s.commandLine, sizeof s.commandLine, "%s %s\r\n", command, argument)
                    : std::snprintf(s.commandLine, sizeof s.commandLine, "%s\r\n", command);
  if (!ChannelSend(s, s.commandLine, uint32_t(n))) return Gone(s) ? FailGone() : -1;
  s.replyPending = 1;
  s.lastCommandTime.store(plat::GetTickCount());
  return ReadReply(s);
}

void OweReply(FtpSession& s) noexcept {
  s.replyPending = 0;
  s.reader.Start(kFtpReplyLimits, s.replyText, s.replyRaw);
  s.replyRawLength = 0;
  s.channelDebt = FtpChannelDebt::Reply;
}

int32_t ReadReply(FtpSession& s) noexcept {
  if (IsSftp(s)) return hooks::SftpResultCode(s);
  if (!s.replyPending) return int32_t(s.replyCode);
  s.replyPending = 0;
  s.reader.Start(kFtpReplyLimits, s.replyText, s.replyRaw);
  s.replyRawLength = 0;
  s.channelDebt = FtpChannelDebt::Reply;
  return ContinueReply(s, true);
}

}  // namespace cvftp

int32_t FtpSendCommand(LibHandle handle, const char* command, const char* argument) {
  cvftp::Operation op(handle);
  if (!op) return -1;
  return cvftp::SendCommand(*op.session(), command, argument);
}

int32_t FtpReadReply(LibHandle handle) {
  cvftp::Operation op(handle);
  if (!op) return -1;
  return cvftp::ReadReply(*op.session());
}

int32_t FtpGetResultString(LibHandle handle, char* buffer, uint32_t size) {
  if (!buffer || size == 0) return cvftp::Fail(cvErrorInvalidParameter), 0;
  buffer[0] = '\0';
  cvftp::Operation op(handle);
  if (!op) return 0;
  FtpSession& s = *op.session();
  if (s.options & cvftp::kOptSftp) return int32_t(cvftp::hooks::SftpResultString(s, buffer, size));
  if (s.replyPending) {
    cvftp::ReadReply(s);
    if (cvftp::Gone(s)) return 0;
  }
  size_t n = std::strlen(s.replyText);
  if (n > size - 1) n = size - 1;
  std::memcpy(buffer, s.replyText, n);
  buffer[n] = '\0';
  return int32_t(n);
}
