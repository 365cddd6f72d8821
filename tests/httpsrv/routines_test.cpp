// The library's smaller public routines: header tables, path and URL helpers, temporary
// files and system folders, the method table copy and the registrations; and the CGI
// environment and header calls used by an owner inside its command event with curl.
#include <map>
#include <memory>

#include "core/url/url.h"
#include "httpsrv_util.h"

using namespace httpsrvtest;

namespace {

std::string RunCurl(const std::string& args) { return RunCommand("curl -s -S -m 20 " + args + " 2>&1"); }

}  // namespace

TEST(HttpSrvRoutines, HeaderTables) {
  Server srv;
  const uint64_t h = srv.handle();
  auto table = std::make_unique<HttpHeaderTable>();
  ASSERT_EQ(HttpHeaderParseLine(h, table.get(), "  X-A : one  "), 1);
  EXPECT_STREQ(HttpHeaderFind(h, table.get(), " x-a"), "one");
  ASSERT_EQ(HttpHeaderSet(h, table.get(), "Set-Cookie", "a=1"), 1);
  ASSERT_EQ(HttpHeaderSet(h, table.get(), "Set-Cookie", "b=2"), 1);
  int cookies = 0;
  for (const HttpHeaderEntry& e : table->entries) cookies += std::string(e.name) == "Set-Cookie";
  EXPECT_EQ(cookies, 2);
  ASSERT_EQ(HttpHeaderSet(h, table.get(), "X-A", "  two "), 1);
  EXPECT_STREQ(HttpHeaderFind(h, table.get(), "X-A"), "two");
  ASSERT_EQ(HttpHeaderSet(h, table.get(), "X-A", ""), 1);  // an empty value is not found
  EXPECT_EQ(HttpHeaderFind(h, table.get(), "X-A"), nullptr);

  struct Refused {
    int32_t result;
    uint32_t error;
  } refused[] = {
      {HttpHeaderParseLine(h, table.get(), "no colon"), cvErrorInvalidParameter},
      {HttpHeaderParseLine(h, table.get(), " : empty name"), cvErrorInvalidParameter},
      {HttpHeaderSet(h, table.get(), "A:B", "v"), cvErrorInvalidParameter},
      {HttpHeaderFind(h, table.get(), "A:B") ? 1 : 0, cvErrorInvalidParameter},
      {HttpHeaderFind(h, table.get(), "  ") ? 1 : 0, cvErrorInvalidParameter},
  };
  for (const Refused& r : refused) EXPECT_EQ(r.result, 0);
  HttpHeaderFind(h, table.get(), "A:B");
  EXPECT_EQ(HttpServerGetLastError(h), uint32_t(cvErrorInvalidParameter));
  for (int i = 0; i < 70; ++i) HttpHeaderSet(h, table.get(), ("X-" + std::to_string(i)).c_str(), "v");
  EXPECT_EQ(HttpHeaderSet(h, table.get(), "X-One-Too-Many", "v"), 0);
  EXPECT_EQ(HttpServerGetLastError(h), uint32_t(cvErrorOutOfMemory));
}

