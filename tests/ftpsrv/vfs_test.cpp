// The virtual file system: paths never leave a client's root (dot-dot, separators,
// drive and network forms, home references, symbolic links), restricted homes, and the
// file and directory commands.
#include <algorithm>

#include "core/errors/error_codes.h"
#include "ftpsrv_util.h"

using namespace ftpsrvtest;

namespace {

class Vfs : public ServerTest {
 protected:
  void SetUp() override {
    ServerTest::SetUp();
    WriteFile(tmp.path() / "outside.txt", "TOP SECRET");
    WriteFile(root / "pub" / "a.txt", "inside");
    fs::create_symlink(tmp.path(), root / "escape");
    fs::create_symlink(tmp.path() / "outside.txt", root / "pub" / "leak.txt");
  }
  uint32_t OnlyClient() {
    uint32_t ids[2] = {};
    return FtpServerListClientIds(server, ids, 2) == 1 ? ids[0] : 0;
  }
};

TEST_F(Vfs, ClientPathsStayInsideTheRoot) {
  Control c;
  ASSERT_TRUE(StartAndLogin(c));
  ASSERT_EQ(c.Cmd("CWD pub"), 250);
  struct Case {
    std::string command;
    int code;
  };
  const Case cases[] = {
      {"SIZE ../../outside.txt", 550},          // dot-dot stops at the root
      {"SIZE /../../../outside.txt", 550},
      {"SIZE ..\\..\\..\\outside.txt", 550},
      {"SIZE \"../../outside.txt\"", 550},
      {"SIZE C:/outside.txt", 553},             // drives and streams cannot be named
      {"SIZE a.txt:stream", 553},
      {"SIZE //server/share/outside.txt", 553},  // nor network paths
      {"SIZE \\\\.\\outside.txt", 553},
      {"SIZE ~other/x", 553},
      {"SIZE leak.txt", 553},                    // links leading out are refused
      {"SIZE /escape/outside.txt", 553},
      {"SIZE ../escape/outside.txt", 553},
      {"MDTM leak.txt", 553},
      {"XMD5 /escape/outside.txt", 553},
      {"DELE leak.txt", 550},
      {"RNFR leak.txt", 553},
      {"MKD /escape/newdir", 553},
      {"SIZE a.txt", 213},
      {"SIZE /pub/a.txt", 213},
      {"SIZE ../pub/./a.txt", 213},
  };
  for (const Case& k : cases) EXPECT_EQ(c.Cmd(k.command), k.code) << k.command;
  EXPECT_EQ(c.Cmd("CWD /escape"), 550);
  EXPECT_EQ(c.Cmd("CWD ../../../.."), 250);
  std::string text;
  EXPECT_EQ(c.Cmd("PWD", &text), 257);
  EXPECT_EQ(text, "257 \"/\" is the current directory");
  EXPECT_EQ(c.Cmd("CDUP"), 250);
  EXPECT_EQ(c.Cmd("PWD", &text), 257);
  EXPECT_EQ(text, "257 \"/\" is the current directory");

  std::string data;
  EXPECT_EQ(c.Download("RETR escape/outside.txt", &data), 553);
  EXPECT_EQ(c.Download("LIST escape", &data), 553);
  EXPECT_EQ(c.Download("RETR ../outside.txt", &data), 550);
  EXPECT_EQ(data.find("SECRET"), std::string::npos);
  EXPECT_EQ(c.Upload("STOR /escape/planted.txt", "x"), 553);
  EXPECT_EQ(c.Upload("STOR ../../planted.txt", "x"), 226);
  EXPECT_TRUE(fs::exists(root / "planted.txt"));
  EXPECT_FALSE(fs::exists(tmp.path() / "planted.txt"));
  EXPECT_EQ(ReadFile(tmp.path() / "outside.txt"), "TOP SECRET");
}

TEST_F(Vfs, RestrictedClientLivesInItsHome) {
  ASSERT_NE(Start(), uint64_t(INVALID_SOCKET));
  ASSERT_EQ(FtpServerAddUser(server, ftpAccessRestricted | ftpAccessAll, "bob", "pw", "/Users/bob"), 1);
  WriteFile(root / "Users" / "bob" / "mine.txt", "bob's");
  WriteFile(root / "top.txt", "top");
  Control c;
  ASSERT_TRUE(c.Connect(port) && c.Reply() == 220);
  ASSERT_TRUE(c.Login("bob", "pw"));
  std::string text;
  EXPECT_EQ(c.Cmd("PWD", &text), 257);
  EXPECT_EQ(text, "257 \"/\" is the current directory");
  EXPECT_EQ(c.Cmd("SIZE /mine.txt"), 213);
  EXPECT_EQ(c.Cmd("SIZE ~/mine.txt"), 213);
  EXPECT_EQ(c.Cmd("SIZE ../top.txt"), 550);
  EXPECT_EQ(c.Cmd("SIZE ../../top.txt"), 550);
  EXPECT_EQ(c.Cmd("CDUP"), 250);
  EXPECT_EQ(c.Cmd("CWD /"), 250);
  EXPECT_EQ(c.Cmd("SIZE mine.txt"), 213);
  EXPECT_EQ(c.Cmd("RMD /"), 550);
  const uint32_t id = OnlyClient();
  EXPECT_EQ(FtpSessionSetAccess(server, id, ftpAccessAll), 0);
  EXPECT_EQ(InetGetLastError(), cvErrorAccessDenied);
  char local[260];
  ASSERT_GT(FtpSessionLocalToVirtual(server, id, (root / "Users" / "bob" / "mine.txt").c_str(), local), 0);
  EXPECT_STREQ(local, "/mine.txt");
  EXPECT_EQ(FtpSessionLocalToVirtual(server, id, (root / "top.txt").c_str(), local), 0);
  EXPECT_EQ(InetGetLastError(), cvErrorInvalidFileName);
}

TEST_F(Vfs, HomeReferencesOfAnUnrestrictedClient) {
  ASSERT_NE(Start(), uint64_t(INVALID_SOCKET));
  ASSERT_EQ(FtpServerAddUser(server, ftpAccessAll, "bob", "pw", "C:\\home\\bob"), 1);
  WriteFile(root / "home" / "bob" / "a.txt", "12345");
  WriteFile(root / "a.txt", "1");
  Control c;
  ASSERT_TRUE(c.Connect(port) && c.Reply() == 220);
  ASSERT_TRUE(c.Login("bob", "pw"));
  std::string text;
  EXPECT_EQ(c.Cmd("PWD", &text), 257);
  EXPECT_EQ(text, "257 \"/home/bob\" is the current directory");
  EXPECT_EQ(c.Cmd("SIZE ~/a.txt", &text), 213);
  EXPECT_EQ(text, "213 5");
  EXPECT_EQ(c.Cmd("SIZE /a.txt", &text), 213);
  EXPECT_EQ(text, "213 1");
  EXPECT_EQ(c.Cmd("CWD ~"), 250);
  EXPECT_EQ(c.Cmd("RETR C:\\a.txt"), 553);
}

TEST_F(Vfs, DirectoryCommands) {
  Control c;
  ASSERT_TRUE(StartAndLogin(c));
  std::string text;
  EXPECT_EQ(c.Cmd("MKD new dir", &text), 257);
  EXPECT_EQ(text, "257 \"/new dir\" created");
  EXPECT_EQ(c.Cmd("MKD new dir", &text), 550);
  EXPECT_EQ(text, "550 File or directory exists");
  fs::create_directories(root / "full" / "sub");
  WriteFile(root / "full" / "sub" / "f", "x");
  EXPECT_EQ(c.Cmd("CWD full/sub"), 250);
  for (const char* protectedDir : {"RMD .", "RMD /full", "RMD /", "SITE RMDIR /full"}) {
    EXPECT_EQ(c.Cmd(protectedDir, &text), 550) << protectedDir;
    EXPECT_EQ(text, "550 Access denied") << protectedDir;
  }
  EXPECT_EQ(c.Cmd("CWD /"), 250);
  EXPECT_EQ(c.Cmd("RMD full", &text), 550);  // not empty
  EXPECT_EQ(c.Cmd("RMDA full", &text), 250);
  EXPECT_EQ(text, "250 Directory removed");
  EXPECT_FALSE(fs::exists(root / "full"));
  fs::create_directories(root / ".hidden");
  EXPECT_EQ(c.Cmd("CWD .hidden"), 550);
  EXPECT_EQ(c.Cmd("RNTO x", &text), 503);
  WriteFile(root / "old.txt", "old");
  EXPECT_EQ(c.Cmd("RNFR old.txt", &text), 350);
  EXPECT_EQ(c.Cmd("RNFR old.txt"), 503);  // drops the pending rename
  EXPECT_EQ(c.Cmd("RNTO new.txt"), 503);
  EXPECT_EQ(c.Cmd("RNFR old.txt"), 350);
  EXPECT_EQ(c.Cmd("RNTO \"new dir\"", &text), 550);
  EXPECT_EQ(text, "550 Access denied");
  EXPECT_EQ(c.Cmd("RNFR old.txt"), 350);
  EXPECT_EQ(c.Cmd("RNTO renamed.txt", &text), 250);
  EXPECT_EQ(ReadFile(root / "renamed.txt"), "old");
  EXPECT_EQ(c.Cmd("DELE missing", &text), 550);
  EXPECT_EQ(text, "550 No such file or directory");
  EXPECT_EQ(c.Cmd("SIZE new dir", &text), 550);
  EXPECT_EQ(text, "550 Not a regular file");
  EXPECT_EQ(c.Cmd("DELE renamed.txt", &text), 250);
  EXPECT_FALSE(fs::exists(root / "renamed.txt"));
}

TEST_F(Vfs, FileTimesAndChecksums) {
  Control c;
  ASSERT_TRUE(StartAndLogin(c));
  WriteFile(root / "empty", "");
  WriteFile(root / "abc", "abc");
  std::string text;
  EXPECT_EQ(c.Cmd("XCRC empty", &text), 250);
  EXPECT_EQ(text, "250 0");
  EXPECT_EQ(c.Cmd("XCRC abc", &text), 250);
  EXPECT_EQ(text, "250 352441C2");
  EXPECT_EQ(c.Cmd("XMD5 abc", &text), 250);
  EXPECT_EQ(text, "250 900150983CD24FB0D6963F7D28E17F72");
  EXPECT_EQ(c.Cmd("MFMT 2024030514070 abc", &text), 501);
  EXPECT_EQ(text, "501 Bad modification time 2024030514070");
  EXPECT_EQ(c.Cmd("MFMT 20240305140700.5 abc"), 501);
  EXPECT_EQ(c.Cmd("MFMT 20240305140701 abc", &text), 213);
  EXPECT_EQ(text, "213 Modify=20240305140701; /abc");
  EXPECT_EQ(c.Cmd("MDTM abc", &text), 213);
  EXPECT_EQ(text, "213 20240305140701");
  EXPECT_EQ(c.Cmd("MDTM nothing", &text), 550);
  EXPECT_EQ(text, "550 File not found");
  EXPECT_EQ(c.Cmd("SITE UTIME 20230101000000 abc", &text), 250);
  EXPECT_EQ(c.Cmd("MDTM abc", &text), 213);
  EXPECT_EQ(text, "213 20230101000000");
}

TEST_F(Vfs, RightsGateCommands) {
  Control c;
  ASSERT_TRUE(StartAndLogin(c, 0, ftpAccessRead | ftpAccessList | ftpAccessChdir));
  WriteFile(root / "f", "x");
  struct Case {
    const char* line;
    const char* reply;
  };
  for (const Case& k : {Case{"DELE f", "502 DELE command not allowed"}, Case{"MKD d", "502 MKD command not allowed"},
                        Case{"RNFR f", "502 RNFR command not allowed"}, Case{"MFMT 20240101000000 f", "502 MFMT command not allowed"},
                        Case{"SITE EXEC x", "502 SITE EXEC command not allowed"},
                        Case{"IDLE 100", "502 IDLE command not allowed"}}) {
    std::string text;
    c.Cmd(k.line, &text);
    EXPECT_EQ(text, k.reply);
  }
  std::string text;
  EXPECT_EQ(c.Upload("STOR g", "x", &text), 502);
  EXPECT_TRUE(fs::exists(root / "f"));
}

// Links that lead out of the root are no entries of the client's tree, and the root is
// "/" to the client, whatever its local folder is called.
TEST_F(Vfs, ListingsShowOnlyTheClientsTree) {
  Control c;
  ASSERT_TRUE(StartAndLogin(c));
  std::string data;
  for (const char* listing : {"LIST /", "NLST /", "MLSD /", "LIST pub", "MLSD pub"}) {
    EXPECT_EQ(c.Download(listing, &data), 226) << listing;
    EXPECT_EQ(data.find("escape"), std::string::npos) << listing << ": " << data;
    EXPECT_EQ(data.find("leak"), std::string::npos) << listing << ": " << data;
  }
  std::string text;
  EXPECT_EQ(c.Cmd("STAT pub", &text), 211);
  EXPECT_EQ(text.find("leak"), std::string::npos) << text;
  EXPECT_EQ(c.Cmd("MLST /", &text), 250);
  EXPECT_NE(text.find("; /\n"), std::string::npos) << text;
  EXPECT_EQ(text.find(root.filename().string()), std::string::npos) << text;
  EXPECT_EQ(c.Cmd("STAT /", &text), 211);
  EXPECT_EQ(text.rfind("211-Status of /\n", 0), 0u) << text;
  EXPECT_EQ(text.find(root.filename().string()), std::string::npos) << text;
}

}  // namespace

