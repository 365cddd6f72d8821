// A TLS connection whose records go through a BIO of our own: reads are served from the
// caller's input span and writes land in the caller's output buffer, so records are
// neither copied into nor out of an intermediate memory buffer. Only whole records are
// ever offered to the engine (it reads without read-ahead), so the bytes that follow what
// a call used stay the caller's.
#include "platform/tls/tls_context.h"

#include <openssl/bio.h>
#include <openssl/err.h>
#include <openssl/ssl.h>

#include <arpa/inet.h>

#include <algorithm>
#include <climits>
#include <cstring>
#include <limits>

#include "platform/tls/tls_internal.h"

namespace plat {
namespace {

constexpr size_t kRecordHeader = 5;
constexpr uint8_t kApplicationData = 23;  // the record content type
constexpr size_t kMaxPlain = 16384;
// Largest record body a peer may send: plaintext plus the allowed expansion.
constexpr size_t kMaxRecordBody = kMaxPlain + 2048;

enum class Record { Whole, Partial, Bad };

// Looks at the record at the start of input without trusting its length.
Record CheckRecord(std::span<const uint8_t> in, size_t& size) {
  if (in.empty()) return Record::Partial;
  if (in[0] < 20 || in[0] > 24) return Record::Bad;  // change-cipher-spec ... heartbeat
  if (in.size() >= 2 && in[1] != 3) return Record::Bad;
  if (in.size() >= 3 && in[2] > 4) return Record::Bad;
  if (in.size() < kRecordHeader) return Record::Partial;
  size_t body = size_t(in[3]) << 8 | in[4];
  if (body > kMaxRecordBody) return Record::Bad;
  if (in.size() < kRecordHeader + body) return Record::Partial;
  size = kRecordHeader + body;
  return Record::Whole;
}

// The length of the whole records input starts with; bad: the scan stopped at bytes that
// are no record.
size_t WholeRecords(std::span<const uint8_t> in, bool& bad) {
  size_t at = 0;
  bad = false;
  for (;;) {
    size_t size = 0;
    const Record r = CheckRecord(in.subspan(at), size);
    if (r != Record::Whole) {
      bad = r == Record::Bad;
      return at;
    }
    at += size;
  }
}

bool IsAddress(const std::string& name) {
  unsigned char buf[16];
  return inet_pton(AF_INET, name.c_str(), buf) == 1 || inet_pton(AF_INET6, name.c_str(), buf) == 1;
}

int IntLength(size_t n) { return int(std::min<size_t>(n, INT_MAX)); }

}  // namespace

namespace tlsdetail {

int ClientCertRequested(SSL* ssl, X509** cert, EVP_PKEY** key) {
  auto* ctx = static_cast<TlsContext*>(SSL_get_app_data(ssl));
  return ctx ? ctx->OnCertificateRequest(cert, key) : 0;
}

// The BIO between the engine and the context's input and output of the current call.
struct RecordBio {
  static int Create(BIO* b) {
    BIO_set_init(b, 1);
    return 1;
  }

  static int Read(BIO* b, char* to, size_t length, size_t* got) {
    BIO_clear_retry_flags(b);
    TlsContext::Input& in = static_cast<TlsContext*>(BIO_get_data(b))->input_;
    const size_t n = std::min(length, in.size - in.used);
    if (n == 0) {
      // Nothing more in this call: the engine reports "wants more input".
      BIO_set_retry_read(b);
      return 0;
    }
    std::memcpy(to, in.data + in.used, n);
    in.used += n;
    *got = n;
    return 1;
  }

  static int Write(BIO* b, const char* from, size_t length, size_t* put) {
    BIO_clear_retry_flags(b);
    TlsContext::Output& out = static_cast<TlsContext*>(BIO_get_data(b))->output_;
    if (out.capacity - out.used < length) {
      if (!out.grow) {
        out.overflow = true;
        return 0;
      }
      out.grow->resize(std::max(out.used + length, out.grow->size() * 2));
      out.data = out.grow->data();
      out.capacity = out.grow->size();
    }
    if (length) std::memcpy(out.data + out.used, from, length);
    out.used += length;
    *put = length;
    return 1;
  }

  static long Control(BIO*, int command, long, void*) { return command == BIO_CTRL_FLUSH ? 1 : 0; }

