// Provider binding, credentials records and certificate stores.
#include <gtest/gtest.h>

#include <cstdlib>
#include <cstring>
#include <fstream>

#include "core/errors/error_codes.h"
#include "core/tls/sec_tls.h"
#include "platform/base/last_error.h"
#include "test_pki.h"

namespace fs = std::filesystem;

namespace {

TEST(SecProvider, LoadsOnceAndAgainAfterUnload) {
  EXPECT_EQ(SecLoadProvider(), 1);
  EXPECT_EQ(SecLoadProvider(), 1);
  EXPECT_TRUE(SecProviderAttempted());
  SecUnloadProvider();
  EXPECT_FALSE(SecProviderAttempted());
  EXPECT_FALSE(SecProviderLoaded());
  EXPECT_EQ(SecLoadProvider(), 1);
  EXPECT_TRUE(SecProviderLoaded());
}

TEST(SecCredentialsRecord, CreateCopyFree) {
  SecCredentials* c = nullptr;
  ASSERT_EQ(SecCreateCredentials(16, "user", "pw", "HKCU:My", "client", &c), 1);
  EXPECT_EQ(c->headSize, 64u);
  EXPECT_EQ(c->protocolMask, 16u);
  EXPECT_EQ(c->storeLocation, 0u);
  EXPECT_EQ(c->serverName, nullptr);
  EXPECT_STREQ(c->certPassword, "pw");
  EXPECT_STREQ(c->certStore, "HKCU:My");
  EXPECT_EQ(c->reservedText, nullptr);
  // The strings live in the same block, behind the head.
  EXPECT_EQ(reinterpret_cast<char*>(c) + 64, c->certUser);

  SecCredentials* copy = SecCopyCredentials(c);
  ASSERT_NE(copy, nullptr);
  EXPECT_STREQ(copy->certName, "client");
  EXPECT_NE(copy->certName, c->certName);

  ASSERT_EQ(SecCreateCredentials(4, nullptr, nullptr, nullptr, nullptr, &c), 1);  // replaces
  EXPECT_EQ(c->protocolMask, 4u);
  EXPECT_EQ(c->certName, nullptr);
  SecFreeCredentials(&c);
  SecFreeCredentials(&copy);
  EXPECT_EQ(c, nullptr);
  SecFreeCredentials(&c);  // harmless

  EXPECT_EQ(SecCreateCredentials(16, nullptr, nullptr, nullptr, nullptr, nullptr), 0);
  EXPECT_EQ(plat::GetLastError(), cvErrorInvalidParameter);
}

TEST(SecAnsi, ConvertsWithinTheCount) {
  char16_t out[8];
  EXPECT_EQ(AnsiToUtf16(out, "My", 8), out);
  EXPECT_EQ(std::u16string(out), u"My");
  EXPECT_EQ(AnsiToUtf16(out, "far too long", 4), nullptr);
}

class SecStores : public ::testing::Test {
 protected:
  static void SetUpTestSuite() { pki = new testpki::TestPki(); }
  static void TearDownTestSuite() { delete pki; }
  void SetUp() override {
    root = pki->dir() / ("registry-" + std::string(testing::UnitTest::GetInstance()->current_test_info()->name()));
    setenv("CV_REGISTRY_ROOT", root.c_str(), 1);
  }
  fs::path StoreDir(const char* location, const char* name) {
    fs::path dir = root / "CertStores" / location / name;
    fs::create_directories(dir);
    return dir;
  }
  void Put(const fs::path& dir, const fs::path& file) { fs::copy_file(file, dir / file.filename()); }
  static testpki::CertSpec Client(const std::string& cn, const std::string& friendlyName = {}) {
    testpki::CertSpec s;
    s.commonName = cn;
    s.clientAuth = true;
    s.friendlyName = friendlyName;
    return s;
  }
  static inline testpki::TestPki* pki = nullptr;
  fs::path root;
  SecCertStorePtr store;
};

TEST_F(SecStores, PrefixesSelectMachineAndUserStores) {
  Put(StoreDir("LocalMachine", "My"), pki->Issue("machine-cert", Client("machine-client")));
  Put(StoreDir("CurrentUser", "MY"), pki->Issue("user-cert", Client("user-client")));

  ASSERT_EQ(SecOpenCertStore(store, nullptr, "HKLM:my"), 1);
  EXPECT_TRUE(SecFindCertificate(store.get(), "machine-client"));
  EXPECT_FALSE(SecFindCertificate(store.get(), "user-client"));
  EXPECT_EQ(plat::GetLastError(), cvErrorSecurityCredentials);

  ASSERT_EQ(SecOpenCertStore(store, nullptr, "HKCU:"), 1);  // the user's "MY"
  plat::TlsCertificate c = SecFindCertificate(store.get(), "USER-CLIENT");
  ASSERT_TRUE(c);
  EXPECT_TRUE(c.HasPrivateKey());

  EXPECT_EQ(SecOpenCertStore(store, nullptr, "HKLM:Missing"), 0);
  EXPECT_EQ(plat::GetLastError(), cvErrorSecurityCredentials);
  EXPECT_EQ(store, nullptr);
  EXPECT_FALSE(SecFindCertificate(store.get(), "user-client"));
  EXPECT_EQ(plat::GetLastError(), cvErrorSecurityCredentials);
}

TEST_F(SecStores, FriendlyNameBeatsSubjectMatch) {
  fs::path dir = StoreDir("CurrentUser", "Work");
  // Sorted first, and its subject contains the name looked for.
  Put(dir, pki->Issue("a-subject", Client("shared-name")));
  Put(dir, pki->IssuePfx("b-friendly", Client("other", "Shared-Name"), "pw"));
  SecCredentials* creds = nullptr;
  ASSERT_EQ(SecCreateCredentials(16, nullptr, "pw", "Work", "shared-name", &creds), 1);
  ASSERT_EQ(SecOpenCertStore(store, creds, creds->certStore), 1);
  plat::TlsCertificate c = SecFindCertificate(store.get(), "shared-name");
  ASSERT_TRUE(c);
  EXPECT_EQ(c.FriendlyName(), "Shared-Name");
  EXPECT_TRUE(c.SubjectContains("CN=other"));
  // The file stem of a PEM file is its friendly name.
  EXPECT_TRUE(SecFindCertificate(store.get(), "a-subject").SubjectContains("shared-name"));
  EXPECT_FALSE(SecFindCertificate(store.get(), ""));
  EXPECT_EQ(plat::GetLastError(), cvErrorInvalidParameter);
  EXPECT_FALSE(SecFindCertificate(store.get(), nullptr));
  EXPECT_EQ(plat::GetLastError(), cvErrorInvalidParameter);
  SecFreeCredentials(&creds);
}

TEST_F(SecStores, PfxFiles) {
  fs::path corrupt = pki->dir() / "corrupt.pfx";
  std::ofstream(corrupt) << "\x30\x82\x01\x00 not really";
  struct Case { const char* stem; const char* made; bool legacy; const char* given; uint32_t error; } cases[] = {
      {"empty-pw", "", false, nullptr, 0},
      {"no-pw", nullptr, false, nullptr, 0},
      {"with-pw", "secret", false, "secret", 0},
      {"legacy", "secret", true, "secret", 0},
      {"wrong-pw", "secret", false, "guess", cvErrorSecurityCredentials},
      {"missing-pw", "secret", false, nullptr, cvErrorSecurityCredentials},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.stem);
    fs::path pfx = pki->IssuePfx(c.stem, Client(c.stem, "pfx-client"), c.made, c.legacy);
    SecCredentials* creds = nullptr;
    ASSERT_EQ(SecCreateCredentials(16, nullptr, c.given, pfx.c_str(), "pfx-client", &creds), 1);
    EXPECT_EQ(SecOpenCertStore(store, creds, creds->certStore), c.error ? 0 : 1);
    if (c.error) {
      EXPECT_EQ(plat::GetLastError(), c.error);
    } else {
      plat::TlsCertificate cert = SecFindCertificate(store.get(), "pfx-client");
      ASSERT_TRUE(cert);
      EXPECT_TRUE(cert.HasPrivateKey());
      EXPECT_EQ(cert.chain().size(), 1u);
    }
    SecFreeCredentials(&creds);
  }
  SecCredentials* pfxLocation = nullptr;
  ASSERT_EQ(SecCreateCredentials(16, nullptr, nullptr, nullptr, nullptr, &pfxLocation), 1);
  pfxLocation->storeLocation = kSecStorePfxFile;
  struct Bad { std::string name; uint32_t error; } bad[] = {
      {corrupt.string(), cvErrorSecurityCredentials},
      {(pki->dir() / "missing.pfx").string(), cvErrorFileNotFound},
      {"", cvErrorInvalidFileName},
  };
  for (const Bad& b : bad) {
    EXPECT_EQ(SecOpenCertStore(store, pfxLocation, b.name.c_str()), 0) << b.name;
    EXPECT_EQ(plat::GetLastError(), b.error) << b.name;
  }
  SecFreeCredentials(&pfxLocation);
}

}  // namespace
