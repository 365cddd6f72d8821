// The public routines an owner calls directly: server-level settings, the file, date and
// text helpers, and every session accessor called from inside the command event.
#include <map>

#include "httpsrv_util.h"
#include "platform/base/thread.h"

using namespace httpsrvtest;

TEST(HttpSrvAccessors, ServerLevelSettings) {
  Server srv;
  const uint64_t h = srv.handle();
  EXPECT_GE(HttpServerIsInitialized(), 1u);
  EXPECT_EQ(HttpServerIsListening(h), 1);
  EXPECT_EQ(HttpServerGetPort(h), int32_t(srv.port()));
  char text[260] = {};
  ASSERT_GT(HttpServerGetDirectory(h, text), 0);
  EXPECT_EQ(std::string(text), srv.root().string());
  EXPECT_NE(HttpServerGetThreadId(h), 0u);
  EXPECT_EQ(HttpServerSetPriority(h, 4), 2);  // the previous priority
  EXPECT_EQ(HttpServerGetPriority(h), 4);
  EXPECT_EQ(HttpServerSetStackSize(h, 1), 1);
  EXPECT_EQ(HttpServerThrottle(h, 10, -1, 0), 1);
  int32_t id = 0;
  EXPECT_EQ(HttpServerGetMethodId(h, "get", &id), 1);
  EXPECT_EQ(id, 1);
  EXPECT_EQ(HttpServerGetMethodId(h, "BREW", &id), 0);
  EXPECT_EQ(HttpServerGetLastError(h), uint32_t(cvErrorInvalidCommand));
  EXPECT_EQ(HttpServerFindHostId(h, "LOCALHOST", 0), 0);
  EXPECT_STREQ(HttpStatusText(404), "Not Found");
  EXPECT_EQ(HttpStatusText(299), nullptr);
  srv.Write("a.txt", "a");
  EXPECT_EQ(srv.Get("/a.txt").body, "a");
  EXPECT_EQ(HttpServerDisconnectAll(h), 0);  // nobody left connected
}