  static BIO_METHOD* Method() {
    static BIO_METHOD* const method = [] {
      BIO_METHOD* m = BIO_meth_new(BIO_get_new_index() | BIO_TYPE_SOURCE_SINK, "cv-records");
      if (m) {
        BIO_meth_set_create(m, Create);
        BIO_meth_set_read_ex(m, Read);
        BIO_meth_set_write_ex(m, Write);
        BIO_meth_set_ctrl(m, Control);
      }
      return m;
    }();
    return method;
  }
};

// Binds the caller's input and output to the context for one engine call and takes the
// written length back into a growable output at the end.
class EngineCall {
 public:
  EngineCall(TlsContext::Input& in, TlsContext::Output& out, std::span<const uint8_t> input) : in_(in), out_(out) {
    in_ = {input.data(), input.size(), 0};
    out_ = {};
  }
  void Into(uint8_t* data, size_t capacity) { out_ = {data, capacity, 0, nullptr, false}; }
  void Into(std::vector<uint8_t>& grow) {
    out_ = {grow.data(), grow.size(), grow.size(), &grow, false};
    out_.capacity = grow.capacity();
    grow.resize(grow.capacity());
    out_.data = grow.data();
  }
  ~EngineCall() {
    if (out_.grow) out_.grow->resize(out_.used);
    in_ = {};
    out_ = {};
  }
  size_t consumed() const { return in_.used; }
  size_t written() const { return out_.used; }
  bool overflow() const { return out_.overflow; }

