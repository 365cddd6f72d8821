// The SSH-1 client's RSA authentication and connection phase against a scripted server:
// the challenge answered with the key file's private key, the X11, forwarding, terminal
// and compression requests in order, and a forwarded port carrying data both ways.
#include <arpa/inet.h>
#include <netinet/in.h>
#include <poll.h>
#include <sys/socket.h>
#include <unistd.h>

#include <gtest/gtest.h>

#include "../ssh_keyfile/keyfile_fixture.h"
#include "ssh1_fake_server.h"

namespace {

using namespace ssh1test;
using sshextra::ByteServer;

// An SSH-1 key file holding the key.
std::string WriteKeyFile(const kftest::TempDir& dir, const RsaKey& key) {
  std::map<std::string, kftest::Bn> numbers;
  numbers["n"].reset(BN_dup(key.n.get()));
  numbers["e"].reset(BN_dup(key.e.get()));
  numbers["d"].reset(BN_dup(key.d.get()));
  const bool pFirst = BN_cmp(key.p.get(), key.q.get()) > 0;
  numbers["P"].reset(BN_dup(pFirst ? key.p.get() : key.q.get()));
  numbers["Q"].reset(BN_dup(pFirst ? key.q.get() : key.p.get()));
  BN_CTX* ctx = BN_CTX_new();
  numbers["iqmp"].reset(BN_mod_inverse(nullptr, numbers["Q"].get(), numbers["P"].get(), ctx));
  BN_CTX_free(ctx);
  return dir.Write("identity", kftest::Ssh1File{}.Build(numbers));
}

// The 10-character password's burst: IGNOREs of lengths 0 to 9, the password, then
// IGNOREs of lengths 11 to 15.
std::string ReadPasswordBurst(Peer& peer) {
  Packet p = peer.ReadSkippingIgnore();
  EXPECT_EQ(p.type, kAuthPassword) << p.why;
  for (int i = 11; i <= 15; ++i) EXPECT_EQ(peer.Read().type, kIgnore);
  return p.data.substr(4);
}

TEST(Ssh1Connection, RsaKeyAuthentication) {
  const RsaKey& userKey = Key(1024, 2);
  kftest::TempDir dir;
  const std::string file = WriteKeyFile(dir, userKey);
  enum Outcome { kAccepted, kRefusedThenPassword, kSkippedForTheServersFault };
  for (Outcome outcome : {kAccepted, kRefusedThenPassword, kSkippedForTheServersFault}) {
    SCOPED_TRACE(outcome);
    ByteServer server([&](ByteServer& io) {
      Peer peer(io);
      KeyExchange kx;
      StartAuthentication(peer, kx);
      if (outcome == kSkippedForTheServersFault) {
        EXPECT_EQ(ReadPasswordBurst(peer), "pass-word!");
      } else {
        Packet rsa = peer.Read();
        EXPECT_EQ(rsa.type, kAuthRsa);
        EXPECT_EQ(rsa.data, Mpint1(userKey.n.get()));
        if (outcome == kAccepted) {
          const std::string challenge = RandomBytes(32);
          Bn c(BN_bin2bn(reinterpret_cast<const uint8_t*>(RsaEncrypt(userKey, challenge).data()),
                         int(userKey.bytes()), nullptr));
          peer.Send(kAuthRsaChallenge, Mpint1(c.get()));
          Packet response = peer.Read();
          EXPECT_EQ(response.type, kAuthRsaResponse);
          EXPECT_EQ(response.data, Md5(challenge + kx.sessionId));
        } else {
          peer.Send(kFailure);
          EXPECT_EQ(ReadPasswordBurst(peer), "pass-word!");
        }
      }
      peer.Send(kSuccess);
      FinishWithCommand(peer, "echo hi", 0);
    });
    Client client;
    std::strcpy(client.settings.KeyFile, file.c_str());
    if (outcome == kSkippedForTheServersFault) client.settings.CompatSwitches[2] = 0;
    ASSERT_TRUE(client.Connect(server.port()));
    EXPECT_TRUE(client.Pump([&] { return client.Closed(); }));
    EXPECT_EQ(client.session->exitCode, 0);
    server.Finish();
  }
}

int ListenLoopback(int* port) {
  int fd = socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0);
  sockaddr_in a{};
  a.sin_family = AF_INET;
  a.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
  bind(fd, reinterpret_cast<sockaddr*>(&a), sizeof a);
  listen(fd, 4);
  socklen_t n = sizeof a;
  getsockname(fd, reinterpret_cast<sockaddr*>(&a), &n);
  *port = ntohs(a.sin_port);
  return fd;
}

std::string ReadSome(int fd) {
  pollfd p{fd, POLLIN, 0};
  if (poll(&p, 1, 10000) != 1) return "(timeout)";
  char buffer[256];
  ssize_t n = recv(fd, buffer, sizeof buffer, 0);
  return n > 0 ? std::string(buffer, size_t(n)) : "";
}