TEST(HttpSrvAccessors, FileDateAndTextHelpers) {
  Server srv;
  const uint64_t h = srv.handle();
  const fs::path file = srv.Write("docs/index.html", "<p>x</p>");
  const std::string docs = (srv.root() / "docs").string();

  EXPECT_EQ(HttpCreateDirectoryPath((srv.dir() / "made/a/b").c_str()), 1);
  EXPECT_TRUE(fs::is_directory(srv.dir() / "made/a/b"));
  EXPECT_EQ(HttpCreateDirectoryPath((file.string() + "/below").c_str()), 0);  // a part is a file
  EXPECT_EQ(InetGetLastError(), uint32_t(cvErrorInvalidFileName));

  struct Validate {
    std::string path;
    uint32_t mode;
    int32_t result;
    uint32_t error;
  } validations[] = {
      {file.string(), 1, 1, 0},
      {docs + "/missing.txt", 1, 0, cvErrorFileNotFound},
      {file.string(), 2, 0, cvErrorDirectoryNotFound},
      {docs + "/no/such.txt", 4, 0, cvErrorDirectoryNotFound},
      {docs + "/new.txt", 4, 1, 0},
      {docs + "/a<b.txt", 4, 0, cvErrorInvalidFileName},
  };
  for (const Validate& v : validations) {
    EXPECT_EQ(HttpServerValidatePath(h, v.path.c_str(), v.mode), v.result) << v.path << " mode " << v.mode;
    if (v.result == 0) {
      EXPECT_EQ(HttpServerGetLastError(h), v.error) << v.path;
    }
  }

  struct Compare {
    const char* base;
    const char* path;
    int32_t result;
  } compares[] = {{"/a/b", "/a/b", 0}, {"/a/b", "/a/b/c", 1}, {"/a/b", "/a/bc", -1},
                  {"", "", 0},         {"", "/x", -1},        {"/x", "", 1}};
  for (const Compare& c : compares) EXPECT_EQ(HttpPathCompare(h, c.base, c.path), c.result) << c.base << " " << c.path;

  char modified[64] = {}, tag[64] = {};
  uint64_t size = 0;
  ASSERT_EQ(HttpGetFileInfo(h, file.c_str(), modified, tag, &size), 1);
  EXPECT_EQ(size, 8u);
  EXPECT_EQ(std::string(modified).size(), 29u) << modified;
  EXPECT_EQ(tag[0], '"');
  EXPECT_EQ(HttpGetFileInfo(h, docs.c_str(), modified, tag, &size), 0);  // a directory
  char date[128] = {}, expiry[128] = {};
  EXPECT_EQ(HttpFormatDate(date), 29);
  EXPECT_EQ(HttpFormatExpiry(86400 * 400, expiry), 29);
  EXPECT_STRNE(date, expiry);
  EXPECT_EQ(std::string(date).substr(26), "GMT");

  char found[260] = {};
  EXPECT_EQ(HttpFindDefaultDocument(docs.c_str(), found), int32_t(file.string().size()));
  EXPECT_EQ(std::string(found), file.string());
  EXPECT_EQ(HttpFindDefaultDocument(srv.dir().c_str(), found), 0);

  struct Decode {
    uint32_t mode;
    std::string in;
    int32_t result;
    std::string out;
  } decodes[] = {
      {1, "aGVsbG8=", 5, "hello"}, {1, "aG!V", -1, ""},     {2, "a%20b+c", 5, "a b+c"},
      {2, "a%2", -1, ""},          {2, "ab%00cd", 2, "ab"}, {2, "%zz", -1, ""},
  };
  for (const Decode& d : decodes) {
    char out[64] = {};
    EXPECT_EQ(HttpDecodeText(d.mode, d.in.c_str(), int32_t(d.in.size()), out, sizeof out), d.result) << d.in;
    if (d.result >= 0) {
      EXPECT_EQ(std::string(out), d.out) << d.in;
    }
  }
  EXPECT_EQ(HttpHasPercentEscapes("ab%", -1), 1);
  EXPECT_EQ(HttpHasPercentEscapes("ab%", 2), 0);
}

