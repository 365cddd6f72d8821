// The SSH-2 transport: the client's KEXINIT, the group-exchange request, the guessed
// packet rule, and the faults of a scripted server that must end the session with the
// right error (malformed framing, DH values out of range, bad host-key signatures).
#include <gtest/gtest.h>

#include "core/errors/error_codes.h"
#include "ssh/proto/transport.h"
#include "ssh_test_util.h"
#include "support/script_server.h"

namespace {

using sshtest::PlainPacket;
using sshtest::Str;
using sshtest::U32;

std::string ServerKexinit(const std::string& kex, const std::string& cipher, bool follows = false,
                          const std::string& hostKey = "ssh-rsa") {
  std::string p(1, char(20));
  p += std::string(16, 'c');
  for (const std::string& list : {kex, hostKey, cipher, cipher, std::string("hmac-sha1"), std::string("hmac-sha1"),
                                  std::string("none"), std::string("none"), std::string(), std::string()})
    p += Str(list);
  p += char(follows ? 1 : 0);
  return p + U32(0);
}

std::vector<std::string> Lists(const std::string& kexinit) {
  std::vector<std::string> out;
  size_t at = 17;
  for (int i = 0; i < 10 && at + 4 <= kexinit.size(); ++i) {
    uint32_t n = uint32_t(uint8_t(kexinit[at])) << 24 | uint32_t(uint8_t(kexinit[at + 1])) << 16 |
                 uint32_t(uint8_t(kexinit[at + 2])) << 8 | uint8_t(kexinit[at + 3]);
    out.push_back(kexinit.substr(at + 4, n));
    at += 4 + n;
  }
  return out;
}

// An offline SSH-2 session past the identification exchange; the capture holds what
// the client sent after its line.
struct Offline {
  sshtest::CaptureSocket socket;
  SshSession* s;
  explicit Offline(void (*configure)(SshSettings*) = nullptr) {
    s = sshtest::NewOfflineSession(&socket);
    if (configure) configure(&s->settings);
    Feed("SSH-2.0-Scripted_1.0\r\n");
  }
  ~Offline() {
    s->socket = nullptr;
    SshSessionFree(s);
  }
  void Feed(const std::string& bytes) {
    SshOnReceive(s, 0, reinterpret_cast<const uint8_t*>(bytes.data()), int32_t(bytes.size()));
  }
  std::vector<std::string> Sent() {
    return sshtest::PlainPayloads(socket.written.substr(socket.written.find('\n') + 1));
  }
};

TEST(Kexinit, DefaultOffer) {
  Offline o;
  auto sent = o.Sent();
  ASSERT_EQ(sent.size(), 1u);
  auto lists = Lists(sent[0]);
  ASSERT_EQ(lists.size(), 10u);
  EXPECT_EQ(lists[0],
            "diffie-hellman-group-exchange-sha256,diffie-hellman-group-exchange-sha1,diffie-hellman-group14-sha1,"
            "diffie-hellman-group1-sha1");
  EXPECT_EQ(lists[1], "ssh-rsa,ssh-dss");
  std::string ciphers = std::string("aes256-ctr,aes256-cbc,") + Aes256CbcAliasCipherDesc.ssh_name +
                        ",aes192-ctr,aes192-cbc,aes128-ctr,aes128-cbc,3des-ctr,3des-cbc,arcfour256,arcfour128";
  EXPECT_EQ(lists[2], ciphers);
  EXPECT_EQ(lists[3], ciphers);
  EXPECT_EQ(lists[4], "hmac-sha2-256,hmac-sha1,hmac-sha1-96,hmac-md5");
  EXPECT_EQ(lists[6], "none,zlib");
  EXPECT_EQ(lists[8], "");
  EXPECT_EQ(o.s->queueing, 1u);
  EXPECT_EQ(o.s->kexInProgress, 1u);
}

TEST(Kexinit, SettingsShapeTheOffer) {
  Offline o([](SshSettings* s) {
    const uint32_t kex[4] = {2, 0, 9, 0};
    std::memcpy(s->KexOrder, kex, sizeof kex);
    const uint32_t ciphers[6] = {4, 1, 0, 0, 0, 0};
    std::memcpy(s->CipherOrder, ciphers, sizeof ciphers);
    s->AllowSingleDes = 1;
    s->CompatSwitches[3] = 0;  // HMAC bug forced on
  });
  auto lists = Lists(o.Sent()[0]);
  EXPECT_EQ(lists[0], "diffie-hellman-group14-sha1");
  EXPECT_EQ(lists[2], std::string("des-cbc,") + DesCbcAliasCipherDesc.ssh_name + ",3des-ctr,3des-cbc");
  EXPECT_EQ(lists[4], std::string(HmacSha1BugMacDesc.ssh_name) + "," + HmacSha1_96BugMacDesc.ssh_name + ",hmac-md5");
}

TEST(Kexinit, GroupExchangeRequestSizes) {
  struct Case {
    const char* kex;
    const char* cipher;
    uint32_t pbits;
  } cases[] = {
      {"diffie-hellman-group-exchange-sha256", "aes256-ctr", 4096},
      {"diffie-hellman-group-exchange-sha1", "aes256-ctr", 2048},  // capped at the hash size
      {"diffie-hellman-group-exchange-sha256", "aes128-cbc", 1024},
      {"diffie-hellman-group-exchange-sha256", "3des-cbc", 2048},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.cipher);
    Offline o;
    o.Feed(PlainPacket(ServerKexinit(c.kex, c.cipher)));
    auto sent = o.Sent();
    ASSERT_EQ(sent.size(), 2u);
    EXPECT_EQ(sent[1], char(34) + U32(1024) + U32(c.pbits) + U32(8192));
    EXPECT_EQ(o.s->transportState, uint32_t(kKexWaitGroup));
  }
  Offline old([](SshSettings* s) { s->CompatSwitches[9] = 0; });
  old.Feed(PlainPacket(ServerKexinit("diffie-hellman-group-exchange-sha256", "aes256-ctr")));
  EXPECT_EQ(old.Sent()[1], char(30) + U32(4096));
}

