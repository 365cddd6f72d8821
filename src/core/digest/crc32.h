#pragma once
// The standard reflected CRC-32 (polynomial 0xEDB88320). A CRC starts at 0xFFFFFFFF,
// is fed with Crc32Step or Crc32Update, and is finished by inverting all bits.
#include <array>
#include <cstddef>
#include <cstdint>

namespace cvcore::crc32 {

inline constexpr uint32_t kPolynomial = 0xEDB88320u;

// kTables[0] is the classic byte table; kTables[k][b] is the CRC of byte b followed by
// k zero bytes, which lets Crc32Update fold eight bytes per step.
inline constexpr auto kTables = [] {
  std::array<std::array<uint32_t, 256>, 8> t{};
  for (uint32_t b = 0; b < 256; ++b) {
    uint32_t c = b;
    for (int k = 0; k < 8; ++k) c = (c & 1) ? (c >> 1) ^ kPolynomial : c >> 1;
    t[0][b] = c;
  }
  for (size_t k = 1; k < 8; ++k)
    for (size_t b = 0; b < 256; ++b) t[k][b] = (t[k - 1][b] >> 8) ^ t[0][t[k - 1][b] & 0xFF];
  return t;
}();

}  // namespace cvcore::crc32

// Feeds one byte into the running value.
inline void Crc32Step(uint8_t byte, uint32_t* running) noexcept {
  *running = cvcore::crc32::kTables[0][(*running ^ byte) & 0xFF] ^ (*running >> 8);
}

// Feeds length bytes into the running value; the same result as Crc32Step on each byte.
void Crc32Update(uint32_t* running, const void* data, size_t length) noexcept;
