// The CRC-compensation attack detector: an attacker who can insert blocks into an SSH-1
// stream repeats ciphertext blocks so that the CRC still matches. A buffer with a repeated
// block whose CRC contribution cancels out is refused before it is decrypted.
#include <cstdlib>
#include <cstring>
#include <vector>

#include "ssh/proto/packet.h"
#include "ssh/proto/ssh1.h"

struct CrcAttackDetector {
  std::vector<uint16_t> table;
  std::vector<uint8_t> checked;  // the slot's block content already checked negative
  uint32_t size = 4096;
};

namespace {

constexpr uint32_t kBlock = 8;
constexpr uint16_t kEmpty = 0xFFFF;
// Block indexes are 16 bits and 0xFFFF and 0xFFFE are markers.
constexpr uint32_t kMaxBlocks = 65534;
constexpr uint32_t kSmallBuffer = 7 * kBlock;

bool SameBlock(const uint8_t* a, const uint8_t* b) { return std::memcmp(a, b, kBlock) == 0; }

// Whether the blocks equal to s, taken as ones and the rest as zeros, leave the CRC unchanged.
bool CrcCancels(const uint8_t* bytes, uint32_t n, const uint8_t* s) {
  static const uint8_t kOne[4] = {1, 0, 0, 0}, kZero[4] = {0, 0, 0, 0};
  uint32_t crc = 0;
  for (uint32_t at = 0; at < n; at += kBlock) {
    crc = SshCrc32Update(crc, SameBlock(bytes + at, s) ? kOne : kZero, 4);
    crc = SshCrc32Update(crc, kZero, 4);
  }
  return crc == 0;
}

uint32_t Load32(const uint8_t* b) {
  return uint32_t(b[0]) << 24 | uint32_t(b[1]) << 16 | uint32_t(b[2]) << 8 | b[3];
}

}  // namespace

CrcAttackDetector* CrcAttackDetectorNew() { return new CrcAttackDetector(); }

void CrcAttackDetectorFree(CrcAttackDetector* d) { delete d; }

int32_t CrcAttackDetect(CrcAttackDetector* d, const uint8_t* bytes, uint32_t n) {
  const uint32_t blocks = n / kBlock;
  if (blocks > kMaxBlocks) return 1;
  if (n <= kSmallBuffer) {
    for (uint32_t j = 1; j < blocks; ++j)
      for (uint32_t i = 0; i < j; ++i)
        if (SameBlock(bytes + i * kBlock, bytes + j * kBlock)) {
          if (CrcCancels(bytes, n, bytes + j * kBlock)) return 1;
          break;
        }
    return 0;
  }
  while (d->size < blocks * 3 / 2) d->size *= 4;
  d->table.assign(d->size, kEmpty);
  d->checked.assign(d->size, 0);
  const uint32_t mask = d->size - 1;
  for (uint32_t j = 0; j < blocks; ++j) {
    const uint8_t* block = bytes + j * kBlock;
    uint32_t slot = Load32(block) & mask;
    for (; d->table[slot] != kEmpty; slot = (slot + 1) & mask) {
      if (!SameBlock(bytes + d->table[slot] * kBlock, block)) continue;
      // The check depends only on the block's content: a content found clean once is
      // not checked again, so a buffer of many equal blocks costs no quadratic time.
      if (!d->checked[slot]) {
        if (CrcCancels(bytes, n, block)) return 1;
        d->checked[slot] = 1;
      }
      break;
    }
    d->table[slot] = uint16_t(j);
  }
  return 0;
}
