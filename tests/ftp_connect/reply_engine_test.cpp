// The command and reply engine against a scripted server: reply syntax, text
// normalisation, the reply-to-error table, events, and a channel kept in step.
#include <thread>

#include "ftp_fixture.h"

using namespace ftptest;
using namespace std::chrono_literals;

namespace {

struct ReplyCase {
  const char* name;
  std::string bytes;
  int32_t result;
  uint32_t error;  // when result is -1
  uint32_t code;
  std::string text;
};

class ReplyEngine : public FtpTest {};

TEST_F(ReplyEngine, RepliesParseAndNormalise) {
  const std::vector<ReplyCase> cases = {
      {"single", "200 Command okay.\r\n", 200, 0, 200, "Command okay."},
      {"three lines", "220-A\r\n220-B\r\n220 C\r\n", 220, 0, 220, "A\n B\n C"},
      {"feature lines", "211-Features:\r\n MDTM\r\n SIZE\r\n211 End\r\n", 211, 0, 211, "Features:\n MDTM\n SIZE\n End"},
      {"other code inside", "226-first\r\n150 x\r\n226 done\r\n", 226, 0, 226, "first\n150 x\n done"},
      {"white space runs", "200  a \t b   \r\n", 200, 0, 200, "a b"},
      {"bare code", "200\r\n", 200, 0, 200, ""},
      {"LF only", "200 plain\n", 200, 0, 200, "plain"},
      {"NUL bytes dropped", std::string("200 a\0b\r\n", 9), 200, 0, 200, "ab"},
      {"331 is success", "331 Password required\r\n", 331, 0, 331, "Password required"},
      {"550 maps", "550 No such file\r\n", -1, cvErrorAccessDenied, 550, "No such file"},
      {"534 is invalid", "534 Policy\r\n", -1, cvErrorInvalidServerResponse, 534, "Policy"},
      {"6xx is invalid", "631 Protected\r\n", -1, cvErrorInvalidServerResponse, 631, "Protected"},
      {"below 100 is invalid", "099 x\r\n", -1, cvErrorInvalidServerResponse, 99, "x"},
  };
  cvtest::ScriptServer server;
  server.Reply("220 ready");
  for (auto& c : cases) server.Expect("NOOP").Send(c.bytes);
  LibHandle h = Connect(server);
  ASSERT_NE(h, kNone) << LastError();
  EventLog log;
  log.Attach(h);
  for (auto& c : cases) {
    SCOPED_TRACE(c.name);
    log.events.clear();
    EXPECT_EQ(FtpSendCommand(h, "NOOP", nullptr), c.result);
    if (c.result == -1) {
      EXPECT_EQ(LastError(), c.error);
    }
    EXPECT_EQ(FtpReadReply(h), int32_t(c.code));
    EXPECT_EQ(Text(h), c.text);
    ASSERT_EQ(log.events.size(), 1u);
    EXPECT_EQ(log.events[0].first, 256u);
    EXPECT_EQ(log.events[0].second, c.result == -1 ? c.error : 0u);
  }
  EXPECT_TRUE(server.Finish()) << server.failure();
}

TEST_F(ReplyEngine, ErrorTableRows) {
  const std::pair<int, uint32_t> rows[] = {
      {120, cvErrorServiceNotReady},        {421, cvErrorServiceUnavailable},
      {425, cvErrorConnectionFailed},       {426, cvErrorOperationCanceled},
      {450, cvErrorRemoteFileUnavailable},  {451, cvErrorOperationCanceled},
      {452, cvErrorInsufficientStorage},    {500, cvErrorInvalidCommand},
      {501, cvErrorInvalidCommandParameter}, {502, cvErrorCommandNotImplemented},
      {503, cvErrorInvalidCommandSequence}, {504, cvErrorCommandNotImplemented},
      {521, cvErrorInvalidSecurityLevel},   {522, cvErrorCachedTlsRequired},
      {530, cvErrorAuthenticationFailed},   {532, cvErrorAccountRequired},
      {550, cvErrorAccessDenied},           {552, cvErrorStorageallocation},
      {553, cvErrorInvalidFileName},        {451 + 1, cvErrorInsufficientStorage},
      {400, cvErrorInvalidServerResponse},  {599, cvErrorInvalidServerResponse},
  };
  cvtest::ScriptServer server;
  server.Reply("220 ready");
  for (auto& [code, error] : rows) server.Expect("NOOP").Reply(std::to_string(code) + " r");
  LibHandle h = Connect(server);
  ASSERT_NE(h, kNone);
  for (auto& [code, error] : rows) {
    EXPECT_EQ(FtpSendCommand(h, "NOOP", nullptr), -1) << code;
    EXPECT_EQ(LastError(), error) << code;
    EXPECT_EQ(FtpReadReply(h), code);
  }
  EXPECT_TRUE(server.Finish()) << server.failure();
}

TEST_F(ReplyEngine, GarbageCodeFailsAndTheChannelRecovers) {
  cvtest::ScriptServer server;
  server.Reply("220 ready").Expect("NOOP").Reply("2x0 broken line").Expect("NOOP").Reply("200 fine");
  LibHandle h = Connect(server);
  ASSERT_NE(h, kNone);
  EventLog log;
  log.Attach(h);
  EXPECT_EQ(FtpSendCommand(h, "NOOP", nullptr), -1);
  EXPECT_EQ(LastError(), cvErrorInvalidServerResponse);
  ASSERT_EQ(log.events.size(), 1u);
  EXPECT_EQ(log.events[0], std::make_pair(256u, cvErrorInvalidServerResponse));
  // The rest of the broken line is drained: the next command reads its own reply.
  EXPECT_EQ(FtpSendCommand(h, "NOOP", nullptr), 200);
  EXPECT_EQ(Text(h), "fine");
  EXPECT_TRUE(server.Finish()) << server.failure();
}

TEST_F(ReplyEngine, LongReplyIsCutButReadToItsEnd) {
  cvtest::ScriptServer server;
  const std::string big(10000, 'x');
  server.Reply("220 ready").Expect("NOOP").Reply("211-" + big).Reply("211 end").Expect("NOOP").Reply("200 next");
  LibHandle h = Connect(server);
  ASSERT_NE(h, kNone);
  EXPECT_EQ(FtpSendCommand(h, "NOOP", nullptr), 211);
  EXPECT_EQ(Text(h), big.substr(0, kFtpReplyTextSize - 1));
  EXPECT_EQ(FtpSendCommand(h, "NOOP", nullptr), 200);
  EXPECT_EQ(Text(h), "next");
  EXPECT_TRUE(server.Finish()) << server.failure();
}

TEST_F(ReplyEngine, EndlessMultiLineReplyIsCappedThenInvalid) {
  cvtest::ScriptServer server;
  std::string flood;
  const std::string line = "211-" + std::string(1000, 'y') + "\r\n";
  while (flood.size() < (kFtpReplyByteLimit + 100000)) flood += line;
  server.Reply("220 ready").Expect("NOOP").Send(flood).Expect("NOOP").Reply("200 back in step");
  LibHandle h = Connect(server);
  ASSERT_NE(h, kNone);
  EXPECT_EQ(FtpSendCommand(h, "NOOP", nullptr), -1);
  EXPECT_EQ(LastError(), cvErrorInvalidServerResponse);
  EXPECT_EQ(FtpSendCommand(h, "NOOP", nullptr), 200);
  EXPECT_TRUE(server.Finish(30s)) << server.failure();
}

// A reply may arrive in pieces, but the whole of it within the session timeout: a server
// that keeps a reply going (or trickles it) cannot hold the caller longer.
TEST_F(ReplyEngine, PiecewiseReplyMustEndWithinTheTimeout) {
  struct {
    std::chrono::milliseconds pause;  // between pieces of two bytes, 9 pieces in all
    int32_t result;
  } cases[] = {{50ms, 200}, {300ms, -1}};
  for (const auto& c : cases) {
    cvtest::ScriptServer server;
    server.Reply("220 ready").Expect("NOOP").SendPieces("200-abc\r\n200 def\r\n", 2, c.pause);
    LibHandle h = Connect(server, kOptNoServerQueries, 1);
    ASSERT_NE(h, kNone);
    const auto start = std::chrono::steady_clock::now();
    EXPECT_EQ(FtpSendCommand(h, "NOOP", nullptr), c.result);
    if (c.result == 200) {
      EXPECT_EQ(Text(h), "abc\n def");
    } else {
      EXPECT_EQ(LastError(), cvErrorOperationTimeout);
      EXPECT_LT(std::chrono::steady_clock::now() - start, 2s) << "2.7 s of pieces with a 1 s timeout";
    }
    server.Finish();
    FtpDisconnect(h);
  }
}

TEST_F(ReplyEngine, SilenceTimesOutAndTheLateReplyIsNotTakenForTheNext) {
  cvtest::ScriptServer server;
  server.Reply("220 ready").Expect("NOOP").Sleep(1500ms).Reply("200 late NOOP").Expect("SYST").Reply("215 UNIX");
  LibHandle h = Connect(server, kOptNoServerQueries, 1);
  ASSERT_NE(h, kNone);
  EventLog log;
  log.Attach(h);
  EXPECT_EQ(FtpSendCommand(h, "NOOP", nullptr), -1);
  EXPECT_EQ(LastError(), cvErrorOperationTimeout);
  EXPECT_EQ(log.Count(64), 1);
  EXPECT_EQ(FtpSendCommand(h, "SYST", nullptr), 215);
  EXPECT_EQ(Text(h), "UNIX");
  EXPECT_TRUE(server.Finish()) << server.failure();
}

TEST_F(ReplyEngine, ServerClosingMidReply) {
  cvtest::ScriptServer server;
  server.Reply("220 ready").Expect("NOOP").Send("200-partial\r\n").Close();
  LibHandle h = Connect(server);
  ASSERT_NE(h, kNone);
  EXPECT_EQ(FtpSendCommand(h, "NOOP", nullptr), -1);
  EXPECT_EQ(LastError(), cvErrorConnectionClosed);
  EXPECT_TRUE(server.Finish()) << server.failure();
}

TEST_F(ReplyEngine, RefusedCommandsSendNothing) {
  cvtest::ScriptServer server;
  server.Reply("220 ready").Send("200 unsolicited\r\n").Expect("NOOP").Reply("200 ok");
  LibHandle h = Connect(server);
  ASSERT_NE(h, kNone);
  // Line breaks in a command or argument would inject a second command.
  EXPECT_EQ(FtpSendCommand(h, "CWD", "a\r\nDELE x"), -1);
  EXPECT_EQ(LastError(), cvErrorInvalidParameter);
  EXPECT_EQ(FtpSendCommand(h, "NOOP\nDELE", nullptr), -1);
  EXPECT_EQ(LastError(), cvErrorInvalidParameter);
  EXPECT_EQ(FtpSendCommand(h, nullptr, nullptr), -1);
  EXPECT_EQ(LastError(), cvErrorInvalidParameter);
  const std::string long_arg(4096 - 3 - 4, 'a');  // with "STAT" and " \r\n": 4,096 bytes
  EXPECT_EQ(FtpSendCommand(h, "STAT", long_arg.c_str()), -1);
  EXPECT_EQ(LastError(), cvErrorInvalidParameter);
  // A reply still pending blocks the next command; reading it is the result query.
  FtpGetSession(h)->replyPending = 1;
  EXPECT_EQ(FtpSendCommand(h, "NOOP", nullptr), -1);
  EXPECT_EQ(LastError(), cvErrorOperationInProgress);
  EXPECT_EQ(FtpReadReply(h), 200);
  EXPECT_EQ(Text(h), "unsolicited");
  EXPECT_EQ(FtpSendCommand(h, "NOOP", nullptr), 200);
  EXPECT_TRUE(server.Finish()) << server.failure();
  EXPECT_EQ(server.received(), std::vector<std::string>{"NOOP"});
}

TEST_F(ReplyEngine, ResultStringIsCutToTheBuffer) {
  cvtest::ScriptServer server;
  server.Reply("220 Service ready");
  LibHandle h = Connect(server);
  ASSERT_NE(h, kNone);
  char small[8];
  EXPECT_EQ(FtpGetResultString(h, small, sizeof small), 7);
  EXPECT_STREQ(small, "Service");
  EXPECT_EQ(FtpGetResultString(h, nullptr, 10), 0);
  EXPECT_EQ(LastError(), cvErrorInvalidParameter);
}

}  // namespace
