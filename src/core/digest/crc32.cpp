#include "core/digest/crc32.h"

#include <bit>
#include <cstring>

void Crc32Update(uint32_t* running, const void* data, size_t length) noexcept {
  using cvcore::crc32::kTables;
  const auto* p = static_cast<const uint8_t*>(data);
  uint32_t crc = *running;

  if constexpr (std::endian::native == std::endian::little) {
    // Slicing by 8: one table look-up per byte but no serial dependency between them.
    for (; length >= 8; p += 8, length -= 8) {
      uint32_t lo, hi;
      std::memcpy(&lo, p, 4);
      std::memcpy(&hi, p + 4, 4);
      lo ^= crc;
      crc = kTables[7][lo & 0xFF] ^ kTables[6][(lo >> 8) & 0xFF] ^ kTables[5][(lo >> 16) & 0xFF] ^
            kTables[4][lo >> 24] ^ kTables[3][hi & 0xFF] ^ kTables[2][(hi >> 8) & 0xFF] ^
            kTables[1][(hi >> 16) & 0xFF] ^ kTables[0][hi >> 24];
    }
  }
  for (; length != 0; ++p, --length) Crc32Step(*p, &crc);
  *running = crc;
}
