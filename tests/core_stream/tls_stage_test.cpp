// The TLS stage over an in-memory connection: records cut at every byte, a stream that
// would block at every other step, the peer's close-notify with plain text behind it, and
// renegotiation.
#include <gtest/gtest.h>

#include <memory>
#include <string>
#include <vector>

#include "core/stream/read_ahead.h"
#include "core/stream/tls_stage.h"
#include "memory_peer.h"
#include "platform/tls/tls_context.h"

using cvcore::TlsStage;
using streamtest::MemoryStream;
using streamtest::TlsPeer;

namespace {

class TlsStageTest : public ::testing::Test {
 protected:
  static std::shared_ptr<plat::TlsCredentials> Credentials(plat::TlsRole role) {
    plat::TlsCredentialOptions o;
    o.role = role;
    if (role == plat::TlsRole::Server) {
      std::vector<plat::TlsCertificate> certs;
      plat::TlsError error;
      if (plat::TlsLoadCertificateFile(streamtest::ServerPem(), nullptr, certs, error) && !certs.empty())
        o.certificate = certs[0];
    }
    plat::TlsError error;
    return plat::TlsCredentials::Create(o, error);
  }

  // A stage of the given role on the memory stream, its peer run on every wait.
  void Connect(plat::TlsRole role) {
    peer = std::make_unique<TlsPeer>(role == plat::TlsRole::Client, streamtest::ServerPem());
    stream.onWait = [this] { peer->Run(stream); };
    plat::TlsError error;
    auto context = plat::TlsContext::Create(Credentials(role), role == plat::TlsRole::Client ? "localhost" : "", error);
    ASSERT_TRUE(context);
    stage = std::make_unique<TlsStage>(stream, std::move(context));
  }

  void Handshake() {
    ASSERT_TRUE(stage->Handshake(nullptr)) << stream.error;
    ASSERT_TRUE(stage->established());
    peer->Run(stream);  // the peer takes the last flight
    ASSERT_TRUE(SSL_is_init_finished(peer->ssl()));
  }

  // Everything up to the stage's end of input, through receives of at most chunk bytes.
  std::string ReceiveToEnd(uint32_t chunk) {
    std::string text;
    std::vector<char> buffer(chunk);
    for (;;) {
      const int32_t n = cvcore::ReceiveSome(*stage, buffer.data(), chunk, cvcore::StreamOrder::TryFirst);
      if (n <= 0) return text;
      text.append(buffer.data(), size_t(n));
    }
  }

