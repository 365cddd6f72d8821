#pragma once
// A scripted SSH-1 server for the client's tests: RSA keys made with OpenSSL, the packet
// framing with CRC, padding, cipher and compression, the server's side of the key
// exchange (it holds the private keys, so it recovers and checks the session key), and
// a client session driven by the event pump.
#include <openssl/bn.h>
#include <openssl/core_names.h>
#include <openssl/evp.h>
#include <openssl/md5.h>
#include <openssl/rand.h>
#include <openssl/rsa.h>

#include <algorithm>
#include <cstring>
#include <functional>
#include <map>
#include <memory>
#include <mutex>
#include <string>
#include <vector>

#include <gtest/gtest.h>

#include "../ssh_extra/byte_server.h"
#include "../ssh_extra/extra_test_util.h"
#include "platform/base/tick.h"
#include "ssh/crypto/cipher.h"
#include "ssh/proto/compress.h"
#include "ssh/proto/lifecycle.h"
#include "ssh/proto/packet.h"
#include "ssh/proto/session.h"
#include "ssh/util/alloc.h"

namespace ssh1test {

struct BnFree {
  void operator()(BIGNUM* b) const { BN_free(b); }
};
using Bn = std::unique_ptr<BIGNUM, BnFree>;

inline std::string U32(uint32_t v) {
  std::string out;
  for (int i = 3; i >= 0; --i) out.push_back(char(v >> (8 * i)));
  return out;
}
inline uint32_t GetU32(const std::string& s, size_t at) {
  if (at + 4 > s.size()) return 0;
  return uint32_t(uint8_t(s[at])) << 24 | uint32_t(uint8_t(s[at + 1])) << 16 | uint32_t(uint8_t(s[at + 2])) << 8 |
         uint8_t(s[at + 3]);
}
inline std::string Str(const std::string& s) { return U32(uint32_t(s.size())) + s; }
inline std::string BnBytes(const BIGNUM* v, size_t size = 0) {
  std::string out(size ? size : size_t(BN_num_bytes(v)), '\0');
  BN_bn2binpad(v, reinterpret_cast<uint8_t*>(out.data()), int(out.size()));
  return out;
}
inline std::string Mpint1(const BIGNUM* v) {
  int bits = BN_num_bits(v);
  return std::string{char(bits >> 8), char(bits)} + BnBytes(v);
}
inline std::string RandomBytes(size_t n) {
  std::string out(n, '\0');
  RAND_bytes(reinterpret_cast<uint8_t*>(out.data()), int(n));
  return out;
}

struct RsaKey {
  Bn n, e, d, p, q, iqmp;
  int bits() const { return BN_num_bits(n.get()); }
  size_t bytes() const { return size_t(BN_num_bytes(n.get())); }
  // u32 bits, exponent, modulus: the SSH-1 public key form.
  std::string PublicForm() const { return U32(uint32_t(bits())) + Mpint1(e.get()) + Mpint1(n.get()); }
};

// One key per size and slot, made once per test program.
inline const RsaKey& Key(int bits, int slot = 0) {
  static std::mutex lock;
  static std::map<std::pair<int, int>, RsaKey> keys;
  std::lock_guard<std::mutex> hold(lock);
  auto [it, added] = keys.try_emplace({bits, slot});
  if (added) {
    EVP_PKEY* pkey = EVP_RSA_gen(unsigned(bits));
    auto get = [&](const char* name) {
      BIGNUM* v = nullptr;
      EVP_PKEY_get_bn_param(pkey, name, &v);
      return Bn(v);
    };
    RsaKey& k = it->second;
    k.n = get(OSSL_PKEY_PARAM_RSA_N);
    k.e = get(OSSL_PKEY_PARAM_RSA_E);
    k.d = get(OSSL_PKEY_PARAM_RSA_D);
    k.p = get(OSSL_PKEY_PARAM_RSA_FACTOR1);
    k.q = get(OSSL_PKEY_PARAM_RSA_FACTOR2);
    k.iqmp = get(OSSL_PKEY_PARAM_RSA_COEFFICIENT1);
    EVP_PKEY_free(pkey);
  }
  return it->second;
}

inline Bn ModExp(const BIGNUM* base, const BIGNUM* exponent, const BIGNUM* modulus) {
  BN_CTX* ctx = BN_CTX_new();
  Bn r(BN_new());
  BN_mod_exp(r.get(), base, exponent, modulus, ctx);
  BN_CTX_free(ctx);
  return r;
}

// Raw RSA decryption and removal of PKCS #1 type 2 padding; false when the padding is wrong.
inline bool RsaDecrypt(const RsaKey& key, const std::string& in, std::string* out) {
  Bn c(BN_bin2bn(reinterpret_cast<const uint8_t*>(in.data()), int(in.size()), nullptr));
  std::string m = BnBytes(ModExp(c.get(), key.d.get(), key.n.get()).get(), key.bytes());
  if (m.size() < 11 || m[0] != 0 || m[1] != 2) return false;
  size_t zero = m.find('\0', 2);
  if (zero == std::string::npos || zero < 10) return false;  // at least 8 non-zero padding bytes
  *out = m.substr(zero + 1);
  return true;
}

// PKCS #1 type 2 padding and raw RSA encryption (the server's RSA challenge).
inline std::string RsaEncrypt(const RsaKey& key, const std::string& data) {
  std::string m{'\0', '\2'};
  while (m.size() < key.bytes() - data.size() - 1) {
    std::string b = RandomBytes(1);
    if (b[0]) m += b;
  }
  m += '\0';
  m += data;
  Bn v(BN_bin2bn(reinterpret_cast<const uint8_t*>(m.data()), int(m.size()), nullptr));
  return BnBytes(ModExp(v.get(), key.e.get(), key.n.get()).get(), key.bytes());
}

inline std::string Md5(const std::string& data) {
  uint8_t out[16];
  EVP_Digest(data.data(), data.size(), out, nullptr, EVP_md5(), nullptr);
  return std::string(reinterpret_cast<char*>(out), 16);
}

// The CRC of SSH-1 packets computed bit by bit: reflected 0xEDB88320, initial 0, no
// final inversion.
inline uint32_t Crc(const std::string& data) {
  uint32_t crc = 0;
  for (unsigned char c : data) {
    crc ^= c;
    for (int k = 0; k < 8; ++k) crc = (crc & 1) ? (crc >> 1) ^ 0xEDB88320u : crc >> 1;
  }
  return crc;
}

// Positions among the first 33 blocks of an n-byte buffer whose blocks, made equal, leave
// the CRC of the detector's check unchanged: 33 vectors of 32 bits are always dependent.
inline std::vector<size_t> CancellingBlocks(size_t n) {
  struct Row {
    uint32_t vector;
    uint64_t blocks;
  };
  std::vector<Row> basis;
  for (size_t k = 0; k < 33; ++k) {
    std::string indicator(n, '\0');
    indicator[8 * k] = 1;
    Row row{Crc(indicator), uint64_t(1) << k};
    for (const Row& b : basis)
      if ((row.vector ^ b.vector) < row.vector) row.vector ^= b.vector, row.blocks ^= b.blocks;
    if (row.vector == 0) {
      std::vector<size_t> out;
      for (size_t i = 0; i < 33; ++i)
        if (row.blocks >> i & 1) out.push_back(i);
      return out;
    }
    basis.push_back(row);
    std::sort(basis.begin(), basis.end(), [](const Row& a, const Row& b) { return a.vector > b.vector; });
  }
  return {};
}

// n bytes of distinct random blocks, with the cancelling blocks set to one content.
inline std::string AttackBuffer(size_t n) {
  std::string out = RandomBytes(n);
  const std::string same = RandomBytes(8);
  for (size_t k : CancellingBlocks(n)) out.replace(8 * k, 8, same);
  return out;
}

enum : uint8_t {
  kPublicKey = 2, kSessionKey = 3, kUser = 4, kAuthRsa = 6, kAuthRsaChallenge = 7, kAuthRsaResponse = 8,
  kAuthPassword = 9, kRequestPty = 10, kExecShell = 12, kExecCmd = 13, kSuccess = 14, kFailure = 15,
  kStdinData = 16, kStdoutData = 17, kStderrData = 18, kEof = 19, kExitStatus = 20, kOpenConfirmation = 21,
  kOpenFailure = 22, kChannelData = 23, kChannelClose = 24, kCloseConfirmation = 25, kPortForwardRequest = 28,
  kPortOpen = 29, kIgnore = 32, kExitConfirmation = 33, kX11Request = 34, kDebug = 36, kRequestCompression = 37,
};

struct Packet {
  int type = -1;  // -1: the connection ended or the packet was malformed
  std::string data;
  std::string why;
};

// The server's end of one SSH-1 connection.
class Peer {
 public:
  explicit Peer(sshextra::ByteServer& io) : io_(io) {}
  ~Peer() {
    if (cipher_) cipher_->destroy(context_);
    if (compressing_) {
      SshZlibCompressDesc()->compress_cleanup(compressor_);
      SshZlibCompressDesc()->decompress_cleanup(decompressor_);
    }
  }
  Peer(const Peer&) = delete;
  Peer& operator=(const Peer&) = delete;

