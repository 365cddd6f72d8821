// Connecting, greetings, status lines, commands and logins against a scripted server, for
// what a real server cannot be made to send; and the password service's dialogue.
#include <unistd.h>

#include <array>
#include <cstring>
#include <string>
#include <thread>

#include "core/errors/error_codes.h"
#include "pop3_test_support.h"

namespace pop3test {
namespace {

using namespace std::chrono_literals;

class SessionTest : public Pop3Test {};

TEST_F(SessionTest, ApopSendsTheDigestOfTheGreetingStampAndPassword) {
  // The example names of the protocol's definition; the digest is MD5 of
  // "<1896.697170952@dbc.mtview.ca.us>tanstaafl" computed independently.
  cvtest::ScriptServer server;
  server.Reply("+OK POP3 server ready <1896.697170952@dbc.mtview.ca.us>")
      .Expect("APOP mrose a6f0dd348916c9ee9539661f94c75203")
      .Reply("+OK maildrop has 2 messages (320 octets)")
      .Expect("STAT")
      .Reply("+OK 2 320");
  const LibHandle h = Connect(server);
  ASSERT_NE(h, kInvalidLibHandle) << std::hex << Pop3GetLastError();
  ASSERT_EQ(Pop3Login(h, 1, "mrose", "tanstaafl"), 0) << std::hex << Pop3GetLastError();
  uint32_t last = 0, size = 0;
  EXPECT_EQ(Pop3GetMailboxStatus(h, &last, &size), 2);
  EXPECT_EQ(last, 2u);
  EXPECT_EQ(size, 320u);
  EXPECT_EQ(Pop3Login(h, 0, "bob", "x"), -1);
  EXPECT_EQ(Pop3GetLastError(), cvErrorAlreadyAuthenticated);
  EXPECT_TRUE(server.Finish()) << server.failure();
  Pop3Disconnect(h);
}

TEST_F(SessionTest, ApopNeedsAStampHoldingAnAt) {
  cvtest::ScriptServer server;
  server.Reply("+OK ready <1896.697170952>").Expect("QUIT").Reply("+OK bye");
  const LibHandle h = Connect(server);
  ASSERT_NE(h, kInvalidLibHandle);
  EXPECT_EQ(Pop3Login(h, 1, "mrose", "tanstaafl"), -1);
  EXPECT_EQ(Pop3GetLastError(), 0x80042FC2u);
  EXPECT_EQ(Pop3Login(h, 7, "mrose", "tanstaafl"), -1);
  EXPECT_EQ(Pop3GetLastError(), 0x80042FC2u);
  EXPECT_EQ(Pop3Disconnect(h), 0);
  EXPECT_TRUE(server.Finish()) << server.failure();
  EXPECT_EQ(server.received().size(), 1u);  // nothing before QUIT
}

TEST_F(SessionTest, RefusedLoginStepsGiveTheirOwnErrors) {
  struct Case {
    const char* userReply;
    const char* passReply;
    uint32_t error;
  } cases[] = {
      {"-ERR no such user", nullptr, 0x80042FBE},
      {"+OK", "-ERR bad password", 0x80042FBF},
  };
  for (const Case& c : cases) {
    cvtest::ScriptServer server;
    server.Reply("+OK hi").Expect("USER bob").Reply(c.userReply);
    if (c.passReply) server.Expect("PASS secret").Reply(c.passReply);
    const LibHandle h = Connect(server);
    ASSERT_NE(h, kInvalidLibHandle);
    EXPECT_EQ(Pop3Login(h, 0, "bob", "secret"), -1);
    EXPECT_EQ(Pop3GetLastError(), c.error);
    EXPECT_EQ(Pop3GetMessageCount(h), -1);
    EXPECT_EQ(Pop3GetLastError(), 0x80042FC3u);
    EXPECT_TRUE(server.Finish()) << server.failure();
    Pop3Disconnect(h);
  }
}

TEST_F(SessionTest, GreetingsOtherThanOkFailTheConnect) {
  struct Case {
    std::string bytes;
    uint32_t error;
  } cases[] = {
      {"HELLO there\r\n", 0x80042FAD},
      {"-ERR busy\r\n", 0x80042FAD},
      {"", 0x80042FE0},  // closed before greeting
  };
  for (const Case& c : cases) {
    cvtest::ScriptServer server;
    server.Send(c.bytes).Close().Sleep(200ms);
    EXPECT_EQ(Connect(server), kInvalidLibHandle) << c.bytes;
    EXPECT_EQ(Pop3GetLastError(), c.error) << c.bytes;
    server.Finish();
  }
}

TEST_F(SessionTest, GreetingWithoutLineEndBeforeCloseIsStillRead) {
  cvtest::ScriptServer server;
  server.Send("+OK unterminated").Close().Sleep(300ms);
  const LibHandle h = Connect(server);
  ASSERT_NE(h, kInvalidLibHandle) << std::hex << Pop3GetLastError();
  EXPECT_STREQ(Pop3GetReplyText(h), "unterminated");
  EXPECT_EQ(Pop3SendCommand(h, "NOOP", nullptr), 0);
  EXPECT_EQ(Pop3GetLastError(), 0x80042FE0u);
  server.Finish();
  Pop3Disconnect(h);
}

TEST_F(SessionTest, LongStatusLineIsCutAndItsRestDropped) {
  cvtest::ScriptServer server;
  server.Reply("+OK ready")
      .Expect("NOOP")
      .Reply("+OK " + std::string(600, 'a'))
      .Expect("NOOP")
      .Reply("+OK next");
  const LibHandle h = Connect(server);
  ASSERT_NE(h, kInvalidLibHandle);
  EXPECT_EQ(Pop3SendCommand(h, "NOOP", nullptr), 1);
  EXPECT_EQ(std::strlen(Pop3GetReplyText(h)), 511u - 4u);  // 511 characters of line, less "+OK "
  EXPECT_EQ(Pop3SendCommand(h, "NOOP", nullptr), 1);
  EXPECT_STREQ(Pop3GetReplyText(h), "next");
  EXPECT_TRUE(server.Finish()) << server.failure();
  Pop3Disconnect(h);
}

TEST_F(SessionTest, StatusWordsAreCaseBlindAndOtherLinesAreErrors) {
  cvtest::ScriptServer server;
  server.Reply("+ok ready").Expect("NOOP").Reply("-err nope  \t").Expect("NOOP").Reply("200 what");
  const LibHandle h = Connect(server);
  ASSERT_NE(h, kInvalidLibHandle);
  EXPECT_EQ(Pop3SendCommand(h, "NOOP", nullptr), 0);
  EXPECT_EQ(Pop3GetLastError(), 0u);
  EXPECT_STREQ(Pop3GetReplyText(h), "nope");
  EXPECT_EQ(Pop3SendCommand(h, "NOOP", nullptr), 0);
  EXPECT_EQ(Pop3GetLastError(), 0x80042FADu);
  EXPECT_TRUE(server.Finish()) << server.failure();
  Pop3Disconnect(h);
}

TEST_F(SessionTest, UnsendableCommandLinesAreRefusedBeforeSending) {
  cvtest::ScriptServer server;
  server.Reply("+OK ready").Expect("NOOP").Reply("+OK");
  const LibHandle h = Connect(server);
  ASSERT_NE(h, kInvalidLibHandle);
  // "NOOP " + 249 characters + CR LF is 256 bytes: one too many.
  EXPECT_EQ(Pop3SendCommand(h, "NOOP", std::string(249, 'x').c_str()), 0);
  EXPECT_EQ(Pop3GetLastError(), 0x8004271Eu);
  EXPECT_EQ(Pop3SendCommand(h, "USER", "bob\r\nDELE 1"), 0);
  EXPECT_EQ(Pop3GetLastError(), 0x8004271Eu);
  EXPECT_EQ(Pop3SendCommand(h, "NOOP", nullptr), 1);
  EXPECT_TRUE(server.Finish()) << server.failure();
  EXPECT_EQ(server.received().size(), 1u);
  Pop3Disconnect(h);
}

TEST_F(SessionTest, ConnectErrors) {
  EXPECT_EQ(Pop3Connect("", 110, 5, 0, nullptr), kInvalidLibHandle);
  EXPECT_EQ(Pop3GetLastError(), 0x80042AF9u);
  EXPECT_EQ(Pop3Connect(nullptr, 110, 5, 0, nullptr), kInvalidLibHandle);
  EXPECT_EQ(Pop3GetLastError(), 0x80042AF9u);
  EXPECT_EQ(Pop3Disconnect(LibHandle(12345)), -1);
  EXPECT_EQ(Pop3GetLastError(), 0x80042736u);
}

TEST_F(SessionTest, StalledGreetingTimesOut) {
  cvtest::ScriptServer server;
  server.Sleep(2500ms);
  EXPECT_EQ(Connect(server, 0, 1), kInvalidLibHandle);
  EXPECT_EQ(Pop3GetLastError(), 0x8004274Cu);
  server.Finish();
}

TEST_F(SessionTest, TruncatedHandshakeAfterStlsFailsTheConnect) {
  cvtest::ScriptServer server;
  server.Reply("+OK ready").Expect("STLS").Reply("+OK begin").Send(std::string("\x16\x03\x03\x00", 4)).Close();
  EXPECT_EQ(Connect(server, kPop3OptionSecure | kPop3OptionTrustedSite), kInvalidLibHandle);
  EXPECT_EQ(Pop3GetLastError(), 0x80042FE0u);  // the server closed the connection
  server.Finish();
}

TEST_F(SessionTest, RefusedStlsFailsTheConnect) {
  cvtest::ScriptServer server;
  server.Reply("+OK ready").Expect("STLS").Reply("-ERR not here");
  EXPECT_EQ(Connect(server, kPop3OptionSecure), kInvalidLibHandle);
  EXPECT_NE(Pop3GetLastError(), 0u);
  EXPECT_TRUE(server.Finish()) << server.failure();
}

// A loopback address of its own for a test that needs fixed ports (995, 106).
std::string PrivateLoopback() { return "127.0." + std::to_string((getpid() >> 8) & 0xFF) + "." + std::to_string(2 + getpid() % 250); }

TEST_F(SessionTest, Port995MeansImplicitTlsUnlessTunnelled) {
  for (const bool tunnel : {false, true}) {
    cvtest::ScriptServer server(PrivateLoopback(), 995);
    if (server.port() == 0) GTEST_SKIP() << "port 995 cannot be bound here";
    server.Reply("+OK plain greeting").Sleep(300ms);
    server.Start();
    const LibHandle h = Pop3Connect(server.address(), 995, 2, tunnel ? kPop3OptionTunnel : 0, nullptr);
    if (tunnel) {
      EXPECT_NE(h, kInvalidLibHandle) << std::hex << Pop3GetLastError();
      SecSessionInfo info{};
      info.size = sizeof info;
      EXPECT_EQ(Pop3GetSecurityInfo(h, &info), 0);
      EXPECT_EQ(info.protocol, 0u);
    } else {
      // The plain greeting is no TLS handshake answer.
      EXPECT_EQ(h, kInvalidLibHandle);
    }
    if (h != kInvalidLibHandle) Pop3Disconnect(h);
    server.Finish();
  }
}

TEST_F(SessionTest, PasswordServiceDialogues) {
  struct Case {
    const char* userReply;
    bool asksPassword;
    const char* finalReply;
    int32_t result;
  } cases[] = {
      {"200 go ahead", false, "200 changed", 1},  // NEWPASS straight after USER
      {"300 password please", true, "200 changed", 1},
      {"500 unknown", false, nullptr, 0},
  };
  const std::string address = PrivateLoopback();
  for (const Case& c : cases) {
    cvtest::ScriptServer pass(address, 106);
    if (pass.port() == 0) GTEST_SKIP() << "port 106 cannot be bound here";
    pass.Reply("200 poppassd here").Expect("USER bob").Reply(c.userReply);
    if (c.asksPassword) pass.Expect("PASS old").Reply("200 ok");
    if (c.finalReply) pass.Expect("NEWPASS new").Reply(c.finalReply);
    pass.Start();
    cvtest::ScriptServer pop(address, 0);
    pop.Reply("+OK ready");
    const LibHandle h = Connect(pop);
    ASSERT_NE(h, kInvalidLibHandle);
    EXPECT_EQ(Pop3ChangePassword(h, "bob", "old", "new"), c.result) << c.userReply;
    if (!c.result) {
      EXPECT_EQ(Pop3GetLastError(), 0x80042FADu);
    }
    EXPECT_TRUE(pass.Finish()) << pass.failure();
    Pop3Disconnect(h);
    pop.Finish();
  }
}

TEST_F(SessionTest, PasswordChangeChecksItsArguments) {
  cvtest::ScriptServer server;
  server.Reply("+OK ready");
  const LibHandle h = Connect(server);
  ASSERT_NE(h, kInvalidLibHandle);
  for (auto args : {std::array<const char*, 3>{"", "a", "b"}, {"u", "", "b"}, {"u", "same", "same"}, {"u", "a", "b\r\n"}}) {
    EXPECT_EQ(Pop3ChangePassword(h, args[0], args[1], args[2]), 0);
    EXPECT_EQ(Pop3GetLastError(), 0x8004271Eu);
  }
  Pop3Disconnect(h);
  server.Finish();
}

TEST_F(SessionTest, CancelFromAnotherThreadStopsAWait) {
  cvtest::ScriptServer server;
  server.Reply("+OK ready").Expect("NOOP").Sleep(3s);
  const LibHandle h = Connect(server, 0, 10);
  ASSERT_NE(h, kInvalidLibHandle);
  HostWindow window;
  ASSERT_EQ(Pop3RegisterEvents(h, window.hwnd(), HostWindow::kMessage, 176), 0);
  std::vector<uint32_t> errors;
  Pop3SetEventCallback(
      h, cvmail::kMailEventCancel,
      [](LibHandle, uint32_t, uint32_t error, uintptr_t p) {
        reinterpret_cast<std::vector<uint32_t>*>(p)->push_back(error);
        return 0;
      },
      reinterpret_cast<uintptr_t>(&errors));
  std::thread canceller([h] {
    std::this_thread::sleep_for(200ms);
    Pop3Cancel(h);
  });
  EXPECT_EQ(Pop3SendCommand(h, "NOOP", nullptr), 0);
  canceller.join();
  EXPECT_EQ(Pop3GetLastError(), 0x80042714u);
  EXPECT_EQ(errors, std::vector<uint32_t>{0x80042714u});
  // The window gets the event with the error's low word in the high word of lParam.
  ASSERT_EQ(window.deliveries.size(), 1u);
  EXPECT_EQ(window.deliveries[0].handle, h);
  EXPECT_EQ(window.deliveries[0].event, 32u);
  EXPECT_EQ(window.deliveries[0].error, 0x2714u);
  Pop3Disconnect(h);
  server.Finish();
}

}  // namespace
}  // namespace pop3test
