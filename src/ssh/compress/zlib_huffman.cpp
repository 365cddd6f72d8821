// Building and reading the decoding tables.
#include "ssh/compress/zlib_huffman.h"

namespace sshzlib {

namespace {

constexpr int kMaxCodeLength = 15;
constexpr int kRootBits = 9;
constexpr int kSubBits = 7;

uint32_t Reverse(uint32_t code, int bits) {
  uint32_t r = 0;
  for (int i = 0; i < bits; ++i) r |= ((code >> i) & 1) << (bits - 1 - i);
  return r;
}

}  // namespace

bool HuffTable::Build(const uint8_t* lengths, int count) {
  entries_.clear();
  int per_length[kMaxCodeLength + 1] = {};
  int longest = 0;
  for (int i = 0; i < count; ++i) {
    if (lengths[i] > kMaxCodeLength) return false;
    ++per_length[lengths[i]];
    if (lengths[i] > longest) longest = lengths[i];
  }
  // Canonical codes: the first code of each length, checking the space is not exceeded.
  uint32_t next_code[kMaxCodeLength + 2] = {};
  uint32_t code = 0;
  per_length[0] = 0;
  for (int len = 1; len <= kMaxCodeLength; ++len) {
    code = (code + static_cast<uint32_t>(per_length[len - 1])) << 1;
    next_code[len] = code;
    if (code + static_cast<uint32_t>(per_length[len]) > (1u << len)) return false;
  }
  root_bits_ = longest < kRootBits ? longest : kRootBits;
  if (root_bits_ == 0) root_bits_ = 1;  // no codes at all: every pattern is unused
  entries_.assign(size_t{1} << root_bits_, HuffEntry{0, 0, 0});
  for (int symbol = 0; symbol < count; ++symbol) {
    const int len = lengths[symbol];
    if (len == 0) continue;
    const uint32_t reversed = Reverse(next_code[len]++, len);
    if (len <= root_bits_) {
      for (uint32_t i = reversed; i < (1u << root_bits_); i += 1u << len)
        entries_[i] = HuffEntry{static_cast<uint16_t>(symbol), static_cast<uint8_t>(len), 0};
      continue;
    }
    const uint32_t root = reversed & ((1u << root_bits_) - 1);
    if (entries_[root].symbol != kSubTable || entries_[root].length == 0) {
      const int remaining = longest - root_bits_;
      const int width = remaining < kSubBits ? remaining : kSubBits;
      entries_[root] = HuffEntry{kSubTable, static_cast<uint8_t>(width), static_cast<uint32_t>(entries_.size())};
      entries_.resize(entries_.size() + (size_t{1} << width), HuffEntry{0, 0, 0});
    }
    const HuffEntry sub = entries_[root];
    const int rest = len - root_bits_;
    for (uint32_t i = reversed >> root_bits_; i < (1u << sub.length); i += 1u << rest)
      entries_[sub.next + i] = HuffEntry{static_cast<uint16_t>(symbol), static_cast<uint8_t>(len), 0};
  }
  return true;
}

HuffTable::Result HuffTable::Decode(uint32_t bits, int available, int* symbol, int* used) const {
  if (entries_.empty()) return kBadCode;
  const HuffEntry* e = &entries_[bits & ((1u << root_bits_) - 1)];
  int needed = root_bits_;
  if (e->symbol == kSubTable && e->length != 0) {
    needed += e->length;
    e = &entries_[e->next + ((bits >> root_bits_) & ((1u << e->length) - 1))];
  }
  if (e->length == 0) return available >= needed ? kBadCode : kNeedBits;
  if (e->length > available) return kNeedBits;
  *symbol = e->symbol;
  *used = e->length;
  return kDecoded;
}

}  // namespace sshzlib
