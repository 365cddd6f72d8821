#pragma once
// An in-memory connection for the stream layer: a byte stream whose receives and sends can
// be cut to any size and refused every other time, and a TLS peer (the engine itself, on
// memory buffers) that runs whenever the stream is waited on.
#include <openssl/err.h>
#include <openssl/ssl.h>

#include <algorithm>
#include <cstring>
#include <functional>
#include <string>
#include <string_view>
#include <vector>

#include "core/errors/error_codes.h"
#include "core/stream/byte_stream.h"
#include "core/stream/read_ahead.h"
#include "test_pki.h"

namespace streamtest {

class MemoryStream final : public cvcore::ByteStream {
 public:
  std::string inbound;  // what the peer sent; [taken, size) is not received yet
  size_t taken = 0;
  std::string outbound;          // what was sent to the peer and it has not taken yet
  uint32_t piece = 0xFFFFFFFF;   // the most bytes one receive or send moves
  bool blockEveryOther = false;  // every other receive and send would block
  bool peerEnded = false;        // after inbound, the orderly end
  std::function<void()> onWait;  // the peer's turn
  uint32_t error = 0;            // the first error reported
  int waits = 0;

  int32_t Receive(void* buffer, uint32_t length) noexcept override {
    if (blockEveryOther && (receiveBlocked_ = !receiveBlocked_)) return cvcore::kStreamWouldBlock;
    if (taken == inbound.size()) return peerEnded ? 0 : cvcore::kStreamWouldBlock;
    const size_t n = std::min<size_t>({length, piece, inbound.size() - taken});
    std::memcpy(buffer, inbound.data() + taken, n);
    taken += n;
    return int32_t(n);
  }
  int32_t Send(const void* data, uint32_t length) noexcept override {
    if (blockEveryOther && (sendBlocked_ = !sendBlocked_)) return cvcore::kStreamWouldBlock;
    const size_t n = std::min<size_t>(length, piece);
    outbound.append(static_cast<const char*>(data), n);
    return int32_t(n);
  }
  bool Wait(short) noexcept override {
    // A peer that never gets anywhere is a time-out, not a hang.
    if (++waits > 1000000) return Fail(cvErrorOperationTimeout), false;
    if (onWait) onWait();
    return true;
  }
  void Fail(uint32_t code) noexcept override {
    if (!error) error = code;
  }
  std::string Unreceived() const { return inbound.substr(taken); }

 private:
  bool receiveBlocked_ = false;
  bool sendBlocked_ = false;
};

// The far end of a MemoryStream, speaking TLS 1.2 through the engine on memory buffers.
class TlsPeer {
 public:
  TlsPeer(bool server, const std::filesystem::path& pem) {
    ctx_ = SSL_CTX_new(server ? TLS_server_method() : TLS_client_method());
    SSL_CTX_set_max_proto_version(ctx_, TLS1_2_VERSION);
    if (server) {
      SSL_CTX_use_certificate_chain_file(ctx_, pem.c_str());
      SSL_CTX_use_PrivateKey_file(ctx_, pem.c_str(), SSL_FILETYPE_PEM);
    }
    ssl_ = SSL_new(ctx_);
    in_ = BIO_new(BIO_s_mem());
    out_ = BIO_new(BIO_s_mem());
    BIO_set_mem_eof_return(in_, -1);
    SSL_set_bio(ssl_, in_, out_);
    if (server) SSL_set_accept_state(ssl_);
    else SSL_set_connect_state(ssl_);
  }
  ~TlsPeer() {
    SSL_free(ssl_);
    SSL_CTX_free(ctx_);
  }
  TlsPeer(const TlsPeer&) = delete;
  TlsPeer& operator=(const TlsPeer&) = delete;

  // Takes what the stream sent, answers, and reads what plaintext there is.
  void Run(MemoryStream& s) {
    if (!s.outbound.empty()) {
      BIO_write(in_, s.outbound.data(), int(s.outbound.size()));
      s.outbound.clear();
    }
    if (!SSL_is_init_finished(ssl_)) {
      SSL_do_handshake(ssl_);
    }
    if (SSL_is_init_finished(ssl_)) {
      char buffer[4096];
      for (int n; (n = SSL_read(ssl_, buffer, sizeof buffer)) > 0;) received.append(buffer, size_t(n));
      if (SSL_get_error(ssl_, 0) == SSL_ERROR_ZERO_RETURN || (SSL_get_shutdown(ssl_) & SSL_RECEIVED_SHUTDOWN))
        closeNotified = true;
    }
    ERR_clear_error();
    Flush(s);
  }
  void Write(MemoryStream& s, const std::string& text) {
    SSL_write(ssl_, text.data(), int(text.size()));
    Flush(s);
  }
  void CloseNotify(MemoryStream& s) {
    SSL_shutdown(ssl_);
    Flush(s);
  }
  // Asks for a new handshake on the established connection; false when the engine will not.
  bool Renegotiate(MemoryStream& s) {
    const bool asked = SSL_renegotiate(ssl_) == 1 && SSL_do_handshake(ssl_) <= 1;
    ERR_clear_error();
    Flush(s);
    return asked;
  }
  SSL* ssl() const { return ssl_; }

  std::string received;
  bool closeNotified = false;

 private:
  void Flush(MemoryStream& s) {
    char buffer[4096];
    for (int n; (n = BIO_read(out_, buffer, sizeof buffer)) > 0;) s.inbound.append(buffer, size_t(n));
  }

  SSL_CTX* ctx_ = nullptr;
  SSL* ssl_ = nullptr;
  BIO* in_ = nullptr;
  BIO* out_ = nullptr;
};

// A throw-away PKI for the test program, made on first use.
inline testpki::TestPki& Pki() {
  static testpki::TestPki pki;
  return pki;
}
// The server's certificate and key (for "localhost"), issued by the PKI's CA.
inline const std::filesystem::path& ServerPem() {
  static const std::filesystem::path pem = Pki().Issue("server", testpki::CertSpec{});
  return pem;
}

// Reads lines as a protocol does: a piece at a time, filling when the buffer runs dry.
// Each line comes back with its pieces' sizes.
template <uint32_t N>
inline bool ReadLine(cvcore::ReadAhead<N>& reader, cvcore::ByteStream& in, std::string& line,
                     std::vector<size_t>& pieces) {
  line.clear();
  pieces.clear();
  for (;;) {
    if (reader.FillWaiting(in, cvcore::StreamOrder::TryFirst) <= 0) return false;
    const std::string_view piece = reader.PeekLine();
    line += piece;
    pieces.push_back(piece.size());
    reader.Consume(uint32_t(piece.size()));
    if (piece.back() == '\n') return true;
  }
}

}  // namespace streamtest
