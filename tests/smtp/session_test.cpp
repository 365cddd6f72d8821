// Connecting, the hello step, the reply reader and AUTH LOGIN against a scripted server:
// what real servers cannot be made to do (odd replies, refusals at each step, stalls).
#include <chrono>
#include <cstring>
#include <thread>
#include <string>

#include "smtp_test_support.h"

using namespace smtptest;
using cvtest::ScriptServer;
using namespace std::chrono_literals;

namespace {

class SmtpSession : public SmtpTest {};

TEST_F(SmtpSession, MultiLineEhloGivesExtensionsAndJoinedText) {
  ScriptServer server;
  server.Reply("220 script.test ready")
      .Expect("EHLO client.test")
      .Send("250-script.test\r\n250-SIZE 1000\r\n250 AUTH PLAIN LOGIN\r\n")
      .Expect("QUIT")
      .Reply("221 bye");
  const LibHandle h = Connect(server);
  ASSERT_NE(h, kInvalidLibHandle) << std::hex << SmtpGetLastError();
  uint32_t bits = 0;
  EXPECT_EQ(SmtpGetExtensions(h, &bits), 1);
  EXPECT_EQ(bits, kSmtpExtensionSize | kSmtpExtensionAuthLogin);
  EXPECT_STREQ(SmtpGetReplyText(h), "script.test SIZE 1000 AUTH PLAIN LOGIN");
  EXPECT_EQ(SmtpDisconnect(h), 0);
  EXPECT_TRUE(server.Finish()) << server.failure();
}

TEST_F(SmtpSession, RefusedEhloFallsBackToHelo) {
  ScriptServer server;
  server.Reply("220 ready")
      .Expect("EHLO client.test")
      .Reply("500 what")
      .Expect("RSET")
      .Reply("250 ok")
      .Expect("HELO client.test")
      .Reply("250 hello")
      .Expect("QUIT");
  const LibHandle h = Connect(server);
  ASSERT_NE(h, kInvalidLibHandle) << std::hex << SmtpGetLastError();
  uint32_t bits = 99;
  EXPECT_EQ(SmtpGetExtensions(h, &bits), 0);
  EXPECT_EQ(bits, 0u);
  EXPECT_EQ(SmtpGetLastError(), 0x80042FBCu);
  SmtpDisconnect(h);
  EXPECT_TRUE(server.Finish()) << server.failure();
}

TEST_F(SmtpSession, WithoutExtendedOptionOnlyHeloIsSent) {
  ScriptServer server;
  server.Reply("220 ready").Expect("HELO client.test").Reply("250 hello").Expect("QUIT");
  const LibHandle h = Connect(server, 0);
  ASSERT_NE(h, kInvalidLibHandle) << std::hex << SmtpGetLastError();
  SmtpDisconnect(h);
  EXPECT_TRUE(server.Finish()) << server.failure();
}

// The hello argument: an IPv4 address becomes a literal; a domain with characters a host
// name cannot have is replaced by the local name or address; blanks are refused.
TEST_F(SmtpSession, HelloArgument) {
  {
    ScriptServer server;
    server.Reply("220 ready").Expect("EHLO [10.1.2.3]").Reply("250 ok").Expect("QUIT");
    const LibHandle h = Connect(server, kSmtpOptionExtended, 5, "  10.1.2.3");
    ASSERT_NE(h, kInvalidLibHandle);
    SmtpDisconnect(h);
    EXPECT_TRUE(server.Finish()) << server.failure();
  }
  {
    ScriptServer server;
    server.Reply("220 ready").ExpectPrefix("EHLO ").Reply("250 ok").Expect("QUIT");
    const LibHandle h = Connect(server, kSmtpOptionExtended, 5, "bad_name.test");
    ASSERT_NE(h, kInvalidLibHandle);
    SmtpDisconnect(h);
    ASSERT_TRUE(server.Finish()) << server.failure();
    const std::string hello = server.received().at(0);
    EXPECT_EQ(hello.find("bad_name"), std::string::npos) << hello;
    // The local address's name, or its literal.
    EXPECT_TRUE(hello == "EHLO [127.0.0.1]" || (hello.size() > 5 && hello.find_first_of("_[] ", 5) == std::string::npos))
        << hello;
  }
  EXPECT_EQ(SmtpConnect("127.0.0.1", 1, 5, 0, "with blank", nullptr), kInvalidLibHandle);
  EXPECT_EQ(SmtpGetLastError(), 0x80042AF9u);
}

TEST_F(SmtpSession, GreetingFailures) {
  struct Case {
    const char* greeting;
    uint32_t error;
  } cases[] = {
      {"554 go away\r\n", 0x80042FAEu},
      {"421 busy\r\n", 0x80042FAFu},
      {"hello there\r\n", 0x80042FACu},
      {"599 odd\r\n", 0x80042FADu},
  };
  for (const Case& c : cases) {
    ScriptServer server;
    server.Send(c.greeting).Sleep(200ms);
    EXPECT_EQ(Connect(server), kInvalidLibHandle) << c.greeting;
    EXPECT_EQ(SmtpGetLastError(), c.error) << c.greeting;
    server.Finish();
  }
}

// Replies in odd shapes: byte by byte, lines over the text limit (the next reply still
// reads), a continuation line without the code, a bare LF.
TEST_F(SmtpSession, ReplyShapes) {
  const std::string longLine(5000, 'x');
  ScriptServer server;
  Greet(server)
      .Expect("NOOP")
      .SendPieces("250-first\r\n250-second\r\n250 third\r\n", 1, 1ms)
      .Expect("NOOP")
      .Send("250 " + longLine + "\r\n")
      .Expect("NOOP")
      .Send("250-one\r\nplain text\r\n250-two\n250 end\r\n")
      .Expect("NOOP")
      .Send("251 a\r\n252 b\r\n")
      .Expect("NOOP")
      .Expect("QUIT");
  const LibHandle h = Connect(server);
  ASSERT_NE(h, kInvalidLibHandle);
  EXPECT_EQ(SmtpCommand(h, "NOOP", nullptr), 250);
  EXPECT_STREQ(SmtpGetReplyText(h), "first second third");
  EXPECT_EQ(SmtpCommand(h, "NOOP", nullptr), 250);
  EXPECT_EQ(std::string(SmtpGetReplyText(h)), longLine.substr(0, 4095));
  EXPECT_EQ(SmtpCommand(h, "NOOP", nullptr), 250);
  EXPECT_STREQ(SmtpGetReplyText(h), "one plain text two end");
  // Two replies arriving together: the second is kept for the next read, not lost.
  EXPECT_EQ(SmtpCommand(h, "NOOP", nullptr), 251);
  EXPECT_EQ(SmtpCommand(h, "NOOP", nullptr), 252);
  EXPECT_STREQ(SmtpGetReplyText(h), "b");
  SmtpDisconnect(h);
  EXPECT_TRUE(server.Finish()) << server.failure();
}

TEST_F(SmtpSession, EndlessReplyIsRefused) {
  ScriptServer server;
  Greet(server).Expect("NOOP").Send("250-" + std::string(70000, 'y')).Sleep(300ms);
  const LibHandle h = Connect(server);
  ASSERT_NE(h, kInvalidLibHandle);
  EXPECT_EQ(SmtpCommand(h, "NOOP", nullptr), -1);
  EXPECT_EQ(SmtpGetLastError(), 0x80042FACu);
  SmtpDisconnect(h);
  server.Finish();
}

TEST_F(SmtpSession, CommandRules) {
  ScriptServer server;
  Greet(server).Expect("QUIT");
  const LibHandle h = Connect(server);
  ASSERT_NE(h, kInvalidLibHandle);
  EXPECT_EQ(SmtpCommand(h, "NOOP", "x\r\nRSET"), -1);
  EXPECT_EQ(SmtpGetLastError(), 0x8004271Eu);
  EXPECT_EQ(SmtpCommand(h, "VRFY", std::string(4100, 'a').c_str()), -1);
  EXPECT_EQ(SmtpGetLastError(), 0x8004271Eu);
  // Another thread may not use the handle.
  uint32_t error = 0;
  std::thread([&] {
    SmtpCommand(h, "NOOP", nullptr);
    error = SmtpGetLastError();
  }).join();
  EXPECT_EQ(error, 0x80042711u);
  SmtpDisconnect(h);
  EXPECT_TRUE(server.Finish()) << server.failure();
  EXPECT_EQ(SmtpCommand(h, "NOOP", nullptr), -1);
  EXPECT_EQ(SmtpGetLastError(), 0x80042736u);
}

// A server that stops answering, or keeps a reply going a byte at a time: one timeout
// bounds the whole reply, the wait runs out with event 16 and nothing more is sent at
// disconnect (the script would see a QUIT as an unexpected line).
TEST_F(SmtpSession, StalledOrTricklingServerTimesOut) {
  for (const bool trickle : {false, true}) {
    SCOPED_TRACE(trickle ? "trickle" : "stall");
    ScriptServer server;
    Greet(server).Expect("NOOP");
    if (trickle) server.Send("250-").Trickle("x", 100ms);
    else server.Sleep(2500ms);
    const LibHandle h = Connect(server, kSmtpOptionExtended, 1);
    ASSERT_NE(h, kInvalidLibHandle);
    EventLog log;
    log.Attach(h);
    const auto start = std::chrono::steady_clock::now();
    EXPECT_EQ(SmtpCommand(h, "NOOP", nullptr), -1);
    EXPECT_LT(std::chrono::steady_clock::now() - start, 3s);  // 2 x timeout + 1 s
    EXPECT_EQ(SmtpGetLastError(), 0x8004274Cu);
    EXPECT_EQ(log.Count(cvmail::kMailEventTimeout), 1u);
    SmtpDisconnect(h);
    if (!trickle) {
      EXPECT_TRUE(server.Finish()) << server.failure();
      EXPECT_EQ(server.received().back(), "NOOP");
    }
  }
}

TEST_F(SmtpSession, ServerResetDuringReply) {
  ScriptServer server;
  Greet(server).Expect("NOOP").Send("250-partial").Drop();
  const LibHandle h = Connect(server);
  ASSERT_NE(h, kInvalidLibHandle);
  EXPECT_EQ(SmtpCommand(h, "NOOP", nullptr), -1);
  const uint32_t e = SmtpGetLastError();
  EXPECT_TRUE(e == 0x80042FE0u || e == 0x80042746u) << std::hex << e;  // closed, or reset
  SmtpDisconnect(h);
  server.Finish();
}

TEST_F(SmtpSession, AuthLogin) {
  ScriptServer server;
  Greet(server)
      .Expect("AUTH LOGIN")
      .Reply("334 VXNlcm5hbWU6")
      .Expect("Ym9i")
      .Reply("334 UGFzc3dvcmQ6")
      .Expect("c2VjcmV0")
      .Reply("235 ok")
      .Expect("AUTH LOGIN")
      .Reply("334 VXNlcm5hbWU6")
      .Expect("Ym9i")
      .Reply("334 UGFzc3dvcmQ6")
      .Expect("d3Jvbmc=")
      .Reply("535 no")
      .Expect("AUTH LOGIN")
      .Reply("504 not that")
      .Expect("QUIT");
  const LibHandle h = Connect(server);
  ASSERT_NE(h, kInvalidLibHandle);
  EXPECT_EQ(SmtpAuthenticate(h, 0, "bob", "secret"), 235);
  EXPECT_EQ(SmtpAuthenticate(h, 0, "bob", "wrong"), -1);
  EXPECT_EQ(SmtpGetLastError(), 0x80042FC6u);
  EXPECT_EQ(SmtpAuthenticate(h, 0, "bob", "secret"), -1);
  EXPECT_EQ(SmtpGetLastError(), 0x80042FB6u);
  // Checked before anything is sent.
  const std::string longUser(200, 'u');
  struct Case {
    uint32_t method;
    const char* user;
    const char* password;
    uint32_t error;
  } cases[] = {
      {1, "bob", "secret", 0x80042FC2u},
      {0, "", "secret", 0x80042FBEu},
      {0, "bob", nullptr, 0x80042FBFu},
      {0, longUser.c_str(), "secret", 0x80042FBEu},
  };
  for (const Case& c : cases) {
    EXPECT_EQ(SmtpAuthenticate(h, c.method, c.user, c.password), -1);
    EXPECT_EQ(SmtpGetLastError(), c.error);
  }
  SmtpDisconnect(h);
  EXPECT_TRUE(server.Finish()) << server.failure();
}

TEST_F(SmtpSession, AuthNeedsTheExtension) {
  ScriptServer server;
  Greet(server, {"SIZE 10"}).Expect("QUIT");
  const LibHandle h = Connect(server);
  ASSERT_NE(h, kInvalidLibHandle);
  EXPECT_EQ(SmtpAuthenticate(h, 0, "bob", "secret"), -1);
  EXPECT_EQ(SmtpGetLastError(), 0x80042FC6u);
  SmtpDisconnect(h);
  EXPECT_TRUE(server.Finish()) << server.failure();

  ScriptServer helo;
  helo.Reply("220 ready").Expect("HELO client.test").Reply("250 hi").Expect("QUIT");
  const LibHandle h2 = Connect(helo, 0);
  ASSERT_NE(h2, kInvalidLibHandle);
  EXPECT_EQ(SmtpAuthenticate(h2, 0, "bob", "secret"), -1);
  EXPECT_EQ(SmtpGetLastError(), 0x80042FBCu);
  SmtpDisconnect(h2);
  EXPECT_TRUE(helo.Finish()) << helo.failure();
}

TEST(SmtpBase64, Encoding) {
  struct Case {
    const char* in;
    const char* out;
  } cases[] = {{"", ""}, {"f", "Zg=="}, {"fo", "Zm8="}, {"foo", "Zm9v"}, {"foob", "Zm9vYg=="}, {"\xff\xfe", "//4="}};
  char out[256];
  for (const Case& c : cases) {
    EXPECT_EQ(SmtpEncodeBase64(c.in, uint32_t(std::strlen(c.in)), out), int32_t(std::strlen(c.out)));
    EXPECT_STREQ(out, c.out);
  }
  const std::string most(169, 'a'), tooLong(170, 'a');
  EXPECT_GT(SmtpEncodeBase64(most.c_str(), uint32_t(most.size()), out), 0);
  EXPECT_EQ(SmtpEncodeBase64(tooLong.c_str(), uint32_t(tooLong.size()), out), -1);
  EXPECT_EQ(SmtpGetLastError(), 0x80042727u);
}

// Explicit TLS asked for, but the server offers no STARTTLS: the connect fails instead of
// going on in the clear.
TEST_F(SmtpSession, SecureWithoutStartTlsFails) {
  ScriptServer server;
  Greet(server, {"SIZE 10"}).Sleep(200ms);
  EXPECT_EQ(Connect(server, kSmtpOptionSecure), kInvalidLibHandle);
  EXPECT_EQ(SmtpGetLastError(), 0x80042FBCu);
  server.Finish();
}

}  // namespace

namespace {

// A cancel from another thread ends a wait for a reply at once, with event 32.
TEST_F(SmtpSession, CancelFromAnotherThread) {
  ScriptServer server;
  Greet(server).Expect("NOOP").Sleep(1500ms);
  const LibHandle h = Connect(server, kSmtpOptionExtended, 10);
  ASSERT_NE(h, kInvalidLibHandle);
  EventLog log;
  log.Attach(h);
  std::thread canceller([h] {
    std::this_thread::sleep_for(200ms);
    SmtpCancel(h);
  });
  const auto start = std::chrono::steady_clock::now();
  EXPECT_EQ(SmtpCommand(h, "NOOP", nullptr), -1);
  canceller.join();
  EXPECT_EQ(SmtpGetLastError(), 0x80042714u);
  EXPECT_EQ(log.Count(cvmail::kMailEventCancel), 1u);
  EXPECT_LT(std::chrono::steady_clock::now() - start, 5s);  // not the 10 s timeout
  SmtpDisconnect(h);
  server.Finish();
}

}  // namespace