TEST(HttpSrvRoutines, PathUrlTemporaryFileAndFolders) {
  Server srv;
  const uint64_t h = srv.handle();
  char out[1024];
  ASSERT_NE(HttpJoinPath(h, "  \"/srv/www\" ", "a/./b/../c.txt", out), nullptr);
  EXPECT_STREQ(out, "/srv/www/a/c.txt");
  ASSERT_NE(HttpJoinPath(h, "/srv/www/", "x", out), nullptr);
  EXPECT_STREQ(out, "/srv/www/x");
  EXPECT_EQ(HttpJoinPath(h, "/srv", std::string(300, 'n').c_str(), out), nullptr);
  EXPECT_EQ(HttpServerGetLastError(h), uint32_t(cvErrorInvalidFileName));

  struct UrlCase {
    uint32_t scheme, port;
    const char *host, *path, *query, *user, *password, *want;  // want null: refused
  } urls[] = {
      {1, 80, "h", "a/./b/../c", "x y&z=1", nullptr, nullptr, "http://h/a/c?x%20y&z=1"},
      {2, 8443, "::1", "/", nullptr, "me", "pw", "https://me:pw@[::1]:8443/"},
      {2, 443, "h", nullptr, nullptr, "me", nullptr, "https://me@h/"},
      {1, 0, "h", "/v1../x", nullptr, nullptr, nullptr, "http://h/v1../x"},
      {3, 80, "h", "/", nullptr, nullptr, nullptr, nullptr},
      {1, 80, nullptr, "/", nullptr, nullptr, nullptr, nullptr},
  };
  for (const UrlCase& u : urls) {
    std::string path = u.path ? u.path : "", query = u.query ? u.query : "", host = u.host ? u.host : "";
    HttpUrl url{u.scheme, u.port, u.host ? host.data() : nullptr, u.path ? path.data() : nullptr,
                u.query ? query.data() : nullptr, const_cast<char*>(u.user), const_cast<char*>(u.password)};
    const int32_t n = HttpServerComposeUrl(&url, out);
    if (!u.want) {
      EXPECT_EQ(n, 0) << u.scheme;
    } else {
      EXPECT_STREQ(out, u.want);
      EXPECT_EQ(n, int32_t(std::strlen(u.want)));
    }
  }
  std::string longPath = "/" + std::string(1100, 'p');
  HttpUrl tooLong{1, 80, const_cast<char*>("h"), longPath.data(), nullptr, nullptr, nullptr};
  EXPECT_EQ(HttpServerComposeUrl(&tooLong, out), 0);

  char name[260];
  const int fd = HttpCreateTempFile(h, name);
  ASSERT_GE(fd, 0);
  ::close(fd);
  EXPECT_EQ(fs::path(name).parent_path(), srv.temp());
  EXPECT_TRUE(fs::is_regular_file(name));
  EXPECT_EQ(HttpCreateTempFile(h, nullptr), -1);
  EXPECT_EQ(HttpServerGetLastError(h), uint32_t(cvErrorInvalidParameter));

  ASSERT_GT(HttpGetSystemFolder(h, 2, out), 0);
  EXPECT_EQ(std::string(out), srv.temp().string());
  ASSERT_GT(HttpGetSystemFolder(h, 1, out), 0);
  EXPECT_NE(std::string(out).find("/usr/bin"), std::string::npos);
  EXPECT_EQ(HttpGetSystemFolder(h, 4, out), 0);  // no shared public folder on this system
  EXPECT_EQ(HttpGetSystemFolder(h, 9, out), 0);
  EXPECT_EQ(HttpServerGetLastError(h), uint32_t(cvErrorInvalidParameter));
}

TEST(HttpSrvRoutines, MethodCopyAndFreedRegistrations) {
  Server srv;
  srv.Write("prog", "not run");
  const fs::path prog = srv.dir() / "p.sh";
  std::ofstream(prog) << "#!/bin/sh\nprintf 'Content-Type: text/plain\\r\\n\\r\\nran'\n";
  fs::permissions(prog, fs::perms(0755));
  ASSERT_EQ(HttpServerRegisterProgram(srv.handle(), 0, "/prog", prog.c_str(), nullptr, nullptr), 1);
  EXPECT_EQ(srv.Get("/prog").body, "ran");
  HttpServerFreeRegistrations(srv.handle());
  EXPECT_EQ(srv.Get("/prog").body, "not run");

  ASSERT_EQ(HttpServerDisableMethod(srv.handle(), "DELETE"), 1);
  EXPECT_EQ(HttpServerIsMethodEnabled(srv.handle(), "DELETE"), 0);
  HttpServerCopyMethods(srv.handle());  // a fresh copy of the built-in table
  EXPECT_EQ(HttpServerIsMethodEnabled(srv.handle(), "DELETE"), 1);
  EXPECT_EQ(HttpServerIsMethodEnabled(srv.handle(), "OPTIONS"), 0);
}

