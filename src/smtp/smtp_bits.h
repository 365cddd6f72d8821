#pragma once
// The named bits and values of the SMTP library, defined once for the library, the
// InternetMail control and the tests: session options, the extensions an EHLO reply names,
// delivery-status options and the sources of a message.
#include <cstdint>

#include "core/frame/lib_types.h"
#include "mail/common/mail_bits.h"

// Option bits of a session.
inline constexpr uint32_t kSmtpOptionExtended = 0x1;                      // EHLO
inline constexpr uint32_t kSmtpOptionTunnel = cvmail::kMailOptionTunnel;  // port 465 does not imply implicit TLS
inline constexpr uint32_t kSmtpOptionTrustedSite = cvmail::kMailOptionTrustedSite;
inline constexpr uint32_t kSmtpOptionSecure = cvmail::kMailOptionSecure;
inline constexpr uint32_t kSmtpOptionSecureImplicit = cvmail::kMailOptionSecureImplicit;
inline constexpr uint32_t kSmtpOptionIpv6Only = cvmail::kMailOptionIpv6Only;
inline constexpr uint32_t kSmtpOptionFreeThreaded = kLibOptionFreeThreaded;

// Extension bits found in the EHLO reply.
inline constexpr uint32_t kSmtpExtensionExpn = 1;
inline constexpr uint32_t kSmtpExtensionVrfy = 2;
inline constexpr uint32_t kSmtpExtensionDsn = 4;
inline constexpr uint32_t kSmtpExtensionSize = 8;
inline constexpr uint32_t kSmtpExtensionEtrn = 16;
inline constexpr uint32_t kSmtpExtension8BitMime = 32;
inline constexpr uint32_t kSmtpExtensionAuthLogin = 64;
inline constexpr uint32_t kSmtpExtensionStartTls = 128;

// Delivery-status option bits.
inline constexpr uint32_t kSmtpDsnNever = 1;
inline constexpr uint32_t kSmtpDsnSuccess = 2;
inline constexpr uint32_t kSmtpDsnFailure = 4;
inline constexpr uint32_t kSmtpDsnDelay = 8;
inline constexpr uint32_t kSmtpDsnReturnHeaders = 16;
inline constexpr uint32_t kSmtpDsnReturnFull = 32;

// Where SmtpSendMessage takes the message from.
inline constexpr uint16_t kSmtpSourceMemory = 0;
inline constexpr uint16_t kSmtpSourceText = 1;
inline constexpr uint16_t kSmtpSourceFile = 2;
inline constexpr uint16_t kSmtpSourceClipboard = 3;
inline constexpr uint16_t kSmtpSourceGlobal = 4;
