// The deflate compressor: LZ77 over a 32 KB window with hash chains, one lazily held
// match, static Huffman codes, and a flush at every packet end so that the peer can
// decode each packet as soon as it arrives. The stream never ends.
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <new>

#include "ssh/compress/zlib.h"
#include "ssh/compress/zlib_tables.h"
#include "ssh/util/alloc.h"

using namespace sshzlib;

namespace {

constexpr uint16_t kNone = 0xFFFF;
constexpr int kBuckets = 2039;
constexpr int kMaxCandidates = 32;
constexpr int kMaxMatchPiece = 258;
constexpr int32_t kMaxStoredBlock = 65535;

struct ChainNode {
  uint16_t next;    // older position in the same bucket
  uint16_t prev;    // newer position, kNone at the head
  uint16_t bucket;  // kNone while the position holds no byte
};

int Hash(uint8_t b0, uint8_t b1, uint8_t b2) { return (257 * b0 + 263 * b1 + 269 * b2) % kBuckets; }

uint32_t Reverse(uint32_t code, int bits) {
  uint32_t r = 0;
  for (int i = 0; i < bits; ++i) r |= ((code >> i) & 1) << (bits - 1 - i);
  return r;
}

// The index of the range whose base is the largest not above `value`.
template <size_t N>
int FindRange(const CodeRange (&table)[N], int value) {
  int lo = 0, hi = static_cast<int>(N) - 1;
  while (lo < hi) {
    int mid = (lo + hi + 1) / 2;
    if (table[mid].base <= value) lo = mid; else hi = mid - 1;
  }
  return lo;
}

// Compression has no failure path: a lost byte would corrupt the stream for good.
[[noreturn]] void OutOfMemory() {
  std::fputs("out of memory in the SSH compressor\n", stderr);
  std::abort();
}

}  // namespace

struct ZlibCompressor {
  // LZ77 state.
  uint8_t window[kWindowSize];
  ChainNode nodes[kWindowSize];
  uint16_t heads[kBuckets];
  uint16_t position;  // where the next byte goes
  uint8_t pending[2];
  int pending_count;
  // Output state.
  uint32_t bits;
  int bit_count;
  bool first_block;  // until the zlib header is written
  bool disabled;     // next packet in stored blocks
  sshzlib::OutBuffer* out;  // of the current call

  ZlibCompressor() : position(0), pending_count(0), bits(0), bit_count(0), first_block(true), disabled(false), out(nullptr) {
    std::memset(window, 0, sizeof window);
    for (ChainNode& n : nodes) n = {kNone, kNone, kNone};
    for (uint16_t& h : heads) h = kNone;
  }
  ~ZlibCompressor() {
    explicit_bzero(window, sizeof window);
    explicit_bzero(pending, sizeof pending);
  }

  // Bits go out least significant first.
  void PutBits(uint32_t value, int count) {
    bits |= value << bit_count;
    bit_count += count;
    while (bit_count >= 8) {
      if (!out->Put(static_cast<uint8_t>(bits))) OutOfMemory();
      bits >>= 8;
      bit_count -= 8;
    }
  }
  void PutCode(uint32_t code, int count) { PutBits(Reverse(code, count), count); }

  void AddByte(uint8_t b0, uint8_t b1, uint8_t b2) {
    ChainNode& node = nodes[position];
    if (node.bucket != kNone) {  // the position's old byte leaves the window
      if (node.prev != kNone) nodes[node.prev].next = node.next; else heads[node.bucket] = node.next;
      if (node.next != kNone) nodes[node.next].prev = node.prev;
    }
    const uint16_t bucket = static_cast<uint16_t>(Hash(b0, b1, b2));
    node = {heads[bucket], kNone, bucket};
    if (node.next != kNone) nodes[node.next].prev = position;
    heads[bucket] = position;
    window[position] = b0;
    position = static_cast<uint16_t>((position + 1) & kWindowMask);
  }

  // Passes over `count` bytes from data[at]: each joins the window once the two bytes
  // after it are known, else waits in `pending`.
  void Advance(const uint8_t* data, int32_t n, int32_t at, int32_t count) {
    for (int32_t k = at; k < at + count; ++k) {
      if (k + 2 < n) AddByte(data[k], data[k + 1], data[k + 2]);
      else pending[pending_count++] = data[k];
    }
  }

  // Pending bytes of the last call are hashed with the first new ones.
  void HashPending(const uint8_t* data, int32_t n) {
    uint8_t joined[4];
    int total = 0;
    for (int i = 0; i < pending_count; ++i) joined[total++] = pending[i];
    for (int32_t i = 0; i < n && total < 4; ++i) joined[total++] = data[i];
    int done = 0;
    while (done < pending_count && done + 2 < total) {
      AddByte(joined[done], joined[done + 1], joined[done + 2]);
      ++done;
    }
    for (int i = done; i < pending_count; ++i) pending[i - done] = pending[i];
    pending_count -= done;
    explicit_bzero(joined, sizeof joined);
  }

  // The byte `j` places after the match candidate `distance` back from data[at].
  uint8_t MatchByte(const uint8_t* data, int32_t at, int distance, int32_t j) const {
    if (j < distance) return window[(position - distance + j) & kWindowMask];
    return data[at + j - distance];
  }