 private:
  TlsContext::Input& in_;
  TlsContext::Output& out_;
};

}  // namespace tlsdetail

TlsSession::TlsSession(ssl_session_st* owned) : session_(owned, SSL_SESSION_free) {}

std::unique_ptr<TlsContext> TlsContext::Create(std::shared_ptr<TlsCredentials> credentials,
                                               const std::string& targetName, TlsError& error) {
  error = TlsError::Credentials;
  if (!credentials) return nullptr;
  std::unique_ptr<TlsContext> ctx(new TlsContext());
  ctx->credentials_ = std::move(credentials);
  ctx->ssl_ = SSL_new(ctx->credentials_->native());
  BIO_METHOD* method = tlsdetail::RecordBio::Method();
  if (ctx->ssl_ == nullptr || method == nullptr) return nullptr;
  BIO* in = BIO_new(method);
  BIO* out = BIO_new(method);
  if (in == nullptr || out == nullptr) {
    BIO_free(in);
    BIO_free(out);
    return nullptr;
  }
  BIO_set_data(in, ctx.get());
  BIO_set_data(out, ctx.get());
  SSL_set_bio(ctx->ssl_, in, out);
  SSL_set_app_data(ctx->ssl_, ctx.get());
  if (ctx->role() == TlsRole::Client) {
    SSL_set_connect_state(ctx->ssl_);
    if (!targetName.empty() && !IsAddress(targetName))
      SSL_set_tlsext_host_name(ctx->ssl_, targetName.c_str());
  } else {
    SSL_set_accept_state(ctx->ssl_);
  }
  ERR_clear_error();
  error = TlsError::None;
  return ctx;
}

TlsContext::~TlsContext() { SSL_free(ssl_); }

bool TlsContext::HandshakeDone() const noexcept {
  return SSL_is_init_finished(ssl_) && !SSL_in_init(ssl_);
}

TlsStatus TlsContext::Step(std::span<const uint8_t> input, std::vector<uint8_t>& output,
                           size_t& consumed) {
  consumed = 0;
  const size_t before = output.size();
  output.insert(output.end(), pending_.begin(), pending_.end());
  pending_.clear();
  bool bad = false;
  const size_t whole = WholeRecords(input, bad);
  // The handshake would take application data for a fault; Decrypt hands it out instead.
  if (established_ && whole > 0 && input[0] == kApplicationData) return TlsStatus::ApplicationData;
  int rc = 0;
  int err = SSL_ERROR_NONE;
  {
    tlsdetail::EngineCall call(input_, output_, input.first(whole));
    call.Into(output);
    rc = SSL_do_handshake(ssl_);
    if (rc != 1) err = SSL_get_error(ssl_, rc);
    consumed = call.consumed();
  }
  ERR_clear_error();
  if (rc == 1) {
    certRequests_ = 0;
    established_ = true;
    return TlsStatus::Ok;
  }
  switch (err) {
    case SSL_ERROR_WANT_READ:
      if (bad && consumed == whole) break;  // what comes next is no TLS record
      return consumed > 0 || output.size() > before ? TlsStatus::ContinueNeeded : TlsStatus::IncompleteMessage;
    case SSL_ERROR_WANT_X509_LOOKUP:
      return TlsStatus::IncompleteCredentials;
    default:
      break;
  }
  error_ = TlsError::Handshake;
  return TlsStatus::Error;
}

int TlsContext::OnCertificateRequest(X509** cert, EVP_PKEY** key) {
  if (certRequests_++ == 0 && !clientCertificate_) return -1;
  if (!clientCertificate_) return 0;
  X509_up_ref(clientCertificate_.native());
  EVP_PKEY_up_ref(clientCertificate_.key());
  *cert = clientCertificate_.native();
  *key = clientCertificate_.key();
  return 1;
}

std::vector<std::vector<uint8_t>> TlsContext::AcceptableIssuers() const {
  std::vector<std::vector<uint8_t>> out;
  const STACK_OF(X509_NAME)* names = SSL_get0_peer_CA_list(ssl_);
  for (int i = 0; i < sk_X509_NAME_num(names); ++i) {
    const unsigned char* der = nullptr;
    size_t len = 0;
    if (X509_NAME_get0_der(sk_X509_NAME_value(names, i), &der, &len) == 1)
      out.emplace_back(der, der + len);
  }
  return out;
}

bool TlsContext::SetClientCertificate(const TlsCertificate& certificate) {
  if (!certificate.HasPrivateKey()) return false;
  bool ok = SSL_use_certificate(ssl_, certificate.native()) == 1 &&
            SSL_use_PrivateKey(ssl_, certificate.key()) == 1 && SSL_check_private_key(ssl_) == 1;
  for (X509* c : certificate.chain()) ok = ok && SSL_add1_chain_cert(ssl_, c) == 1;
  ERR_clear_error();
  if (ok) clientCertificate_ = certificate;
  return ok;
}

TlsStreamSizes TlsContext::StreamSizes() const {
  TlsStreamSizes sizes;
  sizes.header = kRecordHeader;
  sizes.maximumMessage = kMaxPlain;
  const SSL_CIPHER* cipher = SSL_get_current_cipher(ssl_);
  if (cipher == nullptr) return sizes;
  if (cipher == sizesCipher_) return sizes_;
  const EVP_CIPHER* evp = EVP_get_cipherbynid(SSL_CIPHER_get_cipher_nid(cipher));
  const EVP_MD* md = EVP_get_digestbynid(SSL_CIPHER_get_digest_nid(cipher));
  uint32_t mac = md ? uint32_t(EVP_MD_get_size(md)) : 0;
  uint32_t block = evp ? uint32_t(EVP_CIPHER_get_block_size(evp)) : 1;
  if (SSL_CIPHER_is_aead(cipher)) {
    int mode = evp ? EVP_CIPHER_get_mode(evp) : 0;
    bool explicitNonce = mode == EVP_CIPH_GCM_MODE || mode == EVP_CIPH_CCM_MODE;
    sizes.header += explicitNonce ? 8 : 0;
    sizes.trailer = 16;
  } else if (block <= 1) {
    sizes.trailer = mac;
  } else {
    if (SSL_version(ssl_) >= TLS1_1_VERSION) {
      sizes.header += block;  // explicit IV
    } else if (!(SSL_get_options(ssl_) & SSL_OP_DONT_INSERT_EMPTY_FRAGMENTS)) {
      // TLS 1.0 CBC sends an empty record first (chosen-plaintext countermeasure): a header,
      // padding and the MAC.
      sizes.header += kRecordHeader + block + mac;
    }
    sizes.trailer = mac + block;  // MAC and 1..block bytes of padding
  }
  // The cipher of a finished handshake stays until a renegotiation changes it.
  if (HandshakeDone()) {
    sizes_ = sizes;
    sizesCipher_ = cipher;
  }
  return sizes;
}

TlsStatus TlsContext::DecryptOne(std::span<const uint8_t> input, uint8_t* plain, size_t capacity, size_t& plainLength,
                                 size_t& consumed) {
  plainLength = 0;
  consumed = 0;
  if (peerClosed_) return TlsStatus::ContextExpired;
  size_t size = 0;
  Record r = CheckRecord(input, size);
  if (r == Record::Partial) return TlsStatus::IncompleteMessage;
  if (r == Record::Bad) {
    error_ = TlsError::Decrypt;
    return TlsStatus::Error;
  }
  int n = 0;
  {
    // A handshake answer written while reading waits in pending_ for the next output.
    tlsdetail::EngineCall call(input_, output_, input.first(size));
    call.Into(pending_);
    n = SSL_read(ssl_, plain, IntLength(capacity));
    consumed = call.consumed();
  }
  if (n > 0) {
    plainLength = size_t(n);
    return TlsStatus::Ok;
  }
  int err = SSL_get_error(ssl_, n);
  ERR_clear_error();
  switch (err) {
    case SSL_ERROR_ZERO_RETURN:
      peerClosed_ = true;
      return TlsStatus::ContextExpired;
    case SSL_ERROR_WANT_READ:
      // A record without application data: a post-handshake message (answered by Step
      // when it started a new handshake), a warning alert or an empty fragment.
      return SSL_in_init(ssl_) ? TlsStatus::Renegotiate : TlsStatus::Ok;
    default:
      error_ = TlsError::Decrypt;
      return TlsStatus::Error;
  }
}

TlsStatus TlsContext::Decrypt(std::span<const uint8_t> input, uint8_t* plain, size_t capacity, size_t& plainLength,
                              size_t& consumed) {
  plainLength = 0;
  consumed = 0;
  if (plain == nullptr || capacity < kMaxPlain) {
    error_ = TlsError::InvalidArgument;
    return TlsStatus::Error;
  }
  return DecryptOne(input, plain, capacity, plainLength, consumed);
}

TlsStatus TlsContext::DecryptRecords(std::span<const uint8_t> input, uint8_t* plain, size_t capacity,
                                     size_t& plainLength, size_t& consumed) {
  TlsStatus first = Decrypt(input, plain, capacity, plainLength, consumed);
  if (first != TlsStatus::Ok) return first;
  // Application data records only: an alert or a handshake message behind the plaintext
  // stays in the input, for the next call to report.
  while (capacity - plainLength >= kMaxPlain && consumed < input.size() && input[consumed] == kApplicationData) {
    size_t n = 0, used = 0;
    const TlsStatus next = DecryptOne(input.subspan(consumed), plain + plainLength, capacity - plainLength, n, used);
    plainLength += n;
    consumed += used;
    if (next == TlsStatus::Error) return next;
    if (next != TlsStatus::Ok) break;  // incomplete: more input later
  }
  return TlsStatus::Ok;
}

size_t TlsContext::EncryptedSize(size_t plainLength) const {
  const TlsStreamSizes sizes = StreamSizes();
  const size_t records = (plainLength + sizes.maximumMessage - 1) / sizes.maximumMessage;
  return pending_.size() + plainLength + records * (sizes.header + sizes.trailer);
}

bool TlsContext::Write(std::span<const uint8_t> plain, uint8_t* out, size_t capacity, size_t& written) {
  written = 0;
  if (!HandshakeDone() || out == nullptr || plain.size() > size_t(INT_MAX) || capacity < EncryptedSize(plain.size())) {
    error_ = TlsError::Encrypt;
    return false;
  }
  if (!pending_.empty()) std::memcpy(out, pending_.data(), pending_.size());
  written = pending_.size();
  pending_.clear();
  if (plain.empty()) return true;
  int n = 0;
  bool overflow = false;
  {
    tlsdetail::EngineCall call(input_, output_, {});
    call.Into(out + written, capacity - written);
    n = SSL_write(ssl_, plain.data(), int(plain.size()));
    written += call.written();
    overflow = call.overflow();
  }
  ERR_clear_error();
  if (n != int(plain.size()) || overflow) {
    error_ = TlsError::Encrypt;
    return false;
  }
  return true;
}

bool TlsContext::Encrypt(std::span<const uint8_t> plain, uint8_t* out, size_t capacity, size_t& written) {
  written = 0;
  if (plain.size() > StreamSizes().maximumMessage) {
    error_ = TlsError::Encrypt;
    return false;
  }
  return Write(plain, out, capacity, written);
}

bool TlsContext::Encrypt(std::span<const uint8_t> plain, std::vector<uint8_t>& out) {
  size_t at = out.size();
  out.resize(at + EncryptedSize(plain.size()));
  size_t written = 0;
  bool ok = Encrypt(plain, out.data() + at, out.size() - at, written);
  out.resize(at + written);
  return ok;
}

bool TlsContext::EncryptRecords(std::span<const uint8_t> plain, uint8_t* out, size_t capacity, size_t& written) {
  return Write(plain, out, capacity, written);
}

bool TlsContext::Shutdown(std::vector<uint8_t>& output) {
  if (!HandshakeDone()) return false;
  size_t before = output.size();
  output.insert(output.end(), pending_.begin(), pending_.end());
  pending_.clear();
  {
    tlsdetail::EngineCall call(input_, output_, {});
    call.Into(output);
    SSL_shutdown(ssl_);
  }
  ERR_clear_error();
  return output.size() > before;
}

TlsCertificate TlsContext::PeerCertificate() const {
  X509* cert = SSL_get0_peer_certificate(ssl_);
  return cert ? TlsCertificate(cert, nullptr, {}, std::string()) : TlsCertificate();
}

TlsSession TlsContext::ExportSession() const {
  SSL_SESSION* s = SSL_get1_session(ssl_);
  return s ? TlsSession(s) : TlsSession();
}

bool TlsContext::ResumeSession(const TlsSession& session) {
  if (!session || role() != TlsRole::Client) return false;
  bool ok = SSL_set_session(ssl_, session.native()) == 1;
  ERR_clear_error();
  return ok;
}

bool TlsContext::SessionReused() const noexcept { return SSL_session_reused(ssl_) == 1; }

}  // namespace plat
