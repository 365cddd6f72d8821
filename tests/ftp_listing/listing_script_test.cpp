// Listings against the scripted server: entries read and re-read, the listing holding the
// session, MLSD, refusals, lines a real server would hardly send, and whole listings as text.
#include "ftp_transfer/transfer_fixture.h"

namespace {

using namespace xfer;

using cvftp::kFeatureMlst;

class ListingTest : public XferTest {
 protected:
  static std::vector<std::string> Names(LibHandle h) {
    std::vector<std::string> names;
    FtpFileInfo info;
    for (int32_t r = FtpReadFirstEntry(h, &info); r == 1; r = FtpReadNextEntry(h, &info)) names.push_back(info.name);
    return names;
  }
};

TEST_F(ListingTest, EntriesAreReadInOrderAndCanBeReadAgainAfterTheClose) {
  ScriptServer server;
  DataPort d;
  Greet(server).Expect("TYPE A").Reply("200 A.");
  Serve(Pasv(server, d).Expect("LIST pub"), d,
        "total 3\r\n-rw-r--r-- 1 u g 5000000000 Jan 5 2020 big.iso\r\ndrwxr-xr-x 2 u g 4096 Jan 5 2020 dir\r\n");
  server.Expect("TYPE I").Reply("200 I.").Expect("NOOP").Reply("200 Ok.");
  LibHandle h = Connect(server);
  ASSERT_NE(h, kNone);
  ASSERT_EQ(FtpGetSystemType(h), 1);
  ASSERT_EQ(FtpOpenDirectory(h, "  pub"), 150) << LastError();
  EXPECT_EQ(FtpGetSession(h)->state.load(), FtpState::Listing);
  // The listing holds the session until it is closed.
  EXPECT_EQ(FtpSendCommand(h, "NOOP", nullptr), -1);
  EXPECT_EQ(LastError(), cvErrorOperationInProgress);
  FtpFileInfo info;
  ASSERT_EQ(FtpReadFirstEntry(h, &info), 1) << LastError();
  EXPECT_STREQ(info.name, "big.iso");
  EXPECT_EQ(info.size, 0xFFFFFFFFu);
  FtpFileInfoEx ex;
  ASSERT_EQ(FtpReadNextEntryEx(h, &ex), 1);
  EXPECT_STREQ(ex.name, "dir");
  EXPECT_EQ(ex.directory, 1u);
  EXPECT_EQ(FtpReadNextEntry(h, &info), 0);
  EXPECT_EQ(LastError(), cvErrorEndOfDirectory);
  EXPECT_EQ(FtpCloseDirectory(h), 226);
  EXPECT_EQ(FtpGetSession(h)->state.load(), FtpState::Idle);
  EXPECT_EQ(FtpReadNextEntry(h, &info), 0);
  EXPECT_EQ(LastError(), cvErrorEndOfDirectory);
  EXPECT_EQ(Names(h), (std::vector<std::string>{"big.iso", "dir"}));
  EXPECT_EQ(FtpCloseDirectory(h), 0);  // nothing open
  EXPECT_EQ(FtpSendCommand(h, "NOOP", nullptr), 200);
  EXPECT_TRUE(server.Finish()) << server.failure();
  FtpDisconnect(h);
}

TEST_F(ListingTest, MlsdWhenAnnouncedAndListForWildcards) {
  ScriptServer server;
  DataPort d1, d2;
  Greet(server).Expect("TYPE A").Reply("200 A.");
  Serve(Pasv(server, d1).Expect("MLSD"), d1,
        "type=cdir;modify=20240131235959;perm=el; .\r\ntype=file;size=12;modify=20240131235959;perm=r; a;b.txt\r\n");
  server.Expect("TYPE I").Reply("200 I.").Expect("TYPE A").Reply("200 A.");
  Serve(Pasv(server, d2).Expect("LIST *.txt"), d2, "-rw-r--r-- 1 u g 12 Jan 31 2024 a;b.txt\r\n");
  server.Expect("TYPE I").Reply("200 I.");
  LibHandle h = Connect(server);
  ASSERT_NE(h, kNone);
  FtpSetFeatures(h, 2043 | kFeatureMlst);
  ASSERT_EQ(FtpOpenDirectory(h, nullptr), 150) << LastError();
  EXPECT_EQ(FtpGetDirectoryFormat(h), 7);
  EXPECT_EQ(Names(h), (std::vector<std::string>{".", "a;b.txt"}));
  FtpFileInfoEx ex;
  ASSERT_EQ(FtpReadFirstEntryEx(h, &ex), 1);
  EXPECT_EQ(ex.directory, 1u);
  EXPECT_EQ(ex.modified.wSecond, 59);
  ASSERT_EQ(FtpCloseDirectory(h), 226);
  ASSERT_EQ(FtpOpenDirectory(h, "*.txt"), 150) << LastError();
  EXPECT_EQ(FtpGetDirectoryFormat(h), 0);  // detected again from the listing's first line
  EXPECT_EQ(Names(h), (std::vector<std::string>{"a;b.txt"}));
  EXPECT_EQ(FtpGetDirectoryFormat(h), 1);
  ASSERT_EQ(FtpCloseDirectory(h), 226);
  EXPECT_TRUE(server.Finish()) << server.failure();
  FtpDisconnect(h);
}

TEST_F(ListingTest, RefusedListingRestoresTheTransferType) {
  ScriptServer server;
  DataPort d;
  Greet(server).Expect("TYPE A").Reply("200 A.");
  Pasv(server, d).Expect("LIST nothere").Reply("550 No such directory.");
  server.Expect("TYPE I").Reply("200 I.");
  LibHandle h = Connect(server);
  ASSERT_NE(h, kNone);
  EXPECT_EQ(FtpOpenDirectory(h, "nothere"), -1);
  EXPECT_NE(LastError(), 0u);
  EXPECT_EQ(FtpGetSocket(h, 1), INVALID_SOCKET);
  EXPECT_EQ(FtpGetSession(h)->listingTypeOverride, 0u);
  FtpFileInfo info;
  EXPECT_EQ(FtpReadFirstEntry(h, &info), 0);
  EXPECT_EQ(LastError(), cvErrorDirectoryEmpty);
  EXPECT_TRUE(server.Finish()) << server.failure();
  FtpDisconnect(h);
}

TEST_F(ListingTest, UnusualLinesAreSkippedOrJoined) {
  // An unparsable line skipped, a VMS name alone joined with its details, and a last line
  // without a line feed still read.
  ScriptServer server;
  DataPort d;
  Greet(server).Expect("TYPE A").Reply("200 A.");
  Serve(Pasv(server, d).Expect("LIST"), d,
        "A_LONG_NAME.TXT;1\r\n   2  31-JAN-2024 23:15:00 [G,O] (RWED,RWED,RE,)\r\n"
        "%RMS-E-FNF, file not found\r\nLAST.TXT;4 1 1-FEB-2024");
  server.Expect("TYPE I").Reply("200 I.");
  LibHandle h = Connect(server);
  ASSERT_NE(h, kNone);
  FtpGetSession(h)->systemType = 4;  // VMS
  ASSERT_EQ(FtpOpenDirectory(h, nullptr), 150);
  FtpFileInfoEx ex;
  ASSERT_EQ(FtpReadFirstEntryEx(h, &ex), 1) << LastError();
  EXPECT_STREQ(ex.name, "A_LONG_NAME.TXT");
  EXPECT_EQ(ex.size, 1024u);
  EXPECT_EQ(ex.permissions, 0750u);
  ASSERT_EQ(FtpReadNextEntryEx(h, &ex), 1) << LastError();
  EXPECT_STREQ(ex.name, "LAST.TXT");
  EXPECT_EQ(ex.version, 4u);
  EXPECT_EQ(FtpReadNextEntryEx(h, &ex), 0);
  EXPECT_EQ(LastError(), cvErrorEndOfDirectory);
  EXPECT_EQ(FtpCloseDirectory(h), 226);
  EXPECT_TRUE(server.Finish()) << server.failure();
  FtpDisconnect(h);
}

TEST_F(ListingTest, ALineLongerThanTheBufferFailsTheListing) {
  // Neither a part of the line (it would name another file) nor nothing (a file the
  // server listed would be missing without a word): the listing fails, and the session
  // goes on.
  const std::string longLine = "-rw-r--r-- 1 u g 1 Jan 1 2020 " + std::string(3000, 'x') + "\r\n";
  ScriptServer server;
  DataPort d;
  Greet(server).Expect("TYPE A").Reply("200 A.");
  Serve(Pasv(server, d).Expect("LIST"), d,
        "-rw-r--r-- 1 u g 1 Jan 1 2020 first\r\n" + longLine + "-rw-r--r-- 1 u g 1 Jan 1 2020 last\r\n");
  server.Expect("TYPE I").Reply("200 I.").Expect("NOOP").Reply("200 Ok.");
  LibHandle h = Connect(server);
  ASSERT_NE(h, kNone);
  FtpGetSession(h)->systemType = 1;
  ASSERT_EQ(FtpOpenDirectory(h, nullptr), 150);
  FtpFileInfoEx ex;
  ASSERT_EQ(FtpReadFirstEntryEx(h, &ex), 1) << LastError();
  EXPECT_STREQ(ex.name, "first");
  EXPECT_EQ(FtpReadNextEntryEx(h, &ex), 0);
  EXPECT_EQ(LastError(), cvErrorInvalidServerResponse);
  EXPECT_EQ(FtpCloseDirectory(h), 226);
  EXPECT_EQ(FtpSendCommand(h, "NOOP", nullptr), 200);
  EXPECT_TRUE(server.Finish()) << server.failure();
  FtpDisconnect(h);
}

TEST_F(ListingTest, AListingKeepsTheErrorOfAFailedChannel) {
  // TYPE A without a reply fails the listing with the time-out, not as a server that
  // answered wrongly.
  ScriptServer server;
  Greet(server).Expect("TYPE A").Silence();
  LibHandle h = Connect(server, 1);
  ASSERT_NE(h, kNone);
  EXPECT_EQ(FtpOpenDirectory(h, nullptr), -1);
  EXPECT_EQ(LastError(), cvErrorOperationTimeout);
  FtpDisconnect(h);
}

TEST_F(ListingTest, TheTypeOfAListingWhoseFinalReplyIsLateGoesBackBeforeTheNextCommand) {
  // The close does not wait a second time for the type; the next command, once the late
  // reply is in, puts the server back to the session's type before its own line.
  ScriptServer server;
  DataPort d;
  Greet(server).Expect("TYPE A").Reply("200 A.");
  Serve(Pasv(server, d).Expect("LIST"), d, "-rw-r--r-- 1 u g 1 Jan 1 2020 a\r\n", "");
  server.Sleep(1500ms).Reply("226 Done.").Expect("TYPE I").Reply("200 I.").Expect("NOOP").Reply("200 Ok.");
  LibHandle h = Connect(server, 1);
  ASSERT_NE(h, kNone);
  FtpGetSession(h)->systemType = 1;
  ASSERT_EQ(FtpOpenDirectory(h, nullptr), 150);
  FtpFileInfoEx ex;
  ASSERT_EQ(FtpReadFirstEntryEx(h, &ex), 1) << LastError();
  const auto start = std::chrono::steady_clock::now();
  EXPECT_EQ(FtpCloseDirectory(h), -1);
  EXPECT_EQ(LastError(), cvErrorOperationTimeout);
  EXPECT_LT(std::chrono::steady_clock::now() - start, 1900ms);
  EXPECT_EQ(FtpSendCommand(h, "NOOP", nullptr), 200) << LastError();
  EXPECT_EQ(FtpGetSession(h)->fileType, 3u);
  EXPECT_TRUE(server.Finish()) << server.failure();
  FtpDisconnect(h);
}

TEST_F(ListingTest, ReadListLineReportsCancelAndEachEntry) {
  ScriptServer server;
  DataPort d;
  Greet(server).Expect("TYPE A").Reply("200 A.");
  Serve(Pasv(server, d).Expect("LIST"), d, "total 1\r\n-rw-r--r-- 1 u g 1 Jan 1 2020 a\r\n");
  server.Expect("TYPE I").Reply("200 I.");
  LibHandle h = Connect(server);
  ASSERT_NE(h, kNone);
  FtpGetSession(h)->systemType = 1;
  ASSERT_EQ(FtpOpenFileList(h, nullptr, 0), 150);
  EXPECT_EQ(FtpReadListLine(h, nullptr), 0);
  EXPECT_EQ(LastError(), cvErrorInvalidParameter);
  FtpCancel(h);
  uint32_t done = 7;
  EXPECT_EQ(FtpReadListLine(h, &done), 0);
  EXPECT_EQ(LastError(), cvErrorOperationCanceled);
  EXPECT_EQ(done, 0u);
  EXPECT_EQ(FtpReadListLine(h, &done), 1);  // the total line
  EXPECT_EQ(done, 0u);
  EXPECT_EQ(FtpReadListLine(h, &done), 1);
  EXPECT_EQ(done, 1u);
  EXPECT_EQ(FtpReadListLine(h, &done), 0);
  EXPECT_EQ(LastError(), cvErrorEndOfDirectory);
  EXPECT_EQ(FtpCloseDirectory(h), 226);
  EXPECT_TRUE(server.Finish()) << server.failure();
  FtpDisconnect(h);
}

TEST_F(ListingTest, FileListIsCutToTheBufferAndReadToItsEnd) {
  ScriptServer server;
  DataPort d1, d2;
  Greet(server).Expect("TYPE A").Reply("200 A.");
  Serve(Pasv(server, d1).Expect("NLST"), d1, "alpha\r\nbeta\r\ngamma\r\n");
  server.Expect("TYPE I").Reply("200 I.").Expect("TYPE A").Reply("200 A.");
  Serve(Pasv(server, d2).Expect("LIST x"), d2, "", "450 Listing failed.");
  server.Expect("TYPE I").Reply("200 I.").Expect("NOOP").Reply("200 Ok.");
  LibHandle h = Connect(server);
  ASSERT_NE(h, kNone);
  char buffer[10];
  EXPECT_EQ(FtpGetFileList(h, nullptr, 1, buffer, sizeof buffer), 9) << LastError();
  EXPECT_STREQ(buffer, "alpha\r\nbe");
  EXPECT_EQ(FtpGetFileList(h, "x", 0, buffer, sizeof buffer), -1);
  EXPECT_STREQ(buffer, "");
  EXPECT_EQ(FtpGetFileList(h, nullptr, 0, buffer, 1), -1);
  EXPECT_EQ(LastError(), cvErrorBufferTooSmall);
  EXPECT_EQ(FtpGetFileList(h, nullptr, 0, nullptr, 10), -1);
  EXPECT_EQ(LastError(), cvErrorInvalidParameter);
  FtpSetDirectoryFormat(h, 4);
  EXPECT_EQ(FtpGetFileList(h, nullptr, 1, buffer, sizeof buffer), -1);
  EXPECT_EQ(LastError(), cvErrorOptionNotSupported);
  EXPECT_EQ(FtpSendCommand(h, "NOOP", nullptr), 200);
  EXPECT_TRUE(server.Finish()) << server.failure();
  FtpDisconnect(h);
}

TEST_F(ListingTest, DirectoryFormatRules) {
  ScriptServer server;
  Greet(server);
  LibHandle h = Connect(server);
  ASSERT_NE(h, kNone);
  EXPECT_EQ(FtpSetDirectoryFormat(h, 7), -1);
  EXPECT_EQ(LastError(), cvErrorFeatureNotSupported);
  EXPECT_EQ(FtpSetDirectoryFormat(h, 3), 0);
  EXPECT_EQ(FtpGetDirectoryFormat(h), 3);
  FtpSetFeatures(h, kFeatureMlst);
  EXPECT_EQ(FtpSetDirectoryFormat(h, 7), 0);
  EXPECT_EQ(FtpGetDirectoryFormat(kNone), -1);
  EXPECT_EQ(LastError(), cvErrorInvalidHandle);
  EXPECT_TRUE(server.Finish()) << server.failure();
  FtpDisconnect(h);
}

TEST_F(ListingTest, ListingNeedsTheDataConnectionToItself) {
  // A transfer that is no listing: the directory calls leave it alone.
  ScriptServer server;
  DataPort d1;
  Greet(server);
  Serve(Pasv(server, d1).Expect("RETR f"), d1, "data");
  LibHandle h = Connect(server);
  ASSERT_NE(h, kNone);
  FtpSetFeatures(h, 0);
  FtpGetSession(h)->autoFileType = 0;
  ASSERT_EQ(FtpOpenFile(h, "f", 0), 150);
  EXPECT_EQ(FtpOpenDirectory(h, nullptr), -1);
  EXPECT_EQ(LastError(), cvErrorConnectionOpen);
  EXPECT_EQ(FtpCloseDirectory(h), -1);
  EXPECT_EQ(LastError(), cvErrorDirectoryEmpty);
  EXPECT_EQ(FtpCloseFile(h), 226);
  EXPECT_TRUE(server.Finish()) << server.failure();
  FtpDisconnect(h);
}

}  // namespace
