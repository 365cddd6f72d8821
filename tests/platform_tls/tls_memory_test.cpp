// Client and server adapters against each other in memory.
#include <gtest/gtest.h>

#include <cstring>

#include "tls_pair.h"

using namespace plat;
using tlstest::Creds;
using tlstest::LoadCert;
using tlstest::Pair;

namespace {

class TlsMemory : public ::testing::Test {
 protected:
  static void SetUpTestSuite() {
    pki = new testpki::TestPki();
    server = LoadCert(pki->Issue("server", {}));
  }
  static void TearDownTestSuite() {
    server = {};
    delete pki;
  }
  static std::shared_ptr<TlsCredentials> ServerCreds(uint32_t mask = kTlsProtocolTls12,
                                                     const TlsCertificate& cert = server) {
    return Creds(TlsRole::Server, mask, cert);
  }
  static std::shared_ptr<TlsCredentials> ClientCreds(uint32_t mask = kTlsProtocolTls12) {
    return Creds(TlsRole::Client, mask, {}, pki->caFile().string());
  }
  static inline testpki::TestPki* pki = nullptr;
  static inline TlsCertificate server;
};

std::span<const uint8_t> Bytes(const std::string& s) {
  return {reinterpret_cast<const uint8_t*>(s.data()), s.size()};
}

TEST_F(TlsMemory, HandshakeReportsParametersAndCarriesDataBothWays) {
  Pair p(ClientCreds(), ServerCreds());
  ASSERT_TRUE(p.Handshake());
  TlsConnectionInfo info;
  ASSERT_TRUE(p.client->ConnectionInfo(info));
  EXPECT_EQ(info.protocol, kTlsProtocolTls12);
  EXPECT_EQ(info.cipher, kTlsCipherAes);
  EXPECT_GE(info.cipherStrength, 128u);
  EXPECT_TRUE(info.hash == kTlsHashSha256 || info.hash == kTlsHashSha384);
  EXPECT_EQ(info.hashStrength, info.hash == kTlsHashSha256 ? 256u : 384u);
  EXPECT_EQ(info.exchange, kTlsExchangeEcdh);
  EXPECT_GT(info.exchangeStrength, 0u);

  TlsCertificate peer = p.client->PeerCertificate();
  EXPECT_EQ(peer.Subject(), "C=US, O=Corvanetics Test, CN=localhost");
  EXPECT_EQ(peer.Issuer(true), "CN=Corvanetics Test CA, O=Corvanetics Test, C=US");
  EXPECT_GE(peer.NotBefore().wYear, 2020);
  EXPECT_EQ(peer.NotAfter().wYear - peer.NotBefore().wYear, 1);

  std::vector<uint8_t> wire;
  ASSERT_TRUE(p.client->Encrypt(Bytes("hello server"), wire));
  EXPECT_EQ(tlstest::DecryptAll(*p.server, wire), "hello server");
  ASSERT_TRUE(p.server->Encrypt(Bytes("hello client"), wire));
  EXPECT_EQ(tlstest::DecryptAll(*p.client, wire), "hello client");
}

TEST_F(TlsMemory, ProtocolMaskChoosesVersion) {
  struct Case { uint32_t client, server; bool ok; uint32_t version; } cases[] = {
      {kTlsProtocolTls10, kTlsProtocolAnyTls, true, kTlsProtocolTls10},
      {kTlsProtocolTls11, kTlsProtocolAnyTls, true, kTlsProtocolTls11},
      {0, kTlsProtocolAnyTls, true, kTlsProtocolTls12},
      {kTlsProtocolTls10 | kTlsProtocolTls12, kTlsProtocolTls11 | kTlsProtocolTls12, true, kTlsProtocolTls12},
      {kTlsProtocolSsl3 | kTlsProtocolTls10, kTlsProtocolTls10, true, kTlsProtocolTls10},
      {kTlsProtocolTls10, kTlsProtocolTls12, false, 0},
      {kTlsProtocolTls12, kTlsProtocolTls10 | kTlsProtocolTls11, false, 0},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(testing::Message() << c.client << " vs " << c.server);
    Pair p(ClientCreds(c.client), ServerCreds(c.server));
    ASSERT_EQ(p.Handshake(), c.ok);
    if (!c.ok) continue;
    TlsConnectionInfo info;
    ASSERT_TRUE(p.client->ConnectionInfo(info));
    EXPECT_EQ(info.protocol, c.version);
    std::vector<uint8_t> wire;  // records still work at the low security level
    ASSERT_TRUE(p.client->Encrypt(Bytes("x"), wire));
    EXPECT_EQ(tlstest::DecryptAll(*p.server, wire), "x");
  }
}

TEST_F(TlsMemory, CredentialsRefuseImpossibleOptions) {
  TlsError error;
  TlsCredentialOptions o;
  for (uint32_t mask : {kTlsProtocolSsl2, kTlsProtocolSsl3, kTlsProtocolSsl2 | kTlsProtocolSsl3, 256u}) {
    o.protocols = mask;
    EXPECT_EQ(TlsCredentials::Create(o, error), nullptr) << mask;
    EXPECT_EQ(error, TlsError::Credentials);
  }
  o.protocols = 0;
  o.role = TlsRole::Server;  // a server needs a certificate with its key
  EXPECT_EQ(TlsCredentials::Create(o, error), nullptr);
  o.certificate = server;
  o.caFile = (pki->dir() / "missing.pem").string();
  EXPECT_EQ(TlsCredentials::Create(o, error), nullptr);
}

TEST_F(TlsMemory, StreamSizesBoundEveryRecord) {
  for (uint32_t mask : {kTlsProtocolTls10, kTlsProtocolTls11, kTlsProtocolTls12}) {
    Pair p(ClientCreds(mask), ServerCreds(kTlsProtocolAnyTls));
    ASSERT_TRUE(p.Handshake());
    TlsStreamSizes sizes = p.client->StreamSizes();
    ASSERT_EQ(sizes.maximumMessage, 16384u);
    std::string text(sizes.maximumMessage, 'a');
    for (size_t len : {size_t(1), size_t(15), size_t(16), size_t(1000), size_t(16384)}) {
      std::vector<uint8_t> out(sizes.header + len + sizes.trailer);
      size_t written = 0;
      ASSERT_TRUE(p.client->Encrypt(Bytes(text.substr(0, len)), out.data(), out.size(), written)) << len;
      EXPECT_LE(written, out.size());
      out.resize(written);
      EXPECT_EQ(tlstest::DecryptAll(*p.server, out).size(), len);
    }
    std::vector<uint8_t> tooLong;
    EXPECT_FALSE(p.client->Encrypt(Bytes(text + "b"), tooLong));
  }
}

TEST_F(TlsMemory, DecryptKeepsPartialAndFollowingRecords) {
  Pair p(ClientCreds(), ServerCreds());
  ASSERT_TRUE(p.Handshake());
  std::vector<uint8_t> wire;
  ASSERT_TRUE(p.server->Encrypt(Bytes("first"), wire));
  size_t firstSize = wire.size();
  ASSERT_TRUE(p.server->Encrypt(Bytes("second"), wire));
  std::vector<uint8_t> plain(16384);
  size_t n = 0, used = 0;

  // A record split across two receives: nothing is consumed until it is whole.
  for (size_t cut : {size_t(0), size_t(3), size_t(5), firstSize - 1}) {
    std::span<const uint8_t> part(wire.data(), cut);
    EXPECT_EQ(p.client->Decrypt(part, plain.data(), plain.size(), n, used), TlsStatus::IncompleteMessage);
    EXPECT_EQ(used, 0u);
  }
  // Two records in one receive: the first is delivered, the second is left as extra.
  ASSERT_EQ(p.client->Decrypt(wire, plain.data(), plain.size(), n, used), TlsStatus::Ok);
  EXPECT_EQ(std::string(reinterpret_cast<char*>(plain.data()), n), "first");
  EXPECT_EQ(used, firstSize);
  wire.erase(wire.begin(), wire.begin() + long(used));
  EXPECT_EQ(tlstest::DecryptAll(*p.client, wire), "second");
  EXPECT_TRUE(wire.empty());
}

TEST_F(TlsMemory, BulkRecordsTravelSeveralPerCall) {
  for (uint32_t mask : {kTlsProtocolTls10, kTlsProtocolTls12}) {
    Pair p(ClientCreds(mask), ServerCreds(kTlsProtocolAnyTls));
    ASSERT_TRUE(p.Handshake());
    std::string text(100000, '\0');
    for (size_t i = 0; i < text.size(); ++i) text[i] = char(i * 7 + i / 251);
    // One call makes every record of the data, into a buffer of the size it asks for.
    std::vector<uint8_t> wire(p.client->EncryptedSize(text.size()));
    size_t written = 0;
    ASSERT_TRUE(p.client->EncryptRecords(Bytes(text), wire.data(), wire.size(), written));
    ASSERT_LE(written, wire.size());
    wire.resize(written);
    std::vector<uint8_t> small(p.client->EncryptedSize(text.size()) - 1);
    EXPECT_FALSE(p.client->EncryptRecords(Bytes(text), small.data(), small.size(), written));
    ASSERT_TRUE(p.client->Shutdown(wire));  // a close-notify right behind the data

    // One call decrypts the whole records that fit; the close-notify behind them comes
    // with the next call, and a cut record waits for its rest.
    std::vector<uint8_t> plain(65536);
    std::string got;
    size_t n = 0, used = 0;
    EXPECT_EQ(p.server->DecryptRecords({wire.data(), wire.size() - 3}, plain.data(), plain.size(), n, used),
              TlsStatus::Ok);
    EXPECT_GE(n, 3 * 16384u);
    got.append(reinterpret_cast<char*>(plain.data()), n);
    wire.erase(wire.begin(), wire.begin() + long(used));
    TlsStatus st = TlsStatus::Ok;
    while (st == TlsStatus::Ok) {
      st = p.server->DecryptRecords(wire, plain.data(), plain.size(), n, used);
      got.append(reinterpret_cast<char*>(plain.data()), n);
      wire.erase(wire.begin(), wire.begin() + long(used));
    }
    EXPECT_EQ(st, TlsStatus::ContextExpired);
    EXPECT_TRUE(got == text);
    EXPECT_TRUE(wire.empty());
  }
}

TEST_F(TlsMemory, CorruptRecordsFailDecryption) {
  Pair p(ClientCreds(), ServerCreds());
  ASSERT_TRUE(p.Handshake());
  std::vector<uint8_t> plain(16384);
  size_t n = 0, used = 0;
  std::vector<uint8_t> garbage = {'H', 'T', 'T', 'P', '/', '1', '.', '1', ' ', '2'};
  EXPECT_EQ(p.client->Decrypt(garbage, plain.data(), plain.size(), n, used), TlsStatus::Error);
  EXPECT_EQ(p.client->error(), TlsError::Decrypt);
  std::vector<uint8_t> huge = {23, 3, 3, 0xFF, 0xFF};  // longer than any record may be
  EXPECT_EQ(p.client->Decrypt(huge, plain.data(), plain.size(), n, used), TlsStatus::Error);

  Pair q(ClientCreds(), ServerCreds());
  ASSERT_TRUE(q.Handshake());
  std::vector<uint8_t> wire;
  ASSERT_TRUE(q.server->Encrypt(Bytes("payload"), wire));
  wire.back() ^= 1;  // tampered tag
  EXPECT_EQ(q.client->Decrypt(wire, plain.data(), plain.size(), n, used), TlsStatus::Error);
  EXPECT_EQ(n, 0u);
}

TEST_F(TlsMemory, CloseNotifyExpiresTheContext) {
  Pair p(ClientCreds(), ServerCreds());
  ASSERT_TRUE(p.Handshake());
  std::vector<uint8_t> wire;
  ASSERT_TRUE(p.server->Encrypt(Bytes("bye"), wire));
  ASSERT_TRUE(p.server->Shutdown(wire));
  TlsStatus last;
  EXPECT_EQ(tlstest::DecryptAll(*p.client, wire, &last), "bye");
  EXPECT_EQ(last, TlsStatus::ContextExpired);
  std::vector<uint8_t> reply;
  EXPECT_TRUE(p.client->Shutdown(reply));
}

TEST_F(TlsMemory, HandshakeRefusesAPlainTextPeer) {
  TlsError e;
  auto client = TlsContext::Create(ClientCreds(), "localhost", e);
  std::vector<uint8_t> out, none;
  size_t used = 0;
  ASSERT_EQ(client->Step(none, out, used), TlsStatus::ContinueNeeded);
  EXPECT_FALSE(out.empty());
  std::string banner = "220 FTP server ready\r\n";
  EXPECT_EQ(client->Step(Bytes(banner), out, used), TlsStatus::Error);
  EXPECT_EQ(client->error(), TlsError::Handshake);
  // A server that got no bytes yet waits for more instead of failing.
  auto srv = TlsContext::Create(ServerCreds(), "", e);
  EXPECT_EQ(srv->Step(none, out, used), TlsStatus::IncompleteMessage);
  std::vector<uint8_t> partial = {22, 3};
  EXPECT_EQ(srv->Step(partial, out, used), TlsStatus::IncompleteMessage);
  EXPECT_EQ(used, 0u);
}

TEST_F(TlsMemory, ExtraBytesAfterTheHandshakeStayWithTheCaller) {
  Pair p(ClientCreds(), ServerCreds());
  std::vector<uint8_t> none, a, b;
  size_t used = 0;
  ASSERT_EQ(p.client->Step(none, a, used), TlsStatus::ContinueNeeded);
  ASSERT_EQ(p.server->Step(a, b, used), TlsStatus::ContinueNeeded);
  a.clear();
  ASSERT_EQ(p.client->Step(b, a, used), TlsStatus::ContinueNeeded);
  b.clear();
  ASSERT_EQ(p.server->Step(a, b, used), TlsStatus::Ok);
  ASSERT_TRUE(p.server->Encrypt(Bytes("early"), b));  // arrives with the server's Finished
  a.clear();
  ASSERT_EQ(p.client->Step(b, a, used), TlsStatus::Ok);
  ASSERT_LT(used, b.size());
  b.erase(b.begin(), b.begin() + long(used));
  EXPECT_EQ(tlstest::DecryptAll(*p.client, b), "early");
}

TEST_F(TlsMemory, SessionResumesOnAnotherConnection) {
  auto serverCreds = ServerCreds();
  Pair first(ClientCreds(), serverCreds);
  ASSERT_TRUE(first.Handshake());
  TlsSession session = first.client->ExportSession();
  ASSERT_TRUE(session);
  EXPECT_FALSE(first.client->SessionReused());

  Pair second(ClientCreds(), serverCreds);  // separate client credentials, as a data channel has
  ASSERT_TRUE(second.client->ResumeSession(session));
  ASSERT_TRUE(second.Handshake());
  EXPECT_TRUE(second.client->SessionReused());
  EXPECT_TRUE(second.server->SessionReused());
  std::vector<uint8_t> wire;
  ASSERT_TRUE(second.client->Encrypt(Bytes("data"), wire));
  EXPECT_EQ(tlstest::DecryptAll(*second.server, wire), "data");
}

TEST_F(TlsMemory, CertificateStates) {
  testpki::CertSpec wrongName;
  wrongName.commonName = "elsewhere.example";
  wrongName.dnsNames = {"elsewhere.example"};
  wrongName.ipAddresses = {};
  testpki::CertSpec expired;
  expired.validFromDays = -30;
  expired.validToDays = -1;
  testpki::CertSpec notYet;
  notYet.validFromDays = 2;
  testpki::CertSpec selfSigned;
  selfSigned.selfSigned = true;
  testpki::CertSpec otherCa;
  otherCa.issuer = 1;
  testpki::CertSpec expiredWrongName = expired;  // chain errors come before the name
  expiredWrongName.dnsNames = {"elsewhere.example"};
  struct Case { const char* stem; testpki::CertSpec spec; std::string host; uint32_t policy; } cases[] = {
      {"valid", {}, "localhost", 0},
      {"valid-ip4", {}, "127.0.0.1", 0},
      {"valid-ip6", {}, "::1", 0},
      {"valid-caps", {}, "LOCALHOST", 0},
      {"wrong-name", wrongName, "localhost", CERT_E_CN_NO_MATCH},
      {"wrong-ip", {}, "127.0.0.2", CERT_E_CN_NO_MATCH},
      {"expired", expired, "localhost", CERT_E_EXPIRED},
      {"not-yet", notYet, "localhost", CERT_E_EXPIRED},
      {"self-signed", selfSigned, "localhost", CERT_E_UNTRUSTEDROOT},
      {"other-ca", otherCa, "localhost", CERT_E_UNTRUSTEDROOT},
      {"expired-wrong-name", expiredWrongName, "localhost", CERT_E_EXPIRED},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.stem);
    Pair p(ClientCreds(), ServerCreds(kTlsProtocolTls12, LoadCert(pki->Issue(c.stem, c.spec))));
    ASSERT_TRUE(p.Handshake());
    TlsVerifyResult r = p.client->VerifyPeer(c.host);
    EXPECT_EQ(r.policyError, c.policy);
    EXPECT_EQ(r.state, TlsCertStateFromPolicyError(c.policy));
  }
}

