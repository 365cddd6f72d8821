// The inflate decoder: a state machine that takes whatever bytes arrive, decodes every
// symbol they complete and keeps its place (bits, block, tables, window) for the next
// call.
#include <cstring>
#include <new>

#include "ssh/compress/zlib.h"
#include "ssh/compress/zlib_huffman.h"
#include "ssh/compress/zlib_tables.h"
#include "ssh/util/alloc.h"

using namespace sshzlib;

namespace {

enum class State {
  kHeader,
  kBlockHeader,
  kStoredLength,
  kStoredData,
  kTableCounts,
  kCodeLengthLengths,
  kLengths,
  kLengthRepeat,
  kSymbol,
  kLengthExtra,
  kDistanceSymbol,
  kDistanceExtra,
};

constexpr uint8_t kCodeLengthOrder[19] = {16, 17, 18, 0, 8, 7, 9, 6, 10, 5, 11, 4, 12, 3, 13, 2, 14, 1, 15};

}  // namespace

struct ZlibDecompressor {
  HuffTable static_literals, static_distances;
  HuffTable dynamic_literals, dynamic_distances;
  HuffTable code_lengths;
  const HuffTable* literals = nullptr;
  const HuffTable* distances = nullptr;
  State state = State::kHeader;
  uint32_t bits = 0;
  int bit_count = 0;
  // The block or symbol in progress.
  int32_t length = 0;  // stored bytes left, or the match length
  int distance = 0;
  int extra = 0;  // extra bits of the length or distance code
  int literal_count = 0, distance_count = 0, code_length_count = 0;
  int lengths_read = 0;
  int repeat_symbol = 0;
  uint8_t code_length_lengths[19] = {};
  uint8_t lengths[320] = {};
  uint8_t window[kWindowSize] = {};
  int window_position = 0;

  ZlibDecompressor() {
    uint8_t fixed[288];
    for (int i = 0; i < 288; ++i) fixed[i] = i < 144 ? 8 : i < 256 ? 9 : i < 280 ? 7 : 8;
    uint8_t five[32];
    std::memset(five, 5, sizeof five);
    static_literals.Build(fixed, 288);
    static_distances.Build(five, 32);
  }
  ~ZlibDecompressor() { explicit_bzero(window, sizeof window); }

  bool Take(int count, uint32_t* value) {
    if (bit_count < count) return false;
    *value = count == 32 ? bits : bits & ((1u << count) - 1);
    bits = count == 32 ? 0 : bits >> count;
    bit_count -= count;
    return true;
  }

  bool Emit(OutBuffer& out, uint8_t byte) {
    window[window_position] = byte;
    window_position = (window_position + 1) & kWindowMask;
    return out.length() < kZlibMaxOutput && out.Put(byte);
  }

  enum Step { kContinue, kNeedBits, kFail };

  // Reads one symbol of `table`.
  Step Symbol(const HuffTable& table, int* symbol) {
    int used = 0;
    switch (table.Decode(bits, bit_count, symbol, &used)) {
      case HuffTable::kDecoded:
        bits >>= used;
        bit_count -= used;
        return kContinue;
      case HuffTable::kNeedBits:
        return kNeedBits;
      default:
        return kFail;
    }
  }

  Step Run(OutBuffer& out);
  Step ReadLengths();
};

ZlibDecompressor::Step ZlibDecompressor::ReadLengths() {
  const int total = literal_count + distance_count;
  while (lengths_read < total) {
    if (state == State::kLengthRepeat) {
      // Symbol 16 repeats the previous length 3-6 times, 17 and 18 write zeros.
      const int extra_bits = repeat_symbol == 16 ? 2 : repeat_symbol == 17 ? 3 : 7;
      uint32_t v;
      if (!Take(extra_bits, &v)) return kNeedBits;
      const int base = repeat_symbol == 16 ? 3 : repeat_symbol == 17 ? 3 : 11;
      const uint8_t value = repeat_symbol == 16 && lengths_read > 0 ? lengths[lengths_read - 1] : 0;
      for (int i = 0; i < base + static_cast<int>(v) && lengths_read < total; ++i) lengths[lengths_read++] = value;
      state = State::kLengths;
      continue;
    }
    int symbol;
    Step step = Symbol(code_lengths, &symbol);
    if (step != kContinue) return step;
    if (symbol < 16) {
      lengths[lengths_read++] = static_cast<uint8_t>(symbol);
    } else {
      repeat_symbol = symbol;
      state = State::kLengthRepeat;
    }
  }
  code_lengths.Clear();
  if (!dynamic_literals.Build(lengths, literal_count) ||
      !dynamic_distances.Build(lengths + literal_count, distance_count))
    return kFail;
  literals = &dynamic_literals;
  distances = &dynamic_distances;
  state = State::kSymbol;
  return kContinue;
}

