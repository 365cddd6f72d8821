// The registration tool and the command-line host, run as programs against the deliverable.
#include <gtest/gtest.h>

#include <fstream>
#include <sstream>
#include <string>
#include <vector>

#include "host/host_process.h"
#include "host/test_host.h"

extern char** environ;

namespace {

using testhost::RegistryFixture;

using Outcome = testhost::ProgramRun;

class HostTest : public RegistryFixture {
 protected:
  // Runs a program with the fixture's registry root (the environment is inherited).
  Outcome Exec(std::vector<std::string> argv) { return testhost::RunProgram(dir_, std::move(argv)); }
};

TEST_F(HostTest, RegisterThenDriveTheControlByProgId) {
  Outcome reg = Exec({CV_CVREGSVR, CV_XFERCTL});
  ASSERT_EQ(reg.status, 0) << reg.err;

  Outcome run = Exec({CV_CVHOST, "Corvanetics.FileTransfer", "?Version", "Timeout=45", "?Timeout", "?ActivePort(1)",
                  "ServerName=\"ftp.example.com\"", "?ServerName", "Command(\"NOOP\", 0)"});
  EXPECT_EQ(run.status, 0) << run.err;
  EXPECT_EQ(run.out,
            "Version = \"9.5.9530.0\"\n"
            "Timeout = 45\n"
            "ActivePort = 4099\n"
            "ServerName = \"ftp.example.com\"\n"
            "event OnError: ErrorCode=12201, Description=\"The specified operation is not supported\"\n"
            "Error = 12201\n");
}

TEST_F(HostTest, FailingStepsEndTheRunWithTheErrorNumberAndText) {
  ASSERT_EQ(Exec({CV_CVREGSVR, CV_XFERCTL}).status, 0);
  // A step that does not parse is bad usage (2) and nothing runs; one that fails ends the run (1).
  struct {
    std::vector<std::string> steps;
    int status;
    std::string err;
  } cases[] = {
      {{"ThrowError=1", "Command(\"NOOP\")", "?Version"},
       1,
       "Command(\"NOOP\"): error 12201 (0x800A2FA9): The specified operation is not supported\n"},
      {{"ProxyPort=70000"}, 1, "ProxyPort=70000: error 12006 (0x800A2EE6): "},
      {{"?NoSuchProperty"}, 1, "?NoSuchProperty: error 0x80020006: Unknown name\n"},
      {{"ServerName=host"}, 1, "ServerName=host: unknown constant: host\n"},
      {{"Options=fileOptionSecure|fileOptionBogus"},
       1,
       "Options=fileOptionSecure|fileOptionBogus: unknown constant: fileOptionBogus\n"},
      {{"?Version", "ServerName=a b"},
       2,
       "ServerName=a b: not a number, a quoted string, a constant name or a $variable: a b\n"},
      {{"wait(\"x\")"}, 2, "wait(\"x\"): wait takes a number of seconds, or nothing to wait for a signal\n"},
      {{"@soon Cancel()"}, 2, "@soon Cancel(): @ needs a number of seconds before the step\n"},
      {{"Command(\"unterminated)"}, 2, "Command(\"unterminated): unterminated string\n"},
  };
  for (auto& c : cases) {
    std::vector<std::string> argv{CV_CVHOST, "Corvanetics.FileTransfer"};
    argv.insert(argv.end(), c.steps.begin(), c.steps.end());
    Outcome run = Exec(argv);
    EXPECT_EQ(run.status, c.status) << c.steps.back();
    EXPECT_EQ(run.err.substr(0, c.err.size()), c.err);
    EXPECT_EQ(run.out.find("Version"), std::string::npos);  // nothing runs after a failed step
  }
  // Unregistered again, the ProgID is unknown, and the host says what to do.
  ASSERT_EQ(Exec({CV_CVREGSVR, "-u", CV_XFERCTL}).status, 0);
  Outcome gone = Exec({CV_CVHOST, "Corvanetics.FileTransfer"});
  EXPECT_NE(gone.status, 0);
  EXPECT_EQ(gone.err,
            "Corvanetics.FileTransfer: error 0x800401F3: Invalid class string\n"
            "(no control of that name is registered: register its module with cvregsvr, see --help)\n");
  // Several modules in one call: each is done, and one that fails fails the call.
  Outcome several = Exec({CV_CVREGSVR, "/nonexistent/module.so", CV_XFERCTL});
  EXPECT_EQ(several.status, 1);
  EXPECT_NE(several.out.find("registered "), std::string::npos) << several.out;
  EXPECT_EQ(Exec({CV_CVHOST, "Corvanetics.FileTransfer", "?Timeout"}).status, 0);
}

TEST_F(HostTest, HelpAndListingTellWhatAControlOffers) {
  ASSERT_EQ(Exec({CV_CVREGSVR, CV_XFERCTL}).status, 0);
  Outcome regHelp = Exec({CV_CVREGSVR, "--help"});
  EXPECT_EQ(regHelp.status, 0);
  EXPECT_NE(regHelp.out.find("--all DIR"), std::string::npos) << regHelp.out;
  EXPECT_EQ(Exec({CV_CVREGSVR, "--bogus"}).status, 2);
  Outcome help = Exec({CV_CVHOST, "--help"});
  EXPECT_EQ(help.status, 0);
  for (const char* needle : {"usage: cvhost PROGID", "--list PROGID", "wait(seconds)", "@seconds STEP", "--script FILE",
                             "Corvanetics.TimeClient"})
    EXPECT_NE(help.out.find(needle), std::string::npos) << needle;

  Outcome list = Exec({CV_CVHOST, "--list", "Corvanetics.FileTransfer"});
  EXPECT_EQ(list.status, 0) << list.err;
  for (const char* needle :
       {"Properties:\n", "\n  ActivePort(Index As Long) As Long\n", "\n  Timeout As Long\n",
        "\n  CertificateStatus As Long (read-only)\n",
        "\n  GetFileSize([FileName], [out FileSize], [out Error])\n",
        "\n  OnProgress(FileName, FileSize, BytesCopied, Percent)\n", "\n  OnCancel()\n",
        "\n    fileOptionSecureExplicit = 8192\n", "\n    fileStateTransfer = 4\n"})
    EXPECT_NE(list.out.find(needle), std::string::npos) << needle << "\n" << list.out;
  EXPECT_EQ(Exec({CV_CVHOST, "--list", "No.Such"}).status, 1);
  EXPECT_EQ(Exec({CV_CVHOST, "--list"}).status, 2);
}

TEST_F(HostTest, ConstantsIndexedPropertiesScriptsAndWaits) {
  ASSERT_EQ(Exec({CV_CVREGSVR, CV_XFERCTL}).status, 0);
  const std::string script = (dir_ / "steps.txt").string();
  std::ofstream(script) << "# a comment, then a blank line\n\n"
                           "  ActivePort(fileActivePortHigh)=5000  \n?ActivePort(1)\n";
  Outcome run = Exec({CV_CVHOST, "Corvanetics.FileTransfer", "FileType=fileTypeBinary", "?FileType",
                      "Options=fileOptionNoCache|FILEOPTIONIPV6ONLY", "?Options", "--script", script, "wait(0.1)",
                      "@0.05 ?Timeout", "wait(2)", "?IsConnected"});
  EXPECT_EQ(run.status, 0) << run.err;
  // The scheduled step runs during the wait that follows it.
  EXPECT_EQ(run.out,
            "FileType = 3\n"
            "Options = 262145\n"
            "ActivePort = 5000\n"
            "Timeout = 20\n"
            "IsConnected = False\n");
  EXPECT_EQ(Exec({CV_CVHOST, "Corvanetics.FileTransfer", "--script", (dir_ / "none.txt").string()}).status, 2);
}

// An expect step ends the run with its own status when the value differs; passwords never
// print, and control characters print escaped.
TEST_F(HostTest, ExpectMaskAndEscape) {
  ASSERT_EQ(Exec({CV_CVREGSVR, CV_XFERCTL}).status, 0);
  Outcome pass = Exec({CV_CVHOST, "Corvanetics.FileTransfer", "expect Timeout=20", "expect LastError=0",
                       "expect IsConnected=False", "ServerName=\"a\\x1b[2J\\n\\\\\"", "?ServerName",
                       "expect ServerName=\"a\\x1b[2J\\n\\\\\"", "$b=b\"\\x00\\xff\"", "expect $b=b\"\\0\\xFF\"",
                       "Password=\"s3cret\"", "?Password", "expect Password=\"s3cret\""});
  EXPECT_EQ(pass.status, 0) << pass.err;
  EXPECT_EQ(pass.out, "ServerName = \"a\\x1b[2J\\n\\\\\"\nPassword = (hidden)\n");
  struct {
    std::string step, err;
  } fails[] = {
      {"expect Timeout=21", "expect Timeout=21: Timeout = 20\n"},
      {"expect IsConnected=True", "expect IsConnected=True: IsConnected = False\n"},
      {"expect ServerName=\"x\"", "expect ServerName=\"x\": ServerName = \"\"\n"},
      {"expect Password=\"x\"", "expect Password=\"x\": Password = (hidden)\n"},
      {"expect $none=1", "expect $none=1: $none = (empty)\n"},
  };
  for (const auto& f : fails) {
    Outcome run = Exec({CV_CVHOST, "Corvanetics.FileTransfer", f.step, "?Version"});
    EXPECT_EQ(run.status, 3) << f.step;
    EXPECT_EQ(run.err, f.err);
    EXPECT_EQ(run.out, "");
  }
  EXPECT_EQ(Exec({CV_CVHOST, "Corvanetics.FileTransfer", "expect Connect()"}).status, 2);
}

// Handlers run inside their event, with its arguments as variables; a variable keeps what a
// call wrote into it. A handler for an event the control lacks is refused up front.
TEST_F(HostTest, EventHandlersAndVariables) {
  ASSERT_EQ(Exec({CV_CVREGSVR, CV_XFERCTL}).status, 0);
  // Port 1 of the loopback refuses at once: Connect fails and fires OnError.
  Outcome run = Exec({CV_CVHOST, "Corvanetics.FileTransfer", "on OnError ?LastError", "on onerror Timeout=$ErrorCode",
                      "Initialize(, $index)", "?ActivePort($index)", "Connect(\"127.0.0.1\", 1)", "?Timeout"});
  EXPECT_EQ(run.status, 0) << run.err;
  EXPECT_EQ(run.out,
            "Error = 0\n"
            "ActivePort = 1025\n"
            "event OnError: ErrorCode=10061, Description=\"The connection has been refused by the remote host\"\n"
            "LastError = 10061\n"
            "Timeout = 10061\n");
  for (const char* bad : {"on OnNothing ?Timeout", "on OnError wait(1)", "on OnError @1 ?Timeout", "on OnError"}) {
    Outcome refused = Exec({CV_CVHOST, "Corvanetics.FileTransfer", bad});
    EXPECT_EQ(refused.status, 2) << bad;
    EXPECT_NE(refused.err.find(bad), std::string::npos) << refused.err;
  }
}

}  // namespace
