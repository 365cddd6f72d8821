// Log files in both formats, read back and parsed field by field.
#include <algorithm>
#include <cstdlib>
#include <map>
#include <regex>

#include "ftpsrv_util.h"

using namespace ftpsrvtest;

namespace {

class Logs : public ServerTest {
 protected:
  std::vector<std::string> Lines(const fs::path& file) {
    std::vector<std::string> out;
    std::istringstream in(ReadFile(file));
    std::string line;
    while (std::getline(in, line)) {
      if (!line.empty() && line.back() == '\r') line.pop_back();
      out.push_back(line);
    }
    return out;
  }
  // Runs a short session: named user, a guest, an upload and a download.
  void Session(FtpServerConfig& config, uint32_t options = 0) {
    ASSERT_NE(Start(options, &config), uint64_t(INVALID_SOCKET));
    ASSERT_EQ(FtpServerAddUser(server, ftpAccessAll, "alice", "secret", nullptr), 1);
    Control c;
    ASSERT_TRUE(c.Connect(port) && c.Reply() == 220);
    ASSERT_TRUE(c.Login("alice", "secret"));
    ASSERT_EQ(c.Upload("STOR up load.txt", "12345"), 226);
    std::string data;
    ASSERT_EQ(c.Download("RETR up load.txt", &data), 226);
    ASSERT_EQ(c.Cmd("NOOP"), 200);
    ASSERT_EQ(c.Cmd("QUIT"), 221);
    Control g;
    ASSERT_TRUE(g.Connect(port) && g.Reply() == 220);
    ASSERT_TRUE(g.Login("anonymous", "guest@example.com"));
    ASSERT_EQ(g.Cmd("QUIT"), 221);
    ASSERT_TRUE(Eventually([&] { return owner.Count(ftpEventDisconnect) == 2; }));
  }
};

TEST_F(Logs, CommonFormat) {
  const fs::path file = tmp.path() / "logs" / "common.log";
  const std::string name = file.string();
  FtpServerConfig config = Config();
  config.logFormat = ftpLogCommon;
  config.logLevel = 10;
  config.logFile = name.c_str();
  config.maxGuests = 5;
  fs::create_directories(file.parent_path());
  Session(config);
  const std::regex line(R"re(^127\.0\.0\.1 - (\S+) \[(\d\d/\w{3}/\d{4}:\d\d:\d\d:\d\d \+0000)\] "([^"]*)" (\d{3}) (\S+)$)re");
  std::vector<std::smatch> rows;
  const std::vector<std::string> lines = Lines(file);
  std::map<std::string, std::string> byRequest;
  for (const std::string& l : lines) {
    std::smatch m;
    ASSERT_TRUE(std::regex_match(l, m, line)) << l;
    byRequest[m[3].str()] = m[1].str() + " " + m[4].str() + " " + m[5].str();
  }
  EXPECT_EQ(byRequest["USER alice"], "- 331 -");
  EXPECT_EQ(byRequest["PASS"], "alice 230 -");  // the password never reaches the log
  EXPECT_EQ(byRequest["STOR up load.txt"], "alice 226 5");
  EXPECT_EQ(byRequest["RETR up load.txt"], "alice 226 5");
  EXPECT_EQ(byRequest["PASS guest@example.com"], "- 230 -");  // a guest's is its address
  EXPECT_EQ(ReadFile(file).find("secret"), std::string::npos);
}

// What a client sends cannot end a field or a line of the log: quotes, backslashes and
// control bytes are escaped.
TEST_F(Logs, ClientTextIsEscaped) {
  const fs::path file = tmp.path() / "escaped.log";
  const std::string name = file.string();
  FtpServerConfig config = Config();
  config.logFormat = ftpLogCommon;
  config.logLevel = 10;
  config.logFile = name.c_str();
  ASSERT_NE(Start(0, &config), uint64_t(INVALID_SOCKET));
  Control c;
  ASSERT_TRUE(c.Connect(port) && c.Reply() == 220);
  c.Cmd("NOOP \" 200 - \"evil\\x");
  c.Cmd("QUIT");
  ASSERT_TRUE(Eventually([&] { return owner.Count(ftpEventDisconnect) == 1; }));
  ASSERT_TRUE(Eventually([&] { return ReadFile(file).find("QUIT") != std::string::npos; }));
  const std::vector<std::string> lines = Lines(file);
  const auto noop = std::find_if(lines.begin(), lines.end(), [](const std::string& l) { return l.find("NOOP") != std::string::npos; });
  ASSERT_NE(noop, lines.end());
  EXPECT_NE(noop->find("\"NOOP \\\" 200 - \\\"evil\\\\x\" "), std::string::npos) << *noop;
}

// Local times carry the offset of their own instant: in a zone on daylight saving time
// the whole year, every line says +0200, not the standard +0100.
TEST_F(Logs, LocalTimeTakesTheOffsetInForce) {
  const char* saved = std::getenv("TZ");
  const std::string previous = saved ? saved : "";
  ::setenv("TZ", "XST-1XDT,J1/0,J365/25", 1);
  ::tzset();
  const fs::path file = tmp.path() / "local.log";
  const std::string name = file.string();
  FtpServerConfig config = Config();
  config.logFormat = ftpLogCommon;
  config.logLevel = 10;
  config.logFile = name.c_str();
  ASSERT_NE(Start(ftpServerLocalTime, &config), uint64_t(INVALID_SOCKET));
  Control c;
  ASSERT_TRUE(c.Connect(port) && c.Reply() == 220);
  c.Cmd("QUIT");
  ASSERT_TRUE(Eventually([&] { return ReadFile(file).find("QUIT") != std::string::npos; }));
  if (saved) ::setenv("TZ", previous.c_str(), 1);
  else ::unsetenv("TZ");
  ::tzset();
  const std::vector<std::string> lines = Lines(file);
  ASSERT_FALSE(lines.empty());
  for (const std::string& l : lines) EXPECT_NE(l.find(" +0200] "), std::string::npos) << l;
}

TEST_F(Logs, ExtendedFormatWithHeaderAndLevels) {
  const fs::path file = tmp.path() / "ext.log";
  WriteFile(file, "12345");  // too short to hold a header: replaced
  const std::string name = file.string();
  FtpServerConfig config = Config();
  config.logFormat = ftpLogExtended;  // level 5 by default
  config.logFile = name.c_str();
  config.maxGuests = 5;
  Session(config);
  const std::vector<std::string> lines = Lines(file);
  ASSERT_GE(lines.size(), 5u);
  EXPECT_EQ(lines[0], "#Software: Corvanetics 9.5");
  EXPECT_EQ(lines[1], "#Version: 1.0");
  EXPECT_EQ(lines[3], "#Fields: date time c-ip cs-username cs-method cs-uri-stem sc-status sc-bytes cs-bytes");
  const std::regex row(R"re(^\d{4}-\d\d-\d\d \d\d:\d\d:\d\d 127\.0\.0\.1 (\S+) \[(\d+)\](\S+) (\S+) (\d{3}) (\S+ \S+)$)re");
  std::vector<std::string> seen;
  for (size_t i = 4; i < lines.size(); ++i) {
    std::smatch m;
    ASSERT_TRUE(std::regex_match(lines[i], m, row)) << lines[i];
    seen.push_back(m[3].str() + " " + m[4].str() + " " + m[1].str() + " " + m[5].str() + " " + m[6].str());
  }
  const std::vector<std::string> expected = {
      "USER alice - 331 - -",        "PASS - alice 230 - -",
      "STOR up+load.txt alice 226 - 5", "RETR up+load.txt alice 226 5 -",
      "USER anonymous - 331 - -",    "PASS guest@example.com - 230 - -",
  };
  EXPECT_EQ(seen, expected);  // NOOP (9) and QUIT (7) are above level 5

  // Settings change while running: level 0 turns logging off.
  EXPECT_EQ(FtpServerSetLogSettings(server, kFtpNoChange, 0, nullptr), 1);
  uint32_t format = 9, level = 9;
  EXPECT_EQ(FtpServerGetLogSettings(server, &format, &level, nullptr, 0), 1);
  EXPECT_EQ(format, 0u);
  EXPECT_EQ(FtpServerSetLogSettings(server, 3, 1, nullptr), 0);
  EXPECT_EQ(FtpServerSetLogSettings(server, ftpLogCommon, 1, nullptr), 0);  // no file name left
  EXPECT_EQ(FtpServerSetLogSettings(server, ftpLogCommon | ftpLogDelete, 1, name.c_str()), 1);
  EXPECT_FALSE(fs::exists(file));
}

}  // namespace
