// End to end: the registration tool registers timectl, and the command-line host creates
// the control by ProgID and reads the time of xinetd's time service on 127.0.0.1.
#include <fcntl.h>
#include <gtest/gtest.h>
#include <spawn.h>
#include <sys/wait.h>
#include <time.h>
#include <unistd.h>

#include <fstream>
// GCC 12 reports a false "may be used uninitialized" inside std::regex's own automaton.
#pragma GCC diagnostic push
#pragma GCC diagnostic ignored "-Wmaybe-uninitialized"
#include <regex>
#pragma GCC diagnostic pop
#include <sstream>

#include "host/test_host.h"
#include "peers/peer.h"
#include "time/time.h"
#include "time_test_support.h"
#include "xinetd_peer.h"

extern char** environ;

namespace {

struct Outcome {
  int status = -1;
  std::string out, err;
};

std::string Slurp(const std::string& path) {
  std::ifstream f(path);
  std::stringstream s;
  s << f.rdbuf();
  return s.str();
}

// Runs a program with the test's environment (its registry root included).
Outcome Exec(const std::filesystem::path& dir, std::vector<std::string> argv) {
  const std::string out = (dir / "out.txt").string(), err = (dir / "err.txt").string();
  posix_spawn_file_actions_t fa;
  posix_spawn_file_actions_init(&fa);
  posix_spawn_file_actions_addopen(&fa, 1, out.c_str(), O_WRONLY | O_CREAT | O_TRUNC, 0600);
  posix_spawn_file_actions_addopen(&fa, 2, err.c_str(), O_WRONLY | O_CREAT | O_TRUNC, 0600);
  std::vector<char*> args;
  for (std::string& a : argv) args.push_back(a.data());
  args.push_back(nullptr);
  pid_t pid = 0;
  Outcome r;
  if (posix_spawn(&pid, args[0], &fa, nullptr, args.data(), environ) == 0) {
    int st = 0;
    waitpid(pid, &st, 0);
    r.status = WIFEXITED(st) ? WEXITSTATUS(st) : 128;
  }
  posix_spawn_file_actions_destroy(&fa);
  r.out = Slurp(out);
  r.err = Slurp(err);
  return r;
}

std::string UtcDate(time_t t) {
  tm f{};
  gmtime_r(&t, &f);
  return std::to_string(f.tm_mon + 1) + "/" + std::to_string(f.tm_mday) + "/" + std::to_string(f.tm_year + 1900);
}

class TimeHost : public testhost::RegistryFixture {};

TEST_F(TimeHost, RegisterThenReadTheTimeOfARealServer) {
  cvpeers::PeerProcess server(timetest::XinetdTimeService());
  CV_START_PEER(server);
  {
    // Waits until the service answers, with the library linked into this test.
    timetest::Attached lib;
    ASSERT_NE(timetest::AskUntilAnswered("127.0.0.1", server.port()), 0u) << server.Diagnostics();
  }
  // A port that takes datagrams and never answers them.
  timetest::ScriptedServer silent({});

  ASSERT_EQ(Exec(dir_, {CV_CVREGSVR, CV_TIMECTL}).status, 0);
  const time_t before = ::time(nullptr);
  const std::string port = std::to_string(server.port());
  Outcome run = Exec(dir_, {CV_CVHOST, "Corvanetics.TimeClient", "HostAddress=\"127.0.0.1\"", "RemotePort=" + port,
                            "GetTime(, , 5, 0, 0)", "?LastError", "?SystemDate",
                            "GetTime(, " + std::to_string(silent.port()) + ", 1)", "?LastError", "?SystemDate"});
  const time_t after = ::time(nullptr);
  EXPECT_EQ(run.status, 0) << run.err;
  const std::regex expect(
      "Result = \"\\d{1,2}/\\d{1,2}/\\d{4} \\d{1,2}:\\d\\d:\\d\\d [AP]M\"\n"
      "LastError = 0\n"
      "SystemDate = \"([0-9/]+)\"\n"
      "event OnTimeout\n"
      "LastError = 10060\n"
      "SystemDate = \"\"\n");
  std::smatch m;
  ASSERT_TRUE(std::regex_match(run.out, m, expect)) << run.out;
  EXPECT_TRUE(m[1] == UtcDate(before) || m[1] == UtcDate(after)) << m[1];
}

}  // namespace
