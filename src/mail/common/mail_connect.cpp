#include "mail/common/mail_connect.h"

#include "core/errors/error_codes.h"
#include "core/tls/sec_tls.h"

namespace cvmail {

bool PrepareConnect(const char* host, char (&name)[kSockHostNameSize], uint32_t& port, uint32_t& options,
                    MailPorts ports, uint32_t* error) noexcept {
  if (!host || !*host || !SockNormalizeHostName(host, name)) return *error = cvErrorInvalidHostName, false;
  if ((options & kMailOptionIpv6Only) && !SockIsIPv6Available()) return *error = cvErrorProtocolNotAvailable, false;
  if (options & kMailOptionSecureImplicit) options |= kMailOptionSecure;
  if (port == ports.implicit && !(options & kMailOptionTunnel)) options |= kMailOptionSecure | kMailOptionSecureImplicit;
  if ((options & kMailOptionSecure) && !SecLoadProvider()) return *error = cvErrorSecurityNotInitialized, false;
  if (!port) port = (options & kMailOptionSecureImplicit) ? ports.implicit : ports.plain;
  if (port > 0xFFFF) return *error = cvErrorInvalidParameter, false;
  return true;
}

}  // namespace cvmail
