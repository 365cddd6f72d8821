// Interoperability with dovecot: USER/PASS and APOP logins, the mailbox commands, whole and
// headers-only reads (large messages, dot-stuffed lines), deletions, STLS and implicit
// TLS, IPv6, and notifications to a window, blocking and in window-message mode.
#include <algorithm>
#include <fstream>
#include <sstream>
#include <memory>
#include <string>
#include <vector>

#include "core/errors/error_codes.h"
#include "dovecot_peer.h"
#include "platform/tls/tls_types.h"
#include "pop3_test_support.h"

namespace pop3test {
namespace {

std::string BigMessage() {
  std::string m = "Subject: big\r\n\r\n";
  for (int i = 0; i < 20000; ++i) m += "line " + std::to_string(i) + std::string(70, 'x') + "\r\n";
  return m;
}

const std::vector<std::string>& Messages() {
  static const std::vector<std::string> messages = {
      "From: a@example.org\r\nSubject: one\r\n\r\nhello\r\n",
      "Subject: dots\r\n\r\n.leading dot\r\n..two dots\r\n.\r\n. \r\nend\r\n",
      BigMessage(),
  };
  return messages;
}

class DovecotTest : public Pop3Test {
 protected:
  void StartPeer(int family = AF_INET) {
    peer_ = std::make_unique<cvpeers::PeerProcess>(DovecotOptions(family));
    if (!PrepareDovecot(*peer_, Messages())) GTEST_SKIP() << "dovecot set-up not possible here";
    CV_START_PEER(*peer_);
  }
  void SetUp() override {
    Pop3Test::SetUp();
    StartPeer();
  }

  LibHandle Open(uint32_t options = 0, bool tlsPort = false) {
    const uint16_t port = tlsPort ? peer_->port("TLSPORT") : peer_->port();
    const LibHandle h = Pop3Connect(peer_->address().c_str(), port, 10, options, nullptr);
    EXPECT_NE(h, kInvalidLibHandle) << std::hex << Pop3GetLastError() << "\n" << peer_->Diagnostics();
    return h;
  }
  LibHandle OpenAndLogin(uint32_t options = 0, bool tlsPort = false) {
    const LibHandle h = Open(options, tlsPort);
    if (h != kInvalidLibHandle) {
      EXPECT_EQ(Pop3Login(h, 0, kDovecotUser, kDovecotPassword), 0) << std::hex << Pop3GetLastError();
    }
    return h;
  }

  static std::string Retrieve(LibHandle h, uint32_t message, uint32_t flags = 0) {
    plat::HGLOBAL block = nullptr;
    uint32_t length = 0;
    if (Pop3RetrieveMessage(h, message, &block, &length, flags) != 0) return "<error>";
    if (!block) return "";
    std::string text(static_cast<const char*>(plat::GlobalLock(block)), length);
    plat::GlobalUnlock(block);
    plat::GlobalFree(block);
    return text;
  }

  // Every message read whole, in the server's order.
  static std::vector<std::string> RetrieveAll(LibHandle h) {
    std::vector<std::string> out;
    for (int32_t i = 1, n = Pop3GetMessageCount(h); i <= n; ++i) out.push_back(Retrieve(h, uint32_t(i)));
    return out;
  }

  static std::vector<std::string> Sorted(std::vector<std::string> v) {
    std::sort(v.begin(), v.end());
    return v;
  }

  std::string Log() const {
    std::ifstream in(peer_->dir() / "dovecot.log");
    std::stringstream s;
    s << in.rdbuf();
    return s.str();
  }

