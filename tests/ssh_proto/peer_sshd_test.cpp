// Interoperability with a real SSH server (sshd with a private configuration on
// loopback): key exchange methods, ciphers, MACs and host keys, password and
// keyboard-interactive authentication, the main channel's start-up, data both ways with
// repeated key exchanges, and the failures a real server produces.
#include <sys/socket.h>

#include <cstdio>
#include <cstdlib>
#include <string>

#include <gtest/gtest.h>

#include "core/errors/error_codes.h"
#include "peers/peer.h"
#include "ssh/proto/channel.h"
#include "ssh_test_util.h"

namespace {

constexpr const char* kUser = "cvsshtest";
constexpr const char* kPassword = "Corv-pw-7731";

std::string g_received;

void Collect(SshSession*, const uint8_t* data, uint32_t length) {
  g_received.append(reinterpret_cast<const char*>(data), length);
}

// The test account and sshd's privilege-separation directory; several test processes
// may get here at once, so the changes run under one lock.
bool EnsureMachineSetup() {
  static int state = -1;
  if (state < 0) {
    std::string cmd = std::string("flock /tmp/cvsshtest-setup.lock sh -c '") + "mkdir -p /run/sshd && chmod 755 /run/sshd; " +
                      "id " + kUser + " >/dev/null 2>&1 || useradd -M -d /tmp -s /bin/sh " + kUser + "; " +
                      "echo " + kUser + ":" + kPassword + " | chpasswd' >/dev/null 2>&1";
    state = std::system(cmd.c_str()) == 0 ? 1 : 0;
  }
  return state == 1;
}

struct ServerConfig {
  std::string kex = "diffie-hellman-group-exchange-sha256";
  std::string ciphers = "aes256-ctr";
  std::string macs = "hmac-sha2-256";
  std::string hostKeyAlgorithms = "ssh-rsa";
  std::string extra;  // more configuration lines
  bool password = true;
  bool keyboardInteractive = false;
  bool sftpSubsystem = true;
  int family = AF_INET;
};

class Sshd {
 public:
  explicit Sshd(const ServerConfig& c)
      : peer_({.program = cvpeers::FindProgram("sshd").empty() ? "sshd" : cvpeers::FindProgram("sshd"),
               .args = {"-D", "-e", "-f", "{{CONFIG}}"},
               .configName = "sshd_config",
               .configTemplate = Config(c),
               .family = c.family}) {}

  // Host keys first (they live in the peer's directory), then the server.
  cvpeers::PeerProcess::StartResult Start() {
    if (cvpeers::FindProgram("sshd").empty()) return cvpeers::PeerProcess::StartResult::Unavailable;
    for (const char* type : {"rsa", "dsa"}) {
      std::string cmd = "ssh-keygen -q -t " + std::string(type) + (std::string(type) == "rsa" ? " -b 2048" : "") +
                        " -N '' -f " + (peer_.dir() / ("host_" + std::string(type))).string() + " >/dev/null 2>&1";
      if (std::system(cmd.c_str()) != 0) return cvpeers::PeerProcess::StartResult::Failed;
    }
    return peer_.Start();
  }
  cvpeers::PeerProcess& peer() { return peer_; }

  // MD5 fingerprint hex pairs of a host key as ssh-keygen prints them.
  std::string Md5(const char* type) {
    std::string cmd = "ssh-keygen -l -E md5 -f " + (peer_.dir() / ("host_" + std::string(type) + ".pub")).string();
    FILE* f = popen(cmd.c_str(), "r");
    char line[512] = {};
    if (f) {
      if (!fgets(line, sizeof line, f)) line[0] = 0;
      pclose(f);
    }
    std::string text = line;
    size_t at = text.find("MD5:");
    return at == std::string::npos ? "" : text.substr(at + 4, 47);
  }

 private:
  static std::string Config(const ServerConfig& c) {
    std::string s =
        "Port {{PORT}}\nListenAddress {{ADDR}}\nHostKey {{DIR}}/host_rsa\nHostKey {{DIR}}/host_dsa\n"
        "PidFile none\nUsePAM " + std::string(c.keyboardInteractive ? "yes" : "no") +
        "\nPasswordAuthentication " + (c.password ? "yes" : "no") +
        "\nKbdInteractiveAuthentication " + (c.keyboardInteractive ? "yes" : "no") +
        "\nPubkeyAuthentication no\nPermitRootLogin no\nStrictModes no\nUseDNS no\nLogLevel DEBUG1\n"
        "KexAlgorithms " + c.kex + "\nCiphers " + c.ciphers + "\nMACs " + c.macs +
        "\nHostKeyAlgorithms " + c.hostKeyAlgorithms + "\n";
    if (c.sftpSubsystem) s += "Subsystem sftp internal-sftp\n";
    return s + c.extra;
  }

