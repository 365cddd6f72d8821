// The SSH-1 client against a misbehaving server: malformed or unexpected key messages are
// dropped or restart the login, which then completes; packets that fail their CRC, attack
// packets, broken framing and truncation end the session cleanly.
#include <gtest/gtest.h>

#include "core/errors/error_codes.h"

#include "ssh1_fake_server.h"

namespace {

using namespace ssh1test;
using sshextra::ByteServer;

// After the server's trouble, a good login must still complete and run the command.
void CompleteLogin(Peer& peer, KeyExchange& kx) {
  ASSERT_EQ(kx.Run(peer), "");
  EXPECT_EQ(peer.Read().data, Str("alice"));
  peer.Send(kSuccess);
  FinishWithCommand(peer, "echo hi", 5);
}

void ExpectLoginCompletes(const std::function<void(Peer&)>& trouble) {
  ByteServer server([&](ByteServer& io) {
    Peer peer(io);
    peer.Identify();
    trouble(peer);
    KeyExchange kx;
    CompleteLogin(peer, kx);
  });
  Client client;
  ASSERT_TRUE(client.Connect(server.port()));
  EXPECT_TRUE(client.Pump([&] { return client.Closed(); }));
  EXPECT_EQ(client.session->exitCode, 5);
  server.Finish();
}

TEST(Ssh1Faults, BadKeyMessagesAreDroppedOrRestartTheLogin) {
  const KeyExchange other;  // a different cookie: a SESSION_KEY for it would be refused
  const std::string good = other.PublicKeyPayload();
  const std::string keys = other.serverKey->PublicForm() + other.hostKey->PublicForm();
  std::string overstated = other.serverKey->PublicForm();
  overstated.replace(0, 4, U32(uint32_t(other.serverKey->bits() + 8)));
  struct Case {
    const char* name;
    std::function<void(Peer&)> trouble;
  } cases[] = {
      {"unexpected first message", [&](Peer& p) { p.Send(kSuccess); }},
      {"no cookie", [&](Peer& p) { p.Send(kPublicKey, "12345"); }},
      {"key cut short", [&](Peer& p) { p.Send(kPublicKey, good.substr(0, 8 + keys.size() - 10)); }},
      {"flags missing", [&](Peer& p) { p.Send(kPublicKey, good.substr(0, 8 + keys.size() + 4)); }},
      {"declared bits beyond the modulus",
       [&](Peer& p) {
         p.Send(kPublicKey, other.cookie + overstated + other.hostKey->PublicForm() + good.substr(8 + keys.size()));
       }},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.name);
    ExpectLoginCompletes(c.trouble);
  }
}

// After the cipher switch: a packet with a bad CRC, or an attack packet that would also
// throw the cipher's chaining out of step if it were decrypted, leaves the stream out of
// step for good: the session ends with the integrity error instead of reading on.
TEST(Ssh1Faults, EncryptedPacketsFailingTheirChecksEndTheSession) {
  for (bool attack : {false, true}) {
    SCOPED_TRACE(attack ? "attack" : "CRC");
    ByteServer server([&](ByteServer& io) {
      Peer peer(io);
      peer.Identify();
      KeyExchange kx;
      peer.Send(kPublicKey, kx.PublicKeyPayload());
      ASSERT_EQ(kx.Accept(peer.Read()), "");
      peer.SetCipher(CipherByNumber(kx.cipher), kx.sessionKey);
      if (attack)
        peer.SendRaw(U32(300) + AttackBuffer(304));
      else
        peer.SendRaw(peer.Frame(kSuccess, "", true));
      peer.Send(kSuccess);
      io.ReadToEnd();
    });
    Client client;
    ASSERT_TRUE(client.Connect(server.port()));
    EXPECT_TRUE(client.Pump([&] { return client.Closed(); }));
    EXPECT_EQ(SshGetLastError(client.session), cvErrorInvalidPacketData);
    EXPECT_EQ(client.session->ready, 0u);
    server.Finish();
  }
}

// Framing the client cannot recover from: the session ends when the server closes,
// without authentication and without a crash.
TEST(Ssh1Faults, BrokenFramingEndsTheSessionCleanly) {
  struct Case {
    const char* name;
    bool encrypted;
    std::function<std::string(Peer&)> bytes;
  } cases[] = {
      {"huge length", false, [](Peer&) { return U32(0x7FFFFFFF) + std::string(64, 'x'); }},
      {"CRC mismatch", false, [](Peer& p) { return p.Frame(kPublicKey, KeyExchange().PublicKeyPayload(), true); }},
      {"length below the minimum", false, [](Peer&) { return U32(3) + std::string(8, 'x'); }},
      {"packet cut short", false,
       [](Peer& p) { return p.Frame(kPublicKey, KeyExchange().PublicKeyPayload()).substr(0, 100); }},
      {"length field cut short", false, [](Peer&) { return std::string("\0\0", 2); }},
      {"encrypted packet cut short", true,
       [](Peer& p) { return p.Frame(kSuccess, std::string(40, 'y')).substr(0, 20); }},
      {"encrypted garbage", true, [](Peer&) { return RandomBytes(4096); }},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.name);
    ByteServer server([&](ByteServer& io) {
      Peer peer(io);
      peer.Identify();
      if (c.encrypted) {
        KeyExchange kx;
        peer.Send(kPublicKey, kx.PublicKeyPayload());
        ASSERT_EQ(kx.Accept(peer.Read()), "");
        peer.SetCipher(CipherByNumber(kx.cipher), kx.sessionKey);
      }
      peer.SendRaw(c.bytes(peer));
      io.CloseClient();
    });
    Client client;
    ASSERT_TRUE(client.Connect(server.port()));
    EXPECT_TRUE(client.Pump([&] { return client.Closed(); }));
    EXPECT_EQ(client.session->ready, 0u);
    server.Finish();
  }
}

}  // namespace