TEST(Kexinit, WrongGuessDiscardsTheNextPacket) {
  Offline o;
  o.Feed(PlainPacket(ServerKexinit("diffie-hellman-group14-sha1", "aes128-ctr", true)));
  EXPECT_EQ(o.Sent().size(), 1u) << "nothing sent before the guessed packet";
  o.Feed(PlainPacket(std::string(1, char(30)) + Str("guess")));
  auto sent = o.Sent();
  ASSERT_EQ(sent.size(), 2u);
  EXPECT_EQ(sent[1][0], char(30)) << "KEXDH_INIT after the discarded packet";
  EXPECT_EQ(o.s->connectionState, kSshStateIdentified);
}

TEST(Kexinit, NothingInCommonEndsTheSession) {
  Offline o;
  o.Feed(PlainPacket(ServerKexinit("curve25519-sha256", "aes128-ctr")));
  EXPECT_EQ(o.s->connectionState, kSshStateClosed);
  EXPECT_EQ(o.s->lastError, cvErrorSecurityContext);
  auto sent = o.Sent();
  ASSERT_EQ(sent.size(), 2u);
  EXPECT_EQ(sent[1].substr(0, 5), char(1) + U32(kSshDisconnectKexFailed));
}

// ---- a scripted server over a real connection ----

std::string Mpint(const std::string& magnitude) {
  return (uint8_t(magnitude[0]) & 0x80) ? Str(std::string(1, '\0') + magnitude) : Str(magnitude);
}

std::string RsaBlob() {
  std::string n(128, '\x5a');
  n[0] = '\xc3';
  n[127] = '\x01';
  return Str("ssh-rsa") + Mpint(std::string("\x01\x00\x01", 3)) + Mpint(n);
}

std::string Reply(const std::string& hostKey, const std::string& f) {
  return PlainPacket(char(31) + Str(hostKey) + Mpint(f) + Str(Str("ssh-rsa") + Str(std::string(128, '\x01'))));
}

class ScriptedServer : public ::testing::Test {
 protected:
  void SetUp() override {
    plat::WSADATA data;
    ASSERT_EQ(SockStartup(&data), 0);
  }
  void TearDown() override { SockCleanup(); }
};

TEST_F(ScriptedServer, FaultsEndTheSessionWithTheirError) {
  const std::string hello = "SSH-2.0-Scripted_1.0\r\n";
  const std::string kexinit = PlainPacket(ServerKexinit("diffie-hellman-group14-sha1", "aes128-ctr"));
  struct Case {
    const char* name;
    std::string bytes;
    uint32_t error;
  } cases[] = {
      {"no common protocol", "SSH-1.5-Old\r\n", cvErrorProtocolNotSupported},
      {"oversized packet", hello + U32(40000) + std::string(12, '\4'), cvErrorInvalidPacketData},
      {"padding below four", hello + U32(12) + char(3) + std::string(11, '\0'), cvErrorInvalidPacketData},
      {"f of one", hello + kexinit + Reply(RsaBlob(), std::string(1, '\1')), cvErrorSecurityContext},
      {"f of zero", hello + kexinit + PlainPacket(char(31) + Str(RsaBlob()) + U32(0) + Str("sig")), cvErrorSecurityContext},
      {"bad signature", hello + kexinit + Reply(RsaBlob(), std::string(1, '\2')), cvErrorSecurityCertificate},
      {"unparsable host key", hello + kexinit + Reply(Str("ssh-rsa") + "junk", std::string(1, '\2')),
       cvErrorSecurityCertificate},
      {"missing signature", hello + kexinit + PlainPacket(char(31) + Str(RsaBlob()) + Mpint("\2")),
       cvErrorSecurityContext},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.name);
    cvtest::ScriptServer server;
    server.Send(c.bytes).Sleep(std::chrono::milliseconds(200)).Close();
    server.Start();
    SshSettings settings;
    SshSettingsSetDefaults(&settings);
    settings.TimeoutSeconds = 5;
    SshSession* s = nullptr;
    char* canonical = nullptr;
    ASSERT_EQ(SshSessionCreate(&s, &settings, server.address(), server.port(), &canonical, 0), 0u);
    CheckedFree(canonical);
    EXPECT_TRUE(sshtest::PumpUntil(s, [&] { return !SshIsConnected(s); }, 10));
    EXPECT_EQ(s->lastError, c.error);
    EXPECT_EQ(s->connectionState, kSshStateClosed);
    SshSessionFree(s);
    server.Finish();
  }
}

}  // namespace
