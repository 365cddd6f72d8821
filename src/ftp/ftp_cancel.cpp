// Cancel and blocked state (from any thread), and bringing the command channel back into
// step after an aborted transfer.
#include <mutex>

#include "ftp/ftp_hooks.h"
#include "ftp/ftp_internal.h"

namespace {

// Runs fn on the session of handle without an owner check, under the library lock so that
// the owner cannot release the record meanwhile.
template <typename Fn>
int32_t WithAnySession(LibHandle handle, int32_t failure, Fn fn) {
  std::lock_guard lock(cvftp::Library().lock());
  const cvftp::Result<FtpSession*> found = cvftp::Library().Lookup(handle);
  if (!found.ok() || cvftp::Gone(*found.value())) return cvftp::Library().Finish(cvftp::kSessionGone, failure, failure);
  return fn(*found.value());
}

}  // namespace

int32_t FtpCancel(LibHandle handle) {
  if (handle == kInvalidLibHandle) return cvftp::Library().Finish(cvftp::Status(cvErrorOperationNotBlocking), 0, -1);
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

Result<int32_t> ResyncCommandChannel(FtpSession& s) noexcept {
  if (s.options & kOptSftp) return Status(cvErrorOperationNotSupported);
  if (s.blocked.load() || s.dataSocket != INVALID_SOCKET) return Status(cvErrorOperationInProgress);
  s.blocked.store(1);
  ChannelDrainQuiet(s);
  if (Gone(s)) return kSessionGone;
  s.blocked.store(0);
  s.restartPending.store(0);
  // Whatever was owed has been drained with the rest.
  s.replyPending = 0;
  s.channelDebt = FtpChannelDebt::None;
  const Result<int32_t> r = SendCommand(s, "NOOP", nullptr);
  if (r.ok() || Gone(s)) return r;
  // A clean-up under a time bound has no room for a new connection: the next command
  // settles what the channel still owes.
  if (s.waitDeadlineSet) return r;
  return Reconnect(s);
}

}  // namespace cvftp

int32_t FtpResyncCommandChannel(LibHandle handle) {
  cvftp::Operation op(handle);
  return op ? cvftp::Library().Finish(cvftp::ResyncCommandChannel(*op.session()), -1) : -1;
}
