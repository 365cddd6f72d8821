// Keep-alive of idle command connections: one low-priority thread for all sessions. Its
// pass runs inside the library lock, so no owner can free or change a session it
// touches; the NOOP's answer is read and discarded here and never becomes a reply of the
// session. A server that leaves the NOOP unanswered loses keep-alive.
#include "ftp/ftp_keepalive.h"

#include <poll.h>

#include "ftp/ftp_hooks.h"
#include "ftp/ftp_internal.h"
#include "ftp/ftp_tls.h"
#include "ftp/ftp_wait.h"
#include "platform/base/tick.h"

namespace cvftp {

namespace {

constexpr char kNoop[] = "NOOP\r\n";
constexpr uint32_t kAnswerChunk = 256;

KeepAliveState& State() noexcept { return Library().state().keepAlive; }

bool WritableNow(SOCKET sock) noexcept {
  pollfd p{int(sock), POLLOUT, 0};
  return ::poll(&p, 1, 0) == 1 && (p.revents & POLLOUT);
}

// Reads and discards the answer; the number of bytes that came.
uint32_t DiscardAnswer(FtpSession& s) noexcept {
  const KeepAliveTiming& t = KeepAliveTimes();
  char scratch[kAnswerChunk];
  uint32_t total = 0;
  for (uint32_t wait = t.answerWaitMs.load();; wait = t.answerRestMs.load()) {
    const int32_t n = ChannelReceiveQuiet(s, scratch, sizeof scratch, wait);
    if (n <= 0) break;
    total += uint32_t(n);
  }
  return total;
}

void StopCounting(FtpSession& s) noexcept {
  if (!s.keepAliveCounted) return;
  s.keepAliveCounted = 0;
  KeepAliveState& k = State();
  if (k.count > 0) --k.count;
}

// NOOP to one session when it is idle; under the lock.
void KeepSessionAlive(FtpSession& s, uint32_t now) noexcept {
  if (s.header.controlSocket == INVALID_SOCKET || Gone(s)) return;
  if (s.dataSocket != INVALID_SOCKET && !(s.options & kOptKeepAliveData)) return;
  // A command of its own is under way.
  if (s.replyPending || s.blocked.load() || s.channelDebt != FtpChannelDebt::None) return;
  if (now - s.lastCommandTime.load() < KeepAliveTimes().idleMs.load()) return;
  if (!WritableNow(s.header.controlSocket)) return;
  // One send (the socket is writable); a short one skips the session. What the streams
  // report here is the keep-alive's own, and no call's.
  cvcore::ByteStream& out = ChannelStream(s, FtpChannel::Command);
  const bool sent = out.Send(kNoop, sizeof kNoop - 1) == int32_t(sizeof kNoop - 1) && out.Flush();
  const uint32_t answered = sent ? DiscardAnswer(s) : 0;
  s.streamError.store(0);
  if (!sent) return;
  s.lastCommandTime.store(plat::GetTickCount());
  if (answered == 0) {
    // Its answer may still come: the next command drains it first.
    s.channelDebt = FtpChannelDebt::Unknown;
    s.options &= ~kOptKeepAlive;
    StopCounting(s);
  }
}

// One pass over the session table; the number of sessions with keep-alive on.
uint32_t Pass() noexcept {
  const uint32_t now = plat::GetTickCount();
  uint32_t counted = 0;
  Library().ForEachSession([&](FtpSession& s) {
    if ((s.options & kOptSftp) || !(s.options & kOptKeepAlive)) return;
    ++counted;
    KeepSessionAlive(s, now);
  });
  return counted;
}

uint32_t KeepAliveThread() noexcept {
  KeepAliveState& k = State();
  for (;;) {
    k.wake.Wait(KeepAliveTimes().passIntervalMs.load());
    std::lock_guard lk(Library().lock());
    if (k.stopping || k.count < 1 || Pass() == 0) {
      if (k.count < 0) k.count = 0;
      k.running = false;
      return 0;
    }
  }
}

}  // namespace

KeepAliveTiming& KeepAliveTimes() noexcept {
  static KeepAliveTiming timing;
  return timing;
}

void StopKeepAlive() noexcept {
  KeepAliveState& k = State();
  std::shared_ptr<plat::Thread> thread = std::move(k.thread);
  k.stopping = true;
  k.wake.Set();
  Library().Unlock();
  if (thread) thread->Join();
  Library().Lock();
  k.stopping = false;
  k.wake.Reset();
  k.running = false;
  k.count = 0;
}

namespace hooks {

Status EnableKeepAlive(FtpSession& s) noexcept {
  s.options |= kOptKeepAlive;
  s.lastCommandTime.store(plat::GetTickCount());
  if (s.options & kOptSftp) return {};
  std::shared_ptr<plat::Thread> finished;
  {
    std::lock_guard lk(Library().lock());
    KeepAliveState& k = State();
    if (!s.keepAliveCounted) {
      s.keepAliveCounted = 1;
      ++k.count;
    }
    if (!k.running) {
      finished = std::move(k.thread);  // one that has left its loop, or none
      k.thread = plat::Thread::Create([] { return KeepAliveThread(); });
      if (!k.thread) {
        StopCounting(s);
        s.options &= ~kOptKeepAlive;
        return Status(cvErrorThreadCreationFailed);
      }
      k.running = true;
    }
  }
  if (finished) finished->Join();
  return {};
}

void DisableKeepAlive(FtpSession& s) noexcept {
  std::lock_guard lk(Library().lock());
  StopCounting(s);
}

}  // namespace hooks

}  // namespace cvftp

int32_t FtpEnableKeepAlive(LibHandle handle) {
  cvftp::Operation op(handle);
  if (!op) return -1;
  return cvftp::Library().FinishClean(cvftp::hooks::EnableKeepAlive(*op.session()), 0, -1);
}
