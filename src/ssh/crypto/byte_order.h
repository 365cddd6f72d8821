#pragma once
// Big- and little-endian word access for the crypto code (unaligned-safe).
#include <cstdint>

namespace cvssh::crypto {

inline uint32_t LoadBe32(const uint8_t* p) {
  return uint32_t(p[0]) << 24 | uint32_t(p[1]) << 16 | uint32_t(p[2]) << 8 | p[3];
}
inline void StoreBe32(uint8_t* p, uint32_t v) {
  p[0] = uint8_t(v >> 24); p[1] = uint8_t(v >> 16); p[2] = uint8_t(v >> 8); p[3] = uint8_t(v);
}
inline uint32_t LoadLe32(const uint8_t* p) {
  return uint32_t(p[3]) << 24 | uint32_t(p[2]) << 16 | uint32_t(p[1]) << 8 | p[0];
}
inline void StoreLe32(uint8_t* p, uint32_t v) {
  p[0] = uint8_t(v); p[1] = uint8_t(v >> 8); p[2] = uint8_t(v >> 16); p[3] = uint8_t(v >> 24);
}
inline uint64_t LoadBe64(const uint8_t* p) { return uint64_t(LoadBe32(p)) << 32 | LoadBe32(p + 4); }
inline void StoreBe64(uint8_t* p, uint64_t v) { StoreBe32(p, uint32_t(v >> 32)); StoreBe32(p + 4, uint32_t(v)); }

constexpr uint32_t Rotl32(uint32_t x, int n) { return (x << n) | (x >> ((32 - n) & 31)); }
constexpr uint32_t Rotr32(uint32_t x, int n) { return (x >> n) | (x << ((32 - n) & 31)); }
constexpr uint64_t Rotr64(uint64_t x, int n) { return (x >> n) | (x << ((64 - n) & 63)); }

}  // namespace cvssh::crypto
