// The packet layer: encrypted round trips for every cipher and MAC, the receiver's
// integrity checks, field readers and writers, padding, the CBC IGNORE rule, the
// length-hiding send, SSH-1 framing, and the channel window reopened on a packet's first
// block.
#include <gtest/gtest.h>

#include "core/errors/error_codes.h"
#include "ssh/proto/channel.h"
#include "ssh/proto/compress.h"
#include "ssh/proto/transport.h"
#include "ssh_test_util.h"

namespace {

using sshtest::CaptureSocket;
using sshtest::NewOfflineSession;

// A sender and a receiver keyed alike for one cipher and MAC.
struct Pair {
  SshSession* tx = NewOfflineSession();
  SshSession* rx = NewOfflineSession();
  Pair(const SshCipherDesc* cipher, const SshMacDesc* mac) {
    uint8_t key[64], iv[32], mackey[64];
    for (int i = 0; i < 64; ++i) key[i] = uint8_t(i * 7 + 1), mackey[i] = uint8_t(200 - i);
    for (int i = 0; i < 32; ++i) iv[i] = uint8_t(i * 3);
    if (cipher) {
      for (SshSession* s : {tx, rx}) {
        void* c = cipher->create();
        cipher->set_key(c, key);
        cipher->set_iv(c, iv);
        (s == tx ? s->csCipher : s->scCipher) = cipher;
        (s == tx ? s->csCipherContext : s->scCipherContext) = c;
      }
    }
    if (mac) {
      for (SshSession* s : {tx, rx}) {
        void* m = mac->create();
        mac->set_key(m, mackey);
        (s == tx ? s->csMac : s->scMac) = mac;
        (s == tx ? s->csMacContext : s->scMacContext) = m;
      }
    }
  }
  ~Pair() {
    SshSessionFree(tx);
    SshSessionFree(rx);
  }
  std::string Finish(uint32_t type, const std::string& payload) {
    SshPacket* p = Ssh2PacketNew(type);
    SshPacketAddStringStart(p);
    SshPacketAddStringData(p, payload.data(), int32_t(payload.size()));
    int32_t n = Ssh2FinishPacket(tx, p);
    std::string out(reinterpret_cast<char*>(p->data), size_t(n));
    SshPacketFree(p);
    return out;
  }
};

// Feeds the stream in pieces of `step` bytes and returns the packets read.
std::vector<std::pair<uint32_t, std::string>> ReadAll(SshSession* s, const std::string& stream, size_t step) {
  std::vector<std::pair<uint32_t, std::string>> out;
  for (size_t at = 0; at < stream.size(); at += step) {
    auto* bytes = reinterpret_cast<const uint8_t*>(stream.data() + at);
    int32_t count = int32_t(std::min(step, stream.size() - at));
    while (count > 0) {
      if (SshPacket* p = Ssh2ReadPacket(s, &bytes, &count)) {
        const uint8_t* text;
        int32_t length;
        SshPacketGetString(p, &text, &length);
        out.emplace_back(p->type, text ? std::string(reinterpret_cast<const char*>(text), size_t(length)) : "?");
        SshPacketFree(p);
      }
    }
  }
  return out;
}

const SshCipherDesc* const kCiphers[] = {
    &Aes256CtrCipherDesc, &Aes256CbcCipherDesc,   &Aes192CtrCipherDesc,   &Aes192CbcCipherDesc, &Aes128CtrCipherDesc,
    &Aes128CbcCipherDesc, &Des3CtrCipherDesc,     &Des3CbcCipherDesc,     &BlowfishCtrCipherDesc,
    &BlowfishCbcCipherDesc, &DesCbcCipherDesc,    &Arcfour256CipherDesc,  &Arcfour128CipherDesc};
const SshMacDesc* const kMacs[] = {&HmacSha256MacDesc, &HmacSha1MacDesc, &HmacSha1_96MacDesc,
                                   &HmacMd5MacDesc,    &HmacSha1BugMacDesc, &HmacSha1_96BugMacDesc};

TEST(Ssh2Packets, RoundTripEveryCipherAndMacInAnyPieces) {
  std::vector<std::pair<const SshCipherDesc*, const SshMacDesc*>> cases = {{nullptr, nullptr}};
  for (auto* c : kCiphers) cases.emplace_back(c, &HmacSha1MacDesc);
  for (auto* m : kMacs) cases.emplace_back(&Aes128CtrCipherDesc, m);
  for (auto [cipher, mac] : cases) {
    SCOPED_TRACE(std::string(cipher ? cipher->ssh_name : "none") + " " + (mac ? mac->ssh_name : "none"));
    const std::string payloads[] = {"", "x", std::string(1000, 'a'), std::string(20000, 'b')};
    for (size_t step : {size_t(1), size_t(7), size_t(1) << 20}) {
      SCOPED_TRACE(step);
      Pair again(cipher, mac);
      std::string s2;
      for (const auto& payload : payloads) s2 += again.Finish(94, payload);
      auto got = ReadAll(again.rx, s2, step);
      ASSERT_EQ(got.size(), 4u);
      for (size_t i = 0; i < 4; ++i) EXPECT_EQ(got[i].second, payloads[i]);
      EXPECT_EQ(again.rx->inSequence, 4u);
      EXPECT_EQ(again.rx->lastError, 0u);
    }
  }
}

TEST(Ssh2Packets, TamperedMacOrCiphertextIsRejectedAndEndsTheSession) {
  for (size_t flip : {size_t(3), size_t(20), size_t(0)}) {
    Pair pair(&Aes128CtrCipherDesc, &HmacSha256MacDesc);
    std::string bytes = pair.Finish(94, "secret payload");
    size_t at = flip == 0 ? bytes.size() - 1 : flip;  // 0: the last MAC byte
    bytes[at] = char(bytes[at] ^ 1);
    CaptureSocket socket;
    pair.rx->socket = &socket;
    pair.rx->packetReader = Ssh2ReadPacket;
    pair.rx->protocol = [](SshSession*, const uint8_t*, int32_t, SshPacket*) { ADD_FAILURE() << "delivered"; };
    pair.rx->protocolVersion = 2;
    pair.rx->ident.state = SshIdentState::Done;
    EXPECT_EQ(SshOnReceive(pair.rx, 0, reinterpret_cast<const uint8_t*>(bytes.data()), int32_t(bytes.size())), 0);
    EXPECT_EQ(pair.rx->lastError, cvErrorInvalidPacketData);
    EXPECT_EQ(pair.rx->connectionState, kSshStateClosed);
    EXPECT_TRUE(socket.closed);
    pair.rx->socket = nullptr;
  }
}

TEST(Ssh2Packets, HeaderChecksBeforeAnyCipher) {
  struct Case {
    uint32_t length;
    uint8_t padding;
    bool accepted;
  } cases[] = {
      {34996, 4, true},    // the largest length that passes both rules with 8-byte blocks
      {35004, 4, false},   // a multiple of the block but above the limit
      {36000, 4, false},
      {0x80000004u, 4, false},
      {12, 3, false},      // padding below 4
      {13, 4, false},      // length + 4 not a multiple of 8
      {12, 12, false},     // nothing left for the message number
      {12, 11, true},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.length);
    SshSession* s = NewOfflineSession();
    std::string header = sshtest::U32(c.length) + char(c.padding) + std::string(3, '\0');
    auto* bytes = reinterpret_cast<const uint8_t*>(header.data());
    int32_t count = int32_t(header.size());
    EXPECT_EQ(Ssh2ReadPacket(s, &bytes, &count), nullptr);
    EXPECT_EQ(count, 0);
    EXPECT_EQ(s->lastError, c.accepted ? 0u : cvErrorInvalidPacketData);
    EXPECT_EQ(s->integrityFailed, c.accepted ? 0u : 1u);
    SshSessionFree(s);
  }
}

