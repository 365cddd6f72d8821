// SEARCH against dovecot on a mailbox of 10,000 messages: the answer is one line of about
// 50 KB, far longer than the response text a session keeps, and every number of it counts.
#include <memory>
#include <sstream>
#include <string>
#include <vector>

#include "core/errors/error_codes.h"
#include "dovecot_imap_peer.h"
#include "imap_test_support.h"

namespace imaptest {
namespace {

constexpr uint32_t kMessages = 10000;

class DovecotLargeMailbox : public ImapTest {
 protected:
  void SetUp() override {
    ImapTest::SetUp();
    peer_ = std::make_unique<cvpeers::PeerProcess>(DovecotImapOptions(AF_INET));
    std::vector<std::string> messages;
    messages.reserve(kMessages);
    for (uint32_t i = 1; i <= kMessages; ++i)
      messages.push_back("From: a@example.org\r\nSubject: " + std::to_string(i) + "\r\n\r\nbody\r\n");
    if (!PrepareDovecot(*peer_, messages)) GTEST_SKIP() << "dovecot set-up not possible here";
    CV_START_PEER(*peer_);
  }
  std::unique_ptr<cvpeers::PeerProcess> peer_;
};

TEST_F(DovecotLargeMailbox, SearchResultsAreWhole) {
  const LibHandle h = ImapConnect(peer_->address().c_str(), peer_->port(), 60, 0, nullptr);
  ASSERT_NE(h, kInvalidLibHandle) << std::hex << ImapGetLastError() << "\n" << peer_->Diagnostics();
  // What the server said last and what it logged, for any step that fails.
  const auto why = [&] {
    std::ostringstream text;
    text << std::hex << ImapGetLastError() << " " << ImapGetResponseText(h) << "\n" << peer_->Diagnostics();
    return text.str();
  };
  ASSERT_EQ(ImapLogin(h, kDovecotUser, kDovecotPassword), 1) << why();
  ImapMailboxStatus status{};
  ASSERT_EQ(ImapSelectMailbox(h, "INBOX", &status), 1) << why();
  ASSERT_EQ(status.messages, kMessages) << why();

  EXPECT_EQ(ImapSearchMailbox(h, "ALL", nullptr, nullptr, 0), int32_t(kMessages)) << why();
  std::vector<uint32_t> numbers(kMessages);
  ASSERT_EQ(ImapSearchMailbox(h, "ALL", nullptr, numbers.data(), int32_t(kMessages)), int32_t(kMessages)) << why();
  for (uint32_t i = 0; i < kMessages; ++i) ASSERT_EQ(numbers[i], i + 1) << i;

  ASSERT_EQ(ImapSendCommand(h, "STORE", "1:3000 +FLAGS.SILENT (\\Seen)"), 1) << why();
  EXPECT_EQ(ImapSearchMailbox(h, "UNSEEN", nullptr, nullptr, 0), int32_t(kMessages - 3000)) << why();
  EXPECT_EQ(ImapSearchMailbox(h, "UNSEEN", nullptr, numbers.data(), 2), int32_t(kMessages - 3000)) << why();
  EXPECT_EQ(numbers[0], 3001u);
  EXPECT_EQ(numbers[1], 3002u);
  EXPECT_EQ(ImapDisconnect(h), 0);
}

}  // namespace
}  // namespace imaptest