  cvpeers::PeerProcess peer_;
};

#define START_SSHD(server)                                                            \
  do {                                                                                \
    if (!EnsureMachineSetup()) GTEST_SKIP() << "cannot prepare the test account";     \
    switch ((server).Start()) {                                                       \
      case cvpeers::PeerProcess::StartResult::Started: break;                         \
      case cvpeers::PeerProcess::StartResult::Unavailable:                            \
        GTEST_SKIP() << "sshd is not installed";                                      \
      case cvpeers::PeerProcess::StartResult::Failed:                                 \
        FAIL() << (server).peer().Diagnostics();                                      \
    }                                                                                 \
  } while (0)

class SshdClient : public ::testing::Test {
 protected:
  void SetUp() override {
    plat::WSADATA data;
    ASSERT_EQ(SockStartup(&data), 0);
    SshSettingsSetDefaults(&settings);
    std::strcpy(settings.UserName, kUser);
    std::strcpy(settings.Password, kPassword);
    settings.TimeoutSeconds = 10;
    g_received.clear();
  }
  void TearDown() override {
    SshSessionFree(session);
    SockCleanup();
  }

  // Connects and waits until the main channel is ready or the session ends.
  bool Connect(Sshd& server) {
    char* canonical = nullptr;
    uint32_t r = SshSessionCreate(&session, &settings, server.peer().address().c_str(), server.peer().port(),
                                  &canonical, 0);
    CheckedFree(canonical);
    if (r != 0) return false;
    session->mainChannelData = Collect;
    return sshtest::PumpUntil(session, [&] { return session->ready != 0; }) && session->ready;
  }

  // One SFTP INIT on the main channel must be answered by a VERSION packet.
  void ExpectSftpVersion() {
    const uint8_t init[] = {0, 0, 0, 5, 1, 0, 0, 0, 3};
    session->protocol(session, init, sizeof init, nullptr);
    ASSERT_TRUE(sshtest::PumpUntil(session, [] { return g_received.size() >= 9; }));
    EXPECT_EQ(uint8_t(g_received[4]), 2) << "SSH_FXP_VERSION";
  }