TEST(Ssh2Packets, PaddingFillsTheBlockWithFourToBlockPlusThreeBytes) {
  SshSession* s = NewOfflineSession();
  for (auto [payload, padding] : {std::pair{4, 6}, std::pair{6, 4}, std::pair{7, 11}}) {
    SshPacket* p = Ssh2PacketNew(2);  // header + message number = 6 bytes
    for (int i = 0; i < payload; ++i) SshPacketAddByte(p, 0);
    int32_t n = Ssh2FinishPacket(s, p);
    EXPECT_EQ(p->data[4], padding) << payload;
    EXPECT_EQ(n % 8, 0);
    SshPacketFree(p);
  }
  EXPECT_EQ(s->outSequence, 3u);
  s->outSequence = 0xFFFFFFFFu;
  SshPacket* p = Ssh2PacketNew(2);
  Ssh2FinishPacket(s, p);
  SshPacketFree(p);
  EXPECT_EQ(s->outSequence, 0u) << "sequence numbers wrap";
  SshSessionFree(s);
}

TEST(Ssh2Packets, CbcBurstsStartWithIgnoreCounterModeDoesNot) {
  for (auto* cipher : {&Aes128CbcCipherDesc, &Aes128CtrCipherDesc}) {
    Pair pair(cipher, &HmacSha1MacDesc);
    SshPacket* p = Ssh2PacketNew(50);
    SshPacketAddString(p, "payload");
    Ssh2DeferPacket(pair.tx, p);
    SshPacket* q = Ssh2PacketNew(50);
    SshPacketAddString(q, "second");
    Ssh2DeferPacket(pair.tx, q);
    std::string burst(reinterpret_cast<char*>(pair.tx->deferred), size_t(pair.tx->deferredLength));
    auto got = ReadAll(pair.rx, burst, burst.size());
    std::vector<uint32_t> types;
    for (auto& g : got) types.push_back(g.first);
    if (cipher->flags & SshCipherFlagCbc)
      EXPECT_EQ(types, (std::vector<uint32_t>{2, 50, 50}));
    else
      EXPECT_EQ(types, (std::vector<uint32_t>{50, 50}));
  }
}

