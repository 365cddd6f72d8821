// Decoding tables of canonical Huffman codes: a table indexed by the next bits of the
// stream (least significant first, so codes are stored bit-reversed), whose entries for
// longer codes lead to a sub-table indexed by the bits after.
#pragma once

#include <cstddef>
#include <cstdint>
#include <vector>

namespace sshzlib {

inline constexpr uint16_t kSubTable = 0xFFFF;

struct HuffEntry {
  uint16_t symbol;  // kSubTable: `length` is the sub-table's index width, `next` its start
  uint8_t length;   // 0 for a bit pattern no code uses
  uint32_t next;
};

class HuffTable {
 public:
  // False for lengths that over-subscribe the code space. Lengths above 15 are refused.
  bool Build(const uint8_t* lengths, int count);
  bool empty() const { return entries_.empty(); }
  void Clear() { entries_.clear(); }

  enum Result { kDecoded, kNeedBits, kBadCode };
  // Decodes a symbol from the `available` bits in `bits`; on kDecoded sets the symbol and
  // how many bits it used.
  Result Decode(uint32_t bits, int available, int* symbol, int* used) const;

 private:
  int root_bits_ = 0;
  std::vector<HuffEntry> entries_;  // the root table, then the sub-tables
};

}  // namespace sshzlib
