#pragma once
// The TLS state of a socket handle: credentials, the connection over memory buffers, the
// received bytes not yet decrypted and the decrypted bytes not yet handed out.
#include <memory>
#include <string>
#include <vector>

#include "core/tls/sec_tls.h"
#include "platform/tls/tls_context.h"
#include "platform/tls/tls_credentials.h"
#include "sockets/inet_internal.h"

namespace cvsock {

struct TlsState {
  uint32_t protocolMask = 0;
  uint32_t certificateStatus = 0;  // 0 valid, else the chain-policy error
  std::shared_ptr<plat::TlsCredentials> credentials;
  std::unique_ptr<plat::TlsContext> context;
  plat::TlsStreamSizes sizes{};
  std::vector<uint8_t> held;   // received, not yet decrypted
  std::vector<uint8_t> plain;  // decrypted, not yet read
  size_t plainPosition = 0;
  bool peerClosed = false;
  SecCertStorePtr store;
  SecCredentials* copy = nullptr;  // the handle's own copy of its credentials

  ~TlsState() { SecFreeCredentials(&copy); }
  size_t PlainWaiting() const { return plain.size() - plainPosition; }
};

// The handle's TLS state, created on first use; null when memory runs out.
TlsState* EnsureTls(InetSocketRecord& r) noexcept;
// Sends all of data on the handle's socket (blocking); false with the socket error.
bool SendAll(InetSocketRecord& r, const uint8_t* data, size_t length) noexcept;
// Receives what is there (at most room bytes) after waiting for the handle's time-out;
// the count, 0 at the peer's close, -1 with the last error.
int32_t ReceiveSome(InetSocketRecord& r, uint8_t* buffer, size_t room, uint32_t timeoutMs) noexcept;
// The cache key of a server's credentials: a digest of what they name and of the store's
// current contents; empty when they cannot be cached (no certificate named, no store).
std::string ServerCredentialsKey(const SecCredentials& c, bool compatible);
// The credentials built before under key; null when there are none.
std::shared_ptr<plat::TlsCredentials> FindServerCredentials(const std::string& key);
// Keeps set for the next connections asking with key.
void KeepServerCredentials(const std::string& key, std::shared_ptr<plat::TlsCredentials> set);
// Runs handshake steps over the socket until done; false with the last error.
bool RunHandshake(InetSocketRecord& r, bool clientFirstStep) noexcept;

}  // namespace cvsock
