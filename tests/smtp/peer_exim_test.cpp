// Interoperability with exim on loopback: extensions, HELO, AUTH LOGIN, STARTTLS and
// implicit TLS, SIZE, DSN, recipients partly refused, dot-stuffing and 8-bit text read
// back from the delivered copies, large messages with progress, IPv6, and a cancel that
// reconnects (with TLS and login again) before the next message.
#include <sys/socket.h>

#include <algorithm>
#include <string>
#include <vector>

#include "exim_peer.h"
#include "smtp_test_support.h"

using namespace smtptest;

namespace {

class SmtpExim : public SmtpTest {
 protected:
  static LibHandle Open(EximPeer& exim, uint32_t options = kSmtpOptionExtended, const char* domain = "client.test") {
    return SmtpConnect(exim.address().c_str(), exim.port(), 10, options, domain, nullptr);
  }
};

bool EndsWith(const std::string& text, const std::string& tail) {
  return text.size() >= tail.size() && text.compare(text.size() - tail.size(), tail.size(), tail) == 0;
}

size_t CountContaining(const std::vector<std::string>& copies, const std::string& what) {
  return size_t(std::count_if(copies.begin(), copies.end(),
                              [&](const std::string& c) { return c.find(what) != std::string::npos; }));
}

const std::string kMessage =
    "From: a@x.test\n"
    "To: b@x.test\n"
    "Subject: dots\n"
    "\n"
    "first line\n"
    ".\n"
    "..two dots\n"
    ".leading dot\n"
    "8-bit: \xc3\xa9t\xc3\xa9 \xe2\x82\xac\n"
    "last line\n";

TEST_F(SmtpExim, SendsToAcceptedRecipients) {
  EximPeer exim;
  CV_START_EXIM(exim);
  const LibHandle h = Open(exim);
  ASSERT_NE(h, kInvalidLibHandle) << std::hex << SmtpGetLastError();
  uint32_t bits = 0;
  ASSERT_EQ(SmtpGetExtensions(h, &bits), 1);
  EXPECT_EQ(bits, kSmtpExtensionDsn | kSmtpExtensionSize | kSmtpExtension8BitMime | kSmtpExtensionAuthLogin |
                      kSmtpExtensionStartTls);
  EXPECT_EQ(SmtpSendMessage(h, "A <a@x.test>", "b@x.test, refused@x.test; \"Cee, C\" <c@x.test>", kMessage.c_str(),
                            0, kSmtpSourceText),
            0)
      << std::hex << SmtpGetLastError();
  EXPECT_EQ(SmtpDisconnect(h), 0);
  const std::vector<std::string> copies = exim.Delivered(2);
  ASSERT_EQ(copies.size(), 2u) << exim.MainLog();
  for (const std::string& c : copies) EXPECT_TRUE(EndsWith(c, kMessage)) << c;
  EXPECT_EQ(CountContaining(copies, "Envelope-to: b@x.test"), 1u);
  EXPECT_EQ(CountContaining(copies, "Envelope-to: c@x.test"), 1u);
  EXPECT_EQ(CountContaining(copies, "helo=client.test"), 2u);
}

// Without the extended option the session says HELO and knows no extensions; the hello
// names the local host when no domain is given.
TEST_F(SmtpExim, HeloSession) {
  EximPeer exim;
  CV_START_EXIM(exim);
  const LibHandle h = Open(exim, 0, nullptr);
  ASSERT_NE(h, kInvalidLibHandle) << std::hex << SmtpGetLastError();
  EXPECT_EQ(SmtpGetExtensions(h, nullptr), 0);
  EXPECT_EQ(SmtpSendMessage(h, "a@x.test", "b@x.test", "Subject: helo\n\nbody\n", 0, kSmtpSourceText), 0)
      << std::hex << SmtpGetLastError();
  SmtpDisconnect(h);
  const std::vector<std::string> copies = exim.Delivered(1);
  ASSERT_EQ(copies.size(), 1u) << exim.MainLog();
  EXPECT_NE(copies[0].find("with smtp "), std::string::npos) << copies[0];
  EXPECT_TRUE(EndsWith(copies[0], "Subject: helo\n\nbody\n"));
}

TEST_F(SmtpExim, AuthLogin) {
  EximPeer exim;
  CV_START_EXIM(exim);
  const LibHandle h = Open(exim);
  ASSERT_NE(h, kInvalidLibHandle);
  EXPECT_EQ(SmtpAuthenticate(h, 0, "bob", "wrong"), -1);
  EXPECT_EQ(SmtpGetLastError(), 0x80042FC6u);
  EXPECT_EQ(SmtpAuthenticate(h, 0, "bob", "secret"), 235);
  EXPECT_EQ(SmtpSendMessage(h, "a@x.test", "b@x.test", "Subject: auth\n\nbody\n", 0, kSmtpSourceText), 0);
  SmtpDisconnect(h);
  const std::vector<std::string> copies = exim.Delivered(1);
  ASSERT_EQ(copies.size(), 1u);
  EXPECT_NE(copies[0].find("with esmtpa"), std::string::npos) << copies[0];
}

// STARTTLS on a self-signed certificate (reported, not fatal); the extensions are those of
// the EHLO after the handshake, which no longer offers STARTTLS.
TEST_F(SmtpExim, StartTls) {
  EximPeer exim;
  CV_START_EXIM(exim);
  const LibHandle h = Open(exim, kSmtpOptionSecure);
  ASSERT_NE(h, kInvalidLibHandle) << std::hex << SmtpGetLastError();
  uint32_t bits = 0;
  ASSERT_EQ(SmtpGetExtensions(h, &bits), 1);
  EXPECT_EQ(bits & kSmtpExtensionStartTls, 0u);
  EXPECT_NE(bits & kSmtpExtensionAuthLogin, 0u);
  SecSessionInfo info{};
  info.size = sizeof info;
  ASSERT_EQ(SmtpGetSecurityInfo(h, &info), 0);
  EXPECT_NE(info.protocol, 0u);
  EXPECT_EQ(SmtpAuthenticate(h, 0, "bob", "secret"), 235);
  EXPECT_EQ(SmtpSendMessage(h, "a@x.test", "b@x.test", kMessage.c_str(), 0, kSmtpSourceText), 0)
      << std::hex << SmtpGetLastError();
  SmtpDisconnect(h);
  const std::vector<std::string> copies = exim.Delivered(1);
  ASSERT_EQ(copies.size(), 1u) << exim.MainLog();
  EXPECT_NE(copies[0].find("with esmtpsa"), std::string::npos) << copies[0];
  EXPECT_TRUE(EndsWith(copies[0], kMessage));
}

// Implicit TLS: the handshake comes before the greeting.
TEST_F(SmtpExim, ImplicitTls) {
  EximPeer exim({.tlsOnConnect = true});
  CV_START_EXIM(exim);
  const LibHandle h = Open(exim, kSmtpOptionSecureImplicit | kSmtpOptionExtended | kSmtpOptionTrustedSite);
  ASSERT_NE(h, kInvalidLibHandle) << std::hex << SmtpGetLastError();
  EXPECT_EQ(SmtpSendMessage(h, "a@x.test", "b@x.test", "Subject: implicit\n\nbody\n", 0, kSmtpSourceText), 0)
      << std::hex << SmtpGetLastError();
  SmtpDisconnect(h);
  const std::vector<std::string> copies = exim.Delivered(1);
  ASSERT_EQ(copies.size(), 1u) << exim.MainLog();
  EXPECT_NE(copies[0].find("with esmtps"), std::string::npos) << copies[0];
}

// SIZE announces the message: one over the server's limit is refused at MAIL FROM.
TEST_F(SmtpExim, SizeLimit) {
  EximPeer exim({.sizeLimit = "2K"});
  CV_START_EXIM(exim);
  const LibHandle h = Open(exim);
  ASSERT_NE(h, kInvalidLibHandle);
  const std::string big(5000, 'b');
  EXPECT_EQ(SmtpSendMessage(h, "a@x.test", "b@x.test", big.c_str(), 0, kSmtpSourceText), -1);
  EXPECT_EQ(SmtpGetLastError(), 0x80042FE9u);
  EXPECT_EQ(SmtpSendMessage(h, "a@x.test", "b@x.test", "Subject: small\n\nok\n", 0, kSmtpSourceText), 0);
  SmtpDisconnect(h);
  EXPECT_EQ(exim.Delivered(1).size(), 1u);
}

// NOTIFY=NEVER is taken and gives no report; SUCCESS with RET=HDRS brings a report to the
// sender carrying the original recipient (as sent, in xtext) and only the headers.
TEST_F(SmtpExim, DeliveryStatusNotifications) {
  EximPeer exim;
  CV_START_EXIM(exim);
  const LibHandle h = Open(exim);
  ASSERT_NE(h, kInvalidLibHandle);
  ASSERT_EQ(SmtpSetDsnOptions(h, kSmtpDsnNever), 1);
  EXPECT_EQ(SmtpSendMessage(h, "s@x.test", "b@x.test", "Subject: never\n\nbody one\n", 0, kSmtpSourceText), 0);
  ASSERT_EQ(SmtpSetDsnOptions(h, kSmtpDsnSuccess | kSmtpDsnFailure | kSmtpDsnReturnHeaders), 1);
  EXPECT_EQ(SmtpSendMessage(h, "s@x.test", "c+tag@x.test", "Subject: success\n\nbody two\n", 0, kSmtpSourceText), 0)
      << std::hex << SmtpGetLastError();
  SmtpDisconnect(h);
  const std::vector<std::string> copies = exim.Delivered(3);
  ASSERT_EQ(copies.size(), 3u) << exim.MainLog();
  ASSERT_EQ(CountContaining(copies, "report-type=delivery-status"), 1u);
  const std::string report = *std::find_if(copies.begin(), copies.end(), [](const std::string& c) {
    return c.find("report-type=delivery-status") != std::string::npos;
  });
  EXPECT_NE(report.find("Envelope-to: s@x.test"), std::string::npos);
  EXPECT_NE(report.find("Original-Recipient: rfc822;c+2Btag@x.test"), std::string::npos) << report;
  EXPECT_NE(report.find("text/rfc822-headers"), std::string::npos);
  EXPECT_EQ(report.find("body two"), std::string::npos);
}

// A large message in 4 KB pieces: one progress event each, the status counts every input
// byte, and the text arrives unchanged.
TEST_F(SmtpExim, LargeMessageWithProgress) {
  EximPeer exim;
  CV_START_EXIM(exim);
  std::string text = "Subject: large\n\n";
  for (int i = 0; text.size() < 1500000; ++i)
    text += (i % 7 == 0 ? ".line " : "line ") + std::to_string(i) + " " + std::string(size_t(i % 90), 'x') + "\n";
  const LibHandle h = Open(exim);
  ASSERT_NE(h, kInvalidLibHandle);
  EventLog log;
  log.Attach(h);
  EXPECT_EQ(SmtpSendMessage(h, "a@x.test", "b@x.test", text.c_str(), uint32_t(text.size()), kSmtpSourceMemory), 0)
      << std::hex << SmtpGetLastError();
  EXPECT_EQ(log.Count(cvmail::kMailEventProgress), (text.size() + 4095) / 4096);
  SmtpTransferStatus st{};
  ASSERT_EQ(SmtpGetTransferStatus(h, &st), 0);
  EXPECT_EQ(st.copied, text.size());
  EXPECT_EQ(st.total, text.size());
  SmtpDisconnect(h);
  const std::vector<std::string> copies = exim.Delivered(1);
  ASSERT_EQ(copies.size(), 1u);
  EXPECT_TRUE(EndsWith(copies[0], text));
}

// Over IPv6 without a domain the hello names the local address as an IPv6 literal.
TEST_F(SmtpExim, Ipv6) {
  if (!cvpeers::LoopbackAvailable(AF_INET6)) GTEST_SKIP() << "no IPv6 loopback";
  EximPeer exim({.family = AF_INET6});
  CV_START_EXIM(exim);
  const LibHandle h = Open(exim, kSmtpOptionExtended | kSmtpOptionIpv6Only, nullptr);
  ASSERT_NE(h, kInvalidLibHandle) << std::hex << SmtpGetLastError();
  EXPECT_EQ(SmtpSendMessage(h, "a@x.test", "b@x.test", "Subject: six\n\nbody\n", 0, kSmtpSourceText), 0);
  SmtpDisconnect(h);
  const std::vector<std::string> copies = exim.Delivered(1);
  ASSERT_EQ(copies.size(), 1u) << exim.MainLog();
  // exim names no hello that matches the client's address.
  EXPECT_NE(copies[0].find("Received: from [::1]\n"), std::string::npos) << copies[0];
}

// A cancel in the middle of the data: the session connects again with TLS and the login,
// the half message is never delivered, and the next message goes through.
TEST_F(SmtpExim, CancelReconnectsWithTlsAndLogin) {
  EximPeer exim;
  CV_START_EXIM(exim);
  const LibHandle h = Open(exim, kSmtpOptionSecure | kSmtpOptionTrustedSite);
  ASSERT_NE(h, kInvalidLibHandle) << std::hex << SmtpGetLastError();
  ASSERT_EQ(SmtpAuthenticate(h, 0, "bob", "secret"), 235);
  SmtpSetEventCallback(
      h, 128, [](LibHandle handle, uint32_t, uint32_t, uintptr_t) { return SmtpCancel(handle); }, 0);
  const std::string big = "Subject: cancelled\n\n" + std::string(100000, 'c') + "\n";
  EXPECT_EQ(SmtpSendMessage(h, "a@x.test", "b@x.test", big.c_str(), 0, kSmtpSourceText), -1);
  EXPECT_EQ(SmtpGetLastError(), 0x80042714u);
  SmtpSetEventCallback(h, cvmail::kMailEventProgress, nullptr, 0);
  EXPECT_EQ(SmtpSendMessage(h, "a@x.test", "b@x.test", "Subject: after\n\nbody\n", 0, kSmtpSourceText), 0)
      << std::hex << SmtpGetLastError();
  SmtpDisconnect(h);
  const std::vector<std::string> copies = exim.Delivered(1);
  ASSERT_EQ(copies.size(), 1u) << exim.MainLog();
  EXPECT_NE(copies[0].find("Subject: after"), std::string::npos);
  EXPECT_NE(copies[0].find("with esmtpsa"), std::string::npos) << copies[0];
}

}  // namespace
