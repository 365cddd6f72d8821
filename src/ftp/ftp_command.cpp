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
Result<int32_t> Deliver(FtpSession& s) noexcept {
  const uint32_t code = s.replyCode;
  for (const ReplyError& row : kReplyErrors) {
    if (row.reply == 0xFFFFFFFFu) break;
    if (row.reply == code) return ErrorWithEvent(s, row.error, kEventCommandReply);
  }
  if (code < 100 || code > 399) return ErrorWithEvent(s, cvErrorInvalidServerResponse, kEventCommandReply);
  FireEvent(s, kEventCommandReply, 0);
  if (Gone(s)) return kSessionGone;
  return int32_t(code);
}

// Reads on with the reply in progress until it is complete. deliver: map and announce it
// (a late reply drained before the next command is neither).
Result<int32_t> ContinueReply(FtpSession& s, bool deliver) noexcept {
  // One timeout for the whole reply: a server that keeps a reply going cannot hold the call.
  WaitDeadline bound(s, SessionTimeoutMs(s));
  for (;;) {
    char c;
    if (const Status read = ChannelReadByte(s, &c); !read.ok()) return GoneOr(s, read);
    const cvcore::ReplyReader::Status status = s.reader.Feed(c);
    if (s.reader.HasCode()) s.replyCode = s.reader.code();
    if (status == cvcore::ReplyReader::Status::More) continue;
    s.reader.Finish();
    s.replyRawLength = s.reader.rawLength();
    if (status == cvcore::ReplyReader::Status::Done) {
      s.channelDebt = FtpChannelDebt::None;
      if (deliver) return Deliver(s);
      return int32_t(s.replyCode);
    }
    // Not a reply, or one without end: what follows cannot be trusted.
    if (!s.reader.HasCode()) s.replyCode = 0;
    s.channelDebt = FtpChannelDebt::Unknown;
    if (deliver) return ErrorWithEvent(s, cvErrorInvalidServerResponse, kEventCommandReply);
    return Status(cvErrorInvalidServerResponse);
  }
}

// Brings the channel back into step before a command: finishes a reply whose wait failed,
// or drains bytes that were no reply.
Status SettleDebt(FtpSession& s) noexcept {
  switch (s.channelDebt) {
    case FtpChannelDebt::None:
      return {};
    case FtpChannelDebt::Reply: {
      const Result<int32_t> late = ContinueReply(s, false);
      if (late.ok()) return {};
      if (s.channelDebt != FtpChannelDebt::Unknown) return late.status();
      [[fallthrough]];  // the late bytes were no reply: drain them
    }
    case FtpChannelDebt::Unknown:
      ChannelDrainQuiet(s);
      if (Gone(s)) return kSessionGone;
      s.channelDebt = FtpChannelDebt::None;
      return {};
  }
  return {};
}

// What the library learns with the first command after the login.
void FirstCommandQueries(FtpSession& s, const char* command) noexcept {
  s.firstQueriesDone = 1;
  // A server that refuses these queries refuses nothing the caller asked for.
  WithheldEvents quiet(s, kEventCommandReply);
  s.options |= kOptInternalQuery;
  // What they learn is kept in the session; their refusals are no concern of the command.
  if (s.systemType == 0 && s.proxyType != kProxyOther) static_cast<void>(GetSystemType(s));
  if (!Gone(s) && strcasecmp(command, "PWD") != 0 && s.currentDirectory[0] == '\0' && s.proxyType != kProxyOther)
    static_cast<void>(QueryWorkingDirectory(s));
  s.options &= ~kOptInternalQuery;
}

}  // namespace

Result<int32_t> SendCommand(FtpSession& s, const char* command, const char* argument, uint32_t badArgument) noexcept {
  if (IsSftp(s)) return Status(cvErrorOperationNotSupported);
  if (!command || HasLineBreak(command)) return Status(cvErrorInvalidParameter);
  // A line break in an argument would smuggle a second command to the server.
  if (HasLineBreak(argument)) return Status(badArgument);
  const size_t argLength = argument ? std::strlen(argument) : 0;
  if (std::strlen(command) + argLength + 3 >= kFtpCommandLineSize) return Status(cvErrorInvalidParameter);
  if (s.replyPending || s.listingTypeOverride) return Status(cvErrorOperationInProgress);
  if (s.header.controlSocket == INVALID_SOCKET && !s.commandProtected) return Status(cvErrorNotConnected);
  if (const Status settled = SettleDebt(s); !settled.ok()) return settled;
  if (s.typeRestoreOwed && strcasecmp(command, "QUIT") != 0) {
    s.typeRestoreOwed = 0;
    const Result<int32_t> r = SendSessionType(s);
    if (Gone(s)) return kSessionGone;
    if (!r.ok() || r.value() != 200) {
      // Nothing goes out in a type the session does not know the server to have.
      if (s.channelDebt != FtpChannelDebt::None) s.typeRestoreOwed = 1;
      return r.ok() ? Status(cvErrorInvalidServerResponse) : r.status();
    }
  }
  if (s.loggedIn && !s.firstQueriesDone) {
    FirstCommandQueries(s, command);
    if (Gone(s)) return kSessionGone;
  }
  int n = argLength ? std::snprintf(s.commandLine, sizeof s.commandLine, "%s %s\r\n", command, argument)
                    : std::snprintf(s.commandLine, sizeof s.commandLine, "%s\r\n", command);
  if (const Status sent = ChannelSend(s, s.commandLine, uint32_t(n)); !sent.ok()) return GoneOr(s, sent);
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

Result<int32_t> ReadReply(FtpSession& s) noexcept {
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
  return cvftp::Library().Finish(cvftp::SendCommand(*op.session(), command, argument), -1);
}

int32_t FtpReadReply(LibHandle handle) {
  cvftp::Operation op(handle);
  if (!op) return -1;
  return cvftp::Library().Finish(cvftp::ReadReply(*op.session()), -1);
}

int32_t FtpGetResultString(LibHandle handle, char* buffer, uint32_t size) {
  if (!buffer || size == 0) return cvftp::Library().Finish(cvftp::Status(cvErrorInvalidParameter), 0, 0);
  buffer[0] = '\0';
  cvftp::Operation op(handle);
  if (!op) return 0;
  FtpSession& s = *op.session();
  if (s.options & cvftp::kOptSftp)
    return int32_t(cvftp::Library().Finish(cvftp::hooks::SftpResultString(s, buffer, size), 0u));
  if (s.replyPending) {
    // The text of whatever came, or of nothing: the reply's failure is the last error.
    const cvftp::Result<int32_t> r = cvftp::ReadReply(s);
    if (!r.ok()) cvftp::Library().Finish(r.status(), 0, 0);
    if (cvftp::Gone(s)) return 0;
  }
  size_t n = std::strlen(s.replyText);
  if (n > size - 1) n = size - 1;
  std::memcpy(buffer, s.replyText, n);
  buffer[n] = '\0';
  return int32_t(n);
}
