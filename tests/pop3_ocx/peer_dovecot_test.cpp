// The control against dovecot on 127.0.0.1 and ::1: blocking and event-driven connections
// with USER/PASS and APOP, STLS and implicit TLS, the mailbox and message properties,
// whole messages to text and files with progress, headers, deletion and reset, commands
// with multi-line answers read raw, and failures reported through OnError and ThrowError.
// dovecot implements none of XTND XLST, XSENDER or XTND XMIT: the header look-ups here take
// the fall-back through TOP, and submission is covered by the library tests.
#include <fstream>
#include <memory>
#include <sstream>

#include "dovecot_peer.h"
#include "pop_host.h"

namespace pophost {
namespace {

using pop3test::kDovecotPassword;
using pop3test::kDovecotUser;

std::string Big() {
  std::string m = "From: Big Sender <big@example.org>\r\nSubject: big\r\n\r\n";
  for (int i = 0; i < 3000; ++i) m += "line " + std::to_string(i) + std::string(60, 'z') + "\r\n";
  return m;
}

const std::vector<std::string>& Messages() {
  static const std::vector<std::string> messages = {
      "From: Ann Example <ann@example.org>\r\nSubject: first\r\n\tfolded\r\n\r\nhello\r\n",
      Big(),
  };
  return messages;
}

class PopDovecot : public PopDeliverable, public ::testing::WithParamInterface<int> {
 protected:
  void SetUp() override {
    PopDeliverable::SetUp();
    peer_ = std::make_unique<cvpeers::PeerProcess>(pop3test::DovecotOptions(GetParam()));
    if (!pop3test::PrepareDovecot(*peer_, Messages())) GTEST_SKIP() << "dovecot set-up not possible here";
    CV_START_PEER(*peer_);
    host_ = plat::ToUtf16(peer_->address());
  }

  // Connect with the peer's address and port and the given user (missing: the property).
  HRESULT ConnectTo(uint16_t port, VARIANT user, VARIANT password, VARIANT* error) {
    return Method(u"Connect", {Str(host_.c_str()), I4(port), user, password, I4(10), Missing(), Ref(error)});
  }
  HRESULT Login(uint32_t authType = 0) {
    EXPECT_EQ(Put(u"AuthType", I4(int32_t(authType))), S_OK);
    VARIANT error{};
    const HRESULT hr = ConnectTo(peer_->port(), Str(u"test"), Str(u"secret"), &error);
    EXPECT_EQ(Show(error), "0") << Get(u"LastErrorString") << peer_->Diagnostics();
    return hr;
  }
  // The number dovecot gives the big message.
  int32_t BigNumber() {
    for (int32_t i = 1; i <= 2; ++i) {
      Put(u"Message", I4(i));
      if (Get(u"MessageSize") == std::to_string(Big().size())) return i;
    }
    return 0;
  }

