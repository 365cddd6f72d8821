// Path normalisation and comparison, list entry formats and program argument templates,
// without a running server.
#include <cstdlib>

#include "core/errors/error_codes.h"
#include "ftpsrv/ftpsrv_internal.h"
#include "ftpsrv_util.h"

using namespace ftpsrvtest;

namespace {

TEST(FtpPaths, CombineKeepsResultsUnderTheBase) {
  struct Case {
    const char* base;
    const char* path;
    const char* expected;  // null: refused
  };
  const Case cases[] = {
      {"/srv/ftp", "/../../etc", "/srv/ftp/etc"},
      {"/srv/ftp", "a\\.\\b\\..\\c", "/srv/ftp/a/c"},
      {"/srv/ftp", "\"my file.txt\"", "/srv/ftp/my file.txt"},
      {"/srv/ftp", "C:\\windows", "/srv/ftp/windows"},
      {"/srv/ftp", "\\\\server\\share\\x", "/srv/ftp/share/x"},  // the server name goes
      {"/srv/ftp/", "", "/srv/ftp"},
      {"/", "../x", "/x"},
      {nullptr, "\\\\.\\C:\\x", "C:/x"},
      {nullptr, "\\\\srv\\share\\x", "//srv/share/x"},
      {nullptr, "/a/b/../../..", "/"},
      {nullptr, "", nullptr},
  };
  for (const Case& k : cases) {
    char out[260];
    const char* r = FtpServerCombinePath(uint64_t(INVALID_SOCKET), k.base, k.path, out);
    if (!k.expected) {
      EXPECT_EQ(r, nullptr) << k.path;
      continue;
    }
    ASSERT_NE(r, nullptr) << k.path;
    EXPECT_STREQ(out, k.expected) << k.path;
  }
  char out[260];
  const std::string longPath(258, 'x');
  EXPECT_EQ(FtpServerCombinePath(uint64_t(INVALID_SOCKET), "/r", longPath.c_str(), out), nullptr);
  EXPECT_EQ(InetGetLastError(), cvErrorInvalidFileName);
  std::string deep;
  for (int i = 0; i < 129; ++i) deep += "/a";
  EXPECT_EQ(FtpServerCombinePath(uint64_t(INVALID_SOCKET), nullptr, deep.c_str(), out), nullptr);
}

TEST(FtpPaths, Compare) {
  const uint64_t none = uint64_t(INVALID_SOCKET);
  EXPECT_EQ(FtpServerComparePaths(none, "/ftp", "/ftp/sub"), 1);
  EXPECT_EQ(FtpServerComparePaths(none, "/ftp", "/ftp2"), -1);
  EXPECT_EQ(FtpServerComparePaths(none, "/ftp/", "/ftp"), 0);
  EXPECT_EQ(FtpServerComparePaths(none, "/", "/x"), 1);
  EXPECT_EQ(FtpServerComparePaths(none, "", ""), 0);
  EXPECT_EQ(FtpServerComparePaths(none, "/a", ""), 1);
  EXPECT_EQ(FtpServerComparePaths(none, "", "/a"), -1);
}

TEST(FtpListing, EntryFormats) {
  ::setenv("TZ", "UTC", 1);
  ::tzset();
  FtpFindEntry file{};
  file.attributes = ftpAttributeArchive;
  file.size = 1234;
  file.lastWrite = 1709647620;  // 2024-03-05 14:07 UTC
  std::strcpy(file.name, "report.txt");
  FtpFindEntry dir = file;
  dir.attributes = ftpAttributeDirectory;
  std::strcpy(dir.name, "docs");
  FtpFindEntry exe = file;
  exe.attributes = ftpAttributeReadOnly;
  exe.lastWrite = 946684800 - 86400;  // 1999-12-31
  std::strcpy(exe.name, "tool.EXE");
  struct Case {
    const FtpFindEntry* entry;
    uint32_t style;
    std::string expected;
  };
  const Case cases[] = {
      {&file, ftpListNames, "report.txt"},
      {&file, ftpListMsdos, "03-05-24  02:07PM                    1234 report.txt"},
      {&dir, ftpListMsdos, "03-05-24  02:07PM        <DIR>            docs"},
      {&exe, ftpListMsdos, "12-31-1999  00:00AM                  1234 tool.EXE"},
      {&exe, ftpListUnix, "-r-xr-xr-x   1    owner    group         1234 Dec 31  1999 tool.EXE"},
      {&dir, ftpListFacts, "type=dir;modify=20240305140700;perm=cdeflmp; docs"},
      {&exe, ftpListFacts + 1, "type=file;size=1234;modify=19991231000000;perm=fr;Win32.ea=00000001; tool.EXE"},
      {&file, ftpListFacts + 2,
       "type=file;size=1234;modify=20240305140700;perm=adfrw;UNIX.mode=0666;UNIX.owner=owner;UNIX.group=group; "
       "report.txt"},
      {&file, 3, ""},
  };
  for (const Case& k : cases) {
    char out[512];
    const int32_t n = FtpFormatListEntry(k.entry, k.style, 0, out);
    EXPECT_EQ(std::string(out, size_t(n)), k.expected) << k.style;
  }
  ::unsetenv("TZ");
  ::tzset();
}

TEST(FtpPrograms, ArgumentTemplates) {
  const char* args[] = {"first", "second"};
  using V = std::vector<std::string>;
  EXPECT_EQ(cvftpsrv::BuildArguments("/bin/p", "-x %1 %3", 2, args), (V{"/bin/p", "-x", "first"}));
  EXPECT_EQ(cvftpsrv::BuildArguments("/bin/p", "%%1", 2, args), (V{"/bin/p", "%1"}));
  EXPECT_EQ(cvftpsrv::BuildArguments("/bin/p", "--a=%2;%1", 2, args), (V{"/bin/p", "--a=second;first"}));
  EXPECT_EQ(cvftpsrv::BuildArguments("/bin/p", "", 2, args), (V{"/bin/p"}));
}

}  // namespace