  SshSettings settings{};
  SshSession* session = nullptr;
};

struct Combination {
  const char* name;
  uint32_t kexOrder[4];
  const char* kex;
  const char* cipher;
  const char* mac;
  const char* hostKey;  // "rsa" or "dsa"
  int family;
  const char* extra;
};

class Algorithms : public SshdClient, public ::testing::WithParamInterface<Combination> {};

TEST_P(Algorithms, ReachSftpSubsystemAndExchangeData) {
  const Combination& c = GetParam();
  ServerConfig config;
  config.kex = c.kex;
  config.ciphers = c.cipher;
  config.macs = c.mac;
  config.hostKeyAlgorithms = std::string("ssh-") + (std::string(c.hostKey) == "rsa" ? "rsa" : "dss");
  config.family = c.family;
  config.extra = c.extra;
  Sshd server(config);
  if (c.family == AF_INET6 && !cvpeers::LoopbackAvailable(AF_INET6)) GTEST_SKIP() << "no ::1 here";
  START_SSHD(server);
  std::memcpy(settings.KexOrder, c.kexOrder, sizeof settings.KexOrder);
  ASSERT_TRUE(Connect(server)) << std::hex << SshGetLastError(session) << "\n" << server.peer().StderrText();
  EXPECT_EQ(session->protocolVersion, 2u);
  EXPECT_STREQ(session->csCipher->ssh_name, c.cipher);
  EXPECT_STREQ(session->csMac->ssh_name, c.mac);
  ASSERT_NE(SshGetHostKeyFingerprint(session), nullptr);
  std::string fingerprint = SshGetHostKeyFingerprint(session);
  EXPECT_EQ(fingerprint.substr(0, 7), std::string("ssh-") + (std::string(c.hostKey) == "rsa" ? "rsa" : "dss"));
  EXPECT_NE(fingerprint.find(server.Md5(c.hostKey)), std::string::npos) << fingerprint;
  ExpectSftpVersion();
}

INSTANTIATE_TEST_SUITE_P(
    Sshd, Algorithms,
    ::testing::Values(
        Combination{"GexSha256Aes256CtrSha256", {3, 2, 1, 0}, "diffie-hellman-group-exchange-sha256", "aes256-ctr",
                    "hmac-sha2-256", "rsa", AF_INET, ""},
        Combination{"GexSha1Aes128CbcSha1", {3, 2, 1, 0}, "diffie-hellman-group-exchange-sha1", "aes128-cbc",
                    "hmac-sha1", "rsa", AF_INET, ""},
        Combination{"Group14Aes192CtrSha1_96Dss", {2, 0, 0, 0}, "diffie-hellman-group14-sha1", "aes192-ctr",
                    "hmac-sha1-96", "dsa", AF_INET, ""},
        Combination{"Group1TripleDesMd5", {1, 0, 0, 0}, "diffie-hellman-group1-sha1", "3des-cbc", "hmac-md5", "rsa",
                    AF_INET, ""},
        Combination{"Group14Aes256CbcOverIpv6", {3, 2, 1, 0}, "diffie-hellman-group14-sha1", "aes256-cbc",
                    "hmac-sha2-256", "rsa", AF_INET6, ""},
        Combination{"ServerRekeysEveryKilobyte", {3, 2, 1, 0}, "diffie-hellman-group-exchange-sha256", "aes128-ctr",
                    "hmac-sha1", "rsa", AF_INET, "RekeyLimit 1K\n"}),
    [](const ::testing::TestParamInfo<Combination>& info) { return std::string(info.param.name); });

TEST_F(SshdClient, EchoManyWindowsWithClientRekeys) {
  Sshd server(ServerConfig{});
  START_SSHD(server);
  std::strcpy(settings.RemoteCommand, "cat");
  settings.RemoteCommandIsSubsystem = 0;
  std::strcpy(settings.RekeyData, "8K");
  ASSERT_TRUE(Connect(server)) << std::hex << SshGetLastError(session);
  std::string sent;
  for (int i = 0; sent.size() < 96 * 1024; ++i) sent += "line " + std::to_string(i) + " of the echo test\n";
  for (size_t at = 0; at < sent.size(); at += 3000) {
    std::string chunk = sent.substr(at, 3000);
    session->protocol(session, reinterpret_cast<const uint8_t*>(chunk.data()), int32_t(chunk.size()), nullptr);
    SshPumpEvents(session);
  }
  ASSERT_TRUE(sshtest::PumpUntil(session, [&] { return g_received.size() >= sent.size(); }, 30))
      << g_received.size() << " of " << sent.size();
  EXPECT_EQ(g_received, sent);
  EXPECT_NE(session->lastKexTick, 0u);
}

TEST_F(SshdClient, KeyboardInteractiveGetsThePassword) {
  ServerConfig config;
  config.password = false;
  config.keyboardInteractive = true;
  Sshd server(config);
  START_SSHD(server);
  ASSERT_TRUE(Connect(server)) << std::hex << SshGetLastError(session) << "\n" << server.peer().StderrText();
  ExpectSftpVersion();
}

TEST_F(SshdClient, WrongPasswordIsNotSentTwice) {
  Sshd server(ServerConfig{});
  START_SSHD(server);
  std::strcpy(settings.Password, "not-the-password");
  EXPECT_FALSE(Connect(server));
  EXPECT_FALSE(SshIsConnected(session));
  EXPECT_EQ(SshGetLastError(session), cvErrorAuthenticationFailed);
}

TEST_F(SshdClient, NoUsableMethodDisconnects) {
  ServerConfig config;
  config.password = false;
  Sshd server(config);
  START_SSHD(server);
  EXPECT_FALSE(Connect(server));
  EXPECT_EQ(SshGetLastError(session), cvErrorInvalidAuthenticationType);
}

TEST_F(SshdClient, RefusedSubsystemFallsBackToExec) {
  ServerConfig config;
  config.sftpSubsystem = false;
  Sshd server(config);
  START_SSHD(server);
  ASSERT_TRUE(Connect(server)) << std::hex << SshGetLastError(session);
  EXPECT_EQ(session->fallbackUsed, 1u);
}

int32_t RejectKey(SshSession*, const char* fingerprint, void* seen) {
  *static_cast<std::string*>(seen) = fingerprint;
  return 0;
}

TEST_F(SshdClient, HostKeyRejectedByTheOwnerEndsTheSession) {
  Sshd server(ServerConfig{});
  START_SSHD(server);
  char* canonical = nullptr;
  ASSERT_EQ(SshSessionCreate(&session, &settings, server.peer().address().c_str(), server.peer().port(), &canonical, 0),
            0u);
  CheckedFree(canonical);
  std::string seen;
  session->hostKeyCheck = RejectKey;
  session->hostKeyCheckContext = &seen;
  sshtest::PumpUntil(session, [&] { return session->ready != 0; });
  EXPECT_FALSE(session->ready);
  EXPECT_FALSE(SshIsConnected(session));
  EXPECT_EQ(SshGetLastError(session), cvErrorSecurityCertificate);
  EXPECT_NE(seen.find(server.Md5("rsa")), std::string::npos) << seen;
}

}  // namespace
