#pragma once
// The TLS state of a session: the credentials both channels share, one connection per
// channel (0 command, 1 data) working on the session's ciphertext and plaintext buffers,
// the command channel's negotiated session that every data connection resumes, and the
// client-certificate store. The channel operations themselves are the hooks of
// ftp_hooks.h; this header adds what the option and keep-alive code needs beyond them.
#include <cstdint>
#include <memory>
#include <string>
#include <vector>

#include "core/tls/sec_tls.h"
#include "ftp/ftp_session.h"
#include "platform/tls/tls_context.h"
#include "platform/tls/tls_credentials.h"

namespace cvftp {

struct TlsChannel {
  std::unique_ptr<plat::TlsContext> context;
  plat::TlsStreamSizes sizes;
  bool established = false;  // handshake done, records flow
  bool closed = false;       // the server's close-notify (or end of stream) was seen
  // Ciphertext received and not yet decrypted: [cipherStart, cipherEnd) of the channel's
  // receive buffer. Plaintext decrypted and not yet handed out: [plainStart, plainEnd).
  uint32_t cipherStart = 0;
  uint32_t cipherEnd = 0;
  uint32_t plainStart = 0;
  uint32_t plainEnd = 0;
  std::vector<uint8_t> record;  // one encrypted record on its way out
};

struct TlsState {
  std::shared_ptr<plat::TlsCredentials> credentials;
  TlsChannel channels[2];
  plat::TlsSession commandSession;  // what data connections resume
  SecCertStorePtr store;            // open while a client certificate is named
  std::string issuer;               // texts handed out by FtpGetSecurityInfo
  std::string subject;
};

// Ends TLS on the command channel after the server accepted CCC: close-notify both ways,
// then the channel carries plain text (bytes after the server's close-notify are kept as
// command input). The negotiated session stays for the data connections. 0, or -1.
int32_t TlsEndCommandProtection(FtpSession& s) noexcept;

// Protected command-channel input that waits at most waitMs and reports neither a
// time-out nor a cancel (for the keep-alive thread and for draining): the bytes, 0 when
// nothing came, -1 with the error.
int32_t TlsReceiveQuiet(FtpSession& s, char* buffer, uint32_t length, uint32_t waitMs) noexcept;
// Discards protected command-channel input until the server has been quiet for stepMs
// (or limit bytes went).
void TlsDrainQuiet(FtpSession& s, uint32_t stepMs, uint64_t limit) noexcept;

}  // namespace cvftp
