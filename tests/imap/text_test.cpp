// The text helpers: quoted strings, capability words, flag lists and mailbox names in
// modified UTF-7.
#include <gtest/gtest.h>

#include <string>

#include "imap/imap.h"

namespace {

std::string Quote(const char* text) {
  char out[128];
  const int32_t n = ImapQuoteString(text, out, sizeof out);
  return n > 0 ? std::string(out, size_t(n)) : "<fail>";
}

TEST(ImapText, QuotedStrings) {
  struct Case {
    const char* in;
    std::string out;
  } cases[] = {
      {"bob", "\"bob\""},
      {"pa\"ss", "\"pa\\\"ss\""},          // a double quote is escaped
      {"back\\slash", "\"back\\\\slash\""},  // so is every backslash, whatever follows it
      {"a\\\"b", "\"a\\\\\\\"b\""},
      {"it's", "\"it's\""},                // an apostrophe needs nothing
      {"\"already\"", "\"already\""},      // quoted text is kept as it is
      {"'single'", "'single'"},
      {"", "\"\""},
  };
  for (const auto& c : cases) EXPECT_EQ(Quote(c.in), c.out) << c.in;
  EXPECT_EQ(Quote(std::string(125, 'x').c_str()), '"' + std::string(125, 'x') + '"');
  EXPECT_EQ(Quote(std::string(126, 'x').c_str()), "<fail>");
  EXPECT_EQ(Quote(("a" + std::string(63, '"')).c_str()), "<fail>");  // 127 once escaped
}

TEST(ImapText, CapabilityWords) {
  const char* caps = "IMAP4rev1 SASL-IR LOGIN-REFERRALS IDLE AUTH=PLAIN";
  EXPECT_TRUE(ImapFindText(caps, "idle"));
  EXPECT_TRUE(ImapFindText(caps, "IMAP4REV1"));
  EXPECT_FALSE(ImapFindText(caps, "ID"));  // not a part of IDLE
  EXPECT_FALSE(ImapFindText(caps, "AUTH"));
  EXPECT_TRUE(ImapFindText("[CAPABILITY ID UNSELECT]", "UNSELECT"));
  EXPECT_FALSE(ImapFindText("", "ID"));
}

TEST(ImapText, FlagLists) {
  EXPECT_EQ(ImapParseFlagList("FLAGS (\\Seen \\deleted $Junk \\Answered)"), 8u | 512u | 1u);
  EXPECT_EQ(ImapParseFlagList("(\\HasNoChildren \\Noselect \\Marked)"), 0x20000u | 0x40000u);
  EXPECT_EQ(ImapParseFlagList("(\\Unmarked \\Noinferiors)"), 0x80000u | 0x10000u);
  EXPECT_EQ(ImapParseFlagList("(\\Flagged \\Draft \\Recent \\*)"), 4u | 2u | 256u);
  EXPECT_EQ(ImapParseFlagList("no list \\Seen"), 0u);
  EXPECT_EQ(ImapParseFlagList("(\\Seen"), 8u);  // unbalanced: read to the end

  char out[128];
  EXPECT_EQ(ImapFormatFlagList(8 | 512, out, sizeof out), 16);
  EXPECT_STREQ(out, "(\\SEEN \\DELETED)");
  EXPECT_EQ(ImapFormatFlagList(0, out, sizeof out), 2);
  EXPECT_STREQ(out, "()");
  EXPECT_GT(ImapFormatFlagList(0xF030F, out, sizeof out), 0);
  EXPECT_EQ(ImapParseFlagList(out), 0xF030Fu);
}

TEST(ImapText, MailboxNamesInModifiedUtf7) {
  struct Case {
    const char* name;
    const char* wire;
  } cases[] = {
      {"INBOX", "INBOX"},
      {"Entw\xC3\xBCrfe", "Entw&APw-rfe"},       // u-umlaut between ASCII letters
      {"Caf\xC3\xA9", "Caf&AOk-"},               // ends in a non-ASCII character
      {"Tom & Jerry", "Tom &- Jerry"},
      {"\xE5\x8F\xB0\xE5\x8C\x97", "&U,BTFw-"},  // two units in one run
      {"\xF0\x9F\x98\x80", "&2D3eAA-"},          // a surrogate pair
      {"tab\there", "tab&AAk-here"},
  };
  for (const auto& c : cases) {
    char wire[512];
    EXPECT_EQ(ImapEncodeMailboxName(c.name, wire), int32_t(strlen(c.wire))) << c.name;
    EXPECT_STREQ(wire, c.wire);
    char back[256];
    EXPECT_EQ(ImapDecodeMailboxName(c.wire, back), int32_t(strlen(c.name)));
    EXPECT_STREQ(back, c.name);
  }
  // A name whose wire form would be cut short has none.
  std::string wide;
  for (int i = 0; i < 200; ++i) wide += "\xC3\xBC";
  char wire[512];
  EXPECT_EQ(ImapEncodeMailboxName(wide.c_str(), wire), 0);
  // A base64 run ends at the first character outside its alphabet.
  char back[256];
  ImapDecodeMailboxName("&APw.x", back);
  EXPECT_STREQ(back, "\xC3\xBC.x");
}

}  // namespace
