#pragma once
// DES block function on two 32-bit halves (big-endian words of the 8-byte block).
#include <cstdint>

namespace cvssh::crypto {

struct DesKey {
  uint64_t sub[16];  // 48-bit round subkeys
};

// Eight key bytes; parity bits are ignored and weak keys are not refused.
void DesSetKey(DesKey* k, const uint8_t key[8]);
void DesEncrypt(const DesKey& k, uint32_t& l, uint32_t& r);
void DesDecrypt(const DesKey& k, uint32_t& l, uint32_t& r);

}  // namespace cvssh::crypto
