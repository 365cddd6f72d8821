// Remote file operations against the scripted server: the fallbacks between MLST, STAT,
// SIZE, MDTM and the time-setting commands, feature bits lost on 500-504, working
// directory replies, and the multiple-file transfers.
#include "ftp_transfer/transfer_fixture.h"

namespace {

using namespace xfer;

using cvftp::kFeatureChmod, cvftp::kFeatureMdtm, cvftp::kFeatureMfmt, cvftp::kFeatureMlst, cvftp::kFeatureSite,
    cvftp::kFeatureSize, cvftp::kFeatureStat, cvftp::kFeatureUtime;

using RemoteTest = XferTest;

TEST_F(RemoteTest, FileInfoFallsBackFromMlstToStatAndFollowsLinks) {
  ScriptServer server;
  Greet(server)
      .Expect("MLST a.txt")
      .Reply("502 Not implemented.")
      .Expect("STAT a.txt")
      .Reply("213-Status of a.txt:\r\ntotal 1\r\n-rw-r-----   1 ann  staff  77 Jan 31  2024 a.txt\r\n213 End")
      .Expect("STAT l")
      .Reply("213-Status:\r\n lrwxrwxrwx 1 ann staff 5 Jan 31 2024 l -> a.txt\r\n213 End")
      .Expect("STAT a.txt")
      .Reply("213-Status of a.txt:\r\n-rw-r-----   1 ann  staff  77 Jan 31  2024 a.txt\r\n213 End")
      .Expect("STAT loop")
      .Reply("213-Status:\r\nlrwxrwxrwx 1 a s 4 Jan 31 2024 loop -> loop\r\n213 End");
  for (int i = 0; i < 8; ++i) server.Expect("STAT loop").Reply("213-S:\r\nlrwxrwxrwx 1 a s 4 Jan 31 2024 loop -> loop\r\n213 E");
  server.Expect("STAT gone")
      .Reply("213-Status:\r\n/bin/ls: cannot access 'gone': No such file or directory\r\n213 End")
      .Expect("STAT empty")
      .Reply("213-Status follows:\r\n213 End of status")
      .Expect("STAT oneline")
      .Reply("213 Nothing to show");
  LibHandle h = Connect(server);
  ASSERT_NE(h, kNone);
  FtpGetSession(h)->systemType = 1;
  FtpSetFeatures(h, kFeatureStat | kFeatureMlst);
  FtpFileInfoEx info;
  ASSERT_EQ(FtpQueryFileInfo(h, "a.txt", &info), 1) << LastError();
  EXPECT_EQ(FtpGetFeatures(h) & kFeatureMlst, 0u);
  EXPECT_STREQ(info.name, "a.txt");
  EXPECT_STREQ(info.owner, "ann");
  EXPECT_EQ(info.size, 77u);
  EXPECT_EQ(info.permissions, 0640u);
  EXPECT_EQ(FtpGetDirectoryFormat(h), 0);  // the STAT line did not set the session's format
  ASSERT_EQ(FtpQueryFileInfo(h, "l", &info), 1) << LastError();
  EXPECT_STREQ(info.name, "l");
  EXPECT_EQ(info.size, 77u);
  EXPECT_EQ(info.directory, 0u);
  // A link to itself is followed a few times, then taken as it is.
  ASSERT_EQ(FtpQueryFileInfo(h, "loop", &info), 1) << LastError();
  EXPECT_EQ(info.directory, 1u);
  EXPECT_EQ(FtpQueryFileInfo(h, "gone", &info), 0);
  EXPECT_EQ(LastError(), cvErrorFileNotFound);
  EXPECT_EQ(FtpQueryFileInfo(h, "empty", &info), 0);
  EXPECT_EQ(LastError(), cvErrorFileNotFound);
  EXPECT_EQ(FtpQueryFileInfo(h, "oneline", &info), 0);
  EXPECT_EQ(LastError(), cvErrorUnknownDirectoryFormat);
  EXPECT_EQ(FtpQueryFileInfo(h, "*.txt", &info), 0);
  EXPECT_EQ(LastError(), cvErrorInvalidFileName);
  EXPECT_EQ(FtpQueryFileInfo(h, "", &info), 0);
  EXPECT_EQ(LastError(), cvErrorInvalidFileName);
  EXPECT_EQ(FtpQueryFileInfo(h, "x", nullptr), 0);
  EXPECT_EQ(LastError(), cvErrorInvalidParameter);
  EXPECT_TRUE(server.Finish()) << server.failure();
  FtpDisconnect(h);
}

TEST_F(RemoteTest, FileInfoFromMlstAndStatFailures) {
  ScriptServer server;
  Greet(server)
      .Expect("MLST a b.txt")
      .Reply("250-Listing a b.txt\r\n type=file;size=5678;modify=20240131235959;UNIX.mode=0644; /pub/a b.txt\r\n250 End")
      .Expect("MLST x")
      .Reply("550 No such file.")
      .Expect("STAT y")
      .Reply("502 No STAT.")
      .Expect("NOOP")
      .Reply("200 Ok.");
  LibHandle h = Connect(server);
  ASSERT_NE(h, kNone);
  FtpSetFeatures(h, kFeatureStat | kFeatureMlst);
  FtpFileInfo info;
  ASSERT_EQ(FtpGetFileStatus(h, "a b.txt", &info), 1) << LastError();
  EXPECT_STREQ(info.name, "/pub/a b.txt");
  EXPECT_EQ(info.size, 5678u);
  EXPECT_EQ(info.permissions, 0644u);
  EXPECT_EQ(FtpGetFileStatus(h, "x", &info), 0);
  EXPECT_NE(FtpGetFeatures(h) & kFeatureMlst, 0u);  // kept: the file was missing, not the command
  FtpSetFeatures(h, kFeatureStat);
  EXPECT_EQ(FtpGetFileStatus(h, "y", &info), 0);
  EXPECT_EQ(LastError(), cvErrorFeatureNotSupported);
  EXPECT_EQ(FtpGetFileStatus(h, "y", &info), 0);  // nothing left to ask: no command sent
  EXPECT_EQ(LastError(), cvErrorFeatureNotSupported);
  EXPECT_EQ(FtpSendCommand(h, "NOOP", nullptr), 200);
  EXPECT_TRUE(server.Finish()) << server.failure();
  FtpDisconnect(h);
}

TEST_F(RemoteTest, FileTimeFromMdtmAndItsFallback) {
  setenv("TZ", "UTC", 1);
  tzset();
  ScriptServer server;
  Greet(server)
      .Expect("MDTM a")
      .Reply("213 20240131235959.123")
      .Expect("MDTM b")
      .Reply("213 2024013")
      .Expect("MDTM c")
      .Reply("550 No such file.")
      .Expect("MDTM d")
      .Reply("500 Unknown command.")
      .Expect("STAT d")
      .Reply("213-Status:\r\n-rw-r--r-- 1 u g 1 Feb 29 2024 d\r\n213 End");
  LibHandle h = Connect(server);
  ASSERT_NE(h, kNone);
  FtpSetFeatures(h, kFeatureStat | kFeatureMdtm);
  SYSTEMTIME t{};
  ASSERT_EQ(FtpGetFileTime(h, "a", &t, 0), 213) << LastError();
  EXPECT_EQ(std::vector<int>({t.wYear, t.wMonth, t.wDay, t.wHour, t.wMinute, t.wSecond, t.wMilliseconds}),
            std::vector<int>({2024, 1, 31, 23, 59, 59, 0}));
  EXPECT_EQ(FtpGetFileTime(h, "b", &t, 0), -1);
  EXPECT_EQ(LastError(), cvErrorUnexpectedServerResponse);
  EXPECT_EQ(FtpGetFileTime(h, "c", &t, 0), -1);
  EXPECT_EQ(LastError(), cvErrorFileNotFound);
  EXPECT_NE(FtpGetFeatures(h) & kFeatureMdtm, 0u);
  ASSERT_EQ(FtpGetFileTime(h, "d", &t, 1), 213) << LastError();
  EXPECT_EQ(FtpGetFeatures(h) & kFeatureMdtm, 0u);
  EXPECT_EQ(std::vector<int>({t.wYear, t.wMonth, t.wDay}), std::vector<int>({2024, 2, 29}));
  EXPECT_EQ(FtpGetFileTime(h, "", &t, 0), -1);
  EXPECT_EQ(LastError(), cvErrorInvalidFileName);
  EXPECT_EQ(FtpGetFileTime(h, "a", nullptr, 0), -1);
  EXPECT_EQ(LastError(), cvErrorInvalidParameter);
  FtpSetFeatures(h, 0);
  EXPECT_EQ(FtpGetFileTime(h, "a", &t, 0), -1);
  EXPECT_EQ(LastError(), cvErrorFeatureNotSupported);
  EXPECT_TRUE(server.Finish()) << server.failure();
  FtpDisconnect(h);
}

TEST_F(RemoteTest, SetFileTimeTriesEachCommandAndDropsTheUnimplemented) {
  ScriptServer server;
  Greet(server)
      .Expect("MFMT 20240131235959 f")
      .Reply("502 No.")
      .Expect("MDTM 20240131235959 f")
      .Reply("500 No.")
      .Expect("SITE UTIME 20240131235959 f")
      .Reply("200 Done.")
      .Expect("SITE UTIME 20240131235959 g")
      .Reply("550 No such file.");
  LibHandle h = Connect(server);
  ASSERT_NE(h, kNone);
  FtpSetFeatures(h, kFeatureMfmt | kFeatureMdtm | kFeatureUtime);
  const SYSTEMTIME t{2024, 1, 3, 31, 23, 59, 59, 0};
  EXPECT_EQ(FtpSetFileTime(h, "f", &t), 200) << LastError();
  EXPECT_EQ(FtpGetFeatures(h), kFeatureUtime);
  EXPECT_EQ(FtpSetFileTime(h, "g", &t), -1);
  EXPECT_EQ(LastError(), cvErrorFeatureNotSupported);
  EXPECT_EQ(FtpGetFeatures(h), kFeatureUtime);
  EXPECT_EQ(FtpSetFileTime(h, std::string(5000, 'n').c_str(), &t), -1);
  EXPECT_EQ(LastError(), cvErrorInvalidFileName);
  EXPECT_TRUE(server.Finish()) << server.failure();
  FtpDisconnect(h);
}

TEST_F(RemoteTest, FileTimeCommandsStopWhenTheChannelFails) {
  // A command that got no reply is no refusal: asking the next command on the same
  // channel would wait once more and bury the time-out.
  ScriptServer server;
  Greet(server).Expect("MFMT 20240131235959 f").Silence();
  LibHandle h = Connect(server, 1);
  ASSERT_NE(h, kNone);
  FtpSetFeatures(h, kFeatureMfmt | kFeatureMdtm | kFeatureUtime | kFeatureStat);
  const SYSTEMTIME t{2024, 1, 3, 31, 23, 59, 59, 0};
  auto start = std::chrono::steady_clock::now();
  EXPECT_EQ(FtpSetFileTime(h, "f", &t), -1);
  EXPECT_EQ(LastError(), cvErrorOperationTimeout);
  EXPECT_LT(std::chrono::steady_clock::now() - start, 1900ms);
  EXPECT_EQ(FtpGetFeatures(h) & (kFeatureMfmt | kFeatureMdtm | kFeatureUtime),
            kFeatureMfmt | kFeatureMdtm | kFeatureUtime);
  SYSTEMTIME got{};
  start = std::chrono::steady_clock::now();
  EXPECT_EQ(FtpGetFileTime(h, "f", &got, 0), -1);
  EXPECT_EQ(LastError(), cvErrorOperationTimeout);
  EXPECT_LT(std::chrono::steady_clock::now() - start, 1900ms);
  EXPECT_NE(FtpGetFeatures(h) & kFeatureMdtm, 0u);
  FtpDisconnect(h);
  EXPECT_EQ(server.failure(), "");
}

TEST_F(RemoteTest, PermissionsAreSetInOctalAndReadFromStat) {
  ScriptServer server;
  Greet(server)
      .Expect("SITE CHMOD 005 f")
      .Reply("200 Ok.")
      .Expect("SITE CHMOD 755 f")
      .Reply("200 Ok.")
      .Expect("SITE CHMOD 4755 f")
      .Reply("502 No CHMOD.")
      .Expect("STAT f")
      .Reply("213-Status:\r\n-rwxr-x--x 1 u g 1 Feb 29 2024 f\r\n213 End");
  LibHandle h = Connect(server);
  ASSERT_NE(h, kNone);
  FtpSetFeatures(h, kFeatureSite | kFeatureChmod | kFeatureStat | kFeatureMlst);
  EXPECT_EQ(FtpSetFilePermissions(h, "f", 5), 200);
  EXPECT_EQ(FtpSetFilePermissions(h, "f", 0755), 200);
  EXPECT_EQ(FtpSetFilePermissions(h, "f", 04755), -1);
  EXPECT_EQ(LastError(), cvErrorFeatureNotSupported);
  EXPECT_EQ(FtpSetFilePermissions(h, "f", 0755), -1);  // no command: CHMOD is gone
  EXPECT_EQ(LastError(), cvErrorFeatureNotSupported);
  FtpSetFeatures(h, kFeatureStat);
  uint32_t mode = 1;
  EXPECT_EQ(FtpGetFilePermissions(h, "f", &mode), 213) << LastError();
  EXPECT_EQ(mode, 0751u);
  FtpSetFeatures(h, kFeatureMlst);
  EXPECT_EQ(FtpGetFilePermissions(h, "f", &mode), -1);  // STAT is required, even with MLST
  EXPECT_EQ(LastError(), cvErrorFeatureNotSupported);
  EXPECT_EQ(mode, 0u);
  EXPECT_TRUE(server.Finish()) << server.failure();
  FtpDisconnect(h);
}

TEST_F(RemoteTest, WorkingDirectoryCacheAndPaths) {
  ScriptServer server;
  Greet(server)
      .Expect("CWD /pub")
      .Reply("250 Ok.")
      .Expect("PWD")
      .Reply("257 \"/pub/say \"\"hi\"\"\" is current.")
      .Expect("CWD /")
      .Reply("250 Ok.")
      .Expect("PWD")
      .Reply("257 \"/\"")
      .Expect("CWD nope")
      .Reply("550 No such directory.")
      .Expect("PWD")
      .Reply("257 /old/style is current");
  LibHandle h = Connect(server);
  ASSERT_NE(h, kNone);
  EXPECT_EQ(FtpChangeDirectory(h, "/pub/"), 250);
  EXPECT_STREQ(FtpGetSession(h)->currentDirectory, "/pub/say \"hi\"");
  EXPECT_EQ(FtpChangeDirectory(h, "/"), 250);
  EXPECT_EQ(FtpChangeDirectory(h, "nope"), -1);
  EXPECT_STREQ(FtpGetSession(h)->currentDirectory, "/");
  EXPECT_EQ(FtpChangeDirectory(h, ""), -1);
  EXPECT_EQ(LastError(), cvErrorDirectoryNotFound);
  char small[5];
  EXPECT_EQ(FtpGetWorkingDirectory(h, small, sizeof small), 257);
  EXPECT_STREQ(small, "/old");
  EXPECT_EQ(FtpGetWorkingDirectory(h, small, 1), -1);
  EXPECT_EQ(LastError(), cvErrorInvalidParameter);
  EXPECT_TRUE(server.Finish()) << server.failure();
  FtpDisconnect(h);
}

TEST_F(RemoteTest, RenameDeleteAndDirectories) {
  ScriptServer server;
  Greet(server)
      .Expect("RNFR a")
      .Reply("350 Ready.")
      .Expect("RNTO b")
      .Reply("250 Renamed.")
      .Expect("RNFR gone")
      .Reply("550 No such file.")
      .Expect("RNFR odd")
      .Reply("200 Whatever.")
      .Expect("DELE b")
      .Reply("250 Deleted.")
      .Expect("MKD d")
      .Reply("521 \"d\" exists.")
      .Expect("MKD e")
      .Reply("257 \"e\" created.")
      .Expect("RMD e")
      .Reply("250 Removed.");
  LibHandle h = Connect(server);
  ASSERT_NE(h, kNone);
  EXPECT_EQ(FtpRenamePath(h, "a", "b"), 250);
  EXPECT_EQ(FtpRenamePath(h, "gone", "c"), -1);
  EXPECT_EQ(FtpRenamePath(h, "odd", "c"), 200);  // returned unchanged, RNTO not sent
  EXPECT_EQ(FtpRenamePath(h, "a", ""), -1);
  EXPECT_EQ(LastError(), cvErrorInvalidParameter);
  EXPECT_EQ(FtpRemoveFile(h, "b"), 250);
  EXPECT_EQ(FtpRemoveFile(h, nullptr), -1);
  EXPECT_EQ(LastError(), cvErrorInvalidFileName);
  EXPECT_EQ(FtpRemoveFile(h, "x\r\nDELE y"), -1);  // no second command smuggled in
  EXPECT_EQ(FtpMakeDirectory(h, "d"), -1);
  EXPECT_EQ(LastError(), cvErrorDirectoryExists);
  EXPECT_EQ(FtpMakeDirectory(h, "e"), 257);
  EXPECT_EQ(FtpDeleteDirectory(h, "e"), 250);
  EXPECT_EQ(FtpDeleteDirectory(h, ""), -1);
  EXPECT_EQ(LastError(), cvErrorInvalidParameter);
  EXPECT_TRUE(server.Finish()) << server.failure();
  FtpDisconnect(h);
}

}  // namespace