namespace {

// A read-only server: a guest and a client logged in with the default rights change
// nothing, whatever command they try.
TEST_F(Vfs, ReadOnlyServerChangesNothing) {
  FtpServerConfig config = Config();
  config.maxGuests = 5;
  ASSERT_NE(Start(ftpServerReadOnly, &config), uint64_t(INVALID_SOCKET));
  owner.hook = [](uint64_t s, uint32_t id, uint32_t event) {
    if (event != ftpEventAuthenticate) return;
    FtpAuthenticateInfo info{};
    info.size = sizeof info;
    if (FtpSessionGetAuthenticateInfo(s, id, &info) && std::string(info.userName) == "erin")
      FtpSessionAuthenticate(s, id, ftpAccessDefault, nullptr);
  };
  WriteFile(root / "Public" / "f.txt", "public");
  WriteFile(root / "f.txt", "original");
  fs::create_directories(root / "d");
  fs::create_directories(root / "Public" / "d");
  const auto snapshot = [&] {
    std::string all;
    for (const auto& e : fs::recursive_directory_iterator(root))
      all += e.path().string() + (e.is_regular_file() ? "=" + ReadFile(e.path()) : "/") + "\n";
    return all;
  };
  const std::string before = snapshot();
  for (const char* user : {"anonymous", "erin"}) {
    SCOPED_TRACE(user);
    Control c;
    ASSERT_TRUE(c.Connect(port) && c.Reply() == 220);
    ASSERT_TRUE(c.Login(user, "guest@example.com"));
    std::string text;
    for (const char* command :
         {"DELE f.txt", "MKD new", "RMD d", "RNFR f.txt", "RNTO g.txt", "MFMT 20200101000000 f.txt",
          "SITE ATTRIB +R f.txt", "SITE MKDIR n", "SITE RMDIR d", "SITE UTIME 20200101000000 f.txt"}) {
      const int code = c.Cmd(command, &text);
      EXPECT_TRUE(code >= 500 && code < 600) << command << ": " << text;
    }
    for (const char* upload : {"STOR f.txt", "APPE f.txt", "STOR new.txt", "STOU"}) {
      const int code = c.Upload(upload, "written", &text);
      EXPECT_TRUE(code >= 500 && code < 600) << upload << ": " << text;
    }
    std::string data;
    EXPECT_EQ(c.Download("RETR f.txt", &data), 226);
  }
  EXPECT_EQ(snapshot(), before);
}

}  // namespace

