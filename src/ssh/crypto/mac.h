#pragma once
// Keyed MACs of SSH-2 packets and the descriptor record through which the packet layer
// uses them; HMAC-MD5 of plain data for challenge-response authentication.
#include <cstddef>
#include <cstdint>

struct SshMacDesc {
  void* (*create)();
  void (*destroy)(void* ctx);                 // wipes and frees
  void (*set_key)(void* ctx, const uint8_t* key);  // reads exactly the MAC's key length
  // MAC of the sequence number (4 bytes, big-endian) then len bytes of buf, written at buf + len.
  void (*sign)(void* ctx, uint8_t* buf, uint32_t len, uint32_t seq);
  // 1 when the MAC bytes at buf + len match, else 0; compares in constant time.
  int (*verify)(void* ctx, const uint8_t* buf, uint32_t len, uint32_t seq);
  const char* ssh_name;
  uint32_t mac_length;
  const char* display_name;
};

extern const SshMacDesc HmacSha256MacDesc;     // "hmac-sha2-256"
extern const SshMacDesc HmacSha1MacDesc;       // "hmac-sha1"
extern const SshMacDesc HmacSha1_96MacDesc;    // "hmac-sha1-96"
extern const SshMacDesc HmacMd5MacDesc;        // "hmac-md5"
// For servers with the HMAC key-length bug: keyed with the first 16 derived key bytes.
extern const SshMacDesc HmacSha1BugMacDesc;
extern const SshMacDesc HmacSha1_96BugMacDesc;

// Preference lists offered in the key exchange.
inline constexpr uint32_t SshMacListCount = 4;
extern const SshMacDesc* const SshMacList[SshMacListCount];
inline constexpr uint32_t SshMacListCompatCount = 3;
extern const SshMacDesc* const SshMacListCompat[SshMacListCompatCount];

// HMAC-MD5 without a sequence number. Only the first 64 key bytes are used: callers
// with longer keys hash them with Md5Digest first.
struct HmacMd5Context;
HmacMd5Context* HmacMd5Create();
void HmacMd5Free(HmacMd5Context* ctx);  // wipes and frees; null is ignored
void HmacMd5SetKey(HmacMd5Context* ctx, const uint8_t* key, size_t keylen);
void HmacMd5Compute(HmacMd5Context* ctx, const void* data, size_t len, uint8_t out[16]);
