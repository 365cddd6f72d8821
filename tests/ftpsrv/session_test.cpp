// Server start, sessions, the interpreter's rules, login and owner events on a raw
// control connection.
#include <cstring>

#include "core/errors/error_codes.h"
#include "ftpsrv_util.h"

using namespace ftpsrvtest;

namespace {

class Session : public ServerTest {};

TEST_F(Session, StartRefusesBadConfigurations) {
  struct Case {
    const char* name;
    std::function<void(FtpServerConfig&)> change;
    uint32_t error;
  };
  const std::string temp = (tmp.path() / "ROOT").string();
  std::string upperRoot = rootText;
  const Case cases[] = {
      {"size", [](FtpServerConfig& c) { c.size = 95; }, cvErrorInvalidConfiguration},
      {"uuid", [](FtpServerConfig& c) { c.serverUuid = "not-a-uuid"; }, cvErrorInvalidConfiguration},
      {"span999", [](FtpServerConfig& c) { c.minPassivePort = 20000, c.maxPassivePort = 20999; },
       cvErrorInvalidConfiguration},
      {"inverted", [](FtpServerConfig& c) { c.minPassivePort = 40000, c.maxPassivePort = 30000; },
       cvErrorInvalidConfiguration},
      {"rootIsTemp", [&](FtpServerConfig& c) { c.tempDirectory = rootText.c_str(); }, cvErrorDirectoryExists},
  };
  for (const Case& k : cases) {
    FtpServerConfig c = Config();
    k.change(c);
    EXPECT_EQ(FtpServerStart("127.0.0.1", cvpeers::FreePort(), 0, &c, nullptr, 0, nullptr), uint64_t(INVALID_SOCKET))
        << k.name;
    EXPECT_EQ(InetGetLastError(), k.error) << k.name;
  }
  FtpServerConfig ok = Config();
  ok.minPassivePort = 20000;
  ok.maxPassivePort = 21000;
  ok.serverUuid = "{0f8fad5b-d9cb-469f-a165-70867728950e}";
  ASSERT_NE(Start(0, &ok), uint64_t(INVALID_SOCKET));
  char uuid[40];
  ASSERT_EQ(FtpServerGetUuid(server, uuid), 36);
  EXPECT_STREQ(uuid, "0F8FAD5B-D9CB-469F-A165-70867728950E");
  char dir[260];
  EXPECT_GT(FtpServerGetDirectory(server, dir), 0);
  EXPECT_EQ(fs::path(dir), root);
}

TEST_F(Session, StartNeedsAnAttachedLibrary) {
  FtpServerDetach();
  EXPECT_EQ(FtpServerStart("127.0.0.1", cvpeers::FreePort(), 0, nullptr, nullptr, 0, nullptr),
            uint64_t(INVALID_SOCKET));
  EXPECT_EQ(InetGetLastError(), cvErrorNetworkNotInitialized);
  ASSERT_EQ(FtpServerAttach(nullptr, nullptr), 1);
  LibVersionInfo info{};
  info.size = 167;
  EXPECT_EQ(FtpServerAttach(nullptr, &info), 0);
  info.size = sizeof info;
  ASSERT_EQ(FtpServerAttach(nullptr, &info), 1);
  EXPECT_STREQ(info.banner, "Corvanetics File Transfer Server Library");
  EXPECT_EQ(info.build, 9530u);
  FtpServerDetach();
}

TEST_F(Session, GreetingCommandsAndEventOrder) {
  ASSERT_NE(Start(), uint64_t(INVALID_SOCKET));
  Control c;
  ASSERT_TRUE(c.Connect(port));
  std::string greeting;
  ASSERT_EQ(c.Reply(&greeting), 220);
  EXPECT_NE(greeting.find("Corvanetics 9.5 [127.0.0.1]"), std::string::npos) << greeting;
  std::string text;
  EXPECT_EQ(c.Cmd("syst", &text), 215);
  EXPECT_EQ(text, "215 Windows_NT");
  EXPECT_EQ(c.Cmd("QUIT", &text), 221);
  EXPECT_TRUE(c.ClosedByPeer());
  ASSERT_TRUE(Eventually([&] { return owner.Count(ftpEventDisconnect) == 1; }));
  const std::vector<uint32_t> expected = {ftpEventConnect, ftpEventCommand, ftpEventResult, ftpEventCommand,
                                          ftpEventLogout,  ftpEventResult,  ftpEventDisconnect};
  EXPECT_EQ(owner.Codes(), expected);
}

TEST_F(Session, RefusedConnectionsHearWhyAndRaiseNoEvent) {
  FtpServerConfig config = Config();
  config.maxClients = 2;
  ASSERT_NE(Start(0, &config), uint64_t(INVALID_SOCKET));
  Control a, b, c;
  ASSERT_TRUE(a.Connect(port) && a.Reply() == 220);
  ASSERT_TRUE(b.Connect(port) && b.Reply() == 220);
  std::string text;
  ASSERT_TRUE(c.Connect(port));
  EXPECT_EQ(c.Reply(&text), 421);
  EXPECT_EQ(text, "421 Maximum number of connections exceeded");
  EXPECT_TRUE(c.ClosedByPeer());
  EXPECT_EQ(owner.Count(ftpEventConnect), 2);

  a.Close();
  b.Close();
  ASSERT_TRUE(Eventually([&] { return owner.Count(ftpEventDisconnect) == 2; }));
  EXPECT_EQ(FtpServerSuspend(server), 1);
  EXPECT_EQ(FtpServerIsListening(server), 0);
  Control d;
  ASSERT_TRUE(d.Connect(port));
  EXPECT_EQ(d.Reply(&text), 421);
  EXPECT_EQ(text, "421 Service unavailable, please try again later");
  EXPECT_EQ(FtpServerResume(server), 1);
  EXPECT_EQ(FtpServerIsListening(server), 1);
  // A throttle to 0 clients lifts the limit the start would have made 100.
  EXPECT_EQ(FtpServerThrottle(server, 0, 0, kFtpNoChange, kFtpNoChange), 1);
  Control e[3];
  for (Control& x : e) ASSERT_TRUE(x.Connect(port) && x.Reply() == 220);
}

TEST_F(Session, OwnerRepliesInTheirEvents) {
  ASSERT_NE(Start(), uint64_t(INVALID_SOCKET));
  ASSERT_EQ(FtpServerAddUser(server, ftpAccessDefault, "alice", "secret", nullptr), 1);
  owner.hook = [&](uint64_t s, uint32_t id, uint32_t event) {
    if (event == ftpEventConnect) FtpSessionSendReply(s, id, 220, "Welcome from the host");
    if (event == ftpEventCommand) {
      char verb[32];
      FtpSessionGetCommand(s, id, verb);
      if (std::strcmp(verb, "DELE") == 0) FtpSessionSendReply(s, id, 250, "Host kept it");
      if (std::strcmp(verb, "NOOP") == 0) FtpSessionSendReply(s, id, 200, std::string(5000, 'L').c_str());
      if (std::strcmp(verb, "STAT") == 0) {
        EXPECT_EQ(FtpSessionSendReply(s, id, 99, "x"), 0);
        EXPECT_EQ(InetGetLastError(), cvErrorInvalidResultCode);
        FtpSessionSendReply(s, id, 211, "one\r\ntwo\nthree");
        EXPECT_EQ(FtpSessionSendReply(s, id, 200, "again"), 0);
        EXPECT_EQ(InetGetLastError(), cvErrorCommandSequence);
      }
    }
  };
  WriteFile(root / "keep.txt", "data");
  Control c;
  ASSERT_TRUE(c.Connect(port));
  std::string text;
  EXPECT_EQ(c.Reply(&text), 220);
  EXPECT_EQ(text, "220 Welcome from the host");
  ASSERT_TRUE(c.Login("alice", "secret"));
  EXPECT_EQ(c.Cmd("DELE keep.txt", &text), 250);
  EXPECT_EQ(text, "250 Host kept it");
  EXPECT_TRUE(fs::exists(root / "keep.txt"));
  EXPECT_EQ(c.Cmd("STAT", &text), 211);
  EXPECT_EQ(text, "211-one\n    two\n211 three");
  // A line longer than a reply line goes on in continuation lines, nothing cut.
  EXPECT_EQ(c.Cmd("NOOP", &text), 200);
  std::string joined;
  std::istringstream lines(text);
  for (std::string l; std::getline(lines, l);) joined += l.substr(4);
  EXPECT_EQ(joined, std::string(5000, 'L'));
}

// A client that goes away is reported as a command event with the read's error; the
// command of that event is none, not the previous one, so an owner that answers commands
// in their events does not answer that one again.
TEST_F(Session, AFailedLineReadNamesNoCommand) {
  ASSERT_NE(Start(), uint64_t(INVALID_SOCKET));
  auto verbs = std::make_shared<std::vector<std::string>>();
  auto lock = std::make_shared<std::mutex>();
  owner.hook = [verbs, lock](uint64_t s, uint32_t id, uint32_t event) {
    if (event != ftpEventCommand) return;
    char verb[32] = {};
    FtpSessionGetCommand(s, id, verb);
    std::lock_guard lk(*lock);
    verbs->push_back(verb);
  };
  Control c;
  ASSERT_TRUE(c.Connect(port) && c.Reply() == 220);
  EXPECT_EQ(c.Cmd("SYST"), 215);
  c.Close();
  ASSERT_TRUE(Eventually([&] { return owner.Count(ftpEventDisconnect) == 1; }));
  std::vector<uint32_t> errors;
  {
    std::lock_guard lk(owner.lock);
    for (const Event& e : owner.events)
      if (e.event == ftpEventCommand) errors.push_back(e.error);
  }
  std::lock_guard lk(*lock);
  ASSERT_EQ(verbs->size(), 2u);
  ASSERT_EQ(errors.size(), 2u);
  EXPECT_EQ((*verbs)[0], "SYST");
  EXPECT_EQ(errors[0], 0u);
  EXPECT_NE(errors[1], 0u);
  EXPECT_EQ((*verbs)[1], "");
}

TEST_F(Session, InterpreterRules) {
  ASSERT_NE(Start(), uint64_t(INVALID_SOCKET));
  Control c;
  ASSERT_TRUE(c.Connect(port) && c.Reply() == 220);
  struct Case {
    std::string line;
    std::string reply;
  };
  const Case cases[] = {
      {"PBSZ 0", "530 Not logged in"},
      {"PROT P", "530 Not logged in"},
      {"USER alice", "331 Password required for alice"},
      {"PASS two words", "501 Syntax error in command parameters"},
      {"ACCT x", "502 ACCT command not implemented"},
      {"SMNT x", "502 SMNT command not implemented"},
      {"XYZZY", "500 XYZZY command not recognized"},
      {"   ", "500 Command not recognized"},
      {"syst", "215 Windows_NT"},
      {"HOST -bad", "504 Invalid host name"},
      {"HOST Ftp.Example.com", "220 Host is ftp.example.com"},
      {"LANG en_gb", "200 Using language EN-US"},
      {"LANG fr", "504 Language FR is not supported"},
      {"OPTS UTF8 ON", "200 UTF-8 enabled"},
      {"OPTS MLST type;size", "200 MLST type;size;perm;modify;Win32.ea;"},
      {"OPTS AVBL x", "500 OPTS AVBL not enabled"},
      {"HELP RETR", "214 Syntax: RETR filename"},
      {"HELP ACCT", "214 ACCT is not implemented"},
      {"HELP FOO", "502 FOO command unknown"},
      {std::string(1022, 'A'), "500 " + std::string(1022, 'A') + " command not recognized"},
      {std::string(1023, 'A'), "501 Command line too long"},
      {"NOOP", "530 Not logged in"},
  };
  for (const Case& k : cases) {
    std::string text;
    c.Cmd(k.line, &text);
    EXPECT_EQ(text, k.reply) << k.line.substr(0, 40);
  }
}

TEST_F(Session, FeaturesAndHelpBeforeLogin) {
  ASSERT_NE(Start(), uint64_t(INVALID_SOCKET));
  Control c;
  ASSERT_TRUE(c.Connect(port) && c.Reply() == 220);
  std::string text;
  EXPECT_EQ(c.Cmd("FEAT", &text), 211);
  EXPECT_EQ(text, "211-Features supported:\n    HOST\n    LANG EN*\n    TVFS\n    UTF8\n211 End");
  EXPECT_EQ(c.Cmd("HELP", &text), 214);
  EXPECT_EQ(text,
            "214-The following commands are available:\n    AUTH  FEAT  HELP  HOST  LANG  OPTS  PASS  QUIT  SYST  "
            "USER\n214 End");
}

TEST_F(Session, CommandLineAccessors) {
  ASSERT_NE(Start(), uint64_t(INVALID_SOCKET));
  // Shared, not on the stack: the client's QUIT can reach the hook after this body ends.
  auto checked = std::make_shared<std::atomic<int>>(0);
  owner.hook = [checked](uint64_t s, uint32_t id, uint32_t event) {
    if (event != ftpEventCommand) return;
    char verb[32];
    FtpSessionGetCommand(s, id, verb);
    if (std::strcmp(verb, "HOST") != 0) return;
    const int32_t n = FtpSessionGetCommandLine(s, id, nullptr, 0);
    std::string line(size_t(n) + 1, '\0');
    EXPECT_EQ(FtpSessionGetCommandLine(s, id, line.data(), n), 0);
    EXPECT_EQ(InetGetLastError(), cvErrorBufferTooSmall);
    EXPECT_EQ(FtpSessionGetCommandLine(s, id, line.data(), n + 1), n);
    EXPECT_STREQ(line.c_str(), "HOST a\"b c\"d\xC3" "e");
    checked->fetch_add(1);
  };
  Control c;
  ASSERT_TRUE(c.Connect(port) && c.Reply() == 220);
  // Quotes keep blanks inside one token; a byte of 128 or above is a name character.
  c.Cmd("host  a\"b c\"d\xC3" "e");
  EXPECT_EQ(checked->load(), 1);
}

TEST_F(Session, LoginFailuresAndGuests) {
  FtpServerConfig config = Config();
  config.authFail = 1;
  config.maxGuests = 1;
  ASSERT_NE(Start(0, &config), uint64_t(INVALID_SOCKET));
  ASSERT_EQ(FtpServerAddUser(server, ftpAccessDefault, "alice", "secret", nullptr), 1);
  Control c;
  ASSERT_TRUE(c.Connect(port) && c.Reply() == 220);
  std::string text;
  EXPECT_EQ(c.Cmd("PASS secret", &text), 503);
  EXPECT_EQ(c.Cmd("USER alice"), 331);
  EXPECT_EQ(c.Cmd("PASS SECRET", &text), 430);  // passwords compare with case
  EXPECT_EQ(c.Cmd("USER alice"), 331);
  EXPECT_EQ(c.Cmd("PASS wrong", &text), 421);
  EXPECT_EQ(text, "421 Maximum login attempts exceeded");
  EXPECT_TRUE(c.ClosedByPeer());

  Control g1, g2;
  ASSERT_TRUE(g1.Connect(port) && g1.Reply() == 220);
  EXPECT_EQ(g1.Cmd("USER anonymous", &text), 331);
  EXPECT_EQ(text, "331 Anonymous login okay, provide your email address as your password");
  EXPECT_EQ(g1.Cmd("PASS me@example.com", &text), 230);
  EXPECT_EQ(text, "230 Guest login allowed, access restrictions apply");
  uint32_t ids[4];
  ASSERT_EQ(FtpServerListClientIds(server, ids, 4), 1);
  uint32_t rights = 0;
  EXPECT_EQ(FtpSessionGetAccess(server, ids[0], &rights), 1);
  EXPECT_EQ(rights, 0x3007FFu);
  EXPECT_EQ(FtpSessionIsAnonymous(server, ids[0]), 1);
  EXPECT_EQ(FtpSessionSetAccess(server, ids[0], ftpAccessRead), 0);
  EXPECT_EQ(InetGetLastError(), cvErrorAccessDenied);
  ASSERT_TRUE(g2.Connect(port) && g2.Reply() == 220);
  EXPECT_EQ(g2.Cmd("USER ftp"), 331);
  EXPECT_EQ(g2.Cmd("PASS x", &text), 421);
  EXPECT_EQ(text, "421 Maximum number of anonymous connections exceeded");
}

TEST_F(Session, UserListRules) {
  ASSERT_NE(Start(ftpServerReadOnly), uint64_t(INVALID_SOCKET));
  for (const char* bad : std::initializer_list<const char*>{"ab", "ftp", "AnonyMous", "a@b", "x/y", nullptr})
    EXPECT_EQ(FtpServerAddUser(server, 0, bad, "pw", nullptr), 0) << (bad ? bad : "null");
  EXPECT_EQ(InetGetLastError(), cvErrorInvalidUserName);
  EXPECT_EQ(FtpServerAddUser(server, 0, "carol", "has blank", nullptr), 0);
  EXPECT_EQ(InetGetLastError(), cvErrorInvalidPassword);
  ASSERT_EQ(FtpServerAddUser(server, ftpAccessDefault, "carol", "one", nullptr), 1);
  ASSERT_EQ(FtpServerAddUser(server, ftpAccessDefault, "CAROL", "two", "data"), 1);  // replaces
  Control c;
  ASSERT_TRUE(c.Connect(port) && c.Reply() == 220);
  EXPECT_FALSE(c.Login("carol", "one"));
  ASSERT_TRUE(c.Login("carol", "two"));
  uint32_t ids[2];
  ASSERT_EQ(FtpServerListClientIds(server, ids, 2), 1);
  uint32_t rights = 0;
  FtpSessionGetAccess(server, ids[0], &rights);
  EXPECT_EQ(rights, 2047u);  // the default stored at AddUser keeps write rights on a read-only server
  char home[260];
  ASSERT_GT(FtpSessionGetHomeDirectory(server, ids[0], home), 0);
  EXPECT_EQ(fs::path(home), root / "data");
  EXPECT_TRUE(fs::is_directory(root / "data"));
  EXPECT_EQ(FtpServerDeleteUser(server, "carol"), 1);
  EXPECT_EQ(FtpServerDeleteUser(server, "carol"), 0);
  Control d;
  ASSERT_TRUE(d.Connect(port) && d.Reply() == 220);
  EXPECT_FALSE(d.Login("carol", "two"));
}

TEST_F(Session, ReinitialisingLogsOut) {
  Control c;
  ASSERT_TRUE(StartAndLogin(c));
  std::string text;
  EXPECT_EQ(c.Cmd("REIN", &text), 220);
  EXPECT_EQ(text, "220 Service ready for new user");
  EXPECT_EQ(c.Cmd("PWD"), 530);
  EXPECT_TRUE(c.Login("alice", "secret"));
  EXPECT_EQ(owner.Count(ftpEventLogout), 1);
  EXPECT_TRUE(Eventually([&] { return owner.Count(ftpEventLogin) == 2; }));
}

TEST_F(Session, IdleCommandsClampTheLimit) {
  Control c;
  ASSERT_TRUE(StartAndLogin(c));
  struct Case {
    const char* line;
    const char* reply;
  };
  for (const Case& k : {Case{"IDLE 30", "200 IDLE time set to 60 seconds"}, Case{"IDLE 99999", "200 IDLE time set to 7200 seconds"},
                        Case{"IDLE 1x", "501 Syntax error in command parameters"},
                        Case{"IDLE", "200 IDLE time limit is 7200 seconds; maximum is 7200"},
                        Case{"SITE IDLE 120", "200 IDLE time set to 120 seconds"}}) {
    std::string text;
    c.Cmd(k.line, &text);
    EXPECT_EQ(text, k.reply) << k.line;
  }
  uint32_t ids[2];
  ASSERT_EQ(FtpServerListClientIds(server, ids, 2), 1);
  EXPECT_EQ(FtpSessionSetIdleTimeout(server, ids[0], 30), 120u);
  EXPECT_EQ(FtpSessionSetIdleTimeout(server, ids[0], 0), 60u);
  EXPECT_EQ(FtpSessionGetIdleTime(server, ids[0], nullptr), 900u);
}

TEST_F(Session, RestartHandsOutANewHandle) {
  Control c;
  ASSERT_TRUE(StartAndLogin(c));
  const uint64_t old = server;
  const uint64_t fresh = FtpServerRestart(server);
  ASSERT_NE(fresh, uint64_t(INVALID_SOCKET));
  server = fresh;
  EXPECT_NE(fresh, old);
  EXPECT_TRUE(c.ClosedByPeer());
  uint32_t options = 0;
  EXPECT_EQ(FtpServerGetOptions(old, &options), 0);
  EXPECT_EQ(InetGetLastError(), cvErrorInvalidHandle);
  Control d;
  ASSERT_TRUE(d.Connect(port) && d.Reply() == 220);
  EXPECT_TRUE(d.Login("alice", "secret"));
}

}  // namespace

