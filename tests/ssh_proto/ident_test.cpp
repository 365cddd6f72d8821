// The identification exchange: banner lines, protocol choice and the client's line,
// server bug flags and version comparison.
#include <gtest/gtest.h>

#include "core/errors/error_codes.h"
#include "ssh_test_util.h"

namespace {

struct Exchange {
  const char* server;
  uint32_t preference;
  uint32_t version;    // 0: no protocol in common
  const char* client;  // the client's line, when one is sent
};

TEST(Identification, ProtocolChoiceAndClientLine) {
  const Exchange cases[] = {
      {"SSH-2.0-OpenSSH_9.2\r\n", kSshOnly2, 2, "SSH-2.0-Corvanetics_9.5\r\n"},
      {"SSH-1.99-Legacy\n", kSshPrefer2, 2, "SSH-2.0-Corvanetics_9.5\r\n"},
      {"SSH-1.99-Legacy\n", kSshOnly1, 1, "SSH-1.5-Corvanetics_9.5\n"},
      {"SSH-1.3-Old\n", kSshPrefer2, 1, "SSH-1.3-Corvanetics_9.5\n"},
      {"SSH-1.5-Old\n", kSshOnly2, 0, ""},
      {"SSH-2.0-New\n", kSshOnly1, 0, ""},
      // Compared on its first 9 characters: 1.0000000, not 1.99.
      {"SSH-1.0000000099-Long\n", kSshPrefer2, 1, "SSH-1.0000000-Corvanetics_9.5\n"},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.server);
    sshtest::CaptureSocket socket;
    SshSession* s = sshtest::NewOfflineSession(&socket);
    s->settings.ProtocolPreference = c.preference;
    std::string in = c.server;
    SshOnReceive(s, 0, reinterpret_cast<const uint8_t*>(in.data()), int32_t(in.size()));
    EXPECT_EQ(s->protocolVersion, c.version);
    EXPECT_EQ(socket.written.substr(0, std::string(c.client).size()), c.client);
    if (c.version == 0) {
      EXPECT_EQ(s->connectionState, kSshStateClosed);
      EXPECT_EQ(s->lastError, cvErrorProtocolNotSupported);
      EXPECT_TRUE(socket.written.empty());
    } else {
      EXPECT_EQ(s->connectionState, kSshStateIdentified);
    }
    s->socket = nullptr;
    SshSessionFree(s);
  }
}

TEST(Identification, BannerLinesAreSkippedAndBytesMayArriveOneByOne) {
  sshtest::CaptureSocket socket;
  SshSession* s = sshtest::NewOfflineSession(&socket);
  std::string in = "Welcome\r\nnot SSH-2.0-here\r\nSSX-2.0-no\nSSH-2.0-Real_1.0 extra\r\n";
  for (char c : in) SshOnReceive(s, 0, reinterpret_cast<const uint8_t*>(&c), 1);
  ASSERT_NE(s->serverIdent, nullptr);
  EXPECT_STREQ(s->serverIdent, "SSH-2.0-Real_1.0 extra");
  EXPECT_STREQ(s->clientIdent, "SSH-2.0-Corvanetics_9.5");
  // The KEXINIT follows the line at once.
  auto payloads = sshtest::PlainPayloads(socket.written.substr(socket.written.find('\n') + 1));
  ASSERT_EQ(payloads.size(), 1u);
  EXPECT_EQ(payloads[0][0], char(20));
  s->socket = nullptr;
  SshSessionFree(s);
}

TEST(Identification, OverlongLineIsCutAndStillEnds) {
  sshtest::CaptureSocket socket;
  SshSession* s = sshtest::NewOfflineSession(&socket);
  std::string in = "SSH-2.0-" + std::string(100000, 'x') + "\r\n";
  SshOnReceive(s, 0, reinterpret_cast<const uint8_t*>(in.data()), int32_t(in.size()));
  EXPECT_EQ(s->protocolVersion, 2u);
  EXPECT_LE(std::strlen(s->serverIdent), 256u);
  s->socket = nullptr;
  SshSessionFree(s);
}

TEST(Compatibility, BugFlagsFromSoftwareVersions) {
  struct Case {
    const char* line;
    uint32_t flags;
  } cases[] = {
      {"SSH-2.0-OpenSSH_2.3.0p1", REKEY_BUG | OLD_GEX_BUG},
      {"SSH-2.0-OpenSSH_2.5.2", RSA_PADDING_BUG | REKEY_BUG | OLD_GEX_BUG},
      {"SSH-2.0-OpenSSH_3.1", RSA_PADDING_BUG},
      {"SSH-2.0-OpenSSH_9.2p1 Debian-2", 0},
      {"SSH-1.5-Cisco-1.25", SSH1_IGNORE_BUG | SSH1_PLAIN_PASSWORD_BUG | SSH1_RSA_AUTH_BUG},
      {"SSH-2.0-2.0.10 sshlib", DERIVE_KEY_BUG},  // the HMAC switch is off by default
      {"SSH-2.0-2.0.10 VShell", 0},
      {"SSH-2.0-WeOnlyDo-2.1", REKEY_BUG},
  };
  for (const auto& c : cases) {
    SshSettings settings;
    SshSettingsSetDefaults(&settings);
    EXPECT_EQ(SshComputeBugFlags(c.line, &settings), c.flags) << c.line;
  }
  SshSettings settings;
  SshSettingsSetDefaults(&settings);
  settings.CompatSwitches[3] = 2;
  EXPECT_EQ(SshComputeBugFlags("SSH-2.0-2.1.0 x", &settings), HMAC_BUG);
  settings.CompatSwitches[3] = 0;
  settings.CompatSwitches[7] = 0;
  EXPECT_EQ(SshComputeBugFlags("SSH-2.0-Anything", &settings), HMAC_BUG | REKEY_BUG);
  EXPECT_EQ(settings.CompatSwitches[8], 1u);
  SshComputeBugFlags("SSH-2.0-ROSSSH", &settings);
  EXPECT_EQ(settings.CompatSwitches[8], 0u);
}

TEST(Compatibility, VersionCompare) {
  EXPECT_EQ(SshVersionCompare("1.99", "2.0"), -1);
  EXPECT_EQ(SshVersionCompare("2.0", "1.99"), 1);
  EXPECT_EQ(SshVersionCompare("1.5", "1.5"), 0);
  EXPECT_EQ(SshVersionCompare("1.10", "1.9"), 1);
  EXPECT_EQ(SshVersionCompare("2", "2.0"), 0);
  EXPECT_EQ(SshVersionCompare("99999999999999999999.1", "1.0"), 1);
}

}  // namespace