TEST_F(TlsMemory, RevokedOnlyWhenTheTrustHasCrls) {
  auto revokedPem = pki->Issue("revoked", {});
  auto withCrl = pki->CaFileWithCrl("ca-crl", revokedPem);
  TlsCertificate revoked = LoadCert(revokedPem);
  Pair p(Creds(TlsRole::Client, 0, {}, withCrl.string()), ServerCreds(kTlsProtocolTls12, revoked));
  ASSERT_TRUE(p.Handshake());
  EXPECT_EQ(p.client->VerifyPeer("localhost").state, kTlsCertRevoked);
  // The same CRL file does not hurt a certificate it does not list.
  Pair q(Creds(TlsRole::Client, 0, {}, withCrl.string()), ServerCreds());
  ASSERT_TRUE(q.Handshake());
  EXPECT_EQ(q.client->VerifyPeer("localhost").state, kTlsCertValid);
  Pair r(ClientCreds(), ServerCreds(kTlsProtocolTls12, revoked));
  ASSERT_TRUE(r.Handshake());
  EXPECT_EQ(r.client->VerifyPeer("localhost").state, kTlsCertValid);
}

TEST(TlsPolicyErrors, MapToCertificateStates) {
  EXPECT_EQ(TlsCertStateFromPolicyError(0), kTlsCertValid);
  EXPECT_EQ(TlsCertStateFromPolicyError(CERT_E_CN_NO_MATCH), kTlsCertNameMismatch);
  EXPECT_EQ(TlsCertStateFromPolicyError(CERT_E_EXPIRED), kTlsCertExpired);
  EXPECT_EQ(TlsCertStateFromPolicyError(CERT_E_REVOKED), kTlsCertRevoked);
  for (uint32_t e : {CERT_E_UNTRUSTEDROOT, CERT_E_UNTRUSTEDTESTROOT, TRUST_E_EXPLICIT_DISTRUST, CERT_E_UNTRUSTEDCA})
    EXPECT_EQ(TlsCertStateFromPolicyError(e), kTlsCertUntrusted);
  EXPECT_EQ(TlsCertStateFromPolicyError(CERT_E_WRONG_USAGE), kTlsCertInvalid);
}

}  // namespace
