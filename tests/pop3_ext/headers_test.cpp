// Header fields, senders and submissions against a scripted server: dovecot has none of
// the extension commands (XTND XLST, XSENDER, XTND XMIT), so their answers and the
// fall-backs after a refusal are scripted here.
#include <cstring>
#include <string>

#include "core/errors/error_codes.h"
#include "pop3/pop3_control.h"
#include "pop3_test_support.h"

namespace pop3test {
namespace {

class HeaderTest : public Pop3Test {};

// The header block TOP returns for message 1, dot-terminated.
constexpr const char* kHeaderBlock =
    "+OK top of message follows\r\n"
    "Return-Path: <r@example.org>\r\n"
    "From: Ann Example <ann@example.org>\r\n"
    "Subject: a folded\r\n"
    "\t long  subject\r\n"
    "X-Empty:\r\n"
    "\r\n"
    ".\r\n";

// What a TOP read of message 1 asks before the TOP itself: size and unique id.
cvtest::ScriptServer& ServeTop(cvtest::ScriptServer& server, const char* headers = kHeaderBlock) {
  return server.Expect("LIST 1").Reply("+OK 1 120").Expect("UIDL 1").Reply("+OK 1 uid-1").Expect("TOP 1 0").Send(headers);
}

std::string Value(LibHandle h, uint32_t message, const char* name, int32_t* length = nullptr) {
  char buffer[256];
  std::memset(buffer, 'x', sizeof buffer);
  const int32_t n = Pop3GetHeaderValue(h, message, name, buffer, sizeof buffer);
  if (length) *length = n;
  return n < 0 ? "<error>" : std::string(buffer, size_t(n));
}

TEST_F(HeaderTest, ListedValuesComeFromTheServerWhileItAcceptsXlst) {
  cvtest::ScriptServer server;
  GreetAndLogin(server)
      .Expect("XTND XLST Subject 2")
      .Send("+OK header list follows\r\n2 Subject:   hello there  \r\n.\r\n")
      .Expect("XTND XLST X-Missing 2")
      .Send("+OK header list follows\r\n.\r\n")
      .Expect("QUIT")
      .Reply("+OK");
  const LibHandle h = ConnectAndLogin(server);
  ASSERT_NE(h, kInvalidLibHandle);
  EXPECT_EQ(Value(h, 2, "Subject:"), "hello there");  // a trailing colon names the same field
  int32_t n = -1;
  EXPECT_EQ(Value(h, 2, "X-Missing", &n), "");
  EXPECT_EQ(n, 0);
  // The session is idle afterwards: the end line was read.
  Pop3Disconnect(h);
  EXPECT_TRUE(server.Finish()) << server.failure();
}

TEST_F(HeaderTest, ARefusedXlstFallsBackToTheCachedHeaderBlock) {
  cvtest::ScriptServer server;
  GreetAndLogin(server).Expect("XTND XLST subject 1").Reply("-ERR unknown command");
  ServeTop(server).Expect("QUIT").Reply("+OK");
  const LibHandle h = ConnectAndLogin(server);
  ASSERT_NE(h, kInvalidLibHandle);
  // Folded lines: the line end and each white-space character starting the continuation
  // become blanks; names match whatever their case.
  EXPECT_EQ(Value(h, 1, "subject"), "a folded   long  subject");
  // Later look-ups of the same message ask nothing more: no XLST, no second TOP.
  EXPECT_EQ(Value(h, 1, "FROM"), "Ann Example <ann@example.org>");
  int32_t n = -1;
  EXPECT_EQ(Value(h, 1, "X-Empty"), "");
  EXPECT_EQ(Value(h, 1, "Received", &n), "");
  EXPECT_EQ(n, 0);
  EXPECT_EQ(Value(h, 1, "Return"), "");  // a prefix of a name is not the name
  // A small buffer takes what fits and the terminator.
  char small[6];
  EXPECT_EQ(Pop3GetHeaderValue(h, 1, "Subject", small, sizeof small), 5);
  EXPECT_STREQ(small, "a fol");
  Pop3Disconnect(h);
  EXPECT_TRUE(server.Finish()) << server.failure();
}

TEST_F(HeaderTest, ArgumentAndStateChecks) {
  cvtest::ScriptServer server;
  server.Reply("+OK ready").Expect("NOOP").Reply("+OK").Expect("QUIT").Reply("+OK");
  const LibHandle h = Connect(server);
  ASSERT_NE(h, kInvalidLibHandle);
  char buffer[64];
  struct Case {
    uint32_t message;
    const char* name;
    char* buffer;
    uint32_t error;
  } cases[] = {
      {0, "Subject", buffer, cvErrorInvalidMessageNumber},
      {1, "Subject", buffer, cvErrorAuthenticationRequired},  // not logged in
  };
  for (const Case& c : cases) {
    EXPECT_EQ(Pop3GetHeaderValue(h, c.message, c.name, c.buffer, sizeof buffer), -1);
    EXPECT_EQ(Pop3GetLastError(), c.error);
  }
  EXPECT_EQ(Pop3GetMessageSender(h, 0, buffer), -1);
  EXPECT_EQ(Pop3GetLastError(), cvErrorInvalidMessageNumber);
  EXPECT_EQ(Pop3GetMessageSender(h, 1, buffer), -1);
  EXPECT_EQ(Pop3GetLastError(), cvErrorAuthenticationRequired);
  EXPECT_EQ(Pop3SendCommand(h, "NOOP", nullptr), 1);
  Pop3Disconnect(h);
  EXPECT_TRUE(server.Finish()) << server.failure();
}

TEST_F(HeaderTest, EmptyNamesAndBuffersAndPendingReplies) {
  cvtest::ScriptServer server;
  GreetAndLogin(server).Expect("LIST").Send("+OK\r\n1 120\r\n.\r\n").Expect("QUIT").Reply("+OK");
  const LibHandle h = ConnectAndLogin(server);
  ASSERT_NE(h, kInvalidLibHandle);
  char buffer[64];
  for (const char* name : {"", ":"}) {
    EXPECT_EQ(Pop3GetHeaderValue(h, 1, name, buffer, sizeof buffer), -1) << name;
    EXPECT_EQ(Pop3GetLastError(), cvErrorInvalidParameter);
  }
  EXPECT_EQ(Pop3GetHeaderValue(h, 1, "Subject", nullptr, 10), -1);
  EXPECT_EQ(Pop3GetLastError(), cvErrorInvalidParameter);
  // An open multi-line response refuses both look-ups until it is read.
  ASSERT_EQ(Pop3SendCommand(h, "LIST", nullptr), 1);
  ASSERT_EQ(Pop3BeginMultiLine(h), 0);
  EXPECT_EQ(Pop3GetHeaderValue(h, 1, "Subject", buffer, sizeof buffer), -1);
  EXPECT_EQ(Pop3GetLastError(), cvErrorOperationInProgress);
  EXPECT_EQ(Pop3GetMessageSender(h, 1, buffer), -1);
  EXPECT_EQ(Pop3GetLastError(), cvErrorOperationInProgress);
  std::string listing;
  int32_t n = 0;
  while ((n = Pop3Read(h, buffer, sizeof buffer)) > 0) listing.append(buffer, size_t(n));
  EXPECT_EQ(n, 0);
  EXPECT_EQ(listing, "1 120\r\n");
  Pop3Disconnect(h);
  EXPECT_TRUE(server.Finish()) << server.failure();
}

TEST_F(HeaderTest, SenderFromXsenderThenFromTheFromField) {
  struct Case {
    const char* from;
    const char* sender;
  } cases[] = {
      {"From: Ann Example <ann@example.org>\r\n", "ann@example.org"},
      {"From: ann@example.org (Ann Example)\r\n", "Ann Example"},
      {"From: ann@example.org\r\n", "ann@example.org"},
  };
  for (const Case& c : cases) {
    cvtest::ScriptServer server;
    GreetAndLogin(server).Expect("XSENDER 1").Reply("+OK bob@example.org");
    server.Expect("XSENDER 2").Reply("-ERR no such command");
    // The header look-up asks XLST first, refused too, then reads the header block.
    server.Expect("XTND XLST FROM 2").Reply("-ERR no").Expect("LIST 2").Reply("+OK 2 99").Expect("UIDL 2")
        .Reply("+OK 2 u2").Expect("TOP 2 0").Send(std::string("+OK\r\n") + c.from + "\r\n.\r\n");
    server.Expect("QUIT").Reply("+OK");
    const LibHandle h = ConnectAndLogin(server);
    ASSERT_NE(h, kInvalidLibHandle);
    char buffer[kPop3SenderSize];
    EXPECT_EQ(Pop3GetMessageSender(h, 1, buffer), 15);
    EXPECT_STREQ(buffer, "bob@example.org");
    EXPECT_EQ(Pop3GetMessageSender(h, 2, buffer), int32_t(std::strlen(c.sender))) << c.from;
    EXPECT_STREQ(buffer, c.sender);
    // Cached header block and cleared capabilities: nothing more goes to the server.
    EXPECT_EQ(Pop3GetMessageSender(h, 2, nullptr), int32_t(std::strlen(c.sender)));
    Pop3Disconnect(h);
    EXPECT_TRUE(server.Finish()) << server.failure();
  }
}

TEST_F(HeaderTest, NoFromFieldIsAnError) {
  cvtest::ScriptServer server;
  GreetAndLogin(server).Expect("XSENDER 1").Reply("-ERR").Expect("XTND XLST FROM 1").Reply("-ERR");
  ServeTop(server, "+OK\r\nSubject: x\r\n\r\n.\r\n").Expect("QUIT").Reply("+OK");
  const LibHandle h = ConnectAndLogin(server);
  ASSERT_NE(h, kInvalidLibHandle);
  char buffer[kPop3SenderSize] = "old";
  EXPECT_EQ(Pop3GetMessageSender(h, 1, buffer), -1);
  EXPECT_EQ(Pop3GetLastError(), cvErrorFeatureNotSupported);
  EXPECT_STREQ(buffer, "");
  Pop3Disconnect(h);
  EXPECT_TRUE(server.Finish()) << server.failure();
}

TEST_F(HeaderTest, HeadersOnlyRead) {
  cvtest::ScriptServer server;
  GreetAndLogin(server);
  ServeTop(server).Expect("QUIT").Reply("+OK");
  const LibHandle h = ConnectAndLogin(server);
  ASSERT_NE(h, kInvalidLibHandle);
  plat::HGLOBAL block = nullptr;
  uint32_t length = 99;
  ASSERT_EQ(Pop3GetHeaders(h, 1, &block, &length), 0);
  ASSERT_NE(block, nullptr);
  const std::string text(static_cast<const char*>(plat::GlobalLock(block)), length);
  plat::GlobalUnlock(block);
  plat::GlobalFree(block);
  EXPECT_EQ(text, std::string(kHeaderBlock).substr(std::strlen("+OK top of message follows\r\n"),
                                                    std::strlen(kHeaderBlock) - 28 - 3));
  Pop3Disconnect(h);
  EXPECT_TRUE(server.Finish()) << server.failure();
}

}  // namespace
}  // namespace pop3test
