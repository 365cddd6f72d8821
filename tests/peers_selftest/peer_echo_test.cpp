// Proves the peer harness with socat as the server.
#include <fcntl.h>
#include <netinet/in.h>
#include <poll.h>
#include <signal.h>
#include <sys/socket.h>
#include <sys/wait.h>
#include <unistd.h>

#include <cerrno>
#include <cstdio>
#include <filesystem>
#include <fstream>
#include <map>
#include <string>
#include <thread>
#include <vector>

#include "peers/peer.h"
#include "peers/port_owner.h"

namespace {

using cvpeers::PeerOptions;
using cvpeers::PeerProcess;

// A connected socket to the peer, or -1.
int Connect(const PeerProcess& peer) {
  const int s = ::socket(peer.family(), SOCK_STREAM | SOCK_CLOEXEC, 0);
  sockaddr_storage storage{};
  socklen_t length;
  if (peer.family() == AF_INET6) {
    auto* a = reinterpret_cast<sockaddr_in6*>(&storage);
    a->sin6_family = AF_INET6;
    a->sin6_addr = in6addr_loopback;
    a->sin6_port = htons(peer.port());
    length = sizeof *a;
  } else {
    auto* a = reinterpret_cast<sockaddr_in*>(&storage);
    a->sin_family = AF_INET;
    a->sin_addr.s_addr = htonl(INADDR_LOOPBACK);
    a->sin_port = htons(peer.port());
    length = sizeof *a;
  }
  if (::connect(s, reinterpret_cast<sockaddr*>(&storage), length) != 0) {
    ::close(s);
    return -1;
  }
  return s;
}

// Reads until want bytes arrived, the peer closed, or 5 s passed.
std::string Receive(int s, size_t want) {
  std::string got;
  while (got.size() < want) {
    pollfd p{s, POLLIN, 0};
    if (::poll(&p, 1, 5000) <= 0) break;
    char buf[4096];
    const ssize_t n = ::recv(s, buf, sizeof buf, 0);
    if (n <= 0) break;
    got.append(buf, size_t(n));
  }
  return got;
}

// Processes of the group that are still running (zombies don't count).
int LiveMembers(pid_t group) {
  int live = 0;
  for (const auto& entry : std::filesystem::directory_iterator("/proc")) {
    std::ifstream stat(entry.path() / "stat");
    std::string line;
    if (!std::getline(stat, line)) continue;
    // pid (comm) state ppid pgrp ...; comm may contain blanks, so parse after the last ')'.
    const size_t close = line.rfind(')');
    if (close == std::string::npos) continue;
    char state = 0;
    long ppid = 0, pgrp = 0;
    if (std::sscanf(line.c_str() + close + 1, " %c %ld %ld", &state, &ppid, &pgrp) == 3 && pgrp == group &&
        state != 'Z' && state != 'X')
      ++live;
  }
  return live;
}

PeerOptions SocatEcho(int family) {
  const char* listen = family == AF_INET6 ? "TCP6-LISTEN" : "TCP4-LISTEN";
  return {.program = "socat",
          .args = {"-d", std::string(listen) + ":{{PORT}},bind={{HOST}},reuseaddr,fork", "PIPE"},
          .family = family};
}

class PeerEcho : public testing::TestWithParam<int> {};

TEST_P(PeerEcho, EchoesWhatItReceives) {
  PeerProcess echo(SocatEcho(GetParam()));
  CV_START_PEER(echo);
  EXPECT_EQ(echo.address(), GetParam() == AF_INET6 ? "::1" : "127.0.0.1");
  EXPECT_GE(echo.port(), 1024);

  // Two clients at once: the forking server serves each on its own.
  const int a = Connect(echo), b = Connect(echo);
  ASSERT_GE(a, 0) << echo.Diagnostics();
  ASSERT_GE(b, 0) << echo.Diagnostics();
  const std::string big(100000, 'x');
  ASSERT_EQ(::send(b, "second", 6, MSG_NOSIGNAL), 6);
  ASSERT_EQ(::send(a, big.data(), 1000, MSG_NOSIGNAL), 1000);
  EXPECT_EQ(Receive(b, 6), "second");
  EXPECT_EQ(Receive(a, 1000), big.substr(0, 1000));
  ::close(a);
  ::close(b);
}

INSTANTIATE_TEST_SUITE_P(Families, PeerEcho, testing::Values(AF_INET, AF_INET6),
                         [](const auto& info) { return info.param == AF_INET6 ? "IPv6" : "IPv4"; });

TEST(PeerHarness, WritesTheConfigurationTemplateIntoItsDirectory) {
  PeerProcess peer({.program = "socat",
                    .args = {"TCP4-LISTEN:{{PORT}},bind={{ADDR}},reuseaddr,fork", "SYSTEM:cat {{CONFIG}}"},
                    .configName = "conf/greeting.txt",
                    .configTemplate = "port {{PORT}} dir {{DIR}} name {{NAME}} keep {{OTHER}}\n",
                    .values = {{"NAME", "echo"}}});
  CV_START_PEER(peer);
  EXPECT_EQ(peer.configPath(), peer.dir() / "conf/greeting.txt");
  EXPECT_EQ(peer.value("PORT"), std::to_string(peer.port()));

  const int s = Connect(peer);
  ASSERT_GE(s, 0);
  const std::string expected = "port " + std::to_string(peer.port()) + " dir " + peer.dir().string() +
                               " name echo keep {{OTHER}}\n";
  EXPECT_EQ(Receive(s, expected.size() + 1), expected);
  ::close(s);
}

TEST(PeerHarness, StopEndsTheWholeProcessGroupAndTheDirectory) {
  std::filesystem::path dir;
  pid_t pid;
  {
    PeerProcess echo(SocatEcho(AF_INET));
    CV_START_PEER(echo);
    dir = echo.dir();
    pid = echo.pid();
    const int s = Connect(echo);  // leaves a forked child serving this connection
    ASSERT_GE(s, 0);
    ASSERT_EQ(::send(s, "hi", 2, MSG_NOSIGNAL), 2);
    ASSERT_EQ(Receive(s, 2), "hi");

    ASSERT_GE(LiveMembers(pid), 2);  // the listener and the child serving s

    echo.Stop();
    EXPECT_FALSE(echo.running());
    EXPECT_EQ(::kill(pid, 0), -1);
    EXPECT_EQ(LiveMembers(pid), 0);
    EXPECT_EQ(Connect(echo), -1);
        ::close(s);
    EXPECT_TRUE(std::filesystem::exists(dir));
  }
  EXPECT_FALSE(std::filesystem::exists(dir));
}

TEST(PeerHarness, MissingProgramIsUnavailable) {
  PeerProcess peer({.program = "cv-no-such-peer-program"});
  EXPECT_EQ(peer.Start(), PeerProcess::StartResult::Unavailable);
  EXPECT_NE(peer.Diagnostics().find("not installed"), std::string::npos);
  EXPECT_FALSE(peer.running());
}

TEST(PeerHarness, ProgramThatExitsEarlyFailsWithItsStderr) {
  PeerProcess peer({.program = "sh", .args = {"-c", "echo cannot bind {{PORT}} >&2; exit 3"}});
  EXPECT_EQ(peer.Start(), PeerProcess::StartResult::Failed);
  const std::string why = peer.Diagnostics();
  EXPECT_NE(why.find("exited with status 3"), std::string::npos) << why;
  EXPECT_NE(why.find("cannot bind"), std::string::npos) << why;
  EXPECT_FALSE(peer.running());
}

TEST(PeerHarness, ProgramThatNeverListensTimesOutAndIsStopped) {
  PeerProcess peer({.program = "sleep", .args = {"60"}, .startTimeout = std::chrono::milliseconds(200)});
  EXPECT_EQ(peer.Start(), PeerProcess::StartResult::Failed);
  EXPECT_NE(peer.Diagnostics().find("did not accept"), std::string::npos) << peer.Diagnostics();
  EXPECT_FALSE(peer.running());
}

// A listening socket of the test process on 127.0.0.1 and a free port (or the given one).
int Listen(uint16_t port, uint16_t* bound) {
  const int s = ::socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0);
  sockaddr_in a{};
  a.sin_family = AF_INET;
  a.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
  a.sin_port = htons(port);
  socklen_t length = sizeof a;
  if (::bind(s, reinterpret_cast<sockaddr*>(&a), length) != 0 || ::listen(s, 1) != 0 ||
      ::getsockname(s, reinterpret_cast<sockaddr*>(&a), &length) != 0) {
    ::close(s);
    return -1;
  }
  *bound = ntohs(a.sin_port);
  return s;
}