TEST(Ssh2Packets, PaddedSendHidesTheSecretLength) {
  std::vector<size_t> written;
  for (size_t secret : {size_t(1), size_t(40), size_t(90)}) {
    Pair pair(&Aes128CtrCipherDesc, &HmacSha1MacDesc);
    CaptureSocket socket;
    pair.tx->socket = &socket;
    SshPacket* p = Ssh2PacketNew(50);
    SshPacketAddString(p, std::string(secret, 'p').c_str());
    Ssh2SendPaddedPacket(pair.tx, p);
    written.push_back(socket.written.size());
    auto got = ReadAll(pair.rx, socket.written, socket.written.size());
    ASSERT_EQ(got.size(), 2u);
    EXPECT_EQ(got[0].second, std::string(secret, 'p'));
    EXPECT_EQ(got[1].first, 2u);
    pair.tx->socket = nullptr;
  }
  EXPECT_EQ(written[0], written[1]);
  EXPECT_EQ(written[1], written[2]);
}

TEST(Ssh2Packets, QueueHoldsPacketsUntilReleasedInOrder) {
  SshSession* s = NewOfflineSession();
  CaptureSocket socket;
  s->socket = &socket;
  s->queueing = 1;
  for (uint32_t t : {50u, 51u, 52u}) Ssh2SendQueued(s, Ssh2PacketNew(t));
  EXPECT_TRUE(socket.written.empty());
  s->queueing = 0;
  Ssh2SendQueue(s);
  auto payloads = sshtest::PlainPayloads(socket.written);
  ASSERT_EQ(payloads.size(), 3u);
  EXPECT_EQ(payloads[0][0], char(50));
  EXPECT_EQ(payloads[2][0], char(52));
  s->socket = nullptr;
  SshSessionFree(s);
}

