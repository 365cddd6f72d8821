// Interoperability with dovecot: LOGIN, CAPABILITY and ID, mailboxes (LIST, LSUB, CREATE,
// DELETE, RENAME, SUBSCRIBE, non-ASCII names), SELECT, EXAMINE and STATUS, reading messages
// (flags, sizes, UIDs, headers, large bodies with progress), STORE, COPY, EXPUNGE, SEARCH,
// APPEND, STARTTLS and implicit TLS, IPv6, and IDLE with updates from a second connection.
#include <algorithm>
#include <fstream>
#include <memory>
#include <sstream>
#include <string>
#include <vector>

#include "core/errors/error_codes.h"
#include "dovecot_imap_peer.h"
#include "imap_test_support.h"

namespace imaptest {
namespace {

std::string BigMessage() {
  std::string m = "From: big@example.org\r\nSubject: big\r\n\r\n";
  for (int i = 0; i < 20000; ++i) m += "line " + std::to_string(i) + std::string(70, 'x') + "\r\n";
  return m;
}

const std::vector<std::string>& Messages() {
  static const std::vector<std::string> messages = {
      "From: a@example.org\r\nSubject: one\r\n\r\nhello\r\n",
      "From: b@example.org\r\nSubject: two\r\nContent-Type: text/plain\r\n\r\n.leading dot\r\n) paren\r\n",
      BigMessage(),
  };
  return messages;
}

std::string Headers(const std::string& message) { return message.substr(0, message.find("\r\n\r\n") + 4); }

class Dovecot : public ImapTest {
 protected:
  void StartPeer(int family = AF_INET) {
    peer_ = std::make_unique<cvpeers::PeerProcess>(DovecotImapOptions(family));
    if (!PrepareDovecot(*peer_, Messages())) GTEST_SKIP() << "dovecot set-up not possible here";
    CV_START_PEER(*peer_);
  }
  void SetUp() override {
    ImapTest::SetUp();
    StartPeer();
  }

  LibHandle Open(uint32_t options = 0, bool tlsPort = false) {
    const uint16_t port = tlsPort ? peer_->port("TLSPORT") : peer_->port();
    const LibHandle h = ImapConnect(peer_->address().c_str(), port, 10, options, nullptr);
    EXPECT_NE(h, kInvalidLibHandle) << std::hex << ImapGetLastError() << "\n" << peer_->Diagnostics() << Log();
    return h;
  }
  LibHandle OpenAndSelect(uint32_t options = 0, bool tlsPort = false) {
    const LibHandle h = Open(options, tlsPort);
    if (h == kInvalidLibHandle) return h;
    EXPECT_EQ(ImapLogin(h, kDovecotUser, kDovecotPassword), 1) << std::hex << ImapGetLastError() << Log();
    EXPECT_EQ(ImapSelectMailbox(h, "INBOX", &status_), 1) << std::hex << ImapGetLastError();
    return h;
  }

  std::vector<std::pair<std::string, uint32_t>> Mailboxes(LibHandle h) {
    auto out = ListMailboxes(h);
    EXPECT_EQ(ImapGetLastError(), cvErrorNoMoreMailboxes);
    std::sort(out.begin(), out.end());
    return out;
  }

  std::string Log() const {
    std::ifstream in(peer_->dir() / "dovecot.log");
    std::stringstream s;
    s << in.rdbuf();
    return s.str();
  }

