// The session and response engine against a scripted server: greetings, login checks,
// ID, tags, command limits, untagged responses between a command and its completion,
// refusals, BYE, resets, stalls, cancel and the command event.
#include <atomic>
#include <string>
#include <thread>

#include "core/errors/error_codes.h"
#include "imap_test_support.h"

namespace imaptest {
namespace {

using namespace std::chrono_literals;

class ImapEngine : public ImapTest {};

TEST_F(ImapEngine, GreetingsOtherThanOkFailTheConnect) {
  for (const char* greeting : {"* PREAUTH welcome", "* BYE go away", "hello there", "A0001 OK confused"}) {
    cvtest::ScriptServer server;
    server.Reply(greeting);
    EXPECT_EQ(Connect(server), kInvalidLibHandle) << greeting;
    EXPECT_EQ(ImapGetLastError(), cvErrorUnexpectedServerResponse) << greeting;
  }
}

TEST_F(ImapEngine, LoginChecksAndQuoting) {
  cvtest::ScriptServer server;
  server.Reply("* OK ready")
      .Expect("A0001 CAPABILITY")
      .Reply("* CAPABILITY IMAP4rev1")
      .Reply("A0001 OK")
      .Expect("A0002 LOGIN \"bob\" \"pa\\\"ss\\\\\"")
      .Reply("A0002 NO [AUTHENTICATIONFAILED] wrong")
      .Expect("A0003 LOGIN \"bob\" \"secret\"")
      .Reply("A0003 OK")
      .Expect("A0004 CAPABILITY")
      .Reply("* CAPABILITY IMAP4rev1 IDLE")
      .Reply("A0004 OK");
  const LibHandle h = Connect(server);
  ASSERT_NE(h, kInvalidLibHandle) << std::hex << ImapGetLastError();
  // Refused before anything is sent.
  EXPECT_EQ(ImapLogin(h, std::string(65, 'u').c_str(), "secret"), -1);
  EXPECT_EQ(ImapGetLastError(), cvErrorInvalidUserName);
  EXPECT_EQ(ImapLogin(h, "bob", ""), -1);
  EXPECT_EQ(ImapGetLastError(), cvErrorInvalidPassword);
  EXPECT_EQ(ImapLogin(h, "bob", "a\r\nA9 DELETE INBOX"), -1);

  EXPECT_EQ(ImapLogin(h, "bob", "pa\"ss\\"), -1);
  EXPECT_EQ(ImapGetLastError(), cvErrorAuthenticationFailed);
  EXPECT_EQ(ImapLogin(h, "bob", "secret"), 1);
  EXPECT_STREQ(ImapGetCapabilities(h), "IMAP4rev1 IDLE");
  EXPECT_EQ(ImapLogin(h, "bob", "secret"), -1);
  EXPECT_EQ(ImapGetLastError(), cvErrorAlreadyAuthenticated);
  EXPECT_TRUE(server.Finish()) << server.failure();
  ImapDisconnect(h);
}

TEST_F(ImapEngine, IdIsSentOnlyWhenAskedAndAnnounced) {
  struct Case {
    uint32_t options;
    const char* caps;
    bool sent;
  } cases[] = {{1, "IMAP4rev1 ID", true}, {0, "IMAP4rev1 ID", false}, {1, "IMAP4rev1 IDLE", false}};
  for (const auto& c : cases) {
    cvtest::ScriptServer server;
    server.Reply("* OK ready").Expect("A0001 CAPABILITY").Reply(std::string("* CAPABILITY ") + c.caps).Reply("A0001 OK");
    if (c.sent)
      server
          .Expect("A0002 ID (\"name\" \"Corvanetics\" \"version\" \"9.5\" \"vendor\" \"Vantorel\")")
          .Reply("A0002 BAD not today");  // its answer does not matter
    server.Expect("A0003 NOOP").Reply("A0003 OK");
    const LibHandle h = Connect(server, c.options);
    ASSERT_NE(h, kInvalidLibHandle) << std::hex << ImapGetLastError();
    if (!c.sent) ImapGetSession(h)->tagCounter = 2;  // the script numbers as if ID went out
    EXPECT_EQ(ImapSendCommand(h, "NOOP", nullptr), 1);
    EXPECT_TRUE(server.Finish()) << c.caps << ": " << server.failure();
    ImapDisconnect(h);
  }
}

TEST_F(ImapEngine, TagsWrapAndLongLinesAreRefused) {
  cvtest::ScriptServer server;
  server.Reply("* OK ready")
      .Expect("A0001 CAPABILITY")
      .Reply("A0001 OK")
      .Expect("A9999 NOOP")
      .Reply("A9999 OK")
      .Expect("A0001 NOOP")
      .Reply("A0001 OK")
      .Expect("A0002 X " + std::string(1024 - 16 - 2, 'a'))
      .Reply("A0002 OK");
  const LibHandle h = Connect(server);
  ASSERT_NE(h, kInvalidLibHandle);
  ImapGetSession(h)->tagCounter = 9998;
  EXPECT_EQ(ImapSendCommand(h, "NOOP", nullptr), 1);
  EXPECT_EQ(ImapSendCommand(h, "NOOP", nullptr), 1);
  // Command, blank, argument and 16 more reaching 1,024: refused without a tag used.
  EXPECT_EQ(ImapSendCommand(h, "X", std::string(1024 - 16 - 1, 'a').c_str()), -1);
  EXPECT_EQ(ImapGetLastError(), cvErrorInvalidParameter);
  EXPECT_EQ(ImapSendCommand(h, "X", std::string(1024 - 16 - 2, 'a').c_str()), 1);
  EXPECT_EQ(ImapSendCommand(h, "", nullptr), -1);
  EXPECT_EQ(ImapGetLastError(), cvErrorInvalidParameter);
  EXPECT_TRUE(server.Finish()) << server.failure();
  ImapDisconnect(h);
}

TEST_F(ImapEngine, ResponsesBetweenCommandAndCompletion) {
  cvtest::ScriptServer server;
  GreetAndLogin(server)
      .Expect("A0004 NOOP")
      .Reply("* 7 EXISTS")
      .Reply("* 2 RECENT")
      .Reply("* 1 FETCH (FLAGS (\\Seen))")
      .Reply("* OK [ALERT] look out")
      .Reply("A0004 OK done")
      .Expect("A0005 FOO")
      .Reply("A0005 NO [CANNOT] refused")
      .Expect("A0006 FOO bar")
      .Reply("A0006 BAD junk")
      .Expect("A0007 BAR")
      .Reply("+ go ahead")
      .Expect("A0008 LIST \"\" \"*\"")
      .Reply("* LIST () \".\" {5}")
      .Send("a\"b c")
      .Reply("")
      .Reply("* LIST (\\HasNoChildren) \".\" \"plain\"")
      .Reply("A0008 OK");
  const LibHandle h = ConnectAndLogin(server);
  ASSERT_NE(h, kInvalidLibHandle);
  ::ImapSession* s = ImapGetSession(h);
  EXPECT_EQ(ImapSendCommand(h, "NOOP", nullptr), 1);
  EXPECT_EQ(s->exists, 7u);
  EXPECT_EQ(s->recent, 2u);
  EXPECT_STREQ(ImapGetResponseText(h), "done");
  EXPECT_EQ(ImapSendCommand(h, "FOO", nullptr), -1);
  EXPECT_EQ(ImapGetLastError(), 0x80042FB6u);
  EXPECT_EQ(ImapSendCommand(h, "FOO", "bar"), -1);
  EXPECT_EQ(ImapGetLastError(), 0x80042FB9u);
  EXPECT_EQ(ImapSendCommand(h, "BAR", nullptr), 4);
  EXPECT_STREQ(ImapGetResponseText(h), "go ahead");
  // A literal inside an untagged response is read with it: the session stays in step.
  EXPECT_EQ(ImapSendCommand(h, "LIST", "\"\" \"*\""), 1);
  EXPECT_TRUE(server.Finish()) << server.failure();
  ImapDisconnect(h);
}

TEST_F(ImapEngine, ByeResetAndStall) {
  {
    cvtest::ScriptServer server;
    GreetAndLogin(server).Expect("A0004 NOOP").Reply("* BYE shutting down").Close();
    const LibHandle h = ConnectAndLogin(server);
    ASSERT_NE(h, kInvalidLibHandle);
    EXPECT_EQ(ImapSendCommand(h, "NOOP", nullptr), -1);
    EXPECT_EQ(ImapGetLastError(), cvErrorConnectionClosed);
    EXPECT_EQ(ImapSendCommand(h, "NOOP", nullptr), -1);  // and stays so
    EXPECT_EQ(ImapGetLastError(), cvErrorConnectionClosed);
    EXPECT_EQ(ImapDisconnect(h), 0);
  }
  {
    cvtest::ScriptServer server;
    GreetAndLogin(server).Expect("A0004 NOOP").Send("* 3 EXI").Drop();
    const LibHandle h = ConnectAndLogin(server);
    ASSERT_NE(h, kInvalidLibHandle);
    EXPECT_EQ(ImapSendCommand(h, "NOOP", nullptr), -1);
    EXPECT_EQ(ImapGetLastError(), cvErrorConnectionReset);
    ImapDisconnect(h);
  }
  {
    cvtest::ScriptServer server;
    GreetAndLogin(server).Expect("A0004 NOOP").Sleep(2500ms);
    server.Start();
    const LibHandle h = ImapConnect(server.address(), uint32_t(server.port()), 1, 0, nullptr);
    ASSERT_NE(h, kInvalidLibHandle);
    ASSERT_EQ(ImapLogin(h, "bob", "secret"), 1);
    EXPECT_EQ(ImapSendCommand(h, "NOOP", nullptr), -1);
    EXPECT_EQ(ImapGetLastError(), cvErrorOperationTimeout);
    ImapDisconnect(h);
  }
}

TEST_F(ImapEngine, CancelFromAnotherThreadReachesTheWindow) {
  cvtest::ScriptServer server;
  GreetAndLogin(server).Expect("A0004 NOOP").Sleep(3000ms);
  const LibHandle h = ConnectAndLogin(server, false, 10);
  ASSERT_NE(h, kInvalidLibHandle);
  HostWindow window;
  ASSERT_EQ(ImapRegisterEvents(h, window.hwnd(), mailctl::kMsgImapNotify, 176), 0);
  std::thread canceler([h] {
    std::this_thread::sleep_for(200ms);
    ImapCancel(h);
  });
  EXPECT_EQ(ImapSendCommand(h, "NOOP", nullptr), -1);
  canceler.join();
  EXPECT_EQ(ImapGetLastError(), cvErrorOperationCanceled);
  ASSERT_EQ(window.Count(mailctl::kMsgImapNotify, cvmail::kMailEventCancel), 1u);
  EXPECT_EQ(window.deliveries[0].high, 0x2714u);
  EXPECT_EQ(window.Count(mailctl::kMsgImapNotify, cvmail::kMailEventCommand), 0u);  // mask 176 has no command events
  EXPECT_EQ(ImapCancel(kInvalidLibHandle), -1);
  EXPECT_EQ(ImapGetLastError(), 0x80042EE9u);
  ImapDisconnect(h);
}

TEST_F(ImapEngine, CommandEventsCarryTheirError) {
  cvtest::ScriptServer server;
  GreetAndLogin(server).Expect("A0004 NOOP").Reply("A0004 OK").Expect("A0005 NOOP").Reply("A0005 NO busy");
  const LibHandle h = ConnectAndLogin(server);
  ASSERT_NE(h, kInvalidLibHandle);
  HostWindow window;
  ASSERT_EQ(ImapRegisterEvents(h, window.hwnd(), mailctl::kMsgImapNotify, 64), 0);
  EXPECT_EQ(ImapSendCommand(h, "NOOP", nullptr), 1);
  EXPECT_EQ(ImapSendCommand(h, "NOOP", nullptr), -1);
  ASSERT_EQ(window.deliveries.size(), 2u);
  EXPECT_EQ(window.deliveries[0].high, 0u);
  EXPECT_EQ(window.deliveries[1].high, 0x2FB6u);
  ImapDisconnect(h);
}

TEST_F(ImapEngine, HandlesOfOtherThreads) {
  cvtest::ScriptServer server;
  GreetAndLogin(server);
  const LibHandle h = ConnectAndLogin(server);
  ASSERT_NE(h, kInvalidLibHandle);
  std::atomic<uint32_t> error{0};
  std::thread other([&] {
    if (!ImapGetSession(h)) error = ImapGetLastError();
  });
  other.join();
  EXPECT_EQ(error.load(), 0x80042711u);
  EXPECT_EQ(ImapGetSession(h + 5000), nullptr);
  EXPECT_EQ(ImapGetLastError(), 0x80042736u);
  ImapDisconnect(h);
}

}  // namespace
}  // namespace imaptest