// Every session accessor from inside the command event of one request.
TEST(HttpSrvAccessors, SessionAccessorsInTheCommandEvent) {
  Server srv;
  srv.Write("sub/a.txt", "file a");
  srv.Write("sub/b.txt", "file b");
  std::mutex lock;
  std::map<std::string, std::string> seen;
  srv.owner.hook = [&](uint64_t h, uint32_t id, uint32_t event) {
    if (event != httpEventCommand) return;
    std::map<std::string, std::string> got;
    char text[1024] = {};
    auto put = [&](const char* key, int32_t result) { got[key] = std::to_string(result) + ":" + text; };
    put("line", HttpSessionGetRequestLine(h, id, text, sizeof text));
    put("url", HttpSessionGetRequestUrl(h, id, text));
    put("resource", HttpSessionGetResource(h, id, text, sizeof text));
    put("query", HttpSessionGetQuery(h, id, text, sizeof text));
    put("address", HttpSessionGetAddress(h, id, text));
    text[0] = '\0';
    got["method"] = std::to_string(HttpSessionGetMethodId(h, id));
    int32_t port = 0;
    const int32_t portResult = HttpSessionGetPort(h, id, &port);
    got["port"] = std::to_string(portResult) + (port > 0 ? ":set" : ":none");
    got["thread"] = HttpSessionGetThreadId(h, id) == int32_t(plat::GetCurrentThreadId()) ? "same" : "other";
    got["keepAlive"] = std::to_string(HttpSessionIsKeepAlive(h, id));
    got["status"] = std::to_string(HttpSessionGetStatus(h, id));
    uint64_t elapsed = 99;
    got["idle"] = std::to_string(HttpSessionGetIdleTime(h, id, &elapsed));
    got["setIdle"] = std::to_string(HttpSessionSetIdleTime(h, id, 5));
    got["idleAfter"] = std::to_string(HttpSessionGetIdleTime(h, id, nullptr));
    got["skip"] = std::to_string(HttpSessionSkipContent(h, id, 10));  // before the body was claimed
    put("local", HttpSessionGetLocalPath(h, id, text, sizeof text));
    put("map", HttpSessionMapPath(h, id, "/sub/b.txt", text));
    put("virtual", HttpServerGetVirtualPath(h, id, (srv.root() / "sub/b.txt").c_str(), text));
    text[0] = '\0';
    got["read"] = std::to_string(HttpSessionCheckAccess(h, id, httpAccessRead));
    got["writeOther"] = std::to_string(HttpSessionCheckPath(h, id, "/sub/b.txt", httpAccessWrite));
    got["readOther"] = std::to_string(HttpSessionCheckPath(h, id, "/sub/b.txt", httpAccessRead));
    got["script"] = std::to_string(HttpSessionFindScript(h, id));
    got["authenticated"] = std::to_string(HttpSessionIsAuthenticated(h, id));
    const int32_t user = HttpSessionGetUser(h, id, text);
    got["user"] = std::to_string(user) + ":" + std::to_string(HttpServerGetLastError(h));
    put("headers", HttpGetAllRequestHeaders(h, id, text, sizeof text));
    got["clear"] = std::to_string(HttpSessionClearHeaders(h, id, 0));
    got["headerAfter"] = std::to_string(HttpGetRequestHeader(h, id, "X-Test", text, sizeof text));
    got["clearBad"] = std::to_string(HttpSessionClearHeaders(h, id, 2));
    got["setAccess"] = std::to_string(HttpSessionSetAccess(h, id, httpAccessRestricted));
    int32_t access = 0;
    HttpSessionGetAccess(h, id, &access);
    got["access"] = std::to_string(access);
    // The owner moves the request to another file: the handler serves that one.
    got["setLocal"] = std::to_string(HttpSessionSetLocalPath(h, id, "sub/b.txt"));
    std::lock_guard lk(lock);
    seen = got;
  };
  const Response r = srv.Get("/sub/a.txt?x=1", "X-Test: yes\r\n");
  EXPECT_EQ(r.body, "file b");
  const std::string root = srv.root().string(), port = std::to_string(srv.port());
  std::lock_guard lk(lock);
  const std::map<std::string, std::string> expected = {
      {"line", "27:GET /sub/a.txt?x=1 HTTP/1.1"},
      {"url", "36:http://localhost:" + port + "/sub/a.txt?x=1"},
      {"resource", "10:/sub/a.txt"},
      {"query", "3:x=1"},
      {"address", "9:127.0.0.1"},
      {"method", "1"},
      {"port", "1:set"},
      {"thread", "same"},
      {"keepAlive", "0"},
      {"status", "0"},
      {"idle", "60"},
      {"setIdle", "60"},
      {"idleAfter", "10"},
      {"skip", "0"},
      {"local", std::to_string(root.size() + 10) + ":" + root + "/sub/a.txt"},
      {"map", std::to_string(root.size() + 10) + ":" + root + "/sub/b.txt"},
      {"virtual", "10:/sub/b.txt"},
      {"read", "1"},
      {"writeOther", "0"},
      {"readOther", "1"},
      {"script", "0"},
      {"authenticated", "0"},
      {"user", "0:" + std::to_string(cvErrorAuthenticationRequired)},
      {"headers", "30:Host: localhost\r\nX-Test: yes\r\n"},
      {"clear", "1"},
      {"headerAfter", "0"},
      {"clearBad", "0"},
      {"setAccess", "1"},
      {"access", std::to_string(httpAccessRestricted | httpAccessRead)},
      {"setLocal", "1"},
  };
  for (const auto& [key, value] : expected) EXPECT_EQ(seen[key], value) << key;
}
