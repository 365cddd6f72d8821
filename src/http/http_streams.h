#pragma once
// The connection of a session as a byte stream: its socket with the session's waits and
// errors, and the TLS stage stacked on it while the connection is secure. Request and
// response code reads and writes ConnectionStream and never asks whether TLS is on.
#include <memory>
#include <string>

#include "core/errors/status.h"
#include "core/stream/byte_stream.h"
#include "core/stream/tls_client.h"
#include "core/stream/tls_stage.h"
#include "core/tls/sec_tls.h"
#include "http/http_session.h"
#include "platform/tls/tls_credentials.h"

namespace cvhttp {

// The session's socket: waits under its time-out and cancel (events 16 and 32). What the
// stream (or the TLS stage above it) reports is held here until the call that failed
// takes it as its outcome.
class ConnectionSocket final : public cvcore::SocketStream {
 public:
  explicit ConnectionSocket(HttpClientSession& s) noexcept : SocketStream(s.header.controlSocket), s_(s) {}
  bool Wait(short events) noexcept override;
  void Fail(uint32_t error) noexcept override;
  // The failure reported last, and none held afterwards.
  cvcore::Status TakeError() noexcept;

 private:
  void FailSocket(bool receiving) noexcept override;
  HttpClientSession& s_;
  cvcore::Status failure_;
};

struct HttpStreams {
  explicit HttpStreams(HttpClientSession& s) noexcept : socket(s) {}
  ConnectionSocket socket;
  std::unique_ptr<cvcore::TlsStage> stage;  // while a TLS connection is up
  cvcore::TlsClient client;                 // credentials, and the client certificate's store when one is named
  std::string issuer, subject;  // texts of the last security information
};

// The stream the connection is read and written through.
cvcore::ByteStream& ConnectionStream(HttpClientSession& s) noexcept;

}  // namespace cvhttp