  std::unique_ptr<cvpeers::PeerProcess> peer_;
};

TEST_F(DovecotTest, UserPassLoginAndTheMailboxCommands) {
  const LibHandle h = OpenAndLogin();
  ASSERT_NE(h, kInvalidLibHandle);
  uint32_t last = 0, size = 0, total = 0;
  for (const auto& m : Messages()) total += uint32_t(m.size());
  ASSERT_EQ(Pop3GetMailboxStatus(h, &last, &size), 3) << Log();
  EXPECT_EQ(last, 3u);
  EXPECT_EQ(size, total);

  std::vector<std::string> uids;
  std::vector<int32_t> sizes;
  for (uint32_t i = 1; i <= 3; ++i) {
    char uid[128];
    EXPECT_GT(Pop3GetMessageUid(h, i, uid, sizeof uid), 0);
    uids.emplace_back(uid);
    sizes.push_back(Pop3GetMessageSize(h, i));
  }
  std::sort(uids.begin(), uids.end());
  EXPECT_EQ(std::unique(uids.begin(), uids.end()), uids.end());

  // Whole messages come back byte for byte, dot-stuffed lines included.
  const std::vector<std::string> texts = RetrieveAll(h);
  ASSERT_EQ(texts.size(), 3u);
  EXPECT_TRUE(Sorted(texts) == Sorted(Messages()));
  for (size_t i = 0; i < texts.size(); ++i) EXPECT_EQ(int32_t(texts[i].size()), sizes[i]);

  // Headers only: the header block and its blank line.
  const std::string headers = Retrieve(h, 1, kPop3ReadHeadersOnly);
  EXPECT_EQ(headers, texts[0].substr(0, texts[0].find("\r\n\r\n") + 4));

  EXPECT_EQ(Pop3SendCommand(h, "NOOP", nullptr), 1);
  EXPECT_EQ(Pop3SendCommand(h, "LIST", "99"), 0);
  EXPECT_EQ(Pop3GetLastError(), 0u);
  EXPECT_EQ(Pop3GetMessageSize(h, 99), -1);
  EXPECT_EQ(Pop3GetLastError(), 0x80043006u);
  EXPECT_EQ(Pop3Disconnect(h), 0);
}

TEST_F(DovecotTest, ApopLogin) {
  const LibHandle h = Open();
  ASSERT_NE(h, kInvalidLibHandle);
  ASSERT_EQ(Pop3Login(h, 1, kDovecotUser, kDovecotPassword), 0) << std::hex << Pop3GetLastError();
  EXPECT_EQ(Pop3GetMessageCount(h), 3);
  Pop3Disconnect(h);

  const LibHandle wrong = Open();
  ASSERT_NE(wrong, kInvalidLibHandle);
  EXPECT_EQ(Pop3Login(wrong, 1, kDovecotUser, "not it"), -1);
  EXPECT_EQ(Pop3GetLastError(), 0x80042FC6u);
  Pop3Disconnect(wrong);
}

TEST_F(DovecotTest, WrongPasswordIsRefused) {
  const LibHandle h = Open();
  ASSERT_NE(h, kInvalidLibHandle);
  EXPECT_EQ(Pop3Login(h, 0, kDovecotUser, "not it"), -1);
  EXPECT_EQ(Pop3GetLastError(), 0x80042FBFu) << Pop3GetReplyText(h) << "\n" << peer_->Diagnostics();
  Pop3Disconnect(h);
}

TEST_F(DovecotTest, DeletionsAreUndoneByResetAndKeptByQuit) {
  const LibHandle h = OpenAndLogin();
  ASSERT_NE(h, kInvalidLibHandle);
  const std::string first = Retrieve(h, 1);
  EXPECT_EQ(Pop3DeleteMessage(h, 1), 0);
  EXPECT_EQ(Pop3GetMessageCount(h), 2);
  EXPECT_EQ(Retrieve(h, 1), "<error>");  // deleted messages cannot be read
  EXPECT_EQ(Pop3GetLastError(), 0x80043006u);
  EXPECT_EQ(Pop3Reset(h), 1);
  EXPECT_EQ(Pop3GetMessageCount(h), 3);
  EXPECT_TRUE(Retrieve(h, 1) == first);
  EXPECT_EQ(Pop3DeleteMessage(h, 1), 0);
  EXPECT_EQ(Pop3Disconnect(h), 0);

  const LibHandle again = OpenAndLogin();
  ASSERT_NE(again, kInvalidLibHandle);
  EXPECT_EQ(Pop3GetMessageCount(again), 2);
  std::vector<std::string> left = RetrieveAll(again);
  EXPECT_EQ(std::find(left.begin(), left.end(), first), left.end());
  Pop3Disconnect(again);
}

TEST_F(DovecotTest, StlsAndImplicitTls) {
  struct Case {
    const char* name;
    uint32_t options;
    bool tlsPort;
    uint32_t certificateStatus;
  } cases[] = {
      {"STLS", kPop3OptionSecure, false, plat::kTlsCertUntrusted},  // a self-signed certificate
      {"implicit", kPop3OptionSecureImplicit, true, plat::kTlsCertUntrusted},
      {"implicit, trusted site", kPop3OptionSecureImplicit | kPop3OptionTrustedSite, true, 0},
  };
  for (const Case& c : cases) {
    const LibHandle h = OpenAndLogin(c.options, c.tlsPort);
    ASSERT_NE(h, kInvalidLibHandle) << c.name;
    SecSessionInfo info{};
    info.size = sizeof info;
    ASSERT_EQ(Pop3GetSecurityInfo(h, &info), 0);
    EXPECT_EQ(info.protocol, plat::kTlsProtocolTls12) << c.name;
    EXPECT_GE(info.cipherStrength, 128u) << c.name;
    EXPECT_EQ(info.certificateStatus, c.certificateStatus) << c.name;
    ASSERT_NE(info.subject, nullptr);
    EXPECT_NE(std::string(info.subject).find("localhost"), std::string::npos) << c.name;
    EXPECT_TRUE(Sorted(RetrieveAll(h)) == Sorted(Messages())) << c.name;
    // A reader taking one byte at a time gets the decrypted records whole.
    ASSERT_EQ(Pop3OpenMessage(h, 1, 0), 0);
    std::string bytes;
    char byte;
    while (Pop3ReadData(h, &byte, 1) == 1) bytes += byte;
    EXPECT_EQ(int32_t(bytes.size()), Pop3GetMessageSize(h, 1)) << c.name;
    EXPECT_EQ(Pop3Disconnect(h), 0);
  }
}

TEST_F(DovecotTest, ProgressOfALargeMessage) {
  HostWindow window;
  const LibHandle h = OpenAndLogin();
  ASSERT_NE(h, kInvalidLibHandle);
  // The mail control's registration: time-outs, cancels and progress only.
  ASSERT_EQ(Pop3RegisterEvents(h, window.hwnd(), HostWindow::kMessage, 176), 0);
  std::vector<MessageTransferStatus> seen;
  Pop3SetEventCallback(
      h, cvmail::kMailEventProgress,
      [](LibHandle handle, uint32_t, uint32_t, uintptr_t p) {
        MessageTransferStatus st{};
        Pop3GetTransferStatus(handle, &st);
        reinterpret_cast<std::vector<MessageTransferStatus>*>(p)->push_back(st);
        return 0;
      },
      reinterpret_cast<uintptr_t>(&seen));
  std::vector<std::string> texts = RetrieveAll(h);
  const std::string& big = Messages()[2];
  const auto at = std::find(texts.begin(), texts.end(), big);
  ASSERT_NE(at, texts.end());
  EXPECT_EQ(window.Count(cvmail::kMailEventCommand), 0u);
  EXPECT_EQ(window.Count(cvmail::kMailEventRead), 0u);
  EXPECT_GE(window.Count(cvmail::kMailEventProgress), big.size() / 4096);
  EXPECT_EQ(window.Count(cvmail::kMailEventProgress), seen.size());
  uint32_t copied = 0;
  for (const auto& st : seen) {
    if (st.message != uint32_t(at - texts.begin()) + 1) continue;
    EXPECT_GT(st.copied, copied);
    EXPECT_EQ(st.size, big.size());
    copied = st.copied;
  }
  EXPECT_EQ(copied, big.size());
  Pop3Disconnect(h);
}

// A read handed to a sink piece by piece gives the text, size and progress events a read
// into one block gives, whole messages and headers alike.
TEST_F(DovecotTest, ReadingToASinkMatchesReadingIntoABlock) {
  const LibHandle h = OpenAndLogin();
  ASSERT_NE(h, kInvalidLibHandle);
  uint32_t progress = 0;
  Pop3SetEventCallback(
      h, cvmail::kMailEventProgress,
      [](LibHandle, uint32_t, uint32_t, uintptr_t p) {
        ++*reinterpret_cast<uint32_t*>(p);
        return 0;
      },
      reinterpret_cast<uintptr_t>(&progress));
  const MailTextSink append = [](void* context, const char* text, uint32_t length) {
    static_cast<std::string*>(context)->append(text, length);
  };
  for (uint32_t message = 1; message <= 3; ++message) {
    for (const uint32_t flags : {0u, kPop3ReadHeadersOnly}) {
      progress = 0;
      const std::string block = Retrieve(h, message, flags);
      const uint32_t blockEvents = progress;
      progress = 0;
      std::string pieces;
      uint32_t size = 0;
      ASSERT_EQ(Pop3RetrieveMessageTo(h, message, flags, append, &pieces, &size), 0) << std::hex << Pop3GetLastError();
      EXPECT_EQ(pieces, block) << message << " " << flags;
      EXPECT_EQ(size, block.size());
      EXPECT_EQ(progress, blockEvents);
    }
  }
  EXPECT_EQ(Pop3RetrieveMessageTo(h, 9, 0, append, nullptr, nullptr), -1);
  EXPECT_EQ(Pop3RetrieveMessageTo(h, 1, 0, nullptr, nullptr, nullptr), -1);
  EXPECT_EQ(Pop3GetLastError(), cvErrorInvalidParameter);
  Pop3Disconnect(h);
}

TEST_F(DovecotTest, WindowMessageModeReadsOnReadEvents) {
  HostWindow window;
  const LibHandle h = OpenAndLogin();
  ASSERT_NE(h, kInvalidLibHandle);
  ASSERT_EQ(Pop3RegisterEvents(h, window.hwnd(), HostWindow::kMessage, 0xFF), 0);
  // Commands still answer in this mode, with a command event each.
  EXPECT_EQ(Pop3SendCommand(h, "NOOP", nullptr), 1);
  EXPECT_EQ(window.Count(cvmail::kMailEventCommand), 1u);

  uint32_t number = 0;
  for (uint32_t i = 1; i <= 3 && !number; ++i)
    if (Pop3GetMessageSize(h, i) == int32_t(Messages()[2].size())) number = i;
  ASSERT_NE(number, 0u);
  ASSERT_EQ(Pop3OpenMessage(h, number, 0), 0);
  std::string got;
  bool ended = false;
  size_t handled = 0;
  EXPECT_TRUE(PumpUntil(
      [&] {
        if (window.Count(cvmail::kMailEventRead) == handled) return false;
        handled = window.Count(cvmail::kMailEventRead);
        char buffer[4096];
        for (;;) {
          const int32_t n = Pop3ReadData(h, buffer, sizeof buffer);
          if (n > 0) {
            got.append(buffer, size_t(n));
            continue;
          }
          if (n == 0) return ended = true;
          EXPECT_EQ(Pop3GetLastError(), kCvErrorBase | 10035u);  // nothing more yet
          return false;
        }
      },
      20000));
  EXPECT_TRUE(ended);
  EXPECT_EQ(got.size(), Messages()[2].size());
  EXPECT_TRUE(got == Messages()[2]);
  EXPECT_EQ(Pop3CloseMessage(h), 0);
  EXPECT_EQ(Pop3SendCommand(h, "NOOP", nullptr), 1);
  Pop3Disconnect(h);
}

class DovecotIpv6Test : public DovecotTest {
 protected:
  void SetUp() override {
    Pop3Test::SetUp();
    StartPeer(AF_INET6);
  }
};

TEST_F(DovecotIpv6Test, LoginAndReadOverIpv6) {
  const LibHandle h = OpenAndLogin(kPop3OptionIpv6Only | kPop3OptionSecure | kPop3OptionTrustedSite);
  ASSERT_NE(h, kInvalidLibHandle);
  SockAddress local{};
  EXPECT_EQ(Pop3GetLocalAddress(h, &local), 23);
  EXPECT_EQ(local.address[15], 1);
  EXPECT_TRUE(Sorted(RetrieveAll(h)) == Sorted(Messages()));
  Pop3Disconnect(h);
}

}  // namespace
}  // namespace pop3test
