// SSH sessions to sshd through real proxies on loopback: an HTTP CONNECT proxy
// (tinyproxy), SOCKS 5 with and without a password (microsocks), SOCKS 4 (dante), and a
// local proxy command (socat) whose standard input and output carry the connection.
#include <cstring>
#include <string>

#include <gtest/gtest.h>

#include "peers/peer.h"
#include "session_client.h"
#include "ssh/proxy/proxy.h"

namespace {

using sshextra::ForwardingSshd;
using sshextra::SessionClient;

// microsocks asking for a user name and password.
cvpeers::PeerOptions PasswordSocks5() {
  return {.program = "microsocks", .args = {"-i", "{{ADDR}}", "-p", "{{PORT}}", "-u", "proxyuser", "-P", "proxypass"}};
}

class ThroughProxy : public ::testing::Test {
 protected:
  void Use(uint32_t type, const cvpeers::PeerProcess& proxy) {
    client.settings.ProxyType = type;
    client.settings.ProxyLocalhost = 1;  // sshd is on loopback, which is never proxied otherwise
    std::strcpy(client.settings.ProxyHost, proxy.address().c_str());
    client.settings.ProxyPort = proxy.port();
  }
  void ConnectAndTalk() {
    ASSERT_TRUE(client.Connect(sshd.peer().address(), sshd.peer().port()))
        << std::hex << SshGetLastError(client.session) << "\n" << sshd.peer().StderrText();
    client.ExpectSftpVersion();
  }

  ForwardingSshd sshd;
  SessionClient client;
};

TEST_F(ThroughProxy, HttpConnectWithTinyproxy) {
  START_FORWARDING_SSHD(sshd);
  cvpeers::PeerProcess proxy({.program = "tinyproxy",
                              .args = {"-d", "-c", "{{CONFIG}}"},
                              .configName = "tinyproxy.conf",
                              .configTemplate = "Port {{PORT}}\nListen {{ADDR}}\nTimeout 30\nAllow 127.0.0.1\n"
                                                "ConnectPort {{SSHD}}\nMaxClients 5\n",
                              .values = {{"SSHD", std::to_string(sshd.peer().port())}}});
  CV_START_PEER(proxy);
  Use(kProxyHttp, proxy);
  ConnectAndTalk();
}

TEST_F(ThroughProxy, Socks5WithMicrosocks) {
  START_FORWARDING_SSHD(sshd);
  cvpeers::PeerProcess proxy({.program = "microsocks", .args = {"-i", "{{ADDR}}", "-p", "{{PORT}}"}});
  CV_START_PEER(proxy);
  Use(kProxySocks5, proxy);
  ConnectAndTalk();
}

TEST_F(ThroughProxy, Socks5PasswordWithMicrosocks) {
  START_FORWARDING_SSHD(sshd);
  cvpeers::PeerProcess proxy(PasswordSocks5());
  CV_START_PEER(proxy);
  Use(kProxySocks5, proxy);
  std::strcpy(client.settings.ProxyUserName, "proxyuser");
  std::strcpy(client.settings.ProxyPassword, "proxypass");
  ConnectAndTalk();
}

TEST_F(ThroughProxy, WrongSocks5PasswordEndsWithTheProxyError) {
  START_FORWARDING_SSHD(sshd);
  cvpeers::PeerProcess proxy(PasswordSocks5());
  CV_START_PEER(proxy);
  Use(kProxySocks5, proxy);
  std::strcpy(client.settings.ProxyUserName, "proxyuser");
  std::strcpy(client.settings.ProxyPassword, "wrong");
  EXPECT_FALSE(client.Connect(sshd.peer().address(), sshd.peer().port()));
  EXPECT_EQ(SshGetLastError(client.session), 0x80040000u | kProxyErrorRefused);
}

TEST_F(ThroughProxy, Socks4WithDante) {
  START_FORWARDING_SSHD(sshd);
  cvpeers::PeerProcess proxy({.program = "danted",
                              .args = {"-f", "{{CONFIG}}"},
                              .configName = "danted.conf",
                              .configTemplate = "logoutput: stderr\ninternal: {{ADDR}} port = {{PORT}}\n"
                                                "external: {{ADDR}}\nclientmethod: none\nsocksmethod: none\n"
                                                "user.privileged: root\nuser.unprivileged: nobody\n"
                                                "client pass { from: 127.0.0.0/8 to: 0.0.0.0/0 }\n"
                                                "socks pass { from: 127.0.0.0/8 to: 0.0.0.0/0 protocol: tcp }\n"});
  CV_START_PEER(proxy);
  Use(kProxySocks4, proxy);
  ConnectAndTalk();
}

TEST_F(ThroughProxy, LocalCommandWithSocat) {
  START_FORWARDING_SSHD(sshd);
  if (cvpeers::FindProgram("socat").empty()) GTEST_SKIP() << "socat is not installed";
  client.settings.ProxyType = kProxyLocalCommand;
  client.settings.ProxyLocalhost = 1;
  std::strcpy(client.settings.ProxyCommand, "socat - \"TCP:%host:%port\"");
  ConnectAndTalk();
}

TEST_F(ThroughProxy, LocalCommandThatFailsEndsTheSession) {
  client.settings.ProxyType = kProxyLocalCommand;
  client.settings.ProxyLocalhost = 1;
  std::strcpy(client.settings.ProxyCommand, "sh -c \"exit 3\"");
  EXPECT_FALSE(client.Connect("127.0.0.1", 22));
  EXPECT_FALSE(SshIsConnected(client.session));
}

}  // namespace
