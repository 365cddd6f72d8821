#include "stop_signal.h"

#include <fcntl.h>
#include <poll.h>
#include <unistd.h>

#include <pthread.h>

#include <cerrno>
#include <chrono>
#include <csignal>

#include "platform/msg/message.h"
#include "platform/msg/window.h"

namespace cvhost {
namespace {

int gPipe[2] = {-1, -1};
volatile sig_atomic_t gSignal = 0;

void OnSignal(int signo) {
  if (gSignal) {
    // The host did not stop in time for the first one: end it now, as the signal would.
    std::signal(signo, SIG_DFL);
    std::raise(signo);
    return;
  }
  gSignal = signo;
  const int saved = errno;
  const char byte = 1;
  [[maybe_unused]] ssize_t n = write(gPipe[1], &byte, 1);
  errno = saved;
}

// How long one attempt to reach the host's thread lasts before the watcher looks
// whether it should end instead.
constexpr UINT kSendAttemptMs = 100;
// How long after the signal the host may take to cancel its step and release the control.
// A step whose wait does not end on the control's Cancel would otherwise hold the host
// for as long as the peer keeps silent.
constexpr int kStopGraceMs = 1000;

sigset_t StopSignals() {
  sigset_t set;
  sigemptyset(&set);
  sigaddset(&set, SIGINT);
  sigaddset(&set, SIGTERM);
  return set;
}

}  // namespace

void InstallStopSignals() {
  if (pipe2(gPipe, O_CLOEXEC | O_NONBLOCK) != 0) return;
  const sigset_t set = StopSignals();
  // Only the watcher thread takes the signals, so that no call of the host's or of a
  // library's threads is cut short by one; threads started later inherit the mask.
  pthread_sigmask(SIG_BLOCK, &set, nullptr);
  struct sigaction sa {};
  sa.sa_handler = OnSignal;
  sa.sa_mask = set;
  sigaction(SIGINT, &sa, nullptr);
  sigaction(SIGTERM, &sa, nullptr);
}

void ReleaseStopSignals() {
  // A signal held back meanwhile arrives now (a second one ends the process).
  const sigset_t set = StopSignals();
  pthread_sigmask(SIG_UNBLOCK, &set, nullptr);
}

int StopSignal() { return gSignal; }

int StopSignalFd() { return gPipe[0]; }

StopWatcher::StopWatcher(HWND window) {
  if (gPipe[0] < 0 || pipe2(quit_, O_CLOEXEC) != 0) return;
  thread_ = std::thread([this, window] { Run(window); });
}

StopWatcher::~StopWatcher() {
  closing_ = true;
  Wake();
  if (thread_.joinable()) thread_.join();
  for (int fd : quit_)
    if (fd >= 0) close(fd);
}

void StopWatcher::StepEnded() {
  stepEnded_ = true;
  Wake();
}

void StopWatcher::Wake() {
  if (quit_[1] < 0) return;
  const char byte = 1;
  [[maybe_unused]] ssize_t n = write(quit_[1], &byte, 1);
}

void StopWatcher::Run(HWND window) {
  const sigset_t set = StopSignals();
  pthread_sigmask(SIG_UNBLOCK, &set, nullptr);
  pollfd fds[2] = {{gPipe[0], POLLIN, 0}, {quit_[0], POLLIN, 0}};
  while (poll(fds, 2, -1) < 0 && errno == EINTR) {
  }
  if (!fds[0].revents || fds[1].revents) return;
  using Clock = std::chrono::steady_clock;
  const auto deadline = Clock::now() + std::chrono::milliseconds(kStopGraceMs);
  // The host's thread takes the message in its next wait; it may be busy meanwhile, or
  // already tearing down and waiting for this thread.
  plat::DWORD_PTR result = kStepCancelled;
  bool delivered = false;
  while (!closing_ && Clock::now() < deadline && plat::IsWindow(window) && !delivered)
    delivered = plat::SendMessageTimeout(window, kStopRequested, 0, 0, plat::SMTO_NORMAL, kSendAttemptMs, &result);
  // A step that took the cancel gets until the deadline to end; with none running, the
  // host ends by itself. Meanwhile this thread stays the one a second signal reaches.
  bool waitForStep = !delivered || result == kStepCancelled;
  pollfd wake{quit_[0], POLLIN, 0};
  for (;;) {
    const auto left = std::chrono::duration_cast<std::chrono::milliseconds>(deadline - Clock::now()).count();
    if (closing_ || (waitForStep && left <= 0)) break;
    wake.revents = 0;
    if (poll(&wake, 1, waitForStep ? int(left) : -1) > 0) {
      char byte;
      [[maybe_unused]] ssize_t n = read(quit_[0], &byte, 1);
      if (stepEnded_) waitForStep = false;
    }
  }
  if (closing_) return;
  static const char kMessage[] = "cvhost: the step did not end when cancelled; ending the host\n";
  [[maybe_unused]] ssize_t n = write(2, kMessage, sizeof kMessage - 1);
  _exit(128 + gSignal);
}

}  // namespace cvhost
