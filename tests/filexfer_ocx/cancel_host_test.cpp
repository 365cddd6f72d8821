// Cancel from the host's own loop while the control waits on a peer that says nothing: the
// command-line host schedules "@1 Cancel()" before a blocking call, and the call ends with
// the cancel a moment later instead of after its whole time-out. A cancel that comes after
// the call ended leaves the call's error in place.
#include <gtest/gtest.h>

#include "host/cancel_expect.h"
#include "host/host_process.h"
#include "host/test_host.h"
#include "support/silent_peer.h"

namespace {

using namespace std::chrono_literals;
using testhost::ProgramRun;

class CancelHost : public testhost::RegistryFixture {
 protected:
  void SetUp() override {
    RegistryFixture::SetUp();
    ASSERT_EQ(testhost::RunProgram(dir_, {CV_CVREGSVR, CV_XFERCTL}).status, 0);
  }
  ProgramRun Host(std::vector<std::string> steps) {
    steps.insert(steps.begin(), {CV_CVHOST, "Corvanetics.FileTransfer"});
    return testhost::RunProgram(dir_, std::move(steps));
  }
};

// An HTTP response that stops after the first 1,000 bytes of a longer body.
std::vector<std::string> StalledBody() {
  return {"HTTP/1.1 200 OK", "Content-Length: 100000", "", std::string(998, 'b')};
}

TEST_F(CancelHost, CancelFromTheHostLoopEndsAWaitOnASilentPeer) {
  struct Row {
    const char* name;
    std::vector<std::string> script;  // what the peer says before it falls silent
    std::string call;                 // %u: the peer's port
  } rows[] = {
      {"FTP greeting", {}, "Connect(\"127.0.0.1\", %u, \"u\", \"p\", 20)"},
      {"FTPS handshake", {}, "Connect(\"127.0.0.1\", %u, \"u\", \"p\", 20, fileOptionSecureImplicit)"},
      {"FTP query", {"220 ready", "<SYST"}, "Connect(\"127.0.0.1\", %u, \"u\", \"p\", 20)"},
      {"FTP login",
       {"220 ready", "<SYST", "215 UNIX Type: L8", "<USER u"},
       "Connect(\"127.0.0.1\", %u, \"u\", \"p\", 20)"},
      {"SFTP connect", {}, "Connect(\"127.0.0.1\", %u, \"u\", \"p\", 20, fileOptionSecureShell)"},
      {"HTTP response", {}, "GetData(\"http://127.0.0.1:%u/a.txt\", $data)"},
      {"HTTP body", StalledBody(), "GetData(\"http://127.0.0.1:%u/a.txt\", $data)"},
      {"HTTPS handshake", {}, "Connect(\"https://127.0.0.1:%u/\", , , , 20)"},
  };
  for (const Row& row : rows) {
    SCOPED_TRACE(row.name);
    cvtest::SilentPeer peer(row.script);
    std::string call = row.call;
    call.replace(call.find("%u"), 2, std::to_string(peer.port()));
    const std::string type = call.find("http") != std::string::npos ? "ServerType=2" : "ServerType=1";
    ProgramRun run = Host({type, "Timeout=20", "@1 Cancel()", call, "?LastError"});
    testhost::ExpectEndedByCancel(run);
    EXPECT_TRUE(peer.scriptOk());
  }
}

TEST_F(CancelHost, ALateCancelKeepsTheErrorOfTheCallItCameTooLateFor) {
  cvtest::SilentPeer peer;
  ProgramRun run = Host({"ServerType=1", "Connect(\"127.0.0.1\", " + std::to_string(peer.port()) + ", \"u\", \"p\", 1)",
                         "Cancel()", "?LastError"});
  EXPECT_EQ(run.status, 0) << run.err;
  EXPECT_EQ(run.out,
            "event OnError: ErrorCode=10060, Description=\"The specified operation has timed out\"\n"
            "LastError = 10060\n");
}

}  // namespace
