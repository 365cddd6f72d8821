#include <gtest/gtest.h>

#include <memory>
#include <string>

#include "core/url/url.h"

namespace {

struct Freer {
  void operator()(void* p) const { UrlFree(p); }
};
using HttpPtr = std::unique_ptr<HttpUrl, Freer>;
using FtpPtr = std::unique_ptr<FtpUrl, Freer>;

std::string S(const char* s) { return s ? s : "<null>"; }

std::string Normalized(std::string text) {
  HttpNormalizePath(text.data());
  return text.c_str();
}

TEST(NormalizePath, RemovesDotSegments) {
  const std::pair<const char*, const char*> cases[] = {
      {"/a/b/../c", "/a/c"},
      {"/a/./b", "/a/b"},
      {"/a/../../b", "/b"},
      {"../a", "a"},
      {"/a/b/..", "/a/"},
      {"/a/b/.", "/a/b/"},
      {"\\a\\b\\..\\c", "\\a\\c"},
      {"", ""},
      {"/plain/path", "/plain/path"},
      {"/..", "/"},
      {"/a//../b", "/a/b"},
      {"..", ""},
      // Only whole "." and ".." segments are dot segments; names with dots stay.
      {"/a/b./c", "/a/b./c"},
      {"/a/.../b", "/a/.../b"},
      {"/files/v1../x.txt", "/files/v1../x.txt"},
      {"/pub/zz../private/s", "/pub/zz../private/s"},
      {"/a/.b/..c/", "/a/.b/..c/"},
      // A lone "." or ".." left once leading dot segments are gone goes too.
      {"./..", ""},
      {".\\..", ""},
      {"../.", ""},
  };
  for (auto [in, want] : cases) EXPECT_EQ(Normalized(in), want) << in;
  EXPECT_EQ(HttpNormalizePath(nullptr), nullptr);
}

TEST(HttpUrlParse, BareHostAndFullForm) {
  HttpUrl* raw = nullptr;
  ASSERT_EQ(HttpParseUrl("  www.example.com", 0, &raw), 1);
  HttpPtr bare(raw);
  EXPECT_EQ(bare->scheme, 1u);
  EXPECT_EQ(bare->port, 80u);
  EXPECT_EQ(S(bare->host), "www.example.com");
  EXPECT_EQ(S(bare->path), "/");
  EXPECT_EQ(bare->query, nullptr);

  ASSERT_EQ(HttpParseUrl("https://me:secret@[2001:db8::1]:8443/a/./b/../c?x=1", 4, &raw), 1);
  HttpPtr full(raw);
  EXPECT_EQ(full->scheme, 2u);
  EXPECT_EQ(full->port, 8443u);
  EXPECT_EQ(S(full->user), "me");
  EXPECT_EQ(S(full->password), "secret");
  EXPECT_EQ(S(full->host), "2001:db8::1");
  EXPECT_EQ(S(full->path), "/a/c");
  EXPECT_EQ(S(full->query), "x=1");

  // A client asking for a name that ends in dots asks for exactly that name.
  ASSERT_EQ(HttpParseUrl("http://h/files/v1../x.txt", 4, &raw), 1);
  EXPECT_EQ(S(HttpPtr(raw)->path), "/files/v1../x.txt");

  ASSERT_EQ(HttpParseUrl("http://h/p?q=1", 8, &raw), 1);
  HttpPtr kept(raw);
  EXPECT_EQ(S(kept->path), "/p?q=1");
  EXPECT_EQ(kept->query, nullptr);
}

TEST(HttpUrlParse, PortsAndFailures) {
  const std::pair<const char*, uint32_t> ports[] = {
      {"http://h:/", 80}, {"http://h:8080", 8080}, {"https://h:65535/", 65535}, {"http://h:1", 1}};
  for (auto [url, port] : ports) {
    HttpUrl* raw = nullptr;
    ASSERT_EQ(HttpParseUrl(url, 0, &raw), 1) << url;
    EXPECT_EQ(HttpPtr(raw)->port, port) << url;
  }
  for (const char* bad : {"http://h:8o/", "host:80/x", "ftp://h/", "http://[::1/x", "", "   "}) {
    HttpUrl* raw = reinterpret_cast<HttpUrl*>(1);
    EXPECT_EQ(HttpParseUrl(bad, 0, &raw), 0) << bad;
    EXPECT_EQ(raw, nullptr) << bad;
  }
  EXPECT_EQ(HttpParseUrl("http://h/", 0, nullptr), 0);
}

// Both parsers share the split, so what one refuses the other refuses too: a port that is
// not 1..65535 (never quietly the default), an empty host, and a host holding "@", a blank
// or a control character.
TEST(UrlParse, RefusesPortsHostsTheUrlNeverNamed) {
  const char* refused[] = {
      "http://h:0/",     "http://h:99999/",   "http://h:70000", "http://h:4294967377/",    "@evil.example",
      "@evil.example/x", "user@evil.example", "http:///path",   "http://:8080/",           "http://user:pw@/",
      "http://[]:80/",   "/just/a/path",      "http://a b/",    "http://h\r\nX-Injected/", "http://h\t/",
  };
  for (std::string text : refused) {
    HttpUrl* http = reinterpret_cast<HttpUrl*>(1);
    EXPECT_EQ(HttpParseUrl(text.c_str(), 0, &http), 0) << text;
    EXPECT_EQ(http, nullptr) << text;
    if (text.rfind("http:", 0) == 0) text.replace(0, 4, "ftp");
    FtpUrl* ftp = reinterpret_cast<FtpUrl*>(1);
    EXPECT_EQ(FtpParseUrl(text.c_str(), &ftp), 0) << text;
    EXPECT_EQ(ftp, nullptr) << text;
  }
  // User information is split off before the host is judged.
  HttpUrl* raw = nullptr;
  ASSERT_EQ(HttpParseUrl("http://good.example@evil.example/", 0, &raw), 1);
  HttpPtr url(raw);
  EXPECT_EQ(S(url->host), "evil.example");
  EXPECT_EQ(S(url->user), "good.example");
}

// The fragment is the client's own: it is in no field, so no request target carries it.
TEST(HttpUrlParse, DropsTheFragment) {
  const struct {
    const char *text, *host, *path, *query;
    uint32_t flags;
  } cases[] = {
      {"http://h/a/b#frag", "h", "/a/b", nullptr, 0},
      {"http://h/a?x=1#frag?y", "h", "/a", "x=1", 0},
      {"http://h/a?x=1#frag", "h", "/a?x=1", nullptr, kHttpUrlKeepQuery},
      {"http://h#frag/x", "h", "/", nullptr, 0},
      {"h/p#", "h", "/p", nullptr, 0},
  };
  for (const auto& c : cases) {
    HttpUrl* raw = nullptr;
    ASSERT_EQ(HttpParseUrl(c.text, c.flags, &raw), 1) << c.text;
    HttpPtr url(raw);
    EXPECT_EQ(S(url->host), c.host) << c.text;
    EXPECT_EQ(S(url->path), c.path) << c.text;
    EXPECT_EQ(S(url->query), S(c.query)) << c.text;
  }
  HttpUrl* raw = reinterpret_cast<HttpUrl*>(1);
  EXPECT_EQ(HttpParseUrl("#only", 0, &raw), 0);
  EXPECT_EQ(raw, nullptr);
}

TEST(HttpUrlScheme, PrefixesOnly) {
  EXPECT_EQ(HttpGetUrlScheme("HTTPS://x"), 2u);
  EXPECT_EQ(HttpGetUrlScheme("https:x"), 2u);
  EXPECT_EQ(HttpGetUrlScheme("ht:x"), 0u);
  EXPECT_EQ(HttpGetUrlScheme("http"), 0u);
  EXPECT_EQ(HttpGetUrlScheme(nullptr), 0u);
}

TEST(HttpUrlCompose, AuthorityPortAndLimits) {
  char buf[256];
  HttpUrl u{2, 443, const_cast<char*>("h"), const_cast<char*>("a"), nullptr, nullptr, nullptr};
  EXPECT_EQ(HttpComposeUrl(&u, buf, sizeof buf), 11);
  EXPECT_STREQ(buf, "https://h/a");
  u.port = 8443;
  HttpComposeUrl(&u, buf, sizeof buf);
  EXPECT_STREQ(buf, "https://h:8443/a");
  u.host = const_cast<char*>("::1");
  u.user = const_cast<char*>("joe");
  u.query = const_cast<char*>("x=1");
  HttpComposeUrl(&u, buf, sizeof buf);
  EXPECT_STREQ(buf, "https://joe@[::1]:8443/a?x=1");
  // Too small: 0, never a cut URL reported as whole.
  EXPECT_EQ(HttpComposeUrl(&u, buf, 10), 0);
  u.scheme = 9;
  EXPECT_EQ(HttpComposeUrl(&u, buf, sizeof buf), 0);
  u.scheme = 0;
  HttpComposeUrl(&u, buf, sizeof buf);
  EXPECT_STREQ(buf, "/a?x=1");
}

TEST(FtpUrlParse, Cases) {
  struct Case {
    const char* text;
    uint32_t scheme, port, type;
    const char *host, *path, *file, *user, *password;
  } cases[] = {
      {"ftp://joe:pw@[::1]:2121/pub/dir/file.txt;type=a", 1, 2121, 1, "::1", "pub/dir", "file.txt", "joe", "pw"},
      {"sftp://server", 3, 22, 3, "server", "", nullptr, nullptr, nullptr},
      {"ftps://server:/", 2, 990, 3, "server", "", nullptr, nullptr, nullptr},
      {"server/a/b.txt", 1, 21, 3, "server", "a", "b.txt", nullptr, nullptr},
      {"ftp://h/a/../b/./c.txt", 1, 21, 3, "h", "b", "c.txt", nullptr, nullptr},
      {"FTPES://u@h/x;TYPE=I", 2, 21, 3, "h", "", "x", "u", nullptr},
      {"ftp://h/dir/", 1, 21, 3, "h", "dir/", nullptr, nullptr, nullptr},
  };
  for (const auto& c : cases) {
    FtpUrl* raw = nullptr;
    ASSERT_EQ(FtpParseUrl(c.text, &raw), 1) << c.text;
    FtpPtr u(raw);
    EXPECT_EQ(u->scheme, c.scheme) << c.text;
    EXPECT_EQ(u->port, c.port) << c.text;
    EXPECT_EQ(u->type, c.type) << c.text;
    EXPECT_EQ(S(u->host), S(c.host)) << c.text;
    EXPECT_EQ(S(u->path), S(c.path)) << c.text;
    EXPECT_EQ(S(u->file), S(c.file)) << c.text;
    EXPECT_EQ(S(u->user), S(c.user)) << c.text;
    EXPECT_EQ(S(u->password), S(c.password)) << c.text;
  }
  for (const char* bad : {"server:21", "ftp://h:2x1/", "http://h/", "ftp://h/f;type=x", "ftp://[::1"}) {
    FtpUrl* raw = nullptr;
    EXPECT_EQ(FtpParseUrl(bad, &raw), 0) << bad;
    EXPECT_EQ(raw, nullptr);
  }
}

TEST(FtpUrlScheme, TableOrderAndDriveLetters) {
  EXPECT_EQ(FtpUrlScheme("FTPS://h"), 2u);
  EXPECT_EQ(FtpUrlScheme("ftp-authssl://h"), 2u);
  EXPECT_EQ(FtpUrlScheme("sftp://h"), 3u);
  EXPECT_EQ(FtpUrlScheme("f:\\data\\x.txt"), 0u);
  EXPECT_EQ(FtpUrlScheme("c:\\x"), 0u);
}

TEST(FtpUrlCompose, Cases) {
  char buf[128];
  FtpUrl u{2, 21, 3, const_cast<char*>("h"), const_cast<char*>("pub"), const_cast<char*>("x.bin"), nullptr, nullptr};
  EXPECT_EQ(FtpComposeUrl(&u, buf, sizeof buf), int32_t(std::string("ftps://h:21/pub/x.bin").size()));
  EXPECT_STREQ(buf, "ftps://h:21/pub/x.bin");
  u.user = const_cast<char*>("Anonymous");
  u.password = const_cast<char*>("guest@");
  FtpComposeUrl(&u, buf, sizeof buf);
  EXPECT_STREQ(buf, "ftps://h:21/pub/x.bin");
  u.scheme = 1;
  u.user = const_cast<char*>("joe");
  FtpComposeUrl(&u, buf, sizeof buf);
  EXPECT_STREQ(buf, "ftp://joe:guest@@h/pub/x.bin");  // nothing is escaped when composing
  u.path = nullptr;
  u.user = nullptr;
  FtpComposeUrl(&u, buf, sizeof buf);
  EXPECT_STREQ(buf, "ftp://h/x.bin");
  EXPECT_EQ(FtpComposeUrl(&u, buf, 8), 0);
  u.host = nullptr;
  EXPECT_EQ(FtpComposeUrl(&u, buf, sizeof buf), 0);
}

TEST(AddressFamily, Literals) {
  EXPECT_EQ(SockAddressFamily("127.0.0.1"), 2u);
  EXPECT_EQ(SockAddressFamily(" ::1"), 23u);
  EXPECT_EQ(SockAddressFamily("example.com"), 0u);
  EXPECT_EQ(SockAddressFamily(""), 0u);
}

}  // namespace
