// Connection-level TLS of a client: credentials, the stage, the server check and the
// security information, the same for every library.
#include "core/stream/tls_client.h"

#include <new>

#include "core/errors/error_codes.h"

namespace cvcore {

namespace {

bool Empty(const char* s) noexcept { return !s || !*s; }

}  // namespace

const char* TlsClient::TargetName(const SecCredentials* named, const char* host) noexcept {
  return named && !Empty(named->serverName) ? named->serverName : host;
}

uint32_t TlsClient::Acquire(const TlsClientOptions& options) noexcept {
  plat::TlsCredentialOptions o;
  o.role = options.role;
  o.protocols = options.protocols;
  o.compatible = options.compatible;
  const SecCredentials* named = options.named;
  if (named && !Empty(named->certName)) {
    if (const Status opened = OpenCertStore(store_, named, named->certStore); !opened.ok()) return opened.error();
    const Result<plat::TlsCertificate> found = FindCertificate(store_.get(), named->certName);
    if (!found.ok()) return found.error();
    o.certificate = found.value();
  } else if (options.requireCertificate) {
    return cvErrorSecurityCredentials;
  } else if (options.storeWithoutName && named && !Empty(named->certStore)) {
    // A store that cannot be opened only leaves no certificate to answer a request with.
    static_cast<void>(OpenCertStore(store_, named, named->certStore));
  }
  plat::TlsError error = plat::TlsError::None;
  credentials_ = plat::TlsCredentials::Create(o, error);
  return credentials_ ? 0 : uint32_t(cvErrorSecurityCredentials);
}

uint32_t TlsClient::CreateStage(ByteStream& lower, const std::string& target, std::unique_ptr<TlsStage>& stage,
                                const plat::TlsSession& resume) const noexcept {
  stage.reset();
  plat::TlsError error = plat::TlsError::None;
  std::unique_ptr<plat::TlsContext> context = plat::TlsContext::Create(credentials_, target, error);
  if (!context) return cvErrorSecurityContext;
  if (resume) context->ResumeSession(resume);
  stage.reset(new (std::nothrow) TlsStage(lower, std::move(context)));
  return stage ? 0 : uint32_t(cvErrorOutOfMemory);
}

uint32_t TlsClient::Verify(const TlsStage& stage, const char* name, bool requirePeer,
                           plat::TlsVerifyResult& result) noexcept {
  const plat::TlsContext& context = stage.context();
  if (requirePeer && !context.PeerCertificate()) return cvErrorSecurityCertificate;
  if (Empty(name)) return cvErrorInvalidHostName;
  result = context.VerifyPeer(name);
  return result.policyError ? uint32_t(cvErrorSecurityCertificate) : 0;
}

bool TlsClient::Describe(const plat::TlsContext& context, SecSessionInfo& info, std::string& issuer,
                         std::string& subject, bool reversedIssuer) noexcept {
  if (!SecDescribeConnection(context, info)) return false;
  const plat::TlsCertificate peer = context.PeerCertificate();
  issuer = peer ? peer.Issuer(reversedIssuer) : std::string();
  subject = peer ? peer.Subject() : std::string();
  info.issuer = issuer.data();
  info.subject = subject.data();
  return true;
}

void TlsClient::Release() noexcept {
  credentials_.reset();
  SecCloseCertStore(store_);
}

}  // namespace cvcore
