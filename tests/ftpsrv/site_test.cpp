// SITE and its sub-commands, programs run by clients, and local-account logon.
#include <sys/stat.h>

#include "core/errors/error_codes.h"
#include "ftpsrv/local_logon.h"
#include "ftpsrv_util.h"

using namespace ftpsrvtest;

namespace {

class Site : public ServerTest {};

bool Writable(const fs::path& p) { return (fs::status(p).permissions() & fs::perms::owner_write) != fs::perms::none; }

TEST_F(Site, DispatchAndHelp) {
  Control c;
  ASSERT_TRUE(StartAndLogin(c));
  struct Case {
    const char* line;
    const char* reply;
  };
  for (const Case& k : {Case{"SITE", "500 SITE requires parameters"}, Case{"SITE foo", "500 SITE FOO not understood"},
                        Case{"SITE CHMOD 644 x", "500 SITE CHMOD not understood"},
                        Case{"SITE HELP EXEC", "214 Syntax: SITE EXEC command [parameters ...]"},
                        Case{"SITE HELP NOPE", "502 SITE NOPE command unknown"},
                        Case{"SITE EXEC", "501 No program to execute"}}) {
    std::string text;
    c.Cmd(k.line, &text);
    EXPECT_EQ(text, k.reply) << k.line;
  }
  std::string text;
  EXPECT_EQ(c.Cmd("HELP SITE", &text), 214);
  EXPECT_EQ(text,
            "214-The following SITE commands are available:\n    ATTRIB\n    DIRSTYLE\n    HELP\n    IDLE\n    "
            "MKDIR\n    RMDIR\n    UTIME\n214 End");
}

TEST_F(Site, AttributesAndModes) {
  Control c;
  ASSERT_TRUE(StartAndLogin(c));
  WriteFile(root / "x", "x");
  std::string text;
  EXPECT_EQ(c.Cmd("SITE ATTRIB +R-H x", &text), 250);
  EXPECT_FALSE(Writable(root / "x"));
  EXPECT_EQ(c.Upload("STOR x", "y"), 550);  // read-only files are not overwritten
  EXPECT_EQ(c.Cmd("DELE x"), 550);             // nor deleted, even by a server run as root
  EXPECT_EQ(ReadFile(root / "x"), "x");
  EXPECT_EQ(c.Cmd("SITE ATTRIB +Q x", &text), 501);
  EXPECT_EQ(c.Cmd("SITE ATTRIB -R x", &text), 250);
  EXPECT_TRUE(Writable(root / "x"));
  EXPECT_EQ(c.Cmd("SITE MKDIR a/b/c", &text), 257);
  EXPECT_EQ(text, "257 \"/a/b/c\" created");
  EXPECT_EQ(c.Cmd("SITE RMDIR a", &text), 250);
  EXPECT_FALSE(fs::exists(root / "a"));
}

TEST_F(Site, UnixModeCommands) {
  Control c;
  ASSERT_TRUE(StartAndLogin(c, ftpServerUnixMode));
  WriteFile(root / "x", "x");
  std::string text;
  EXPECT_EQ(c.Cmd("SYST", &text), 215);
  EXPECT_EQ(text, "215 UNIX Type: L8");
  EXPECT_EQ(c.Cmd("SITE CHMOD 444 x", &text), 250);
  EXPECT_FALSE(Writable(root / "x"));
  EXPECT_EQ(c.Cmd("SITE CHMOD 644 x", &text), 250);
  EXPECT_TRUE(Writable(root / "x"));
  EXPECT_EQ(c.Cmd("SITE CHMOD 9z x", &text), 501);
  EXPECT_EQ(c.Cmd("SITE CHGRP staff x", &text), 250);
  EXPECT_EQ(c.Cmd("SITE ATTRIB +R x", &text), 500);
  EXPECT_EQ(c.Cmd("SITE DIRSTYLE", &text), 500);
}

TEST_F(Site, ProgramsRunWithTheirOutput) {
  Control c;
  ASSERT_TRUE(StartAndLogin(c));
  const fs::path script = tmp.Write("two.sh", "#!/bin/sh\necho \"first $1\"\nprintf 'tab\\there\\n'\nexit 3\n",
                                    fs::perms(0755));
  const fs::path slow = tmp.Write("slow.sh", "#!/bin/sh\nsleep 30\n", fs::perms(0755));
  EXPECT_EQ(FtpServerRegisterProgram(server, "ab", script.c_str(), nullptr, nullptr), 0);
  EXPECT_EQ(InetGetLastError(), cvErrorInvalidProgramName);
  EXPECT_EQ(FtpServerRegisterProgram(server, "9ab", script.c_str(), nullptr, nullptr), 0);
  EXPECT_EQ(FtpServerRegisterProgram(server, "a-b", script.c_str(), nullptr, nullptr), 0);
  EXPECT_EQ(FtpServerRegisterProgram(server, "nope", "/no/such/program", nullptr, nullptr), 0);
  EXPECT_EQ(InetGetLastError(), cvErrorFileNotFound);
  EXPECT_EQ(FtpServerRegisterProgram(server, "dir", "/tmp", nullptr, nullptr), 0);
  EXPECT_EQ(InetGetLastError(), cvErrorInvalidFileType);
  ASSERT_EQ(FtpServerRegisterProgram(server, "two", script.c_str(), "%1", nullptr), 1);
  ASSERT_EQ(FtpServerRegisterProgram(server, "slow", slow.c_str(), nullptr, nullptr), 1);
  ASSERT_EQ(FtpServerRegisterProgram(server, "truth", "true", nullptr, nullptr), 1);
  std::atomic<bool> sawOutput{false};
  owner.hook = [&](uint64_t s, uint32_t id, uint32_t event) {
    if (event != ftpEventExecute) return;
    char out[256];
    const int32_t n = FtpSessionGetProgramOutput(s, id, out, sizeof out);
    sawOutput = std::string(out, size_t(n)) == "first arg;rm\ntab here\n";
  };
  std::string text;
  EXPECT_EQ(c.Cmd("SITE EXEC two arg;rm", &text), 200);
  EXPECT_EQ(text, "200-Start of output from TWO:\n first arg;rm\n tab here\n200 Program TWO exited with code 3");
  EXPECT_TRUE(Eventually([&] { return sawOutput.load(); }));
  // Quotes group words; the program gets them without the pair around.
  EXPECT_EQ(c.Cmd("SITE EXEC two \"a b\"", &text), 200);
  EXPECT_EQ(text, "200-Start of output from TWO:\n first a b\n tab here\n200 Program TWO exited with code 3");
  EXPECT_EQ(c.Cmd("SITE EXEC truth", &text), 200);
  EXPECT_EQ(text, "200 Program TRUTH exited with code 0");
  EXPECT_EQ(c.Cmd("SITE EXEC slow", &text), 504);  // ended at the 5 s limit
  EXPECT_EQ(text, "504 Could not execute SLOW");
  EXPECT_EQ(c.Cmd("SITE EXEC other", &text), 504);
}

// Local accounts through a private PAM service: a checker script knows one account, so
// no real account or password of the machine is involved. It notes every name it is asked
// about, and the service asks for a long failure delay of its own.
TEST_F(Site, LocalAccountsLogOnThroughPam) {
  const fs::path asked = tmp.path() / "asked.txt";
  const fs::path checker = tmp.Write("check.sh",
                                     "#!/bin/sh\necho \"$PAM_USER\" >> " + asked.string() +
                                         "\nread -r pw\n[ \"$PAM_USER\" = carol ] && [ \"$pw\" = Pw-1234 ]\n",
                                     fs::perms(0755));
  tmp.Write("pam/cvftpsrvtest",
            "auth optional pam_faildelay.so delay=30000000\nauth required pam_exec.so expose_authtok quiet " +
                checker.string() + "\naccount required pam_permit.so\n");
  cvftpsrv::SetLogonServiceForTesting("cvftpsrvtest", (tmp.path() / "pam").c_str());
  ASSERT_NE(Start(ftpServerLocalUser | ftpServerMultiUser), uint64_t(INVALID_SOCKET));
  ASSERT_EQ(FtpServerAddUser(server, ftpAccessDefault, "listed", "pw", nullptr), 1);
  Control c;
  ASSERT_TRUE(c.Connect(port) && c.Reply() == 220);
  // The server's own pause (a few seconds) is the only one: PAM's 30 s never comes. The
  // control connection's receive limit of 10 s sees to that.
  EXPECT_EQ(c.Cmd("USER carol"), 331);
  EXPECT_EQ(c.Cmd("PASS wrong"), 430);
  // The superuser's account is refused by its uid, before PAM is asked.
  EXPECT_FALSE(c.Login("root", "Pw-1234"));
  EXPECT_FALSE(c.Login("Administrator", "Pw-1234"));
  EXPECT_EQ(ReadFile(asked), "carol\n");
  ASSERT_TRUE(c.Login("carol", "Pw-1234"));
  std::string text;
  EXPECT_EQ(c.Cmd("PWD", &text), 257);
  EXPECT_EQ(text, "257 \"/Users/carol\" is the current directory");
  EXPECT_TRUE(fs::is_directory(root / "Users" / "carol"));
  EXPECT_TRUE(fs::is_directory(root / "Public"));
  cvftpsrv::SetLogonServiceForTesting(nullptr, nullptr);
}

}  // namespace
