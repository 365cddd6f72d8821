// Multiple-file transfers against the scripted server: local names confined to the local
// directory, an empty remote directory, and the working directory restored.
#include "ftp_transfer/transfer_fixture.h"

namespace {

using namespace xfer;

class MultiTest : public XferTest {
 protected:
  // A session in image type without server features, and an empty local folder.
  LibHandle ConnectBinary(ScriptServer& server) {
    LibHandle h = Connect(server);
    if (h == kNone) return h;
    FtpSetFeatures(h, 0);
    EXPECT_EQ(FtpSetFileType(h, 3), 200);
    std::filesystem::create_directories(dir_ / "in");
    return h;
  }
  std::string LocalIn() const { return (dir_ / "in").string(); }
};

TEST_F(MultiTest, ListedFilesLandInTheLocalDirectoryOnly) {
  ScriptServer server;
  DataPort list, evil, ok;
  Greet(server).Expect("TYPE I").Reply("200 I.").Expect("TYPE A").Reply("200 A.");
  Serve(Pasv(server, list).Expect("LIST"), list,
        "-rw-r--r-- 1 u g 3 Jan 1 2020 ../evil.txt\r\ndrwxr-xr-x 2 u g 1 Jan 1 2020 sub\r\n"
        "-rw-r--r-- 1 u g 1 Jan 1 2020 ..\r\n-rw-r--r-- 1 u g 2 Jan 1 2020 ok\r\n");
  server.Expect("TYPE I").Reply("200 I.");
  Serve(Pasv(server, evil).Expect("RETR ../evil.txt"), evil, "abc");
  Serve(Pasv(server, ok).Expect("RETR ok"), ok, "ok");
  LibHandle h = ConnectBinary(server);
  ASSERT_NE(h, kNone);
  const std::string local = LocalIn();
  EXPECT_EQ(FtpRetrieveMultipleFiles(h, local.c_str(), nullptr, nullptr), 0) << LastError();
  EXPECT_EQ(ReadLocal(local + "/evil.txt"), "abc");
  EXPECT_EQ(ReadLocal(local + "/ok"), "ok");
  EXPECT_FALSE(std::filesystem::exists(dir_ / "evil.txt"));
  EXPECT_FALSE(std::filesystem::exists(local + "/sub"));
  EXPECT_EQ(FtpRetrieveMultipleFiles(h, (dir_ / "missing").c_str(), nullptr, nullptr), -1);
  EXPECT_EQ(LastError(), cvErrorDirectoryNotFound);
  EXPECT_TRUE(server.Finish()) << server.failure();
  FtpDisconnect(h);
}

TEST_F(MultiTest, EmptyRemoteDirectoryFailsAndTheWorkingDirectoryIsRestored) {
  ScriptServer server;
  DataPort list;
  Greet(server)
      .Expect("PWD")
      .Reply("257 \"/home\"")
      .Expect("CWD /empty")
      .Reply("250 Ok.")
      .Expect("PWD")
      .Reply("257 \"/empty\"")
      .Expect("TYPE A")
      .Reply("200 A.");
  Serve(Pasv(server, list).Expect("LIST *.txt"), list, "");
  server.Expect("TYPE I")
      .Reply("200 I.")
      .Expect("CWD /home")
      .Reply("250 Ok.")
      .Expect("PWD")
      .Reply("257 \"/home\"")
      .Expect("PWD")
      .Reply("257 \"/home\"")
      .Expect("CWD /nothere")
      .Reply("550 No such directory.");
  LibHandle h = Connect(server);
  ASSERT_NE(h, kNone);
  EXPECT_EQ(FtpRetrieveMultipleFiles(h, nullptr, "/empty", "*.txt"), -1);
  EXPECT_EQ(LastError(), cvErrorDirectoryEmpty);
  EXPECT_STREQ(FtpGetSession(h)->currentDirectory, "/home");
  EXPECT_EQ(FtpStoreMultipleFiles(h, dir_.c_str(), "/nothere", "*.none"), -1);
  EXPECT_NE(LastError(), 0u);
  EXPECT_TRUE(server.Finish()) << server.failure();
  FtpDisconnect(h);
}

TEST_F(MultiTest, StoreWithoutMatchesSendsNothing) {
  ScriptServer server;
  Greet(server);
  LibHandle h = Connect(server);
  ASSERT_NE(h, kNone);
  WriteLocal(Path("a.txt"), "a");
  EXPECT_EQ(FtpStoreMultipleFiles(h, dir_.c_str(), nullptr, "*.none"), -1);
  EXPECT_EQ(LastError(), cvErrorDirectoryEmpty);
  EXPECT_EQ(FtpStoreMultipleFiles(h, Path("missing").c_str(), nullptr, nullptr), -1);
  EXPECT_EQ(LastError(), cvErrorDirectoryNotFound);
  EXPECT_TRUE(server.Finish()) << server.failure();
  FtpDisconnect(h);
}

}  // namespace

TEST_F(MultiTest, AListingBeyondTheLimitFailsBeforeAnythingIsFetched) {
  // Each listed file costs memory until the downloads begin: a listing of more files than
  // a multiple-file download keeps fails whole, and the session goes on.
  std::string listing;
  for (int i = 0; i <= 100000; ++i) listing += "-rw-r--r-- 1 u g 1 Jan 1 2020 f" + std::to_string(i) + "\r\n";
  ScriptServer server;
  DataPort list;
  Greet(server).Expect("TYPE I").Reply("200 I.").Expect("TYPE A").Reply("200 A.");
  Serve(Pasv(server, list).Expect("LIST"), list, listing);
  server.Expect("TYPE I").Reply("200 I.").Expect("NOOP").Reply("200 Ok.");
  LibHandle h = ConnectBinary(server);
  ASSERT_NE(h, kNone);
  const std::string local = LocalIn();
  EXPECT_EQ(FtpRetrieveMultipleFiles(h, local.c_str(), nullptr, nullptr), -1);
  EXPECT_EQ(LastError(), cvErrorBufferTooSmall);
  EXPECT_TRUE(std::filesystem::is_empty(local));
  EXPECT_EQ(FtpSendCommand(h, "NOOP", nullptr), 200);
  EXPECT_TRUE(server.Finish()) << server.failure();
  FtpDisconnect(h);
}
