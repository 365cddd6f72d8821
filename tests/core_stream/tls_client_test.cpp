// The client's connection-level TLS: the target name, credentials and their errors, the
// server check and the security information, over an in-memory connection.
#include <gtest/gtest.h>

#include <cstdlib>
#include <memory>
#include <string>

#include "core/errors/error_codes.h"
#include "core/stream/tls_client.h"
#include "memory_peer.h"

using cvcore::TlsClient;
using cvcore::TlsClientOptions;
using streamtest::MemoryStream;
using streamtest::TlsPeer;

namespace {

class TlsClientTest : public ::testing::Test {
 protected:
  static void SetUpTestSuite() {
    setenv("SSL_CERT_FILE", streamtest::Pki().caFile().c_str(), 1);
    SecLoadProvider();
  }

  // A handshake of client with the peer; the stage, or null.
  std::unique_ptr<cvcore::TlsStage> Connect(TlsClient& client, const std::string& target) {
    peer = std::make_unique<TlsPeer>(true, streamtest::ServerPem());
    stream.onWait = [this] { peer->Run(stream); };
    std::unique_ptr<cvcore::TlsStage> stage;
    if (client.CreateStage(stream, target, stage) != 0 || !client.Handshake(*stage)) return nullptr;
    return stage;
  }

  MemoryStream stream;
  std::unique_ptr<TlsPeer> peer;
};

TEST_F(TlsClientTest, TargetIsTheServerNameElseTheHost) {
  SecCredentials named{};
  named.headSize = sizeof named;
  EXPECT_STREQ(TlsClient::TargetName(nullptr, "host"), "host");
  EXPECT_STREQ(TlsClient::TargetName(&named, "host"), "host");
  char empty[] = "", sni[] = "name.example";
  named.serverName = empty;
  EXPECT_STREQ(TlsClient::TargetName(&named, "host"), "host");
  named.serverName = sni;
  EXPECT_STREQ(TlsClient::TargetName(&named, "host"), "name.example");
}

TEST_F(TlsClientTest, CredentialsAndTheirErrors) {
  SecCredentials named{};
  named.headSize = sizeof named;
  std::string missing = (streamtest::Pki().dir() / "missing.pem").string(), store = streamtest::ServerPem().string();
  char nameOfCert[] = "localhost", nameOfNone[] = "nobody";
  TlsClientOptions options;
  options.named = &named;

  TlsClient client;
  EXPECT_EQ(client.Acquire(options), 0u);  // no certificate named: none presented
  EXPECT_TRUE(client.HasCredentials());
  EXPECT_FALSE(client.CloseStore());

  options.requireCertificate = true;  // a server's: one must be named
  EXPECT_EQ(client.Acquire(options), uint32_t(cvErrorSecurityCredentials));

  named.certStore = missing.data();
  named.certName = nameOfCert;
  const uint32_t storeError = client.Acquire(options);
  EXPECT_NE(storeError, 0u);
  EXPECT_NE(storeError, uint32_t(cvErrorSecurityCredentials)) << "the store's own error is kept";

  named.certStore = store.data();
  named.certName = nameOfNone;
  EXPECT_EQ(client.Acquire(options), uint32_t(cvErrorSecurityCredentials));
  named.certName = nameOfCert;
  EXPECT_EQ(client.Acquire(options), 0u);
  EXPECT_TRUE(client.CloseStore());

  client.Release();
  EXPECT_FALSE(client.HasCredentials());
}

TEST_F(TlsClientTest, ChecksTheServerAndDescribesTheConnection) {
  TlsClient client;
  ASSERT_EQ(client.Acquire({}), 0u);
  std::unique_ptr<cvcore::TlsStage> stage = Connect(client, "localhost");
  ASSERT_TRUE(stage) << stream.error;

  plat::TlsVerifyResult result;
  EXPECT_EQ(TlsClient::Verify(*stage, "localhost", true, result), 0u);
  EXPECT_EQ(result.state, plat::kTlsCertValid);
  result = {};
  EXPECT_EQ(TlsClient::Verify(*stage, "elsewhere.example", true, result), uint32_t(cvErrorSecurityCertificate));
  EXPECT_EQ(result.state, plat::kTlsCertNameMismatch);
  EXPECT_NE(result.policyError, 0u);
  result = {};
  EXPECT_EQ(TlsClient::Verify(*stage, "", true, result), uint32_t(cvErrorInvalidHostName));
  EXPECT_EQ(result.policyError, 0u);  // not checked

  SecSessionInfo info{};
  info.size = sizeof info;
  std::string issuer, subject;
  ASSERT_TRUE(TlsClient::Describe(stage->context(), info, issuer, subject));
  EXPECT_NE(info.protocol, 0u);
  EXPECT_NE(info.cipher, 0u);
  EXPECT_EQ(info.issuer, issuer.data());
  EXPECT_NE(subject.find("localhost"), std::string::npos) << subject;
  EXPECT_FALSE(issuer.empty());
}

}  // namespace