  // The longest match for data[at..n) among up to 32 candidates of its hash chain; the
  // most recent one wins among equals. 0 when there is none.
  int32_t FindMatch(const uint8_t* data, int32_t n, int32_t at, int* distance) const {
    int candidates[kMaxCandidates];
    int found = 0;
    for (uint16_t p = heads[Hash(data[at], data[at + 1], data[at + 2])]; p != kNone && found < kMaxCandidates;
         p = nodes[p].next) {
      int d = (position - p) & kWindowMask;
      if (d == 0) d = kWindowSize;
      if (MatchByte(data, at, d, 0) == data[at] && MatchByte(data, at, d, 1) == data[at + 1] &&
          MatchByte(data, at, d, 2) == data[at + 2])
        candidates[found++] = d;
    }
    if (found == 0) return 0;
    int32_t length = 3;
    while (at + length < n) {
      int survivors = 0;
      for (int i = 0; i < found; ++i)
        if (MatchByte(data, at, candidates[i], length) == data[at + length]) candidates[survivors++] = candidates[i];
      if (survivors == 0) break;
      found = survivors;
      ++length;
    }
    *distance = candidates[0];
    return length;
  }

  void EmitLiteral(uint8_t c) {
    if (disabled) PutBits(c, 8);
    else if (c < 144) PutCode(0x30u + c, 8);
    else PutCode(0x190u + (c - 144u), 9);
  }

  void EmitMatchPiece(int length, int distance) {
    const int l = FindRange(kLengthCodes, length);
    const uint32_t symbol = 257u + static_cast<uint32_t>(l);
    if (symbol <= 279) PutCode(symbol - 256, 7); else PutCode(0xC0 + symbol - 280, 8);
    PutBits(static_cast<uint32_t>(length - kLengthCodes[l].base), kLengthCodes[l].extra_bits);
    const int d = FindRange(kDistanceCodes, distance);
    PutCode(static_cast<uint32_t>(d), 5);
    PutBits(static_cast<uint32_t>(distance - kDistanceCodes[d].base), kDistanceCodes[d].extra_bits);
  }

  // Lengths above 258 go in pieces of at least 3 each.
  void EmitMatch(int32_t length, int distance) {
    while (length > 0) {
      int piece = length >= kMaxMatchPiece + 3 ? kMaxMatchPiece : length > kMaxMatchPiece ? length - 3 : length;
      EmitMatchPiece(piece, distance);
      length -= piece;
    }
  }

  void Lz77(const uint8_t* data, int32_t n, bool compress) {
    HashPending(data, n);
    bool held = false;
    int32_t held_length = 0;
    int held_distance = 0;
    uint8_t held_byte = 0;
    int32_t at = 0;
    while (at < n) {
      int32_t length = 0;
      int distance = 0;
      if (compress && n - at >= 3 && pending_count == 0) length = FindMatch(data, n, at, &distance);
      if (held) {
        if (length > held_length + 1) {
          EmitLiteral(held_byte);  // the later, longer match replaces the held one
          held_length = length;
          held_distance = distance;
          held_byte = data[at];
          Advance(data, n, at, 1);
          at += 1;
        } else {
          EmitMatch(held_length, held_distance);
          held = false;
          Advance(data, n, at, held_length - 1);
          at += held_length - 1;
        }
      } else if (length > 0) {
        held = true;
        held_length = length;
        held_distance = distance;
        held_byte = data[at];
        Advance(data, n, at, 1);
        at += 1;
      } else {
        EmitLiteral(data[at]);
        Advance(data, n, at, 1);
        at += 1;
      }
    }
    if (held) EmitMatch(held_length, held_distance);  // cannot happen: a match ends in the data
  }
};

ZlibCompressor* ZlibCompressNew() {
  void* memory = cvssh::AllocOrDie(sizeof(ZlibCompressor));
  return new (memory) ZlibCompressor();
}

void ZlibCompressFree(ZlibCompressor* c) {
  if (!c) return;
  c->~ZlibCompressor();
  CheckedFree(c);
}

int32_t ZlibDisableCompression(ZlibCompressor* c) {
  c->disabled = true;
  if (c->first_block) return 7;
  return (c->bit_count + 10) / 8 + 4;
}

int32_t ZlibCompress(ZlibCompressor* c, const uint8_t* bytes, int32_t n, uint8_t** out, int32_t* out_length) {
  if (n < 0 || (!bytes && n > 0)) n = 0;
  // Literals cost at most 9 bits a byte, so this is nearly always the final size.
  const int64_t estimate = int64_t{n} + n / 8 + 64;
  OutBuffer buffer(static_cast<int32_t>(estimate < (1 << 24) ? estimate : (1 << 24)));
  c->out = &buffer;
  bool block_open = !c->first_block;
  if (c->first_block) {
    c->PutBits(0x9C78, 16);
    c->first_block = false;
  }
  if (!c->disabled) {
    if (!block_open) c->PutBits(2, 3);
    c->Lz77(bytes, n, true);
    c->PutBits(0, 7);   // end of block
    c->PutBits(2, 10);  // an empty static block pushes the data out to the peer
    c->PutBits(2, 3);
  } else {
    if (block_open) c->PutBits(0, 7);
    int32_t at = 0;
    do {
      const int32_t length = n - at < kMaxStoredBlock ? n - at : kMaxStoredBlock;
      c->PutBits(0, 3);
      c->PutBits(0, (8 - c->bit_count % 8) % 8);
      c->PutBits(static_cast<uint32_t>(length), 16);
      c->PutBits(static_cast<uint32_t>(length) ^ 0xFFFF, 16);
      c->Lz77(bytes + at, length, false);
      at += length;
    } while (at < n);
    c->PutBits(2, 3);
    c->disabled = false;
  }
  c->out = nullptr;
  *out = buffer.Release(out_length);
  if (!*out) OutOfMemory();
  return 1;
}
