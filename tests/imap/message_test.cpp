// Mailboxes and messages against a scripted server: what SELECT reports, leaving and
// renaming, the mailbox list, SEARCH limits, the FETCH sections asked for, broken FETCH
// answers (other message, no literal, lying or huge lengths), STORE and APPEND lines.
#include <chrono>
#include <string>
#include <vector>

#include "core/errors/error_codes.h"
#include "imap_test_support.h"

namespace imaptest {
namespace {

using namespace std::chrono_literals;

class ImapMessages : public ImapTest {};

// Measuring another mailbox the server will not show fails with the server's refusal,
// even though putting the selected mailbox back afterwards succeeds; an answer the reader
// does not know is a response id with its own error.
TEST_F(ImapMessages, AMailboxThatCannotBeMeasuredKeepsItsRefusal) {
  cvtest::ScriptServer server;
  GreetLoginSelect(server)
      .Expect("A0005 EXAMINE \"Other\"")
      .Reply("A0005 NO no such mailbox")
      .Expect("A0006 SELECT \"INBOX\"")
      .Reply("* 3 EXISTS")
      .Reply("A0006 OK [READ-WRITE] selected")
      .Expect("A0007 NOOP")
      .Reply("A0007 WHAT now");
  const LibHandle h = ConnectAndLogin(server, true);
  ASSERT_NE(h, kInvalidLibHandle);
  EXPECT_EQ(ImapGetMailboxSize(h, "Other"), -1);
  EXPECT_EQ(ImapGetLastError(), cvErrorInvalidCommand);
  EXPECT_EQ(ImapSendCommand(h, "NOOP", nullptr), 0);
  EXPECT_EQ(ImapGetLastError(), cvErrorUnexpectedServerResponse);
  EXPECT_TRUE(server.Finish()) << server.failure();
  ImapDisconnect(h);
}

TEST_F(ImapMessages, SelectReportsItsResponseCodes) {
  cvtest::ScriptServer server;
  GreetAndLogin(server)
      .Expect("A0004 SELECT \"INBOX\"")
      .Reply("* 5 EXISTS")
      .Reply("* 1 RECENT")
      .Reply("* OK [UNSEEN 12] first unseen")
      .Reply("* OK [UIDVALIDITY 77] valid")
      .Reply("* OK [UIDNEXT 9] next")
      .Reply("* FLAGS (\\Answered \\Seen $Forwarded)")
      .Reply("* OK [PERMANENTFLAGS (\\Seen \\*)] limited")
      .Reply("A0004 OK [READ-ONLY] done")
      // Renaming the selected INBOX: left, renamed, INBOX selected again in its mode.
      .Expect("A0005 CLOSE")
      .Reply("A0005 OK")
      .Expect("A0006 RENAME \"INBOX\" \"Old\"")
      .Reply("A0006 OK")
      .Expect("A0007 EXAMINE \"INBOX\"")
      .Reply("* 0 EXISTS")
      .Reply("A0007 OK [READ-ONLY] done");
  const LibHandle h = ConnectAndLogin(server);
  ASSERT_NE(h, kInvalidLibHandle);
  ImapMailboxStatus status{};
  EXPECT_EQ(ImapSelectMailbox(h, "INBOX", &status), 1);
  EXPECT_EQ(status.messages, 5u);
  EXPECT_EQ(status.recent, 1u);
  EXPECT_EQ(status.unseen, 12u);
  EXPECT_EQ(status.uidValidity, 77u);
  EXPECT_EQ(status.uidNext, 9u);
  EXPECT_EQ(status.mailboxFlags, kImapFlagAnswered | kImapFlagSeen);
  EXPECT_EQ(status.permanentFlags, kImapFlagSeen);
  EXPECT_EQ(status.readWrite, 0u);
  EXPECT_EQ(ImapRenameMailbox(h, "INBOX", "Old"), 1);
  EXPECT_EQ(ImapGetMessageCount(h), 0);
  EXPECT_TRUE(server.Finish()) << server.failure();
  ImapDisconnect(h);
}

TEST_F(ImapMessages, LeavingWithoutExpungeKeepsEveryDeletedMark) {
  cvtest::ScriptServer server;
  GreetLoginSelect(server, 3, "IMAP4rev1")
      .Expect("A0005 EXAMINE \"INBOX\"")
      .Reply("A0005 OK [READ-ONLY]")
      .Expect("A0006 CLOSE")
      .Reply("A0006 OK");
  const LibHandle h = ConnectAndLogin(server, true);
  ASSERT_NE(h, kInvalidLibHandle);
  EXPECT_EQ(ImapUnselectMailbox(h, 0), 1);
  EXPECT_EQ(ImapGetMessageCount(h), -1);
  EXPECT_EQ(ImapGetLastError(), cvErrorMailboxNotSelected);
  EXPECT_TRUE(server.Finish()) << server.failure();
  ImapDisconnect(h);
}

TEST_F(ImapMessages, MailboxListAndSearch) {
  cvtest::ScriptServer server;
  GreetLoginSelect(server)
      .Expect("A0005 LIST \"\" \"%\"")
      .Reply("* LIST (\\HasNoChildren) \"/\" \"INBOX\"")
      .Reply("* LIST (\\Noselect) \"/\" \"Shared\"")
      .Reply("* LIST () \"/\" \".hidden\"")
      .Reply("* LIST (\\Unmarked) \"/\" Entw&APw-rfe")
      .Reply("* LIST (\\Marked) \"/\" {8}")
      .Send("lit name")
      .Reply("")
      .Reply("* LIST () NIL \"say \\\"hi\\\"\"")
      .Reply("A0005 OK")
      .Expect("A0006 SEARCH CHARSET UTF-8 UNSEEN")
      .Reply("* SEARCH 2 4 6")
      .Reply("* SEARCH 8 10 12")
      .Reply("A0006 OK")
      .Expect("A0007 SEARCH FOO")
      .Reply("A0007 BAD unknown key");
  const LibHandle h = ConnectAndLogin(server, true);
  ASSERT_NE(h, kInvalidLibHandle);
  const auto list = ListMailboxes(h);
  EXPECT_EQ(ImapGetLastError(), cvErrorNoMoreMailboxes);
  const std::vector<std::pair<std::string, uint32_t>> expected = {
      {"INBOX", 0}, {"Entw\xC3\xBCrfe", kImapFlagUnmarked}, {"lit name", kImapFlagMarked}, {"say \"hi\"", 0}};
  EXPECT_EQ(list, expected);

  uint32_t numbers[4] = {};
  EXPECT_EQ(ImapSearchMailbox(h, "UNSEEN", "UTF-8", numbers, 3), 6);
  EXPECT_EQ(numbers[0], 2u);
  EXPECT_EQ(numbers[2], 6u);
  EXPECT_EQ(numbers[3], 0u);  // never past the capacity
  EXPECT_EQ(ImapSearchMailbox(h, "FOO", nullptr, nullptr, 0), -1);
  EXPECT_EQ(ImapGetLastError(), 0x80042FB9u);
  EXPECT_EQ(ImapSearchMailbox(h, "ALL", nullptr, numbers, 0), -1);
  EXPECT_EQ(ImapGetLastError(), cvErrorBufferTooSmall);
  EXPECT_EQ(ImapSearchMailbox(h, "", nullptr, nullptr, 0), -1);
  EXPECT_EQ(ImapGetLastError(), cvErrorInvalidParameter);
  EXPECT_TRUE(server.Finish()) << server.failure();
  ImapDisconnect(h);
}

// A SEARCH line far longer than the response text a session keeps, arriving in pieces that
// split numbers: every number counts, and the first ones are stored.
TEST_F(ImapMessages, SearchLineLongerThanTheResponseTextKeepsEveryNumber) {
  constexpr uint32_t kCount = 20000;
  std::string line = "* SEARCH";
  for (uint32_t n = 1; n <= kCount; ++n) line += " " + std::to_string(n * 3);
  line += "\r\n* SEARCH 70000 70001 (MODSEQ 917)\r\n";
  cvtest::ScriptServer server;
  GreetLoginSelect(server)
      .Expect("A0005 SEARCH ALL")
      .SendPieces(line, 1000, std::chrono::milliseconds(0))
      .Reply("A0005 OK done")
      .Expect("A0006 SEARCH UNSEEN")
      .SendPieces(line, 4093, std::chrono::milliseconds(0))
      .Reply("A0006 OK done");
  const LibHandle h = ConnectAndLogin(server, true);
  ASSERT_NE(h, kInvalidLibHandle);
  EXPECT_EQ(ImapSearchMailbox(h, "ALL", nullptr, nullptr, 0), int32_t(kCount + 2)) << std::hex << ImapGetLastError();
  std::vector<uint32_t> numbers(kCount + 10);
  EXPECT_EQ(ImapSearchMailbox(h, "UNSEEN", nullptr, numbers.data(), int32_t(kCount + 1)), int32_t(kCount + 2));
  for (uint32_t i = 0; i < kCount; ++i) ASSERT_EQ(numbers[i], (i + 1) * 3) << i;
  EXPECT_EQ(numbers[kCount], 70000u);
  EXPECT_EQ(numbers[kCount + 1], 0u);  // never past the capacity
  EXPECT_TRUE(server.Finish()) << server.failure();
  ImapDisconnect(h);
}

TEST_F(ImapMessages, ReadFlagsChooseTheSection) {
  struct Case {
    uint32_t flags;
    const char* section;
  } cases[] = {
      {kImapReadHeadersOnly | kImapReadPeek, "BODY.PEEK[HEADER]"},
      {kImapReadMime, "BODY[MIME]"},
      {kImapReadHeader | kImapReadMime, "BODY[HEADER]"},
      {kImapReadHeader | kImapReadWhole, "BODY[]"},
      {0, "BODY[]"},
  };
  for (const auto& c : cases) {
    cvtest::ScriptServer server;
    GreetLoginSelect(server)
        .Expect(std::string("A0005 FETCH 2 (FLAGS UID RFC822.SIZE ") + c.section + ")")
        .Reply("* 2 FETCH (FLAGS (\\Seen \\Flagged) UID 42 RFC822.SIZE 11 BODY[] {11}")
        .Send("hello\r\nworl")
        .Reply(")")
        .Reply("A0005 OK done");
    const LibHandle h = ConnectAndLogin(server, true);
    ASSERT_NE(h, kInvalidLibHandle);
    MessageTransferStatus status{};
    EXPECT_EQ(ImapGetTransferStatus(h, &status), 1);  // nothing read yet
    HostWindow window;
    ASSERT_EQ(ImapRegisterEvents(h, window.hwnd(), mailctl::kMsgImapNotify, 176), 0);
    EXPECT_EQ(Retrieve(h, 2, c.flags), "hello\r\nworl") << c.section;
    EXPECT_EQ(window.Count(mailctl::kMsgImapNotify, cvmail::kMailEventProgress), 1u) << c.section;  // headers only too
    EXPECT_EQ(ImapGetTransferStatus(h, &status), 0);
    EXPECT_EQ(status.message, 2u);
    EXPECT_EQ(status.copied, 11u);
    EXPECT_TRUE(server.Finish()) << server.failure();
    ImapDisconnect(h);
  }
}

TEST_F(ImapMessages, UnsolicitedFetchesOfOtherMessagesArePassedOver) {
  // Servers report flag changes of other messages as FETCH responses amid the answer.
  const char* const kAnswer = "* 2 FETCH (UID 42 RFC822.SIZE 5 BODY[] {5}\r\nhello)\r\n";
  const struct {
    const char* name;
    std::string before, after;
  } kCases[] = {
      {"flags before", "* 1 FETCH (FLAGS (\\Seen))\r\n", ""},
      {"a literal before", "* 3 FETCH (UID 9 BODY[] {5}\r\nother)\r\n", ""},
      {"two literals before", "* 7 FETCH (BODY[HEADER] {3}\r\nabc BODY[TEXT] {2}\r\nxy FLAGS ())\r\n", ""},
      {"several before", "* 1 FETCH (FLAGS ())\r\n* 9 FETCH (FLAGS (\\Deleted))\r\n* 4 EXISTS\r\n", ""},
      {"flags after", "", "* 1 FETCH (FLAGS (\\Flagged))\r\n"},
      {"a literal after", "", "* 3 FETCH (BODY[] {6}\r\nothers)\r\n"},
  };
  for (const auto& c : kCases) {
    cvtest::ScriptServer server;
    GreetLoginSelect(server)
        .Expect("A0005 FETCH 2 (FLAGS UID RFC822.SIZE BODY[])")
        .Send(c.before + kAnswer + c.after + "A0005 OK done\r\n")
        .Expect("A0006 NOOP")
        .Reply("A0006 OK");
    const LibHandle h = ConnectAndLogin(server, true);
    ASSERT_NE(h, kInvalidLibHandle);
    EXPECT_EQ(Retrieve(h, 2, 0), "hello") << c.name;
    EXPECT_EQ(ImapSendCommand(h, "NOOP", nullptr), 1) << c.name;
    EXPECT_TRUE(server.Finish()) << c.name << ": " << server.failure();
    ImapDisconnect(h);
  }
}

TEST_F(ImapMessages, AStallMidFetchEndsTheSessionWithinItsTimeout) {
  // The server sends part of the literal and stalls: the read gives up after the timeout,
  // nothing more is written to the connection (no CLOSE or LOGOUT into the literal), and
  // every later call ends at once.
  constexpr uint32_t kTimeout = 2;
  cvtest::ScriptServer server;
  GreetLoginSelect(server)
      .Expect("A0005 FETCH 2 (FLAGS UID RFC822.SIZE BODY[])")
      .Send("* 2 FETCH (UID 4 RFC822.SIZE 1000 BODY[] {1000}\r\n" + std::string(100, 'x'))
      .Sleep(std::chrono::seconds(kTimeout + 4));
  const LibHandle h = ConnectAndLogin(server, true, kTimeout);
  ASSERT_NE(h, kInvalidLibHandle);
  const auto start = std::chrono::steady_clock::now();
  EXPECT_EQ(Retrieve(h, 2, 0), "<error>");
  EXPECT_EQ(ImapGetLastError(), cvErrorOperationTimeout);
  EXPECT_LT(std::chrono::steady_clock::now() - start, std::chrono::seconds(kTimeout + 1));
  const auto after = std::chrono::steady_clock::now();
  EXPECT_EQ(ImapSendCommand(h, "NOOP", nullptr), -1);
  EXPECT_EQ(ImapGetLastError(), cvErrorOperationTimeout);
  ImapDisconnect(h);
  EXPECT_LT(std::chrono::steady_clock::now() - after, std::chrono::seconds(1));
  server.Finish(std::chrono::seconds(kTimeout + 6));
  const std::vector<std::string> lines = server.received();
  ASSERT_FALSE(lines.empty());
  EXPECT_EQ(lines.back(), "A0005 FETCH 2 (FLAGS UID RFC822.SIZE BODY[])");
}

TEST_F(ImapMessages, BrokenFetchAnswers) {
  struct Case {
    const char* name;
    std::string answer;
    uint32_t error;
    bool usable;  // the next command still works
  } cases[] = {
      {"only another message", "* 3 FETCH (UID 9 BODY[] {5}\r\nhello)\r\nA0005 OK\r\n", cvErrorInvalidMessageNumber,
       true},
      {"no literal", "* 2 FETCH (FLAGS () UID 4 RFC822.SIZE 0 BODY[] NIL)\r\nA0005 OK\r\n", cvErrorInvalidMessagePart,
       true},
      {"no such message", "A0005 NO no such message\r\n", cvErrorInvalidMessageNumber, true},
      {"refused", "A0005 BAD bad set\r\n", 0x80042FB9u, true},
      {"shorter than told", "* 2 FETCH (BODY[] {50}\r\nhello)\r\nA0005 OK\r\n", cvErrorConnectionClosed, false},
      {"longer than told", "* 2 FETCH (BODY[] {3}\r\nhello)\r\nA0005 OK\r\n", cvErrorUnexpectedServerResponse, false},
      {"unbalanced", "* 2 FETCH (BODY[] {5}\r\nhello\r\nA0005 OK\r\n", cvErrorUnexpectedServerResponse, false},
      {"past 4 GB", "* 2 FETCH (BODY[] {99999999999}\r\nhello", cvErrorInvalidmessageSize, false},
      {"huge", "* 2 FETCH (BODY[] {4000000000}\r\nhello", cvErrorConnectionClosed, false},
      {"bye", "* BYE going\r\n", cvErrorConnectionClosed, false},
  };
  for (const auto& c : cases) {
    cvtest::ScriptServer server;
    GreetLoginSelect(server).Expect("A0005 FETCH 2 (FLAGS UID RFC822.SIZE BODY[])").Send(c.answer);
    if (c.usable) server.Expect("A0006 NOOP").Reply("A0006 OK");
    const LibHandle h = ConnectAndLogin(server, true);
    ASSERT_NE(h, kInvalidLibHandle);
    plat::HGLOBAL block = reinterpret_cast<plat::HGLOBAL>(1);
    uint32_t length = 0;
    EXPECT_EQ(ImapRetrieveMessage(h, 2, &block, &length, 0), -1) << c.name;
    EXPECT_EQ(ImapGetLastError(), c.error) << c.name;
    EXPECT_EQ(block, nullptr) << c.name;
    if (c.usable) {
      EXPECT_EQ(ImapSendCommand(h, "NOOP", nullptr), 1) << c.name;
    }
    EXPECT_TRUE(server.Finish()) << c.name << ": " << server.failure();
    ImapDisconnect(h);
  }
}

TEST_F(ImapMessages, FlagsUidStoreAppendAndCopyLines) {
  cvtest::ScriptServer server;
  GreetLoginSelect(server)
      .Expect("A0005 FETCH 3 (FLAGS)")
      .Reply("* 1 FETCH (FLAGS (\\Draft))")  // another message's news
      .Reply("* 3 FETCH (FLAGS (\\Seen \\Deleted UID 3)")
      .Reply("A0005 OK")
      .Expect("A0006 FETCH 3 (UID)")
      .Reply("* 3 FETCH (UID 4711)")
      .Reply("A0006 OK")
      .Expect("A0007 STORE 3 +FLAGS.SILENT (\\SEEN \\DELETED)")
      .Reply("A0007 OK")
      .Expect("A0008 STORE 3 FLAGS.SILENT ()")
      .Reply("A0008 OK")
      .Expect("A0009 APPEND \"INBOX\" (\\SEEN) {9}")
      .Reply("+ go ahead")
      .Expect("abc")
      .Expect("defg")
      .Reply("A0009 OK [APPENDUID 1 5] done")
      .Expect("A0010 NOOP")
      .Reply("* 4 EXISTS")
      .Reply("A0010 OK")
      .Expect("A0011 APPEND \"Entw&APw-rfe\" () {1}")
      .Reply("A0011 NO [TRYCREATE] no such mailbox")
      .Expect("A0012 COPY 2 \"Tom &- Jerry\"")
      .Reply("A0012 OK");
  const LibHandle h = ConnectAndLogin(server, true);
  ASSERT_NE(h, kInvalidLibHandle);
  uint32_t flags = 0;
  EXPECT_EQ(ImapGetMessageFlags(h, 3, &flags), 1);
  EXPECT_EQ(flags, kImapFlagSeen | kImapFlagDeleted);
  EXPECT_EQ(ImapGetMessageUid(h, 3), 4711);
  EXPECT_EQ(ImapStoreMessageFlags(h, 3, kImapStoreAdd, kImapFlagSeen | kImapFlagDeleted), 1);
  EXPECT_EQ(ImapStoreMessageFlags(h, 3, kImapStoreReplace, 0), 1);
  EXPECT_EQ(ImapStoreMessageFlags(h, 3, kImapStoreAdd, kImapFlagNoSelect), -1);
  EXPECT_EQ(ImapGetLastError(), cvErrorInvalidParameter);
  EXPECT_EQ(ImapAppendMessage(h, nullptr, "abc\r\ndefg", 0, kImapFlagSeen | kImapFlagRecent | kImapFlagDeleted), 0);
  EXPECT_EQ(ImapGetMessageCount(h), 4);
  EXPECT_EQ(ImapAppendMessage(h, "Entw\xC3\xBCrfe", "x", 1, 0), -1);
  EXPECT_EQ(ImapGetLastError(), 0x80042FB6u);
  EXPECT_EQ(ImapCopyMessage(h, 2, "Tom & Jerry"), 1);
  EXPECT_EQ(ImapCopyMessage(h, 0, "Tom & Jerry"), -1);
  EXPECT_EQ(ImapGetLastError(), cvErrorInvalidMessageNumber);
  EXPECT_TRUE(server.Finish()) << server.failure();
  ImapDisconnect(h);
}

}  // namespace
}  // namespace imaptest