namespace {

TEST_F(Session, HostAuthenticatesAndRedirectsPaths) {
  ASSERT_NE(Start(), uint64_t(INVALID_SOCKET));
  WriteFile(tmp.path() / "elsewhere.txt", "host's choice");
  std::string seen;
  owner.hook = [&](uint64_t s, uint32_t id, uint32_t event) {
    if (event == ftpEventAuthenticate) {
      FtpAuthenticateInfo info{};
      info.size = sizeof info;
      ASSERT_EQ(FtpSessionGetAuthenticateInfo(s, id, &info), 1);
      seen = std::string(info.hostName) + "|" + info.userName + "|" + info.password;
      if (std::string(info.password) == "letmein") {
        EXPECT_EQ(FtpSessionAuthenticate(s, id, ftpAccessDefault, "C:\\data\\dave"), 1);
        EXPECT_EQ(FtpSessionAuthenticate(s, id, ftpAccessDefault, nullptr), 0);
        EXPECT_EQ(InetGetLastError(), cvErrorAlreadyAuthenticated);
      }
    }
    if (event == ftpEventCommand) {
      char verb[32];
      FtpSessionGetCommand(s, id, verb);
      if (std::strcmp(verb, "RETR") == 0) FtpSessionSetLocalPath(s, id, (tmp.path() / "elsewhere.txt").c_str());
    }
  };
  Control c;
  ASSERT_TRUE(c.Connect(port) && c.Reply() == 220);
  ASSERT_EQ(c.Cmd("HOST ftp.example.org"), 220);
  EXPECT_FALSE(c.Login("dave", "wrong"));
  EXPECT_EQ(seen, "ftp.example.org|dave|wrong");
  ASSERT_TRUE(c.Login("dave", "letmein"));
  EXPECT_TRUE(fs::is_directory(root / "data" / "dave"));
  std::string text;
  EXPECT_EQ(c.Cmd("PWD", &text), 257);
  EXPECT_EQ(text, "257 \"/data/dave\" is the current directory");
  std::string data;
  EXPECT_EQ(c.Download("RETR anything", &data), 226);
  EXPECT_EQ(data, "host's choice");
}

}  // namespace