TEST(PacketFields, StringsAndMpintsFromTheNetwork) {
  SshPacket* p = Ssh2PacketNew(94);
  std::string body = sshtest::U32(100) + "abc";
  for (char c : body) SshPacketAddByte(p, uint8_t(c));
  p->position = 6;
  const uint8_t* text;
  int32_t length;
  SshPacketGetString(p, &text, &length);
  EXPECT_EQ(text, nullptr);
  EXPECT_EQ(length, 100);
  EXPECT_EQ(p->position, 10) << "only the length field is consumed";
  SshPacketFree(p);

  struct Case {
    std::string bytes;
    int bits;  // -1: null
  } cases[] = {
      {sshtest::U32(1) + "\x80", -1},
      {sshtest::U32(0) + "\x80", 0},
      {sshtest::U32(2) + std::string("\x00\x80", 2), 8},
      {sshtest::U32(3) + "ab", -1},
      {std::string("\xff\xff\xff\xff", 4), -1},
  };
  for (const auto& c : cases) {
    SshPacket* q = Ssh2PacketNew(94);
    for (char ch : c.bytes) SshPacketAddByte(q, uint8_t(ch));
    q->position = 6;
    MpInt n = SshPacketGetMpint2(q);
    if (c.bits < 0)
      EXPECT_EQ(n, nullptr);
    else
      EXPECT_EQ(MpBitCount(n), c.bits);
    MpFree(n);
    SshPacketFree(q);
  }

  SshPacket* w = Ssh2PacketNew(94);
  const uint8_t v80 = 0x80;
  MpInt n = MpFromBytes(&v80, 1);
  SshPacketAddMpint2(w, n);
  EXPECT_EQ(std::string(reinterpret_cast<char*>(w->data + 6), 6), sshtest::U32(2) + std::string("\x00\x80", 2));
  MpFree(n);
  SshPacketFree(w);
}

// A packet failing its checksum leaves the stream out of step: it is refused with the
// integrity error (and the input pump ends the session), not skipped.
TEST(Ssh1Packets, ChecksumRoundTripAndCorruptPacketRefused) {
  EXPECT_EQ(SshCrc32("abc", 3), 0xCA6598D0u);
  SshSession* s = NewOfflineSession();
  std::string stream;
  for (const char* text : {"first", "second"}) {
    SshPacket* p = Ssh1BuildPacket(4, {{.kind = Ssh1Field::Uint32, .value = 7}, {.kind = Ssh1Field::Text, .data = text}});
    int32_t offset = 0;
    int32_t n = Ssh1FinishPacket(s, p, &offset);
    EXPECT_EQ((n - 4) % 8, 0);
    stream.append(reinterpret_cast<char*>(p->data + offset), size_t(n));
    SshPacketFree(p);
  }
  stream[stream.size() - 10] = char(stream[stream.size() - 10] ^ 0x40);  // corrupt the second packet
  auto* bytes = reinterpret_cast<const uint8_t*>(stream.data());
  int32_t count = int32_t(stream.size());
  std::vector<std::string> got;
  while (count > 0 && !s->integrityFailed) {
    if (SshPacket* p = Ssh1ReadPacket(s, &bytes, &count)) {
      EXPECT_EQ(p->type, 4u);
      EXPECT_EQ(SshPacketGetUint32(p), 7u);
      const uint8_t* text;
      int32_t length;
      SshPacketGetString(p, &text, &length);
      got.emplace_back(reinterpret_cast<const char*>(text), size_t(length));
      SshPacketFree(p);
    }
  }
  EXPECT_EQ(got, std::vector<std::string>{"first"});
  EXPECT_EQ(s->integrityFailed, 1u);
  EXPECT_EQ(s->lastError, cvErrorInvalidPacketData);
  SshSessionFree(s);
}

// The other SSH-1 checks that leave the stream out of step: a length outside the
// protocol's range, a payload that does not inflate. Each ends the stream with the
// integrity error instead of resetting the receiver and reading on.
TEST(Ssh1Packets, BadLengthOrUninflatablePayloadEndsTheStream) {
  auto good = [](SshSession* s) {
    SshPacket* p = Ssh1BuildPacket(7, {{.kind = Ssh1Field::Text, .data = "not deflated"}});
    int32_t offset = 0;
    const int32_t n = Ssh1FinishPacket(s, p, &offset);
    std::string bytes(reinterpret_cast<char*>(p->data + offset), size_t(n));
    SshPacketFree(p);
    return bytes;
  };
  struct Case {
    const char* name;
    bool inflate;
    std::string (*stream)(SshSession*);
  } cases[] = {
      {"length below five", false, [](SshSession*) { return std::string("\0\0\0\4", 4) + std::string(8, 'x'); }},
      {"length above the limit", false, [](SshSession*) { return std::string("\0\4\0\1", 4) + std::string(8, 'x'); }},
      {"payload that does not inflate", true, nullptr},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.name);
    SshSession* s = NewOfflineSession();
    const std::string stream = c.stream ? c.stream(s) : good(s);
    if (c.inflate) {
      s->scCompress = SshZlibCompressDesc();
      s->scCompressContext = s->scCompress->decompress_init();
    }
    auto* bytes = reinterpret_cast<const uint8_t*>(stream.data());
    int32_t count = int32_t(stream.size());
    EXPECT_EQ(Ssh1ReadPacket(s, &bytes, &count), nullptr);
    EXPECT_EQ(s->integrityFailed, 1u);
    EXPECT_EQ(s->lastError, cvErrorInvalidPacketData);
    SshSessionFree(s);
  }
}

