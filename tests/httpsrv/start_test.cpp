// Server start with its configuration checks and defaults, restart and suspension.
#include "httpsrv_util.h"

using namespace httpsrvtest;

namespace {

uint64_t StartWith(HttpServerConfig& config, uint16_t* port = nullptr) {
  const uint16_t p = cvpeers::FreePort();
  if (port) *port = p;
  return HttpServerStart("127.0.0.1", p, 0, &config, nullptr, 0, nullptr);
}

}  // namespace

TEST(HttpSrvStart, ConfigurationErrors) {
  ASSERT_EQ(HttpServerAttach(nullptr, nullptr), 1);
  cvpeers::TempDir dir;
  const std::string root = (dir.path() / "Root").string(), rootOtherCase = (dir.path() / "root").string();
  HttpServerConfig config{};
  config.size = 96;
  EXPECT_EQ(StartWith(config), uint64_t(INVALID_SOCKET));
  EXPECT_EQ(InetGetLastError(), uint32_t(cvErrorInvalidConfiguration));
  config.size = sizeof config;
  config.serverUuid = "not-a-uuid";
  EXPECT_EQ(StartWith(config), uint64_t(INVALID_SOCKET));
  EXPECT_EQ(InetGetLastError(), uint32_t(cvErrorInvalidConfiguration));
  config.serverUuid = nullptr;
  config.rootDirectory = root.c_str();
  config.tempDirectory = rootOtherCase.c_str();
  EXPECT_EQ(StartWith(config), uint64_t(INVALID_SOCKET));
  EXPECT_EQ(InetGetLastError(), uint32_t(cvErrorDirectoryExists));
  HttpServerDetach();
}

TEST(HttpSrvStart, DefaultsAndClamps) {
  ASSERT_EQ(HttpServerAttach(nullptr, nullptr), 1);
  cvpeers::TempDir dir;
  const std::string root = (dir.path() / "r").string(), temp = (dir.path() / "t").string();
  const std::string log = (dir.path() / "l.log").string(), identity(70, 'i');
  struct Case {
    uint32_t format, level;
    int32_t wantFormat, wantLevel;
  } cases[] = {{3, 0, 3, 5}, {7, 4, 0, 0}, {1, 50, 1, 10}};
  for (const Case& c : cases) {
    HttpServerConfig config{};
    config.size = sizeof config;
    config.rootDirectory = root.c_str();
    config.tempDirectory = temp.c_str();
    config.logFile = log.c_str();
    config.logFormat = c.format;
    config.logLevel = c.level;
    config.identity = identity.c_str();
    config.serverUuid = "{0a1b2c3d-0000-4000-8000-00000000abcd}";
    const uint64_t h = StartWith(config);
    ASSERT_NE(h, uint64_t(INVALID_SOCKET));
    int32_t format = -1, level = -1;
    HttpServerGetLogSettings(h, &format, &level, nullptr, 0);
    EXPECT_EQ(format, c.wantFormat);
    EXPECT_EQ(level, c.wantLevel);
    char text[128] = {};
    EXPECT_EQ(HttpServerGetIdentity(h, text), 63);
    char uuid[40] = {};
    HttpServerGetUuid(h, uuid);
    EXPECT_STREQ(uuid, "0A1B2C3D-0000-4000-8000-00000000ABCD");
    EXPECT_TRUE(fs::is_directory(root));  // created
    EXPECT_EQ(HttpServerStop(h), 1);
  }
  HttpServerDetach();
}

TEST(HttpSrvStart, RestartKeepsHostsAndSuspendRefuses) {
  Server srv;
  srv.Write("a", "a");
  const fs::path other = srv.dir() / "v";
  fs::create_directories(other);
  std::ofstream(other / "a") << "v";
  ASSERT_GT(HttpServerAddHost(srv.handle(), "v.test", 0, other.c_str()), 0);
  const uint64_t h = HttpServerRestart(srv.handle());
  ASSERT_NE(h, uint64_t(INVALID_SOCKET));
  srv.ReplaceHandle(h);
  EXPECT_EQ(srv.Request("GET /a HTTP/1.1\r\nHost: v.test\r\n\r\n").body, "v");
  ASSERT_EQ(HttpServerSuspend(h), 1);
  EXPECT_EQ(srv.Request("GET /a HTTP/1.1\r\nHost: v.test\r\n\r\n").raw, "");
  ASSERT_EQ(HttpServerResume(h), 1);
  EXPECT_EQ(srv.Get("/a").body, "a");
}
