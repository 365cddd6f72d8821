// Multiprecision unsigned integers for the SSH public-key operations.
//
// An MpInt is an array of 16-bit words: word 0 holds the limb count N, words 1..N the
// limbs, least significant first. Whoever receives a number from an operation owns it
// and releases it with MpFree, which wipes it. Operations that cannot obtain memory
// return nullptr, and every operation given a nullptr operand returns nullptr (or 0),
// so a failure travels to the caller that checks the final result.
#pragma once

#include <cstddef>
#include <cstdint>

typedef uint16_t* MpInt;
typedef const uint16_t* MpConstInt;

// One limb of value 1, and no limbs at all. Never freed (MpFree ignores them).
extern const MpConstInt MpOne;
extern const MpConstInt MpZero;

// Largest number the readers accept, in bytes.
inline constexpr size_t kMpMaxBytes = 16384;

// Creation and release.
MpInt MpNew(int limbs);
MpInt MpCopy(MpConstInt a);
void MpFree(MpConstInt a);
MpInt MpPowerOfTwo(int n);

// Arithmetic; operands are not modified.
MpInt MpModPow(MpConstInt base, MpConstInt exponent, MpConstInt modulus);
MpInt MpModMul(MpConstInt a, MpConstInt b, MpConstInt modulus);
MpInt MpMod(MpConstInt a, MpConstInt modulus);
MpInt MpMul(MpConstInt a, MpConstInt b);
MpInt MpMulAdd(MpConstInt a, MpConstInt b, MpConstInt addend);
// nullptr when no inverse exists (including modulus 0 or 1).
MpInt MpModInverse(MpConstInt a, MpConstInt modulus);
void MpDecrement(MpInt a);
MpInt MpShiftRightOne(MpConstInt a);
MpInt MpBitMask(MpConstInt a);
int MpCompare(MpConstInt a, MpConstInt b);

// Bits and bytes.
int MpBitCount(MpConstInt a);
int MpByte(MpConstInt a, int i);
void MpSetBit(MpInt a, int i, int value);
// nullptr for more than kMpMaxBytes bytes.
MpInt MpFromBytes(const uint8_t* bytes, size_t n);

// SSH-1 form: 16-bit bit count, then the value bytes.
int MpSsh1Length(MpConstInt a);
int MpWriteSsh1(uint8_t* buffer, MpConstInt a);
int MpReadSsh1(const uint8_t* bytes, int length, MpInt* result);

// SSH-2 mpint form of a non-negative number (RFC 4251).
int MpSsh2Length(MpConstInt a);
// Writes the MpSsh2Length(a) bytes of the form; returns their count.
int MpWriteSsh2(uint8_t* buffer, MpConstInt a);
// Writes the value as exactly `size` big-endian bytes (high bytes beyond it dropped).
void MpWriteFixed(uint8_t* buffer, size_t size, MpConstInt a);

// Feeds the SSH-2 form into a running digest through append(state, bytes, length).
template <class State, class Append>
void MpHashSsh2(State* state, Append append, MpConstInt a);

// Internal helpers exposed for the other key modules.
namespace sshmp {
// Lowercase hexadecimal without leading zeros, at least one digit; nullptr-safe.
void AppendHex(char* out, size_t* pos, MpConstInt a);
size_t HexLength(MpConstInt a);
// Zeroes and frees on scope exit.
struct MpHolder {
  MpInt p = nullptr;
  MpHolder() = default;
  explicit MpHolder(MpInt v) : p(v) {}
  MpHolder(const MpHolder&) = delete;
  MpHolder& operator=(const MpHolder&) = delete;
  ~MpHolder() { MpFree(p); }
  MpInt release() { MpInt v = p; p = nullptr; return v; }
  void reset(MpInt v) { MpFree(p); p = v; }
  operator MpInt() const { return p; }
};
void Wipe(void* p, size_t n);
// A source of random bytes (the random pool in production, a script in tests).
using ByteSource = uint8_t (*)(void* context);
}  // namespace sshmp

template <class State, class Append>
void MpHashSsh2(State* state, Append append, MpConstInt a) {
  if (!a) return;
  int n = MpSsh2Length(a);
  uint8_t small[64];
  uint8_t* buf = n <= 64 ? small : new uint8_t[n];
  MpWriteSsh2(buf, a);
  append(state, buf, static_cast<size_t>(n));
  sshmp::Wipe(buf, static_cast<size_t>(n));
  if (buf != small) delete[] buf;
}
