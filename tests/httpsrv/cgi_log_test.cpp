// CGI programs and script handlers run without a shell, and the access log formats.
#include "httpsrv_util.h"

using namespace httpsrvtest;

namespace {

fs::path Script(const Server& srv, const std::string& name, const std::string& text) {
  const fs::path p = srv.dir() / "bin" / name;
  fs::create_directories(p.parent_path());
  std::ofstream(p) << text;
  fs::permissions(p, fs::perms(0755));
  return p;
}

const char* kEcho =
    "#!/bin/sh\n"
    "body=$(cat)\n"
    "printf 'Content-Type: text/plain\\r\\nX-Exit: yes\\r\\n\\r\\n'\n"
    "printf 'method=%s\\n' \"$REQUEST_METHOD\"\n"
    "printf 'query=%s\\n' \"$QUERY_STRING\"\n"
    "printf 'info=%s\\n' \"$PATH_INFO\"\n"
    "printf 'custom=%s\\n' \"$HTTP_X_CUSTOM_ID\"\n"
    "printf 'auth=%s\\n' \"$HTTP_AUTHORIZATION\"\n"
    "printf 'user=%s/%s\\n' \"${REMOTE_USER-unset}\" \"${AUTH_TYPE-unset}\"\n"
    "printf 'proxy=%s\\n' \"$HTTP_PROXY\"\n"
    "printf 'args=%s\\n' \"$*\"\n"
    "printf 'body=%s\\n' \"$body\"\n";

}  // namespace

TEST(HttpSrvCgi, ProgramGetsBodyEnvironmentAndPathInfo) {
  Server srv;
  const fs::path prog = Script(srv, "echo.sh", kEcho);
  ASSERT_EQ(HttpServerRegisterProgram(srv.handle(), 0, "/cgi-bin/echo", prog.c_str(), nullptr, nullptr), 1);
  Response r = srv.Request(
      "POST /cgi-bin/echo/a%20c/b?x=1&y=2 HTTP/1.1\r\nHost: l\r\nX-Custom-Id: 77\r\nAuthorization: Basic Zm9vOmJhcg==\r\n"
      "Proxy: http://127.0.0.1:9/\r\n"
      "Content-Type: text/plain\r\nContent-Length: 11\r\n\r\nhello there");
  EXPECT_EQ(r.status, 200) << r.raw;
  EXPECT_EQ(r.Header("X-Exit"), "yes");
  EXPECT_NE(r.body.find("method=POST\n"), std::string::npos) << r.body;
  EXPECT_NE(r.body.find("query=x=1&y=2\n"), std::string::npos);
  EXPECT_NE(r.body.find("info=/a c/b\n"), std::string::npos) << r.body;  // decoded, as CGI defines it
  EXPECT_NE(r.body.find("custom=77\n"), std::string::npos);
  EXPECT_NE(r.body.find("auth=\n"), std::string::npos);
  // No user is defined: the credentials were sent, not checked.
  EXPECT_NE(r.body.find("user=unset/unset\n"), std::string::npos) << r.body;
  EXPECT_NE(r.body.find("proxy=\n"), std::string::npos) << r.body;  // never the script's outgoing proxy
  EXPECT_NE(r.body.find("body=hello there\n"), std::string::npos);
  EXPECT_GE(srv.owner.Count(httpEventExecute), 1);
}

// The program sees an identity only when the server (or its owner) checked it.
TEST(HttpSrvCgi, ProgramSeesOnlyCheckedIdentities) {
  Server srv;
  const fs::path prog = Script(srv, "echo.sh", kEcho);
  ASSERT_EQ(HttpServerRegisterProgram(srv.handle(), 0, "/cgi-bin/echo", prog.c_str(), nullptr, nullptr), 1);
  ASSERT_EQ(HttpServerAddUser(srv.handle(), 0, httpAccessDefault, "known", "right", nullptr), 1);
  const auto get = [&](const char* credentials) {
    return srv.Get("/cgi-bin/echo", std::string("Authorization: Basic ") + credentials + "\r\n").body;
  };
  EXPECT_NE(get("a25vd246cmlnaHQ=").find("user=known/Basic\n"), std::string::npos);  // known:right
  EXPECT_NE(get("a25vd246d3Jvbmc=").find("user=unset/unset\n"), std::string::npos);  // known:wrong
  EXPECT_NE(get("dXNlcjpwdw==").find("user=unset/unset\n"), std::string::npos);      // user:pw
}

