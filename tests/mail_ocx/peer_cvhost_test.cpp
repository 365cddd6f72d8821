// End to end: the registration tool registers mailctl, and the command-line host creates
// the control by ProgID, composes a message and sends it through exim.
#include <gtest/gtest.h>

#include <fstream>
// GCC 12 reports a false "may be used uninitialized" inside std::regex's own automaton.
#pragma GCC diagnostic push
#pragma GCC diagnostic ignored "-Wmaybe-uninitialized"
#include <regex>
#pragma GCC diagnostic pop
#include <sstream>

#include "host/host_process.h"
#include "host/test_host.h"
#include "smtp/exim_peer.h"

extern char** environ;

namespace {

using Outcome = testhost::ProgramRun;

// Runs a program with the test's environment (its registry root included).
Outcome Exec(const std::filesystem::path& dir, std::vector<std::string> argv) {
  return testhost::RunProgram(dir, std::move(argv));
}

class MailHost : public testhost::RegistryFixture {};

TEST_F(MailHost, RegisterComposeAndSendThroughExim) {
  smtptest::EximPeer exim;
  CV_START_EXIM(exim);
  ASSERT_EQ(Exec(dir_, {CV_CVREGSVR, CV_MAILCTL}).status, 0);
  Outcome run = Exec(dir_, {CV_CVHOST, "Corvanetics.InternetMail", "RelayServer=\"127.0.0.1\"",
                            "RelayPort=" + std::to_string(exim.port()),
                            "ComposeMessage(\"Ann <ann@example.org>\", \"bob@example.org, refused@example.org\", , , "
                            "\"from the host\", \"sent by cvhost\")",
                            "?Recipients", "SendMessage(, , , , 0)", "?LastError"});
  EXPECT_EQ(run.status, 0) << run.err;
  const std::regex expect(
      "Recipients = 2\n"
      "event OnRecipient: Address=\"bob@example.org\", Cancel=False\n"
      "(event OnProgress: MessageSize=\\d+, MessageCopied=\\d+, Percent=\\d+\n)+"
      "event OnDelivered: Address=\"bob@example.org\", MessageSize=\\d+\n"
      "event OnRecipient: Address=\"refused@example.org\", Cancel=False\n"
      "event OnError: ErrorCode=1\\d{4}, Description=\"[^\"]+\"\n"
      "Error = 0\n"
      "LastError = 1\\d{4}\n");
  EXPECT_TRUE(std::regex_match(run.out, expect)) << run.out;
  const std::vector<std::string> copies = exim.Delivered(1);
  ASSERT_EQ(copies.size(), 1u);
  EXPECT_NE(copies[0].find("Subject: from the host\n"), std::string::npos) << copies[0];
  EXPECT_NE(copies[0].find("sent by cvhost"), std::string::npos) << copies[0];
}

}  // namespace
