// Virtual hosts chosen by the Host header, virtual paths with their access words, the
// path normaliser, and confinement against dot segments and symbolic links.
#include "httpsrv_util.h"

using namespace httpsrvtest;

TEST(HttpSrvHosts, HostHeaderChoosesDocumentRoot) {
  Server srv;
  srv.Write("a.txt", "default");
  const fs::path other = srv.dir() / "other";
  fs::create_directories(other);
  std::ofstream(other / "a.txt") << "other host";
  const int32_t id = HttpServerAddHost(srv.handle(), "www.example.test", 0, other.c_str());
  ASSERT_GT(id, 0);
  EXPECT_EQ(HttpServerAddHost(srv.handle(), "WWW.example.test", 0, other.c_str()), id);
  EXPECT_EQ(HttpServerAddHostAlias(srv.handle(), uint32_t(id), "alias.test"), 1);
  const HttpVirtualHost* found = HttpServerFindHost(srv.handle(), "ALIAS.test", 0);
  ASSERT_NE(found, nullptr);
  EXPECT_EQ(found->hostId, uint32_t(id));
  EXPECT_STREQ(found->hostName, "WWW.example.test");  // re-added under that name
  EXPECT_EQ(found->aliasCount, 1u);
  EXPECT_STREQ(found->root, other.c_str());
  EXPECT_EQ(HttpServerGetHost(srv.handle(), uint32_t(id)), found);
  EXPECT_STREQ(HttpServerGetHost(srv.handle(), 0)->hostName, "localhost");
  EXPECT_EQ(HttpServerGetHost(srv.handle(), 128), nullptr);
  EXPECT_EQ(HttpServerGetLastError(srv.handle()), uint32_t(cvErrorInvalidVirtualHost));
  EXPECT_EQ(HttpServerFindHost(srv.handle(), "nowhere.test", 0), nullptr);
  EXPECT_EQ(HttpServerGetLastError(srv.handle()), uint32_t(cvErrorVirtualHostNotFound));
  EXPECT_EQ(HttpServerFindHost(srv.handle(), "alias.test", srv.port() + 1), nullptr);
  EXPECT_EQ(HttpServerGetLastError(srv.handle()), uint32_t(cvErrorInvalidServicePort));
  EXPECT_EQ(srv.Request("GET /a.txt HTTP/1.1\r\nHost: www.example.test:80\r\n\r\n").body, "other host");
  EXPECT_EQ(srv.Request("GET /a.txt HTTP/1.1\r\nHost: alias.test\r\n\r\n").body, "other host");
  EXPECT_EQ(srv.Request("GET /a.txt HTTP/1.1\r\nHost: unknown.test\r\n\r\n").body, "default");
  EXPECT_EQ(srv.Request("GET /a.txt HTTP/1.0\r\n\r\n").body, "default");

  EXPECT_EQ(HttpServerAddHost(srv.handle(), "x.test", srv.port() + 1, other.c_str()), -1);
  EXPECT_EQ(HttpServerGetLastError(srv.handle()), uint32_t(cvErrorInvalidServicePort));
  EXPECT_EQ(HttpServerDeleteHost(srv.handle(), 0), 0);
  EXPECT_EQ(HttpServerGetLastError(srv.handle()), uint32_t(cvErrorInvalidVirtualHost));
  EXPECT_EQ(HttpServerDeleteHost(srv.handle(), uint32_t(id)), 1);
  EXPECT_EQ(HttpServerGetHost(srv.handle(), uint32_t(id)), nullptr);
  EXPECT_EQ(HttpServerGetLastError(srv.handle()), uint32_t(cvErrorVirtualHostNotFound));
  EXPECT_EQ(srv.Request("GET /a.txt HTTP/1.1\r\nHost: www.example.test\r\n\r\n").body, "default");
}

TEST(HttpSrvHosts, NormalizeVirtualPath) {
  struct Case {
    const char* in;
    const char* out;  // null: invalid
  } cases[] = {
      {"/a/b", "/a/b"},          {"\\a\\\\b", "/a/b"},       {"~/a", "/a"},
      {"/a/./b/../c", "/a/c"},   {"/../../x", "/x"},         {"/a/..", "/"},
      {"/a/b/..", "/a/"},        {"a/b", nullptr},           {"/a?b", nullptr},
      {"/a:b", nullptr},         {"/a*", nullptr},           {"", nullptr},
  };
  for (const Case& c : cases) {
    char out[1024];
    const int32_t n = HttpNormalizeVirtualPath(c.in, out);
    if (!c.out) {
      EXPECT_EQ(n, 0) << c.in;
    } else {
      EXPECT_STREQ(out, c.out) << c.in;
    }
  }
}

