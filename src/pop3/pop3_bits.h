#pragma once
// The named bits of the POP3 library, defined once for the library, the PopClient and
// InternetMail controls, the PopClient type information and the tests: session options,
// what the server is asked for, and the read flags.
#include <cstdint>

#include "core/frame/lib_types.h"
#include "mail/common/mail_bits.h"

// Option bits of a session.
inline constexpr uint32_t kPop3OptionLineBreak = 0x1;  // a multi-line read hands out one line at a time
inline constexpr uint32_t kPop3OptionTunnel = cvmail::kMailOptionTunnel;  // port 995 does not imply implicit TLS
inline constexpr uint32_t kPop3OptionTrustedSite = cvmail::kMailOptionTrustedSite;
inline constexpr uint32_t kPop3OptionSecure = cvmail::kMailOptionSecure;
inline constexpr uint32_t kPop3OptionSecureImplicit = cvmail::kMailOptionSecureImplicit;
inline constexpr uint32_t kPop3OptionIpv6Only = cvmail::kMailOptionIpv6Only;
inline constexpr uint32_t kPop3OptionFreeThreaded = kLibOptionFreeThreaded;

// Capability bits: the server is asked for unique ids (UIDL), with XTND XLST, with
// XSENDER. A "-ERR" to an XTND command clears its bit for the rest of the session.
inline constexpr uint32_t kPop3CapabilityUidl = 0x1;
inline constexpr uint32_t kPop3CapabilityXlst = 0x2;
inline constexpr uint32_t kPop3CapabilityXsender = 0x10;

// Read flags.
inline constexpr uint32_t kPop3ReadHeadersOnly = 0x10000000;  // TOP n 0 instead of RETR n
inline constexpr uint32_t kPop3ReadUnicode = 0x20000000;      // UTF-16 from UTF-8
