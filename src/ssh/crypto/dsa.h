// DSA keys and "ssh-dss" signatures with a deterministic nonce.
#pragma once

#include <cstdint>

#include "ssh/crypto/mpint.h"
#include "ssh/crypto/rsa.h"

struct SshDsaKey {
  MpInt p;
  MpInt q;  // 160-bit subgroup order
  MpInt g;
  MpInt y;
  MpInt x;  // nullptr in a public key
};

extern const SshHostKeyDesc SshDss;

// As SshGetMpInt, but a negative mpint (top bit of the first byte set) gives nullptr.
MpInt DsaGetMpInt(const uint8_t** cursor, int32_t* remaining);

void* DsaNewPublic(const uint8_t* blob, int32_t length);
void DsaFreeKey(void* key);
char* DsaFormatKey(void* key);
uint8_t* DsaPublicBlob(void* key, int32_t* length);
uint8_t* DsaPrivateBlob(void* key, int32_t* length);
void* DsaNewPrivate(const uint8_t* public_blob, int32_t public_length, const uint8_t* private_blob,
                    int32_t private_length);
void* DsaImportPrivate(const uint8_t* data, int32_t length);
int32_t DsaExportPrivate(void* key, uint8_t* buffer, int32_t size);
int32_t DsaPublicBits(const uint8_t* blob, int32_t length);
char* DsaFingerprint(void* key);
int32_t DsaVerify(void* key, const uint8_t* signature, int32_t signature_length, const uint8_t* data,
                  int32_t data_length);
uint8_t* DsaSign(void* key, const uint8_t* data, int32_t data_length, int32_t* length);

inline constexpr int kDsaMaxBits = 8192;
