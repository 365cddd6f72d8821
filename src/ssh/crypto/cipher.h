#pragma once
// Ciphers of the SSH layer, reached through constant descriptor records: the SSH-2
// ciphers chosen by name in the key exchange, the SSH-1 ciphers keyed from the session
// key, and the two DES routines for SSH-1 key files and X11 XDM authorisation.
//
// Every encrypt/decrypt works in place on whole blocks. A length that is not a multiple
// of the block size is a caller error: debug builds stop on an assertion, release builds
// leave the trailing partial block untouched. set_key and set_iv read exactly the
// descriptor's key length and block size from the given bytes; the caller provides them.
#include <cstddef>
#include <cstdint>

enum SshCipherFamily : uint32_t {
  SshCipherFamily3Des = 1,
  SshCipherFamilyBlowfish = 2,
  SshCipherFamilyAes = 3,
  SshCipherFamilyDes = 4,
  SshCipherFamilyArcfour = 5,
};

inline constexpr uint32_t SshCipherFlagCbc = 1;

struct SshCipherDesc {
  void* (*create)();
  void (*destroy)(void* ctx);                      // wipes and frees; null is ignored
  void (*set_iv)(void* ctx, const uint8_t* iv);    // block_size bytes; Arcfour ignores it
  void (*set_key)(void* ctx, const uint8_t* key);  // key_bits / 8 bytes (24 for 3DES, 8 for DES)
  void (*encrypt)(void* ctx, uint8_t* buf, uint32_t len);
  void (*decrypt)(void* ctx, uint8_t* buf, uint32_t len);
  const char* ssh_name;
  uint32_t family;
  uint32_t block_size;
  uint32_t key_bits;
  uint32_t flags;
  const char* display_name;
};

extern const SshCipherDesc Aes256CtrCipherDesc, Aes256CbcCipherDesc, Aes256CbcAliasCipherDesc;
extern const SshCipherDesc Aes192CtrCipherDesc, Aes192CbcCipherDesc;
extern const SshCipherDesc Aes128CtrCipherDesc, Aes128CbcCipherDesc;
extern const SshCipherDesc Des3CtrCipherDesc, Des3CbcCipherDesc;
extern const SshCipherDesc BlowfishCtrCipherDesc, BlowfishCbcCipherDesc;
extern const SshCipherDesc DesCbcCipherDesc, DesCbcAliasCipherDesc;
extern const SshCipherDesc Arcfour256CipherDesc, Arcfour128CipherDesc;

struct SshCipherList {
  uint32_t count;
  const SshCipherDesc* const* ciphers;  // in order of preference
};

extern const SshCipherList Ssh3DesCipherList;
extern const SshCipherList SshBlowfishCipherList;
extern const SshCipherList SshAesCipherList;
extern const SshCipherList SshDesCipherList;
extern const SshCipherList SshArcfourCipherList;
// The list of a family (1 to 5), null for any other number.
const SshCipherList* SshCipherListForFamily(uint32_t family);

struct Ssh1CipherDesc {
  void* (*create)();
  void (*destroy)(void* ctx);
  void (*set_session_key)(void* ctx, const uint8_t* session_key);  // the 32-byte session key
  void (*encrypt)(void* ctx, uint8_t* buf, uint32_t len);
  void (*decrypt)(void* ctx, uint8_t* buf, uint32_t len);
  uint32_t family;
  uint32_t block_size;
  const char* display_name;
};

extern const Ssh1CipherDesc Ssh1Des3CipherDesc;      // SSH-1 cipher number 3
extern const Ssh1CipherDesc Ssh1DesCipherDesc;       // number 2
extern const Ssh1CipherDesc Ssh1BlowfishCipherDesc;  // number 6

// Decrypts the private part of an SSH-1 key file in place: SSH-1 inner-CBC triple DES
// with k1 = key[0..8), k2 = key[8..16), k3 = k1, every IV zero.
void Des3KeyFileDecrypt(const uint8_t key[16], uint8_t* buf, uint32_t len);
// XDM-AUTHORIZATION-1: the 56 key bits spread over 8 DES key bytes, then single DES CBC
// decryption with a zero IV over the 24 bytes.
void DesXdmDecrypt(const uint8_t key[7], uint8_t buf[24]);
