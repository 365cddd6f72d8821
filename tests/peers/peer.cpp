#include "peers/peer.h"

#include <arpa/inet.h>
#include <fcntl.h>
#include <netinet/in.h>
#include <poll.h>
#include <signal.h>
#include <sys/prctl.h>
#include <sys/wait.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <cstdlib>
#include <cstring>
#include <fstream>
#include <random>
#include <sstream>
#include <stdexcept>
#include <thread>

#include "peers/port_owner.h"

extern char** environ;

namespace cvpeers {
namespace fs = std::filesystem;
namespace {

using Clock = std::chrono::steady_clock;
constexpr auto kPollInterval = std::chrono::milliseconds(20);
constexpr auto kStopGrace = std::chrono::seconds(3);
// A program that loses one of its ports to another process during the start is tried again
// on new ones.
constexpr int kStartAttempts = 5;
// How long a started program must keep running: one that fails a later bind or set-up step
// can die just after its first listener accepted.
constexpr auto kSettle = std::chrono::milliseconds(60);

const char* LoopbackText(int family) { return family == AF_INET6 ? "::1" : "127.0.0.1"; }

// A loopback socket address of the family with the port (host order).
sockaddr_storage LoopbackAddress(int family, uint16_t port, socklen_t* length) {
  sockaddr_storage storage{};
  if (family == AF_INET6) {
    auto* a = reinterpret_cast<sockaddr_in6*>(&storage);
    a->sin6_family = AF_INET6;
    a->sin6_addr = in6addr_loopback;
    a->sin6_port = htons(port);
    *length = sizeof *a;
  } else {
    auto* a = reinterpret_cast<sockaddr_in*>(&storage);
    a->sin_family = AF_INET;
    a->sin_addr.s_addr = htonl(INADDR_LOOPBACK);
    a->sin_port = htons(port);
    *length = sizeof *a;
  }
  return storage;
}

class Fd {
 public:
  explicit Fd(int fd) : fd_(fd) {}
  ~Fd() { reset(); }
  Fd(const Fd&) = delete;
  Fd& operator=(const Fd&) = delete;
  int get() const { return fd_; }
  void reset() {
    if (fd_ >= 0) ::close(fd_);
    fd_ = -1;
  }

