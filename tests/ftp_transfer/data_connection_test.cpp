// Passive and active data connections against the scripted server: the server's passive
// replies judged, refused connections, REST and APPE refusals, the active port range.
#include "ftp/ftp_session.h"
#include "transfer_fixture.h"

namespace xfer {
namespace {

struct PasvCase {
  const char* name;
  const char* reply;  // "%d" and "%d" for the port's high and low byte, or a fixed text
  uint32_t error;     // 0: the download works
};

// Every malformed or unusable answer fails the open before anything is connected.
TEST_F(XferTest, PassiveRepliesAreJudged) {
  const PasvCase cases[] = {
      {"bare numbers", "227 Entering Passive Mode 127,0,0,1,%d,%d", 0},
      {"private address of another host", "227 Entering Passive Mode (10,0,0,5,%d,%d)", 0},
      {"brackets", "227 Entering Passive Mode [127,0,0,1,%d,%d]", 0},
      {"missing closing parenthesis", "227 Entering Passive Mode (127,0,0,1,%d,%d", cvErrorInvalidServerResponse},
      {"extra comma", "227 Entering Passive Mode (127,0,0,1,%d,%d,7)", cvErrorInvalidServerResponse},
      {"too few numbers", "227 Entering Passive Mode (127,0,1,%d,%d)", cvErrorInvalidServerResponse},
      {"octet over 255", "227 Entering Passive Mode (127,0,0,256,%d,%d)", cvErrorInvalidServerResponse},
      // Over 255 whatever the data port is (a low byte glued to digits is not: 0 and 1 give 99 and 199).
      {"port byte over 255", "227 Entering Passive Mode (127,0,0,1,%d,256)", cvErrorInvalidServerResponse},
      {"port 0", "227 Entering Passive Mode (127,0,0,1,0,0)", cvErrorInvalidServerResponse},
      {"no numbers", "227 Entering Passive Mode", cvErrorInvalidServerResponse},
      {"wrong code", "200 Whatever (127,0,0,1,%d,%d)", cvErrorInvalidServerResponse},
      {"refused", "500 PASV not understood", cvErrorInvalidCommand},
  };
  for (const PasvCase& c : cases) {
    SCOPED_TRACE(c.name);
    ScriptServer server;
    DataPort d;
    Greet(server).Expect("PASV").Call([&d, &c](ScriptServer& s) {
      d.listener = s.OpenListener(&d.port);
      char text[128];
      std::snprintf(text, sizeof text, c.reply, d.port >> 8, d.port & 255);
      s.SendRaw(std::string(text) + "\r\n");
    });
    if (c.error == 0) Serve(server.Expect("RETR f"), d, "payload");
    LibHandle h = Connect(server);
    ASSERT_NE(h, kNone);
    char buffer[32] = {};
    uint32_t length = sizeof buffer;
    if (c.error == 0) {
      EXPECT_EQ(FtpRetrieveData(h, "f", buffer, &length), 0) << LastError();
      EXPECT_EQ(std::string(buffer, length), "payload");
    } else {
      EXPECT_EQ(FtpOpenFile(h, "f", 0), -1);
      EXPECT_EQ(LastError(), c.error);
      EXPECT_EQ(FtpGetSocket(h, 1), INVALID_SOCKET);
    }
    EXPECT_TRUE(server.Finish()) << server.failure();
    FtpDisconnect(h);
  }
}

TEST_F(XferTest, ExtendedPassiveOverIpv6) {
  struct Case {
    const char* name;
    const char* reply;
    uint32_t error;
  } cases[] = {
      {"port only", "229 Entering Extended Passive Mode (|||%d|)", 0},
      {"family and address", "229 Extended (|2|::1|%d|)", 0},
      {"wrong family", "229 Extended (|1|127.0.0.1|%d|)", cvErrorInvalidServerResponse},
      {"missing field", "229 Extended (||%d|)", cvErrorInvalidServerResponse},
      {"no parentheses", "229 Extended |||%d|", cvErrorInvalidServerResponse},
      {"port 0", "229 Extended (|||0|)", cvErrorInvalidServerResponse},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.name);
    ScriptServer server(AF_INET6);
    DataPort d;
    Greet(server).Expect("EPSV 2").Call([&d, &c](ScriptServer& s) {
      d.listener = s.OpenListener(&d.port);
      char text[128];
      std::snprintf(text, sizeof text, c.reply, d.port);
      s.SendRaw(std::string(text) + "\r\n");
    });
    if (c.error == 0) Serve(server.Expect("RETR f"), d, "six");
    LibHandle h = Connect(server);
    ASSERT_NE(h, kNone);
    char buffer[8];
    uint32_t length = sizeof buffer;
    EXPECT_EQ(FtpRetrieveData(h, "f", buffer, &length), c.error ? -1 : 0);
    if (c.error) {
      EXPECT_EQ(LastError(), c.error);
    }
    EXPECT_TRUE(server.Finish()) << server.failure();
    FtpDisconnect(h);
  }
}

TEST_F(XferTest, PassiveAddressCheck) {
  ScriptServer server;
  Greet(server);
  LibHandle h = Connect(server);
  ASSERT_NE(h, kNone);
  struct Case {
    const char* text;
    const char* expected;  // the address connected to
  } cases[] = {
      {"8.8.4.4", "8.8.4.4"},         {"10.1.2.3", "127.0.0.1"},   {"172.20.0.9", "127.0.0.1"},
      {"172.32.0.9", "172.32.0.9"},   {"192.168.7.7", "127.0.0.1"}, {"127.0.0.2", "127.0.0.1"},
      {"fe80::1", "127.0.0.1"},       {"::", "127.0.0.1"},          {"2001:db8::5", "2001:db8::5"},
  };
  for (const auto& c : cases) {
    SockAddress out{};
    ASSERT_EQ(FtpCheckPassiveAddress(h, c.text, &out), 0) << c.text;
    char text[64];
    SockInetNtop(int32_t(out.family), out.address, text, sizeof text);
    EXPECT_STREQ(text, c.expected) << c.text;
  }
  SockAddress out{};
  EXPECT_EQ(FtpCheckPassiveAddress(h, "", &out), -1);
  EXPECT_EQ(LastError(), cvErrorInvalidParameter);
  EXPECT_EQ(FtpCheckPassiveAddress(h, "not-an-address", &out), -1);
  EXPECT_EQ(LastError(), cvErrorInvalidAddress);
  FtpDisconnect(h);
}

TEST_F(XferTest, RefusedDataConnection) {
  ScriptServer server;
  Greet(server).Expect("PASV").Call([](ScriptServer& s) {
    int port = 0;
    ::close(s.OpenListener(&port));  // announced, then nobody listens there
    s.SendRaw(PasvText(port) + "\r\n");
  });
  LibHandle h = Connect(server);
  ASSERT_NE(h, kNone);
  EXPECT_EQ(FtpOpenFile(h, "f", 0), -1);
  EXPECT_EQ(LastError(), cvErrorConnectionFailed);
  EXPECT_TRUE(server.Finish()) << server.failure();
  FtpDisconnect(h);
}

TEST_F(XferTest, RestRefusedAndAppendWithOffset) {
  ScriptServer server;
  DataPort d;
  Pasv(Greet(server), d).Expect("REST 1000").Reply("500 REST not understood.").Expect("NOOP").Reply("200 Ok.");
  LibHandle h = Connect(server);
  ASSERT_NE(h, kNone);
  EXPECT_EQ(FtpOpenFileEx(h, "f", 0, 1000), -1);
  EXPECT_EQ(LastError(), cvErrorOperationNotSupported);
  EXPECT_EQ(FtpGetSocket(h, 1), INVALID_SOCKET);
  EXPECT_EQ(FtpOpenFileEx(h, "f", 2, 1000), -1);  // nothing goes out
  EXPECT_EQ(LastError(), cvErrorOperationNotSupported);
  EXPECT_EQ(FtpRetrieveFile(h, Path("x").c_str(), "f", 1, 1000), -1);
  EXPECT_EQ(LastError(), cvErrorInvalidParameter);
  EXPECT_EQ(FtpSendCommand(h, "NOOP", nullptr), 200);  // the channel is in step
  EXPECT_TRUE(server.Finish()) << server.failure();
  FtpDisconnect(h);
}

// A loopback listener on the port, or -1.
int ListenOn(int port) {
  const int fd = ::socket(AF_INET, SOCK_STREAM, 0);
  sockaddr_in sa{};
  sa.sin_family = AF_INET;
  sa.sin_port = htons(uint16_t(port));
  sa.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
  if (::bind(fd, reinterpret_cast<sockaddr*>(&sa), sizeof sa) == 0 && ::listen(fd, 1) == 0) return fd;
  ::close(fd);
  return -1;
}

// Active mode within a port range: the ports taken by others are skipped.
TEST_F(XferTest, ActivePortRange) {
  // Three ports in a row below the system's range of ephemeral ports, where no other
  // connection on the machine takes one meanwhile: the first two held, the third seen free.
  int base = 0;
  std::vector<int> busy;
  for (int attempt = 0; attempt < 50 && busy.empty(); ++attempt) {
    base = 20000 + int((uint32_t(::getpid()) * 7919u + uint32_t(attempt) * 104729u) % 12000u);
    const int fds[3] = {ListenOn(base), ListenOn(base + 1), ListenOn(base + 2)};
    if (fds[0] >= 0 && fds[1] >= 0 && fds[2] >= 0) busy = {fds[0], fds[1]};
    for (int i = busy.empty() ? 0 : 2; i < 3; ++i)
      if (fds[i] >= 0) ::close(fds[i]);
  }
  if (busy.empty()) GTEST_SKIP() << "no three free ports in a row";
  ScriptServer server;
  std::string port;
  Greet(server).ExpectPrefix("PORT 127,0,0,1,").Call([&port](ScriptServer& s) {
    port = s.received().back();
    s.SendRaw("200 PORT ok.\r\n");
  }).Expect("STOR up").Reply("550 No.");
  LibHandle h = Connect(server, 3, false);
  ASSERT_NE(h, kNone);
  FtpGetSession(h)->activePortLow = uint32_t(base);
  FtpGetSession(h)->activePortHigh = uint32_t(base + 2);
  EXPECT_EQ(FtpOpenFile(h, "up", 1), -1);
  EXPECT_EQ(LastError(), cvErrorAccessDenied);
  EXPECT_TRUE(server.Finish()) << server.failure();
  unsigned a, b, c, e, hi, lo;
  ASSERT_EQ(std::sscanf(port.c_str(), "PORT %u,%u,%u,%u,%u,%u", &a, &b, &c, &e, &hi, &lo), 6) << port;
  EXPECT_EQ(int(hi * 256 + lo), base + 2);
  EXPECT_EQ(FtpGetSocket(h, 1), INVALID_SOCKET);
  for (int fd : busy) ::close(fd);
  FtpDisconnect(h);
}

}  // namespace
}  // namespace xfer
