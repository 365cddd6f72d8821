#include "peers/peer.h"

#include <arpa/inet.h>
#include <fcntl.h>
#include <netinet/in.h>
#include <signal.h>
#include <sys/prctl.h>
#include <sys/wait.h>
#include <unistd.h>

#include <cerrno>
#include <cstdlib>
#include <cstring>
#include <fstream>
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
constexpr int kStartAttempts = 3;

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
  ~Fd() {
    if (fd_ >= 0) ::close(fd_);
  }
  Fd(const Fd&) = delete;
  Fd& operator=(const Fd&) = delete;
  int get() const { return fd_; }

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
  const uint16_t port = BindLoopback(family, 0);
  if (port == 0) throw std::runtime_error("no free port on " + std::string(LoopbackText(family)));
  return port;
}

bool LoopbackAvailable(int family) { return BindLoopback(family, 0) != 0; }

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

PeerProcess::StartResult PeerProcess::Start() {
  Stop();
  problem_.clear();
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

  for (int attempt = 1; attempt <= kStartAttempts; ++attempt) {
    port_ = FreePort(family);
    values_ = options_.values;
    values_["PORT"] = std::to_string(port_);
    values_["ADDR"] = address_;
    values_["HOST"] = family == AF_INET6 ? "[::1]" : address_;
    values_["DIR"] = dir_.path().string();
    values_["CONFIG"] = configPath().string();
    if (!options_.configName.empty())
      dir_.Write(options_.configName, FillTemplate(options_.configTemplate, values_));

    if (!Spawn(path)) return StartResult::Failed;
    if (WaitUntilAccepting()) return StartResult::Started;
    // A program that died early may have lost the race for its port: try a new one.
    if (running()) break;
  }
  Stop();
  return StartResult::Failed;
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

  Fd in(::open("/dev/null", O_RDONLY | O_CLOEXEC));
  Fd out(::open((dir_.path() / "stdout.log").c_str(), O_WRONLY | O_CREAT | O_APPEND | O_CLOEXEC, 0644));
  Fd err(::open((dir_.path() / "stderr.log").c_str(), O_WRONLY | O_CREAT | O_APPEND | O_CLOEXEC, 0644));
  if (in.get() < 0 || out.get() < 0 || err.get() < 0) {
    problem_ = "cannot open the peer's log files: " + std::string(strerror(errno));
    return false;
  }

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
    ::close_range(3, ~0u, 0);  // no test socket leaks into the server
    ::execve(argv[0], argv.data(), envp.data());
    static const char kExecFailed[] = "test peer: exec failed\n";
    [[maybe_unused]] auto ignored = ::write(2, kExecFailed, sizeof kExecFailed - 1);
    ::_exit(127);
  }
  ::setpgid(pid, pid);  // also here, so the group exists before we ever signal it
  pid_ = pid;
  return true;
}

bool PeerProcess::WaitUntilAccepting() {
  const auto deadline = Clock::now() + options_.startTimeout;
  for (;;) {
    int status = 0;
    const pid_t r = ::waitpid(pid_, &status, WNOHANG);
    if (r == pid_) {
      pid_ = -1;
      problem_ = options_.program + " " + DescribeStatus(status) + " before accepting connections";
      return false;
    }
    // Another test's server may have taken the same free port before the peer bound it:
    // then the peer fails to bind and ends, and a new port is tried.
    if (!options_.waitForPort || (Accepts(options_.family, port_) && ListenerBelongsTo(pid_, port_))) return true;
    if (Clock::now() >= deadline) {
      problem_ = options_.program + " did not accept on " + address_ + " port " +
                 std::to_string(port_) + " within " + std::to_string(options_.startTimeout.count()) + " ms";
      return false;
    }
    std::this_thread::sleep_for(kPollInterval);
  }
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
}

std::string PeerProcess::StderrText() const { return ReadTail(dir_.path() / "stderr.log", std::string::npos); }

std::string PeerProcess::Diagnostics() const {
  std::string text = problem_;
  const std::string err = ReadTail(dir_.path() / "stderr.log", 4000);
  const std::string out = ReadTail(dir_.path() / "stdout.log", 2000);
  if (!err.empty()) text += "\n--- " + options_.program + " stderr ---\n" + err;
  if (!out.empty()) text += "\n--- " + options_.program + " stdout ---\n" + out;
  return text;
}

}  // namespace cvpeers
