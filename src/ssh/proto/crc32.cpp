// The SSH-1 packet checksum: CRC-32 with the reflected polynomial 0xEDB88320, initial
// value 0 and no final inversion (unlike the common CRC-32).
#include <array>

#include "ssh/proto/packet.h"

namespace {

constexpr std::array<uint32_t, 256> MakeTable() {
  std::array<uint32_t, 256> table{};
  for (uint32_t i = 0; i < 256; ++i) {
    uint32_t c = i;
    for (int k = 0; k < 8; ++k) c = (c & 1) ? (c >> 1) ^ 0xEDB88320u : c >> 1;
    table[i] = c;
  }
  return table;
}

constexpr std::array<uint32_t, 256> kTable = MakeTable();

}  // namespace

uint32_t SshCrc32Update(uint32_t crc, const void* bytes, uint32_t length) {
  auto* p = static_cast<const uint8_t*>(bytes);
  for (uint32_t i = 0; i < length; ++i) crc = kTable[(crc ^ p[i]) & 0xFF] ^ (crc >> 8);
  return crc;
}

uint32_t SshCrc32(const void* bytes, uint32_t length) { return SshCrc32Update(0, bytes, length); }