// Compressed input that does not inflate is as corrupt as a failed MAC: refused, not
// handed on as it came.
TEST(Ssh2Packets, PayloadThatDoesNotInflateIsRefused) {
  SshSession* s = NewOfflineSession();
  s->scCompress = SshZlibCompressDesc();
  s->scCompressContext = s->scCompress->decompress_init();
  const std::string stream = sshtest::PlainPacket(std::string("\x5e\x00\x01garbage", 10));
  auto* bytes = reinterpret_cast<const uint8_t*>(stream.data());
  int32_t count = int32_t(stream.size());
  EXPECT_EQ(Ssh2ReadPacket(s, &bytes, &count), nullptr);
  EXPECT_EQ(s->integrityFailed, 1u);
  EXPECT_EQ(s->lastError, cvErrorInvalidPacketData);
  SshSessionFree(s);
}

// A session in its main phase receiving under aes128-ctr and hmac-sha2-256: the channel
// handlers installed, a main channel (local id 256, the server's id 7) with its whole
// window, the channel's data kept as delivered and what the session writes kept plain.
std::string g_delivered;

struct MainPhase {
  Pair pair{&Aes128CtrCipherDesc, &HmacSha256MacDesc};
  CaptureSocket socket;
  SshChannel* main = nullptr;
  MainPhase() {
    g_delivered.clear();
    SshSession* s = pair.rx;
    s->socket = &socket;
    s->packetReader = Ssh2ReadPacket;
    s->protocol = Ssh2Protocol;
    s->protocolVersion = 2;
    s->ident.state = SshIdentState::Done;
    s->authStarted = 1;
    s->connectionState = kSshStateRunning;
    Ssh2DispatchInit(s);
    Ssh2InstallConnectionHandlers(s);
    Ssh2InstallChannelHandlers(s);
    main = SshChannelNew(s, 256);
    main->remoteId = 7;
    SshChannelsAdd(s, main);
    s->mainChannel = main;
    s->mainChannelData = [](SshSession*, const uint8_t* data, uint32_t length) {
      g_delivered.append(reinterpret_cast<const char*>(data), length);
    };
  }
  ~MainPhase() { pair.rx->socket = nullptr; }
  // One encrypted channel message: recipient, then the data as a string.
  std::string Data(uint32_t type, uint32_t recipient, const std::string& data) {
    SshPacket* p = Ssh2PacketNew(type);
    SshPacketAddUint32(p, recipient);
    if (type == 95) SshPacketAddUint32(p, 1);
    SshPacketAddStringStart(p);
    SshPacketAddStringData(p, data.data(), int32_t(data.size()));
    int32_t n = Ssh2FinishPacket(pair.tx, p);
    std::string out(reinterpret_cast<char*>(p->data), size_t(n));
    SshPacketFree(p);
    return out;
  }
  void Receive(const std::string& bytes) {
    SshOnReceive(pair.rx, 0, reinterpret_cast<const uint8_t*>(bytes.data()), int32_t(bytes.size()));
  }
  // The amounts of the WINDOW_ADJUST messages written so far.
  std::vector<uint32_t> Adjustments() const {
    std::vector<uint32_t> out;
    for (const std::string& m : sshtest::PlainPayloads(socket.written)) {
      if (m[0] != char(93)) continue;
      EXPECT_EQ(m.size(), 9u);
      EXPECT_EQ(m.substr(1, 4), sshtest::U32(7)) << "the server's channel id";
      if (m.size() == 9)
        out.push_back(uint32_t(uint8_t(m[5])) << 24 | uint32_t(uint8_t(m[6])) << 16 | uint32_t(uint8_t(m[7])) << 8 |
                      uint8_t(m[8]));
    }
    return out;
  }
};

