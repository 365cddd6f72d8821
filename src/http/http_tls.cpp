// The TLS connection of a session. Until the TLS session code is in place, a connection
// that asks for TLS fails cleanly with 12201 (operation not supported).
#include "http/http_internal.h"

namespace cvhttp {

int32_t TlsCreateCredentials(HttpClientSession&) noexcept { return Fail(cvErrorOperationNotSupported); }
int32_t TlsHandshake(HttpClientSession&) noexcept { return Fail(cvErrorOperationNotSupported); }
int32_t TlsVerifyServer(HttpClientSession&) noexcept { return Fail(cvErrorOperationNotSupported); }
int32_t TlsSend(HttpClientSession&, const char*, uint32_t) noexcept { return Fail(cvErrorOperationNotSupported); }
int32_t TlsRecv(HttpClientSession&, char*, uint32_t) noexcept { return Fail(cvErrorOperationNotSupported); }
void TlsShutdown(HttpClientSession&) noexcept {}
void TlsRelease(HttpClientSession& s) noexcept { s.tls = nullptr; }

}  // namespace cvhttp
