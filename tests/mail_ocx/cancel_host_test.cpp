// Cancel from the host's own loop while the control waits on a server that says nothing:
// the command-line host schedules "@1 Cancel()" before Connect or SendMessage, and the call
// ends with the cancel a moment later instead of after its whole time-out, whether the
// library could report to the control's window yet or not. A cancel after the call ended
// leaves the call's error in place.
#include <gtest/gtest.h>

#include "host/cancel_expect.h"
#include "host/host_process.h"
#include "host/test_host.h"
#include "support/silent_peer.h"

namespace {

using namespace std::chrono_literals;
using testhost::ProgramRun;

class MailCancelHost : public testhost::RegistryFixture {
 protected:
  void SetUp() override {
    RegistryFixture::SetUp();
    ASSERT_EQ(testhost::RunProgram(dir_, {CV_CVREGSVR, CV_MAILCTL}).status, 0);
  }
  ProgramRun Host(std::vector<std::string> steps) {
    steps.insert(steps.begin(), {CV_CVHOST, "Corvanetics.InternetMail"});
    return testhost::RunProgram(dir_, std::move(steps));
  }
};

std::string ConnectTo(uint16_t port, int timeout) {
  return "Connect(\"127.0.0.1\", " + std::to_string(port) + ", \"u\", \"p\", " + std::to_string(timeout) + ")";
}

TEST_F(MailCancelHost, CancelFromTheHostLoopEndsAWaitOnASilentServer) {
  struct Row {
    const char* name;
    std::vector<std::string> script;  // what the peer says before it falls silent
    bool send;                        // SendMessage through the peer as relay, else Connect
    const char* serverType;
  } rows[] = {
      {"POP3 greeting", {}, false, "ServerType=1"},
      {"POP3 login", {"+OK ready", "<USER u"}, false, "ServerType=1"},
      {"IMAP greeting", {}, false, "ServerType=2"},
      {"IMAP login", {"* OK ready", "<"}, false, "ServerType=2"},
      {"SMTP greeting", {}, true, "ServerType=0"},
      {"SMTP hello", {"220 ready", "<EHLO"}, true, "ServerType=0"},
      {"SMTP message", {"220 ready", "<EHLO", "250 ok", "<"}, true, "ServerType=0"},
  };
  for (const Row& row : rows) {
    SCOPED_TRACE(row.name);
    cvtest::SilentPeer peer(row.script);
    std::vector<std::string> steps = {row.serverType, "Timeout=20", "@1 Cancel()"};
    if (row.send) {
      steps.insert(steps.end(),
                   {"RelayServer=\"127.0.0.1\"", "RelayPort=" + std::to_string(peer.port()),
                    "SendMessage(\"a@example.org\", \"b@example.org\", \"Subject: x\\r\\n\\r\\nbody\\r\\n\")"});
    } else {
      steps.push_back(ConnectTo(peer.port(), 20));
    }
    steps.push_back("?LastError");
    ProgramRun run = Host(steps);
    testhost::ExpectEndedByCancel(run);
    EXPECT_TRUE(peer.scriptOk());
  }
}

TEST_F(MailCancelHost, ALateCancelKeepsTheErrorOfTheCallItCameTooLateFor) {
  cvtest::SilentPeer peer;
  ProgramRun run = Host({"ServerType=1", ConnectTo(peer.port(), 1), "Cancel()", "?LastError"});
  EXPECT_EQ(run.status, 0) << run.err;
  EXPECT_EQ(run.Lines("event OnCancel"), 0u) << run.out;
  EXPECT_EQ(run.Lines("LastError = 10060"), 1u) << run.out;

  // Nor does it stop the send that follows: that one ends by its own time-out.
  run = Host({"Timeout=1", "RelayServer=\"127.0.0.1\"", "RelayPort=" + std::to_string(peer.port()), "Cancel()",
              "SendMessage(\"a@example.org\", \"b@example.org\", \"Subject: x\\r\\n\\r\\nbody\\r\\n\")", "?LastError"});
  EXPECT_EQ(run.status, 0) << run.err;
  EXPECT_EQ(run.Lines("event OnCancel"), 0u) << run.out;
  EXPECT_EQ(run.Lines("LastError = 10060"), 1u) << run.out;
}

}  // namespace
