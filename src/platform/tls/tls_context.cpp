// A TLS connection over two memory BIOs: the caller feeds whole records in and takes the
// produced bytes out.
#include "platform/tls/tls_context.h"

#include <openssl/err.h>
#include <openssl/ssl.h>

#include <arpa/inet.h>

#include <algorithm>
#include <limits>

#include "platform/tls/tls_internal.h"

namespace plat {
namespace {

constexpr size_t kRecordHeader = 5;
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

bool IsAddress(const std::string& name) {
  unsigned char buf[16];
  return inet_pton(AF_INET, name.c_str(), buf) == 1 || inet_pton(AF_INET6, name.c_str(), buf) == 1;
}

}  // namespace

namespace tlsdetail {
int ClientCertRequested(SSL* ssl, X509** cert, EVP_PKEY** key) {
  auto* ctx = static_cast<TlsContext*>(SSL_get_app_data(ssl));
  return ctx ? ctx->OnCertificateRequest(cert, key) : 0;
}
}  // namespace tlsdetail

TlsSession::TlsSession(ssl_session_st* owned) : session_(owned, SSL_SESSION_free) {}

std::unique_ptr<TlsContext> TlsContext::Create(std::shared_ptr<TlsCredentials> credentials,
                                               const std::string& targetName, TlsError& error) {
  error = TlsError::Credentials;
  if (!credentials) return nullptr;
  std::unique_ptr<TlsContext> ctx(new TlsContext());
  ctx->credentials_ = std::move(credentials);
  ctx->ssl_ = SSL_new(ctx->credentials_->native());
  if (ctx->ssl_ == nullptr) return nullptr;
  ctx->in_ = BIO_new(BIO_s_mem());
  ctx->out_ = BIO_new(BIO_s_mem());
  if (ctx->in_ == nullptr || ctx->out_ == nullptr) {
    BIO_free(ctx->in_);
    BIO_free(ctx->out_);
    ctx->in_ = ctx->out_ = nullptr;
    return nullptr;
  }
  // An empty memory BIO reports "retry", which the handshake reads as "wants more input".
  BIO_set_mem_eof_return(ctx->in_, -1);
  SSL_set_bio(ctx->ssl_, ctx->in_, ctx->out_);
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

void TlsContext::Drain(std::vector<uint8_t>& output) {
  size_t pending = BIO_ctrl_pending(out_);
  if (pending == 0) return;
  size_t at = output.size();
  output.resize(at + pending);
  int n = BIO_read(out_, output.data() + at, int(pending));
  output.resize(at + size_t(std::max(n, 0)));
}

bool TlsContext::HandshakeDone() const noexcept {
  return SSL_is_init_finished(ssl_) && !SSL_in_init(ssl_);
}

TlsStatus TlsContext::Step(std::span<const uint8_t> input, std::vector<uint8_t>& output,
                           size_t& consumed) {
  consumed = 0;
  bool fed = false;
  int rc = 0;
  int err = SSL_ERROR_NONE;
  for (;;) {
    rc = SSL_do_handshake(ssl_);
    if (rc == 1) break;
    err = SSL_get_error(ssl_, rc);
    if (err != SSL_ERROR_WANT_READ) break;
    size_t size = 0;
    Record r = CheckRecord(input.subspan(consumed), size);
    if (r == Record::Partial) break;
    if (r == Record::Bad) {
      err = SSL_ERROR_SSL;
      break;
    }
    BIO_write(in_, input.data() + consumed, int(size));
    consumed += size;
    fed = true;
  }
  size_t before = output.size();
  Drain(output);
  ERR_clear_error();
  if (rc == 1) {
    certRequests_ = 0;
    return TlsStatus::Ok;
  }
  switch (err) {
    case SSL_ERROR_WANT_READ:
      return fed || output.size() > before ? TlsStatus::ContinueNeeded : TlsStatus::IncompleteMessage;
    case SSL_ERROR_WANT_X509_LOOKUP:
      return TlsStatus::IncompleteCredentials;
    default:
      error_ = TlsError::Handshake;
      return TlsStatus::Error;
  }
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
  const EVP_CIPHER* evp = EVP_get_cipherbynid(SSL_CIPHER_get_cipher_nid(cipher));
  const EVP_MD* md = EVP_get_digestbynid(SSL_CIPHER_get_digest_nid(cipher));
  uint32_t mac = md ? uint32_t(EVP_MD_get_size(md)) : 0;
  if (SSL_CIPHER_is_aead(cipher)) {
    int mode = evp ? EVP_CIPHER_get_mode(evp) : 0;
    bool explicitNonce = mode == EVP_CIPH_GCM_MODE || mode == EVP_CIPH_CCM_MODE;
    sizes.header += explicitNonce ? 8 : 0;
    sizes.trailer = 16;
    return sizes;
  }
  uint32_t block = evp ? uint32_t(EVP_CIPHER_get_block_size(evp)) : 1;
  if (block <= 1) {
    sizes.trailer = mac;
    return sizes;
  }
  if (SSL_version(ssl_) >= TLS1_1_VERSION) {
    sizes.header += block;  // explicit IV
  } else if (!(SSL_get_options(ssl_) & SSL_OP_DONT_INSERT_EMPTY_FRAGMENTS)) {
    // TLS 1.0 CBC sends an empty record first (chosen-plaintext countermeasure): a header,
    // padding and the MAC.
    sizes.header += kRecordHeader + block + mac;
  }
  sizes.trailer = mac + block;  // MAC and 1..block bytes of padding
  return sizes;
}

TlsStatus TlsContext::Decrypt(std::span<const uint8_t> input, uint8_t* plain, size_t capacity,
                              size_t& plainLength, size_t& consumed) {
  plainLength = 0;
  consumed = 0;
  if (plain == nullptr || capacity < kMaxPlain) {
    error_ = TlsError::InvalidArgument;
    return TlsStatus::Error;
  }
  size_t size = 0;
  Record r = CheckRecord(input, size);
  if (r == Record::Partial) return TlsStatus::IncompleteMessage;
  if (r == Record::Bad) {
    error_ = TlsError::Decrypt;
    return TlsStatus::Error;
  }
  BIO_write(in_, input.data(), int(size));
  consumed = size;
  int n = SSL_read(ssl_, plain, int(std::min<size_t>(capacity, std::numeric_limits<int>::max())));
  if (n > 0) {
    plainLength = size_t(n);
    return TlsStatus::Ok;
  }
  int err = SSL_get_error(ssl_, n);
  ERR_clear_error();
  switch (err) {
    case SSL_ERROR_ZERO_RETURN:
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

bool TlsContext::Encrypt(std::span<const uint8_t> plain, uint8_t* out, size_t capacity,
                         size_t& written) {
  written = 0;
  TlsStreamSizes sizes = StreamSizes();
  if (!HandshakeDone() || plain.size() > sizes.maximumMessage || out == nullptr ||
      capacity < sizes.header + plain.size() + sizes.trailer + BIO_ctrl_pending(out_)) {
    error_ = TlsError::Encrypt;
    return false;
  }
  if (plain.empty()) return true;
  int n = SSL_write(ssl_, plain.data(), int(plain.size()));
  ERR_clear_error();
  size_t pending = BIO_ctrl_pending(out_);
  if (n != int(plain.size()) || pending > capacity) {
    error_ = TlsError::Encrypt;
    return false;
  }
  written = size_t(std::max(BIO_read(out_, out, int(pending)), 0));
  return true;
}

bool TlsContext::Encrypt(std::span<const uint8_t> plain, std::vector<uint8_t>& out) {
  TlsStreamSizes sizes = StreamSizes();
  size_t at = out.size();
  out.resize(at + sizes.header + plain.size() + sizes.trailer + BIO_ctrl_pending(out_));
  size_t written = 0;
  bool ok = Encrypt(plain, out.data() + at, out.size() - at, written);
  out.resize(at + written);
  return ok;
}

bool TlsContext::Shutdown(std::vector<uint8_t>& output) {
  if (!HandshakeDone()) return false;
  size_t before = output.size();
  SSL_shutdown(ssl_);
  ERR_clear_error();
  Drain(output);
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
