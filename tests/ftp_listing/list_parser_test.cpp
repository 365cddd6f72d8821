// Listing lines of every server format into entries: format detection, fields, dates with
// and without a year, and lines that must be refused.
#include <gtest/gtest.h>

#include <cstdlib>
#include <string>
#include <vector>

#include "ftp/listing/list_parser.h"

using cvftp::listing::LineResult;
using cvftp::listing::ParseContext;

namespace {

// One parsed line in its own block (as the session keeps them, minus the heap).
struct Parsed {
  std::vector<unsigned char> block;
  FtpListEntry* entry = nullptr;
  LineResult result = LineResult::Unknown;
  uint32_t format = 0;
};

Parsed Parse(const std::string& line, uint32_t system, uint32_t format = 0, bool sftp = false) {
  Parsed p;
  p.block.assign(cvftp::listing::EntryBlockSize(line.size()), 0);
  p.entry = cvftp::listing::PlaceEntry(p.block.data(), line);
  ParseContext c;
  c.systemType = system;
  c.sftp = sftp;
  c.currentYear = 2026;
  c.currentMonth = 6;
  p.format = format;
  p.result = cvftp::listing::ParseLine(*p.entry, c, p.format);
  return p;
}

std::string Text(const char* s) { return s ? s : "(none)"; }

constexpr uint32_t kAnyCount = UINT32_MAX;

struct LineCase {
  const char* label;
  uint32_t system;
  const char* line;
  uint32_t format;  // detected format
  const char* name;
  const char* owner;
  const char* group;
  uint32_t directory;
  uint32_t link;
  uint64_t size;
  uint32_t permissions;
  uint16_t year, month, day, hour, minute;
  const char* target = nullptr;
  uint32_t version = 0;
  uint32_t linkCount = kAnyCount;
};

void PrintTo(const LineCase& c, std::ostream* os) { *os << c.label; }

const LineCase kLines[] = {
    {"unix file, time instead of year", 1, "-rw-r--r--   1 ftp      ftp          1234 Jan  5 12:34 report.txt", 1,
     "report.txt", "ftp", "ftp", 0, 0, 1234, 0644, 2026, 1, 5, 12, 34, nullptr, 0, 1},
    {"unix setgid directory adds no execute for s", 1, "drwxr-sr-x   2 ftp ftp 4096 Jan  5 12:34 pub", 1, "pub",
     "ftp", "ftp", 1, 0, 4096, 0745, 2026, 1, 5, 12, 34, nullptr, 0, 2},
    {"unix link with target", 1, "lrwxrwxrwx 1 root root 7 Mar 3 2020 lib -> usr/lib", 1, "lib", "root", "root", 0,
     1, 7, 0x1000 | 0777, 2020, 3, 3, 0, 0, "usr/lib", 0, 1},
    {"unix link without target is a directory", 1, "lrwxrwxrwx 1 root root 7 Mar 3 2020 lib", 1, "lib", "root",
     "root", 1, 1, 7, 0x1000 | 0777, 2020, 3, 3, 0, 0},
    {"unix single name column, inner blank kept", 1, "-rw-r--r-- 1 ftp 1234 Feb 29 2024 a b.txt", 1, "a b.txt", "",
     "ftp", 0, 0, 1234, 0644, 2024, 2, 29, 0, 0},
    {"unix month ahead of now is last year", 1, "-rw------- 1 u g 5 Dec 24 10:00 old", 1, "old", "u", "g", 0, 0, 5,
     0600, 2025, 12, 24, 10, 0},
    {"unix largest size", 1, "-rw-r--r-- 1 u g 18446744073709551615 Jan 1 2020 big", 1, "big", "u", "g", 0, 0,
     UINT64_MAX, 0644, 2020, 1, 1, 0, 0},
    {"unix name keeps control characters and trailing text", 1, "-rw-r--r-- 1 u g 1 Jan 1 2020 a\x1b[0m\tb\r\n", 1,
     "a\x1b[0m\tb", "u", "g", 0, 0, 1, 0644, 2020, 1, 1, 0, 0},
    {"unix localised month", 1, "-rw-r--r-- 1 u g 1 Mai 7 2021 x", 1, "x", "u", "g", 0, 0, 1, 0644, 2021, 5, 7, 0, 0},
    {"unix line on a server of unknown type", 255, "-rwxr-xr-x 1 u g 1 Jan 1 2020 x", 1, "x", "u", "g", 0, 0, 1,
     0755, 2020, 1, 1, 0, 0},
    {"windows directory", 3, "01-31-24  11:15PM       <DIR>          Program Files", 2, "Program Files", nullptr,
     nullptr, 1, 0, 0, 0666, 2024, 1, 31, 23, 15},
    {"windows executable, two-digit year below 1980", 3, "12-01-79  12:00AM                   10 x.exe", 2, "x.exe",
     nullptr, nullptr, 0, 0, 10, 0555, 2079, 12, 1, 0, 0},
    {"windows plain file, four-digit year", 2, "07-04-2023  09:05AM  77 notes.TXT", 2, "notes.TXT", nullptr, nullptr, 0,
     0, 77, 0444, 2023, 7, 4, 9, 5},
    {"ms-dos line detected on a unix server", 1, "07-04-2023  21:05  77 n", 2, "n", nullptr, nullptr, 0, 0, 77, 0, 2023,
     7, 4, 21, 5},
    {"vms directory with owner and protection", 4,
     "CV.DIR;1  1/3  14-DEC-2023 10:21:33.12  [GROUP,OWNER]  (RWED,RWED,RE,)", 3, "CV", "OWNER", "GROUP", 1, 0, 512,
     0750, 2023, 12, 14, 10, 21, nullptr, 1},
    {"vms file without details after the date", 4, "LOGIN.COM;12  2  1-JAN-99", 3, "LOGIN.COM", "", "", 0, 0, 1024,
     0777, 1999, 1, 1, 0, 0, nullptr, 12},
    {"vms owner alone in brackets, world rights", 4, "A.TXT;3 4 2-FEB-2001 [SYSTEM] (RWED,RWED,R,RE)", 3, "A.TXT",
     "SYSTEM", "", 0, 0, 2048, 0745, 2001, 2, 2, 0, 0, nullptr, 3},
    {"vms token after the date that is no bracket", 4, "B.C;1 1 3-MAR-2002 12:00 something", 3, "B.C", nullptr,
     nullptr, 0, 0, 512, 0, 2002, 3, 3, 12, 0, nullptr, 1},
    {"netware directory, rights in their own token", 5, "d [RWCEAFMS] admin 512 Apr 10 2023 PUBLIC", 6, "PUBLIC",
     "admin", nullptr, 1, 0, 512, 0666, 2023, 4, 10, 0, 0},
    {"netware file, read and file-scan rights", 5, "- [R----F--] jsmith 2048 Jan 02 10:15 notes.txt", 6,
     "notes.txt", "jsmith", nullptr, 0, 0, 2048, 0644, 2026, 1, 2, 10, 15},
    {"sterling with transfer status", 0, "-AR--M----TCP A ANONYMOUS mbox 1234 Jan 10 2019 file.txt", 4, "file.txt",
     "A ANONYMOUS", "mbox", 0, 0, 1234, 0x4000000 | 1 | (1 << 17) | (1 << 12), 2019, 1, 10, 0, 0},
    {"sterling with unknown status", 0, "-A--------zzz o w g 1 Jan 10 2019 f", 4, "f", "o w", "g", 0, 0, 1,
     0x80000000u | 1, 2019, 1, 10, 0, 0},
    {"sterling short status, owner 1", 0, "-AR------- 1 ftp mbox 99 Feb 1 2022 x y", 5, "x y", "1 ftp", "#mbox", 0, 0,
     99, 0x8000000 | 1 | (1 << 17), 2022, 2, 1, 0, 0},
};

class ListLines : public ::testing::TestWithParam<LineCase> {};

TEST_P(ListLines, Parse) {
  const LineCase& c = GetParam();
  Parsed p = Parse(c.line, c.system);
  ASSERT_EQ(p.result, LineResult::Entry);
  const FtpListEntry& e = *p.entry;
  EXPECT_EQ(p.format, c.format);
  EXPECT_EQ(Text(e.name), Text(c.name));
  EXPECT_EQ(Text(e.owner), Text(c.owner));
  EXPECT_EQ(Text(e.group), Text(c.group));
  EXPECT_EQ(Text(e.linkTarget), Text(c.target));
  EXPECT_EQ(e.directory, c.directory);
  EXPECT_EQ(e.link, c.link);
  EXPECT_EQ(e.size, c.size);
  EXPECT_EQ(e.permissions, c.permissions) << std::oct << e.permissions;
  EXPECT_EQ(e.version, c.version);
  if (c.linkCount != kAnyCount) {
    EXPECT_EQ(e.linkCount, c.linkCount);
  }
  const SYSTEMTIME& t = e.modified;
  EXPECT_EQ(std::vector<int>({t.wYear, t.wMonth, t.wDay, t.wHour, t.wMinute, t.wSecond, t.wMilliseconds}),
            std::vector<int>({c.year, c.month, c.day, c.hour, c.minute, 0, 0}));
  EXPECT_EQ(t.wDayOfWeek, cvftp::listing::DayOfWeek(c.year, c.month, c.day));
}

INSTANTIATE_TEST_SUITE_P(Formats, ListLines, ::testing::ValuesIn(kLines), [](const auto& info) {
  std::string n;
  for (const char* p = info.param.label; *p; ++p) n += std::isalnum(static_cast<unsigned char>(*p)) ? *p : '_';
  return n;
});

struct BadCase {
  const char* label;
  uint32_t system;
  uint32_t format;
  const char* line;
};

const BadCase kBadLines[] = {
    {"empty", 1, 0, ""},
    {"blanks only", 1, 0, "  \t \r\n"},
    {"total line", 1, 0, "total 42"},
    {"unix line cut after the month", 1, 0, "-rw-r--r-- 1 ftp ftp 1234 Jan"},
    {"unix line without a name", 1, 0, "-rw-r--r-- 1 ftp ftp 1234 Jan 5 12:34   "},
    {"unix size beyond 64 bits", 1, 0, "-rw-r--r-- 1 u g 18446744073709551616 Jan 5 2020 x"},
    {"unix size not a number", 1, 0, "-rw-r--r-- 1 u g 12k Jan 5 2020 x"},
    {"unix day zero", 1, 0, "-rw-r--r-- 1 u g 12 Jan 0 2020 x"},
    {"unix hour 25", 1, 0, "-rw-r--r-- 1 u g 12 Jan 1 25:00 x"},
    {"unix link count not a number", 1, 0, "-rw-r--r-- x u g 12 Jan 1 2020 x"},
    {"unix character device", 1, 0, "crw-rw-rw- 1 root root 1, 3 Jan 5 12:34 null"},
    {"windows three-digit year", 3, 0, "01-31-124  11:15PM  <DIR>  x"},
    {"windows time without colon", 3, 0, "01-31-24  1115PM  <DIR>  x"},
    {"windows minutes not digits", 3, 0, "01-31-24  11:xxPM  <DIR>  x"},
    {"vms bad month", 4, 0, "A.TXT;1 1 14-XYZ-2023"},
    {"vms bracket not closed", 4, 0, "A.TXT;1 1 14-DEC-2023 [GROUP,OWNER (RWED,RWED,RE,)"},
    {"vms protection with one comma", 4, 0, "A.TXT;1 1 14-DEC-2023 [G,O] (RWED,RWED)"},
    {"vms no protection after owner", 4, 0, "A.TXT;1 1 14-DEC-2023 [G,O]"},
    {"vms huge block count", 4, 0, "A.TXT;1 36028797018963968 14-DEC-2023"},
    {"netware rights not closed", 5, 0, "d [RWCE admin 512 Apr 10 2023 PUBLIC"},
    {"sterling status with a digit", 0, 4, "-A1-------TCP o w g 1 Jan 10 2019 f"},
    {"sterling token of the wrong length", 0, 5, "-A--------TCP o w g 1 Jan 10 2019 f"},
    {"nothing recognisable", 0, 0, "hello world"},
};

void PrintTo(const BadCase& c, std::ostream* os) { *os << c.line; }

class BadLines : public ::testing::TestWithParam<BadCase> {};

TEST_P(BadLines, AreRefused) {
  const BadCase& c = GetParam();
  Parsed p = Parse(c.line, c.system, c.format);
  EXPECT_EQ(p.result, LineResult::Unknown) << Text(p.entry->name);
}

INSTANTIATE_TEST_SUITE_P(Formats, BadLines, ::testing::ValuesIn(kBadLines), [](const auto& info) {
  std::string n;
  for (const char* p = info.param.label; *p; ++p) n += std::isalnum(static_cast<unsigned char>(*p)) ? *p : '_';
  return n;
});

// Servers in a non-English locale print their month names in UTF-8 (sessions default to
// UTF-8) or in Latin-1; either form reads. A month name no table knows still gives the
// entry, its date unknown, rather than losing it.
TEST(ListMonths, LocalisedLinesKeepTheirEntries) {
  struct {
    const char* line;
    uint16_t month;  // 0: the date stays unknown
    const char* name;
  } cases[] = {
      {"-rw-r--r-- 1 u g 12 M\xC3\xA4r 5 2020 m\xC3\xA4rz.txt", 3, "m\xC3\xA4rz.txt"},
      {"-rw-r--r-- 1 u g 12 M\xE4r 5 2020 x", 3, "x"},
      {"-rw-r--r-- 1 u g 12 ao\xC3\xBBt 5 2020 x", 8, "x"},
      {"-rw-r--r-- 1 u g 12 Dez 5 2020 x", 12, "x"},
      {"-rw-r--r-- 1 u g 12 d\xC3\xA9" "c. 5 2020 with blank", 0, "with blank"},
      {"-rw-r--r-- 1 u g 12 ene 5 2020 enero.txt", 0, "enero.txt"},
      {"-rw-r--r-- 1 u g 12 \xD0\xBC\xD0\xB0\xD1\x80 5 2020 x", 0, "x"},
      {"-rw-r--r-- 1 ftp 12 ago 5 2020 single column", 0, "single column"},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.line);
    Parsed p = Parse(c.line, 1);
    ASSERT_EQ(p.result, LineResult::Entry);
    EXPECT_STREQ(p.entry->name, c.name);
    EXPECT_EQ(p.entry->size, 12u);
    EXPECT_EQ(p.entry->modified.wMonth, c.month);
    EXPECT_EQ(p.entry->modified.wYear, c.month ? 2020 : 0);
  }
}

