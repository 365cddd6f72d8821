#pragma once
// Values shared by every user of the TLS adapter. The numbers are the ones the libraries
// report to the controls (protocol, cipher, hash, key exchange and certificate constants).
#include <cstddef>
#include <cstdint>

#include "platform/types.h"

namespace plat {

// Protocol mask bits (credentials) and negotiated protocol codes.
inline constexpr uint32_t kTlsProtocolSsl2 = 1;
inline constexpr uint32_t kTlsProtocolSsl3 = 2;
inline constexpr uint32_t kTlsProtocolTls10 = 4;
inline constexpr uint32_t kTlsProtocolTls11 = 8;
inline constexpr uint32_t kTlsProtocolTls12 = 16;
inline constexpr uint32_t kTlsProtocolAnyTls = kTlsProtocolTls10 | kTlsProtocolTls11 | kTlsProtocolTls12;
inline constexpr uint32_t kTlsOther = 4096;  // "anything else" in every code family

inline constexpr uint32_t kTlsCipherRc2 = 1;
inline constexpr uint32_t kTlsCipherRc4 = 2;
inline constexpr uint32_t kTlsCipherRc5 = 4;
inline constexpr uint32_t kTlsCipherDes = 8;
inline constexpr uint32_t kTlsCipherTripleDes = 16;
inline constexpr uint32_t kTlsCipherDesx = 32;
inline constexpr uint32_t kTlsCipherAes = 64;
inline constexpr uint32_t kTlsCipherSkipjack = 128;
inline constexpr uint32_t kTlsCipherBlowfish = 256;

inline constexpr uint32_t kTlsHashMd5 = 1;
inline constexpr uint32_t kTlsHashSha1 = 2;
inline constexpr uint32_t kTlsHashSha256 = 4;
inline constexpr uint32_t kTlsHashSha384 = 8;
inline constexpr uint32_t kTlsHashSha512 = 16;

inline constexpr uint32_t kTlsExchangeRsa = 1;
inline constexpr uint32_t kTlsExchangeKea = 2;
inline constexpr uint32_t kTlsExchangeDh = 4;
inline constexpr uint32_t kTlsExchangeEcdh = 8;

// Certificate states (0: no TLS).
inline constexpr uint32_t kTlsCertValid = 1;
inline constexpr uint32_t kTlsCertNameMismatch = 2;
inline constexpr uint32_t kTlsCertExpired = 3;
inline constexpr uint32_t kTlsCertRevoked = 4;
inline constexpr uint32_t kTlsCertUntrusted = 5;
inline constexpr uint32_t kTlsCertInvalid = 6;

// Chain-policy errors with their documented values; a validation reports one of these
// (0 when valid) beside the state it maps to.
inline constexpr uint32_t CERT_E_EXPIRED = 0x800B0101;
inline constexpr uint32_t CERT_E_UNTRUSTEDROOT = 0x800B0109;
inline constexpr uint32_t CERT_E_CHAINING = 0x800B010A;
inline constexpr uint32_t CERT_E_REVOKED = 0x800B010C;
inline constexpr uint32_t CERT_E_UNTRUSTEDTESTROOT = 0x800B010D;
inline constexpr uint32_t CERT_E_CN_NO_MATCH = 0x800B010F;
inline constexpr uint32_t CERT_E_WRONG_USAGE = 0x800B0110;
inline constexpr uint32_t TRUST_E_EXPLICIT_DISTRUST = 0x800B0111;
inline constexpr uint32_t CERT_E_UNTRUSTEDCA = 0x800B0112;

// Certificate state for a chain-policy error.
uint32_t TlsCertStateFromPolicyError(uint32_t policyError) noexcept;

enum class TlsRole { Client, Server };

// Result of a handshake step or a record decryption.
enum class TlsStatus {
  Ok,                     // handshake done / record decrypted
  ContinueNeeded,         // send the output (if any) and call again with the next input
  IncompleteMessage,      // the input holds no complete record: read more and call again with all of it
  IncompleteCredentials,  // the server asked for a client certificate: choose one (or none), call again
  ContextExpired,         // the peer sent close-notify
  Renegotiate,            // a post-handshake message needs an answer: run handshake steps again
  Error,
  ApplicationData,  // a new handshake's input starts with application data: Decrypt it, then Step on
};

// Why an adapter call failed (the libraries turn these into their error numbers).
enum class TlsError {
  None,
  Credentials,    // bad protocol mask, unusable certificate or key, store or PFX problems
  Handshake,      // handshake failure or a peer that does not speak TLS
  Decrypt,
  Encrypt,
  FileNotFound,   // a certificate file does not exist
  FileUnreadable, // a certificate file exists but cannot be read
  InvalidArgument,
};

struct TlsStreamSizes {
  uint32_t header = 0;          // bytes before the plaintext of one encrypted message
  uint32_t trailer = 0;         // most bytes after it
  uint32_t maximumMessage = 0;  // most plaintext bytes one Encrypt call takes
};

struct TlsConnectionInfo {
  uint32_t protocol = 0;
  uint32_t cipher = 0;
  uint32_t cipherStrength = 0;
  uint32_t hash = 0;
  uint32_t hashStrength = 0;
  uint32_t exchange = 0;
  uint32_t exchangeStrength = 0;
};

struct TlsVerifyResult {
  uint32_t policyError = 0;  // 0 or one of the CERT_E_ values above
  uint32_t state = 0;        // kTlsCertValid ... kTlsCertInvalid
};

// Certificate dates are UTC calendar times.
using TlsDateTime = SYSTEMTIME;

}  // namespace plat
