// Listing lines as real servers send them (proftpd, vsftpd and pure-ftpd on Debian),
// read in session order: the first line detects the format, the others follow it.
#include <gtest/gtest.h>

#include <string>
#include <vector>

#include "ftp/listing/list_parser.h"

namespace {

using cvftp::listing::LineResult;

struct Expect {
  const char* name;
  uint32_t directory;  // as the caller's record reports it (links count as directories)
  uint64_t size;
  uint32_t permissions;
  uint16_t year, month, day;
  const char* owner;
};

struct Capture {
  const char* server;
  uint32_t format;  // the session's format before the first line
  std::vector<std::string> lines;
  std::vector<Expect> entries;
  uint32_t detected;
};

const Capture kCaptures[] = {
    {"proftpd LIST -a",
     0,
     {"drwxr-xr-x   3 cvtest   root         4096 Dec 10 12:53 .\r\n",
      "-rw-r--r--   1 cvtest   root            5 Dec 10 12:53 a b.txt\r\n",
      "-rw-r-----   1 cvtest   root       123456 Mar  3  2020 big.bin\r\n",
      "lrwxrwxrwx   1 cvtest   root            7 Dec 10 12:53 link -> a b.txt\r\n",
      "drwxr-xr-x   2 cvtest   root         4096 Dec 10 12:53 sub dir\r\n"},
     {{".", 1, 4096, 0755, 2025, 12, 10, "cvtest"},
      {"a b.txt", 0, 5, 0644, 2025, 12, 10, "cvtest"},
      {"big.bin", 0, 123456, 0640, 2020, 3, 3, "cvtest"},
      {"link", 1, 7, 0x1000 | 0777, 2025, 12, 10, "cvtest"},
      {"sub dir", 1, 4096, 0755, 2025, 12, 10, "cvtest"}},
     1},
    {"vsftpd LIST",
     0,
     {"dr-xr-xr-x    3 0        0            4096 Dec 10 12:53 ..\r\n",
      "-rw-r-----    1 0        0          123456 Mar 03  2020 big.bin\r\n",
      "lrwxrwxrwx    1 0        0               7 Dec 10 12:53 link -> a b.txt\r\n"},
     {{"..", 1, 4096, 0555, 2025, 12, 10, "0"},
      {"big.bin", 0, 123456, 0640, 2020, 3, 3, "0"},
      {"link", 1, 7, 0x1000 | 0777, 2025, 12, 10, "0"}},
     1},
    {"pure-ftpd LIST",
     0,
     {"-rw-r--r--    1 0          0                 170 Apr 13  2026 welcome.msg\r\n"},
     {{"welcome.msg", 0, 170, 0644, 2026, 4, 13, "0"}},
     1},
    {"proftpd MLSD",
     7,
     {"modify=20261210125325;perm=flcdmpe;type=dir;unique=FE00UA741B7;UNIX.group=0;UNIX.groupname=root;"
      "UNIX.mode=0755;UNIX.owner=0;UNIX.ownername=cvtest; sub dir\r\n",
      "modify=20261210125325;perm=adfrw;size=7;type=OS.unix=symlink;unique=FE00UA741B8;UNIX.group=0;"
      "UNIX.groupname=root;UNIX.mode=0777;UNIX.owner=0;UNIX.ownername=cvtest; link\r\n",
      "modify=20200303100000;perm=adfrw;size=123456;type=file;unique=FE00UA741B9;UNIX.group=0;"
      "UNIX.groupname=root;UNIX.mode=0640;UNIX.owner=0;UNIX.ownername=cvtest; big.bin\r\n"},
     {{"sub dir", 1, 0, 0755, 2026, 12, 10, ""},
      {"link", 0, 7, 0777, 2026, 12, 10, ""},
      {"big.bin", 0, 123456, 0640, 2020, 3, 3, ""}},
     7},
    {"pure-ftpd MLSD",
     7,
     {"type=pdir;sizd=4096;modify=20261210121324;UNIX.mode=0755;unique=fe00g10224b; ..\r\n",
      "type=file;size=170;modify=20260413205132;UNIX.mode=0644;unique=fe00g10224c; welcome.msg\r\n"},
     {{"..", 1, 0, 0755, 2026, 12, 10, ""}, {"welcome.msg", 0, 170, 0644, 2026, 4, 13, ""}},
     7},
};

void PrintTo(const Capture& c, std::ostream* os) { *os << c.server; }

class Captured : public ::testing::TestWithParam<Capture> {};

TEST_P(Captured, EveryLineGivesItsEntry) {
  const Capture& c = GetParam();
  cvftp::listing::ParseContext context;
  context.systemType = 1;
  context.currentYear = 2026;
  context.currentMonth = 1;  // the listings were taken in December: their dates lie last year now
  uint32_t format = c.format;
  ASSERT_EQ(c.lines.size(), c.entries.size());
  for (size_t i = 0; i < c.lines.size(); ++i) {
    // The session hands the parser a line whose line feed has become its end.
    std::string line = c.lines[i];
    line.pop_back();
    std::vector<unsigned char> block(cvftp::listing::EntryBlockSize(line.size()));
    FtpListEntry* e = cvftp::listing::PlaceEntry(block.data(), line);
    ASSERT_EQ(cvftp::listing::ParseLine(*e, context, format), LineResult::Entry) << c.lines[i];
    FtpFileInfoEx info;
    cvftp::listing::FillInfo(*e, info);
    const Expect& x = c.entries[i];
    EXPECT_STREQ(info.name, x.name);
    EXPECT_EQ(info.directory, x.directory) << x.name;
    EXPECT_EQ(info.size, x.size) << x.name;
    EXPECT_EQ(info.permissions, x.permissions) << x.name;
    EXPECT_STREQ(info.owner, x.owner);
    EXPECT_EQ(info.modified.wYear, x.year) << x.name;
    EXPECT_EQ(info.modified.wMonth, x.month) << x.name;
    EXPECT_EQ(info.modified.wDay, x.day) << x.name;
  }
  EXPECT_EQ(format, c.detected);
}

INSTANTIATE_TEST_SUITE_P(Servers, Captured, ::testing::ValuesIn(kCaptures), [](const auto& info) {
  std::string n;
  for (const char* p = info.param.server; *p; ++p) n += std::isalnum(static_cast<unsigned char>(*p)) ? *p : '_';
  return n;
});

}  // namespace
