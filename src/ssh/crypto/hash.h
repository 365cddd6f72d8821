#pragma once
// Message digests of the SSH layer: SHA-1, SHA-256, SHA-512 and the descriptor record
// through which the key exchange uses a digest without knowing which one.
// Each state belongs to the caller; Begin may be called again to reuse a state.
#include <cstddef>
#include <cstdint>

struct Sha1State {
  uint32_t h[5];
  uint8_t block[64];
  uint32_t used;     // bytes held in block
  uint32_t len_hi;   // byte count, high half
  uint32_t len_lo;   // byte count, low half
};

struct Sha256State {
  uint32_t h[8];
  uint8_t block[64];
  uint32_t used;
  uint32_t len_hi;
  uint32_t len_lo;
};

struct Sha512State {
  uint64_t h[8];
  uint8_t block[128];
  uint32_t used;
  uint32_t len[4];  // 128-bit byte count, least significant word first
};

void Sha1Begin(Sha1State* s);
void Sha1Append(Sha1State* s, const void* data, size_t len);
void Sha1End(Sha1State* s, uint8_t out[20]);
void Sha1Digest(const void* data, size_t len, uint8_t out[20]);
// One application of the compression function; block holds sixteen words already
// converted from bytes (big-endian for ordinary hashing) and is not modified.
void Sha1Compress(uint32_t h[5], const uint32_t block[16]);

void Sha256Begin(Sha256State* s);
void Sha256Append(Sha256State* s, const void* data, size_t len);
void Sha256End(Sha256State* s, uint8_t out[32]);
void Sha256Digest(const void* data, size_t len, uint8_t out[32]);

void Sha512Begin(Sha512State* s);
void Sha512Append(Sha512State* s, const void* data, size_t len);
void Sha512End(Sha512State* s, uint8_t out[64]);
void Sha512Digest(const void* data, size_t len, uint8_t out[64]);

// MD5 comes from the network core; this is the one-buffer form the SSH layer adds.
void Md5Digest(const void* data, size_t len, uint8_t out[16]);

struct SshHashDesc {
  void* (*create)();                                      // allocated and begun
  void (*update)(void* state, const void* data, size_t len);
  void (*finish)(void* state, uint8_t* out);              // writes the digest, wipes and frees
  uint32_t digest_length;
  const char* display_name;
};

extern const SshHashDesc Sha1HashDesc;
extern const SshHashDesc Sha256HashDesc;
