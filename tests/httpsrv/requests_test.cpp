// Requests on a raw connection: files, conditional requests, directories, errors,
// request-line parsing, keep-alive and the writing methods.
#include "httpsrv_util.h"

using namespace httpsrvtest;

TEST(HttpSrvGet, FileHeadAndMissing) {
  Server srv;
  srv.Write("a.txt", "hello world");
  Response r = srv.Get("/a.txt");
  EXPECT_EQ(r.status, 200) << r.raw;
  EXPECT_EQ(r.body, "hello world");
  EXPECT_EQ(r.Header("Content-Length"), "11");
  EXPECT_EQ(r.Header("Content-Type"), "text/plain");
  EXPECT_EQ(r.Header("Server"), "Corvanetics/9.5");
  EXPECT_EQ(r.Header("Connection"), "close");
  EXPECT_FALSE(r.Header("ETag").empty());
  EXPECT_FALSE(r.Header("Last-Modified").empty());

  Response head = srv.Request("HEAD /a.txt HTTP/1.0\r\n\r\n");
  EXPECT_EQ(head.status, 200);
  EXPECT_EQ(head.Header("Content-Length"), "11");
  EXPECT_TRUE(head.body.empty());
  EXPECT_FALSE(head.Has("Connection"));  // HTTP/1.0 without keep-alive

  Response missing = srv.Get("/nothing.txt");
  EXPECT_EQ(missing.status, 404);
  EXPECT_NE(missing.body.find("<title>404 Not Found</title>"), std::string::npos);
}

TEST(HttpSrvGet, TransferInfoOfTheRequest) {
  Server srv;
  srv.Write("a.txt", std::string(5000, 'a'));
  std::mutex lock;
  uint64_t bytes = 0;
  std::string path;
  srv.owner.hook = [&](uint64_t server, uint32_t id, uint32_t event) {
    if (event != httpEventDownload) return;
    HttpTransferInfo info{};
    info.size = sizeof info;
    std::lock_guard lk(lock);
    if (HttpSessionGetTransferInfo(server, id, &info)) bytes = info.bytes, path = info.localPath;
  };
  srv.Get("/a.txt");
  EXPECT_TRUE(Eventually([&] {
    std::lock_guard lk(lock);
    return bytes > 5000;
  }));
  std::lock_guard lk(lock);
  EXPECT_EQ(path, (srv.root() / "a.txt").string());
}

TEST(HttpSrvGet, Http09HasNoStatusLine) {
  Server srv;
  srv.Write("a.txt", "plain");
  Response r = srv.Request("GET /a.txt\r\n");
  EXPECT_EQ(r.raw, "plain");
}

TEST(HttpSrvGet, ConditionalHeaders) {
  Server srv;
  srv.Write("a.txt", "data");
  Response first = srv.Get("/a.txt");
  const std::string tag = first.Header("ETag"), modified = first.Header("Last-Modified");
  EXPECT_EQ(srv.Get("/a.txt", "If-None-Match: " + tag + "\r\n").status, 304);
  Response changedTag = srv.Get("/a.txt", "If-None-Match: \"x\"\r\nIf-Match: " + tag + "\r\n");
  EXPECT_EQ(changedTag.status, 200);
  EXPECT_EQ(changedTag.body, "data");
  EXPECT_EQ(srv.Get("/a.txt", "If-Match: \"other\"\r\n").status, 412);
  EXPECT_EQ(srv.Get("/a.txt", "If-Modified-Since: " + modified + "\r\n").status, 304);
  // Compared as text: another date format gets the file.
  EXPECT_EQ(srv.Get("/a.txt", "If-Modified-Since: Sunday, 01-Jan-90 00:00:00 GMT\r\n").status, 200);
  EXPECT_EQ(srv.Get("/a.txt", "If-Unmodified-Since: yesterday\r\n").status, 412);
}

TEST(HttpSrvGet, EntityTagChangesWithSameSizeRewrite) {
  Server srv;
  srv.Write("a.txt", "aaaa");
  const std::string before = srv.Get("/a.txt").Header("ETag");
  std::this_thread::sleep_for(std::chrono::milliseconds(20));
  srv.Write("a.txt", "bbbb");
  EXPECT_NE(srv.Get("/a.txt").Header("ETag"), before);
}

