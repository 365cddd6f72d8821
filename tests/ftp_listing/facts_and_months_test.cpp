// MLSD/MLST fact lines and month names.
#include <gtest/gtest.h>

#include <string>

#include "core/errors/error_codes.h"
#include "ftp/listing/list_parser.h"

namespace {

using cvftp::listing::ParseFacts;

TEST(Facts, DirectoryWithTimeAndNoPermissions) {
  FtpFileInfoEx info;
  ASSERT_EQ(ParseFacts("type=dir;modify=20240131235959;perm=el; docs", info), 0u);
  EXPECT_STREQ(info.name, "docs");
  EXPECT_EQ(info.directory, 1u);
  EXPECT_EQ(info.permissions, 0u);
  const SYSTEMTIME& t = info.modified;
  EXPECT_EQ(std::vector<int>({t.wYear, t.wMonth, t.wDay, t.wHour, t.wMinute, t.wSecond, t.wDayOfWeek}),
            std::vector<int>({2024, 1, 31, 23, 59, 59, 3}));
}

TEST(Facts, FileFactsInAnyCaseAndOrder) {
  FtpFileInfoEx info;
  ASSERT_EQ(ParseFacts("Size=18446744073709551615;TYPE=file;UNIX.mode=0640;unix.uid=1000;unix.gid=100;"
                       "modify=20200303100000.123; big.bin\r\n",
                       info),
            0u);
  EXPECT_STREQ(info.name, "big.bin");
  EXPECT_EQ(info.size, UINT64_MAX);
  EXPECT_EQ(info.directory, 0u);
  EXPECT_EQ(info.permissions, 0640u);
  EXPECT_STREQ(info.owner, "1000");
  EXPECT_STREQ(info.group, "100");
  EXPECT_EQ(info.modified.wYear, 2020);
  EXPECT_EQ(info.modified.wMilliseconds, 0);
}

TEST(Facts, ReplyLinesAroundTheFactsAreSkipped) {
  // An MLST reply: the text before the facts and the closing line are not part of the entry.
  FtpFileInfoEx info;
  ASSERT_EQ(ParseFacts("Start of list for a b.txt\r\n modify=20261210125325;perm=adfrw;size=5;type=file; "
                       "/srv/a b.txt\r\nEnd of list",
                       info),
            0u);
  EXPECT_STREQ(info.name, "/srv/a b.txt");
  EXPECT_EQ(info.size, 5u);
  EXPECT_EQ(info.permissions, 0600u);  // perm r and w
}

TEST(Facts, NamesMayHoldSemicolonsAndEqualSigns) {
  FtpFileInfoEx info;
  ASSERT_EQ(ParseFacts("type=file;size=1; a;b=c.txt", info), 0u);
  EXPECT_STREQ(info.name, "a;b=c.txt");
  // Without the blank that ends the facts, the first piece that is no fact is the name.
  ASSERT_EQ(ParseFacts("type=file;size=2;plain", info), 0u);
  EXPECT_STREQ(info.name, "plain");
  EXPECT_EQ(info.size, 2u);
}

TEST(Facts, UnusableValuesAreIgnored) {
  FtpFileInfoEx info;
  ASSERT_EQ(ParseFacts("size=99999999999999999999;modify=2024013;unique=x;type=OS.unix=symlink;perm=; n", info), 0u);
  EXPECT_EQ(info.size, 0u);
  EXPECT_EQ(info.modified.wYear, 0);
  EXPECT_EQ(info.directory, 0u);
  ASSERT_EQ(ParseFacts("modify=20241399000000; n", info), 0u);  // month 13
  EXPECT_EQ(info.modified.wYear, 0);
}

TEST(Facts, Refusals) {
  FtpFileInfoEx info;
  EXPECT_EQ(ParseFacts(nullptr, info), cvErrorInvalidParameter);
  EXPECT_EQ(ParseFacts("", info), cvErrorInvalidParameter);
  EXPECT_EQ(ParseFacts("no facts here", info), cvErrorUnexpectedServerResponse);
  EXPECT_EQ(ParseFacts("type=file;=x; n", info), cvErrorUnknownDirectoryFormat);
  EXPECT_EQ(ParseFacts("type=file;size=5;", info), cvErrorUnknownDirectoryFormat);
  EXPECT_EQ(ParseFacts("type=file;size=5; \r\n", info), cvErrorUnknownDirectoryFormat);
}

TEST(Months, FormsOfTheTable) {
  struct Case {
    const char* text;
    uint32_t month;
  } cases[] = {
      {"FEB", 2},          {"F\xC9V", 2},  {"f\xE9v", 2},   {"february", 2}, {"Ao\xFBt", 8}, {"M\xE4r", 3},
      {"Febr.", 0},        {"F\xE9vrier", 0}, {"", 0},       {"jan", 1},     {"DEZ", 12},   {"Okt", 10},
      {"noiabr", 11},      {"iuglio", 7},  {"septembers", 0}, {"ja", 0},     {"123", 0},    {"MAIOS", 5},
      // The same letters in UTF-8, as servers in a UTF-8 locale list them.
      {"M\xC3\xA4r", 3}, {"ao\xC3\xBBt", 8}, {"F\xC3\x89V", 2}, {"d\xC3\xA9" "c", 12}, {"\xC3", 0},
  };
  for (const Case& c : cases) EXPECT_EQ(FtpMonthFromName(c.text), c.month) << c.text;
  EXPECT_EQ(FtpMonthFromName(nullptr), 0u);
  EXPECT_EQ(FtpMonthFromName(std::string(5000, 'a').c_str()), 0u);
}

}  // namespace
