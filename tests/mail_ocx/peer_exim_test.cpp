// SendMessage through exim as the relay: the control's message to its To, Cc and Bcc
// addresses, a host's text with its own headers, partly refused recipients, Cancel from
// OnRecipient, AUTH LOGIN over STARTTLS, and the refusals before any connection.
#include <gtest/gtest.h>

#include <algorithm>

#include "mail_host.h"
#include "smtp/exim_peer.h"

namespace {

using namespace mailhost;

class EximSend : public MailDeliverable {
 protected:
  void SetUp() override {
    MailDeliverable::SetUp();
    CV_START_EXIM(exim_);
    ASSERT_EQ(PutText(u"RelayServer", u"127.0.0.1"), S_OK);
    ASSERT_EQ(Put(u"RelayPort", I4(int32_t(exim_.port()))), S_OK);
    ASSERT_EQ(Put(u"Timeout", I4(10)), S_OK);
  }
  // The delivered copies, sorted by their envelope recipient (exim adds Envelope-to).
  std::vector<std::string> Copies(size_t count) {
    std::vector<std::string> copies = exim_.Delivered(count);
    auto key = [](const std::string& c) { return c.substr(0, c.find('\n')); };
    std::sort(copies.begin(), copies.end(), [&](const std::string& a, const std::string& b) { return key(a) < key(b); });
    return copies;
  }
  smtptest::EximPeer exim_;
};

bool Has(const std::string& text, const std::string& part) { return text.find(part) != std::string::npos; }

TEST_F(EximSend, MessageObjectGoesToToCcAndBcc) {
  ASSERT_EQ(Run(u"ComposeMessage", {Str(u"Ann <ann@example.org>"), Str(u"bob@example.org"), Str(u"cy@example.org"),
                                    Str(u"eve@example.org"), Str(u"Greetings"), Str(u"h\u00e9llo there")}),
            "0");
  const std::string exported = Show(u"Message");
  ASSERT_EQ(Run(u"SendMessage", {}), "0") << exim_.MainLog();
  EXPECT_EQ(TakeEvents(),
            "OnRecipient \"bob@example.org\"\nOnProgress done\nOnDelivered \"bob@example.org\"\n"
            "OnRecipient \"cy@example.org\"\nOnProgress done\nOnDelivered \"cy@example.org\"\n"
            "OnRecipient \"eve@example.org\"\nOnProgress done\nOnDelivered \"eve@example.org\"\n");
  const std::vector<std::string> copies = Copies(3);
  ASSERT_EQ(copies.size(), 3u);
  const char* to[] = {"bob@example.org", "cy@example.org", "eve@example.org"};
  for (size_t i = 0; i < 3; ++i) {
    SCOPED_TRACE(to[i]);
    EXPECT_TRUE(Has(copies[i], std::string("Envelope-to: ") + to[i])) << copies[i];
    EXPECT_TRUE(Has(copies[i], "(envelope-from <ann@example.org>)")) << copies[i];
    EXPECT_TRUE(Has(copies[i], "Subject: Greetings")) << copies[i];
    EXPECT_TRUE(Has(copies[i], "h=C3=A9llo there")) << copies[i];
    EXPECT_FALSE(Has(copies[i], "eve@example.org\r\n") && !Has(copies[i], "Envelope-to: eve")) << "no Bcc header";
    EXPECT_EQ(size_t(deliveredSizes.at(i)), exported.size() - 2);  // the quotes Show adds
  }
  EXPECT_EQ(Show(u"IsBlocked"), "False");
}

TEST_F(EximSend, HostTextWithPartlyRefusedRecipients) {
  // The text's own To and Cc are the recipients; Bcc is not added to them.
  ASSERT_EQ(PutText(u"Bcc", u"never@example.org"), S_OK);
  const char16_t* text =
      u"From: Zoe <zoe@example.org>\r\nTo: refused@example.org\r\nCc: ok@example.org\r\nSubject: \u00fcber\r\n\r\n"
      u"Gr\u00fc\u00dfe \u2014 8-bit text\r\n";
  EXPECT_EQ(Run(u"SendMessage", {Missing(), Missing(), Str(text)}), "0");
  const std::string events = TakeEvents();
  EXPECT_TRUE(Has(events, "OnRecipient \"refused@example.org\"\nOnError 12"));
  EXPECT_TRUE(Has(events, "OnDelivered \"ok@example.org\"\n")) << events;
  EXPECT_FALSE(Has(events, "never@")) << events;
  EXPECT_NE(Show(u"LastError"), "0");  // the refused address's error stays
  const std::vector<std::string> copies = Copies(1);
  ASSERT_EQ(copies.size(), 1u);
  EXPECT_TRUE(Has(copies[0], "Gr\xc3\xbc\xc3\x9f" "e \xe2\x80\x94 8-bit text\n")) << copies[0];  // sent as UTF-8
  EXPECT_TRUE(Has(copies[0], "(envelope-from <zoe@example.org>)"));

  // A Recipient argument overrides the text's; none reached gives 12305.
  EXPECT_EQ(Run(u"SendMessage", {Str(u"x@example.org"), Str(u"refused@example.org; refused@example.net"), Str(text)}),
            "12305");
}

TEST_F(EximSend, CancelFromOnRecipient) {
  ASSERT_EQ(Run(u"ComposeMessage", {Str(u"ann@example.org"), Str(u"a@example.org, b@example.org, c@example.org"),
                                    Missing(), Missing(), Str(u"cancel"), Str(u"text")}),
            "0");
  // Cancel in the event skips only that address.
  cancelRecipient = "b@example.org";
  EXPECT_EQ(Run(u"SendMessage", {}), "0");
  EXPECT_EQ(TakeEvents(),
            "OnRecipient \"a@example.org\"\nOnProgress done\nOnDelivered \"a@example.org\"\n"
            "OnRecipient \"b@example.org\"\n"
            "OnRecipient \"c@example.org\"\nOnProgress done\nOnDelivered \"c@example.org\"\n");
  // The Cancel method called from the event skips that address too and stops the send.
  cancelRecipient.clear();
  onRecipient = [this] {
    if (events.back() == "OnRecipient \"a@example.org\"") Method(u"Cancel", {});
  };
  EXPECT_EQ(Run(u"SendMessage", {}), "10004");
  EXPECT_EQ(TakeEvents(), "OnRecipient \"a@example.org\"\nOnError 10004 \"The blocking operation has been canceled\"\n");
  onRecipient = nullptr;
  EXPECT_EQ(Copies(2).size(), 2u);
}

TEST_F(EximSend, AuthLoginOverStartTls) {
  ASSERT_EQ(Run(u"ComposeMessage", {Str(u"bob@example.org"), Str(u"rcpt@example.org"), Missing(), Missing(),
                                    Str(u"secure"), Str(u"text")}),
            "0");
  ASSERT_EQ(Put(u"Secure", Bool(true)), S_OK);
  ASSERT_EQ(Put(u"Options", I4(mailctl::kOptionAuthLogin)), S_OK);
  ASSERT_EQ(PutText(u"UserName", u"bob"), S_OK);
  ASSERT_EQ(PutText(u"Password", u"wrong"), S_OK);
  const std::string refused = Run(u"SendMessage", {});
  EXPECT_NE(refused, "0");  // a relay login failure stops the send
  EXPECT_TRUE(Has(TakeEvents(), "OnRecipient \"rcpt@example.org\"\nOnError ")) << refused;
  ASSERT_EQ(PutText(u"Password", u"secret"), S_OK);
  EXPECT_EQ(Run(u"SendMessage", {}), "0") << exim_.MainLog();
  const std::vector<std::string> copies = Copies(1);
  ASSERT_EQ(copies.size(), 1u);
  EXPECT_TRUE(Has(exim_.MainLog(), "A=login:bob")) << exim_.MainLog();
  EXPECT_TRUE(Has(exim_.MainLog(), "X=TLS")) << exim_.MainLog();
}

TEST_F(EximSend, RefusalsBeforeAnyConnection) {
  // No message object: the export fails on its invalid handle, reported as no connection.
  EXPECT_EQ(Run(u"SendMessage", {}), "10057");
  events.clear();
  EXPECT_EQ(Run(u"SendMessage", {Missing(), Str(u"a@example.org"), Str(u"Subject: x\r\n\r\nno sender\r\n")}), "12295");
  EXPECT_EQ(TakeEvents(), "OnError 12295 \"No valid return address specified\"\n");
  EXPECT_EQ(Run(u"SendMessage", {Str(u"me@example.org"), Missing(), Str(u"Subject: x\r\n\r\nnobody\r\n")}), "12296");
  ASSERT_EQ(PutText(u"From", u"me@example.org"), S_OK);
  EXPECT_EQ(Run(u"SendMessage", {}), "12296");  // a message without recipients
  EXPECT_TRUE(exim_.Delivered(0).empty());
}

}  // namespace