TEST(ListDetection, FailedLineLeavesFormatUndetectedAndDetectedFormatSticks) {
  Parsed total = Parse("total 42", 1);
  EXPECT_EQ(total.format, 0u);
  // Once detected, the session's format decides: an MS-DOS line no longer fits.
  Parsed dos = Parse("01-31-24  11:15PM  <DIR>  x", 1, 1);
  EXPECT_EQ(dos.result, LineResult::Unknown);
  EXPECT_EQ(dos.format, 1u);
}

TEST(ListDetection, ServerTypeDecidesAmbiguousFirstTokens) {
  EXPECT_EQ(cvftp::listing::DetectFormat("README.TXT;1", 4), 3u);   // VMS by the dot
  EXPECT_EQ(cvftp::listing::DetectFormat("README.TXT;1", 1), 0u);
  EXPECT_EQ(cvftp::listing::DetectFormat("d", 5), 6u);
  EXPECT_EQ(cvftp::listing::DetectFormat("-[RWCEAFMS]", 5), 6u);
  EXPECT_EQ(cvftp::listing::DetectFormat("d", 1), 0u);
  EXPECT_EQ(cvftp::listing::DetectFormat("2024/01/31", 1), 2u);     // digits, "-" and "/" only
  EXPECT_EQ(cvftp::listing::DetectFormat("drwxrwsrwt", 1), 1u);     // execute places are not tested
  EXPECT_EQ(cvftp::listing::DetectFormat("dr-xr-xr-x", 255), 1u);
  EXPECT_EQ(cvftp::listing::DetectFormat("-rw-r--r--+", 1), 0u);    // not ten characters
  EXPECT_EQ(cvftp::listing::DetectFormat("1-2", 3), 2u);            // Windows: a leading digit is enough
}

