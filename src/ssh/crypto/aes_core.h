#pragma once
// AES (FIPS 197) key schedules and the CBC and SDCTR modes, with the portable table code
// and the AES-NI path chosen when the key is set.
#include <cstddef>
#include <cstdint>

namespace cvssh::crypto {

struct AesKey {
  uint32_t ek[60];  // encryption round keys, big-endian words
  uint32_t dk[60];  // decryption round keys (equivalent inverse cipher)
  int rounds;       // 10, 12 or 14
  bool ni;          // AES-NI schedules below are valid and used
  alignas(16) uint8_t niEnc[15][16];
  alignas(16) uint8_t niDec[15][16];
};

// keyLen is 16, 24 or 32.
void AesSetKey(AesKey* k, const uint8_t* key, size_t keyLen);

// The IV/counter is four big-endian words; nblocks whole 16-byte blocks, in place.
void AesCbcEncrypt(const AesKey& k, uint32_t iv[4], uint8_t* buf, size_t nblocks);
void AesCbcDecrypt(const AesKey& k, uint32_t iv[4], uint8_t* buf, size_t nblocks);
void AesCtr(const AesKey& k, uint32_t ctr[4], uint8_t* buf, size_t nblocks);

// AES-NI forms (only when k.ni).
void AesNiPrepare(AesKey* k);
void AesNiCbcEncrypt(const AesKey& k, uint32_t iv[4], uint8_t* buf, size_t nblocks);
void AesNiCbcDecrypt(const AesKey& k, uint32_t iv[4], uint8_t* buf, size_t nblocks);
void AesNiCtr(const AesKey& k, uint32_t ctr[4], uint8_t* buf, size_t nblocks);

}  // namespace cvssh::crypto