// Whether the process has ended (looked at without reaping it).
bool Ended(pid_t pid) {
  siginfo_t info{};
  return ::waitid(P_PID, id_t(pid), &info, WEXITED | WNOHANG | WNOWAIT) != 0 || info.si_pid == pid;
}

// A peer's port counts as started only when the peer holds the listener: another test's
// server on the same free port is not the peer.
TEST(PeerHarness, ListenersAreFoundWithTheirOwnersOnTheFamilysAddress) {
  uint16_t port = 0;
  const int listener = Listen(0, &port);
  ASSERT_GE(listener, 0);
  const pid_t other = ::fork();
  if (other == 0) {
    ::setpgid(0, 0);
    ::execlp("sleep", "sleep", "60", static_cast<char*>(nullptr));
    ::_exit(127);
  }
  ASSERT_GT(other, 0);
  ::setpgid(other, other);

  cvpeers::PortListeners found = cvpeers::FindListeners(AF_INET, port, ::getpgrp());
  ASSERT_TRUE(found.known);
  EXPECT_TRUE(found.listening);
  ASSERT_EQ(found.holders.size(), 1u);
  EXPECT_EQ(found.holders[0].pid, ::getpid());
  EXPECT_TRUE(found.holders[0].inGroup);
  found = cvpeers::FindListeners(AF_INET, port, other);
  ASSERT_EQ(found.holders.size(), 1u);
  EXPECT_FALSE(found.holders[0].inGroup);
  EXPECT_NE(cvpeers::DescribeListeners(found).find("not the peer"), std::string::npos);
  EXPECT_FALSE(cvpeers::FindListeners(AF_INET6, port, other).listening) << "::1 is another address";
  ::close(listener);
  found = cvpeers::FindListeners(AF_INET, port, other);
  EXPECT_FALSE(found.listening);
  EXPECT_EQ(cvpeers::DescribeListeners(found), "nothing listens");
  ::kill(other, SIGKILL);
  ::waitpid(other, nullptr, 0);
}

