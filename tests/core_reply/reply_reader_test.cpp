// The numbered-reply reader FTP and SMTP share: one grammar, two ways of joining lines,
// limits, resuming a reply and its deadline.
#include <gtest/gtest.h>

#include <string>

#include "core/reply/reply_reader.h"

using cvcore::ReplyLimits;
using cvcore::ReplyReader;

namespace {

struct Read {
  ReplyReader::Status status;
  uint32_t code;
  std::string text, raw;
  size_t used;  // bytes taken up to the end of the reply
};

Read Feed(const std::string& bytes, const ReplyLimits& limits) {
  std::string text(limits.textSize, '#'), raw(limits.textSize, '#');
  ReplyReader r;
  r.Start(limits, text.data(), raw.data());
  Read out{ReplyReader::Status::More, 0, {}, {}, 0};
  while (out.used < bytes.size() && out.status == ReplyReader::Status::More) out.status = r.Feed(bytes[out.used++]);
  r.Finish();
  out.code = r.code();
  out.text = text.c_str();
  out.raw = raw.c_str();
  return out;
}

constexpr ReplyLimits kLines = {64, 4096, true};    // lines kept apart (FTP)
constexpr ReplyLimits kJoined = {64, 4096, false};  // lines joined with blanks (SMTP)

TEST(ReplyReader, GrammarInBothJoinModes) {
  struct Case {
    const char* name;
    std::string bytes;
    uint32_t code;
    std::string lines;   // text with line feeds kept
    std::string joined;  // text with lines joined
  } cases[] = {
      {"single", "250 ok\r\n", 250, "ok", "ok"},
      {"three lines", "220-A\r\n220-B\r\n220 C\r\n", 220, "A\n B\n C", "A B C"},
      {"blank-led lines", "211-Features:\r\n MDTM\r\n SIZE\r\n211 End\r\n", 211, "Features:\n MDTM\n SIZE\n End",
       "Features: MDTM SIZE End"},
      {"other code inside", "226-first\r\n150 x\r\n226 done\r\n", 226, "first\n150 x\n done", "first 150 x done"},
      {"line without code", "250-one\r\nplain\r\n250 two\r\n", 250, "one\nplain\n two", "one plain two"},
      {"white space runs", "200  a \t b   \r\n", 200, "a b", "a b"},
      {"bare code, LF only", "200\n", 200, "", ""},
      {"NUL and CR dropped", std::string("200 a\0b\rc\r\n", 11), 200, "abc", "abc"},
      {"cut at the text size", "200 " + std::string(100, 'x') + "\r\n", 200, std::string(63, 'x'),
       std::string(63, 'x')},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.name);
    for (const bool keep : {true, false}) {
      const Read r = Feed(c.bytes + "999 next\r\n", keep ? kLines : kJoined);
      EXPECT_EQ(r.status, ReplyReader::Status::Done);
      EXPECT_EQ(r.code, c.code);
      EXPECT_EQ(r.used, c.bytes.size());  // nothing of the next reply is taken
      EXPECT_EQ(r.text, keep ? c.lines : c.joined);
    }
  }
  // The raw copy keeps the lines as sent, codes included.
  EXPECT_EQ(Feed("220-A  b\r\n220 C\r\n", kLines).raw, "220-A  b\n220 C");
}

TEST(ReplyReader, RefusesBadCodesAndEndlessReplies) {
  EXPECT_EQ(Feed("2x0 no\r\n", kLines).status, ReplyReader::Status::BadCode);
  EXPECT_EQ(Feed("hello\r\n", kJoined).status, ReplyReader::Status::BadCode);
  std::string endless = "250-";
  while (endless.size() < 5000) endless += "250-more\r\n";
  EXPECT_EQ(Feed(endless, kJoined).status, ReplyReader::Status::TooLong);
}

// A reply interrupted (a wait ran out) is finished by later calls with the same state.
TEST(ReplyReader, ResumesWhereItStopped) {
  char text[64];
  ReplyReader r;
  r.Start(kLines, text);
  for (char c : std::string("220-A\r\n22")) EXPECT_EQ(r.Feed(c), ReplyReader::Status::More);
  ReplyReader later = r;
  ReplyReader::Status s = ReplyReader::Status::More;
  for (char c : std::string("0 B\r\n")) s = later.Feed(c);
  later.Finish();
  EXPECT_EQ(s, ReplyReader::Status::Done);
  EXPECT_STREQ(text, "A\n B");
}

TEST(ReplyReader, DeadlineAcrossTheTickWrap) {
  ReplyReader r;
  EXPECT_EQ(r.TimeLeft(5, 1000), 1000u);  // unarmed: the caller's wait as it is
  r.Arm(0xFFFFFF00u, 1000);               // the deadline lies past the wrap
  EXPECT_EQ(r.TimeLeft(0xFFFFFF00u, 5000), 1000u);
  EXPECT_EQ(r.TimeLeft(0xFFFFFF00u, 300), 300u);
  EXPECT_EQ(r.TimeLeft(0x100u, 5000), 1000u - 0x200u);
  EXPECT_EQ(r.TimeLeft(0x300u, 5000), 0u);
  r.Disarm();
  EXPECT_EQ(r.TimeLeft(0x300u, 5000), 5000u);
}

}  // namespace