TEST(HttpSrvGet, DirectoryRedirectIndexAndListing) {
  Server srv;
  srv.Write("docs/one.txt", "1");
  srv.Write("docs/two words.txt", "22");
  srv.Write("docs/.hidden", "h");
  srv.Write("docs/<b>.txt", "markup");
  Response redirect = srv.Get("/docs?x=1");
  EXPECT_EQ(redirect.status, 301);
  EXPECT_EQ(redirect.Header("Location"), "http://localhost:" + std::to_string(srv.port()) + "/docs/?x=1");

  Response listing = srv.Get("/docs/");
  EXPECT_EQ(listing.status, 200);
  EXPECT_EQ(listing.Header("Content-Type"), "text/html");
  EXPECT_FALSE(listing.Has("Content-Length"));
  EXPECT_NE(listing.body.find("<h2>Index of /docs/</h2>"), std::string::npos);
  const size_t one = listing.body.find(">one.txt</a>"), two = listing.body.find(">two words.txt</a>");
  EXPECT_NE(one, std::string::npos);
  EXPECT_NE(two, std::string::npos);
  EXPECT_LT(one, two);
  EXPECT_EQ(listing.body.find(".hidden"), std::string::npos);
  EXPECT_NE(listing.body.find(">&lt;b&gt;.txt</a>"), std::string::npos);
  EXPECT_EQ(listing.body.find("<b>"), std::string::npos);

  srv.Write("docs/index.htm", "<p>index</p>");
  Response index = srv.Get("/docs/");
  EXPECT_EQ(index.body, "<p>index</p>");
  EXPECT_EQ(index.Header("Content-Type"), "text/html");
}

TEST(HttpSrvGet, NoIndexOptionListsInstead) {
  Server srv(httpServerNoIndex);
  srv.Write("d/index.htm", "x");
  Response r = srv.Get("/d/");
  EXPECT_NE(r.body.find("Index of /d/"), std::string::npos) << r.raw;
}

TEST(HttpSrvParse, BadRequestLines) {
  Server srv;
  srv.Write("a", "x");
  struct Case {
    const char* request;
    int status;
  } cases[] = {
      {"GET /a HTTP/1.1\r\n\r\n", 400},                      // no Host
      {"GET /a b HTTP/1.1\r\nHost: x\r\n\r\n", 400},         // three tokens
      {"GET \"/a b\" HTTP/1.1\r\nHost: x\r\n\r\n", 404},     // quoted: one token
      {"GET /a HTTP/2.0\r\nHost: x\r\n\r\n", 200},           // taken as 1.1
      {"PROPFIND /a HTTP/1.1\r\nHost: x\r\n\r\n", 501},
      {"BREW /a HTTP/1.1\r\nHost: x\r\n\r\n", 501},
      {"OPTIONS /a HTTP/1.1\r\nHost: x\r\n\r\n", 405},       // disabled by default
      {"TRACE /a HTTP/1.1\r\nHost: x\r\n\r\n", 405},
      {"POST /a\r\n", 0},                                    // HTTP/0.9 other than GET: 400 without status line
      {"GET /\xC3\xA9x HTTP/1.1\r\nHost: x\r\n\r\n", 400},   // raw non-ASCII splits the URI
      {"GET http://elsewhere.example/a HTTP/1.1\r\nHost: x\r\n\r\n", 400},
  };
  for (const Case& c : cases) {
    Response r = srv.Request(c.request);
    EXPECT_EQ(r.status, c.status) << c.request << "\n" << r.raw;
  }
}

TEST(HttpSrvParse, AbsoluteUriOfOwnHost) {
  Server srv;
  srv.Write("a", "x");
  Response r = srv.Request("GET http://localhost:" + std::to_string(srv.port()) + "/a HTTP/1.1\r\nHost: localhost\r\n\r\n");
  EXPECT_EQ(r.status, 200) << r.raw;
  EXPECT_EQ(r.body, "x");
}

TEST(HttpSrvParse, KeepAliveUntilRequestLimit) {
  Server srv;
  srv.Write("a", "x");
  RawClient c(AF_INET, srv.port());
  for (int i = 1; i <= 5; ++i) {
    ASSERT_TRUE(c.Send("GET /a HTTP/1.1\r\nHost: localhost\r\nConnection: keep-alive\r\n\r\n"));
    Response r = c.ReadOne();
    EXPECT_EQ(r.status, 200);
    EXPECT_EQ(r.Header("Connection"), i < 5 ? "keep-alive" : "close") << i;
  }
  EXPECT_TRUE(c.ClosedByPeer());
}

// A request line longer than the line buffer is answered, not dropped without a word.
TEST(HttpSrvParse, LongRequestLineIsAnswered414AndCloses) {
  Server srv;
  RawClient c(AF_INET, srv.port());
  c.Send("GET /" + std::string(6000, 'a') + " HTTP/1.1\r\nHost: x\r\n\r\n");
  Response r = c.ReadOne();
  EXPECT_EQ(r.status, 414);
  EXPECT_TRUE(c.ClosedByPeer());
}

TEST(HttpSrvParse, HostHeaderWithIpv6Literal) {
  Server srv;
  std::string seen;
  srv.owner.hook = [&](uint64_t server, uint32_t id, uint32_t event) {
    if (event != httpEventCommand) return;
    char host[256] = {};
    HttpSessionGetHostName(server, id, host);
    seen = host;
  };
  srv.Request("GET / HTTP/1.1\r\nHost: [::1]:8080\r\n\r\n");
  EXPECT_EQ(seen, "::1");
}

