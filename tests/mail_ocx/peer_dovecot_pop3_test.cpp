// The control's POP3 session against dovecot: connecting (server type from the port, a
// refused login, STLS and implicit TLS), counts, headers-only and whole retrieval into the
// message object with progress, attachments of a retrieved message, deleting, Reset, and
// the IMAP-only members refused.
#include <gtest/gtest.h>

#include <filesystem>
#include <fstream>
#include <memory>
#include <sstream>

#include "mail_host.h"
#include "pop3/dovecot_peer.h"

namespace {

using namespace mailhost;

const std::vector<std::string>& Messages() {
  static const std::vector<std::string> messages = [] {
    std::string big = "From: big@example.org\r\nSubject: big\r\n\r\n";
    for (int i = 0; i < 20000; ++i) big += "line " + std::to_string(i) + std::string(70, 'x') + "\r\n";
    return std::vector<std::string>{
        "From: a@example.org\r\nTo: me@example.org\r\nSubject: one\r\n\r\nhello\r\n",
        "From: b@example.org\r\nTo: me@example.org\r\nSubject: with file\r\nMIME-Version: 1.0\r\n"
        "Content-Type: multipart/mixed; boundary=\"xyz\"\r\n\r\n--xyz\r\nContent-Type: text/plain\r\n\r\n"
        "see the file\r\n--xyz\r\nContent-Type: application/octet-stream; name=\"data.bin\"\r\n"
        "Content-Transfer-Encoding: base64\r\nContent-Disposition: attachment; filename=\"data.bin\"\r\n\r\n"
        "AAECAwQ=\r\n--xyz--\r\n",
        big,
    };
  }();
  return messages;
}

class DovecotPop3 : public MailDeliverable {
 protected:
  void SetUp() override {
    MailDeliverable::SetUp();
    peer_ = std::make_unique<cvpeers::PeerProcess>(pop3test::DovecotOptions(AF_INET));
    if (!pop3test::PrepareDovecot(*peer_, Messages())) GTEST_SKIP() << "dovecot set-up not possible here";
    CV_START_PEER(*peer_);
    ASSERT_EQ(Put(u"Timeout", I4(10)), S_OK);
  }
  std::string Connect(uint16_t port, const char16_t* password = u"secret") {
    return Run(u"Connect", {Str(u"127.0.0.1"), I4(port), Str(u"test"), Str(password)});
  }
  std::unique_ptr<cvpeers::PeerProcess> peer_;
  cvpeers::TempDir dir_;
};

bool Has(const std::string& text, const std::string& part) { return text.find(part) != std::string::npos; }

TEST_F(DovecotPop3, HeadersThenWholeMessages) {
  ASSERT_EQ(Connect(peer_->port()), "0") << peer_->Diagnostics();
  EXPECT_EQ(Show(u"ServerType"), "1");  // any port but 143 and 993 means POP3
  EXPECT_EQ(Show(u"IsConnected"), "True");
  EXPECT_EQ(Show(u"MessageCount"), "3");
  EXPECT_EQ(Show(u"LastMessage"), "3");
  EXPECT_EQ(Show(u"RecentMessages"), "3");
  EXPECT_EQ(Show(u"NewMessages"), "3");
  EXPECT_NE(Show(u"MailboxSize"), "0");
  EXPECT_EQ(Show(u"CertificateStatus"), "0");

  // MessageIndex reads only the headers: the Message property stays empty.
  EXPECT_EQ(Put(u"MessageIndex", I4(1)), S_OK);
  EXPECT_EQ(Show(u"Subject"), "\"one\"");
  EXPECT_EQ(Show(u"From"), "\"a@example.org\"");
  EXPECT_EQ(Show(u"Message"), "\"\"");
  EXPECT_EQ(Show(u"MessageUID").size(), 2u + 16u);
  // GetMessage reads it whole; a second GetMessage of the same number asks nobody.
  EXPECT_EQ(Run(u"GetMessage", {Missing()}), "0");
  EXPECT_EQ(Show(u"MessageText"), "\"hello\r\n\"");
  EXPECT_TRUE(Has(Show(u"Message"), "Subject: one"));
  EXPECT_EQ(TakeEvents(), "OnProgress done\n");
  EXPECT_EQ(Run(u"GetMessage", {I4(1)}), "");  // held whole already: it ends before Error is set
  EXPECT_TRUE(events.empty());

  // The big one reports its progress to the end.
  EXPECT_EQ(Run(u"GetMessage", {I4(3)}), "0");
  EXPECT_EQ(TakeEvents(), "OnProgress done\n");
  EXPECT_GT(std::stoi(Show(u"MessageSize")), 20000 * 70);
  EXPECT_EQ(Show(u"MessageIndex"), "3");

  // A message with a file: its parts and attachment.
  EXPECT_EQ(Run(u"GetMessage", {I4(2)}), "0");
  EXPECT_EQ(Show(u"MessageParts"), "3");
  VARIANT part{};
  EXPECT_EQ(Method(u"FindAttachment", {Str(u"data.bin"), Ref(&part)}), S_OK);
  EXPECT_EQ(Value(part), "2");
  const std::string file = (dir_.path() / "data.bin").string();
  EXPECT_EQ(Run(u"ExtractFile", {Str(plat::ToUtf16(file).c_str()), part}), "0");
  std::ifstream in(file, std::ios::binary);
  std::stringstream data;
  data << in.rdbuf();
  EXPECT_EQ(data.str(), std::string("\0\1\2\3\4", 5));

  // Storing a message into a file leaves the message object alone.
  const std::string stored = (dir_.path() / "one.eml").string();
  EXPECT_EQ(Run(u"StoreMessage", {I4(1), Str(plat::ToUtf16(stored).c_str())}), "0");
  EXPECT_TRUE(std::filesystem::file_size(stored) > 0);
  EXPECT_EQ(Show(u"Subject"), "\"with file\"");
  EXPECT_EQ(Run(u"CheckMailbox", {}), "0");
  EXPECT_EQ(Show(u"NewMessages"), "3");
  EXPECT_FALSE(Has(TakeEvents(), "OnError"));
}

TEST_F(DovecotPop3, ImapMembersAreNotSupported) {
  ASSERT_EQ(Connect(peer_->port()), "0") << peer_->Diagnostics();
  EXPECT_EQ(Show(u"MessageFlags"), "!800A2FA9");
  EXPECT_EQ(Put(u"MessageFlags", I4(8)), HRESULT(0x800A2FA9));
  EXPECT_EQ(Show(u"UnreadMessages"), "!800A2FA9");
  EXPECT_EQ(Show(u"Mailboxes"), "!800A2FA9");
  EXPECT_EQ(Show(u"MailboxName"), "\"\"");
  EXPECT_EQ(Run(u"Idle", {}), "");  // refused before Error is set
  EXPECT_EQ(Run(u"UndeleteMessage", {I4(1)}), "");
  EXPECT_EQ(Run(u"CreateMailbox", {Str(u"box")}), "");
  const std::string refused = "OnError 12201 \"The specified operation is not supported\"\n";
  EXPECT_EQ(TakeEvents(), refused + refused + refused);
  EXPECT_EQ(Show(u"LastError"), "12201");
}

TEST_F(DovecotPop3, DeletionsUntilResetAndReconnect) {
  ASSERT_EQ(Connect(peer_->port()), "0") << peer_->Diagnostics();
  EXPECT_EQ(Run(u"DeleteMessage", {I4(2)}), "0");
  EXPECT_EQ(Show(u"MessageCount"), "2");
  // Reset undoes this session's deletions before it logs out.
  EXPECT_EQ(Method(u"Reset", {}), S_OK);
  EXPECT_EQ(Show(u"IsConnected"), "False");
  ASSERT_EQ(Connect(peer_->port()), "0");
  EXPECT_EQ(Show(u"MessageCount"), "3");
  // Connect while connected logs out first: this deletion is committed.
  EXPECT_EQ(Run(u"DeleteMessage", {I4(3)}), "0");
  ASSERT_EQ(Connect(peer_->port()), "0");
  EXPECT_EQ(Show(u"MessageCount"), "2");
  EXPECT_EQ(Run(u"Disconnect", {}), "0");
  EXPECT_EQ(Show(u"MessageCount"), "0");
  // A refused login leaves the control unconnected.
  EXPECT_NE(Connect(peer_->port(), u"wrong"), "0");
  EXPECT_EQ(Show(u"IsConnected"), "False");
  EXPECT_EQ(TakeEvents().rfind("OnError ", 0), 0u);
  // APOP with the password file's plain password.
  EXPECT_EQ(Put(u"Options", I4(mailctl::kOptionApop)), S_OK);
  EXPECT_EQ(Connect(peer_->port()), "0");
}

TEST_F(DovecotPop3, StartTlsAndImplicitTls) {
  ASSERT_EQ(Put(u"Secure", Bool(true)), S_OK);
  ASSERT_EQ(Connect(peer_->port()), "0") << peer_->Diagnostics();
  EXPECT_EQ(Show(u"SecureProtocol"), "16");
  EXPECT_EQ(Show(u"CertificateStatus"), "5");  // self-signed: untrusted
  EXPECT_EQ(Show(u"CertificateSubject"), "\"CN=localhost\"");
  EXPECT_NE(Show(u"CertificateExpires"), "\"\"");
  EXPECT_NE(Show(u"CipherStrength"), "0");
  EXPECT_EQ(Put(u"SecureProtocol", I4(0)), HRESULT(0x800A2748));  // fixed while connected
  EXPECT_EQ(Put(u"ServerType", I4(2)), HRESULT(0x800A2748));
  EXPECT_EQ(Run(u"GetMessage", {I4(1)}), "0");
  EXPECT_EQ(Show(u"Subject"), "\"one\"");
  EXPECT_EQ(Run(u"Disconnect", {}), "0");
  EXPECT_EQ(Show(u"CertificateSubject"), "\"\"");  // nothing of a closed session
  EXPECT_EQ(Show(u"CertificateStatus"), "0");

  ASSERT_EQ(Put(u"Options", I4(mailctl::kOptionImplicitSsl)), S_OK);
  ASSERT_EQ(Connect(peer_->port("TLSPORT")), "0") << peer_->Diagnostics();
  EXPECT_EQ(Show(u"CertificateStatus"), "5");
  EXPECT_EQ(Show(u"MessageCount"), "3");
}

}  // namespace
