// End to end: the registration tool registers popctl, and the command-line host creates the
// control by ProgID, logs in to dovecot on 127.0.0.1, reads the mailbox and stores a message.
#include <fcntl.h>
#include <gtest/gtest.h>
#include <spawn.h>
#include <sys/wait.h>

#include <fstream>
#include <sstream>

#include "dovecot_peer.h"
#include "host/test_host.h"

extern char** environ;

namespace {

struct Outcome {
  int status = -1;
  std::string out, err;
};

std::string Slurp(const std::string& path) {
  std::ifstream f(path, std::ios::binary);
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

class PopHost : public testhost::RegistryFixture {};

TEST_F(PopHost, RegisterThenReadAMailbox) {
  const std::string message = "From: a@example.org\r\nSubject: end to end\r\n\r\nbody\r\n";
  cvpeers::PeerProcess peer(pop3test::DovecotOptions(AF_INET));
  if (!pop3test::PrepareDovecot(peer, {message})) GTEST_SKIP() << "dovecot set-up not possible here";
  CV_START_PEER(peer);

  ASSERT_EQ(Exec(dir_, {CV_CVREGSVR, CV_POPCTL}).status, 0);
  const std::string file = (dir_ / "message.eml").string();
  Outcome run = Exec(dir_, {CV_CVHOST, "Corvanetics.PopClient", "HostName=\"127.0.0.1\"",
                            "RemotePort=" + std::to_string(peer.port()), "UserName=\"test\"", "Password=\"secret\"",
                            "Connect()", "?MessageCount", "StoreMessage(1, \"" + file + "\")", "?LastError",
                            "Disconnect()", "?IsConnected"});
  EXPECT_EQ(run.status, 0) << run.err;
  EXPECT_NE(run.out.find("MessageCount = 1\n"), std::string::npos) << run.out;
  EXPECT_NE(run.out.find("event OnProgress: MessageNumber=1, MessageSize=" + std::to_string(message.size()) +
                         ", MessageCopied=" + std::to_string(message.size()) + ", Percent=100\n"),
            std::string::npos)
      << run.out;
  // QUIT's answer is the last command event.
  EXPECT_NE(run.out.find("LastError = 0\n"
                         "event OnCommand: ResultCode=True, ResultString=\"Logging out.\"\n"
                         "IsConnected = False\n"),
            std::string::npos)
      << run.out;
  EXPECT_EQ(Slurp(file), message);
}

}  // namespace
