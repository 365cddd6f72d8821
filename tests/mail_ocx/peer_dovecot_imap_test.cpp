// The control's IMAP session against dovecot: the INBOX chosen at Connect, the mailbox-name
// list, mailbox management, flags, searching, copying and appending, leaving a mailbox with
// expunge, IDLE updates as OnUpdate, and Reset.
#include <gtest/gtest.h>
#include <unistd.h>

#include <chrono>
#include <filesystem>
#include <fstream>
#include <memory>
#include <set>
#include <thread>

#include "imap/dovecot_imap_peer.h"
#include "mail_host.h"
#include "platform/msg/message.h"

namespace {

using namespace mailhost;

std::vector<std::string> Messages() {
  std::vector<std::string> m;
  for (int i = 1; i <= 5; ++i)
    m.push_back("From: s" + std::to_string(i) + "@example.org\r\nSubject: m" + std::to_string(i) + "\r\n\r\nbody " +
                std::to_string(i) + "\r\n");
  return m;
}

class DovecotImap : public MailDeliverable {
 protected:
  void SetUp() override {
    MailDeliverable::SetUp();
    peer_ = std::make_unique<cvpeers::PeerProcess>(imaptest::DovecotImapOptions(AF_INET));
    if (!imaptest::PrepareDovecot(*peer_, Messages())) GTEST_SKIP() << "dovecot set-up not possible here";
    CV_START_PEER(*peer_);
    ASSERT_EQ(Put(u"Timeout", I4(10)), S_OK);
    ASSERT_EQ(Put(u"ServerType", I4(2)), S_OK);
  }
  std::string Connect() {
    return Run(u"Connect", {Str(u"127.0.0.1"), I4(peer_->port()), Str(u"test"), Str(u"secret")});
  }
  // Delivers a message straight into the INBOX's maildir, as a local delivery would.
  void Deliver(const std::string& name) {
    const std::filesystem::path file = peer_->dir() / "mail" / "new" / (name + ".test");
    std::ofstream(file) << "Subject: " << name << "\r\n\r\nnew\r\n";
  }
  // Dispatches posted messages until the condition holds or 10 s pass.
  template <class Condition>
  bool PumpUntil(Condition done) {
    const auto end = std::chrono::steady_clock::now() + std::chrono::seconds(10);
    while (!done() && std::chrono::steady_clock::now() < end) {
      plat::MSG msg;
      while (plat::PeekMessage(&msg, nullptr, 0, 0, plat::PM_REMOVE)) plat::DispatchMessage(&msg);
      std::this_thread::sleep_for(std::chrono::milliseconds(20));
    }
    return done();
  }
  std::unique_ptr<cvpeers::PeerProcess> peer_;
};

TEST_F(DovecotImap, ConnectSelectsTheInbox) {
  ASSERT_EQ(Connect(), "0") << peer_->Diagnostics();
  EXPECT_EQ(Show(u"MailboxName"), "\"INBOX\"");
  EXPECT_EQ(Show(u"MessageCount"), "5");
  EXPECT_EQ(Show(u"LastMessage"), "5");
  EXPECT_EQ(Show(u"UnreadMessages"), "5");
  EXPECT_NE(Show(u"MailboxUID"), "0");
  EXPECT_NE(Show(u"MailboxFlags"), "0");
  EXPECT_NE(Show(u"MailboxSize"), "0");
  // Retrieval reports its progress through the IMAP session's notifications.
  EXPECT_EQ(Run(u"GetMessage", {I4(2)}), "0");
  EXPECT_EQ(Show(u"Subject"), "\"m2\"");
  EXPECT_EQ(TakeEvents(), "OnProgress done\n");
  EXPECT_NE(Show(u"MessageUID"), "\"0\"");
  EXPECT_EQ(Show(u"Recipients"), "0");
  EXPECT_EQ(Run(u"ChangePassword", {Str(u"test"), Str(u"secret"), Str(u"new")}), "0");  // not over IMAP
  EXPECT_EQ(TakeEvents(), "OnError 12201 \"The specified operation is not supported\"\n");
  // Reset logs out.
  EXPECT_EQ(Method(u"Reset", {}), S_OK);
  EXPECT_EQ(Show(u"IsConnected"), "False");
  EXPECT_EQ(Show(u"ServerType"), "0");

  // A mailbox that does not exist makes Connect fail and leaves the control unconnected.
  ASSERT_EQ(Put(u"ServerType", I4(2)), S_OK);
  ASSERT_EQ(PutText(u"MailboxName", u"Missing"), S_OK);  // only stored while not connected
  EXPECT_NE(Connect(), "0");
  EXPECT_EQ(Show(u"IsConnected"), "False");
}

TEST_F(DovecotImap, MailboxNamesAndManagement) {
  ASSERT_EQ(Connect(), "0") << peer_->Diagnostics();
  EXPECT_EQ(Run(u"CreateMailbox", {Str(u"Work")}), "0");
  // Its parent is listed as \Noselect and left out of the names.
  EXPECT_EQ(Run(u"CreateMailbox", {Str(u"Parent/Child")}), "0");
  EXPECT_EQ(Show(u"Mailboxes"), "2");
  std::set<std::string> names;
  for (int32_t i = 0; i < 2; ++i) names.insert(Show(u"Mailbox", {I4(i)}));
  EXPECT_EQ(names, (std::set<std::string>{"\"INBOX\"", "\"Work\""}));
  EXPECT_EQ(Show(u"Mailbox", {I4(2)}), "!800A017D");
  // A rename leaves the list as it was until something empties it.
  EXPECT_EQ(Run(u"RenameMailbox", {Str(u"Work"), Str(u"Projects")}), "0");
  EXPECT_TRUE(Show(u"Mailbox", {I4(0)}) == "\"Work\"" || Show(u"Mailbox", {I4(1)}) == "\"Work\"");
  EXPECT_EQ(Run(u"CreateMailbox", {Str(u"Archive")}), "0");
  EXPECT_EQ(Show(u"Mailboxes"), "3");

  // Copy and append into Archive, then select it.
  EXPECT_EQ(Run(u"CopyMessage", {I4(1), Str(u"Archive")}), "0");
  EXPECT_EQ(Run(u"CreateMessage", {Str(u"Subject: appended\r\n\r\ntext\r\n"), I4(8), Str(u"Archive")}), "0");
  EXPECT_EQ(Run(u"SelectMailbox", {Str(u"Archive")}), "0");
  EXPECT_EQ(Show(u"MailboxName"), "\"Archive\"");
  EXPECT_EQ(Show(u"MessageCount"), "2");
  EXPECT_EQ(Show(u"UnreadMessages"), "1");  // the appended one carries \Seen
  EXPECT_NE(Run(u"SelectMailbox", {Str(u"Nowhere")}), "0");
  EXPECT_EQ(Show(u"MailboxName"), "\"Archive\"");  // a failed selection keeps the old one
  events.clear();
  EXPECT_EQ(Run(u"Disconnect", {}), "0");
  EXPECT_EQ(Show(u"MailboxName"), "\"\"");
  EXPECT_EQ(Show(u"Mailboxes"), "0");
}

TEST_F(DovecotImap, FlagsSearchAndExpunge) {
  ASSERT_EQ(Connect(), "0") << peer_->Diagnostics();
  // The flags of the held message: previewing its headers leaves it unread (\Recent is
  // the session's own and stays).
  EXPECT_EQ(Show(u"UnreadMessages"), "5");
  EXPECT_EQ(Put(u"MessageIndex", I4(1)), S_OK);
  EXPECT_EQ(Show(u"MessageFlags"), "256");
  EXPECT_EQ(Show(u"UnreadMessages"), "5");
  EXPECT_EQ(Put(u"MessageFlags", I4(8 | 1)), S_OK);  // seen and answered
  EXPECT_EQ(Show(u"MessageFlags"), "265");
  EXPECT_EQ(Show(u"UnreadMessages"), "4");

  // Three numbers fit the array; the result counts every match.
  VARIANT found = Array(VT_I4, 3), result{};
  EXPECT_EQ(Method(u"SearchMailbox", {Str(u"UNSEEN"), Ref(&found), Missing(), Ref(&result)}), S_OK);
  EXPECT_EQ(Value(result), "4");
  std::vector<int32_t> numbers(3);
  for (LONG i = 0; i < 3; ++i) SafeArrayGetElement(found.parray, &i, &numbers[size_t(i)]);
  EXPECT_EQ(numbers, (std::vector<int32_t>{2, 3, 4}));
  VARIANT strings = Array(VT_BSTR, 2);
  EXPECT_EQ(Method(u"SearchMailbox", {Str(u"ALL"), Ref(&strings), Missing(), Ref(&result)}), E_INVALIDARG);
  VariantClear(&strings);
  VariantClear(&found);
  VariantClear(&result);

  EXPECT_EQ(Put(u"MessageIndex", I4(5)), S_OK);
  EXPECT_EQ(Run(u"DeleteMessage", {Missing()}), "0");  // the held message
  EXPECT_EQ(Show(u"MessageFlags"), std::to_string(256 + 512));
  EXPECT_EQ(Run(u"UndeleteMessage", {I4(5)}), "0");
  EXPECT_EQ(Show(u"MessageFlags"), "256");
  // Leaving a read-write mailbox by an empty name expunges what is marked deleted.
  EXPECT_EQ(Run(u"DeleteMessage", {I4(4)}), "0");
  EXPECT_EQ(PutText(u"MailboxName", u""), S_OK);
  EXPECT_EQ(Run(u"SelectMailbox", {Str(u"INBOX")}), "0");
  EXPECT_EQ(Show(u"MessageCount"), "4");
  EXPECT_EQ(TakeEvents().find("OnError"), std::string::npos);
}

// The first fetch after an IDLE that returned at once ends it and reads its message.
TEST_F(DovecotImap, FetchRightAfterANonWaitingIdle) {
  ASSERT_EQ(Connect(), "0") << peer_->Diagnostics();
  EXPECT_EQ(Run(u"Idle", {I4(0), I4(30)}), "0");
  EXPECT_EQ(Run(u"GetMessage", {I4(3)}), "0");
  EXPECT_EQ(Show(u"Subject"), "\"m3\"");
  EXPECT_EQ(Run(u"Idle", {I4(0), I4(30)}), "0");
  EXPECT_EQ(Put(u"MessageIndex", I4(4)), S_OK);
  EXPECT_EQ(Show(u"Subject"), "\"m4\"");
  EXPECT_EQ(TakeEvents().find("OnError"), std::string::npos);
}

// A retrieved message of more parts than a message holds is there to read; the limit is
// reported.
TEST_F(DovecotImap, MessageOfMorePartsThanTheLimitStaysReadable) {
  std::string text = "Subject: many\r\nContent-Type: multipart/mixed; boundary=b\r\n\r\n";
  for (int i = 1; i <= 1030; ++i) text += "--b\r\n\r\npart " + std::to_string(i) + "\r\n";
  text += "--b--\r\n";
  // Named to sort after the messages the peer was made with: it is message 6.
  std::ofstream(peer_->dir() / "mail" / "cur" / "1999999999.M99999.test:2,", std::ios::binary) << text;
  ASSERT_EQ(Connect(), "0") << peer_->Diagnostics();
  EXPECT_EQ(Run(u"GetMessage", {I4(6)}), "12282");
  EXPECT_EQ(Show(u"Subject"), "\"many\"");
  EXPECT_EQ(Show(u"MessageParts"), "1024");
  EXPECT_NE(Show(u"Message").find("part 1030\r\n--b--\r\n"), std::string::npos);
}

TEST_F(DovecotImap, IdleUpdatesArriveAsOnUpdate) {
  ASSERT_EQ(Connect(), "0") << peer_->Diagnostics();
  // Without waiting: IDLE runs on its thread; the update is posted and fires when dispatched.
  EXPECT_EQ(Run(u"Idle", {I4(0), I4(30)}), "0");
  Deliver("first");
  ASSERT_TRUE(PumpUntil([&] { return !events.empty(); })) << "no update";
  EXPECT_EQ(events.front().rfind("OnUpdate ", 0), 0u) << events.front();
  EXPECT_EQ(events.front(), "OnUpdate 1 6");  // EXISTS: a message update with the new count
  events.clear();
  EXPECT_EQ(Show(u"MessageCount"), "6");  // the session is usable again: IDLE ends for a command

  // Waiting: the call returns after the first update, which arrives as one OnUpdate.
  std::thread later([this] {
    std::this_thread::sleep_for(std::chrono::milliseconds(700));
    Deliver("second");
  });
  EXPECT_EQ(Run(u"Idle", {I4(1), I4(30)}), "0");
  later.join();
  PumpUntil([&] { return !events.empty(); });
  std::this_thread::sleep_for(std::chrono::milliseconds(300));
  PumpUntil([] { return true; });
  EXPECT_EQ(TakeEvents(), "OnUpdate 1 7\n");
}

}  // namespace