TEST(HttpSrvRoutines, OwnerUsesCgiEnvironmentAndHeadersInTheCommandEvent) {
  if (cvpeers::FindProgram("curl").empty()) GTEST_SKIP() << "curl not installed";
  // What the hook fills outlives the server, whose threads may still be in the hook.
  std::mutex lock;
  std::map<std::string, std::string> seen;
  Server srv;
  const fs::path prog = srv.dir() / "env.sh";
  std::ofstream(prog) << "#!/bin/sh\nprintf 'Content-Type: text/plain\\r\\n\\r\\n'\n"
                         "printf '%s|%s' \"$MY_VAR\" \"$HTTP_X_CUSTOM_ID\"\nexit 3\n";
  fs::permissions(prog, fs::perms(0755));
  ASSERT_EQ(HttpServerRegisterProgram(srv.handle(), 0, "/env", prog.c_str(), nullptr, nullptr), 1);
  srv.Write("list/a.txt", "a");
  srv.Write("list/b.log", "b");
  const std::string listDir = (srv.root() / "list").string();

  srv.owner.hook = [&](uint64_t server, uint32_t id, uint32_t event) {
    char resource[256] = {};
    HttpSessionGetResource(server, id, resource, sizeof resource);
    std::lock_guard lk(lock);
    if (event == httpEventCommand && std::string(resource) == "/env") {
      char value[256] = {};
      seen["header"] = HttpGetRequestHeader(server, id, "x-custom-id", value, sizeof value) > 0 ? value : "";
      HttpSetResponseHeader(server, id, "X-From-Owner", "yes");
      seen["build"] = std::to_string(HttpBuildCgiEnvironment(server, id));
      HttpSetCgiVariable(server, id, " MY_VAR ", "  from the owner  ");
      seen["get"] = HttpGetCgiVariable(server, id, "my_var", value, sizeof value) > 0 ? value : "";
      const char* found = nullptr;
      uint32_t length = 0;
      const int32_t at = HttpFindCgiVariable(server, id, "MY_VAR", &found, &length);
      seen["find"] = at >= 0 ? std::string(found, length) : "";
      uint32_t size = 0;
      const char* block = HttpGetCgiEnvironment(server, id, &size);
      seen["at"] = block && at >= 0 ? std::string(block + at) : "";
      seen["missing"] = std::to_string(HttpFindCgiVariable(server, id, "NOT_THERE", &found, &length));
      seen["protocol"] = HttpGetCgiVariable(server, id, "SERVER_PROTOCOL", value, sizeof value) > 0 ? value : "";
    } else if (event == httpEventExecute) {
      plat::HGLOBAL out = nullptr;
      uint32_t length = 0;
      if (HttpGetCgiOutput(server, id, &out, &length) == 1) {
        seen["output"] = std::string(static_cast<const char*>(plat::GlobalLock(out)), length);
        plat::GlobalUnlock(out);
        plat::GlobalFree(out);
      }
      int32_t code = -1;
      HttpSessionGetExitCode(server, id, &code);
      seen["exit"] = std::to_string(code);
    } else if (event == httpEventCommand && std::string(resource) == "/listing") {
      HttpSendResponse(server, id, httpSendListing, nullptr, nullptr, 0);
      seen["index"] = std::to_string(HttpSendDirectoryIndex(server, id, (listDir + "/*.txt").c_str()));
      HttpServerDisconnectClient(server, id);
    }
  };
  const std::string out = RunCurl("-i -H 'X-Custom-Id: 77' '" + srv.Url("/env") + "'");
  EXPECT_NE(out.find("X-From-Owner: yes"), std::string::npos) << out;
  EXPECT_NE(out.find("\r\n\r\nfrom the owner|77"), std::string::npos) << out;
  ASSERT_TRUE(Eventually([&] {
    std::lock_guard lk(lock);
    return seen.count("exit") != 0;
  }));
  const std::string listing = RunCurl("'" + srv.Url("/listing") + "'");
  EXPECT_NE(listing.find(">a.txt</a>"), std::string::npos) << listing;
  EXPECT_EQ(listing.find("b.log"), std::string::npos) << listing;

  std::lock_guard lk(lock);
  EXPECT_EQ(seen["header"], "77");
  EXPECT_EQ(seen["build"], "1");
  EXPECT_EQ(seen["get"], "from the owner");
  EXPECT_EQ(seen["find"], "from the owner");
  EXPECT_EQ(seen["at"], "MY_VAR=from the owner");
  EXPECT_EQ(seen["missing"], "-1");
  EXPECT_EQ(seen["protocol"], "HTTP/1.1");
  EXPECT_EQ(seen["output"], "Content-Type: text/plain\r\n\r\nfrom the owner|77");
  EXPECT_EQ(seen["exit"], "3");
  EXPECT_EQ(seen["index"], "1");
}

// The library's own lock, current client, credentials and pending-event operations.
TEST(HttpSrvRoutines, LockCurrentClientCredentialsAndPendingEvents) {
  Server srv;
  const uint64_t h = srv.handle();
  HttpServerLock(h);
  HttpServerLock(h);  // the same thread may take it again
  HttpServerUnlock(h);
  HttpServerUnlock(h);
  EXPECT_EQ(HttpServerCurrentClientId(h), 0u);  // no client event on this thread
  SecCredentials* credentials = nullptr;
  EXPECT_EQ(
      HttpServerBuildCredentials(nullptr, nullptr, (srv.dir() / "missing.pem").c_str(), "localhost", &credentials), 0);
  EXPECT_EQ(credentials, nullptr);
  HttpServerFreeCredentials(&credentials);

  std::atomic<uint32_t> current{0}, id{0};
  std::atomic<int32_t> refused{-1};
  srv.owner.hook = [&](uint64_t server, uint32_t client, uint32_t event) {
    if (event != httpEventCommand) return;
    id = client;
    current = HttpServerCurrentClientId(server);
    HttpSendResponse(server, client, httpSendText, nullptr, "owner", 5);
    refused = HttpSessionSetEvent(server, client, httpEventResult, 0);
    HttpSessionSetEvent(server, client, httpEventUpload, 0);
    HttpServerDisconnectClient(server, client);
  };
  EXPECT_EQ(srv.Get("/x").body, "owner");
  EXPECT_NE(id.load(), 0u);
  EXPECT_EQ(current.load(), id.load());
  EXPECT_EQ(refused.load(), 0);
  EXPECT_TRUE(Eventually([&] { return srv.owner.Count(httpEventUpload) == 1; }));
}
