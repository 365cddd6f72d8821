// Connecting, greetings, login flows, server information, proxies, cancel, reconnect and
// a session freed by its own event receiver, against scripted servers.
#include <sys/socket.h>

#include <atomic>
#include <thread>

#include "core/tls/sec_tls.h"
#include "core/url/sock_address.h"
#include "ftp/ftp_library.h"
#include "ftp_fixture.h"

using namespace ftptest;
using namespace std::chrono_literals;

namespace {

class Session : public FtpTest {
 protected:
  static int LiveSessions() {
    int n = 0;
    cvftp::Library().ForEachSession([&](FtpSession&) { ++n; });
    return n;
  }
};

TEST_F(Session, BadHostsAndGreetingsLeaveNoSession) {
  EXPECT_EQ(FtpConnect("", 21, nullptr, nullptr, 1, 0, nullptr), kNone);
  EXPECT_EQ(LastError(), cvErrorInvalidHostName);
  EXPECT_EQ(FtpConnect("bad host!", 21, nullptr, nullptr, 1, 0, nullptr), kNone);
  EXPECT_EQ(LastError(), cvErrorInvalidHostName);
  EXPECT_EQ(FtpConnect("ftp://[::1/x", 0, nullptr, nullptr, 1, 0, nullptr), kNone);
  EXPECT_EQ(LastError(), cvErrorInvalidHostName);
  EXPECT_EQ(FtpConnect("ftp://127.0.0.1:2x/", 0, nullptr, nullptr, 1, 0, nullptr), kNone);
  EXPECT_EQ(LastError(), cvErrorInvalidHostName);

  const std::pair<std::string, uint32_t> greetings[] = {
      {"421 Too many users\r\n", cvErrorServiceUnavailable},
      {"120 Wait a minute\r\n", cvErrorServiceNotReady},
      {"HELLO there\r\n", cvErrorInvalidServerResponse},
  };
  for (auto& [greeting, error] : greetings) {
    cvtest::ScriptServer server;
    server.Send(greeting);
    EXPECT_EQ(Connect(server), kNone) << greeting;
    EXPECT_EQ(LastError(), error) << greeting;
    EXPECT_EQ(LiveSessions(), 0);
  }
}

TEST_F(Session, ClosedPortAndSilentGreeting) {
  int closedPort;
  {
    cvtest::ScriptServer gone;  // bound, then released: nothing listens there now
    closedPort = gone.port();
  }
  EXPECT_EQ(FtpConnect("127.0.0.1", uint32_t(closedPort), nullptr, nullptr, 2, 0, nullptr), kNone);
  EXPECT_EQ(LastError(), cvErrorConnectionRefused);

  cvtest::ScriptServer silent;
  silent.Sleep(1500ms);
  EXPECT_EQ(Connect(silent, 0, 1), kNone);
  EXPECT_EQ(LastError(), cvErrorOperationTimeout);
  EXPECT_EQ(LiveSessions(), 0);
}

TEST_F(Session, ConnectLoginAndQueries) {
  cvtest::ScriptServer server;
  server.Reply("220-Welcome").Reply("220 to the test").Expect("SYST").Reply("215 UNIX Type: L8");
  server.Expect("USER anonymous").Reply("331 send password").Expect("PASS gast@").Reply("230 in")
      .Expect("PWD").Reply("257 \"/home/a  b\" is current")
      .Expect("FEAT").Reply("211-Features:\r\n MDTM\r\n UTF8\r\n MLST type*;size*;modify*;\r\n211 End")
      .Expect("OPTS UTF8 ON").Reply("200 always on").Expect("TYPE I").Reply("200 type set");
  server.Expect("QUIT").Reply("221 bye");
  LibHandle h = Connect(server, 0, 2, "", "");
  ASSERT_NE(h, kNone) << LastError();
  EXPECT_EQ(FtpLogin(h, nullptr, nullptr, nullptr), 230);
  EXPECT_EQ(FtpReadReply(h), 200);
  FtpSession* s = FtpGetSession(h);
  EXPECT_EQ(s->systemType, 1u);
  EXPECT_STREQ(s->currentDirectory, "/home/a  b");  // from the raw reply: blanks intact
  const uint32_t features = FtpGetFeatures(h);
  EXPECT_EQ(features & 0x1000u, 0x1000u);   // MLST
  EXPECT_EQ(features & 0x20004u, 0x20004u);  // UTF8, MDTM
  EXPECT_EQ(FtpGetEncoding(h), 2);
  EXPECT_EQ(s->fileType, 3u);
  EXPECT_EQ(FtpLogin(h, "x", "y", nullptr), -1);
  EXPECT_EQ(LastError(), cvErrorAlreadyAuthenticated);
  EXPECT_EQ(FtpDisconnect(h), 0);
  EXPECT_TRUE(server.Finish()) << server.failure();
}

TEST_F(Session, ConnectWithUserKeepsTheGreeting) {
  cvtest::ScriptServer server;
  server.Reply("220 hello there").Expect("SYST").Reply("530 log in first")
      .Expect("USER joe").Reply("230 no password needed")
      .Expect("SYST").Reply("215 Windows_NT").Expect("PWD").Reply("257 \"/\"")
      .Expect("FEAT").Reply("500 what").Expect("TYPE I").Reply("200 ok");
  LibHandle h = Connect(server, 0, 2, "joe", nullptr);
  ASSERT_NE(h, kNone) << LastError();
  EXPECT_EQ(FtpReadReply(h), 220);
  EXPECT_EQ(Text(h), "hello there");
  EXPECT_EQ(FtpGetSystemType(h), 3);
  // Windows clears SIZE, MDTM, IDLE and CHMOD; without MFMT and MDTM, MDTM and UTIME come back.
  EXPECT_EQ(FtpGetFeatures(h), (2043u & ~0x65u) | 0x80004u);
  EXPECT_TRUE(server.Finish()) << server.failure();
}

TEST_F(Session, AccountFlowAndRefusals) {
  cvtest::ScriptServer server;
  server.Reply("220 ready")
      .Expect("USER joe").Reply("332 need account").Expect("PASS pw").Reply("332 still account")
      .Expect("ACCT acc").Reply("230 welcome")
      .Expect("PWD").Reply("257 \"/\"").Expect("TYPE I").Reply("200 ok");
  LibHandle h = Connect(server);
  ASSERT_NE(h, kNone);
  const std::string tooLong(129, 'u');
  EXPECT_EQ(FtpLogin(h, tooLong.c_str(), "pw", nullptr), -1);
  EXPECT_EQ(LastError(), cvErrorInvalidUserName);
  EXPECT_EQ(FtpSetEncoding(h, 2), -1);  // no UTF8 announced (and none asked: option)
  EXPECT_EQ(LastError(), cvErrorFeatureNotSupported);
  EXPECT_EQ(FtpLogin(h, "joe", "pw", "acc"), 230);
  EXPECT_TRUE(server.Finish()) << server.failure();
  EXPECT_EQ(server.received().front(), "USER joe");
}

// The queries the library makes on its own before the first command are no concern of the
// caller: their refusal leaves no error behind a command that succeeded.
TEST_F(Session, RefusedQueriesOfTheFirstCommandLeaveNoError) {
  cvtest::ScriptServer server;
  server.Reply("220 ready").Expect("USER joe").Reply("230 in");
  server.Expect("PWD").Reply("550 not for you").Expect("NOOP").Reply("200 ok");
  LibHandle h = Connect(server);
  ASSERT_NE(h, kNone);
  EXPECT_EQ(FtpSendUser(h, "joe"), 230);
  FtpSetLastError(0);
  EXPECT_EQ(FtpSendCommand(h, "NOOP", nullptr), 200);
  EXPECT_EQ(LastError(), 0u);
  EXPECT_TRUE(server.Finish()) << server.failure();
}

TEST_F(Session, RefusedLoginFailsTheConnect) {
  cvtest::ScriptServer server;
  server.Reply("220 ready").Expect("USER joe").Reply("331 pw").Expect("PASS bad").Reply("530 Login incorrect")
      .Expect("QUIT").Reply("221 bye");
  EXPECT_EQ(Connect(server, kOptNoServerQueries, 2, "joe", "bad"), kNone);
  EXPECT_EQ(LastError(), cvErrorAuthenticationFailed);
  EXPECT_TRUE(server.Finish()) << server.failure();
  EXPECT_EQ(LiveSessions(), 0);
}

TEST_F(Session, SystemTable) {
  const std::pair<const char*, int32_t> rows[] = {
      {"215 UNIX Type: L8", 1}, {"215 MS-DOS", 2}, {"215 Windows_NT", 3}, {"215 VMS", 4},
      {"215 NetWare system", 5}, {"215 Plan 9", 255},
  };
  for (auto& [reply, type] : rows) {
    cvtest::ScriptServer server;
    server.Reply("220 ready").Expect("SYST").Reply(reply);
    LibHandle h = Connect(server, 0);
    ASSERT_NE(h, kNone);
    EXPECT_EQ(FtpGetSystemType(h), type) << reply;
    FtpFreeSession(h);
  }
}

TEST_F(Session, NoLoginOptionQueriesFeaturesAndSetsImage) {
  cvtest::ScriptServer server;
  server.Reply("220 ready").Expect("SYST").Reply("215 UNIX").Expect("PWD").Reply("257 \"/\"")
      .Expect("FEAT").Reply("211-x\r\n MFMT\r\n211 end").Expect("TYPE I").Reply("200 ok");
  LibHandle h = Connect(server, 0x4);
  ASSERT_NE(h, kNone) << LastError();
  EXPECT_EQ(FtpGetFeatures(h) & 0x80004u, 0u);  // MFMT announced: no MDTM assumed
  EXPECT_TRUE(server.Finish()) << server.failure();
}

TEST_F(Session, ProxySequences) {
  struct Case {
    uint32_t type;
    std::vector<std::pair<std::string, std::string>> exchange;  // expected line, reply
  };
  const Case cases[] = {
      {3, {{"OPEN target.example", "220 connected"}}},
      {4, {{"USER pu", "331 pw"}, {"PASS pp", "230 ok"}, {"SITE target.example", "220 there"}}},
      {4, {{"USER pu", "230 no password"}}},
      {2, {{"USER pu", "331 pw"}, {"PASS pp", "230 proxy ok"}}},
      {255, {}},
  };
  for (const Case& c : cases) {
    cvtest::ScriptServer server;
    server.Reply("220 proxy");
    for (auto& [line, reply] : c.exchange) server.Expect(line).Reply(reply);
    if (c.type == 2) server.Expect("USER joe@target.example").Reply("230 in");
    server.Start();
    LibHandle h = FtpProxyConnect(c.type, server.address(), uint32_t(server.port()), "pu", "pp", "target.example", 2,
                                  kOptNoServerQueries, nullptr);
    ASSERT_NE(h, kNone) << c.type << " " << LastError();
    if (c.type == 2) {
      EXPECT_EQ(FtpSendUser(h, "joe"), 230);
    }
    FtpSession* s = FtpGetSession(h);
    EXPECT_EQ(s->proxyType, c.type);
    EXPECT_STREQ(s->hostName, "target.example");
    EXPECT_EQ(s->loggedIn != 0, c.type == 255 || c.type == 2);
    EXPECT_TRUE(server.Finish()) << c.type << ": " << server.failure();
    FtpFreeSession(h);
  }
}

TEST_F(Session, ProxyRefusalAndBadType) {
  EXPECT_EQ(FtpProxyConnect(5, "127.0.0.1", 21, "", "", "target.example", 1, 0, nullptr), kNone);
  EXPECT_EQ(LastError(), cvErrorInvalidProxyType);
  EXPECT_EQ(FtpProxyConnect(1, "127.0.0.1", 21, "", "", "", 1, 0, nullptr), kNone);
  EXPECT_EQ(LastError(), cvErrorInvalidHostName);
  cvtest::ScriptServer server;
  server.Reply("220 proxy").Expect("USER pu").Reply("530 no").Expect("QUIT").Reply("221 bye");
  server.Start();
  EXPECT_EQ(FtpProxyConnect(2, server.address(), uint32_t(server.port()), "pu", "pp", "target.example", 2,
                            kOptNoServerQueries, nullptr),
            kNone);
  EXPECT_EQ(LastError(), cvErrorInvalidProxyLogin);
  EXPECT_TRUE(server.Finish()) << server.failure();
}

TEST_F(Session, PortInference) {
  // Fixed ports: 21 and 990 are the defaults under test (skipped where one is taken).
  cvtest::ScriptServer plain("127.0.0.1", 21);
  if (plain.port() == 0) GTEST_SKIP() << "cannot bind 127.0.0.1:21";
  plain.Reply("220 plain on 21");
  plain.Start();
  LibHandle h = FtpConnect("127.0.0.1", 0, nullptr, nullptr, 2, kOptNoServerQueries, nullptr);
  ASSERT_NE(h, kNone) << LastError();
  EXPECT_EQ(FtpGetSession(h)->serverPort, 21u);
  EXPECT_TRUE(plain.Finish()) << plain.failure();

  cvtest::ScriptServer secure("127.0.0.1", 990);
  if (secure.port() == 0) GTEST_SKIP() << "cannot bind 127.0.0.1:990";
  secure.Reply("220 plain on 990");
  secure.Start();
  h = FtpConnect("ftp://127.0.0.1:990/", 0, nullptr, nullptr, 2, kOptNoServerQueries | cvftp::kOptNoPortInference,
                 nullptr);
  ASSERT_NE(h, kNone) << LastError();
  const FtpSession* s = FtpGetSession(h);
  EXPECT_EQ(s->options & 0x1003u, 0x3u);  // plain FTP, passive ignoring the address
  EXPECT_EQ(s->passive, 1u);
  EXPECT_TRUE(secure.Finish()) << secure.failure();

  // Port 22, an sftp URL and SSH credentials make SFTP sessions, which need a user.
  EXPECT_EQ(FtpConnect("127.0.0.1", 22, nullptr, nullptr, 1, 0, nullptr), kNone);
  EXPECT_EQ(LastError(), cvErrorInvalidUserName);
  EXPECT_EQ(FtpConnect("sftp://127.0.0.1", 0, nullptr, nullptr, 1, 0, nullptr), kNone);
  EXPECT_EQ(LastError(), cvErrorInvalidUserName);
  SecCredentials ssh{};
  ssh.headSize = sizeof ssh;
  ssh.protocolMask = 0x200;
  EXPECT_EQ(FtpConnect("127.0.0.1", 2222, nullptr, nullptr, 1, 0, &ssh), kNone);
  EXPECT_EQ(LastError(), cvErrorInvalidUserName);
  EXPECT_EQ(LiveSessions(), 2);
}

TEST_F(Session, CancelFromAnotherThread) {
  EXPECT_EQ(FtpCancel(kNone), -1);
  EXPECT_EQ(LastError(), cvErrorOperationNotBlocking);
  cvtest::ScriptServer server;
  server.Reply("220 ready").Expect("NOOP").Sleep(3s);
  LibHandle h = Connect(server, kOptNoServerQueries, 20);
  ASSERT_NE(h, kNone);
  // A cancel made while idle is stale for the next call.
  EXPECT_EQ(FtpCancel(h), 0);
  EventLog log;
  log.Attach(h);
  std::atomic<bool> sawBlocked{false};
  std::thread canceller([&] {
    while (!FtpIsBlocked(h)) std::this_thread::sleep_for(5ms);
    sawBlocked = true;
    EXPECT_EQ(FtpCancel(h), 0);
  });
  EXPECT_EQ(FtpSendCommand(h, "NOOP", nullptr), -1);
  canceller.join();
  EXPECT_TRUE(sawBlocked);
  EXPECT_EQ(LastError(), cvErrorOperationCanceled);
  EXPECT_EQ(log.Count(128), 1);
  EXPECT_EQ(FtpIsBlocked(h), 0);
}

// Frees the session from inside its own event.
void DisconnectInEvent(LibHandle h, uint32_t, uint32_t, uintptr_t) { FtpDisconnect(h); }

TEST_F(Session, SessionFreedByEventReceiver) {
  cvtest::ScriptServer server;
  server.Reply("220 ready").Expect("NOOP").Reply("200 ok");
  LibHandle h = Connect(server);
  ASSERT_NE(h, kNone);
  EventLog log;
  log.Attach(h, &DisconnectInEvent);
  EXPECT_EQ(FtpSendCommand(h, "NOOP", nullptr), -1);
  EXPECT_EQ(LastError(), cvErrorInvalidHandle);
  EXPECT_EQ(FtpGetSession(h), nullptr);
  EXPECT_EQ(LiveSessions(), 0);
  EXPECT_TRUE(server.Finish()) << server.failure();
}

TEST_F(Session, ReconnectAfterBrokenReply) {
  cvtest::ScriptServer server;
  server.Reply("220 ready").Expect("USER joe").Reply("331 pw").Expect("PASS pw").Reply("230 in")
      .Expect("PWD").Reply("257 \"/pub\"").Expect("TYPE I").Reply("200 ok")
      .Expect("NOOP").Reply("XYZ garbage")
      .Accept()
      .Reply("220 again").Expect("USER joe").Reply("331 pw").Expect("PASS pw").Reply("230 in")
      .Expect("TYPE I").Reply("200 ok").Expect("CWD /pub").Reply("250 ok");
  LibHandle h = Connect(server, kOptNoServerQueries, 2, "joe", "pw");
  ASSERT_NE(h, kNone) << LastError();
  EXPECT_EQ(FtpSendCommand(h, "NOOP", nullptr), -1);
  EXPECT_EQ(LastError(), cvErrorInvalidServerResponse);
  EXPECT_EQ(FtpReconnect(h), 200);
  const FtpSession* s = FtpGetSession(h);
  ASSERT_NE(s, nullptr);
  EXPECT_EQ(s->loggedIn, 1u);
  EXPECT_STREQ(s->currentDirectory, "/pub");
  EXPECT_TRUE(server.Finish()) << server.failure();
}

TEST_F(Session, ChannelsAndLocalAddress) {
  cvtest::ScriptServer server;
  server.Reply("220 ready");
  LibHandle h = Connect(server);
  ASSERT_NE(h, kNone);
  EXPECT_NE(FtpGetSocket(h, 0), INVALID_SOCKET);
  EXPECT_EQ(FtpGetSocket(h, 1), INVALID_SOCKET);
  EXPECT_EQ(LastError(), cvErrorConnectionClosed);
  EXPECT_EQ(FtpGetSocket(h, 2), INVALID_SOCKET);
  EXPECT_EQ(LastError(), cvErrorInvalidParameter);
  SockAddress local{};
  EXPECT_EQ(FtpGetLocalAddress(h, 0, &local), 2);
  EXPECT_EQ(local.address[0], 127);
  EXPECT_EQ(FtpCloseChannel(h, 3), -1);
  EXPECT_EQ(FtpCloseChannel(h, 0), 0);
  EXPECT_EQ(FtpGetSocket(h, 0), INVALID_SOCKET);
  EXPECT_EQ(LastError(), cvErrorNotConnected);
  EXPECT_EQ(FtpSendCommand(h, "NOOP", nullptr), -1);
  EXPECT_EQ(LastError(), cvErrorNotConnected);
}

TEST_F(Session, SockAddressHelpers) {
  SockAddress a{};
  EXPECT_EQ(SockParseAddress("::1", 2, &a), -1);
  EXPECT_EQ(plat::GetLastError(), cvErrorInvalidAddress);
  EXPECT_EQ(SockParseAddress("::1", 0, &a), 23);
  EXPECT_EQ(a.address[15], 1);
  EXPECT_EQ(SockParseAddress("", 0, &a), -1);
  EXPECT_EQ(plat::GetLastError(), cvErrorInvalidHostAddress);
  EXPECT_EQ(SockParseAddress("10.1.2.3", 23, &a), -1);
  ASSERT_EQ(SockParseAddress("10.1.2.3", 0, &a), 2);

  unsigned char buffer[kSockAddressBufferSize];
  uint32_t length = 99;
  EXPECT_EQ(SockMakeSockaddr(&a, 2121, buffer, &length), 2u);
  EXPECT_EQ(length, sizeof(sockaddr_in));
  auto* sin = reinterpret_cast<sockaddr_in*>(buffer);
  EXPECT_EQ(ntohs(sin->sin_port), 2121);
  EXPECT_EQ(sin->sin_addr.s_addr, htonl(0x0A010203));
  ASSERT_EQ(SockParseAddress("fe80::5", 0, &a), 23);
  EXPECT_EQ(SockMakeSockaddr(&a, 21, buffer, &length), 23u);
  EXPECT_EQ(length, sizeof(sockaddr_in6));
  a.family = 0;
  EXPECT_EQ(SockMakeSockaddr(&a, 21, buffer, &length), 0u);
  EXPECT_EQ(plat::GetLastError(), cvErrorInvalidAddress);
  a.family = 7;
  EXPECT_EQ(SockMakeSockaddr(&a, 21, buffer, &length), 0u);
  EXPECT_EQ(plat::GetLastError(), cvErrorProtocolFamily);
  EXPECT_EQ(SockMakeSockaddr(&a, 21, nullptr, &length), 0u);
  EXPECT_EQ(plat::GetLastError(), cvErrorInvalidParameter);

  EXPECT_EQ(SockResolveAddress("", 0, &a), -1);
  EXPECT_EQ(plat::GetLastError(), cvErrorInvalidHostName);
}

}  // namespace
