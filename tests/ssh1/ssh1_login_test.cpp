// The SSH-1 client against a scripted server on 127.0.0.1: the key exchange under both
// RSA keys, the cipher choice, password and RSA authentication, the requests and the
// command, data both ways and the exit status. The server holds the private keys, so
// every byte the client sends is decrypted and checked.
#include <gtest/gtest.h>

#include "ssh/proto/channel.h"
#include "ssh1_fake_server.h"

namespace {

using namespace ssh1test;
using sshextra::ByteServer;

// The 16 packets of a password burst: one AUTH_PASSWORD among IGNOREs of every other
// length; the password or "" when the burst is wrong.
std::string ReadPasswordBurst(Peer& peer, int from, int to) {
  std::string password;
  int found = 0;
  for (int i = from; i <= to; ++i) {
    Packet p = peer.Read();
    if (p.type == kAuthPassword) {
      password = p.data.substr(4);
      EXPECT_EQ(int(password.size()), i);
      ++found;
      continue;
    }
    EXPECT_EQ(p.type, kIgnore) << p.why;
    EXPECT_EQ(GetU32(p.data, 0), uint32_t(i));
    EXPECT_EQ(p.data.size(), size_t(i) + 4);
    EXPECT_EQ(p.data.find('\0', 4), std::string::npos) << "IGNORE bytes are non-zero";
  }
  EXPECT_EQ(found, 1);
  return password;
}

TEST(Ssh1Login, PasswordCommandDataAndExitStatus) {
  ByteServer server([](ByteServer& io) {
    Peer peer(io);
    EXPECT_EQ(peer.Identify().substr(0, 8), "SSH-1.5-");
    KeyExchange kx;
    kx.ciphers = 1u << 2 | 1u << 3 | 1u << 6;
    ASSERT_EQ(kx.Run(peer), "");
    EXPECT_EQ(kx.cipher, 3);
    peer.Send(kIgnore, Str("noise"));
    peer.Send(kDebug, Str("debugging text"));
    Packet user = peer.Read();
    EXPECT_EQ(user.type, kUser);
    EXPECT_EQ(user.data, Str("alice"));
    peer.Send(kFailure);
    EXPECT_EQ(ReadPasswordBurst(peer, 0, 15), "pass-word!");
    peer.Send(kSuccess);
    Packet exec = peer.Read();
    EXPECT_EQ(exec.type, kExecCmd);
    EXPECT_EQ(exec.data, Str("echo hi"));
    peer.Send(kStdoutData, Str("hello "));
    peer.Send(kStderrData, Str("not for stdout"));
    peer.Send(kStdoutData, Str("world"));
    // 1,200 bytes of input leave as 512, 512 and 176.
    std::string input;
    for (uint32_t expected : {512u, 512u, 176u}) {
      Packet in = peer.Read();
      EXPECT_EQ(in.type, kStdinData);
      EXPECT_EQ(GetU32(in.data, 0), expected);
      input += in.data.substr(4);
    }
    EXPECT_EQ(input, std::string(1200, 'x'));
    peer.Send(kExitStatus, U32(7));
    EXPECT_EQ(peer.Read().type, kExitConfirmation);
  });
  Client client;
  ASSERT_TRUE(client.Connect(server.port()));
  ASSERT_TRUE(client.Pump([&] { return client.session->ready != 0 && client.output == "hello world"; }));
  EXPECT_EQ(client.session->connectionState, kSshStateRunning);
  std::string input(1200, 'x');
  SshSend(client.session, reinterpret_cast<const uint8_t*>(input.data()), uint32_t(input.size()));
  EXPECT_TRUE(client.Pump([&] { return client.Closed(); }));
  EXPECT_EQ(client.session->exitCode, 7);
  server.Finish();
}

// Key sizes either way round and the cipher choice; keys of one size and a server with no
// cipher in common end the login before SESSION_KEY.
TEST(Ssh1Login, KeySizesAndCipherChoice) {
  const uint32_t des = 1u << 2, des3 = 1u << 3, blowfish = 1u << 6, arcfour = 1u << 5;
  struct Case {
    int serverBits, hostBits;
    std::vector<uint32_t> order;
    uint32_t mask;
    int cipher;  // -1: no SESSION_KEY
  } cases[] = {
      {768, 1024, {3, 1, 5, 4, 0, 0}, des | des3 | blowfish, 3},
      {1024, 768, {3, 1, 5, 4, 0, 0}, des3, 3},
      {768, 1024, {3, 1, 5, 4, 0, 0}, des | blowfish, 2},
      {768, 1024, {2, 1, 0, 0, 0, 0}, des | des3 | blowfish, 6},
      {1024, 1024, {3, 1, 5, 4, 0, 0}, des3, -1},
      {768, 1024, {3, 1, 5, 4, 0, 0}, arcfour | 1u, -1},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(std::to_string(c.serverBits) + "/" + std::to_string(c.hostBits) + " mask " + std::to_string(c.mask));
    const RsaKey& serverKey = Key(c.serverBits, 1);
    const RsaKey& hostKey = Key(c.hostBits, 0);
    ByteServer server([&](ByteServer& io) {
      Peer peer(io);
      peer.Identify();
      KeyExchange kx;
      kx.serverKey = &serverKey;
      kx.hostKey = &hostKey;
      kx.ciphers = c.mask;
      if (c.cipher < 0) {
        peer.Send(kPublicKey, kx.PublicKeyPayload());
        Packet p = peer.Read();
        EXPECT_EQ(p.why, "closed") << "client sent " << p.type;
        return;
      }
      ASSERT_EQ(kx.Run(peer), "");
      EXPECT_EQ(kx.cipher, c.cipher);
      EXPECT_EQ(peer.Read().data, Str("alice"));
      peer.Send(kSuccess);  // no authentication needed
      FinishWithCommand(peer, "echo hi", 0);
    });
    Client client;
    std::copy(c.order.begin(), c.order.end(), client.settings.CipherOrder);
    client.settings.TimeoutSeconds = 1;  // bounds each wait of the pump
    ASSERT_TRUE(client.Connect(server.port()));
    if (c.cipher < 0) {
      EXPECT_FALSE(client.Pump([&] { return client.session->ready != 0; }, 800));
      SshSessionFree(client.session);
      client.session = nullptr;
    } else {
      EXPECT_TRUE(client.Pump([&] { return client.Closed(); }));
      EXPECT_EQ(client.session->exitCode, 0);
    }
    server.Finish();
  }
}

// The password's three forms: a burst hiding its length, padded to 64 bytes for servers
// that cannot take IGNORE, and plain.
TEST(Ssh1Login, PasswordForms) {
  struct Case {
    const char* password;
    int ignoreSwitch, plainSwitch;
    int from, to;  // burst lengths; -1: a single packet
    size_t stringLength;
  } cases[] = {
      {"pass-word!", 1, 1, 0, 15, 10},
      {"twenty-characters-pw", 1, 1, 16, 23, 20},
      {"pass-word!", 0, 1, -1, -1, 64},
      {"pass-word!", 1, 0, -1, -1, 10},
      {"pass-word!", 0, 0, -1, -1, 10},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(std::string(c.password) + " " + std::to_string(c.ignoreSwitch) + std::to_string(c.plainSwitch));
    ByteServer server([&](ByteServer& io) {
      Peer peer(io);
      KeyExchange kx;
      StartAuthentication(peer, kx);
      if (c.from >= 0) {
        EXPECT_EQ(ReadPasswordBurst(peer, c.from, c.to), c.password);
      } else {
        Packet p = peer.Read();
        EXPECT_EQ(p.type, kAuthPassword);
        EXPECT_EQ(GetU32(p.data, 0), c.stringLength);
        EXPECT_EQ(p.data.size(), c.stringLength + 4);
        EXPECT_EQ(p.data.substr(4, strlen(c.password)), c.password);
        // Padded: a NUL ends the password inside the 64 bytes.
        if (c.stringLength > strlen(c.password)) {
          EXPECT_EQ(p.data[4 + strlen(c.password)], '\0');
        }
      }
      peer.Send(kSuccess);
      FinishWithCommand(peer, "echo hi", 0);
    });
    Client client;
    std::strcpy(client.settings.Password, c.password);
    client.settings.CompatSwitches[0] = uint32_t(c.ignoreSwitch);
    client.settings.CompatSwitches[1] = uint32_t(c.plainSwitch);
    ASSERT_TRUE(client.Connect(server.port()));
    EXPECT_TRUE(client.Pump([&] { return client.Closed(); }));
    server.Finish();
  }
}

// A refused password is sent again, the same, until the server gives up.
TEST(Ssh1Login, RefusedPasswordIsRepeatedUntilTheServerCloses) {
  ByteServer server([](ByteServer& io) {
    Peer peer(io);
    KeyExchange kx;
    StartAuthentication(peer, kx);
    for (int attempt = 0; attempt < 3; ++attempt) {
      EXPECT_EQ(ReadPasswordBurst(peer, 0, 15), "pass-word!");
      peer.Send(kFailure);
    }
    io.CloseClient();
  });
  Client client;
  ASSERT_TRUE(client.Connect(server.port()));
  EXPECT_TRUE(client.Pump([&] { return client.Closed(); }));
  EXPECT_EQ(client.session->ready, 0u);
  server.Finish();
}

}  // namespace
