// Hostile request lines and headers against a root with a rights-less virtual path, hidden
// files and a file outside the root: each form gets its status and nothing protected
// leaks into any answer.
#include "httpsrv_util.h"

using namespace httpsrvtest;
using namespace std::string_literals;

namespace {

// Every protected file holds "SECRET" so one search finds a leak of any of them.
struct RightsFixture {
  Server srv;
  explicit RightsFixture(uint32_t options = 0) : srv(options) {
    srv.Write("hello.txt", "hello");
    srv.Write("index.html", "root index SECRET-INDEX-ONLY-AT-ROOT");
    srv.Write("sub/a.txt", "sub");
    srv.Write("pub/ok.txt", "pub ok");
    srv.Write("pub/private/secret.txt", "SECRET-PRIVATE");
    srv.Write(".git/config", "SECRET-GIT");
    srv.Write(".hid/x.txt", "SECRET-HIDDEN");
    std::ofstream(srv.dir() / "secret.txt") << "SECRET-OUTSIDE";
    EXPECT_EQ(HttpServerAddPath(srv.handle(), 0, httpAccessRead | httpAccessList, "/pub",
                                (srv.root() / "pub").c_str()),
              1);
    EXPECT_EQ(HttpServerAddPath(srv.handle(), 0, 0, "/pub/private", (srv.root() / "pub/private").c_str()), 1);
    // Links inside the root: into the rights-less path, to hidden folders, and one to a
    // plain folder that the root's own rights cover (a link may not leave the folder of
    // the virtual path it lies in).
    fs::create_symlink(srv.root() / "pub/private", srv.root() / "pub/link");
    fs::create_symlink(srv.root() / ".git", srv.root() / "pub/gitlink");
    fs::create_symlink(srv.root() / "pub/private", srv.root() / "toprivate");
    fs::create_symlink(srv.root() / ".git/config", srv.root() / "config.txt");
    fs::create_symlink(srv.root() / "sub", srv.root() / "sublink");
  }
};

struct Case {
  std::string request;  // request line and headers; "Host: l" is added unless the case has a Host
  int status;
};

std::string Complete(const std::string& request) {
  if (request.find("\r\n") == std::string::npos) return request + " HTTP/1.1\r\nHost: l\r\n\r\n";
  return request;
}

void Expect(const Server& srv, const Case& c, const char* secretTag) {
  const Response r = srv.Request(Complete(c.request));
  EXPECT_EQ(r.status, c.status) << c.request << "\n" << r.raw.substr(0, 300);
  EXPECT_EQ(r.raw.find(secretTag), std::string::npos) << c.request << "\n" << r.raw.substr(0, 300);
}

}  // namespace

TEST(HttpSrvRights, PathFormsGetTheirStatusAndServeNothingProtected) {
  RightsFixture f;
  const Case cases[] = {
      {"GET /hello.txt", 200},
      {"GET /pub/ok.txt", 200},
      {"GET /pub/private/secret.txt", 403},
      // Names ending in dots are names: the path does not exist rather than climbing.
      {"GET /pub/zz../private/secret.txt", 404},
      {"GET /pub/private./secret.txt", 404},
      {"GET /pub/.../private/secret.txt", 404},
      {"GET /sub/nothere../index.html", 404},
      {"GET /sub/a.txt./", 404},
      // Dot segments, plain or encoded, resolve before the rights are looked up.
      {"GET /pub/./private/secret.txt", 403},
      {"GET /pub/%2e/private/secret.txt", 403},
      {"GET /pub/x/%2e%2e/private/secret.txt", 403},
      {"GET /pub/x/..%2fprivate/secret.txt", 403},
      {"GET /pub/x/..%5cprivate/secret.txt", 403},
      {"GET /pub//private//secret.txt", 403},
      {"GET \\pub\\private\\secret.txt", 403},
      {"GET /x/../pub/private/secret.txt", 403},
      // Hidden components anywhere below the root.
      {"GET /.git/config", 403},
      {"GET /%2egit/config", 403},
      {"GET /%2Egit/", 403},
      {"GET /pub/../.git/config", 403},
      {"GET /.hid/x.txt", 403},
      // A zero byte never cuts a path.
      {"GET /hello.txt%00.py", 400},
      {"GET /hello.txt%00", 400},
      {"GET /inside%00/../../secret.txt", 400},
      {"GET /%zz", 400},
      // Symbolic links are judged by where they lead: the owner of the resolved path gives
      // the rights, and a hidden component on the way hides it.
      {"GET /pub/link/secret.txt", 403},
      {"GET /toprivate/secret.txt", 403},
      {"GET /pub/gitlink/config", 404},  // leaves the virtual path's folder
      {"GET /config.txt", 403},
      {"GET /sublink/a.txt", 200},
      // Above the root.
      {"GET /../secret.txt", 404},
      {"GET /%2e%2e/secret.txt", 404},
      {"GET /..%2f..%2fsecret.txt", 404},
  };
  for (const Case& c : cases) Expect(f.srv, c, "SECRET");
  const std::string self = "GET http://localhost:" + std::to_string(f.srv.port());
  Expect(f.srv, {self + "/pub/x/../private/secret.txt", 403}, "SECRET");
  Expect(f.srv, {self + "/pub/zz../private/secret.txt", 404}, "SECRET");
}