TEST(HttpSrvHosts, VirtualPathsResolveLongestDirectory) {
  Server srv;
  const fs::path a = srv.dir() / "a", b = srv.dir() / "b";
  fs::create_directories(a);
  fs::create_directories(b);
  std::ofstream(a / "c") << "from a";
  std::ofstream(b / "c") << "from b";
  std::ofstream(a / "a.txt") << "text";
  ASSERT_EQ(HttpServerAddPath(srv.handle(), 0, httpAccessDefault, "/docs", a.c_str()), 1);
  ASSERT_EQ(HttpServerAddPath(srv.handle(), 0, httpAccessDefault, "/docs/b", b.c_str()), 1);
  ASSERT_EQ(HttpServerAddPath(srv.handle(), 0, httpAccessDefault, "/with blank", a.c_str()), 1);
  char local[260];
  const HttpVirtualPath* docs = HttpServerResolvePath(srv.handle(), 0, "/DOCS/a.txt", local);
  ASSERT_NE(docs, nullptr);
  EXPECT_STREQ(docs->virtualPath, "/docs/");
  EXPECT_EQ(docs->directory, 1u);
  EXPECT_EQ(std::string(local), (a / "a.txt").string());
  const HttpVirtualPath* docsB = HttpServerResolvePath(srv.handle(), 0, "/docs/b/c", local);
  ASSERT_NE(docsB, nullptr);
  EXPECT_STREQ(docsB->virtualPath, "/docs/b/");
  EXPECT_EQ(std::string(local), (b / "c").string());
  EXPECT_EQ(HttpServerResolvePath(srv.handle(), 0, "/docsX", local), nullptr);
  EXPECT_EQ(HttpServerGetLastError(srv.handle()), uint32_t(cvErrorVirtualPathNotFound));
  const HttpVirtualPath* blank = HttpServerResolvePath(srv.handle(), 0, "/with%20blank/c", local);
  ASSERT_NE(blank, nullptr);
  EXPECT_STREQ(blank->virtualPath, "/with%20blank/");  // stored encoded
  // The nodes are linked in the order they were added.
  EXPECT_EQ(docs->next, docsB);
  EXPECT_EQ(docsB->next, blank);
  EXPECT_EQ(HttpServerFindPathByLocal(srv.handle(), 0, b.c_str()), docsB);
  EXPECT_EQ(HttpServerFindPathByLocal(srv.handle(), 0, (b / "c").c_str()), nullptr);
  EXPECT_EQ(HttpServerGetLastError(srv.handle()), uint32_t(cvErrorFileNotFound));
  EXPECT_EQ(srv.Get("/docs/b/c").body, "from b");
  EXPECT_EQ(srv.Get("/docs/c").body, "from a");
  EXPECT_EQ(srv.Get("/with%20blank/c").body, "from a");
  char back[260];
  ASSERT_EQ(HttpServerLocalToVirtual(srv.handle(), 0, (b / "c").c_str(), back), docsB);
  EXPECT_STREQ(back, "/docs/b/c");
  EXPECT_EQ(HttpServerDeletePath(srv.handle(), 0, "/docs/b"), 1);
  EXPECT_EQ(srv.Get("/docs/b/c").status, 404);
}

TEST(HttpSrvHosts, TraversalStaysInsideTheRoot) {
  Server srv;
  srv.Write("inside.txt", "inside");
  std::ofstream(srv.dir() / "secret.txt") << "secret";
  fs::create_symlink(srv.dir() / "secret.txt", srv.root() / "link.txt");
  fs::create_directory_symlink(srv.dir(), srv.root() / "up");
  for (const char* path : {"/../secret.txt", "/%2e%2e/secret.txt", "/%2E%2E%2Fsecret.txt", "/..%2fsecret.txt",
                           "/a/../../secret.txt", "/%5c..%5csecret.txt", "/link.txt", "/up/secret.txt"}) {
    Response r = srv.Get(path);
    EXPECT_EQ(r.body.find("secret"), std::string::npos) << path << "\n" << r.raw;
    EXPECT_NE(r.status, 200) << path;
  }
  EXPECT_EQ(srv.Get("/x/../inside.txt").body, "inside");
  EXPECT_EQ(srv.Get("/inside.txt%00/../../secret.txt").status, 400);  // a zero byte never cuts a path
}

TEST(HttpSrvHosts, RestrictedClientStaysInDocumentRoot) {
  Server srv(httpServerRestricted);
  const fs::path outside = srv.dir() / "outside";
  fs::create_directories(outside);
  std::ofstream(outside / "f") << "out";
  srv.Write("f", "in");
  ASSERT_EQ(HttpServerAddPath(srv.handle(), 0, httpAccessRead, "/out", outside.c_str()), 1);
  EXPECT_EQ(srv.Get("/f").body, "in");
  EXPECT_EQ(srv.Get("/out/f").status, 403);
}

TEST(HttpSrvHosts, HiddenFilesNeedTheOption) {
  Server srv;
  srv.Write(".secret", "s");
  EXPECT_EQ(srv.Get("/.secret").status, 403);
  Server shown(httpServerHiddenFiles);
  shown.Write(".secret", "s");
  EXPECT_EQ(shown.Get("/.secret").status, 200);
}
