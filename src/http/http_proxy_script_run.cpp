// Runs a proxy configuration script where it cannot hold up its caller: in a helper process
// that the caller ends at the deadline, whatever the script is doing (a loop, an allocation
// spree, a built-in function at work on a huge string, a regular expression that
// backtracks without end). A script that ran out of time is remembered for a while, so
// that the connects that follow do not each wait for it again.
#include "http/http_proxy_script.h"

#ifdef CV_HAVE_SCRIPT_ENGINE

#include <fcntl.h>
#include <poll.h>
#include <signal.h>
#include <sys/wait.h>
#include <unistd.h>

#include <algorithm>
#include <array>
#include <cerrno>
#include <functional>
#include <mutex>

namespace cvhttp {

namespace {

using Clock = std::chrono::steady_clock;

constexpr size_t kAnswerLimit = 65536;  // only the answer's first entry is used
constexpr auto kRememberTimedOut = std::chrono::minutes(5);
constexpr size_t kRemembered = 16;

// What the helper writes before the answer.
constexpr char kAnswered = 'A', kFailed = 'F';

enum class Outcome { Answered, Failed, OutOfTime };

// Scripts that ran out of time lately, known by their hash and size.
class TimedOutScripts {
 public:
  bool Contains(const std::string& script) {
    const size_t hash = std::hash<std::string>{}(script);
    std::lock_guard lk(mu_);
    const Clock::time_point now = Clock::now();
    return std::any_of(entries_.begin(), entries_.end(),
                       [&](const Entry& e) { return e.hash == hash && e.size == script.size() && e.until > now; });
  }
  void Add(const std::string& script) {
    std::lock_guard lk(mu_);
    entries_[next_] = {std::hash<std::string>{}(script), script.size(), Clock::now() + kRememberTimedOut};
    next_ = (next_ + 1) % entries_.size();
  }

 private:
  struct Entry {
    size_t hash = 0;
    size_t size = 0;
    Clock::time_point until{};
  };
  std::mutex mu_;
  std::array<Entry, kRemembered> entries_{};
  size_t next_ = 0;
};

TimedOutScripts& RecentlyTimedOut() {
  static TimedOutScripts scripts;
  return scripts;
}

void WriteAll(int fd, const char* data, size_t length) {
  while (length > 0) {
    const ssize_t n = write(fd, data, length);
    if (n < 0 && errno == EINTR) continue;
    if (n <= 0) return;
    data += n;
    length -= size_t(n);
  }
}

// The helper process: evaluates, writes its outcome and the answer to out, and ends
// without running anything of the caller's (no exit handlers, no buffered output).
[[noreturn]] void RunHelper(int out, const std::string& script, const std::string& url, const std::string& host) {
  // Only the pipe is kept: the helper must not hold the caller's connections open.
  if (out >= 3) {
    if (out > 3) close_range(3, unsigned(out) - 1, 0);
    close_range(unsigned(out) + 1, ~0u, 0);
  }
  char outcome = kFailed;
  std::string answer;
  try {
    if (EvaluateInEngine(script, url, host, answer)) outcome = kAnswered;
  } catch (...) {
    outcome = kFailed;
  }
  WriteAll(out, &outcome, 1);
  if (outcome == kAnswered) WriteAll(out, answer.data(), std::min(answer.size(), kAnswerLimit));
  _exit(0);
}

Outcome RunInHelper(const std::string& script, const std::string& url, const std::string& host, std::string& answer) {
  int fds[2];
  if (pipe2(fds, O_CLOEXEC) != 0) return Outcome::Failed;
  const Clock::time_point deadline = Clock::now() + kScriptDeadline;
  const pid_t pid = fork();
  if (pid == 0) {
    close(fds[0]);
    RunHelper(fds[1], script, url, host);
  }
  close(fds[1]);
  if (pid < 0) {
    close(fds[0]);
    return Outcome::Failed;
  }
  std::string got;
  bool ended = false;  // the helper closed its end: it has finished
  bool timedOut = false;
  for (;;) {
    const auto left = std::chrono::duration_cast<std::chrono::milliseconds>(deadline - Clock::now()).count();
    if (left <= 0) {
      timedOut = true;
      break;
    }
    pollfd p{fds[0], POLLIN, 0};
    const int r = poll(&p, 1, int(left));
    if (r < 0 && errno == EINTR) continue;
    if (r < 0) break;
    if (r == 0) continue;  // the deadline is checked above
    char buffer[4096];
    const ssize_t n = read(fds[0], buffer, sizeof buffer);
    if (n < 0 && errno == EINTR) continue;
    if (n <= 0) {
      ended = n == 0;
      break;
    }
    if (got.size() + size_t(n) > kAnswerLimit + 1) break;
    got.append(buffer, size_t(n));
  }
  close(fds[0]);
  // A helper that has not finished is ended now. One that has finished is only waited
  // for: were it reaped by someone else meanwhile, its number could already name another
  // process.
  if (!ended) kill(pid, SIGKILL);
  while (waitpid(pid, nullptr, 0) < 0 && errno == EINTR) {
  }
  if (timedOut) return Outcome::OutOfTime;
  if (!ended || got.empty() || got[0] != kAnswered) return Outcome::Failed;
  answer = got.substr(1);
  return Outcome::Answered;
}

}  // namespace

bool EvaluateProxyScript(const std::string& script, const std::string& url, const std::string& host,
                         std::string& answer) {
  answer.clear();
  if (RecentlyTimedOut().Contains(script)) return false;
  const Outcome outcome = RunInHelper(script, url, host, answer);
  if (outcome == Outcome::OutOfTime) RecentlyTimedOut().Add(script);
  return outcome == Outcome::Answered;
}

}  // namespace cvhttp

#else

namespace cvhttp {

bool EvaluateProxyScript(const std::string&, const std::string&, const std::string&, std::string& answer) {
  answer.clear();
  return false;
}

}  // namespace cvhttp

#endif
