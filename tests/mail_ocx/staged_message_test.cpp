// A retrieved message parsed read by read: whatever the pieces, the message object is the
// one its whole text gives (folded header lines included, whose line feed may end a piece).
#include <gtest/gtest.h>

#include <string>
#include <vector>

#include "mail/ocx/staged_message.h"
#include "mime/mime.h"
#include "platform/base/heap.h"

namespace {

const std::string kText =
    "Received: from a\r\n"
    "\tby b; Mon, 7 Dec 2026 10:00:00 +0000\r\n"
    "To: Ann <ann@example.org>,\r\n"
    "    Bob <bob@example.org>\r\n"
    "Subject: folded\r\n"
    "\t \there\r\n"
    "Content-Type: multipart/mixed;\r\n"
    "\tboundary=\"b\"\r\n"
    "\r\n"
    "--b\r\n"
    "Content-Type: text/plain\r\n"
    "\r\n"
    "line\n"
    "\n"
    "--b--\r\n";

// The headers of part 0 as stored, and the exported text.
std::string Exported(LibHandle h) {
  std::string headers;
  for (const char* name : {"Received", "To", "Subject", "Content-Type"}) {
    char value[1024] = "";
    MimeGetPartHeader(h, 0, name, value, sizeof value);
    headers += std::string(name) + "=" + value + "\n";
  }
  uint32_t size = 0;
  plat::HGLOBAL block = nullptr;
  if (!MimeExportMessage(h, kMimeExportGlobal, 0, nullptr, &block, &size)) return "<export failed>";
  plat::UniqueGlobal owned(block);
  std::string text(static_cast<const char*>(plat::GlobalLock(block)), size);
  plat::GlobalUnlock(block);
  return headers + text;
}

// The message object a list of pieces gives.
std::string Staged(const std::vector<std::string>& pieces) {
  mailctl::StagedMessage staged;
  EXPECT_TRUE(staged.Create(true));
  for (const std::string& piece : pieces) mailctl::StagedMessage::Take(&staged, piece.data(), uint32_t(piece.size()));
  const LibHandle h = staged.Finish();
  const std::string text = Exported(h);
  MimeDestroyMessage(h);
  return text;
}

class StagedMessageTest : public ::testing::Test {
 protected:
  void SetUp() override { ASSERT_EQ(MimeAttach(nullptr), 1); }
  void TearDown() override { MimeDetach(); }
};

TEST_F(StagedMessageTest, PiecesParseAsTheWholeText) {
  const std::string whole = Staged({kText});
  for (size_t cut = 1; cut < kText.size(); ++cut)
    ASSERT_EQ(Staged({kText.substr(0, cut), kText.substr(cut)}), whole) << "cut after " << cut;
  std::vector<std::string> bytes;
  for (const char c : kText) bytes.emplace_back(1, c);
  EXPECT_EQ(Staged(bytes), whole);
  // A line feed on its own, and an empty piece, between the others.
  EXPECT_EQ(Staged({kText.substr(0, 17), "\n", "", kText.substr(18)}), whole);
}

// A fold joined within one piece makes one line, cut at the line buffer's size; the same
// fold met at the end of a piece would join two lines of their own, longer than that.
TEST_F(StagedMessageTest, AFoldAtTheEndOfAPieceIsJoinedAsInTheWholeText) {
  const std::string first = "Subject: " + std::string(40000, 'a') + "\r\n";
  const std::string text = first + " " + std::string(40000, 'b') + "\r\n\r\nbody\r\n";
  const std::string whole = Staged({text});
  EXPECT_EQ(Staged({first, text.substr(first.size())}), whole);
}

}  // namespace