// Like a mail server with a plain and a TLS listener: it serves its first port at once,
// and ends when its second bind fails a moment later.
PeerOptions TwoPortEcho() {
  return {.program = "sh",
          .args = {"-c",
                   "socat TCP4-LISTEN:{{PORT}},bind={{ADDR}},reuseaddr,fork PIPE & sleep 0.3; "
                   "exec socat TCP4-LISTEN:{{SECOND}},bind={{ADDR}},reuseaddr,fork PIPE"},
          .ports = {"SECOND"}};
}

TEST(PeerHarness, ASecondPortTakenByAnotherProcessIsDrawnAgain) {
  if (cvpeers::FindProgram("socat").empty()) GTEST_SKIP() << "socat is not installed";
  int taker = -1;
  uint16_t taken = 0;
  PeerOptions options = TwoPortEcho();
  options.beforeStart = [&](const std::map<std::string, uint16_t>& ports) {
    if (taker < 0) taker = Listen(ports.at("SECOND"), &taken);  // first attempt only
  };
  PeerProcess peer(options);
  CV_START_PEER(peer);
  ::close(taker);
  ASSERT_NE(taken, 0);
  EXPECT_NE(peer.port("SECOND"), taken);
  EXPECT_NE(peer.port("SECOND"), peer.port());
  EXPECT_EQ(peer.port("PORT"), peer.port());
  EXPECT_EQ(peer.value("SECOND"), std::to_string(peer.port("SECOND")));
  EXPECT_NE(peer.Diagnostics().find("was taken by another process"), std::string::npos) << peer.Diagnostics();

  std::this_thread::sleep_for(std::chrono::milliseconds(400));  // past the second bind
  EXPECT_FALSE(Ended(peer.pid())) << peer.Diagnostics();
  for (const char* name : {"PORT", "SECOND"}) {
    const cvpeers::PortListeners found = cvpeers::FindListeners(AF_INET, peer.port(name), peer.pid());
    ASSERT_FALSE(found.holders.empty()) << name << "\n" << peer.Diagnostics();
    EXPECT_TRUE(found.holders[0].inGroup) << name;
  }
}

