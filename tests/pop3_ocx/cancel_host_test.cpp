// Cancel from the host's own loop while a blocking Connect waits on a server that says
// nothing: the command-line host schedules "@1 Cancel()", and Connect ends with the cancel
// a moment later instead of after its whole time-out. A cancel after the call ended leaves
// the call's error in place and reports nothing of its own.
#include <gtest/gtest.h>

#include "host/host_process.h"
#include "host/test_host.h"
#include "support/silent_peer.h"

namespace {

using namespace std::chrono_literals;
using testhost::ProgramRun;

class PopCancelHost : public testhost::RegistryFixture {
 protected:
  void SetUp() override {
    RegistryFixture::SetUp();
    ASSERT_EQ(testhost::RunProgram(dir_, {CV_CVREGSVR, CV_POPCTL}).status, 0);
  }
  // Connect to peer with the given options and time-out, after the steps before.
  ProgramRun Host(const cvtest::SilentPeer& peer, std::vector<std::string> before, const std::string& options,
                  int timeout, std::vector<std::string> after) {
    std::vector<std::string> argv = {CV_CVHOST, "Corvanetics.PopClient", "UserName=\"u\"", "Password=\"p\""};
    argv.insert(argv.end(), before.begin(), before.end());
    argv.push_back("Connect(\"127.0.0.1\", " + std::to_string(peer.port()) + ", , , " + std::to_string(timeout) + ", " +
                   options + ")");
    argv.insert(argv.end(), after.begin(), after.end());
    return testhost::RunProgram(dir_, std::move(argv));
  }
};

TEST_F(PopCancelHost, CancelFromTheHostLoopEndsABlockingConnect) {
  struct Row {
    const char* name;
    std::vector<std::string> script;  // what the peer says before it falls silent
    const char* options;
  } rows[] = {
      {"greeting", {}, "popOptionNone"},
      {"TLS handshake", {}, "popOptionSecureImplicit"},
      {"login", {"+OK ready", "<USER u"}, "popOptionNone"},
  };
  for (const Row& row : rows) {
    SCOPED_TRACE(row.name);
    cvtest::SilentPeer peer(row.script);
    ProgramRun run = Host(peer, {"@1 Cancel()"}, row.options, 20, {"?LastError", "?IsConnected"});
    EXPECT_EQ(run.status, 0) << run.err;
    // The time-out is 20 s: only the cancel ends the call this soon.
    EXPECT_LT(run.took, 5s) << run.out;
    EXPECT_EQ(run.out,
              "event OnError: ErrorCode=10004, Description=\"The blocking operation has been canceled\"\n"
              "event OnCancel\n"
              "LastError = 10004\n"
              "IsConnected = False\n");
    EXPECT_TRUE(peer.scriptOk());
  }
}

TEST_F(PopCancelHost, ALateCancelKeepsTheErrorOfTheCallItCameTooLateFor) {
  cvtest::SilentPeer peer;
  ProgramRun run = Host(peer, {}, "popOptionNone", 1, {"Cancel()", "?LastError"});
  EXPECT_EQ(run.status, 0) << run.err;
  EXPECT_EQ(run.out,
            "event OnError: ErrorCode=10060, Description=\"The specified operation has timed out\"\n"
            "LastError = 10060\n");
}

}  // namespace