  std::unique_ptr<cvpeers::PeerProcess> peer_;
  std::u16string host_;
};

TEST_P(PopDovecot, BlockingLoginAndTheMailboxProperties) {
  ASSERT_EQ(Login(), S_OK);
  EXPECT_EQ(Get(u"IsConnected"), "True");
  EXPECT_EQ(Count(kOnConnect), 0u);
  EXPECT_EQ(Get(u"HostAddress"), "\"" + peer_->address() + "\"");  // a numeric host moves here
  EXPECT_EQ(Get(u"HostName"), "\"\"");
  EXPECT_EQ(Get(u"MessageCount"), "2");
  EXPECT_EQ(Get(u"LastMessage"), "2");
  EXPECT_EQ(Get(u"MailboxSize"), std::to_string(Messages()[0].size() + Messages()[1].size()));
  EXPECT_EQ(Get(u"NewMessages"), "!800A2FA9");
  EXPECT_EQ(Get(u"State"), "1");
  EXPECT_EQ(Get(u"LocalAddress"), "\"" + peer_->address() + "\"");
  EXPECT_NE(Get(u"LocalPort"), "0");
  EXPECT_EQ(Put(u"RemotePort", I4(995)), HRESULT(0x800A017F));
  EXPECT_EQ(Put(u"Timeout", I4(3600)), S_OK);
  EXPECT_EQ(Get(u"Timeout"), "600");
  EXPECT_EQ(Put(u"SecureProtocol", I4(16)), HRESULT(0x800A2748));

  const int32_t big = BigNumber();
  ASSERT_NE(big, 0);
  const int32_t small = 3 - big;
  ASSERT_EQ(Put(u"Message", I4(small)), S_OK);
  EXPECT_EQ(Get(u"MessageSize"), std::to_string(Messages()[0].size()));
  const std::string uid = Get(u"MessageUID");
  EXPECT_GT(uid.size(), 2u);
  EXPECT_EQ(Get(u"MessageFrom"), "\"ann@example.org\"");  // XSENDER refused: the From field
  EXPECT_EQ(Put(u"Message", I4(3)), HRESULT(0x800A3006));
  EXPECT_EQ(Get(u"Message"), std::to_string(small));
  ASSERT_EQ(Put(u"Message", I4(big)), S_OK);
  EXPECT_NE(Get(u"MessageUID"), uid);  // the kept values went with the change
  EXPECT_EQ(Get(u"MessageFrom"), "\"big@example.org\"");

  ASSERT_EQ(PutText(u"HeaderField", u"Subject"), S_OK);
  EXPECT_EQ(Get(u"HeaderValue"), "\"big\"");
  VARIANT value{}, found{};
  EXPECT_EQ(Method(u"GetHeader", {I4(small), Str(u"subject:"), Ref(&value), Ref(&found)}), S_OK);
  EXPECT_EQ(Show(value), "\"first  folded\"");
  EXPECT_EQ(Show(found), "True");
  EXPECT_EQ(Method(u"GetHeader", {I4(0), Str(u"X-None"), Ref(&value), Ref(&found)}), S_OK);
  EXPECT_EQ(Show(value), "\"\"");
  EXPECT_EQ(Show(found), "True");
  VariantClear(&value);

  EXPECT_EQ(Method(u"Disconnect", {Missing()}), S_OK);
  EXPECT_EQ(Get(u"IsConnected"), "False");
  EXPECT_EQ(Get(u"Message"), "0");
  EXPECT_EQ(Get(u"MessageCount"), "0");
  EXPECT_EQ(Count(kOnError), 0u);
}

TEST_P(PopDovecot, ApopLogin) {
  ASSERT_EQ(Login(1), S_OK);
  EXPECT_EQ(Get(u"MessageCount"), "2");
}

TEST_P(PopDovecot, WholeMessagesHeadersAndFilesWithProgress) {
  ASSERT_EQ(Login(), S_OK);
  const int32_t big = BigNumber();
  ASSERT_NE(big, 0);
  VARIANT text{}, error{};
  ASSERT_EQ(Method(u"GetMessage", {I4(big), Ref(&text), Ref(&error)}), S_OK);
  EXPECT_TRUE(Text(text) == plat::ToUtf16(Big()));
  EXPECT_EQ(Get(u"Message"), std::to_string(big));
  // Progress: each for the message, never above 100, ending at 100.
  ASSERT_GE(Count(kOnProgress), Big().size() / 4096);
  int last = -1;
  for (const Event& e : events) {
    if (e.id != kOnProgress) continue;
    EXPECT_EQ(e.args[0], std::to_string(big));
    EXPECT_EQ(e.args[1], std::to_string(Big().size()));
    const int percent = std::stoi(e.args[3]);
    EXPECT_GE(percent, last);
    EXPECT_LE(percent, 100);
    last = percent;
  }
  EXPECT_EQ(last, 100);

  ASSERT_EQ(Method(u"GetHeaders", {I4(3 - big), Ref(&text), Ref(&error)}), S_OK);
  EXPECT_TRUE(Text(text) == u"From: Ann Example <ann@example.org>\r\nSubject: first\r\n\tfolded\r\n\r\n");
  // StoreMessage without a number stores the current message.
  const std::string file = (dir_ / "stored.eml").string();
  ASSERT_EQ(Method(u"StoreMessage", {Missing(), Str(plat::ToUtf16(file).c_str()), Ref(&error)}), S_OK);
  std::ifstream in(file, std::ios::binary);
  std::stringstream stored;
  stored << in.rdbuf();
  EXPECT_EQ(stored.str(), Messages()[0]);
  // A string reference is replaced; a reference to a number cannot take text.
  int32_t number = 0;
  VARIANT numberRef{};
  numberRef.vt = VT_BYREF | VT_I4;
  numberRef.plVal = &number;
  EXPECT_EQ(Method(u"GetHeaders", {I4(1), numberRef, Ref(&error)}), DISP_E_TYPEMISMATCH);
  VariantClear(&text);
  EXPECT_EQ(Count(kOnError), 0u);
}

TEST_P(PopDovecot, DeleteAndResetWithCommands) {
  ASSERT_EQ(Login(), S_OK);
  VARIANT error{};
  ASSERT_EQ(Method(u"DeleteMessage", {I4(1), Ref(&error)}), S_OK);
  EXPECT_EQ(Get(u"MessageCount"), "1");
  EXPECT_EQ(Method(u"GetMessage", {I4(1), Missing(), Ref(&error)}), S_OK);  // reported, not thrown
  EXPECT_NE(Show(error), "0");
  ASSERT_EQ(Count(kOnError), 1u);

  // NOOP answers "+OK"; an unknown command "-ERR" without an error, even as multi-line.
  events.clear();
  ASSERT_EQ(Method(u"Command", {Str(u"NOOP"), Missing(), Missing(), Ref(&error)}), S_OK);
  EXPECT_EQ(Get(u"ResultCode"), "True");
  ASSERT_EQ(Method(u"Command", {Str(u"BOGUS"), Missing(), I4(1), Ref(&error)}), S_OK);
  EXPECT_EQ(Show(error), "0");
  EXPECT_EQ(Get(u"ResultCode"), "False");
  EXPECT_EQ(Count(kOnError), 0u);
  ASSERT_GE(Count(kOnCommand), 2u);
  EXPECT_EQ(Last(kOnCommand)->args[0], "False");
  // No multi-line answer stays open: the next command goes through.
  ASSERT_EQ(Method(u"Command", {Str(u"RSET"), Missing(), Missing(), Ref(&error)}), S_OK);
  EXPECT_EQ(Get(u"ResultCode"), "True");
  // A listing read raw up to its end line.
  ASSERT_EQ(Method(u"Command", {Str(u"LIST"), Missing(), I4(1), Ref(&error)}), S_OK);
  std::u16string listing;
  for (int i = 0; i < 10; ++i) {
    VARIANT buffer{}, result{};
    ASSERT_EQ(Method(u"Read", {Ref(&buffer), I4(512), Ref(&result)}), S_OK);
    const bool end = Show(result) == "0";
    if (!end) listing += Text(buffer);
    VariantClear(&buffer);  // an empty string at the end too
    if (end) break;
  }
  EXPECT_TRUE(listing == plat::ToUtf16("1 " + std::to_string(Messages()[0].size()) + "\r\n2 " +
                                       std::to_string(Messages()[1].size()) + "\r\n"))
      << plat::ToUtf8(listing);
}

TEST_P(PopDovecot, ExplicitAndImplicitTls) {
  ASSERT_EQ(Put(u"Secure", Bool(true)), S_OK);
  ASSERT_EQ(Login(), S_OK);
  EXPECT_EQ(Get(u"SecureProtocol"), "16");
  EXPECT_EQ(Get(u"CertificateSubject").find("localhost") != std::string::npos, true) << Get(u"CertificateSubject");
  EXPECT_EQ(Get(u"CertificateStatus"), "5");  // self-signed: untrusted, accepted
  EXPECT_NE(Get(u"CipherStrength"), "0");
  EXPECT_NE(Get(u"CertificateExpires"), "\"\"");
  EXPECT_EQ(Get(u"MessageCount"), "2");

  ASSERT_EQ(Put(u"Secure", Bool(false)), S_OK);
  VARIANT error{};
  ASSERT_EQ(Method(u"Connect", {Str(host_.c_str()), I4(peer_->port("TLSPORT")), Str(u"test"), Str(u"secret"), I4(10),
                                I4(8192), Ref(&error)}),
            S_OK);
  EXPECT_EQ(Show(error), "0") << Get(u"LastErrorString");
  EXPECT_EQ(Get(u"MessageCount"), "2");
  EXPECT_NE(Get(u"SecureProtocol"), "0");
}

TEST_P(PopDovecot, EventDrivenConnectionFiresOnConnectAfterTheLogin) {
  ASSERT_EQ(Put(u"Blocking", Bool(false)), S_OK);
  ASSERT_EQ(PutText(u"UserName", u"test"), S_OK);
  ASSERT_EQ(PutText(u"Password", u"secret"), S_OK);
  VARIANT error{};
  ASSERT_EQ(ConnectTo(peer_->port(), Missing(), Missing(), &error), S_OK);
  EXPECT_EQ(Get(u"IsConnected"), "False");  // the greeting has not been read yet
  ASSERT_TRUE(PumpUntil([&] { return Count(kOnConnect) + Count(kOnError) > 0; }));
  ASSERT_EQ(Count(kOnConnect), 1u) << (Count(kOnError) ? Last(kOnError)->args[1] : "");
  EXPECT_EQ(Get(u"IsConnected"), "True");
  EXPECT_EQ(Get(u"MessageCount"), "2");
  EXPECT_GE(Count(kOnCommand), 1u);  // the greeting's at least

  // A message opened in this mode arrives through OnRead.
  const int32_t big = BigNumber();
  ASSERT_EQ(Method(u"OpenMessage", {I4(big), Missing(), Ref(&error)}), S_OK);
  std::string body;
  bool ended = false;
  onEvent = [&](const Event& e) {
    if (e.id != kOnRead || ended) return;
    for (;;) {
      VARIANT buffer{}, result{};
      Method(u"Read", {Ref(&buffer), I4(4096), Ref(&result)});
      const int n = result.vt == VT_I4 ? result.lVal : -1;
      if (n > 0) body += plat::ToUtf8(Text(buffer));
      VariantClear(&buffer);
      if (n == 0) ended = true;
      if (n <= 0) return;
    }
  };
  EXPECT_TRUE(PumpUntil([&] { return ended; }));
  onEvent = nullptr;
  EXPECT_EQ(body.size(), Big().size());
  EXPECT_EQ(Method(u"CloseMessage", {Ref(&error)}), S_OK);

  // Blocking again while connected: commands still answer.
  ASSERT_EQ(Put(u"Blocking", Bool(true)), S_OK);
  ASSERT_EQ(Method(u"Command", {Str(u"NOOP"), Missing(), Missing(), Ref(&error)}), S_OK);
  EXPECT_EQ(Get(u"ResultCode"), "True");
}

TEST_P(PopDovecot, EventDrivenLoginFailureFiresOnErrorAndDisconnects) {
  ASSERT_EQ(Put(u"Blocking", Bool(false)), S_OK);
  VARIANT error{};
  ASSERT_EQ(ConnectTo(peer_->port(), Str(u"test"), Str(u"wrong"), &error), S_OK);
  ASSERT_TRUE(PumpUntil([&] { return Count(kOnError) > 0; }));
  EXPECT_EQ(Count(kOnConnect), 0u);
  EXPECT_EQ(Get(u"IsConnected"), "False");
  EXPECT_EQ(Get(u"Handle"), "-1");
  EXPECT_EQ(Last(kOnError)->args[0], Get(u"LastError"));
}

TEST_P(PopDovecot, FrozenEventsHoldTheConnectionUntilReleased) {
  IOleControl* ole = nullptr;
  ASSERT_EQ(control->QueryInterface(IID_IOleControl, reinterpret_cast<void**>(&ole)), S_OK);
  ASSERT_EQ(Put(u"Blocking", Bool(false)), S_OK);
  ole->FreezeEvents(1);
  VARIANT error{};
  ASSERT_EQ(ConnectTo(peer_->port(), Str(u"test"), Str(u"secret"), &error), S_OK);
  // The socket's notifications are held with the container's events: nothing completes.
  EXPECT_FALSE(PumpUntil([&] { return Get(u"IsConnected") == "True"; }, 500));
  EXPECT_TRUE(events.empty());
  ole->FreezeEvents(0);
  EXPECT_TRUE(PumpUntil([&] { return Count(kOnConnect) > 0; }));
  ole->Release();
  EXPECT_EQ(Get(u"MessageCount"), "2");
}

TEST_P(PopDovecot, ThrowErrorTurnsAFailedLoginIntoTheMethodsResult) {
  ASSERT_EQ(Put(u"ThrowError", Bool(true)), S_OK);
  VARIANT error{};
  const HRESULT hr = ConnectTo(peer_->port(), Str(u"test"), Str(u"wrong"), &error);
  EXPECT_EQ(uint32_t(hr) & 0xFFFF0000u, 0x800A0000u);
  EXPECT_EQ(std::to_string(uint32_t(hr) & 0xFFFFu), Show(error));
  EXPECT_EQ(Get(u"IsConnected"), "False");
  EXPECT_EQ(Count(kOnError), 1u);
  // Connecting again, right, replaces nothing that stayed behind.
  EXPECT_EQ(Put(u"ThrowError", Bool(false)), S_OK);
  ASSERT_EQ(Login(), S_OK);
  // Connect while connected: the old session says QUIT first, the new one works.
  ASSERT_EQ(Login(), S_OK);
  EXPECT_EQ(Get(u"MessageCount"), "2");
}

INSTANTIATE_TEST_SUITE_P(Loopback, PopDovecot, ::testing::Values(AF_INET, AF_INET6),
                         [](const auto& info) { return info.param == AF_INET ? "IPv4" : "IPv6"; });

}  // namespace
}  // namespace pophost