// The probe that tells whether a port accepts connects only to the peer's own listener:
// on another test's listener (a passive data port, say) it would be taken for that test's
// client, and the listener, served, might close and leave the port looking like the peer's.
// The test process's own listener is the hard case: the peer's new process holds a copy of
// it until it runs its program. That window is short; it is widened here by many descriptors
// of a file with many locks, opened before the listener: each close in the new process walks
// the file's lock list, so it takes milliseconds to get to the listener's copy.
TEST(PeerHarness, NoProbeLandsOnAnotherProcesssListener) {
  const cvpeers::TempDir dir;
  const int locked = ::open(dir.Write("locked", std::string(8192, 'x')).c_str(), O_RDWR | O_CLOEXEC);
  ASSERT_GE(locked, 0);
  for (int i = 0; i < 4000; ++i) {
    struct flock lock {};
    lock.l_type = F_WRLCK;
    lock.l_whence = SEEK_SET;
    lock.l_start = 2 * i;  // apart, so that the locks stay separate entries
    lock.l_len = 1;
    ASSERT_EQ(::fcntl(locked, F_SETLK, &lock), 0);
  }
  std::vector<int> copies;
  for (int i = 0; i < 1000; ++i) copies.push_back(::fcntl(locked, F_DUPFD_CLOEXEC, 0));
  for (int round = 0; round < 3 && !HasFailure(); ++round) {
    int taker = -1;
    uint16_t taken = 0;
    PeerOptions options = SocatEcho(AF_INET);
    options.beforeStart = [&](const std::map<std::string, uint16_t>& ports) {
      if (taker < 0) taker = Listen(ports.at("PORT"), &taken);
    };
    PeerProcess peer(options);
    CV_START_PEER(peer);
    ASSERT_GE(taker, 0);
    EXPECT_NE(peer.port(), taken);
    pollfd waiting{taker, POLLIN, 0};
    EXPECT_EQ(::poll(&waiting, 1, 0), 0) << "round " << round << ": the harness connected to a listener "
                                         << "that is not the peer's\n"
                                         << peer.Diagnostics();
    ::close(taker);
  }
  for (const int copy : copies) ::close(copy);
  ::close(locked);
}

// A program that cannot be run is reported with the reason, not as a peer that never listened.
TEST(PeerHarness, AProgramThatCannotRunSaysWhy) {
  const cvpeers::TempDir dir;
  const auto program = dir.Write("not-a-program",
                                 std::string("\x7f"
                                             "ELF but not really"),
                                 std::filesystem::perms(0755));
  PeerProcess peer({.program = program.string()});
  EXPECT_EQ(peer.Start(), PeerProcess::StartResult::Failed);
  EXPECT_NE(peer.Diagnostics().find("cannot run " + program.string() + ": Exec format error"), std::string::npos)
      << peer.Diagnostics();
  EXPECT_FALSE(peer.running());
}