TEST(HttpSrvCgi, StatusHeaderOfTheOutput) {
  Server srv;
  struct Case {
    const char* status;
    const char* line;
  } cases[] = {{"404", "HTTP/1.1 404 Not Found"}, {"1200", "HTTP/1.1 500 Invalid Status Code"},
               {"299 Fine Here", "HTTP/1.1 299 Fine Here"}};
  for (const Case& c : cases) {
    const fs::path prog =
        Script(srv, "s.sh", std::string("#!/bin/sh\nprintf 'Status: ") + c.status + "\\r\\n\\r\\nbody'\n");
    ASSERT_EQ(HttpServerRegisterProgram(srv.handle(), 0, "/s", prog.c_str(), nullptr, nullptr), 1);
    Response r = srv.Get("/s");
    EXPECT_EQ(r.statusLine, c.line) << r.raw;
    EXPECT_EQ(r.body, "body");
  }
}

TEST(HttpSrvCgi, HandlerNeedsExecutePathAndGetsScript) {
  Server srv;
  const fs::path interp = Script(srv, "interp.sh", "#!/bin/sh\nprintf 'Content-Type: text/plain\\r\\n\\r\\n'\necho \"script=$2 flag=$1\"\n");
  ASSERT_EQ(HttpServerRegisterHandler(srv.handle(), 0, " .tst", interp.c_str(), "-f", nullptr), 1);
  srv.Write("scripts/x.tst", "content");
  srv.Write("plain/x.tst", "content");
  ASSERT_EQ(HttpServerAddPath(srv.handle(), 0, httpAccessRead | httpAccessExecute, "/scripts",
                              (srv.root() / "scripts").c_str()),
            1);
  Response run = srv.Get("/scripts/x.tst");
  EXPECT_EQ(run.status, 200) << run.raw;
  EXPECT_EQ(run.body, "script=" + (srv.root() / "scripts/x.tst").string() + " flag=-f\n");
  // The extension follows the last dot: these are scripts, never their source.
  srv.Write("scripts/a.b.tst", "SOURCE");
  srv.Write("scripts/config.inc.tst", "SOURCE");
  for (const char* name : {"a.b.tst", "config.inc.tst"}) {
    Response r = srv.Get(std::string("/scripts/") + name);
    EXPECT_EQ(r.body, "script=" + (srv.root() / "scripts" / name).string() + " flag=-f\n") << name;
  }
  EXPECT_EQ(srv.Get("/plain/x.tst").body, "content");  // no Execute: served as a file
  EXPECT_EQ(srv.Get("/scripts/none.tst").status, 404);
}

TEST(HttpSrvCgi, TimeLimitEndsTheProgram) {
  HttpServerConfig config{};
  config.execTime = 1;
  Server srv(0, AF_INET, &config);
  const fs::path marker = srv.dir() / "marker";
  const fs::path prog = Script(srv, "slow.sh", "#!/bin/sh\nsleep 5\ntouch " + marker.string() + "\n");
  ASSERT_EQ(HttpServerRegisterProgram(srv.handle(), 0, "/slow", prog.c_str(), nullptr, nullptr), 1);
  EXPECT_EQ(srv.Get("/slow").status, 500);
  std::this_thread::sleep_for(std::chrono::seconds(5));
  EXPECT_FALSE(fs::exists(marker));  // the whole process group was ended
}

TEST(HttpSrvCgi, NoShellInterpretsTheRequest) {
  Server srv;
  const fs::path marker = srv.dir() / "pwned";
  const fs::path prog = Script(srv, "args.sh", "#!/bin/sh\nprintf '\\r\\n'\nprintf '%s|' \"$@\"\n");
  ASSERT_EQ(HttpServerRegisterHandler(srv.handle(), 0, "sh2", prog.c_str(), nullptr, nullptr), 1);
  srv.Write("x/a;touch " + marker.string() + ";.sh2", "y");
  ASSERT_EQ(HttpServerAddPath(srv.handle(), 0, 5, "/x", (srv.root() / "x").c_str()), 1);
  Response r = srv.Get("/x/a%3btouch%20" + marker.string() + "%3b.sh2");
  EXPECT_FALSE(fs::exists(marker)) << r.raw;
}