TEST(HttpSrvRights, RestrictedRefusesHiddenEvenWithTheOption) {
  RightsFixture f(httpServerRestricted | httpServerHiddenFiles);
  Expect(f.srv, {"GET /.hid/x.txt", 403}, "SECRET");
  Expect(f.srv, {"GET /.git/config", 403}, "SECRET");
  RightsFixture shown(httpServerHiddenFiles);
  EXPECT_EQ(shown.srv.Get("/.hid/x.txt").body, "SECRET-HIDDEN");
}

TEST(HttpSrvRights, SmugglingAndMalformedHeadersAre400AndClose) {
  RightsFixture f;
  const std::string body = "GET /.git/config HTTP/1.1\r\nHost: l\r\n\r\n";
  const std::string len = std::to_string(body.size());
  const Case cases[] = {
      {"POST /hello.txt HTTP/1.1\r\nHost: l\r\nContent-Length : " + len + "\r\n\r\n" + body, 400},
      {"POST /hello.txt HTTP/1.1\r\nHost: l\r\nContent-Length: 0\r\nContent-Length: " + len + "\r\n\r\n" + body, 400},
      {"POST /hello.txt HTTP/1.1\r\nHost: l\r\nContent-Length: " + len + "\r\nContent-Length: 0\r\n\r\n" + body, 400},
      {"POST /hello.txt HTTP/1.1\r\nHost: l\r\nContent-Length: 0, " + len + "\r\n\r\n" + body, 400},
      {"POST /hello.txt HTTP/1.1\r\nHost: l\r\nContent-Length: +" + len + "\r\n\r\n" + body, 400},
      {"GET /hello.txt HTTP/1.1\r\nHost : l\r\n\r\n", 400},
      {"GET /hello.txt HTTP/1.1\r\nHost: l\r\nX-A\t: b\r\n\r\n", 400},
      {"GET /hello.txt HTTP/1.1\r\nHost: l\r\nX-A: b\r\n folded: c\r\n\r\n", 400},
      {"GET /hello.txt HTTP/1.1\r\nHost: l\r\nHost: other\r\n\r\n", 400},
      {"GET /hello.txt HTTP/1.1\r\nHost: \"><script>alert(1)</script>\r\n\r\n", 400},
      {"GET /hello.txt HTTP/1.1\r\nHost: a b\r\n\r\n", 400},
      {"GET /hello.txt HTTP/1.1\r\nHost: l:80x\r\n\r\n", 400},
      {"GET /hello.txt HTTP/1.1\r\nHost: [::1\r\n\r\n", 400},
      {"GET /hello.txt HTTP/1.1\r\nHost: l:99999\r\n\r\n", 400},
      {"GET /hello.txt HTTP/1.1\r\nHost: l:65536\r\n\r\n", 400},
      // A zero byte or a lone CR is never taken out of a header, nor a line without a colon
      // passed over: each is refused with an answer.
      {"POST /hello.txt HTTP/1.1\r\nHost: l\r\nContent-Length\0: "s + len + "\r\n\r\n" + body, 400},
      {"GET /hello.txt HTTP/1.1\r\nHost: l\r\nX-A: b\0c\r\n\r\n"s, 400},
      {"GET /hello.txt HTTP/1.1\r\nHost: l\r\nX-A: b\rc\r\n\r\n", 400},
      {"GET /hello.txt\0.x HTTP/1.1\r\nHost: l\r\n\r\n"s, 400},
      {"GET /hello.txt HTTP/1.1\r\nHost: l\r\nNo-Colon-Here\r\n\r\n", 400},
      {"GET /hello.txt HTTP/1.1\r\nHost: l:65535\r\n\r\n", 200},
      {"GET /hello.txt HTTP/1.1\r\nHost: l\r\nContent-Length: 0\r\nContent-Length: 0\r\n\r\n", 200},
      {"GET /hello.txt HTTP/1.1\r\nHost: [::1]:8080\r\n\r\n", 200},
      {"GET /hello.txt HTTP/1.1\r\nHost: www.example-1.test.\r\n\r\n", 200},
  };
  for (const Case& c : cases) Expect(f.srv, c, "SECRET");
  // A refused head ends the connection: its leftover bytes are never a second request.
  RawClient client(AF_INET, f.srv.port());
  client.Send("POST /hello.txt HTTP/1.1\r\nHost: l\r\nContent-Length : " + len + "\r\n\r\n" + body);
  const std::string all = client.ReadAll();
  EXPECT_EQ(all.find("HTTP/1.1", 1), std::string::npos) << all;
  EXPECT_EQ(all.find("SECRET"), std::string::npos);
}

