#pragma once
// The TLS state of a socket handle: credentials, and the TLS stage on the handle's socket
// (the connection, the received bytes not yet decrypted and the decrypted bytes not yet
// handed out).
#include <memory>

#include "core/stream/byte_stream.h"
#include "core/stream/tls_client.h"
#include "core/stream/tls_stage.h"
#include "core/tls/sec_tls.h"
#include "platform/tls/tls_context.h"
#include "platform/tls/tls_credentials.h"
#include "sockets/inet_internal.h"

namespace cvsock {

// A handle's socket beneath its TLS stage. The engine's sockets may block: each receive
// and send waits first under the handle's time-out (with its cancel, abort and close
// requests), so the stage above never meets a blocked call without a bound. Counts the
// bytes and ticks of the handle.
class HandleSocket final : public cvcore::SocketStream {
 public:
  explicit HandleSocket(InetSocketRecord& r) noexcept : SocketStream(r.handle), r_(r) {}
  int32_t Receive(void* buffer, uint32_t length) noexcept override;
  int32_t Send(const void* data, uint32_t length) noexcept override;
  bool Wait(short events) noexcept override;
  void Fail(uint32_t error) noexcept override;

  bool handshaking_ = false;  // waits are bounded by the default time-out meanwhile

 private:
  uint32_t WaitMs() const noexcept;
  void FailSocket(bool receiving) noexcept override;
  InetSocketRecord& r_;
};

struct TlsState {
  explicit TlsState(InetSocketRecord& r) noexcept : socket(r) {}
  ~TlsState() { SecFreeCredentials(&copy); }
  uint32_t protocolMask = 0;
  uint32_t certificateStatus = 0;  // 0 valid, else the chain-policy error
  cvcore::TlsClient client;        // credentials (a server's too), and the certificate's store
  HandleSocket socket;
  std::unique_ptr<cvcore::TlsStage> stage;  // from the handshake on
  SecCredentials* copy = nullptr;  // the handle's own copy of its credentials
};

// The handle's TLS state, created on first use; null when memory runs out.
TlsState* EnsureTls(InetSocketRecord& r) noexcept;
// The cache key of a server's credentials: a digest of what they name and of the store's
// current contents; empty when they cannot be cached (no certificate named, no store).
std::string ServerCredentialsKey(const SecCredentials& c, bool compatible);
// The credentials built before under key; null when there are none.
std::shared_ptr<plat::TlsCredentials> FindServerCredentials(const std::string& key);
// Keeps set for the next connections asking with key.
void KeepServerCredentials(const std::string& key, std::shared_ptr<plat::TlsCredentials> set);
// A stage for the handle's credentials (targetName: the server's, for a client) and its
// handshake; false with the last error.
bool RunHandshake(InetSocketRecord& r, const std::string& targetName) noexcept;

}  // namespace cvsock