TEST(PeerHarness, APeerWhoseSecondBindFailsEveryTimeIsNeverReportedStarted) {
  if (cvpeers::FindProgram("socat").empty()) GTEST_SKIP() << "socat is not installed";
  PeerOptions options = TwoPortEcho();
  options.args[1] = "socat TCP4-LISTEN:{{PORT}},bind={{ADDR}},reuseaddr,fork PIPE & sleep 0.03; exit 89";
  PeerProcess peer(options);
  EXPECT_EQ(peer.Start(), PeerProcess::StartResult::Failed);
  const std::string why = peer.Diagnostics();
  EXPECT_NE(why.find("exited with status 89"), std::string::npos) << why;
  EXPECT_NE(why.find("earlier attempts"), std::string::npos) << why;
  EXPECT_FALSE(peer.running());
}

TEST(PeerHarness, DiagnosticsTellTheProcessStatePortHoldersAndOwnLogs) {
  PeerProcess failing({.program = "sh",
                       .args = {"-c", "echo cannot bind {{TLSPORT}} >> {{DIR}}/own.log; echo OOPS on zero >&0; exit 5"},
                       .ports = {"TLSPORT"},
                       .logFiles = {"own.log"},
                       .errorsOnStdin = true});
  EXPECT_EQ(failing.Start(), PeerProcess::StartResult::Failed);
  const std::string why = failing.Diagnostics();
  EXPECT_NE(why.find("exited with status 5"), std::string::npos) << why;
  EXPECT_NE(why.find("--- TLSPORT " + std::to_string(failing.port("TLSPORT")) + ": nothing listens"), std::string::npos)
      << why;
  EXPECT_NE(why.find("own.log ---\ncannot bind "), std::string::npos) << why;
  EXPECT_NE(why.find("cannot bind " + std::to_string(failing.port("TLSPORT"))), std::string::npos) << why;
  EXPECT_NE(why.find("OOPS on zero"), std::string::npos) << why;

  PeerProcess echo(SocatEcho(AF_INET));
  CV_START_PEER(echo);
  const std::string state = echo.Diagnostics();
  EXPECT_NE(state.find("pid " + std::to_string(echo.pid()) + " running"), std::string::npos) << state;
  EXPECT_NE(state.find("(socat), the peer"), std::string::npos) << state;
}

// Other tests' passive data listeners and outgoing connections get their ports from the
// kernel's local range: a drawn port lies below it, where they cannot take it.
TEST(PeerHarness, FreePortsLieBelowTheKernelsOwnRange) {
  std::ifstream range("/proc/sys/net/ipv4/ip_local_port_range");
  int low = 0;
  if (!(range >> low) || low < 4096) GTEST_SKIP() << "no local port range to stay below";
  for (int family : {AF_INET, AF_INET6}) {
    if (!cvpeers::LoopbackAvailable(family)) continue;
    for (int i = 0; i < 20; ++i) {
      const uint16_t port = cvpeers::FreePort(family);
      EXPECT_GE(port, low / 2);
      EXPECT_LT(port, low);
    }
  }
}

TEST(PeerHarness, FillTemplateReplacesOnlyKnownNames) {
  const std::map<std::string, std::string> values{{"A", "1"}, {"B", "two"}};
  const std::pair<const char*, const char*> cases[] = {
      {"", ""},
      {"{{A}}", "1"},
      {"x{{A}}y{{B}}z{{A}}", "x1ytwoz1"},
      {"{{C}} {{A}}", "{{C}} 1"},
      {"{{A", "{{A"},
      {"{ {A}} }}", "{ {A}} }}"},
      {"{{{A}}}", "{1}"},
  };
  for (const auto& [in, out] : cases) EXPECT_EQ(cvpeers::FillTemplate(in, values), out) << in;
}

}  // namespace
