// Real clients against the server on 127.0.0.1 and ::1: curl, python's http.client and
// this project's HTTP client library.
#include <cstdio>
#include <cstdlib>

#include "http/http.h"
#include "httpsrv_util.h"

using namespace httpsrvtest;

namespace {

std::string Quote(const std::string& s) {
  std::string out = "'";
  for (char ch : s) out += ch == '\'' ? std::string("'\\''") : std::string(1, ch);
  return out + "'";
}

class HttpSrvCurl : public ::testing::TestWithParam<int> {
 protected:
  void SetUp() override {
    if (cvpeers::FindProgram("curl").empty()) GTEST_SKIP() << "curl not installed";
    if (!cvpeers::LoopbackAvailable(GetParam())) GTEST_SKIP() << "loopback family unavailable";
    // Interpreters start slowly on a loaded machine: the longest execution limit.
    HttpServerConfig config{};
    config.execTime = 30;
    srv_ = std::make_unique<Server>(0, GetParam(), &config);
  }
  std::string Curl(const std::string& args) { return RunCommand("curl -s -S -m 20 " + args + " 2>&1"); }
  std::unique_ptr<Server> srv_;
};

}  // namespace

TEST_P(HttpSrvCurl, GetHeadPutDeletePost) {
  Server& srv = *srv_;
  std::string big;
  for (int i = 0; i < 100000; ++i) big += "line " + std::to_string(i) + "\n";
  srv.Write("big.txt", big);
  ASSERT_EQ(HttpServerAddPath(srv.handle(), 0, 15, "/", srv.root().c_str()), 1);
  EXPECT_EQ(Curl(Quote(srv.Url("/big.txt"))), big);
  // No byte ranges: a range request gets the whole file.
  EXPECT_EQ(Curl("-r 0-9 -o /dev/null -w '%{http_code}' " + Quote(srv.Url("/big.txt"))), "200");
  const std::string head = Curl("-I " + Quote(srv.Url("/big.txt")));
  EXPECT_NE(head.find("Content-Length: " + std::to_string(big.size())), std::string::npos) << head;

  const fs::path upload = srv.dir() / "upload.bin";
  std::ofstream(upload, std::ios::binary) << std::string(300000, 'u');
  EXPECT_EQ(Curl("-o /dev/null -w '%{http_code}' -T " + Quote(upload.string()) + " " + Quote(srv.Url("/up.bin"))),
            "201");
  EXPECT_EQ(fs::file_size(srv.root() / "up.bin"), 300000u);
  EXPECT_EQ(Curl("-o /dev/null -w '%{http_code}' -X DELETE " + Quote(srv.Url("/up.bin"))), "204");
  EXPECT_FALSE(fs::exists(srv.root() / "up.bin"));

  const fs::path script = srv.dir() / "form.py";
  std::ofstream(script) << "#!/usr/bin/env python3\nimport os, sys\nbody = sys.stdin.read()\n"
                           "sys.stdout.write('Content-Type: text/plain\\r\\n\\r\\n')\n"
                           "sys.stdout.write(os.environ['REQUEST_METHOD'] + ' ' + body[::-1])\n";
  fs::permissions(script, fs::perms(0755));
  ASSERT_EQ(HttpServerRegisterProgram(srv.handle(), 0, "/form", script.c_str(), nullptr, nullptr), 1);
  EXPECT_EQ(Curl("--data-binary abcdef " + Quote(srv.Url("/form"))), "POST fedcba");
}

