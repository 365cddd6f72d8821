// Cancel and blocked state (from any thread), and bringing the command channel back into
// step after an aborted transfer.
#include "ftp/ftp_hooks.h"
#include "ftp/ftp_internal.h"

namespace {

// Runs fn on the session of handle without an owner check, under the library lock so that
// the owner cannot release the record meanwhile.
template <typename Fn>
int32_t WithAnySession(LibHandle handle, int32_t failure, Fn fn) {
  cvftp::Library().Lock();
  FtpSession* s = cvftp::Library().FindSession(handle);
  int32_t r = failure;
  if (s && cvftp::Gone(*s))
    cvftp::Fail(cvErrorInvalidHandle);
  else if (s)
    r = fn(*s);
  cvftp::Library().Unlock();
  return r;
}

}  // namespace

int32_t FtpCancel(LibHandle handle) {
  if (handle == kInvalidLibHandle) return cvftp::Fail(cvErrorOperationNotBlocking);
  return WithAnySession(handle, -1, [](FtpSession& s) {
    if (s.options & cvftp::kOptSftp) {
      cvftp::hooks::SftpAbort(s);
      return 0;
    }
    s.restartPending.store(0);
    s.cancelRequested.store(1);
    s.cancelSignal.Set();
    return 0;
  });
}

int32_t FtpIsBlocked(LibHandle handle) {
  return WithAnySession(handle, 0, [](FtpSession& s) { return int32_t(s.blocked.load()); });
}

namespace cvftp {

int32_t ResyncCommandChannel(FtpSession& s) noexcept {
  if (s.options & kOptSftp) return Fail(cvErrorOperationNotSupported);
  if (s.blocked.load() || s.dataSocket != INVALID_SOCKET) return Fail(cvErrorOperationInProgress);
  s.blocked.store(1);
  ChannelDrainQuiet(s);
  if (Gone(s)) return FailGone();
  s.blocked.store(0);
  s.restartPending.store(0);
  // Whatever was owed has been drained with the rest.
  s.replyPending = 0;
  s.channelDebt = FtpChannelDebt::None;
  int32_t r = SendCommand(s, "NOOP", nullptr);
  if (r != -1 || Gone(s)) return r;
  // A clean-up under a time bound has no room for a new connection: the next command
  // settles what the channel still owes.
  if (s.waitDeadlineSet) return -1;
  return Reconnect(s);
}

}  // namespace cvftp

int32_t FtpResyncCommandChannel(LibHandle handle) {
  cvftp::Operation op(handle);
  return op ? cvftp::ResyncCommandChannel(*op.session()) : -1;
}