  MemoryStream stream;
  std::unique_ptr<TlsPeer> peer;
  std::unique_ptr<TlsStage> stage;
};

std::string Pattern(size_t size) {
  std::string s(size, '\0');
  for (size_t i = 0; i < size; ++i) s[i] = char('a' + i * 7 % 26);
  return s;
}

struct Cut {
  uint32_t piece;
  bool blockEveryOther;
  uint32_t readChunk;  // the reader's receives: below a record's size go through the stage's buffer
};

class TlsStageCuts : public TlsStageTest, public ::testing::WithParamInterface<Cut> {};

// Whatever size the connection hands bytes over in, and however often it would block,
// the handshake completes and the bytes arrive whole and in order both ways.
TEST_P(TlsStageCuts, CarriesBytesWholeBothWays) {
  stream.piece = GetParam().piece;
  stream.blockEveryOther = GetParam().blockEveryOther;
  Connect(plat::TlsRole::Client);
  Handshake();

  const std::string up = Pattern(70000);
  ASSERT_TRUE(cvcore::SendAll(*stage, up.data(), uint32_t(up.size()), cvcore::StreamOrder::TryFirst));
  peer->Run(stream);
  EXPECT_EQ(peer->received.size(), up.size());
  EXPECT_TRUE(peer->received == up);

  const std::string down = Pattern(40000) + "tail";
  peer->Write(stream, down.substr(0, 20000));
  peer->Write(stream, down.substr(20000));
  peer->CloseNotify(stream);
  const std::string got = ReceiveToEnd(GetParam().readChunk);
  EXPECT_EQ(got.size(), down.size());
  EXPECT_TRUE(got == down);
  EXPECT_TRUE(stage->closeNotified());
  EXPECT_EQ(stream.error, 0u);
}

INSTANTIATE_TEST_SUITE_P(Connections, TlsStageCuts,
                         ::testing::Values(Cut{1, false, 100}, Cut{1, true, 16384}, Cut{0xFFFFFFFF, true, 7},
                                           Cut{3, true, 65536}, Cut{0xFFFFFFFF, false, 1}));

// After the peer's close-notify the connection carries plain text (an FTP server after
// CCC): what came in the same receive as the alert is handed back, the rest follows on
// the stream below, and nothing is lost or taken twice.
TEST_F(TlsStageTest, PlainBytesAfterCloseNotifyAreKept) {
  for (const uint32_t piece : {1u, 5u, 0xFFFFFFFFu}) {
    SCOPED_TRACE(piece);
    stream = MemoryStream();
    stream.piece = piece;
    Connect(plat::TlsRole::Client);
    Handshake();
    ASSERT_TRUE(stage->SendCloseNotify(true));
    peer->Write(stream, "200 protected\r\n");
    peer->Run(stream);
    EXPECT_TRUE(peer->closeNotified);
    peer->CloseNotify(stream);
    const std::string plain = "200 plain from here on\r\n221 bye\r\n";
    stream.inbound += plain;
    stream.peerEnded = true;
    EXPECT_EQ(ReceiveToEnd(100), "200 protected\r\n");
    ASSERT_TRUE(stage->closeNotified());
    // A send after our close-notify is refused.
    EXPECT_EQ(stage->Send("x", 1), -1);
    EXPECT_EQ(stream.error, uint32_t(cvErrorSecurityEncryption));

    const std::vector<uint8_t> held = stage->TakeHeld();
    cvcore::ReadAhead<64> reader;
    reader.Put(held.data(), uint32_t(held.size()));
    std::string rest;
    while (reader.FillWaiting(stream, cvcore::StreamOrder::TryFirst) > 0) {
      char c;
      while (reader.TakeByte(c)) rest += c;
    }
    EXPECT_EQ(rest, plain);
  }
}

// Lines longer than the reader's buffer, read through the stage over a connection that
// hands over one byte at a time and would block in between.
TEST_F(TlsStageTest, ReaderTakesLinesThroughTheStage) {
  stream.piece = 1;
  stream.blockEveryOther = true;
  Connect(plat::TlsRole::Client);
  Handshake();
  const std::vector<std::string> lines = {"220 short\r\n", std::string(50, 'L') + "\r\n", "\r\n", "x\n"};
  for (const std::string& l : lines) peer->Write(stream, l);
  peer->CloseNotify(stream);
  cvcore::ReadAhead<16> reader;
  std::string line;
  std::vector<size_t> pieces;
  for (const std::string& expected : lines) {
    ASSERT_TRUE(streamtest::ReadLine(reader, *stage, line, pieces));
    EXPECT_EQ(line, expected);
  }
  EXPECT_FALSE(streamtest::ReadLine(reader, *stage, line, pieces));
  EXPECT_TRUE(stage->closeNotified());
  EXPECT_EQ(stream.error, 0u);
}

// A peer that ends the connection in the middle of the handshake fails it (and the
// stage knows the input ended); bytes that are no TLS fail it too.
TEST_F(TlsStageTest, HandshakeFailsOnEndOrGarbage) {
  Connect(plat::TlsRole::Client);
  stream.onWait = [this] {
    stream.outbound.clear();
    stream.peerEnded = true;
  };
  EXPECT_FALSE(stage->Handshake(nullptr));
  EXPECT_TRUE(stage->ended());
  EXPECT_EQ(stream.error, uint32_t(cvErrorSecurityContext));

  stream = MemoryStream();
  Connect(plat::TlsRole::Client);
  stream.onWait = [this] {
    if (stream.Unreceived().empty()) stream.inbound += "HTTP/1.1 400 Bad Request\r\n\r\n";
  };
  EXPECT_FALSE(stage->Handshake(nullptr));
  EXPECT_EQ(stream.error, uint32_t(cvErrorSecurityContext));
}

// A server that asks for a new handshake is answered, and the data on both sides of it
// arrives (the server sends again once the new handshake is done).
TEST_F(TlsStageTest, ServerRenegotiationIsAnswered) {
  stream.piece = 2;
  stream.blockEveryOther = true;
  Connect(plat::TlsRole::Client);
  Handshake();
  peer->Write(stream, "before ");
  ASSERT_TRUE(peer->Renegotiate(stream));
  bool renegotiated = false;
  stream.onWait = [&] {
    peer->Run(stream);
    if (!renegotiated && SSL_renegotiate_pending(peer->ssl()) == 0) {
      renegotiated = true;
      peer->Write(stream, "after");
      peer->CloseNotify(stream);
    }
  };
  EXPECT_EQ(ReceiveToEnd(16384), "before after");
  EXPECT_TRUE(renegotiated);
  EXPECT_EQ(stream.error, 0u);
}

// Application data the server sends right behind its request for a new handshake, before
// it has the client's answer (TLS 1.2 lets the two interleave), reaches the reader in order
// with what came before and after, and the new handshake completes.
TEST_F(TlsStageTest, DataInterleavedWithRenegotiationIsDelivered) {
  struct Row {
    uint32_t piece;
    bool blockEveryOther;
    uint32_t readChunk;
    size_t during;  // bytes the server sends between its request and the new handshake
  };
  for (const Row row : {Row{2, true, 16384, 5}, Row{0xFFFFFFFF, false, 7, 5}, Row{0xFFFFFFFF, false, 16384, 70000},
                        Row{1000, true, 100, 40000}}) {
    SCOPED_TRACE(testing::Message() << row.piece << " " << row.readChunk << " " << row.during);
    stream = MemoryStream();
    stream.piece = row.piece;
    stream.blockEveryOther = row.blockEveryOther;
    Connect(plat::TlsRole::Client);
    Handshake();
    const std::string during = Pattern(row.during);
    peer->Write(stream, "before ");
    ASSERT_TRUE(peer->Renegotiate(stream));
    peer->Write(stream, during);
    bool renegotiated = false;
    stream.onWait = [&] {
      peer->Run(stream);
      if (!renegotiated && SSL_renegotiate_pending(peer->ssl()) == 0) {
        renegotiated = true;
        peer->Write(stream, " after");
        peer->CloseNotify(stream);
      }
    };
    const std::string got = ReceiveToEnd(row.readChunk);
    EXPECT_EQ(got.size(), 7 + during.size() + 6);
    EXPECT_TRUE(got == "before " + during + " after");
    EXPECT_TRUE(renegotiated);
    EXPECT_EQ(stream.error, 0u);
  }
}

// A server that sends on and on after its request, never going on with the new handshake,
// fails the connection once the kept data passes its limit, instead of filling the memory.
TEST_F(TlsStageTest, EndlessDataDuringRenegotiationFails) {
  Connect(plat::TlsRole::Client);
  Handshake();
  ASSERT_TRUE(peer->Renegotiate(stream));
  const std::string chunk = Pattern(16384);
  for (int i = 0; i < 80; ++i) peer->Write(stream, chunk);
  stream.onWait = [] {};
  EXPECT_EQ(ReceiveToEnd(16384), "");
  EXPECT_EQ(stream.error, uint32_t(cvErrorSecurityContext));
}

// A client's request for a new handshake is refused by a server stage: the handshake is
// not run again, and the connection goes on without it.
TEST_F(TlsStageTest, ClientRenegotiationIsRefused) {
  Connect(plat::TlsRole::Server);
  stream.onWait = [this] { peer->Run(stream); };
  peer->Run(stream);  // the client's hello
  Handshake();
  const auto cipherBefore = SSL_get_current_cipher(peer->ssl());
  peer->Renegotiate(stream);
  peer->Write(stream, "data");
  char buffer[64];
  const int32_t n = cvcore::ReceiveSome(*stage, buffer, sizeof buffer, cvcore::StreamOrder::TryFirst);
  peer->Run(stream);
  // Either the data comes, or the connection fails: never a second handshake.
  if (n > 0) {
    EXPECT_EQ(std::string(buffer, size_t(n)), "data");
  }
  EXPECT_EQ(SSL_get_current_cipher(peer->ssl()), cipherBefore);
  EXPECT_EQ(SSL_renegotiate_pending(peer->ssl()), 1) << "the peer's renegotiation completed";
}

}  // namespace