  // Sends the server's line and reads the client's.
  std::string Identify(const std::string& line = "SSH-1.5-FakeServer_1.0\n") {
    io_.Send(line);
    size_t before = io_.received().size();
    if (!io_.ReadUntil("\n")) return "";
    return io_.received().substr(before);
  }

  // One packet on the wire; corrupt flips a bit of the CRC.
  std::string Frame(uint8_t type, const std::string& payload, bool corrupt = false) {
    std::string body = std::string(1, char(type)) + payload;
    if (compressing_) body = Transform(SshZlibCompressDesc()->compress, compressor_, body);
    uint32_t length = uint32_t(body.size()) + 4;
    std::string packet = RandomBytes(8 - length % 8) + body;
    packet += U32(Crc(packet) ^ (corrupt ? 1u : 0u));
    if (cipher_) cipher_->encrypt(context_, reinterpret_cast<uint8_t*>(packet.data()), uint32_t(packet.size()));
    return U32(length) + packet;
  }
  void Send(uint8_t type, const std::string& payload = "") { io_.Send(Frame(type, payload)); }
  void SendRaw(const std::string& bytes) { io_.Send(bytes); }

  Packet Read() {
    Packet p;
    std::string head, rest;
    if (!io_.Read(4, &head)) return p.why = "closed", p;
    uint32_t length = GetU32(head, 0);
    if (length < 5 || length > 300000) return p.why = "bad length", p;
    if (!io_.Read(length + (8 - length % 8), &rest)) return p.why = "truncated", p;
    if (cipher_) cipher_->decrypt(context_, reinterpret_cast<uint8_t*>(rest.data()), uint32_t(rest.size()));
    if (Crc(rest.substr(0, rest.size() - 4)) != GetU32(rest, rest.size() - 4)) return p.why = "bad CRC", p;
    std::string body = rest.substr(rest.size() - length, length - 4);
    if (compressing_) body = Transform(SshZlibCompressDesc()->decompress, decompressor_, body);
    if (body.empty()) return p.why = "empty", p;
    p.type = uint8_t(body[0]);
    p.data = body.substr(1);
    return p;
  }
  // The next packet that is not an IGNORE.
  Packet ReadSkippingIgnore() {
    Packet p;
    do p = Read();
    while (p.type == kIgnore);
    return p;
  }