TEST(HttpSrvLog, FormatsAndLevels) {
  struct Case {
    uint32_t format, level;
    bool deleteLogged;
  } cases[] = {{1, 1, false}, {2, 5, true}, {3, 0, true}};
  for (const Case& c : cases) {
    cvpeers::TempDir logDir;
    const std::string logFile = (logDir.path() / "access.log").string();
    HttpServerConfig config{};
    config.logFormat = c.format;
    config.logLevel = c.level;
    config.logFile = logFile.c_str();
    Server srv(0, AF_INET, &config);
    ASSERT_EQ(HttpServerAddPath(srv.handle(), 0, 15, "/", srv.root().c_str()), 1);
    srv.Write("a.txt", "12345");
    srv.Write("gone.txt", "x");
    srv.Request("GET /a.txt?q=1 HTTP/1.1\r\nHost: l\r\nUser-Agent: probe/1\r\n\r\n");
    srv.Request("DELETE /gone.txt HTTP/1.1\r\nHost: l\r\n\r\n");
    ASSERT_TRUE(Eventually([&] { return ReadFile(logFile).find("GET") != std::string::npos; }));
    const std::string log = ReadFile(logFile);
    EXPECT_EQ(log.find("DELETE") != std::string::npos, c.deleteLogged) << log;
    if (c.format == 1) {
      EXPECT_NE(log.find("127.0.0.1 - - ["), std::string::npos) << log;
      EXPECT_NE(log.find(" +0000] \"GET /a.txt?q=1 HTTP/1.1\" 200 "), std::string::npos) << log;
    } else if (c.format == 2) {
      EXPECT_NE(log.find(" \"-\" \"probe/1\"\r\n"), std::string::npos) << log;
    } else {
      EXPECT_EQ(log.rfind("#Software: Corvanetics/9.5\r\n#Version: 1.0\r\n#Date: ", 0), 0u) << log;
      EXPECT_NE(log.find("#Fields: date time c-ip cs-username cs-method cs-uri-stem cs-uri-query sc-status "
                         "sc-bytes cs-bytes\r\n"),
                std::string::npos);
      EXPECT_NE(log.find(" 127.0.0.1 - ["), std::string::npos);
      EXPECT_NE(log.find("]GET /a.txt q=1 200 "), std::string::npos) << log;
    }
  }
}

TEST(HttpSrvLog, SettingsChange) {
  Server srv;
  int32_t format = -1, level = -1;
  ASSERT_EQ(HttpServerGetLogSettings(srv.handle(), &format, &level, nullptr, 0), 1);
  EXPECT_EQ(format, 0);
  const std::string file = (srv.dir() / "x.log").string();
  EXPECT_EQ(HttpServerSetLogSettings(srv.handle(), 2, 0, file.c_str()), 1);  // level 0 switches off
  HttpServerGetLogSettings(srv.handle(), &format, &level, nullptr, 0);
  EXPECT_EQ(format, 0);
  EXPECT_EQ(HttpServerSetLogSettings(srv.handle(), 7, 1, file.c_str()), 0);
  EXPECT_EQ(HttpServerSetLogSettings(srv.handle(), 1, 10, file.c_str()), 1);
  srv.Write("a", "x");
  srv.Request("BREW /a HTTP/1.1\r\nHost: l\r\n\r\n");  // level 10 logs unknown methods too
  EXPECT_TRUE(Eventually([&] { return ReadFile(file).find("\"BREW /a HTTP/1.1\" 501") != std::string::npos; }));
}

TEST(HttpSrvLog, QuotesAndControlBytesAreEscaped) {
  cvpeers::TempDir logDir;
  const std::string logFile = (logDir.path() / "access.log").string();
  HttpServerConfig config{};
  config.logFormat = 2;
  config.logFile = logFile.c_str();
  Server srv(0, AF_INET, &config);
  srv.Write("a.txt", "x");
  // A forged second entry in the agent, a quote that would end the field, and bytes a
  // terminal would act on.
  srv.Request("GET /a.txt HTTP/1.1\r\nHost: l\r\nReferer: r\"q\\\r\n"
              "User-Agent: x\" 200 0 \"-\" \"-\"\x1b[31m\x7f\xc3\xa9\r\n\r\n");
  ASSERT_TRUE(Eventually([&] { return ReadFile(logFile).find("GET") != std::string::npos; }));
  const std::string log = ReadFile(logFile);
  EXPECT_NE(log.find(" \"r\\\"q\\\\\" \"x\\\" 200 0 \\\"-\\\" \\\"-\\\"\\x1B[31m\\x7F\\xC3\\xA9\"\r\n"), std::string::npos)
      << log;
  EXPECT_EQ(log.find('\x1b'), std::string::npos);
}
