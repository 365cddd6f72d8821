#pragma once
// The channels of a session as byte streams: each channel's socket with the session's waits
// and errors, and a TLS stage stacked on it while the channel is protected. Protocol code
// reads and writes ChannelStream and never asks whether the channel is protected: the stage
// is there or it is not. Beside the stages: the credentials both channels share, the
// command channel's negotiated session that every data connection resumes, and the
// client-certificate store. The TLS entry points themselves are the hooks of ftp_hooks.h.
#include <cstdint>
#include <memory>
#include <string>

#include "core/stream/byte_stream.h"
#include "core/stream/tls_client.h"
#include "core/stream/tls_stage.h"
#include "core/tls/sec_tls.h"
#include "ftp/ftp_internal.h"
#include "ftp/ftp_session.h"
#include "platform/tls/tls_context.h"
#include "platform/tls/tls_credentials.h"

namespace cvftp {

// A channel's socket: waits under the session's time-out and cancel (events 64 and 128).
class ChannelSocket final : public cvcore::SocketStream {
 public:
  ChannelSocket(FtpSession& s, FtpChannel channel) noexcept;
  bool Wait(short events) noexcept override;
  void Fail(uint32_t error) noexcept override;

 private:
  void FailSocket(bool receiving) noexcept override;
  FtpSession& s_;
  FtpChannel channel_;
};

struct ChannelStreams {
  explicit ChannelStreams(FtpSession& s) noexcept : sockets{{s, FtpChannel::Command}, {s, FtpChannel::Data}} {}
  ChannelSocket sockets[2];
  std::unique_ptr<cvcore::TlsStage> stages[2];  // while the channel is protected
  std::unique_ptr<cvcore::TlsStage> cleared;    // the command channel's after CCC: its security information
  cvcore::TlsClient client;                     // the credentials both channels share, and the certificate's store
  plat::TlsSession commandSession;              // what data connections resume
  std::string issuer;                           // texts handed out by FtpGetSecurityInfo
  std::string subject;
};

// A certificate check whose only failure is a certificate that does not validate (12104)
// passes: the session goes on, and its certificate status says so.
inline Status ToleratedCertificate(Status verified) noexcept {
  return verified.error() == cvErrorSecurityCertificate ? Status() : verified;
}

// The stream a channel is read and written through.
cvcore::ByteStream& ChannelStream(FtpSession& s, FtpChannel channel) noexcept;

// Stacks TLS on a new data connection when the session protects its data: handshake and
// certificate check (a certificate that does not validate is tolerated).
Status ProtectDataChannel(FtpSession& s) noexcept;

// Ends TLS on the command channel after the server accepted CCC: close-notify both ways,
// then the channel carries plain text (bytes after the server's close-notify are kept as
// command input). The negotiated session stays for the data connections.
Status TlsEndCommandProtection(FtpSession& s) noexcept;

}  // namespace cvftp
