#pragma once
// A throw-away PKI for TLS tests, made with the OpenSSL API in a temporary directory:
// two CAs, certificates for localhost / 127.0.0.1 / ::1 and variations, PFX files and CRLs.
#include <filesystem>
#include <string>
#include <vector>

namespace testpki {

struct CertSpec {
  std::string commonName = "localhost";
  std::vector<std::string> dnsNames = {"localhost"};
  std::vector<std::string> ipAddresses = {"127.0.0.1", "::1"};
  long validFromDays = -1;  // relative to now
  long validToDays = 365;
  bool clientAuth = false;  // extended key usage client auth (else server auth)
  bool selfSigned = false;
  int issuer = 0;           // 0: the main CA, 1: the second CA
  std::string organization = "Corvanetics Test";
  std::string friendlyName; // PFX and PEM alias
};

class TestPki {
 public:
  TestPki();
  ~TestPki();
  TestPki(const TestPki&) = delete;
  TestPki& operator=(const TestPki&) = delete;

  const std::filesystem::path& dir() const { return dir_; }
  std::filesystem::path caFile(int which = 0) const;
  // Writes <dir>/<stem>.pem holding the certificate then its key (PEM); returns its path.
  std::filesystem::path Issue(const std::string& stem, const CertSpec& spec);
  // Writes <dir>/<stem>.pfx; password may be null (no password at all). legacy: the old
  // RC2/3DES encryption that needs the legacy provider.
  std::filesystem::path IssuePfx(const std::string& stem, const CertSpec& spec, const char* password,
                                 bool legacy = false);
  // Writes <dir>/<stem>.pem with the main CA and a CRL that revokes the given certificate.
  std::filesystem::path CaFileWithCrl(const std::string& stem, const std::filesystem::path& revokedPem);

 private:
  struct Impl;
  Impl* impl_;
  std::filesystem::path dir_;
};

}  // namespace testpki
