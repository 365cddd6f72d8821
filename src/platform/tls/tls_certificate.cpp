// Certificates with their keys, and loading them from PEM and PKCS#12 files.
#include "platform/tls/tls_certificate.h"

#include <openssl/crypto.h>
#include <openssl/err.h>
#include <openssl/pem.h>
#include <openssl/pkcs12.h>
#include <openssl/provider.h>
#include <openssl/x509v3.h>

#include <algorithm>
#include <cctype>
#include <fstream>
#include <iterator>
#include <mutex>
#include <system_error>

#include "platform/tls/tls_internal.h"

namespace plat {
using namespace tlsdetail;

struct TlsCertificate::Impl {
  X509* cert = nullptr;
  EVP_PKEY* key = nullptr;
  std::vector<X509*> chain;
  std::string friendlyName;
  ~Impl() {
    X509_free(cert);
    EVP_PKEY_free(key);
    for (X509* c : chain) X509_free(c);
  }
};

TlsCertificate::TlsCertificate(X509* cert, EVP_PKEY* key, const std::vector<X509*>& chain,
                               std::string friendlyName) {
  if (cert == nullptr) return;
  auto impl = std::make_shared<Impl>();
  X509_up_ref(cert);
  impl->cert = cert;
  if (key != nullptr && EVP_PKEY_up_ref(key) == 1) impl->key = key;
  for (X509* c : chain) {
    X509_up_ref(c);
    impl->chain.push_back(c);
  }
  impl->friendlyName = std::move(friendlyName);
  impl_ = std::move(impl);
}

bool TlsCertificate::HasPrivateKey() const noexcept { return impl_ && impl_->key; }
X509* TlsCertificate::native() const noexcept { return impl_ ? impl_->cert : nullptr; }
EVP_PKEY* TlsCertificate::key() const noexcept { return impl_ ? impl_->key : nullptr; }

const std::vector<X509*>& TlsCertificate::chain() const noexcept {
  static const std::vector<X509*> none;
  return impl_ ? impl_->chain : none;
}

const std::string& TlsCertificate::FriendlyName() const {
  static const std::string none;
  return impl_ ? impl_->friendlyName : none;
}

std::string TlsCertificate::Issuer(bool reverse) const {
  return impl_ ? X500NameText(X509_get_issuer_name(impl_->cert), reverse) : std::string();
}

std::string TlsCertificate::Subject(bool reverse) const {
  return impl_ ? X500NameText(X509_get_subject_name(impl_->cert), reverse) : std::string();
}

static std::vector<uint8_t> NameDer(const X509_NAME* name) {
  const unsigned char* der = nullptr;
  size_t len = 0;
  if (name == nullptr || X509_NAME_get0_der(const_cast<X509_NAME*>(name), &der, &len) != 1) return {};
  return std::vector<uint8_t>(der, der + len);
}

std::vector<uint8_t> TlsCertificate::IssuerDer() const {
  return impl_ ? NameDer(X509_get_issuer_name(impl_->cert)) : std::vector<uint8_t>();
}

std::vector<uint8_t> TlsCertificate::SubjectDer() const {
  return impl_ ? NameDer(X509_get_subject_name(impl_->cert)) : std::vector<uint8_t>();
}

TlsDateTime TlsCertificate::NotBefore() const {
  return impl_ ? DateTimeFromAsn1(X509_get0_notBefore(impl_->cert)) : TlsDateTime{};
}

TlsDateTime TlsCertificate::NotAfter() const {
  return impl_ ? DateTimeFromAsn1(X509_get0_notAfter(impl_->cert)) : TlsDateTime{};
}

bool TlsCertificate::SubjectContains(std::string_view text) const {
  if (!impl_) return false;
  std::string subject = Subject();
  auto lower = [](unsigned char c) { return std::tolower(c); };
  auto it = std::search(subject.begin(), subject.end(), text.begin(), text.end(),
                        [&](char a, char b) { return lower(a) == lower(b); });
  return it != subject.end();
}

bool TlsCertificate::AllowsClientAuth() const {
  if (!impl_) return false;
  uint32_t flags = X509_get_extension_flags(impl_->cert);
  if (!(flags & EXFLAG_XKUSAGE)) return true;
  return (X509_get_extended_key_usage(impl_->cert) & XKU_SSL_CLIENT) != 0;
}

bool TlsCertificate::SameAs(const TlsCertificate& other) const {
  if (!impl_ || !other.impl_) return false;
  return X509_cmp(impl_->cert, other.impl_->cert) == 0;
}

namespace tlsdetail {

namespace {

OSSL_PROVIDER* loadedProviders[2] = {};

// Runs inside OpenSSL's own clean-up at exit, before it frees its library context: a
// provider still held then would be cut loose with everything it fetched.
void UnloadProviders() {
  for (int i = 1; i >= 0; --i) {
    if (loadedProviders[i]) OSSL_PROVIDER_unload(loadedProviders[i]);
    loadedProviders[i] = nullptr;
  }
}

}  // namespace

void LoadLegacyProvider() {
  // Loading any provider explicitly stops the default one from loading by itself, so both
  // are loaded; they stay until OpenSSL cleans up at exit.
  static std::once_flag once;
  std::call_once(once, [] {
    loadedProviders[0] = OSSL_PROVIDER_load(nullptr, "default");
    loadedProviders[1] = OSSL_PROVIDER_load(nullptr, "legacy");
    OPENSSL_atexit(UnloadProviders);
  });
}

}  // namespace tlsdetail

bool TlsIsPkcs12(const std::vector<uint8_t>& bytes) {
  const unsigned char* p = bytes.data();
  PKCS12* p12 = d2i_PKCS12(nullptr, &p, long(bytes.size()));
  PKCS12_free(p12);
  return p12 != nullptr;
}

namespace {

std::string AliasOf(X509* cert) {
  int len = 0;
  unsigned char* alias = X509_alias_get0(cert, &len);
  return alias ? std::string(reinterpret_cast<char*>(alias), size_t(len)) : std::string();
}

bool ReadFile(const std::filesystem::path& file, std::vector<uint8_t>& bytes, TlsError& error) {
  std::error_code ec;
  auto status = std::filesystem::status(file, ec);
  if (ec || !std::filesystem::exists(status)) {
    error = TlsError::FileNotFound;
    return false;
  }
  std::ifstream in(file, std::ios::binary);
  if (!std::filesystem::is_regular_file(status) || !in) {
    error = TlsError::FileUnreadable;
    return false;
  }
  bytes.assign(std::istreambuf_iterator<char>(in), std::istreambuf_iterator<char>());
  if (in.bad()) {
    error = TlsError::FileUnreadable;
    return false;
  }
  return true;
}

bool ParsePkcs12(const std::vector<uint8_t>& bytes, const char* password,
                 std::vector<TlsCertificate>& out) {
  const unsigned char* p = bytes.data();
  PKCS12* p12 = d2i_PKCS12(nullptr, &p, long(bytes.size()));
  if (p12 == nullptr) return false;
  EVP_PKEY* key = nullptr;
  X509* cert = nullptr;
  STACK_OF(X509)* ca = nullptr;
  int ok = PKCS12_parse(p12, password, &key, &cert, &ca);
  PKCS12_free(p12);
  if (ok != 1) return false;
  std::vector<X509*> chain;
  for (int i = 0; i < sk_X509_num(ca); ++i) chain.push_back(sk_X509_value(ca, i));
  if (cert != nullptr) out.emplace_back(cert, key, chain, AliasOf(cert));
  for (X509* c : chain) out.emplace_back(c, nullptr, std::vector<X509*>(), AliasOf(c));
  X509_free(cert);
  EVP_PKEY_free(key);
  sk_X509_pop_free(ca, X509_free);
  return true;
}

EVP_PKEY* ReadPemKey(const std::vector<uint8_t>& bytes) {
  BioPtr bio(BIO_new_mem_buf(bytes.data(), int(bytes.size())));
  return PEM_read_bio_PrivateKey(bio.get(), nullptr, nullptr, const_cast<char*>(""));
}

bool ParsePem(const std::filesystem::path& file, const std::vector<uint8_t>& bytes,
              std::vector<TlsCertificate>& out) {
  BioPtr bio(BIO_new_mem_buf(bytes.data(), int(bytes.size())));
  std::vector<X509Ptr> certs;
  while (X509* c = PEM_read_bio_X509_AUX(bio.get(), nullptr, nullptr, nullptr)) certs.emplace_back(c);
  ERR_clear_error();
  if (certs.empty()) return false;
  PkeyPtr key(ReadPemKey(bytes));
  if (!key) {
    std::vector<uint8_t> keyBytes;
    TlsError ignored;
    auto keyFile = std::filesystem::path(file).replace_extension(".key");
    if (ReadFile(keyFile, keyBytes, ignored)) key.reset(ReadPemKey(keyBytes));
  }
  ERR_clear_error();
  // The key's certificate is the leaf; the others of the file are its chain.
  size_t leaf = 0;
  for (size_t i = 0; key && i < certs.size(); ++i) {
    if (X509_check_private_key(certs[i].get(), key.get()) == 1) {
      leaf = i;
      break;
    }
  }
  ERR_clear_error();
  bool keyFits = key && X509_check_private_key(certs[leaf].get(), key.get()) == 1;
  ERR_clear_error();
  std::vector<X509*> chain;
  for (size_t i = 0; i < certs.size(); ++i)
    if (i != leaf) chain.push_back(certs[i].get());
  std::string leafName = AliasOf(certs[leaf].get());
  if (leafName.empty()) leafName = file.stem().string();
  out.emplace_back(certs[leaf].get(), keyFits ? key.get() : nullptr, chain, leafName);
  for (X509* c : chain) out.emplace_back(c, nullptr, std::vector<X509*>(), AliasOf(c));
  return true;
}

}  // namespace

bool TlsLoadCertificateFile(const std::filesystem::path& file, const char* password,
                            std::vector<TlsCertificate>& out, TlsError& error) {
  std::vector<uint8_t> bytes;
  if (!ReadFile(file, bytes, error)) return false;
  error = TlsError::Credentials;
  if (TlsIsPkcs12(bytes)) {
    LoadLegacyProvider();
    bool ok = ParsePkcs12(bytes, password, out);
    if (!ok && (password == nullptr || *password == '\0'))
      ok = ParsePkcs12(bytes, "", out) || ParsePkcs12(bytes, nullptr, out);
    ERR_clear_error();
    if (ok) error = TlsError::None;
    return ok;
  }
  bool ok = ParsePem(file, bytes, out);
  if (ok) error = TlsError::None;
  return ok;
}

}  // namespace plat

namespace plat {

TlsCertificate TlsChooseClientCertificate(const std::vector<TlsCertificate>& candidates,
                                          const std::vector<std::vector<uint8_t>>& issuers) {
  auto accepted = [&](const std::vector<uint8_t>& name) {
    return std::find(issuers.begin(), issuers.end(), name) != issuers.end();
  };
  for (const TlsCertificate& c : candidates) {
    if (!c.HasPrivateKey() || !c.AllowsClientAuth()) continue;
    if (issuers.empty() || accepted(c.IssuerDer())) return c;
    for (X509* link : c.chain())
      if (accepted(NameDer(X509_get_issuer_name(link)))) return c;
  }
  return {};
}

}  // namespace plat
