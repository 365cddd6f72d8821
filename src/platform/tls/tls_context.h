#pragma once
// One TLS connection over the caller's buffers. The caller owns every byte of I/O: it passes
// what it received and sends what the context produces; the context never touches a socket.
// Input is consumed in whole records only, so bytes that follow what a call used (the
// "extra" data: input.size() - consumed) stay with the caller for the next call. Records
// are read straight from the caller's input and written straight into its output: no
// intermediate buffer holds them.
#include <cstdint>
#include <memory>
#include <span>
#include <string>
#include <vector>

#include "platform/tls/tls_certificate.h"
#include "platform/tls/tls_credentials.h"
#include "platform/tls/tls_types.h"

struct ssl_st;
struct ssl_session_st;

namespace plat {

namespace tlsdetail {
struct RecordBio;
class EngineCall;
}  // namespace tlsdetail

// A negotiated session that another connection can resume.
class TlsSession {
 public:
  TlsSession() = default;
  explicit TlsSession(ssl_session_st* owned);
  explicit operator bool() const noexcept { return session_ != nullptr; }
  ssl_session_st* native() const noexcept { return session_.get(); }

 private:
  std::shared_ptr<ssl_session_st> session_;
};

class TlsContext {
 public:
  // targetName: the server's name for a client (sent as SNI unless it is an address);
  // ignored for a server. Null with error Credentials when the context cannot be made.
  static std::unique_ptr<TlsContext> Create(std::shared_ptr<TlsCredentials> credentials,
                                            const std::string& targetName, TlsError& error);
  ~TlsContext();
  TlsContext(const TlsContext&) = delete;
  TlsContext& operator=(const TlsContext&) = delete;

  // One handshake step. input: received bytes (empty for a client's first step); output gets
  // the bytes to send appended (also on Ok and on Error, which may carry an alert). In a new
  // handshake on an established connection the peer may still send application data under
  // the old keys: ApplicationData (consumed 0) when the input starts with it.
  TlsStatus Step(std::span<const uint8_t> input, std::vector<uint8_t>& output, size_t& consumed);
  bool HandshakeDone() const noexcept;
  TlsError error() const noexcept { return error_; }

  // After IncompleteCredentials: the DER names of the issuers the server accepts, and the
  // answer. A certificate with its key is sent; without one (or when the next Step comes
  // without an answer) the handshake goes on without a certificate.
  std::vector<std::vector<uint8_t>> AcceptableIssuers() const;
  bool SetClientCertificate(const TlsCertificate& certificate);

  TlsStreamSizes StreamSizes() const;
  // Decrypts the first record of input into plain (capacity at least maximumMessage).
  // IncompleteMessage (consumed 0) when no whole record is there yet; Ok may give 0 bytes
  // (a record without application data); Renegotiate: run Step until Ok.
  TlsStatus Decrypt(std::span<const uint8_t> input, uint8_t* plain, size_t capacity,
                    size_t& plainLength, size_t& consumed);
  // As Decrypt, for every whole application-data record of input while plain has room for
  // one more record's plaintext: the bulk form. A close-notify or a handshake message behind
  // some plaintext stays in the input for the next call.
  TlsStatus DecryptRecords(std::span<const uint8_t> input, uint8_t* plain, size_t capacity, size_t& plainLength,
                           size_t& consumed);
  // Encrypts at most maximumMessage bytes into out, which needs header + length + trailer
  // bytes of room; written is the size of what to send.
  bool Encrypt(std::span<const uint8_t> plain, uint8_t* out, size_t capacity, size_t& written);
  bool Encrypt(std::span<const uint8_t> plain, std::vector<uint8_t>& out);
  // Encrypts any length as full records of maximumMessage bytes (the last one shorter) into
  // out, which needs EncryptedSize(plain.size()) bytes of room.
  bool EncryptRecords(std::span<const uint8_t> plain, uint8_t* out, size_t capacity, size_t& written);
  size_t EncryptedSize(size_t plainLength) const;
  // Appends a close-notify to output.
  bool Shutdown(std::vector<uint8_t>& output);

  bool ConnectionInfo(TlsConnectionInfo& info) const;
  TlsCertificate PeerCertificate() const;
  // Validates the peer's chain against the credentials' trust, then hostName (skipped when
  // empty): chain errors first (expired or not yet valid, revoked when CRLs are known,
  // untrusted), then the name.
  TlsVerifyResult VerifyPeer(const std::string& hostName) const;

  TlsSession ExportSession() const;
  // Before the first Step of a client: offer session for resumption.
  bool ResumeSession(const TlsSession& session);
  bool SessionReused() const noexcept;

  TlsRole role() const noexcept { return credentials_->role(); }

 private:
  TlsContext() = default;
  TlsStatus DecryptOne(std::span<const uint8_t> input, uint8_t* plain, size_t capacity, size_t& plainLength,
                       size_t& consumed);
  bool Write(std::span<const uint8_t> plain, uint8_t* out, size_t capacity, size_t& written);

  std::shared_ptr<TlsCredentials> credentials_;
  ssl_st* ssl_ = nullptr;
  TlsError error_ = TlsError::None;
  bool peerClosed_ = false;       // the close-notify was read: every later Decrypt says so
  bool established_ = false;      // a handshake completed: later ones are renegotiations
  std::vector<uint8_t> pending_;  // produced while reading (a handshake answer): goes out first
  mutable TlsStreamSizes sizes_;  // of the cipher sizesCipher_ names
  mutable const void* sizesCipher_ = nullptr;
  int certRequests_ = 0;            // certificate requests seen in this handshake
  TlsCertificate clientCertificate_;  // the caller's answer to the request

 public:
  // The credentials' certificate-request hook (see tlsdetail::ClientCertRequested).
  int OnCertificateRequest(x509_st** cert, evp_pkey_st** key);

 private:
  friend struct tlsdetail::RecordBio;
  friend class tlsdetail::EngineCall;
  // What the engine reads and writes during one call (the record BIO serves them).
  struct Input {
    const uint8_t* data = nullptr;
    size_t size = 0;
    size_t used = 0;
  };
  struct Output {
    uint8_t* data = nullptr;
    size_t capacity = 0;
    size_t used = 0;
    std::vector<uint8_t>* grow = nullptr;  // when set, data is its storage and grows on demand
    bool overflow = false;
  };
  Input input_;
  Output output_;
};

}  // namespace plat
