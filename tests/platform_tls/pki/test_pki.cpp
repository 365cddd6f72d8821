#include "test_pki.h"

#include <openssl/err.h>
#include <openssl/evp.h>
#include <openssl/pem.h>
#include <openssl/pkcs12.h>
#include <openssl/x509v3.h>

#include <cstdio>
#include <cstdlib>
#include <stdexcept>

#include "platform/tls/tls_internal.h"

namespace testpki {
namespace {

void Check(bool ok, const char* what) {
  if (!ok) throw std::runtime_error(std::string("test PKI: ") + what);
}

EVP_PKEY* NewKey() {
  EVP_PKEY* key = EVP_EC_gen("P-256");
  Check(key != nullptr, "key");
  return key;
}

void AddExt(X509* cert, X509* issuer, int nid, const std::string& value) {
  X509V3_CTX ctx;
  X509V3_set_ctx_nodb(&ctx);
  X509V3_set_ctx(&ctx, issuer, cert, nullptr, nullptr, 0);
  X509_EXTENSION* ext = X509V3_EXT_conf_nid(nullptr, &ctx, nid, value.c_str());
  Check(ext != nullptr, "extension");
  X509_add_ext(cert, ext, -1);
  X509_EXTENSION_free(ext);
}

long g_serial = 1000;

X509* MakeCert(EVP_PKEY* key, X509* issuer, EVP_PKEY* issuerKey, const std::string& cn,
               const std::string& org, long fromDays, long toDays, bool ca) {
  X509* cert = X509_new();
  X509_set_version(cert, 2);
  ASN1_INTEGER_set(X509_get_serialNumber(cert), ++g_serial);
  X509_gmtime_adj(X509_getm_notBefore(cert), fromDays * 86400);
  X509_gmtime_adj(X509_getm_notAfter(cert), toDays * 86400);
  X509_set_pubkey(cert, key);
  X509_NAME* name = X509_get_subject_name(cert);
  X509_NAME_add_entry_by_txt(name, "C", MBSTRING_ASC, (const unsigned char*)"US", -1, -1, 0);
  X509_NAME_add_entry_by_txt(name, "O", MBSTRING_UTF8, (const unsigned char*)org.c_str(), -1, -1, 0);
  X509_NAME_add_entry_by_txt(name, "CN", MBSTRING_UTF8, (const unsigned char*)cn.c_str(), -1, -1, 0);
  X509* signer = issuer ? issuer : cert;
  X509_set_issuer_name(cert, X509_get_subject_name(signer));
  if (ca) {
    AddExt(cert, signer, NID_basic_constraints, "critical,CA:TRUE");
    AddExt(cert, signer, NID_key_usage, "critical,keyCertSign,cRLSign");
  }
  AddExt(cert, signer, NID_subject_key_identifier, "hash");
  Check(X509_sign(cert, issuer ? issuerKey : key, EVP_sha256()) > 0, "sign");
  return cert;
}

void WritePem(const std::filesystem::path& path, X509* cert, EVP_PKEY* key) {
  FILE* f = std::fopen(path.c_str(), "w");
  Check(f != nullptr, "open pem");
  // The aux form carries an alias but only OpenSSL reads it: use it only for aliases.
  if (X509_alias_get0(cert, nullptr)) PEM_write_X509_AUX(f, cert);
  else PEM_write_X509(f, cert);
  if (key) PEM_write_PrivateKey(f, key, nullptr, nullptr, 0, nullptr, nullptr);
  std::fclose(f);
}

}  // namespace

struct TestPki::Impl {
  X509* ca[2] = {nullptr, nullptr};
  EVP_PKEY* caKey[2] = {nullptr, nullptr};
  ~Impl() {
    for (int i = 0; i < 2; ++i) {
      X509_free(ca[i]);
      EVP_PKEY_free(caKey[i]);
    }
  }
  // Returns a new certificate and key for spec.
  std::pair<X509*, EVP_PKEY*> Make(const CertSpec& spec) {
    EVP_PKEY* key = NewKey();
    X509* issuer = spec.selfSigned ? nullptr : ca[spec.issuer];
    X509* cert = MakeCert(key, issuer, caKey[spec.issuer], spec.commonName, spec.organization,
                    spec.validFromDays, spec.validToDays, false);
    // Extensions after signing would break the signature: rebuild with them.
    X509* signer = issuer ? issuer : cert;
    std::string san;
    for (const auto& d : spec.dnsNames) san += (san.empty() ? "" : ",") + std::string("DNS:") + d;
    for (const auto& a : spec.ipAddresses) san += (san.empty() ? "" : ",") + std::string("IP:") + a;
    if (!san.empty()) AddExt(cert, signer, NID_subject_alt_name, san);
    AddExt(cert, signer, NID_ext_key_usage, spec.clientAuth ? "clientAuth" : "serverAuth");
    if (issuer) AddExt(cert, signer, NID_authority_key_identifier, "keyid");
    Check(X509_sign(cert, issuer ? caKey[spec.issuer] : key, EVP_sha256()) > 0, "sign");
    if (!spec.friendlyName.empty())
      X509_alias_set1(cert, (const unsigned char*)spec.friendlyName.c_str(), int(spec.friendlyName.size()));
    return {cert, key};
  }
};

TestPki::TestPki() : impl_(new Impl) {
  // The legacy provider makes the old PFX encryptions available to the generator.
  plat::tlsdetail::LoadLegacyProvider();
  char tmpl[] = "/tmp/cv-pki-XXXXXX";
  Check(mkdtemp(tmpl) != nullptr, "mkdtemp");
  dir_ = tmpl;
  const char* names[2] = {"Corvanetics Test CA", "Corvanetics Client CA"};
  for (int i = 0; i < 2; ++i) {
    impl_->caKey[i] = NewKey();
    impl_->ca[i] = MakeCert(impl_->caKey[i], nullptr, nullptr, names[i], "Corvanetics Test", -2, 3650, true);
    WritePem(caFile(i), impl_->ca[i], nullptr);
  }
}

TestPki::~TestPki() {
  delete impl_;
  std::error_code ec;
  std::filesystem::remove_all(dir_, ec);
}

std::filesystem::path TestPki::caFile(int which) const {
  return dir_ / (which == 0 ? "ca.pem" : "ca2.pem");
}

std::filesystem::path TestPki::Issue(const std::string& stem, const CertSpec& spec) {
  auto [cert, key] = impl_->Make(spec);
  auto path = dir_ / (stem + ".pem");
  WritePem(path, cert, key);
  X509_free(cert);
  EVP_PKEY_free(key);
  return path;
}

std::filesystem::path TestPki::IssuePfx(const std::string& stem, const CertSpec& spec,
                                        const char* password, bool legacy) {
  auto [cert, key] = impl_->Make(spec);
  STACK_OF(X509)* chain = sk_X509_new_null();
  if (!spec.selfSigned) {
    X509_up_ref(impl_->ca[spec.issuer]);
    sk_X509_push(chain, impl_->ca[spec.issuer]);
  }
  int certNid = legacy ? NID_pbe_WithSHA1And40BitRC2_CBC : 0;
  int keyNid = legacy ? NID_pbe_WithSHA1And3_Key_TripleDES_CBC : 0;
  const char* name = spec.friendlyName.empty() ? nullptr : spec.friendlyName.c_str();
  PKCS12* p12 = PKCS12_create(password, name, key, cert, chain, keyNid, certNid, 0, 0, 0);
  Check(p12 != nullptr, "pkcs12");
  auto path = dir_ / (stem + ".pfx");
  FILE* f = std::fopen(path.c_str(), "wb");
  Check(f != nullptr, "open pfx");
  i2d_PKCS12_fp(f, p12);
  std::fclose(f);
  PKCS12_free(p12);
  sk_X509_pop_free(chain, X509_free);
  X509_free(cert);
  EVP_PKEY_free(key);
  return path;
}

std::filesystem::path TestPki::CaFileWithCrl(const std::string& stem,
                                             const std::filesystem::path& revokedPem) {
  FILE* in = std::fopen(revokedPem.c_str(), "r");
  Check(in != nullptr, "open revoked");
  X509* revoked = PEM_read_X509_AUX(in, nullptr, nullptr, nullptr);
  std::fclose(in);
  Check(revoked != nullptr, "read revoked");
  X509_CRL* crl = X509_CRL_new();
  X509_CRL_set_version(crl, 1);
  X509_CRL_set_issuer_name(crl, X509_get_subject_name(impl_->ca[0]));
  ASN1_TIME* now = X509_gmtime_adj(nullptr, -3600);
  ASN1_TIME* next = X509_gmtime_adj(nullptr, 86400 * 30);
  X509_CRL_set1_lastUpdate(crl, now);
  X509_CRL_set1_nextUpdate(crl, next);
  X509_REVOKED* entry = X509_REVOKED_new();
  X509_REVOKED_set_serialNumber(entry, X509_get_serialNumber(revoked));
  X509_REVOKED_set_revocationDate(entry, now);
  X509_CRL_add0_revoked(crl, entry);
  X509_CRL_sort(crl);
  Check(X509_CRL_sign(crl, impl_->caKey[0], EVP_sha256()) > 0, "crl sign");
  auto path = dir_ / (stem + ".pem");
  FILE* f = std::fopen(path.c_str(), "w");
  PEM_write_X509(f, impl_->ca[0]);
  PEM_write_X509_CRL(f, crl);
  std::fclose(f);
  ASN1_TIME_free(now);
  ASN1_TIME_free(next);
  X509_CRL_free(crl);
  X509_free(revoked);
  return path;
}

}  // namespace testpki