TEST(ListVms, LongNameWaitsForItsDetailsOnTheNextLine) {
  Parsed name = Parse("A_VERY_LONG_FILE_NAME_THAT_FILLS_THE_COLUMN.TXT;2\r", 4);
  EXPECT_EQ(name.result, LineResult::Incomplete);
  // The session appends the next line to the first and parses the two together.
  Parsed both = Parse(std::string("A_VERY_LONG_FILE_NAME_THAT_FILLS_THE_COLUMN.TXT;2\r") +
                          "        9/12   31-JAN-2024 23:15:00  [STAFF,JONES]  (RWED,RWED,RE,)\r",
                      4);
  ASSERT_EQ(both.result, LineResult::Entry);
  EXPECT_STREQ(both.entry->name, "A_VERY_LONG_FILE_NAME_THAT_FILLS_THE_COLUMN.TXT");
  EXPECT_EQ(both.entry->version, 2u);
  EXPECT_EQ(both.entry->size, 9u * 512);
  EXPECT_EQ(both.entry->permissions, 0750u);
  EXPECT_STREQ(both.entry->owner, "JONES");
}

TEST(ListSftp, LineFormOfStoredEntries) {
  // The SFTP form is used whatever the session's format says.
  Parsed d = Parse("16877 2 1000 100 4096 01-31-2024 23:59:07 docs", 1, 1, true);
  ASSERT_EQ(d.result, LineResult::Entry);
  EXPECT_EQ(d.format, 1u);
  EXPECT_EQ(d.entry->directory, 1u);
  EXPECT_EQ(d.entry->link, 0u);
  EXPECT_EQ(d.entry->permissions, 0755u);
  EXPECT_STREQ(d.entry->owner, "1000");
  EXPECT_STREQ(d.entry->group, "100");
  EXPECT_EQ(d.entry->size, 4096u);
  EXPECT_EQ(d.entry->modified.wYear, 2024);
  EXPECT_EQ(d.entry->modified.wHour, 23);
  EXPECT_EQ(d.entry->modified.wMinute, 59);
  EXPECT_EQ(d.entry->modified.wSecond, 0);
  Parsed l = Parse(std::to_string(0x2000 | 0777) + " 1 0 0 7 03-03-20 00:00:00 lib", 0, 0, true);
  ASSERT_EQ(l.result, LineResult::Entry);
  EXPECT_EQ(l.entry->link, 1u);
  EXPECT_EQ(l.entry->modified.wYear, 2020);
  EXPECT_EQ(Parse("x 1 0 0 7 03-03-20 00:00:00 lib", 0, 0, true).result, LineResult::Unknown);
}

