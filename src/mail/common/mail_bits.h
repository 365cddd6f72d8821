#pragma once
// The option bits every mail library (SMTP, POP3, IMAP) reads the same way in the session
// layer they share. Each library's constants header names them with its own prefix.
#include <cstdint>

namespace cvmail {

inline constexpr uint32_t kMailOptionTunnel = 0x400;       // the implicit-TLS port does not imply TLS
inline constexpr uint32_t kMailOptionTrustedSite = 0x800;  // the server certificate is not checked
inline constexpr uint32_t kMailOptionSecure = 0x1000;
inline constexpr uint32_t kMailOptionSecureImplicit = 0x2000;  // TLS from the first byte
inline constexpr uint32_t kMailOptionIpv6Only = 0x40000;

}  // namespace cvmail
