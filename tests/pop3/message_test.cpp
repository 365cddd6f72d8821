// Mailbox and message operations against a scripted server: reply parsing, the end line
// and dot-unstuffing of multi-line responses, hand-over forms, and broken transfers.
#include <chrono>
#include <cstring>
#include <fstream>
#include <sstream>
#include <string>

#include "core/errors/error_codes.h"
#include "peers/peer.h"
#include "platform/clipboard/clipboard.h"
#include "pop3_test_support.h"

namespace pop3test {
namespace {

using namespace std::chrono_literals;

class MessageTest : public Pop3Test {};

// LIST, UIDL and RETR (or TOP) of message 1 of the given size, then the body as sent.
cvtest::ScriptServer& ServeMessage(cvtest::ScriptServer& server, size_t size, const std::string& body,
                                   bool headers = false) {
  return server.Expect("LIST 1")
      .Reply("+OK 1 " + std::to_string(size))
      .Expect("UIDL 1")
      .Reply("+OK 1 uid-1")
      .Expect(headers ? "TOP 1 0" : "RETR 1")
      .Send("+OK follows\r\n" + body);
}

std::string RetrieveText(LibHandle h, uint32_t flags = 0) {
  plat::HGLOBAL block = nullptr;
  uint32_t length = 0;
  if (Pop3RetrieveMessage(h, 1, &block, &length, flags) != 0) return "<error>";
  if (!block) return "";
  std::string text(static_cast<const char*>(plat::GlobalLock(block)), length);
  EXPECT_EQ(plat::GlobalSize(block), length + 1u);  // a NUL follows the text
  plat::GlobalUnlock(block);
  plat::GlobalFree(block);
  return text;
}

TEST_F(MessageTest, MultiLineResponsesEndAndUnstuff) {
  struct Case {
    std::string sent;
    std::string text;
    size_t piece;  // bytes per write
  } cases[] = {
      {".\r\n", "", 100},                                          // end line at once
      {"..dot\r\nline\r\n.\r\n", ".dot\r\nline\r\n", 100},         // stuffed first line
      {"a\r\n..\r\n...\r\n.\r\n", "a\r\n.\r\n..\r\n", 1},          // split into single bytes
      {"a\r\n.\rb\r\nc.\r\n.\r\n", "a\r\n\rb\r\nc.\r\n", 3},        // not end lines
      {"x" + std::string(100000, 'y') + "\r\n.\r\n", "x" + std::string(100000, 'y') + "\r\n", 8192},  // huge line
  };
  for (const Case& c : cases) {
    cvtest::ScriptServer server;
    GreetAndLogin(server);
    server.Expect("LIST 1").Reply("+OK 1 " + std::to_string(c.text.size())).Expect("UIDL 1").Reply("+OK 1 u");
    server.Expect("RETR 1").SendPieces("+OK\r\n" + c.sent, c.piece, 0ms).Expect("NOOP").Reply("+OK");
    const LibHandle h = ConnectAndLogin(server);
    ASSERT_NE(h, kInvalidLibHandle);
    EXPECT_EQ(RetrieveText(h), c.text) << c.sent.substr(0, 40);
    EXPECT_EQ(Pop3SendCommand(h, "NOOP", nullptr), 1);  // the response was read to its end, no further
    EXPECT_TRUE(server.Finish()) << server.failure();
    Pop3Disconnect(h);
  }
}

TEST_F(MessageTest, LineBreakModeReadsOneLineAtATime) {
  cvtest::ScriptServer server;
  GreetAndLogin(server);
  ServeMessage(server, 12, "one\r\n..two\r\n.\r\n");
  const LibHandle h = ConnectAndLogin(server, kPop3OptionLineBreak);
  ASSERT_NE(h, kInvalidLibHandle);
  ASSERT_EQ(Pop3OpenMessage(h, 1, 0), 0) << std::hex << Pop3GetLastError();
  char buffer[64];
  std::vector<std::string> lines;
  for (int32_t n; (n = Pop3ReadData(h, buffer, sizeof buffer)) > 0;) lines.emplace_back(buffer, size_t(n));
  EXPECT_EQ(lines, (std::vector<std::string>{"one\r\n", ".two\r\n"}));
  EXPECT_EQ(Pop3ReadData(h, buffer, sizeof buffer), 0);
  EXPECT_EQ(Pop3CloseMessage(h), 0);
  MessageTransferStatus st{};
  EXPECT_EQ(Pop3GetTransferStatus(h, &st), 0);
  EXPECT_EQ(st.message, 1u);
  EXPECT_EQ(st.copied, 11u);
  EXPECT_EQ(st.size, 12u);
  EXPECT_EQ(Pop3GetTransferStatus(h, nullptr), -1);
  EXPECT_EQ(Pop3GetLastError(), 0x8004271Eu);
  EXPECT_TRUE(server.Finish()) << server.failure();
  Pop3Disconnect(h);
}

// A read of a response the server cut short hands out what came, with the close as the
// last error, and fails after it; a disconnect that cannot say QUIT leaves the caller's
// error as it was.
TEST_F(MessageTest, ACutResponseIsHandedOutWithTheCloseAsTheError) {
  cvtest::ScriptServer server;
  GreetAndLogin(server);
  ServeMessage(server, 30, "line one\r\npart").Sleep(100ms).Close();
  const LibHandle h = ConnectAndLogin(server);
  ASSERT_NE(h, kInvalidLibHandle);
  ASSERT_EQ(Pop3OpenMessage(h, 1, 0), 0) << std::hex << Pop3GetLastError();
  EXPECT_EQ(Pop3GetLastError(), 0u);
  char buffer[64];
  EXPECT_EQ(Pop3ReadData(h, buffer, sizeof buffer), 14);
  EXPECT_EQ(std::string(buffer, 14), "line one\r\npart");
  EXPECT_EQ(Pop3GetLastError(), cvErrorConnectionClosed);
  EXPECT_EQ(Pop3ReadData(h, buffer, sizeof buffer), -1);
  EXPECT_EQ(Pop3GetLastError(), cvErrorConnectionClosed);
  Pop3SetLastError(cvErrorNotConnected);
  EXPECT_EQ(Pop3Disconnect(h), 0);
  EXPECT_EQ(Pop3GetLastError(), cvErrorNotConnected);
  EXPECT_TRUE(server.Finish()) << server.failure();
}

TEST_F(MessageTest, CloseDrainsAnOpenMessage) {
  cvtest::ScriptServer server;
  GreetAndLogin(server);
  ServeMessage(server, 30, "line one\r\nline two\r\n.\r\n").Expect("NOOP").Reply("+OK");
  const LibHandle h = ConnectAndLogin(server);
  ASSERT_NE(h, kInvalidLibHandle);
  ASSERT_EQ(Pop3OpenMessage(h, 1, 0), 0);
  char byte;
  EXPECT_EQ(Pop3ReadData(h, &byte, 1), 1);
  EXPECT_EQ(Pop3SendCommand(h, "NOOP", nullptr), 0);  // a response is still open
  EXPECT_EQ(Pop3GetLastError(), 0x80042734u);
  EXPECT_EQ(Pop3CloseMessage(h), 0);
  EXPECT_EQ(Pop3SendCommand(h, "NOOP", nullptr), 1);
  EXPECT_TRUE(server.Finish()) << server.failure();
  Pop3Disconnect(h);
}

TEST_F(MessageTest, ListAndUidlRepliesAreParsed) {
  cvtest::ScriptServer server;
  GreetAndLogin(server);
  server.Expect("LIST 1").Reply("+OK 1 1205").Expect("UIDL 2").Reply("+OK 2   whqtswO00WBw418f9t5JxYwZ  ");
  server.Expect("LIST 9").Reply("-ERR no such message").Expect("UIDL 9").Reply("-ERR no such message");
  const LibHandle h = ConnectAndLogin(server);
  ASSERT_NE(h, kInvalidLibHandle);
  EXPECT_EQ(Pop3GetMessageSize(h, 1), 1205);
  char uid[128];
  EXPECT_EQ(Pop3GetMessageUid(h, 2, uid, sizeof uid), 24);
  EXPECT_STREQ(uid, "whqtswO00WBw418f9t5JxYwZ");
  for (int32_t r : {Pop3GetMessageSize(h, 9), Pop3GetMessageUid(h, 9, uid, sizeof uid)}) {
    EXPECT_EQ(r, -1);
    EXPECT_EQ(Pop3GetLastError(), 0x80043006u);
  }
  EXPECT_EQ(Pop3GetMessageSize(h, 0), -1);
  EXPECT_EQ(Pop3GetLastError(), 0x80043006u);
  EXPECT_TRUE(server.Finish()) << server.failure();
  Pop3Disconnect(h);
}

TEST_F(MessageTest, DeleteLowersTheCountAndResetRestoresIt) {
  cvtest::ScriptServer server;
  GreetAndLogin(server, 5, 500);
  server.Expect("LIST 2").Reply("+OK 2 120").Expect("DELE 2").Reply("+OK deleted");
  server.Expect("RSET").Reply("+OK").Expect("STAT").Reply("+OK 5 500");
  const LibHandle h = ConnectAndLogin(server);
  ASSERT_NE(h, kInvalidLibHandle);
  EXPECT_EQ(Pop3DeleteMessage(h, 2), 0);
  uint32_t last = 0, size = 0;
  EXPECT_EQ(Pop3GetMailboxStatus(h, &last, &size), 4);
  EXPECT_EQ(last, 5u);
  EXPECT_EQ(size, 380u);
  EXPECT_EQ(Pop3Reset(h), 1);
  EXPECT_EQ(Pop3GetMailboxStatus(h, &last, &size), 5);
  EXPECT_EQ(size, 500u);
  EXPECT_TRUE(server.Finish()) << server.failure();
  Pop3Disconnect(h);
}

TEST_F(MessageTest, HandOverForms) {
  const std::string body(1000, 'm');
  const std::string wire = body + "\r\n.\r\n";
  const std::string text = body + "\r\n";
  // Into the caller's buffer: at most its size.
  {
    cvtest::ScriptServer server;
    GreetAndLogin(server);
    ServeMessage(server, text.size(), wire);
    const LibHandle h = ConnectAndLogin(server);
    char buffer[100];
    uint32_t length = 100;
    EXPECT_EQ(Pop3RetrieveMessage(h, 1, buffer, &length, 0), 0);
    EXPECT_EQ(length, 100u);
    EXPECT_EQ(std::string(buffer, 100), text.substr(0, 100));
    EXPECT_TRUE(server.Finish()) << server.failure();
    Pop3Disconnect(h);
  }
  // As UTF-16, in a block of its own.
  {
    cvtest::ScriptServer server;
    GreetAndLogin(server);
    ServeMessage(server, 8, "gr\xc3\xbc\xc3\x9f\r\n.\r\n");
    const LibHandle h = ConnectAndLogin(server);
    plat::HGLOBAL block = nullptr;
    uint32_t length = 0;
    EXPECT_EQ(Pop3RetrieveMessage(h, 1, &block, &length, kPop3ReadUnicode), 0);
    ASSERT_NE(block, nullptr);
    EXPECT_EQ(length, 6u);
    EXPECT_EQ(std::u16string(static_cast<const char16_t*>(plat::GlobalLock(block)), length), u"gr\u00fc\u00df\r\n");
    plat::GlobalUnlock(block);
    plat::GlobalFree(block);
    EXPECT_TRUE(server.Finish()) << server.failure();
    Pop3Disconnect(h);
  }
  // Into a file, and onto the clipboard.
  {
    cvpeers::TempDir dir;
    cvtest::ScriptServer server;
    GreetAndLogin(server);
    ServeMessage(server, text.size(), wire).Accept();
    server.Reply("+OK again").Expect("USER bob").Reply("+OK").Expect("PASS secret").Reply("+OK").Expect("STAT").Reply("+OK 1 1");
    ServeMessage(server, text.size(), wire);
    const LibHandle h = ConnectAndLogin(server);
    const std::string file = (dir.path() / "m.eml").string();
    EXPECT_EQ(Pop3StoreMessage(h, 1, file.c_str()), 0) << std::hex << Pop3GetLastError();
    std::ifstream in(file, std::ios::binary);
    std::stringstream read;
    read << in.rdbuf();
    EXPECT_EQ(read.str(), text);
    Pop3Disconnect(h);
    const LibHandle h2 = Pop3Connect(server.address(), uint32_t(server.port()), 5, 0, nullptr);
    ASSERT_NE(h2, kInvalidLibHandle);
    ASSERT_EQ(Pop3Login(h2, 0, "bob", "secret"), 0);
    EXPECT_EQ(Pop3StoreMessage(h2, 1, ""), 0) << std::hex << Pop3GetLastError();
    ASSERT_TRUE(plat::OpenClipboard(nullptr));
    plat::HGLOBAL clip = plat::GetClipboardData(plat::CF_TEXT);
    ASSERT_NE(clip, nullptr);
    EXPECT_EQ(std::string(static_cast<const char*>(plat::GlobalLock(clip))), text);
    plat::GlobalUnlock(clip);
    plat::CloseClipboard();
    EXPECT_TRUE(server.Finish()) << server.failure();
    Pop3Disconnect(h2);
  }
}

TEST_F(MessageTest, ProgressEventsOnlyForWholeMessages) {
  const std::string body = std::string(10000, 'p') + "\r\n";
  size_t progress = 0;
  for (const bool headers : {true, false}) {
    progress = 0;
    cvtest::ScriptServer server;
    GreetAndLogin(server);
    ServeMessage(server, body.size(), body + ".\r\n", headers);
    const LibHandle h = ConnectAndLogin(server);
    ASSERT_NE(h, kInvalidLibHandle);
    Pop3SetEventCallback(
        h, cvmail::kMailEventProgress,
        [](LibHandle, uint32_t, uint32_t, uintptr_t p) {
          ++*reinterpret_cast<size_t*>(p);
          return 0;
        },
        reinterpret_cast<uintptr_t>(&progress));
    EXPECT_EQ(RetrieveText(h, headers ? kPop3ReadHeadersOnly : 0), body);
    if (headers) {
      EXPECT_EQ(progress, 0u);
    } else {
      EXPECT_GE(progress, 3u);  // one per 4 KB read at most
    }
    EXPECT_TRUE(server.Finish()) << server.failure();
    Pop3Disconnect(h);
  }
}

TEST_F(MessageTest, BrokenTransfersFailWithTheirErrors) {
  struct Case {
    const char* name;
    std::function<void(cvtest::ScriptServer&)> script;
    uint32_t error;
  } cases[] = {
      {"-ERR instead of the message", [](cvtest::ScriptServer& s) { s.Reply("-ERR gone"); }, 0x80043006},
      {"never ends, then closes",
       [](cvtest::ScriptServer& s) { s.Send("+OK\r\npart of it\r\n").Close().Sleep(300ms); }, 0x80042FE0},
      {"stalls", [](cvtest::ScriptServer& s) { s.Send("+OK\r\npart of it\r\n").Sleep(2500ms); }, 0x8004274C},
  };
  for (const Case& c : cases) {
    cvtest::ScriptServer server;
    GreetAndLogin(server);
    server.Expect("LIST 1").Reply("+OK 1 100").Expect("UIDL 1").Reply("+OK 1 u").Expect("RETR 1");
    c.script(server);
    const LibHandle h = ConnectAndLogin(server, 0, 1);
    ASSERT_NE(h, kInvalidLibHandle);
    plat::HGLOBAL block = reinterpret_cast<plat::HGLOBAL>(1);
    uint32_t length = 0;
    EXPECT_EQ(Pop3RetrieveMessage(h, 1, &block, &length, 0), -1) << c.name;
    EXPECT_EQ(Pop3GetLastError(), c.error) << c.name;
    EXPECT_EQ(block, nullptr);
    EXPECT_EQ(length, 0u);
    server.Finish();
    Pop3Disconnect(h);
  }
}

TEST_F(MessageTest, WhatIsKeptIsBoundedByTheListedSize) {
  // A line of text repeated to the given size, ended by the end line.
  auto body = [](size_t size) {
    std::string text;
    while (text.size() < size) text += std::string(62, 'm') + "\r\n";
    text.resize(size - size % 64);
    return text;
  };
  const struct {
    size_t listed, sent;
    bool kept;
  } kCases[] = {
      {100, 128, true},                 // a little more than announced
      {1 << 20, 1 << 20, true},         // as announced
      {0, 64 * 1024 - 64, true},        // within the margin
      {100, 4 << 20, false},            // far more than announced
      {1 << 20, 3 << 20, false},
  };
  for (const auto& c : kCases) {
    cvtest::ScriptServer server;
    GreetAndLogin(server);
    const std::string text = body(c.sent);
    ServeMessage(server, c.listed, text + ".\r\n");
    if (c.kept) server.Expect("QUIT").Reply("+OK");
    const LibHandle h = ConnectAndLogin(server);
    ASSERT_NE(h, kInvalidLibHandle);
    const std::string got = RetrieveText(h);
    if (c.kept) {
      EXPECT_EQ(got, text) << c.listed << " " << c.sent;
    } else {
      EXPECT_EQ(got, "<error>") << c.listed << " " << c.sent;
      EXPECT_EQ(Pop3GetLastError(), cvErrorInvalidmessageSize);
    }
    Pop3Disconnect(h);  // a session given up sends no QUIT into the rest of the message
    server.Finish();
    EXPECT_EQ(server.received().back(), c.kept ? "QUIT" : "RETR 1") << c.listed << " " << c.sent;
  }
}

TEST_F(MessageTest, AStallEndsTheSessionWithinItsTimeout) {
  constexpr uint32_t kTimeout = 2;
  cvtest::ScriptServer server;
  GreetAndLogin(server);
  ServeMessage(server, 1000, "part of it\r\n").Sleep(std::chrono::seconds(kTimeout + 4));
  const LibHandle h = ConnectAndLogin(server, 0, kTimeout);
  ASSERT_NE(h, kInvalidLibHandle);
  const auto start = std::chrono::steady_clock::now();
  EXPECT_EQ(RetrieveText(h), "<error>");
  EXPECT_EQ(Pop3GetLastError(), cvErrorOperationTimeout);
  EXPECT_LT(std::chrono::steady_clock::now() - start, std::chrono::seconds(kTimeout + 1));
  const auto after = std::chrono::steady_clock::now();
  EXPECT_EQ(Pop3SendCommand(h, "NOOP", nullptr), 0);
  EXPECT_EQ(Pop3GetLastError(), cvErrorOperationTimeout);
  Pop3Disconnect(h);
  EXPECT_LT(std::chrono::steady_clock::now() - after, std::chrono::seconds(1));
  server.Finish(std::chrono::seconds(kTimeout + 6));
  EXPECT_EQ(server.received().back(), "RETR 1");  // nothing written after the stall
}

TEST_F(MessageTest, AResetMidMessageFails) {
  cvtest::ScriptServer server;
  GreetAndLogin(server);
  ServeMessage(server, 100, "half a message\r\n").Sleep(100ms).Drop();
  const LibHandle h = ConnectAndLogin(server);
  ASSERT_NE(h, kInvalidLibHandle);
  uint32_t length = 0;
  plat::HGLOBAL block = nullptr;
  EXPECT_EQ(Pop3RetrieveMessage(h, 1, &block, &length, 0), -1);
  EXPECT_NE(Pop3GetLastError(), 0u);
  server.Finish();
  Pop3Disconnect(h);
}

TEST_F(MessageTest, OperationsNeedALogin) {
  cvtest::ScriptServer server;
  server.Reply("+OK ready");
  const LibHandle h = Connect(server);
  ASSERT_NE(h, kInvalidLibHandle);
  uint32_t length = 0;
  plat::HGLOBAL block = nullptr;
  EXPECT_EQ(Pop3GetMessageSize(h, 1), -1);
  EXPECT_EQ(Pop3GetLastError(), 0x80042FC3u);
  EXPECT_EQ(Pop3RetrieveMessage(h, 1, &block, &length, 0), -1);
  EXPECT_EQ(Pop3GetLastError(), 0x80042FC3u);
  EXPECT_EQ(Pop3RetrieveMessage(h, 0, &block, &length, 0), -1);
  EXPECT_EQ(Pop3GetLastError(), 0x80043006u);
  Pop3Disconnect(h);
  server.Finish();
}

}  // namespace
}  // namespace pop3test
