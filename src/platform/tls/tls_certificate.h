#pragma once
// A certificate as the TLS adapter hands it around: the certificate, optionally its private
// key and the chain certificates that came with it. Copies share one immutable object.
#include <cstdint>
#include <filesystem>
#include <memory>
#include <string>
#include <string_view>
#include <vector>

#include "platform/tls/tls_types.h"

struct x509_st;
struct evp_pkey_st;

namespace plat {

class TlsCertificate {
 public:
  TlsCertificate() = default;
  // Takes one reference of each (the caller keeps its own); chain may be empty.
  TlsCertificate(x509_st* cert, evp_pkey_st* key, const std::vector<x509_st*>& chain,
                 std::string friendlyName);

  explicit operator bool() const noexcept { return impl_ != nullptr; }
  bool HasPrivateKey() const noexcept;

  // X.500 name texts: "CN=host, O=Org, C=US" in stored order, or with the components reversed.
  std::string Issuer(bool reverse = false) const;
  std::string Subject(bool reverse = false) const;
  // DER encodings of the names, for matching a server's list of acceptable issuers.
  std::vector<uint8_t> IssuerDer() const;
  std::vector<uint8_t> SubjectDer() const;
  TlsDateTime NotBefore() const;
  TlsDateTime NotAfter() const;
  const std::string& FriendlyName() const;
  // Case-insensitive substring of the subject's text.
  bool SubjectContains(std::string_view text) const;
  // No extended key usage at all, or one that includes client authentication.
  bool AllowsClientAuth() const;
  // Same certificate (DER equality).
  bool SameAs(const TlsCertificate& other) const;

  x509_st* native() const noexcept;
  evp_pkey_st* key() const noexcept;
  const std::vector<x509_st*>& chain() const noexcept;

 private:
  struct Impl;
  std::shared_ptr<const Impl> impl_;
};

// Every certificate of a PEM or PKCS#12 file. PEM: a private key in the file belongs to the
// certificate it matches (else to a sibling "<stem>.key"); the friendly name is the
// certificate's alias, else the file's stem for the first certificate. PKCS#12: the password is
// tried as given, then, when none was given, as an empty and as an absent password; the
// legacy provider is loaded for old encryptions. Returns false with the error otherwise.
bool TlsLoadCertificateFile(const std::filesystem::path& file, const char* password,
                            std::vector<TlsCertificate>& out, TlsError& error);

// True when the bytes look like a PKCS#12 structure.
bool TlsIsPkcs12(const std::vector<uint8_t>& bytes);

}  // namespace plat

namespace plat {

// A client certificate for a server's request: the first candidate with a private key that
// allows client authentication and whose issuer, or the issuer of a certificate of its chain,
// is among the acceptable issuers (DER names; an empty list accepts any issuer). Empty when
// none fits.
TlsCertificate TlsChooseClientCertificate(const std::vector<TlsCertificate>& candidates,
                                          const std::vector<std::vector<uint8_t>>& issuers);

}  // namespace plat