  void SetCipher(const Ssh1CipherDesc* cipher, const std::string& sessionKey) {
    cipher_ = cipher;
    context_ = cipher->create();
    cipher->set_session_key(context_, reinterpret_cast<const uint8_t*>(sessionKey.data()));
  }
  void StartCompression() {
    compressing_ = true;
    compressor_ = SshZlibCompressDesc()->compress_init();
    decompressor_ = SshZlibCompressDesc()->decompress_init();
  }
  sshextra::ByteServer& io() { return io_; }

 private:
  using Step = int32_t (*)(void*, const uint8_t*, int32_t, uint8_t**, int32_t*);
  static std::string Transform(Step step, void* context, const std::string& in) {
    uint8_t* out = nullptr;
    int32_t n = 0;
    std::string result;
    if (step(context, reinterpret_cast<const uint8_t*>(in.data()), int32_t(in.size()), &out, &n))
      result.assign(reinterpret_cast<char*>(out), size_t(n));
    CheckedFree(out);
    return result;
  }

  sshextra::ByteServer& io_;
  const Ssh1CipherDesc* cipher_ = nullptr;
  void* context_ = nullptr;
  bool compressing_ = false;
  void* compressor_ = nullptr;
  void* decompressor_ = nullptr;
};

inline const Ssh1CipherDesc* CipherByNumber(int number) {
  return number == 6 ? &Ssh1BlowfishCipherDesc : number == 2 ? &Ssh1DesCipherDesc : &Ssh1Des3CipherDesc;
}

// The server's side of the key exchange, step by step for the tests that break it.
struct KeyExchange {
  const RsaKey* serverKey = &Key(768);
  const RsaKey* hostKey = &Key(1024);
  std::string cookie = RandomBytes(8);
  uint32_t ciphers = 1u << 3;
  uint32_t auths = 1u << 2 | 1u << 3;
  std::string sessionId, sessionKey;
  int cipher = -1;

  std::string PublicKeyPayload() const {
    return cookie + serverKey->PublicForm() + hostKey->PublicForm() + U32(0) + U32(ciphers) + U32(auths);
  }