TEST(Ssh1Connection, RequestsThenForwardedPort) {
  int localPort = 0;
  const int listener = ListenLoopback(&localPort);
  const std::string host = "127.0.0.1";
  ByteServer server([&](ByteServer& io) {
    Peer peer(io);
    peer.Identify();
    KeyExchange kx;
    ASSERT_EQ(kx.Run(peer), "");
    peer.Read();
    peer.Send(kSuccess);

    Packet x11 = peer.Read();
    EXPECT_EQ(x11.type, kX11Request);
    const std::string protocol = "MIT-MAGIC-COOKIE-1";
    ASSERT_GE(x11.data.size(), 4 + protocol.size() + 4 + 32 + 4);
    EXPECT_EQ(x11.data.substr(0, 4 + protocol.size()), Str(protocol));
    EXPECT_EQ(GetU32(x11.data, 4 + protocol.size()), 32u);
    EXPECT_EQ(GetU32(x11.data, x11.data.size() - 4), 2u) << "screen number";
    peer.Send(kFailure);

    Packet forward = peer.Read();
    EXPECT_EQ(forward.type, kPortForwardRequest);
    EXPECT_EQ(forward.data, U32(4000) + Str(host) + U32(uint32_t(localPort)));
    peer.Send(kSuccess);

    Packet pty = peer.Read();
    EXPECT_EQ(pty.type, kRequestPty);
    const std::string modes = std::string(1, char(192)) + U32(4800) + std::string(1, char(193)) + U32(9600) +
                              std::string(1, '\0');
    EXPECT_EQ(pty.data, Str("vt100") + U32(24) + U32(80) + U32(0) + U32(0) + modes);
    peer.Send(kSuccess);

    Packet compression = peer.Read();
    EXPECT_EQ(compression.type, kRequestCompression);
    EXPECT_EQ(compression.data, U32(6));
    peer.Send(kSuccess);
    peer.StartCompression();
    Packet exec = peer.Read();
    EXPECT_EQ(exec.type, kExecShell) << exec.why;

    // A port nobody asked to forward is refused; the forwarded one connects.
    peer.Send(kPortOpen, U32(10) + Str(host) + U32(1));
    Packet refused = peer.Read();
    EXPECT_EQ(refused.type, kOpenFailure);
    EXPECT_EQ(refused.data, U32(10));
    peer.Send(kPortOpen, U32(9) + Str(host) + U32(uint32_t(localPort)));
    Packet confirmation = peer.Read();
    ASSERT_EQ(confirmation.type, kOpenConfirmation);
    ASSERT_EQ(GetU32(confirmation.data, 0), 9u);
    const uint32_t localId = GetU32(confirmation.data, 4);
    pollfd p{listener, POLLIN, 0};
    ASSERT_EQ(poll(&p, 1, 10000), 1);
    const int connection = accept4(listener, nullptr, nullptr, SOCK_CLOEXEC);
    peer.Send(kChannelData, U32(localId) + Str("ping"));
    EXPECT_EQ(ReadSome(connection), "ping");
    send(connection, "pong", 4, MSG_NOSIGNAL);
    Packet data = peer.Read();
    EXPECT_EQ(data.type, kChannelData);
    EXPECT_EQ(data.data, U32(9) + Str("pong"));

    // Each side's CLOSE and CLOSE_CONFIRMATION are answered in kind, once.
    peer.Send(kChannelClose, U32(localId));
    Packet closed = peer.Read();
    EXPECT_EQ(closed.type, kChannelClose);
    EXPECT_EQ(closed.data, U32(9));
    EXPECT_EQ(ReadSome(connection), "") << "the local connection is closed";
    peer.Send(kCloseConfirmation, U32(localId));
    Packet confirmClose = peer.Read();
    EXPECT_EQ(confirmClose.type, kCloseConfirmation);
    EXPECT_EQ(confirmClose.data, U32(9));
    close(connection);
    peer.Send(kStdoutData, Str("done"));
    peer.Send(kExitStatus, U32(0));
    EXPECT_EQ(peer.Read().type, kExitConfirmation);
  });
  Client client;
  SshSettings& s = client.settings;
  s.X11Forward = 1;
  std::strcpy(s.X11Display, "localhost:7.2");
  const std::string forwards = "R4000\t" + host + ":" + std::to_string(localPort);
  std::memcpy(s.PortForwards, forwards.c_str(), forwards.size() + 1);
  s.NoPty = 0;
  std::strcpy(s.TerminalType, "vt100");
  std::strcpy(s.TerminalSpeeds, "9600,4800");
  s.TerminalWidth = 80;
  s.TerminalHeight = 24;
  s.Compression = 1;
  s.RemoteCommand[0] = 0;
  ASSERT_TRUE(client.Connect(server.port()));
  EXPECT_TRUE(client.Pump([&] { return client.Closed(); }));
  EXPECT_EQ(client.output, "done");
  EXPECT_EQ(client.session->exitCode, 0);
  server.Finish();
  ::close(listener);
}

}  // namespace