TEST_P(HttpSrvCurl, BasicAuthAndVirtualHosts) {
  Server& srv = *srv_;
  srv.Write("p/secret.txt", "top secret");
  const fs::path other = srv.dir() / "vhost";
  fs::create_directories(other);
  std::ofstream(other / "who.txt") << "vhost";
  srv.Write("who.txt", "default");
  ASSERT_EQ(HttpServerAddPath(srv.handle(), 0, httpAccessRead | httpAccessProtected, "/p", (srv.root() / "p").c_str()),
            1);
  ASSERT_EQ(HttpServerAddUser(srv.handle(), 0, httpAccessRead, "carol", "pa55word", nullptr), 1);
  ASSERT_GT(HttpServerAddHost(srv.handle(), "virtual.test", 0, other.c_str()), 0);
  EXPECT_EQ(Curl("-o /dev/null -w '%{http_code}' " + Quote(srv.Url("/p/secret.txt"))), "401");
  EXPECT_EQ(Curl("-u carol:pa55word " + Quote(srv.Url("/p/secret.txt"))), "top secret");
  EXPECT_EQ(Curl("-H 'Host: virtual.test' " + Quote(srv.Url("/who.txt"))), "vhost");
  EXPECT_EQ(Curl(Quote(srv.Url("/who.txt"))), "default");
}

INSTANTIATE_TEST_SUITE_P(Families, HttpSrvCurl, ::testing::Values(AF_INET, AF_INET6));

TEST(HttpSrvPython, KeepAliveConnectionServesSeveralRequests) {
  if (cvpeers::FindProgram("python3").empty()) GTEST_SKIP() << "python3 not installed";
  Server srv;
  srv.Write("a.txt", "alpha");
  srv.Write("b.txt", "beta");
  const std::string program =
      "import http.client\n"
      "c = http.client.HTTPConnection('127.0.0.1', " + std::to_string(srv.port()) + ", timeout=10)\n"
      "out = []\n"
      "for p in ['/a.txt', '/b.txt', '/missing']:\n"
      "    c.request('GET', p, headers={'Connection': 'keep-alive'})\n"
      "    r = c.getresponse()\n"
      "    out.append('%d:%s' % (r.status, r.read().decode()[:5] if r.status == 200 else ''))\n"
      "print(','.join(out))\n";
  EXPECT_EQ(RunCommand("python3 -c " + Quote(program)), "200:alpha,200:beta,404:\n");
}

// wget follows every link of a generated index: names with "%", "#", "?", a colon or a
// blank are linked percent-encoded, and the copy is the folder itself.
TEST(HttpSrvWget, MirrorsAnIndexOfAwkwardNames) {
  if (cvpeers::FindProgram("wget").empty()) GTEST_SKIP() << "wget not installed";
  Server srv;
  const char* names[] = {"100%.txt",    "a#b.txt",  "what?.txt",  "sp ace.txt",
                         "colon:x.txt", "amp&.txt", "q'uote.txt", "plain.txt"};
  for (const char* name : names) srv.Write(std::string("docs/") + name, std::string("content of ") + name);
  const fs::path copy = srv.dir() / "copy";
  const std::string out = RunCommand("cd " + Quote(srv.dir().string()) + " && timeout 60 wget -nv -r -np -nH -P " +
                                     Quote(copy.string()) + " --restrict-file-names=nocontrol -R 'index.html*' " +
                                     "http://127.0.0.1:" + std::to_string(srv.port()) + "/docs/");
  EXPECT_EQ(RunCommand("diff -r " + Quote((srv.root() / "docs").string()) + " " + Quote((copy / "docs").string())), "")
      << out;
}

TEST(HttpSrvOwnClient, LibraryDownloadsFromTheServer) {
  Server srv(0, AF_INET);
  std::string data(200000, 'z');
  srv.Write("z.bin", data);
  ASSERT_EQ(HttpAttach(nullptr), 1);
  const LibHandle h = HttpConnect("127.0.0.1", srv.port(), 10, 0x2, 0x10001, nullptr);
  ASSERT_NE(h, kInvalidLibHandle);
  plat::HGLOBAL block = nullptr;
  uint32_t length = 0;
  EXPECT_EQ(HttpRetrieveData(h, "/z.bin", &block, &length, 0), 200) << HttpGetLastError();
  std::string got;
  if (block) {
    got.assign(static_cast<const char*>(plat::GlobalLock(block)), length);
    plat::GlobalUnlock(block);
    plat::GlobalFree(block);
  }
  EXPECT_EQ(got, data);
  HttpDisconnect(h);
  HttpDetach();
}
