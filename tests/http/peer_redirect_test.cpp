// Redirects followed by the library (option 0x4) between two nginx servers: references
// resolved as URIs are, the method a browser would use, and credentials and cookies kept
// for the server they were given for.
#include <string>

#include "http_fixture.h"
#include "nginx_peer.h"

namespace httptest {
namespace {

class HttpRedirects : public Http {
 protected:
  void SetUp() override {
    Http::SetUp();
    if (EchoModule().empty()) GTEST_SKIP() << "nginx echo module not installed";
    other_ = std::make_unique<cvpeers::PeerProcess>(NginxOptions());
    CV_START_PEER(*other_);
    const std::string there = "http://127.0.0.1:" + std::to_string(other_->port()) + "/landing";
    // Relative references go out as they are written.
    std::string locations = "    absolute_redirect off;\n";
    for (int code : {301, 302, 303, 307})
      locations += "    location = /r" + std::to_string(code) + " { return " + std::to_string(code) + " " + there + "; }\n";
    locations += "    location = /net { return 302 //127.0.0.1:" + std::to_string(other_->port()) + "/landing; }\n"
                 "    location = /dir/rel302 { return 302 landing; }\n"
                 "    location = /dir/rel307 { return 307 ../dir/./landing?x=1#part; }\n";
    first_ = std::make_unique<cvpeers::PeerProcess>(NginxOptions(AF_INET, false, locations));
    CV_START_PEER(*first_);
  }

  std::unique_ptr<cvpeers::PeerProcess> first_, other_;
};

TEST_F(HttpRedirects, PostWithCredentialsFollowsEachKindOfRedirect) {
  const std::string credentials = "auth=[Basic dXNlcjpwYXNz] cookie=[k=v]";
  const struct {
    const char* from;
    std::string landing;
  } cases[] = {
      {"/r301", "GET /landing auth=[] cookie=[] body=[]"},
      {"/r302", "GET /landing auth=[] cookie=[] body=[]"},
      {"/r303", "GET /landing auth=[] cookie=[] body=[]"},
      {"/r307", "POST /landing auth=[] cookie=[] body=[a=1]"},
      {"/net", "GET /landing auth=[] cookie=[] body=[]"},
      {"/dir/rel302", "GET /dir/landing " + credentials + " body=[]"},
      {"/dir/rel307", "POST /dir/landing?x=1 " + credentials + " body=[a=1]"},
  };
  for (const auto& c : cases) {
    const LibHandle h = HttpConnect("127.0.0.1", first_->port(), 10, 0x2 | 0x4, kVersion11, nullptr);
    ASSERT_NE(h, kInvalidLibHandle) << Error();
    ASSERT_EQ(HttpSetAuthentication(h, 1, "user", "pass"), 0);
    ASSERT_EQ(HttpSetRequestHeader(h, "Cookie", "k=v"), 1);
    plat::HGLOBAL block = nullptr;
    uint32_t length = 0;
    ASSERT_EQ(HttpPostData(h, c.from, "a=1", 3, &block, &length, 0), 200) << c.from << " " << Error();
    EXPECT_EQ(std::string(static_cast<const char*>(plat::GlobalLock(block)), length), c.landing) << c.from;
    plat::GlobalUnlock(block);
    plat::GlobalFree(block);
    HttpDisconnect(h);
  }
}

}  // namespace
}  // namespace httptest