namespace {

// A path argument is the rest of the line byte for byte: runs of blanks, leading and
// trailing blanks and tabs are part of the name, and only a whole argument in double
// quotes loses its quotes. Every file command sees the same name.
TEST_F(Vfs, NamesAreKeptByteForByte) {
  Control c;
  ASSERT_TRUE(StartAndLogin(c));
  const std::string names[] = {"a  b.txt", "a b.txt", " lead", "trail ", "tab\there", "x \"q\" y"};
  for (const std::string& name : names) {
    SCOPED_TRACE("[" + name + "]");
    ASSERT_EQ(c.Upload("STOR " + name, name + "!"), 226);
    EXPECT_EQ(ReadFile(root / name), name + "!");
    std::string text;
    EXPECT_EQ(c.Cmd("SIZE " + name, &text), 213);
    EXPECT_EQ(text, "213 " + std::to_string(name.size() + 1));
    EXPECT_EQ(c.Upload("APPE " + name, "+"), 226);
    std::string data;
    EXPECT_EQ(c.Download("RETR " + name, &data), 226);
    EXPECT_EQ(data, name + "!+");
    EXPECT_EQ(c.Cmd("MDTM " + name), 213);
    EXPECT_EQ(c.Cmd("MFMT 20200102030405 " + name), 213);
    EXPECT_EQ(c.Cmd("XCRC " + name), 250);
    EXPECT_EQ(c.Cmd("RNFR " + name), 350);
    EXPECT_EQ(c.Cmd("RNTO " + name + "2"), 250);
    EXPECT_TRUE(fs::exists(root / (name + "2")));
    EXPECT_EQ(c.Cmd("RNFR \"" + name + "2\""), 350);  // quoted whole: the quotes go
    EXPECT_EQ(c.Cmd("RNTO " + name), 250);
    EXPECT_EQ(c.Download("NLST " + name, &data), 226);
    EXPECT_EQ(data, name + "\r\n");
    EXPECT_EQ(c.Cmd("DELE " + name), 250);
    EXPECT_FALSE(fs::exists(root / name));
    EXPECT_EQ(c.Cmd("MKD " + name), 257);
    EXPECT_TRUE(fs::is_directory(root / name));
    EXPECT_EQ(c.Cmd("CWD " + name), 250);
    EXPECT_EQ(c.Cmd("CDUP"), 250);
    EXPECT_EQ(c.Cmd("RMD " + name), 250);
    EXPECT_EQ(c.Cmd("SITE MKDIR " + name), 257);
    EXPECT_EQ(c.Cmd("SITE RMDIR " + name), 250);
    EXPECT_FALSE(fs::exists(root / name));
  }
  // Two names that differ only in their blanks stay two files.
  ASSERT_EQ(c.Upload("STOR a  b.txt", "two"), 226);
  ASSERT_EQ(c.Upload("STOR a b.txt", "one"), 226);
  EXPECT_EQ(ReadFile(root / "a  b.txt"), "two");
  EXPECT_EQ(ReadFile(root / "a b.txt"), "one");
}

}  // namespace