  // Checks SESSION_KEY and recovers the session key; the failure text or "".
  std::string Accept(const Packet& p) {
    if (p.type != kSessionKey) return "expected SESSION_KEY, got " + std::to_string(p.type) + " " + p.why;
    const std::string& d = p.data;
    if (d.size() < 11) return "short SESSION_KEY";
    cipher = uint8_t(d[0]);
    if (d.substr(1, 8) != cookie) return "cookie differs";
    size_t bits = size_t(uint8_t(d[9])) << 8 | uint8_t(d[10]);
    if (bits % 8 || d.size() != 11 + bits / 8 + 4) return "bad key length";
    if (GetU32(d, 11 + bits / 8) != 1) return "client flags are not 1";
    const RsaKey* outer = serverKey->bytes() < hostKey->bytes() ? hostKey : serverKey;
    const RsaKey* inner = outer == hostKey ? serverKey : hostKey;
    if (bits / 8 != outer->bytes()) return "key not as long as the longer modulus";
    std::string middle, plain;
    if (!RsaDecrypt(*outer, d.substr(11, bits / 8), &middle)) return "outer padding";
    if (middle.size() != inner->bytes()) return "inner block length";
    if (!RsaDecrypt(*inner, middle, &plain)) return "inner padding";
    if (plain.size() != 32) return "session key is not 32 bytes";
    sessionId = Md5(BnBytes(hostKey->n.get()) + BnBytes(serverKey->n.get()) + cookie);
    for (int i = 0; i < 16; ++i) plain[size_t(i)] ^= sessionId[size_t(i)];
    sessionKey = plain;
    return "";
  }

  // PUBLIC_KEY out, SESSION_KEY in, cipher on, SUCCESS out; the failure text or "".
  std::string Run(Peer& peer) {
    peer.Send(kPublicKey, PublicKeyPayload());
    std::string why = Accept(peer.Read());
    if (!why.empty()) return why;
    peer.SetCipher(CipherByNumber(cipher), sessionKey);
    peer.Send(kSuccess);
    return "";
  }
};

// Identification, key exchange and USER, answered with FAILURE: authentication follows.
inline void StartAuthentication(Peer& peer, KeyExchange& kx) {
  peer.Identify();
  ASSERT_EQ(kx.Run(peer), "");
  EXPECT_EQ(peer.Read().data, Str("alice"));
  peer.Send(kFailure);
}

// Expects the command, then ends it with the exit status.
inline void FinishWithCommand(Peer& peer, const std::string& command, uint32_t status) {
  Packet exec = peer.ReadSkippingIgnore();
  EXPECT_EQ(exec.type, kExecCmd) << exec.why;
  EXPECT_EQ(exec.data, Str(command));
  peer.Send(kExitStatus, U32(status));
  EXPECT_EQ(peer.Read().type, kExitConfirmation);
}

// The client: an SSH-1-only session with a password, driven by the event pump.
class Client {
 public:
  Client() {
    SshSettingsSetDefaults(&settings);
    settings.ProtocolPreference = kSshOnly1;
    std::strcpy(settings.UserName, "alice");
    std::strcpy(settings.Password, "pass-word!");  // 10 characters
    std::strcpy(settings.RemoteCommand, "echo hi");
    settings.RemoteCommandIsSubsystem = 0;
    settings.TimeoutSeconds = 5;
  }
  ~Client() { SshSessionFree(session); }
  Client(const Client&) = delete;
  Client& operator=(const Client&) = delete;

  bool Connect(int port) {
    char* canonical = nullptr;
    uint32_t r = SshSessionCreate(&session, &settings, "127.0.0.1", port, &canonical, 0);
    CheckedFree(canonical);
    Sink() = &output;
    if (session)
      session->mainChannelData = [](SshSession*, const uint8_t* data, uint32_t length) {
        Sink()->append(reinterpret_cast<const char*>(data), length);
      };
    return r == 0;
  }
  // Pumps until done() or the session closes or the deadline passes; done() at the end.
  bool Pump(const std::function<bool()>& done, uint32_t milliseconds = 10000) {
    uint32_t start = plat::GetTickCount();
    while (!done() && SshIsConnected(session) && plat::GetTickCount() - start < milliseconds)
      SshPumpEvents(session);
    return done();
  }
  bool Closed() const { return session->connectionState == kSshStateClosed; }

  static std::string*& Sink() {
    static std::string* sink = nullptr;
    return sink;
  }

  SshSettings settings{};
  SshSession* session = nullptr;
  std::string output;
};

}  // namespace ssh1test