TEST(HttpSrvWrite, DefaultPathAccessRefusesWriting) {
  Server srv;
  EXPECT_EQ(srv.Request("PUT /up.txt HTTP/1.1\r\nHost: l\r\nContent-Length: 1\r\n\r\nx").status, 403);
  EXPECT_FALSE(fs::exists(srv.root() / "up.txt"));
  EXPECT_TRUE(fs::is_empty(srv.temp()));
}

TEST(HttpSrvWrite, PutDeleteMkcolCopyMove) {
  Server srv;
  ASSERT_EQ(HttpServerAddPath(srv.handle(), 0, 15, "/", srv.root().c_str()), 1);
  const std::string body = "new file body";
  Response put = srv.Request("PUT /up.txt HTTP/1.1\r\nHost: localhost\r\nContent-Length: " +
                             std::to_string(body.size()) + "\r\n\r\n" + body);
  EXPECT_EQ(put.status, 201) << put.raw;
  EXPECT_EQ(put.Header("Location"), "http://localhost:" + std::to_string(srv.port()) + "/up.txt");
  EXPECT_EQ(ReadFile(srv.root() / "up.txt"), body);
  Response replace = srv.Request("PUT /up.txt HTTP/1.1\r\nHost: localhost\r\nContent-Length: 3\r\n\r\nabc");
  EXPECT_EQ(replace.status, 201);
  EXPECT_EQ(ReadFile(srv.root() / "up.txt"), "abc");
  EXPECT_TRUE(fs::is_empty(srv.temp()));

  EXPECT_EQ(srv.Request("PUT /no/such/dir.txt HTTP/1.1\r\nHost: l\r\nContent-Length: 1\r\n\r\nx").status, 409);
  EXPECT_EQ(srv.Request("MKCOL /made HTTP/1.1\r\nHost: l\r\n\r\n").status, 204);
  EXPECT_TRUE(fs::is_directory(srv.root() / "made"));

  EXPECT_EQ(srv.Request("COPY /up.txt HTTP/1.1\r\nHost: l\r\nDestination: /made/copy.txt\r\n\r\n").status, 204);
  EXPECT_EQ(ReadFile(srv.root() / "made/copy.txt"), "abc");
  EXPECT_EQ(srv.Request("COPY /up.txt HTTP/1.1\r\nHost: l\r\nDestination: /made/copy.txt\r\nOverwrite: F\r\n\r\n")
                .status,
            412);
  // A full URL names this server as the request's own Host does: unknown names are the
  // default host; another port or another configured host is somewhere else.
  const std::string self = "http://127.0.0.1:" + std::to_string(srv.port());
  EXPECT_EQ(srv.Request("COPY /up.txt HTTP/1.1\r\nHost: 127.0.0.1\r\nDestination: " + self + "/made/url.txt\r\n\r\n")
                .status,
            204);
  EXPECT_EQ(ReadFile(srv.root() / "made/url.txt"), "abc");
  const fs::path other = srv.dir() / "other";
  fs::create_directories(other);
  ASSERT_GT(HttpServerAddHost(srv.handle(), "other.test", 0, other.c_str()), 0);
  for (const std::string& elsewhere : {"http://127.0.0.1:" + std::to_string(srv.port() + 1) + "/x.txt",
                                       "http://other.test:" + std::to_string(srv.port()) + "/x.txt"}) {
    EXPECT_EQ(srv.Request("COPY /up.txt HTTP/1.1\r\nHost: l\r\nDestination: " + elsewhere + "\r\n\r\n").status, 403)
        << elsewhere;
    EXPECT_FALSE(fs::exists(srv.root() / "x.txt"));
    EXPECT_FALSE(fs::exists(other / "x.txt"));
  }
  EXPECT_EQ(srv.Request("MOVE /up.txt HTTP/1.1\r\nHost: l\r\nDestination: /moved.txt\r\n\r\n").status, 204);
  EXPECT_FALSE(fs::exists(srv.root() / "up.txt"));
  EXPECT_TRUE(fs::exists(srv.root() / "moved.txt"));

  EXPECT_EQ(srv.Request("DELETE /made HTTP/1.1\r\nHost: l\r\n\r\n").status, 204);
  EXPECT_FALSE(fs::exists(srv.root() / "made"));
  EXPECT_EQ(srv.Request("DELETE / HTTP/1.1\r\nHost: l\r\n\r\n").status, 403);
  EXPECT_TRUE(fs::exists(srv.root()));
  EXPECT_GE(srv.owner.Count(httpEventUpload), 2);
}