TEST(ListRecords, LinksReadAsDirectoriesAndLargeSizesSaturate) {
  Parsed p = Parse("lrwxrwxrwx 1 root root 5000000000 Mar 3 2020 lib -> usr/lib", 1);
  ASSERT_EQ(p.result, LineResult::Entry);
  FtpFileInfoEx ex;
  cvftp::listing::FillInfo(*p.entry, ex);
  EXPECT_STREQ(ex.name, "lib");
  EXPECT_EQ(ex.directory, 1u);
  EXPECT_EQ(ex.size, 5000000000u);
  EXPECT_EQ(ex.reserved, 0u);
  FtpFileInfo narrow;
  cvftp::listing::NarrowInfo(ex, narrow);
  EXPECT_EQ(narrow.size, 0xFFFFFFFFu);
  EXPECT_STREQ(narrow.owner, "root");
  EXPECT_EQ(narrow.permissions, 0x1000u | 0777);
}

TEST(ListRecords, LongTextsAreCutToTheirFields) {
  const std::string owner(300, 'o'), name(700, 'n');
  Parsed p = Parse("-rw-r--r-- 1 " + owner + " g 1 Jan 1 2020 " + name, 1);
  ASSERT_EQ(p.result, LineResult::Entry);
  FtpFileInfoEx ex;
  cvftp::listing::FillInfo(*p.entry, ex);
  EXPECT_EQ(std::string(ex.owner), owner.substr(0, 63));
  EXPECT_EQ(std::string(ex.name), name.substr(0, 511));
}

TEST(ListDates, DayOfWeek) {
  EXPECT_EQ(cvftp::listing::DayOfWeek(2024, 1, 31), 3);  // Wednesday
  EXPECT_EQ(cvftp::listing::DayOfWeek(2024, 2, 29), 4);  // Thursday
  EXPECT_EQ(cvftp::listing::DayOfWeek(2000, 3, 1), 3);
  EXPECT_EQ(cvftp::listing::DayOfWeek(1970, 1, 1), 4);
}

}  // namespace
