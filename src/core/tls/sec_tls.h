#pragma once
// The TLS provider binding of the network core: provider loading, the credentials record a
// control hands to a connect, certificate stores and the security-information record.
// Failures set the thread's last error to a cv error code.
#include <cstdint>
#include <filesystem>
#include <memory>
#include <string>

#include "core/errors/status.h"
#include "platform/tls/tls_context.h"
#include "platform/types.h"

// Credentials of a TLS connect; one block (head, then the strings it points to).
struct SecCredentials {
  uint32_t headSize;       // 64
  uint32_t protocolMask;   // kTlsProtocol* bits (256 SSH 1, 512 SSH 2); 0: the library's default
  uint32_t storeLocation;  // 1 current user, 2 local machine, 4 PFX file; 0: current user
  uint32_t reserved;
  char* serverName;        // TLS target and validation name instead of the host name when set
  char* certUser;
  char* certPassword;      // password of a PFX file
  char* certStore;         // store name, "HKLM:"/"HKCU:" + store name, or a PFX file's path
  char* certName;          // friendly name or subject text of the client certificate
  char* reservedText;      // null
};
static_assert(sizeof(SecCredentials) == 64);

inline constexpr uint32_t kSecStoreCurrentUser = 1;
inline constexpr uint32_t kSecStoreLocalMachine = 2;
inline constexpr uint32_t kSecStorePfxFile = 4;

// Security information of a TLS (or SSH) session for the control's properties.
struct SecSessionInfo {
  uint32_t size;  // caller: at least 88; set to 88
  uint32_t protocol;
  uint32_t cipher;
  uint32_t cipherStrength;
  uint32_t hash;
  uint32_t hashStrength;
  uint32_t keyExchange;
  uint32_t certificateStatus;  // 1 valid ... 6 invalid; 0 without TLS
  SYSTEMTIME validFrom;        // UTC
  SYSTEMTIME validTo;
  char* issuer;                // owned by the session
  char* subject;
  char* hostKeyFingerprint;    // SSH sessions only
};
static_assert(sizeof(SecSessionInfo) == 88);

// 1 when loaded (now or before); 0 with cvErrorSecurityNotInitialized when this or the
// first attempt failed.
int32_t SecLoadProvider();
void SecUnloadProvider();
bool SecProviderAttempted();
bool SecProviderLoaded();

// Replaces *credentials by a new record (the old one is freed). 1, or 0
// (cvErrorInvalidParameter, cvErrorOutOfMemory).
int32_t SecCreateCredentials(uint32_t protocolMask, const char* certUser, const char* certPassword,
                             const char* certStore, const char* certName, SecCredentials** credentials);
SecCredentials* SecCopyCredentials(const SecCredentials* credentials);
void SecFreeCredentials(SecCredentials** credentials);

// The certificates of one opened store.
class SecCertStore;
struct SecCertStoreDeleter { void operator()(SecCertStore* s) const; };
using SecCertStorePtr = std::unique_ptr<SecCertStore, SecCertStoreDeleter>;

// Opens storeName for the credentials (closing what store holds first): "HKLM:"/"HKCU:"
// prefixes, an existing file (or the PFX location) as a PFX or PEM file, else a store of
// the credentials' location ("MY" when empty). 1, or 0 (cvErrorSecurityCredentials,
// cvErrorFileNotFound, cvErrorInvalidFileType, cvErrorInvalidFileName).
int32_t SecOpenCertStore(SecCertStorePtr& store, const SecCredentials* credentials, const char* storeName);
void SecCloseCertStore(SecCertStorePtr& store);
// The current contents of the store SecOpenCertStore would open (its files' names and
// bytes, keys included: wipe it after use); empty when there is no such store.
std::string SecCertStoreStamp(const SecCredentials* credentials, const char* storeName);
// The certificate whose friendly name equals name (without case), else the first whose
// subject contains it. Empty with cvErrorInvalidParameter (no name) or
// cvErrorSecurityCredentials (no store, not found).
plat::TlsCertificate SecFindCertificate(const SecCertStore* store, const char* name);
// Answers a server's certificate request with a certificate of store whose issuer it accepts.
// 1, or 0 when there is no store or no usable certificate.
int32_t SecSelectClientCertificate(const SecCertStore* store, plat::TlsContext& context);

namespace cvcore {
// SecOpenCertStore and SecFindCertificate for the core's own callers: the outcome is
// returned, the thread's last error untouched.
Status OpenCertStore(SecCertStorePtr& store, const SecCredentials* credentials, const char* storeName);
Result<plat::TlsCertificate> FindCertificate(const SecCertStore* store, const char* name);
}  // namespace cvcore

// The directory of a named store below the registry root (machine or current user).
std::filesystem::path SecCertStoreDirectory(bool localMachine, const char* storeName);

// Converts UTF-8 text to at most count UTF-16 units (terminator included) in output.
char16_t* AnsiToUtf16(char16_t* output, const char* text, int32_t count);

// Fills protocol, cipher, hash and exchange codes with their strengths and the peer
// certificate's validity dates from a completed connection (issuer, subject and the
// certificate status are the library's). False when the connection has no parameters.
bool SecDescribeConnection(const plat::TlsContext& context, SecSessionInfo& info);