TEST(HttpSrvWrite, ReadOnlyRefusesPutButServesGet) {
  Server srv(httpServerReadOnly);
  srv.Write("a", "x");
  EXPECT_EQ(srv.Request("PUT /b HTTP/1.1\r\nHost: l\r\nContent-Length: 1\r\n\r\nx").status, 405);
  EXPECT_EQ(srv.Get("/a").status, 200);
  EXPECT_FALSE(fs::exists(srv.root() / "b"));
}

TEST(HttpSrvWrite, BodyLimitAppliesToPostNotPut) {
  HttpServerConfig config{};
  config.maxRequestSize = 102400;
  Server srv(0, AF_INET, &config);
  ASSERT_EQ(HttpServerAddPath(srv.handle(), 0, 15, "/", srv.root().c_str()), 1);
  srv.Write("form", "x");
  const std::string big(150000, 'b');
  Response post = srv.Request("POST /form HTTP/1.1\r\nHost: l\r\nContent-Length: 150000\r\n\r\n" + big);
  EXPECT_EQ(post.status, 413);
  Response put = srv.Request("PUT /big HTTP/1.1\r\nHost: l\r\nContent-Length: 150000\r\n\r\n" + big);
  EXPECT_EQ(put.status, 201);
  EXPECT_EQ(fs::file_size(srv.root() / "big"), 150000u);
}

TEST(HttpSrvMethods, OptionsAndTraceOnceEnabled) {
  Server srv;
  srv.Write("a", "x");
  ASSERT_EQ(HttpServerEnableMethod(srv.handle(), "OPTIONS"), 1);
  ASSERT_EQ(HttpServerEnableMethod(srv.handle(), "TRACE"), 1);
  ASSERT_EQ(HttpServerAddPath(srv.handle(), 0, httpAccessRead, "/ro", srv.root().c_str()), 1);
  Response opt = srv.Request("OPTIONS /ro/a HTTP/1.1\r\nHost: l\r\n\r\n");
  EXPECT_EQ(opt.status, 200);
  EXPECT_EQ(opt.Header("Allow"), "GET,HEAD,TRACE,OPTIONS");
  Response trace = srv.Request("TRACE /a HTTP/1.1\r\nHost: l\r\nX-Probe: 42\r\n\r\n");
  EXPECT_EQ(trace.Header("Content-Type"), "message/http");
  EXPECT_NE(trace.body.find("TRACE /a HTTP/1.1\r\n"), std::string::npos);
  EXPECT_NE(trace.body.find("X-Probe: 42\r\n"), std::string::npos);
  EXPECT_EQ(HttpServerDisableMethod(srv.handle(), "GET"), 0);
  EXPECT_EQ(HttpServerGetLastError(srv.handle()), uint32_t(cvErrorCommandRequired));
  EXPECT_EQ(HttpServerIsMethodEnabled(srv.handle(), "PROPFIND"), 0);
  EXPECT_EQ(HttpServerGetLastError(srv.handle()), uint32_t(cvErrorCommandNotImplemented));
}

TEST(HttpSrvGet, ListingShowsEveryEntry) {
  Server srv;
  for (int i = 0; i < 1100; ++i) srv.Write("many/f" + std::to_string(10000 + i), "");
  const Response r = srv.Get("/many/");
  EXPECT_EQ(r.status, 200);
  size_t rows = 0;
  for (size_t at = r.body.find("<a href=\"f"); at != std::string::npos; at = r.body.find("<a href=\"f", at + 1)) ++rows;
  EXPECT_EQ(rows, 1100u);
  EXPECT_LT(r.body.find(">f10000</a>"), r.body.find(">f11099</a>"));
}

// Clients that leave in the middle of a large file, with or without reading any of it:
// sendfile meets a connection the peer has closed, which must fail the response, not
// end the host process with SIGPIPE.
TEST(HttpSrvGet, ClientsLeavingDuringALargeFile) {
  Server srv;
  {
    std::ofstream big(srv.root() / "big.bin", std::ios::binary);
    const std::string block(1 << 20, 'b');
    for (int i = 0; i < 32; ++i) big.write(block.data(), std::streamsize(block.size()));
  }
  for (int i = 0; i < 12; ++i) {
    RawClient c(AF_INET, srv.port());
    ASSERT_TRUE(c.connected());
    c.Send("GET /big.bin HTTP/1.1\r\nHost: localhost\r\n\r\n");
    if (i % 3 == 1) c.ReadOne(50);  // some of it read, the rest left unread: a reset
    if (i % 3 == 2) std::this_thread::sleep_for(std::chrono::milliseconds(30));
  }
  std::this_thread::sleep_for(std::chrono::milliseconds(200));
  srv.Write("after.txt", "still here");
  EXPECT_EQ(srv.Get("/after.txt").body, "still here");
}
