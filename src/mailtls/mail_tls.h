#pragma once
// The TLS state a mail session record keeps, and the parts of a client TLS session that do
// not depend on the library: credentials from the session's SecCredentials copy, the
// client certificate answer, the certificate check, close-notify and the security
// information. The stream routines (handshake loop, receive, send) are in mail_tls_stream.h.
//
// Failures return 0 (or false) with a cv error code for the caller to store as its
// library's last error.
#include <cstdint>
#include <memory>
#include <string>
#include <vector>

#include "core/tls/sec_tls.h"
#include "platform/tls/tls_context.h"
#include "platform/tls/tls_credentials.h"

namespace cvmail {

inline constexpr uint32_t kTlsBufferSize = 65536;
inline constexpr uint32_t kTlsDefaultProtocol = 16;  // TLS 1.2 when the caller gives no mask
inline constexpr uint32_t kMailOptionTrustedSite = 0x800;

struct TlsState {
  bool active = false;
  uint32_t protocolMask = 0;
  uint32_t lastStatus = 0;  // the last step's plat::TlsStatus
  std::shared_ptr<plat::TlsCredentials> credentials;
  std::unique_ptr<plat::TlsContext> context;
  plat::TlsStreamSizes sizes;
  // Encrypted bytes received and not yet decrypted; extra: they were left over by the
  // last handshake or record and must be tried before reading again.
  std::unique_ptr<uint8_t[]> received;
  uint32_t receivedCount = 0;
  bool extra = false;
  // Decrypted bytes not yet handed out, from plainStart.
  std::unique_ptr<uint8_t[]> plain;
  uint32_t plainCount = 0;
  uint32_t plainStart = 0;
  SecCredentials* secCredentials = nullptr;  // the session's own copy
  SecCertStorePtr store;
  plat::TlsCertificate clientCertificate;
  uint32_t certificateStatus = 0;
  std::string issuer;
  std::string subject;

  TlsState() = default;
  TlsState(const TlsState&) = delete;
  TlsState& operator=(const TlsState&) = delete;
  ~TlsState() { SecFreeCredentials(&secCredentials); }
};

// Keeps a copy of credentials (a zeroed record when null; protocol 0 becomes TLS 1.2) and
// the mask; allocates the two buffers. True, or false with the error in *error.
bool TlsPrepare(TlsState& tls, const SecCredentials* credentials, uint32_t* error);

// Client credentials for the mask with the certificate the copy names. 1, or 0 with
// 0x80042F47 (certificate or credentials) in *error.
int32_t TlsCreateCredentials(TlsState& tls, uint32_t* error);

// Answers a certificate request from the session's store. 1, or 0 when nothing fits.
int32_t TlsSelectClientCertificate(TlsState& tls);

// A new context for the target (the credentials' server name, else host) and its first
// token in output. 1, or 0 with 0x80042AF9 (no name) or 0x80042F46 in *error.
int32_t TlsStartHandshake(TlsState& tls, const char* host, std::vector<uint8_t>& output, uint32_t* error);

// Checks the server's chain and name unless the options trust the site; keeps the
// certificate state and names for the security information. 1, or 0 with 0x80042F48
// (not trusted), 0x80042AF9 (no name) or 0x80042F45 in *error.
int32_t TlsVerifyServer(TlsState& tls, const char* host, uint32_t options, uint32_t* error);

// The close-notify record to send (empty when there is no finished handshake); the
// context and credentials go.
std::vector<uint8_t> TlsShutdown(TlsState& tls);

// Drops context, credentials and buffered bytes (a failed connect, a closed socket).
void TlsReset(TlsState& tls);

// Fills info (size at least 88); a session without TLS gives zeros apart from the size.
// 1, or 0 with 0x8004271E in *error.
int32_t TlsGetSecurityInfo(const TlsState& tls, SecSessionInfo* info, uint32_t* error);

}  // namespace cvmail