ZlibDecompressor::Step ZlibDecompressor::Run(OutBuffer& out) {
  for (;;) {
    uint32_t v;
    switch (state) {
      case State::kHeader: {
        if (!Take(16, &v)) return kNeedBits;
        const uint32_t cmf = v & 0xFF, flg = v >> 8;
        if ((cmf & 0x0F) != 8 || (cmf >> 4) > 7 || (flg & 0x20) || ((cmf << 8) | flg) % 31 != 0) return kFail;
        state = State::kBlockHeader;
        break;
      }
      case State::kBlockHeader:
        if (!Take(3, &v)) return kNeedBits;
        switch (v >> 1) {  // the final-block bit is ignored: the stream never ends
          case 0:
            Take(bit_count % 8, &v);
            state = State::kStoredLength;
            break;
          case 1:
            literals = &static_literals;
            distances = &static_distances;
            state = State::kSymbol;
            break;
          case 2:
            state = State::kTableCounts;
            break;
          default:
            break;  // a reserved type is skipped
        }
        break;
      case State::kStoredLength:
        if (!Take(32, &v)) return kNeedBits;
        length = static_cast<int32_t>(v & 0xFFFF);  // the complement is not compared
        state = State::kStoredData;
        break;
      case State::kStoredData:
        while (length > 0) {
          if (!Take(8, &v)) return kNeedBits;
          if (!Emit(out, static_cast<uint8_t>(v))) return kFail;
          --length;
        }
        state = State::kBlockHeader;
        break;
      case State::kTableCounts:
        if (!Take(14, &v)) return kNeedBits;
        literal_count = static_cast<int>(v & 31) + 257;
        distance_count = static_cast<int>((v >> 5) & 31) + 1;
        code_length_count = static_cast<int>(v >> 10) + 4;
        std::memset(code_length_lengths, 0, sizeof code_length_lengths);
        lengths_read = 0;
        state = State::kCodeLengthLengths;
        break;
      case State::kCodeLengthLengths:
        while (lengths_read < code_length_count) {
          if (!Take(3, &v)) return kNeedBits;
          code_length_lengths[kCodeLengthOrder[lengths_read++]] = static_cast<uint8_t>(v);
        }
        if (!code_lengths.Build(code_length_lengths, 19)) return kFail;
        lengths_read = 0;
        state = State::kLengths;
        break;
      case State::kLengths:
      case State::kLengthRepeat: {
        Step step = ReadLengths();
        if (step != kContinue) return step;
        break;
      }
      case State::kSymbol: {
        int symbol;
        Step step = Symbol(*literals, &symbol);
        if (step != kContinue) return step;
        if (symbol < 256) {
          if (!Emit(out, static_cast<uint8_t>(symbol))) return kFail;
        } else if (symbol == 256) {
          dynamic_literals.Clear();
          dynamic_distances.Clear();
          state = State::kBlockHeader;
        } else if (symbol <= 285) {
          length = kLengthCodes[symbol - 257].base;
          extra = kLengthCodes[symbol - 257].extra_bits;
          state = State::kLengthExtra;
        }  // 286 and 287 are ignored
        break;
      }
      case State::kLengthExtra:
        if (!Take(extra, &v)) return kNeedBits;
        length += static_cast<int32_t>(v);
        state = State::kDistanceSymbol;
        break;
      case State::kDistanceSymbol: {
        int symbol;
        Step step = Symbol(*distances, &symbol);
        if (step != kContinue) return step;
        if (symbol >= 30) return kFail;  // codes 30 and 31 have no distance
        distance = kDistanceCodes[symbol].base;
        extra = kDistanceCodes[symbol].extra_bits;
        state = State::kDistanceExtra;
        break;
      }
      case State::kDistanceExtra:
        if (!Take(extra, &v)) return kNeedBits;
        distance += static_cast<int>(v);
        // Bytes before the start of the stream read as zeros from the window.
        for (int32_t i = 0; i < length; ++i)
          if (!Emit(out, window[(window_position - distance) & kWindowMask])) return kFail;
        state = State::kSymbol;
        break;
    }
  }
}

ZlibDecompressor* ZlibDecompressNew() {
  void* memory = cvssh::AllocOrDie(sizeof(ZlibDecompressor));
  return new (memory) ZlibDecompressor();
}

void ZlibDecompressFree(ZlibDecompressor* d) {
  if (!d) return;
  d->~ZlibDecompressor();
  CheckedFree(d);
}

static int32_t Fail(uint8_t** out, int32_t* out_length) {
  *out = nullptr;
  *out_length = 0;
  return 0;
}

int32_t ZlibDecompress(ZlibDecompressor* d, const uint8_t* bytes, int32_t n, uint8_t** out, int32_t* out_length) {
  OutBuffer buffer(256);
  for (int32_t at = 0;;) {
    // Whole bytes are added while there is room, so every symbol sees up to 25 bits.
    while (d->bit_count <= 24 && at < n) {
      d->bits |= uint32_t{bytes[at++]} << d->bit_count;
      d->bit_count += 8;
    }
    ZlibDecompressor::Step step = d->Run(buffer);
    if (step == ZlibDecompressor::kFail) return Fail(out, out_length);
    if (at >= n) break;  // kNeedBits with nothing left to add
    if (d->bit_count > 24) return Fail(out, out_length);  // cannot happen: no step needs more
  }
  *out = buffer.Release(out_length);
  return *out ? 1 : 0;
}
