#pragma once
// Shared set-up of the FTPS tests: an attached library, a throw-away PKI whose CA the
// process trusts, and a private folder for local files.
#include <gtest/gtest.h>
#include <stdlib.h>

#include <filesystem>
#include <fstream>
#include <random>
#include <sstream>
#include <string>

#include "core/errors/error_codes.h"
#include "core/tls/sec_tls.h"
#include "ftp/ftp.h"
#include "ftp/ftp_bits.h"
#include "test_pki.h"

namespace ftptls {

inline constexpr LibHandle kNone = kInvalidLibHandle;
using cvftp::kOptNoCertCheck;
using cvftp::kOptPassive;
using cvftp::kOptTls;
using cvftp::kOptTlsExplicit;

class TlsTest : public ::testing::Test {
 protected:
  void SetUp() override {
    setenv("SSL_CERT_FILE", pki_.caFile().c_str(), 1);
    ASSERT_EQ(FtpAttach(nullptr), 1);
  }
  void TearDown() override {
    FtpDetach();
    std::error_code ignored;
    if (!local_.empty()) std::filesystem::remove_all(local_, ignored);
  }

  // A server certificate (with its key) for the loopback names, or for other names.
  std::filesystem::path ServerCertificate(const std::string& name = "localhost") {
    testpki::CertSpec spec;
    spec.commonName = name;
    if (name != "localhost") {
      spec.dnsNames = {name};
      spec.ipAddresses = {};
    }
    return pki_.Issue("server-" + name, spec);
  }

  std::string Path(const std::string& name) {
    if (local_.empty()) {
      std::string pattern = (std::filesystem::temp_directory_path() / "ftptls-XXXXXX").string();
      if (mkdtemp(pattern.data())) local_ = pattern;
    }
    return (local_ / name).string();
  }
  static std::string Read(const std::filesystem::path& p) {
    std::ifstream in(p, std::ios::binary);
    std::stringstream ss;
    ss << in.rdbuf();
    return ss.str();
  }
  static void Write(const std::filesystem::path& p, const std::string& data) {
    std::ofstream(p, std::ios::binary) << data;
  }
  static std::string RandomBytes(size_t n, uint32_t seed) {
    std::mt19937 gen(seed);
    std::string s(n, '\0');
    for (auto& c : s) c = char(gen());
    return s;
  }
  static uint32_t LastError() { return FtpGetLastError(); }

  testpki::TestPki pki_;
  std::filesystem::path local_;  // made on first use
};

}  // namespace ftptls
