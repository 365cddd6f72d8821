// Operation scopes, deferred release, errors, the event call point and the session's waits.
#include <poll.h>

#include "core/errors/error_codes.h"
#include "ftp/ftp_internal.h"
#include "ftp/ftp_wait.h"
#include "platform/base/last_error.h"
#include "platform/base/thread.h"
#include "platform/base/tick.h"
#include "platform/msg/message.h"
#include "platform/msg/wait.h"

namespace cvftp {

Operation::Operation(LibHandle handle) noexcept : session_(FtpGetSession(handle)) {
  if (session_ && session_->operationDepth++ == 0) ClearStaleCancel(*session_);
}

Operation::~Operation() {
  if (!session_) return;
  if (--session_->operationDepth == 0 && session_->freePending) Library().FreeSession(session_->header.handle);
}

void ReleaseOrDefer(LibHandle handle) noexcept {
  const Result<FtpSession*> found = Library().LookupOwned(handle);
  FtpSession* s = found.ok() ? found.value() : nullptr;
  if (s && s->operationDepth > 0) {
    if (!s->freePending) {
      s->freePending = 1;
      CloseChannel(*s, FtpChannel::Data);
      CloseChannel(*s, FtpChannel::Command);
    }
    return;
  }
  Library().FreeSession(handle);
}

Status PlatformError() noexcept {
  const uint32_t e = plat::GetLastError();
  return Status(e != 0 ? e : cvErrorNetworkNotInitialized);  // a failure that left no error behind
}

Status ErrorWithEvent(FtpSession& s, uint32_t error, uint32_t event) noexcept {
  FireEvent(s, event, cvcore::FullErrorCode(error));
  // The receiver may have run other calls: the failure is still this one.
  return GoneOr(s, Status(error));
}

Status CanceledError(FtpSession& s) noexcept {
  if (s.cancelReported) return Status(cvErrorOperationCanceled);
  s.cancelReported = 1;  // one cancel, one event
  return ErrorWithEvent(s, cvErrorOperationCanceled, kEventCanceled);
}

Status StreamError(FtpSession& s) noexcept {
  const uint32_t error = s.streamError.exchange(0);
  return Status(error != 0 ? error : cvErrorConnectionClosed);  // a stream that failed without a word
}

uint32_t SessionTimeoutMs(const FtpSession& s) noexcept { return (s.timeout ? s.timeout : 20) * 1000u; }

void ClearStaleCancel(FtpSession& s) noexcept {
  if (s.dataSocket != INVALID_SOCKET) return;  // a transfer keeps its cancel until it ends
  if (s.cancelRequested.exchange(0)) s.cancelSignal.Reset();
  s.cancelReported = 0;
}

WaitDeadline::WaitDeadline(FtpSession& s, uint32_t ms) noexcept
    : s_(s), deadline_(s.waitDeadline), set_(s.waitDeadlineSet) {
  const uint32_t now = plat::GetTickCount();
  // The time left as a signed difference: the tick count wraps, and a deadline already
  // passed must stay in force.
  if (!s.waitDeadlineSet || int64_t(int32_t(s.waitDeadline - now)) > int64_t(ms)) {
    s.waitDeadline = now + ms;
    s.waitDeadlineSet = 1;
  }
}

WaitDeadline::~WaitDeadline() {
  s_.waitDeadline = deadline_;
  s_.waitDeadlineSet = set_;
}

RawWait WaitRaw(FtpSession& s, SOCKET socket, short events, uint32_t timeoutMs) noexcept {
  // While a session connects and logs in, a background task's abort can reach it only
  // through the thread's cancel token (the task learns the session's handle afterwards).
  const plat::CancelToken* token = s.loggedIn ? nullptr : plat::CurrentCancelToken();
  if (s.cancelRequested.load() || (token && token->IsCanceled())) return {RawWait::Canceled, 0};
  if (socket == INVALID_SOCKET) {
    plat::SetLastError(cvErrorNotConnected);
    return {RawWait::Failed, 0};
  }
  if (s.waitDeadlineSet) {
    const int32_t left = int32_t(s.waitDeadline - plat::GetTickCount());
    if (left <= 0) return {RawWait::Timeout, 0};
    if (uint32_t(left) < timeoutMs) timeoutMs = uint32_t(left);
  }
  pollfd fds[3] = {{int(socket), events, 0}, {s.cancelSignal.fd(), POLLIN, 0}, {token ? token->fd() : -1, POLLIN, 0}};
  const uint32_t wasBlocked = s.blocked.exchange(1);
  const plat::WaitResult r = plat::BlockingWait(fds, token ? 3 : 2, timeoutMs);
  s.blocked.store(wasBlocked);
  if (Gone(s)) return {RawWait::Gone, 0};
  if (plat::WaitCanceled(r)) {
    // The host canceled the call from its loop: the rest of the call stops as with FtpCancel.
    s.cancelRequested.store(1);
    s.cancelSignal.Set();
  }
  if (fds[1].revents || fds[2].revents || s.cancelRequested.load()) return {RawWait::Canceled, 0};
  switch (r.status) {
    case plat::WaitStatus::Ready:
      return {RawWait::Ready, fds[0].revents};
    case plat::WaitStatus::Timeout:
      return {RawWait::Timeout, 0};
    default:
      return {RawWait::Failed, 0};
  }
}

Status ReportWait(FtpSession& s, RawWait w, uint32_t timeoutEvent) noexcept {
  switch (w.status) {
    case RawWait::Ready:
      return {};
    case RawWait::Timeout:
      return timeoutEvent ? ErrorWithEvent(s, cvErrorOperationTimeout, timeoutEvent) : Status(cvErrorOperationTimeout);
    case RawWait::Canceled:
      return CanceledError(s);
    case RawWait::Gone:
      return kSessionGone;
    case RawWait::Failed: {
      const Status failed = PlatformError();
      if (cvcore::IsCanceled(failed.error())) return ErrorWithEvent(s, cvErrorOperationCanceled, kEventCanceled);
      return failed;
    }
  }
  return PlatformError();
}

Status WaitSocketFor(FtpSession& s, SOCKET socket, short events, uint32_t timeoutMs) noexcept {
  return ReportWait(s, WaitRaw(s, socket, events, timeoutMs), kEventTimeout);
}

Status WaitSocket(FtpSession& s, SOCKET socket, short events) noexcept {
  return WaitSocketFor(s, socket, events, SessionTimeoutMs(s));
}

}  // namespace cvftp