// The window for main-channel data is reopened as soon as the packet's first block is in,
// before the rest has arrived; what the window is charged and granted stays what it was
// (one adjustment per packet, never more than the window's 16,384 bytes outstanding).
TEST(Ssh2Packets, MainChannelWindowReopensOnThePacketsFirstBlock) {
  struct Case {
    const char* name;
    uint32_t type, recipient, window;
    size_t length;
    std::vector<uint32_t> early;  // adjustments once the first block is in
    std::vector<uint32_t> all;    // and once the whole packet is
    uint32_t windowAfter;         // the local window at the end
    bool delivered, ends;
  } cases[] = {
      {"a whole window", 94, 256, 16384, 16384, {16384}, {16384}, 16384, true, false},
      {"less than half of it", 94, 256, 16384, 8000, {}, {}, 8384, true, false},
      {"the rest of the window", 94, 256, 9000, 9000, {16384}, {16384}, 16384, true, false},
      {"beyond the window", 94, 256, 9000, 9001, {}, {}, 9000, false, true},
      {"extended data, as before", 95, 256, 16384, 16384, {}, {16384}, 16384, false, false},
      {"another channel", 94, 300, 16384, 16384, {}, {}, 16384, false, false},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.name);
    MainPhase phase;
    phase.main->localWindow = c.window;
    std::string data(c.length, '\0');
    for (size_t i = 0; i < data.size(); ++i) data[i] = char(i * 31 + i / 256);
    const std::string bytes = phase.Data(c.type, c.recipient, data);
    phase.Receive(bytes.substr(0, 16));
    EXPECT_EQ(phase.Adjustments(), c.early);
    EXPECT_TRUE(g_delivered.empty());
    EXPECT_LE(phase.main->localWindow, 16384u);
    phase.Receive(bytes.substr(16));
    EXPECT_EQ(phase.Adjustments(), c.all);
    EXPECT_EQ(g_delivered, c.delivered ? data : "");
    EXPECT_EQ(phase.pair.rx->connectionState == kSshStateClosed, c.ends);
    if (c.ends) {
      EXPECT_EQ(phase.pair.rx->lastError, cvErrorInvalidPacketData);
      continue;
    }
    EXPECT_EQ(phase.main->localWindow, c.windowAfter);
    EXPECT_EQ(phase.pair.rx->lastError, 0u);
  }
}

// Packets after packets: each whole-window packet gets its adjustment when its first
// block arrives, and the stream of grants matches the data exactly.
TEST(Ssh2Packets, EveryWindowPacketGetsOneEarlyAdjustment) {
  MainPhase phase;
  std::string expected;
  for (uint32_t i = 0; i < 4; ++i) {
    const std::string data(16384, char('a' + i));
    const std::string bytes = phase.Data(94, 256, data);
    phase.Receive(bytes.substr(0, 16));
    EXPECT_EQ(phase.Adjustments().size(), i + 1);
    EXPECT_EQ(phase.main->localWindow, 16384u);
    phase.Receive(bytes.substr(16));
    expected += data;
  }
  EXPECT_EQ(g_delivered, expected);
  EXPECT_EQ(phase.Adjustments(), std::vector<uint32_t>(4, 16384));
}

// A packet whose window was reopened early and whose MAC then fails is not delivered: the
// session ends with the integrity error as it does for any other packet.
TEST(Ssh2Packets, MacFailureAfterTheEarlyAdjustmentEndsTheSession) {
  for (size_t flip : {size_t(100), size_t(0)}) {  // in the data, in the MAC
    MainPhase phase;
    std::string bytes = phase.Data(94, 256, std::string(16384, 'd'));
    const size_t at = flip ? flip : bytes.size() - 1;
    bytes[at] = char(bytes[at] ^ 1);
    phase.Receive(bytes);
    EXPECT_EQ(phase.Adjustments(), std::vector<uint32_t>{16384});
    EXPECT_TRUE(g_delivered.empty());
    EXPECT_EQ(phase.pair.rx->connectionState, kSshStateClosed);
    EXPECT_EQ(phase.pair.rx->lastError, cvErrorInvalidPacketData);
    EXPECT_TRUE(phase.socket.closed);
  }
}

}  // namespace