  std::unique_ptr<cvpeers::PeerProcess> peer_;
  ImapMailboxStatus status_{};
};

TEST_F(Dovecot, LoginCapabilityAndId) {
  const LibHandle h = Open(kImapOptionSendId);
  ASSERT_NE(h, kInvalidLibHandle);
  EXPECT_TRUE(ImapFindText(ImapGetCapabilities(h), "IMAP4rev1"));
  EXPECT_EQ(ImapLogin(h, kDovecotUser, kDovecotPassword), 1);
  // The capabilities after the login are the ones of the authenticated state.
  EXPECT_TRUE(ImapFindText(ImapGetCapabilities(h), "IDLE"));
  EXPECT_EQ(ImapSendCommand(h, "NOOP", nullptr), 1);
  EXPECT_EQ(ImapDisconnect(h), 0);
  EXPECT_NE(Log().find("ID sent: name=Corvanetics"), std::string::npos) << Log();
}

TEST_F(Dovecot, Mailboxes) {
  const LibHandle h = OpenAndSelect();
  ASSERT_NE(h, kInvalidLibHandle);
  const std::string drafts = "Entw\xC3\xBCrfe";
  EXPECT_EQ(ImapCreateMailbox(h, "Projects"), 1);
  EXPECT_EQ(ImapCreateMailbox(h, drafts.c_str()), 1);
  EXPECT_EQ(ImapCreateMailbox(h, "Tom & Jerry"), 1);
  EXPECT_EQ(ImapCreateMailbox(h, "inbox"), -1);
  EXPECT_EQ(ImapGetLastError(), cvErrorInvalidMailbox);
  EXPECT_EQ(ImapDeleteMailbox(h, "INBOX"), -1);
  EXPECT_EQ(ImapGetLastError(), cvErrorInvalidMailbox);
  EXPECT_EQ(ImapCreateMailbox(h, "Projects"), -1);  // exists already
  EXPECT_EQ(ImapGetLastError(), 0x80042FB6u);

  auto names = [&] {
    std::vector<std::string> out;
    for (const auto& m : Mailboxes(h)) out.push_back(m.first);
    return out;
  };
  EXPECT_EQ(names(), (std::vector<std::string>{drafts, "INBOX", "Projects", "Tom & Jerry"}));
  char name[256];
  EXPECT_EQ(ImapGetNextMailbox(h, name, nullptr), -1);
  EXPECT_EQ(ImapGetLastError(), cvErrorNoMoreMailboxes);

  EXPECT_EQ(ImapRenameMailbox(h, "Projects", "Archive"), 1);
  EXPECT_EQ(ImapRenameMailbox(h, "Archive", "Archive"), -1);
  EXPECT_EQ(ImapGetLastError(), cvErrorInvalidMailbox);
  EXPECT_EQ(ImapSendCommand(h, "SUBSCRIBE", "\"Archive\""), 1);
  EXPECT_EQ(ImapSendCommand(h, "LSUB", "\"\" \"*\""), 1);
  EXPECT_EQ(ImapSendCommand(h, "UNSUBSCRIBE", "\"Archive\""), 1);
  EXPECT_EQ(ImapDeleteMailbox(h, "Archive"), 1);
  EXPECT_EQ(ImapDeleteMailbox(h, drafts.c_str()), 1);
  EXPECT_EQ(names(), (std::vector<std::string>{"INBOX", "Tom & Jerry"}));

  // dovecot's maildir refuses to rename INBOX: the selected INBOX is selected again.
  EXPECT_EQ(ImapRenameMailbox(h, "INBOX", "Old"), -1);
  EXPECT_EQ(ImapGetLastError(), 0x80042FB6u);
  EXPECT_STREQ(ImapGetSession(h)->mailboxName, "INBOX");
  EXPECT_EQ(ImapGetMessageCount(h), 3);
  EXPECT_EQ(ImapGetMailboxSize(h, nullptr), int32_t(Messages()[0].size() + Messages()[1].size() + Messages()[2].size()));
  EXPECT_EQ(ImapDisconnect(h), 0);
}

TEST_F(Dovecot, SelectExamineAndStatus) {
  const LibHandle h = OpenAndSelect();
  ASSERT_NE(h, kInvalidLibHandle);
  EXPECT_EQ(status_.messages, 3u);
  EXPECT_EQ(status_.uidNext, 4u);
  EXPECT_NE(status_.uidValidity, 0u);
  EXPECT_EQ(status_.readWrite, 1u);
  EXPECT_EQ(status_.permanentFlags & (kImapFlagSeen | kImapFlagDeleted), kImapFlagSeen | kImapFlagDeleted);
  EXPECT_EQ(status_.mailboxFlags & kImapFlagAnswered, kImapFlagAnswered);

  // Already selected in that mode: nothing is sent; option 2 selects again.
  EXPECT_EQ(ImapOpenMailbox(h, "INBOX", nullptr, 0), 0);
  EXPECT_EQ(ImapOpenMailbox(h, "INBOX", nullptr, kImapOpenReselect), 1);
  ImapMailboxStatus examined{};
  EXPECT_EQ(ImapOpenMailbox(h, "INBOX", &examined, kImapOpenReadOnly), 1);
  EXPECT_EQ(examined.readWrite, 0u);
  EXPECT_EQ(examined.messages, 3u);
  EXPECT_EQ(ImapSendCommand(h, "STATUS", "INBOX (MESSAGES UIDNEXT)"), 1);
  EXPECT_EQ(ImapOpenMailbox(h, "Nowhere", nullptr, 0), -1);
  EXPECT_EQ(ImapGetLastError(), 0x80042FB6u);
  EXPECT_EQ(ImapGetMessageCount(h), -1);
  EXPECT_EQ(ImapGetLastError(), cvErrorMailboxNotSelected);
  uint32_t messages = 0, recent = 0;
  EXPECT_EQ(ImapCheckMailbox(h, &messages, &recent), -1);
  EXPECT_EQ(ImapSelectMailbox(h, "INBOX", nullptr), 1);
  EXPECT_EQ(ImapCheckMailbox(h, &messages, &recent), 0);
  EXPECT_EQ(messages, 3u);
  EXPECT_EQ(ImapUnselectMailbox(h, 0), 1);
  EXPECT_EQ(ImapDisconnect(h), 0);
}

TEST_F(Dovecot, ReadingMessages) {
  const LibHandle h = OpenAndSelect();
  ASSERT_NE(h, kInvalidLibHandle);
  HostWindow window;
  ASSERT_EQ(ImapRegisterEvents(h, window.hwnd(), mailctl::kMsgImapNotify, 176), 0);
  for (uint32_t i = 1; i <= 3; ++i) {
    EXPECT_EQ(ImapGetMessageUid(h, i), int32_t(i));
    // Each message is recent to the first session that sees it.
    uint32_t flags = 99;
    EXPECT_EQ(ImapGetMessageFlags(h, i, &flags), 1);
    EXPECT_EQ(flags, kImapFlagRecent);
    // The header section first, peeking: the message stays unseen.
    EXPECT_EQ(Retrieve(h, i, kImapReadHeadersOnly | kImapReadPeek), Headers(Messages()[i - 1]));
    EXPECT_EQ(ImapGetMessageFlags(h, i, &flags), 1);
    EXPECT_EQ(flags, kImapFlagRecent);
    EXPECT_EQ(Retrieve(h, i), Messages()[i - 1]);
    EXPECT_EQ(ImapGetMessageFlags(h, i, &flags), 1);
    EXPECT_EQ(flags, kImapFlagRecent | kImapFlagSeen);
  }
  // The large body came in 8 KB steps, each with a progress event.
  EXPECT_GT(window.Count(mailctl::kMsgImapNotify, cvmail::kMailEventProgress), Messages()[2].size() / 8192);
  MessageTransferStatus status{};
  EXPECT_EQ(ImapGetTransferStatus(h, &status), 0);
  EXPECT_EQ(status.message, 3u);
  EXPECT_EQ(status.size, uint32_t(Messages()[2].size()));
  EXPECT_EQ(status.copied, status.size);

  // Into a caller's buffer (cut to its size), as UTF-16, into a file.
  char small[10];
  uint32_t length = sizeof small;
  EXPECT_EQ(ImapRetrieveMessage(h, 1, small, &length, 0), 0);
  EXPECT_EQ(std::string(small, length), Messages()[0].substr(0, 10));
  plat::HGLOBAL block = nullptr;
  length = 0;
  EXPECT_EQ(ImapRetrieveMessage(h, 1, &block, &length, kImapReadUnicode), 0);
  EXPECT_EQ(length, Messages()[0].size());
  EXPECT_EQ(static_cast<const char16_t*>(plat::GlobalLock(block))[0], u'F');
  plat::GlobalUnlock(block);
  plat::GlobalFree(block);
  const std::string file = (peer_->dir() / "saved.eml").string();
  EXPECT_EQ(ImapStoreMessage(h, 2, file.c_str()), 0);
  std::ifstream saved(file, std::ios::binary);
  EXPECT_EQ(std::string(std::istreambuf_iterator<char>(saved), {}), Messages()[1]);

  // Opened and closed half-read: the session stays in step.
  EXPECT_EQ(ImapOpenMessage(h, 3, 0), 10);
  char piece[8192];
  EXPECT_GT(ImapReadData(h, piece), 0);
  EXPECT_EQ(ImapCloseMessage(h), 0);
  EXPECT_EQ(ImapSendCommand(h, "NOOP", nullptr), 1);
  EXPECT_EQ(Retrieve(h, 9), "<error>");
  EXPECT_EQ(ImapGetLastError(), 0x80042FB9u);  // dovecot: a message set out of range is BAD
  EXPECT_EQ(ImapDisconnect(h), 0);
}

// A read handed to a sink piece by piece gives the text, size and progress events a read
// into one block gives, whole messages and header sections alike.
TEST_F(Dovecot, ReadingToASinkMatchesReadingIntoABlock) {
  const LibHandle h = OpenAndSelect();
  ASSERT_NE(h, kInvalidLibHandle);
  HostWindow window;
  ASSERT_EQ(ImapRegisterEvents(h, window.hwnd(), mailctl::kMsgImapNotify, 176), 0);
  const MailTextSink append = [](void* context, const char* text, uint32_t length) {
    static_cast<std::string*>(context)->append(text, length);
  };
  for (uint32_t message = 1; message <= 3; ++message) {
    for (const uint32_t flags : {0u, kImapReadHeader | kImapReadPeek}) {
      const size_t before = window.Count(mailctl::kMsgImapNotify, cvmail::kMailEventProgress);
      const std::string block = Retrieve(h, message, flags);
      const size_t blockEvents = window.Count(mailctl::kMsgImapNotify, cvmail::kMailEventProgress) - before;
      std::string pieces;
      uint32_t size = 0;
      ASSERT_EQ(ImapRetrieveMessageTo(h, message, flags, append, &pieces, &size), 0) << std::hex << ImapGetLastError();
      EXPECT_EQ(pieces, block) << message << " " << flags;
      EXPECT_EQ(size, block.size());
      EXPECT_EQ(window.Count(mailctl::kMsgImapNotify, cvmail::kMailEventProgress) - before - blockEvents, blockEvents);
    }
  }
  EXPECT_EQ(ImapRetrieveMessageTo(h, 9, 0, append, nullptr, nullptr), -1);
  EXPECT_EQ(ImapGetLastError(), 0x80042FB9u);
  EXPECT_EQ(ImapRetrieveMessageTo(h, 1, 0, nullptr, nullptr, nullptr), -1);
  EXPECT_EQ(ImapGetLastError(), cvErrorInvalidParameter);
  // The session is in step afterwards.
  EXPECT_EQ(ImapSendCommand(h, "NOOP", nullptr), 1);
  EXPECT_EQ(ImapDisconnect(h), 0);
}

TEST_F(Dovecot, StoreCopyExpungeSearchAndAppend) {
  const LibHandle h = OpenAndSelect();
  ASSERT_NE(h, kInvalidLibHandle);
  EXPECT_EQ(ImapStoreMessageFlags(h, 2, kImapStoreAdd, kImapFlagFlagged | kImapFlagAnswered), 1);
  uint32_t flags = 0;
  EXPECT_EQ(ImapGetMessageFlags(h, 2, &flags), 1);
  EXPECT_EQ(flags & ~kImapFlagRecent, kImapFlagFlagged | kImapFlagAnswered);
  EXPECT_EQ(ImapStoreMessageFlags(h, 2, kImapStoreReplace, kImapFlagDraft), 1);
  EXPECT_EQ(ImapGetMessageFlags(h, 2, &flags), 1);
  EXPECT_EQ(flags & ~kImapFlagRecent, kImapFlagDraft);
  EXPECT_EQ(ImapStoreMessageFlags(h, 2, 3, 0), -1);
  EXPECT_EQ(ImapGetLastError(), cvErrorInvalidParameter);

  EXPECT_EQ(ImapCreateMailbox(h, "Saved"), 1);
  EXPECT_EQ(ImapCopyMessage(h, 1, "Saved"), 1);
  EXPECT_EQ(ImapCopyMessage(h, 7, "Saved"), -1);
  EXPECT_EQ(ImapDeleteMessage(h, 1), 1);
  uint32_t numbers[3] = {};
  EXPECT_EQ(ImapSearchMailbox(h, "DELETED", nullptr, numbers, 3), 1);
  EXPECT_EQ(numbers[0], 1u);
  EXPECT_EQ(ImapSearchMailbox(h, "ALL", "UTF-8", nullptr, 0), 3);
  EXPECT_EQ(ImapUndeleteMessage(h, 1), 1);
  EXPECT_EQ(ImapSearchMailbox(h, "DELETED", nullptr, numbers, 3), 0);
  EXPECT_EQ(ImapDeleteMessage(h, 1), 1);
  EXPECT_EQ(ImapSendCommand(h, "EXPUNGE", nullptr), 1);
  EXPECT_EQ(ImapGetMessageCount(h), 2);
  EXPECT_EQ(ImapGetMailboxSize(h, nullptr), int32_t(Messages()[1].size() + Messages()[2].size()));
  EXPECT_EQ(ImapGetMailboxSize(h, "Saved"), int32_t(Messages()[0].size()));
  EXPECT_EQ(ImapGetMessageCount(h), 2);  // INBOX is selected again

  // APPEND to the selected mailbox and to another one, with a flag that cannot be set.
  HostWindow window;
  ASSERT_EQ(ImapRegisterEvents(h, window.hwnd(), mailctl::kMsgImapNotify, 176), 0);
  const std::string big = BigMessage();
  EXPECT_EQ(ImapAppendMessage(h, "", big.c_str(), uint32_t(big.size()), kImapFlagSeen | kImapFlagRecent), 0)
      << std::hex << ImapGetLastError();
  EXPECT_GE(window.Count(mailctl::kMsgImapNotify, cvmail::kMailEventProgress), big.size() / 8192);
  MessageTransferStatus status{};
  EXPECT_EQ(ImapGetTransferStatus(h, &status), 0);
  EXPECT_EQ(status.copied, uint32_t(big.size()));
  EXPECT_EQ(ImapGetMessageCount(h), 3);  // the NOOP after it brought the new count
  EXPECT_EQ(ImapGetMessageFlags(h, 3, &flags), 1);
  EXPECT_EQ(flags & kImapFlagSeen, kImapFlagSeen);
  EXPECT_EQ(Retrieve(h, 3), big);
  EXPECT_EQ(ImapAppendMessage(h, "Saved", "Subject: x\r\n\r\ny\r\n", 0, 0), 0);
  // Refused before the literal ([TRYCREATE]): the reader's error.
  EXPECT_EQ(ImapAppendMessage(h, "Nowhere", "Subject: x\r\n\r\ny\r\n", 0, 0), -1);
  EXPECT_EQ(ImapGetLastError(), 0x80042FB6u);
  EXPECT_EQ(ImapSelectMailbox(h, "Saved", nullptr), 1);
  EXPECT_EQ(ImapGetMessageCount(h), 2);
  EXPECT_EQ(ImapDisconnect(h), 0);
}

TEST_F(Dovecot, StartTlsAndImplicitTls) {
  for (bool implicit : {false, true}) {
    const LibHandle h = OpenAndSelect(implicit ? kImapOptionSecureImplicit : kImapOptionSecure, implicit);
    ASSERT_NE(h, kInvalidLibHandle) << implicit;
    SecSessionInfo info{};
    info.size = sizeof info;
    EXPECT_EQ(ImapGetSecurityInfo(h, &info), 0);
    EXPECT_NE(info.protocol, 0u);
    EXPECT_EQ(Retrieve(h, 3), Messages()[2]);
    // IDLE and its DONE travel inside the TLS stream.
    ASSERT_EQ(ImapSetUpdateCallback(h, PostUpdate), 0);
    EXPECT_EQ(ImapIdle(h, 0, mailIdleNoWait, 0), 0) << std::hex << ImapGetLastError();
    EXPECT_EQ(ImapEndIdle(h), 1);
    EXPECT_EQ(ImapSendCommand(h, "NOOP", nullptr), 1);
    EXPECT_EQ(ImapDisconnect(h), 0);
  }
}

TEST_F(Dovecot, Ipv6) {
  if (!cvpeers::LoopbackAvailable(AF_INET6)) GTEST_SKIP() << "no ::1 here";
  peer_.reset();
  StartPeer(AF_INET6);
  const LibHandle h = OpenAndSelect(kImapOptionIpv6Only);
  ASSERT_NE(h, kInvalidLibHandle);
  EXPECT_EQ(Retrieve(h, 1), Messages()[0]);
  EXPECT_EQ(ImapDisconnect(h), 0);
}

TEST_F(Dovecot, IdleReportsAnAppendFromAnotherConnection) {
  const LibHandle h = OpenAndSelect();
  ASSERT_NE(h, kInvalidLibHandle);
  HostWindow window;
  EXPECT_EQ(ImapIdle(h, 0, mailIdleNoWait, uintptr_t(window.hwnd())), -1);  // no callback yet
  EXPECT_EQ(ImapGetLastError(), cvErrorInvalidParameter);
  ASSERT_EQ(ImapSetUpdateCallback(h, PostUpdate), 0);
  ASSERT_EQ(ImapIdle(h, 0, mailIdleNoWait, uintptr_t(window.hwnd())), 0) << std::hex << ImapGetLastError();
  EXPECT_NE(ImapGetSession(h)->idleThread.load(), 0u);

  const LibHandle other = OpenAndSelect();
  ASSERT_NE(other, kInvalidLibHandle);
  EXPECT_EQ(ImapAppendMessage(other, "INBOX", "Subject: new\r\n\r\nnew\r\n", 0, 0), 0);
  EXPECT_TRUE(PumpUntil([&] { return window.Count(mailctl::kMsgMailboxUpdate, mailUpdateMessage) > 0; })) << Log();
  for (const auto& d : window.deliveries) {
    if (d.message == mailctl::kMsgMailboxUpdate && d.low == mailUpdateMessage) {
      EXPECT_EQ(d.high, 4u);
    }
  }

  // A command ends IDLE first (DONE and its completion), then goes out with its own tag.
  EXPECT_EQ(ImapGetMessageCount(h), 4);
  EXPECT_EQ(ImapSendCommand(h, "NOOP", nullptr), 1);
  EXPECT_EQ(ImapGetSession(h)->idleThread.load(), 0u);
  EXPECT_EQ(Retrieve(h, 4), "Subject: new\r\n\r\nnew\r\n");

  // Started again and ended directly; a deletion elsewhere arrives as an expunge.
  ASSERT_EQ(ImapIdle(h, 0, mailIdleNoWait, uintptr_t(window.hwnd())), 0);
  EXPECT_EQ(ImapDeleteMessage(other, 1), 1);
  EXPECT_EQ(ImapSendCommand(other, "EXPUNGE", nullptr), 1);
  EXPECT_TRUE(PumpUntil([&] { return window.Count(mailctl::kMsgMailboxUpdate, mailUpdateExpunge) > 0; })) << Log();
  EXPECT_EQ(ImapEndIdle(h), 1);
  EXPECT_EQ(ImapEndIdle(h), 0);  // none runs
  EXPECT_EQ(ImapGetMessageCount(h), 3);
  EXPECT_EQ(ImapDisconnect(other), 0);
  EXPECT_EQ(ImapDisconnect(h), 0);
}

// The first command after an IDLE that returned at once is the one that ends it, whatever
// it reads: a message, a UID, search results.
TEST_F(Dovecot, FetchesRightAfterANonWaitingIdle) {
  const LibHandle h = OpenAndSelect();
  ASSERT_NE(h, kInvalidLibHandle);
  ASSERT_EQ(ImapSetUpdateCallback(h, PostUpdate), 0);
  ASSERT_EQ(ImapIdle(h, 0, mailIdleNoWait, 0), 0) << std::hex << ImapGetLastError();
  EXPECT_EQ(Retrieve(h, 2), Messages()[1]) << std::hex << ImapGetLastError();
  ASSERT_EQ(ImapIdle(h, 0, mailIdleNoWait, 0), 0);
  EXPECT_GT(ImapGetMessageUid(h, 1), 0) << std::hex << ImapGetLastError();
  ASSERT_EQ(ImapIdle(h, 0, mailIdleNoWait, 0), 0);
  EXPECT_EQ(ImapSearchMailbox(h, "ALL", nullptr, nullptr, 0), 3) << std::hex << ImapGetLastError();
  ASSERT_EQ(ImapIdle(h, 0, mailIdleNoWait, 0), 0);
  EXPECT_EQ(Retrieve(h, 1, kImapReadHeader | kImapReadPeek), Headers(Messages()[0]));
  EXPECT_EQ(ImapDisconnect(h), 0);
}

TEST_F(Dovecot, IdleWaitEndsWithTheFirstUpdateOrItsTimeout) {
  const LibHandle h = OpenAndSelect();
  ASSERT_NE(h, kInvalidLibHandle);
  ASSERT_EQ(ImapSetUpdateCallback(h, PostUpdate), 0);
  HostWindow window;
  EXPECT_EQ(ImapIdle(h, 1, mailIdleWait, uintptr_t(window.hwnd())), -1);
  EXPECT_EQ(ImapGetLastError(), cvErrorOperationTimeout);
  EXPECT_EQ(ImapSendCommand(h, "NOOP", nullptr), 1);

  const LibHandle other = OpenAndSelect();
  ASSERT_NE(other, kInvalidLibHandle);
  // The other session belongs to this thread: it appends before the waiting call starts,
  // and the server reports the new message as soon as IDLE runs.
  EXPECT_EQ(ImapAppendMessage(other, "INBOX", "Subject: w\r\n\r\nw\r\n", 0, 0), 0);
  EXPECT_EQ(ImapIdle(h, 20, mailIdleWait, uintptr_t(window.hwnd())), 0) << std::hex << ImapGetLastError();
  EXPECT_TRUE(PumpUntil([&] { return window.Count(mailctl::kMsgMailboxUpdate, mailUpdateMessage) > 0; }));
  EXPECT_EQ(ImapGetSession(h)->idleThread.load(), 0u);
  EXPECT_EQ(ImapGetMessageCount(h), 4);
  EXPECT_EQ(ImapDisconnect(other), 0);

  // The last detach while IDLE runs stops its thread before the session goes.
  ASSERT_EQ(ImapIdle(h, 0, mailIdleNoWait, uintptr_t(window.hwnd())), 0);
}

}  // namespace
}  // namespace imaptest
