// Private key files for public-key authentication, read only: the binary SSH-1 RSA file
// and the line-oriented SSH-2 file holding an "ssh-rsa" or "ssh-dss" key. No reader takes
// a passphrase.
//
// Error out-parameters receive a constant text (never freed) or null for "no text".
// Blobs and comments handed out are allocated with CheckedAlloc and released with
// CheckedFree.
#pragma once

#include <cstdint>

#include "ssh/crypto/rsa.h"

enum KeyFileType : int32_t {
  KeyFileUnreadable = 0,    // cannot be opened or read
  KeyFileUnknown = 1,       // not recognised, or shorter than 32 bytes
  KeyFileSsh1 = 2,          // SSH-1 RSA key file
  KeyFileSsh2 = 3,          // SSH-2 key file
  KeyFilePem = 4,           // PEM-armoured key (refused)
  KeyFileForeignSsh2 = 5,   // encrypted key of another SSH-2 product (refused)
};

// A loaded SSH-2 key: its algorithm, the algorithm's key record and the comment (owned).
struct SshUserKey {
  const SshHostKeyDesc* algorithm;
  void* key;
  char* comment;
};

int32_t KeyFileDetect(const char* filename);

// 1 loaded, 0 failure, -1 when the check bytes differ (wrong passphrase). The key receives
// n, e, d, iqmp, q, p, bits, bytes and the comment; on failure it holds none of them.
int32_t Ssh1KeyLoad(const char* filename, SshRsaKey* key, const char** error);
int32_t Ssh1KeyIsEncrypted(const char* filename);
// The SSH-1 public blob (bit count of n, e, n); 1 or 0. `comment` may be null.
int32_t Ssh1KeyPublicBlob(const char* filename, uint8_t** blob, int32_t* length, char** comment,
                          const char** error);

// The key, or null with the error text.
SshUserKey* Ssh2KeyLoad(const char* filename, const char** error);
// The public blob with the algorithm's ssh_name in `algorithm`, or null. `comment` may be null.
uint8_t* Ssh2KeyLoadPublic(const char* filename, const char** algorithm, int32_t* length, char** comment,
                           const char** error);
int32_t Ssh2KeyIsEncrypted(const char* filename);
// Releases a key of Ssh2KeyLoad (its record through the algorithm); null is ignored.
void SshUserKeyFree(SshUserKey* key);