TEST(HttpSrvRights, GeneratedPagesEscapeWhatTheyInsert) {
  RightsFixture f;
  f.srv.owner.hook = [](uint64_t server, uint32_t id, uint32_t event) {
    if (event != httpEventCommand) return;
    char resource[256] = {};
    HttpSessionGetResource(server, id, resource, sizeof resource);
    if (std::string(resource) == "/err") HttpSendError(server, id, 404, "<script>alert(1)</script> & more");
    if (std::string(resource) == "/redir") HttpRedirectRequest(server, id, 2, "http://l/a\"><script>x</script>");
  };
  const Response error = f.srv.Get("/err");
  EXPECT_EQ(error.status, 404);
  EXPECT_EQ(error.body.find("<script>"), std::string::npos) << error.body;
  EXPECT_NE(error.body.find("&lt;script&gt;alert(1)&lt;/script&gt; &amp; more"), std::string::npos) << error.body;
  const Response redirect = f.srv.Get("/redir");
  EXPECT_EQ(redirect.status, 307);
  EXPECT_EQ(redirect.body.find("<script>"), std::string::npos) << redirect.body;
  EXPECT_NE(redirect.body.find("href=\"http://l/a&quot;&gt;&lt;script&gt;"), std::string::npos) << redirect.body;
}

TEST(HttpSrvRights, UnreadBodyIsNeverTheNextRequest) {
  RightsFixture f;
  f.srv.owner.hook = [](uint64_t server, uint32_t id, uint32_t event) {
    if (event == httpEventCommand) HttpSendResponse(server, id, httpSendText, nullptr, "owner", 5);
  };
  const std::string inner = "GET /.git/config HTTP/1.1\r\nHost: l\r\n\r\n";
  RawClient c(AF_INET, f.srv.port());
  c.Send("POST /x HTTP/1.1\r\nHost: l\r\nConnection: keep-alive\r\nContent-Length: " +
         std::to_string(inner.size()) + "\r\n\r\n" + inner);
  const std::string all = c.ReadAll();
  EXPECT_EQ(Parse(all).body, "owner");
  EXPECT_EQ(all.find("HTTP/1.1", 1), std::string::npos) << all;
}

TEST(HttpSrvRights, UploadsAreCheckedBeforeTheBodyIsRead) {
  RightsFixture f;
  const std::string head = "PUT /big.bin HTTP/1.1\r\nHost: l\r\nContent-Length: 300000000\r\n";
  {
    // No write right: refused at once, the client is never asked for the body.
    RawClient c(AF_INET, f.srv.port());
    c.Send(head + "Expect: 100-continue\r\n\r\n");
    const Response r = Parse(c.ReadAll());
    EXPECT_EQ(r.status, 403) << r.raw;
    EXPECT_EQ(r.raw.find("100 Continue"), std::string::npos) << r.raw;
  }
  {
    // Without the expectation the answer still comes before the body is complete.
    RawClient c(AF_INET, f.srv.port());
    c.Send(head + "\r\n" + std::string(1000, 'x'));
    EXPECT_EQ(Parse(c.ReadAll()).status, 403);
  }
  EXPECT_TRUE(fs::is_empty(f.srv.temp()));

  ASSERT_EQ(HttpServerAddPath(f.srv.handle(), 0, httpAccessRead | httpAccessWrite, "/up",
                              (f.srv.root() / "sub").c_str()),
            1);
  RawClient c(AF_INET, f.srv.port());
  c.Send("PUT /up/new.txt HTTP/1.1\r\nHost: l\r\nContent-Length: 4\r\nExpect: 100-continue\r\n\r\n");
  const Response go = c.ReadOne();
  EXPECT_EQ(go.statusLine, "HTTP/1.1 100 Continue");
  c.Send("data");
  EXPECT_EQ(c.ReadOne().status, 201);
  EXPECT_EQ(ReadFile(f.srv.root() / "sub/new.txt"), "data");
}
