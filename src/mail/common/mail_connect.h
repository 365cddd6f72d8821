#pragma once
// The checks every mail library makes before it opens a connection: the host name, the
// IPv6-only option, the options implied by the implicit-TLS port and the default port.
#include <cstdint>

#include "core/sock/sock.h"
#include "mail/common/mail_bits.h"

namespace cvmail {

struct MailPorts {
  uint32_t plain;     // the protocol's port, also for STARTTLS
  uint32_t implicit;  // the port of implicit TLS
};

// Normalises host into name, adds the TLS options the implicit port implies (unless
// tunnelled), loads the TLS provider when TLS is asked for and fills in a zero port.
// True, or false with the error in *error.
bool PrepareConnect(const char* host, char (&name)[kSockHostNameSize], uint32_t& port, uint32_t& options,
                    MailPorts ports, uint32_t* error) noexcept;

}  // namespace cvmail