 private:
  int fd_;
};

// Binds port (0: any) on the family's loopback; the bound port, or 0 on failure.
uint16_t BindLoopback(int family, uint16_t port) {
  Fd s(::socket(family, SOCK_STREAM | SOCK_CLOEXEC, 0));
  if (s.get() < 0) return 0;
  socklen_t length;
  sockaddr_storage address = LoopbackAddress(family, port, &length);
  if (::bind(s.get(), reinterpret_cast<sockaddr*>(&address), length) != 0) return 0;
  if (::getsockname(s.get(), reinterpret_cast<sockaddr*>(&address), &length) != 0) return 0;
  return family == AF_INET6 ? ntohs(reinterpret_cast<sockaddr_in6*>(&address)->sin6_port)
                            : ntohs(reinterpret_cast<sockaddr_in*>(&address)->sin_port);
}

bool Accepts(int family, uint16_t port) {
  Fd s(::socket(family, SOCK_STREAM | SOCK_CLOEXEC, 0));
  if (s.get() < 0) return false;
  socklen_t length;
  const sockaddr_storage address = LoopbackAddress(family, port, &length);
  if (::connect(s.get(), reinterpret_cast<const sockaddr*>(&address), length) != 0) return false;
  // With nothing listening, a connect whose own port happens to be the target connects
  // to itself; that is no server.
  sockaddr_storage local{};
  socklen_t localLength = sizeof local;
  if (::getsockname(s.get(), reinterpret_cast<sockaddr*>(&local), &localLength) != 0) return false;
  const uint16_t localPort = family == AF_INET6 ? ntohs(reinterpret_cast<sockaddr_in6*>(&local)->sin6_port)
                                                : ntohs(reinterpret_cast<sockaddr_in*>(&local)->sin_port);
  return localPort != port;
}

std::string ReadTail(const fs::path& file, size_t limit) {
  std::ifstream in(file, std::ios::binary);
  if (!in) return {};
  std::ostringstream all;
  all << in.rdbuf();
  std::string text = all.str();
  return text.size() > limit ? "..." + text.substr(text.size() - limit) : text;
}

std::string DescribeStatus(int status) {
  if (WIFEXITED(status)) return "exited with status " + std::to_string(WEXITSTATUS(status));
  if (WIFSIGNALED(status)) return std::string("killed by signal ") + strsignal(WTERMSIG(status));
  return "stopped";
}

// The first port of the range the kernel hands out by itself; 0 when unknown.
int LocalRangeStart() {
  std::ifstream in("/proc/sys/net/ipv4/ip_local_port_range");
  int low = 0;
  in >> low;
  return in ? low : 0;
}

// Whether the peer's own processes hold the port's listener; without the socket tables,
// whether it accepts is all that can be told, so it counts as the peer's.
bool HeldByPeer(const PortListeners& listeners) {
  bool peer = !listeners.known;
  for (const PortHolder& h : listeners.holders) peer = peer || h.inGroup;
  return peer;
}

std::vector<std::string> SplitPath(const char* list) {
  std::vector<std::string> dirs;
  if (!list) return dirs;
  std::string_view rest(list);
  while (!rest.empty()) {
    const size_t colon = rest.find(':');
    if (colon != 0) dirs.emplace_back(rest.substr(0, colon));
    if (colon == std::string_view::npos) break;
    rest.remove_prefix(colon + 1);
  }
  return dirs;
}

}  // namespace

TempDir::TempDir() {
  const char* base = std::getenv("TMPDIR");
  std::string pattern = std::string(base && *base ? base : "/tmp") + "/cvpeer-XXXXXX";
  if (!::mkdtemp(pattern.data())) throw std::runtime_error("mkdtemp: " + std::string(strerror(errno)));
  path_ = pattern;
}

TempDir::~TempDir() {
  std::error_code ignored;
  fs::remove_all(path_, ignored);
}

fs::path TempDir::Write(const std::string& name, std::string_view content, fs::perms mode) const {
  const fs::path file = path_ / name;
  fs::create_directories(file.parent_path());
  std::ofstream out(file, std::ios::binary | std::ios::trunc);
  out.write(content.data(), std::streamsize(content.size()));
  out.close();
  if (!out) throw std::runtime_error("cannot write " + file.string());
  fs::permissions(file, mode, fs::perm_options::replace);
  return file;
}

uint16_t FreePort(int family) {
  // The ports the kernel picks by itself (bind to port 0, outgoing connections) come from
  // its local range, and so do other tests' passive data listeners, which could take a
  // port drawn there before the program binds it. Below that range only another test's
  // draw can, which is as rare as two random picks meeting.
  static const int low = LocalRangeStart();
  if (low >= 4096) {
    thread_local std::minstd_rand random(std::random_device{}());
    std::uniform_int_distribution<int> pick(low / 2, low - 1);
    for (int i = 0; i < 64; ++i)
      if (const uint16_t port = BindLoopback(family, static_cast<uint16_t>(pick(random)))) return port;
  }
  const uint16_t port = BindLoopback(family, 0);
  if (port == 0) throw std::runtime_error("no free port on " + std::string(LoopbackText(family)));
  return port;
}

bool LoopbackAvailable(int family) { return BindLoopback(family, 0) != 0; }

void SettleSessions(pid_t server, size_t kept) {
  const std::string children = "/proc/" + std::to_string(server) + "/task/" + std::to_string(server) + "/children";
  for (int i = 0; i < 1000; ++i) {
    std::ifstream list(children);
    size_t count = 0;
    for (std::string id; list >> id;) ++count;
    if (count <= kept) break;
    std::this_thread::sleep_for(std::chrono::milliseconds(10));
  }
  std::this_thread::sleep_for(std::chrono::milliseconds(500));
}

std::string FindProgram(const std::string& name) {
  if (name.empty()) return {};
  if (name.find('/') != std::string::npos) return ::access(name.c_str(), X_OK) == 0 ? name : "";
  std::vector<std::string> dirs = SplitPath(std::getenv("CV_PEER_PATH"));
  for (auto& d : SplitPath(std::getenv("PATH"))) dirs.push_back(std::move(d));
  for (const char* d : {"/usr/local/sbin", "/usr/sbin", "/sbin"}) dirs.emplace_back(d);
  for (const std::string& dir : dirs) {
    const std::string candidate = dir + "/" + name;
    if (::access(candidate.c_str(), X_OK) == 0 && !fs::is_directory(candidate)) return candidate;
  }
  return {};
}

std::string FillTemplate(std::string_view text, const std::map<std::string, std::string>& values) {
  std::string out;
  out.reserve(text.size());
  size_t at = 0;
  while (at < text.size()) {
    const size_t open = text.find("{{", at);
    const size_t close = open == std::string_view::npos ? open : text.find("}}", open + 2);
    if (close == std::string_view::npos) break;
    const auto it = values.find(std::string(text.substr(open + 2, close - open - 2)));
    out.append(text.substr(at, open - at));
    if (it != values.end()) {
      out += it->second;
      at = close + 2;
    } else {  // not ours (some configuration languages use braces): keep as written
      out += '{';
      at = open + 1;
    }
  }
  out.append(text.substr(at));
  return out;
}

PeerProcess::PeerProcess(PeerOptions options) : options_(std::move(options)) {}

PeerProcess::~PeerProcess() { Stop(); }

fs::path PeerProcess::configPath() const {
  return options_.configName.empty() ? fs::path() : dir_.path() / options_.configName;
}

std::string PeerProcess::value(const std::string& name) const {
  const auto it = values_.find(name);
  return it == values_.end() ? std::string() : it->second;
}

uint16_t PeerProcess::port(const std::string& name) const {
  const auto it = ports_.find(name);
  return it == ports_.end() ? 0 : it->second;
}

PeerProcess::StartResult PeerProcess::Start() {
  Stop();
  problem_.clear();
  ended_.clear();
  const std::string path = FindProgram(options_.program);
  if (path.empty()) {
    problem_ = "test peer '" + options_.program + "' is not installed";
    return StartResult::Unavailable;
  }
  const int family = options_.family;
  if (!LoopbackAvailable(family)) {
    problem_ = std::string("loopback address ") + LoopbackText(family) + " is not available";
    return StartResult::Unavailable;
  }
  address_ = LoopbackText(family);

  std::string earlier;  // why earlier attempts failed
  for (int attempt = 1; attempt <= kStartAttempts; ++attempt) {
    DrawPorts();
    values_ = options_.values;
    for (const auto& [name, number] : ports_) values_[name] = std::to_string(number);
    values_["ADDR"] = address_;
    values_["HOST"] = family == AF_INET6 ? "[::1]" : address_;
    values_["DIR"] = dir_.path().string();
    values_["CONFIG"] = configPath().string();
    if (!options_.configName.empty())
      dir_.Write(options_.configName, FillTemplate(options_.configTemplate, values_));
    if (options_.beforeStart) options_.beforeStart(ports_);

    if (!Spawn(path)) return StartResult::Failed;
    const Outcome outcome = WaitUntilAccepting();
    if (outcome == Outcome::Accepting && StaysUp()) {
      problem_ = earlier.empty() ? "" : "started on attempt " + std::to_string(attempt) + "; before:" + earlier;
      return StartResult::Started;
    }
    if (outcome == Outcome::TimedOut) break;
    // It died, or another process took one of its ports: try new ones.
    Stop();
    if (attempt < kStartAttempts) earlier += "\n  " + problem_;
  }
  if (!earlier.empty()) problem_ += "\nearlier attempts:" + earlier;
  Stop();
  return StartResult::Failed;
}

void PeerProcess::DrawPorts() {
  ports_.clear();
  std::vector<std::string> names{"PORT"};
  names.insert(names.end(), options_.ports.begin(), options_.ports.end());
  for (const std::string& name : names) {
    uint16_t number;
    bool taken;
    do {  // distinct: the kernel may hand out a port again once it was released
      number = FreePort(options_.family);
      taken = false;
      for (const auto& drawn : ports_) taken = taken || drawn.second == number;
    } while (taken);
    ports_[name] = number;
  }
  port_ = ports_["PORT"];
}

bool PeerProcess::Spawn(const std::string& path) {
  // Everything the child needs is prepared before fork: it may only make async-signal-safe calls.
  std::vector<std::string> argStrings{path};
  for (const std::string& a : options_.args) argStrings.push_back(FillTemplate(a, values_));
  std::vector<char*> argv;
  for (std::string& a : argStrings) argv.push_back(a.data());
  argv.push_back(nullptr);

  std::vector<std::string> envStrings;
  for (const std::string& e : options_.env) envStrings.push_back(FillTemplate(e, values_));
  std::vector<char*> envp;
  for (char** e = environ; *e; ++e) envp.push_back(*e);
  for (std::string& e : envStrings) envp.push_back(e.data());
  envp.push_back(nullptr);

  // A program that writes its start-up errors to descriptor 0 gets the stderr log there.
  Fd in(options_.errorsOnStdin
            ? ::open((dir_.path() / "stderr.log").c_str(), O_WRONLY | O_CREAT | O_APPEND | O_CLOEXEC, 0644)
            : ::open("/dev/null", O_RDONLY | O_CLOEXEC));
  Fd out(::open((dir_.path() / "stdout.log").c_str(), O_WRONLY | O_CREAT | O_APPEND | O_CLOEXEC, 0644));
  Fd err(::open((dir_.path() / "stderr.log").c_str(), O_WRONLY | O_CREAT | O_APPEND | O_CLOEXEC, 0644));
  if (in.get() < 0 || out.get() < 0 || err.get() < 0) {
    problem_ = "cannot open the peer's log files: " + std::string(strerror(errno));
    return false;
  }
  // Until it runs the program, the child holds copies of all of this process's descriptors,
  // listeners of other tests among them; a port looked up in that window would seem to be
  // the peer's. This pipe closes on exec, and tells when the child is the program alone.
  int ends[2];
  if (::pipe2(ends, O_CLOEXEC) != 0) {
    problem_ = "pipe: " + std::string(strerror(errno));
    return false;
  }
  Fd execRead(ends[0]), execWrite(ends[1]);

  const pid_t parent = ::getpid();
  const pid_t pid = ::fork();
  if (pid < 0) {
    problem_ = "fork: " + std::string(strerror(errno));
    return false;
  }
  if (pid == 0) {
    ::setpgid(0, 0);
    ::prctl(PR_SET_PDEATHSIG, SIGKILL);  // a crashed test leaves no server behind
    if (::getppid() != parent) ::_exit(126);
    sigset_t none;
    sigemptyset(&none);
    ::sigprocmask(SIG_SETMASK, &none, nullptr);
    ::signal(SIGPIPE, SIG_DFL);
    ::dup2(in.get(), 0);
    ::dup2(out.get(), 1);
    ::dup2(err.get(), 2);
    constexpr int kExecReport = 3;
    if (execWrite.get() != kExecReport) ::dup3(execWrite.get(), kExecReport, O_CLOEXEC);
    ::close_range(kExecReport + 1, ~0u, 0);  // no test socket leaks into the server
    ::execve(argv[0], argv.data(), envp.data());
    const int error = errno;
    [[maybe_unused]] auto ignored = ::write(kExecReport, &error, sizeof error);
    ::_exit(127);
  }
  ::setpgid(pid, pid);  // also here, so the group exists before we ever signal it
  pid_ = pid;
  execWrite.reset();
  return Executed(execRead.get());
}

// Waits until the child has replaced itself by the program (the report pipe closed);
// false when exec failed or the child never got there.
bool PeerProcess::Executed(int report) {
  const auto deadline = Clock::now() + options_.startTimeout;
  int error = 0;
  ssize_t got = -1;
  for (;;) {
    const auto left = std::chrono::duration_cast<std::chrono::milliseconds>(deadline - Clock::now());
    pollfd waiting{report, POLLIN, 0};
    const int ready = ::poll(&waiting, 1, static_cast<int>(std::max<int64_t>(left.count(), 0)));
    if (ready < 0 && errno == EINTR) continue;
    if (ready <= 0) break;
    got = ::read(report, &error, sizeof error);
    if (got >= 0 || errno != EINTR) break;
  }
  if (got == 0) return true;
  problem_ = got == sizeof error ? "cannot run " + options_.program + ": " + strerror(error)
                                 : options_.program + " was not running its program within " +
                                       std::to_string(options_.startTimeout.count()) + " ms";
  Stop();
  return false;
}

// True once the program has ended; then what is left of its group (children that may
// still hold a port) is killed, the program reaped, and how it ended kept.
bool PeerProcess::Reaped() {
  if (pid_ <= 0) return true;
  siginfo_t info{};
  if (::waitid(P_PID, id_t(pid_), &info, WEXITED | WNOHANG | WNOWAIT) != 0 || info.si_pid != pid_) return false;
  ::kill(-pid_, SIGKILL);  // the unreaped leader keeps the group id ours
  int status = 0;
  while (::waitpid(pid_, &status, 0) < 0 && errno == EINTR) {
  }
  pid_ = -1;
  ended_ = DescribeStatus(status);
  return true;
}

PeerProcess::Outcome PeerProcess::WaitUntilAccepting() {
  const auto deadline = Clock::now() + options_.startTimeout;
  for (;;) {
    if (Reaped()) {
      problem_ = options_.program + " " + ended_ + " before accepting connections";
      return Outcome::Lost;
    }
    if (!options_.waitForPort) return Outcome::Accepting;
    const Outcome state = PortsState();
    if (state != Outcome::TimedOut) return state;
    if (Clock::now() >= deadline) {
      problem_ = options_.program + " did not accept on " + address_ + " port";
      for (const auto& [name, number] : ports_) problem_ += " " + std::to_string(number);
      problem_ += " within " + std::to_string(options_.startTimeout.count()) + " ms";
      return Outcome::TimedOut;
    }
    std::this_thread::sleep_for(kPollInterval);
  }
}

// Accepting when the program's own processes listen on every port and accept; Lost when
// another process listens on one of them (the program cannot have it); TimedOut (not yet)
// otherwise. The owner is known before connecting, so that a probe never lands on another
// test's listener, which might take it for its own client and close.
PeerProcess::Outcome PeerProcess::PortsState() {
  bool all = true;
  for (const auto& [name, number] : ports_) {
    const PortListeners listeners = FindListeners(options_.family, number, pid_, true);
    const bool peer = HeldByPeer(listeners);
    if (!peer && !listeners.holders.empty()) {
      problem_ = name + " " + std::to_string(number) + " was taken by another process: " + DescribeListeners(listeners);
      return Outcome::Lost;
    }
    all = all && peer && Accepts(options_.family, number);
  }
  return all ? Outcome::Accepting : Outcome::TimedOut;
}

bool PeerProcess::StaysUp() {
  std::this_thread::sleep_for(kSettle);
  if (Reaped()) {
    problem_ = options_.program + " " + ended_ + " right after accepting connections";
    return false;
  }
  if (!options_.waitForPort) return true;
  for (const auto& [name, number] : ports_) {
    const PortListeners listeners = FindListeners(options_.family, number, pid_, true);
    if (!HeldByPeer(listeners)) {
      problem_ = options_.program + " stopped listening on " + name + " " + std::to_string(number) + ": " +
                 DescribeListeners(listeners);
      return false;
    }
  }
  return true;
}

void PeerProcess::Stop() {
  if (pid_ <= 0) return;
  const pid_t group = pid_;
  ::kill(-group, SIGTERM);
  // Wait without reaping: while the leader is unreaped its id cannot be reused, so the
  // SIGKILL below reaches only what is left of our own process group.
  const auto deadline = Clock::now() + kStopGrace;
  for (;;) {
    siginfo_t info{};
    if (::waitid(P_PID, id_t(pid_), &info, WEXITED | WNOHANG | WNOWAIT) != 0 || info.si_pid == pid_ ||
        Clock::now() >= deadline)
      break;
    std::this_thread::sleep_for(std::chrono::milliseconds(10));
  }
  ::kill(-group, SIGKILL);
  int status;
  while (::waitpid(pid_, &status, 0) < 0 && errno == EINTR) {
  }
  pid_ = -1;
  ended_ = "stopped (" + DescribeStatus(status) + ")";
}

std::string PeerProcess::StderrText() const { return ReadTail(dir_.path() / "stderr.log", std::string::npos); }

std::string PeerProcess::ProcessState() const {
  if (pid_ <= 0) return ended_.empty() ? "not running" : ended_;
  siginfo_t info{};  // looked at without reaping: Stop() still owns the process
  if (::waitid(P_PID, id_t(pid_), &info, WEXITED | WNOHANG | WNOWAIT) != 0 || info.si_pid != pid_)
    return "pid " + std::to_string(pid_) + " running";
  if (info.si_code == CLD_EXITED)
    return "pid " + std::to_string(pid_) + " exited with status " + std::to_string(info.si_status);
  return "pid " + std::to_string(pid_) + " killed by signal " + strsignal(info.si_status);
}

std::string PeerProcess::Diagnostics() const {
  std::string text = problem_;
  if (!text.empty()) text += "\n";
  text += "--- " + options_.program + ": " + ProcessState();
  for (const auto& [name, number] : ports_)
    text += "\n--- " + name + " " + std::to_string(number) + ": " +
            DescribeListeners(FindListeners(options_.family, number, pid_));
  const auto tail = [&](const std::string& title, const fs::path& file, size_t limit) {
    const std::string content = ReadTail(file, limit);
    if (!content.empty()) text += "\n--- " + options_.program + " " + title + " ---\n" + content;
  };
  tail("stderr", dir_.path() / "stderr.log", 4000);
  tail("stdout", dir_.path() / "stdout.log", 2000);
  for (const std::string& log : options_.logFiles) tail(log, dir_.path() / log, 4000);
  return text;
}

}  // namespace cvpeers
